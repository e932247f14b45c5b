// What the resources must hold, by locale index.
#pragma once

namespace expected {

// clang-format off
inline const char* const kFontMac[12] = {"Arial", "Arial", "Arial", "Arial", "Arial", "Arial", "Helvetica Neue",
    "Arial", "Heiti SC", "Heiti TC", "AppleGothic Regular", "Hiragino Maru Gothic Pro W4"};
inline const char* const kLang[12] = {"English", "Français", "Deutsch", "Español", "Italiano", "Nederlands",
    "Русский", "Português", "简体中文", "繁體中文", "한국어", "日本語"};
inline const char* const kCode[12] = {"en", "fr", "de", "es", "it", "nl", "ru", "pt", "zh-Hans", "zh-Hant", "ko",
    "ja"};
// clang-format on

}  // namespace expected
