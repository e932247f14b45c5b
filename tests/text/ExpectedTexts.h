// What the resources must hold, by locale index.
#pragma once

#include <cstdint>

namespace expected {

// The 25 interface texts of each language, pinned byte for byte: FNV-1a over each text's UTF-8 and a NUL after it.
// A changed text fails its language, and the test then prints what it loaded.
inline constexpr uint64_t kStringsHash[12] = {
    0xc1bda6472a51c178ull, 0xe605e85a34698d4bull, 0x77c7546ce11a290eull, 0x638674c8d8a9f713ull,
    0x71755538004a1e89ull, 0x4d568145e2487c83ull, 0x6ac636f8f1920d02ull, 0x07acf54058e8da42ull,
    0x2e63dd5dab7f8b0full, 0x70a319a1ab65f823ull, 0x987e856bccff5f06ull, 0x67e0f2c9c5673adbull,
};

// The hash above of `count` texts (each with toRawUTF8()).
template <typename Texts>
uint64_t hashOf(const Texts& texts, int count) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (int i = 0; i < count; ++i)
        for (const char* p = texts[i].toRawUTF8();; ++p) {
            h = (h ^ static_cast<unsigned char>(*p)) * 0x100000001b3ull;
            if (*p == 0) break;
        }
    return h;
}

// clang-format off
inline const char* const kFontMac[12] = {"Arial", "Arial", "Arial", "Arial", "Arial", "Arial", "Helvetica Neue",
    "Arial", "Heiti SC", "Heiti TC", "AppleGothic Regular", "Hiragino Maru Gothic Pro W4"};
inline const char* const kFontWin[12] = {"Arial", "Arial", "Arial", "Arial", "Arial", "Arial", "Arial", "Arial",
    "Microsoft YaHei", "Microsoft YaHei", "Malgun Gothic", "MS UI Gothic"};
inline const char* const kLang[12] = {"English", "Français", "Deutsch", "Español", "Italiano", "Nederlands",
    "Русский", "Português", "简体中文", "繁體中文", "한국어", "日本語"};
inline const char* const kCode[12] = {"en", "fr", "de", "es", "it", "nl", "ru", "pt", "zh-Hans", "zh-Hant", "ko",
    "ja"};
// clang-format on

}  // namespace expected
