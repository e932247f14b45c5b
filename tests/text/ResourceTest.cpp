#include <gtest/gtest.h>

#include <string>

#include "Binary.h"
#include "ExpectedTexts.h"
#include "TxtLoader.h"

namespace {

const juce::String kUntouched("<untouched>");

std::string bytesOf(const BinaryList& row) { return std::string(*row.m_pointer, static_cast<size_t>(*row.m_length)); }

// One more row than the resource should fill, so that an extra string shows.
template <size_t N>
void loadLanguage(const std::string& resource, FlgTable table, juce::String (&out)[N]) {
    for (auto& row : out) row = kUntouched;
    const char* pointer = resource.data();
    const int length = static_cast<int>(resource.size());
    TxtLoader::Load(&pointer, &length, table, out, static_cast<int>(N));
}

TEST(Resources, EveryLanguageHoldsItsTwentyFiveTexts) {
    for (unsigned int locale = 0; locale < 12; ++locale) {
        juce::String out[26];
        for (auto& row : out) row = kUntouched;
        TxtLoader::Load(locale, FLG_STR, out, 26);
        for (int text = 0; text < 25; ++text)
            EXPECT_EQ(out[text], juce::String::fromUTF8(expected::kStrings[locale][text]))
                << "locale " << locale << " text " << text;
        EXPECT_EQ(out[25], kUntouched) << "locale " << locale;
    }
}

TEST(Resources, LanguageResourceHoldsFontsAndNamesByLocale) {
    const std::string language = bytesOf({&language_txt_pointer, &language_txt_length});
    juce::String fonts[13], names[13], none[1];
    loadLanguage(language, FLG_FONT_MAC, fonts);
    loadLanguage(language, FLG_LANG, names);
    loadLanguage(language, FLG_STR, none);
    for (int locale = 0; locale < 12; ++locale) {
        EXPECT_EQ(fonts[locale], juce::String::fromUTF8(expected::kFontMac[locale])) << locale;
        EXPECT_EQ(names[locale], juce::String::fromUTF8(expected::kLang[locale])) << locale;
    }
    EXPECT_EQ(fonts[12], kUntouched);
    EXPECT_EQ(names[12], kUntouched);
    EXPECT_EQ(none[0], kUntouched);

    // The ":FONT_WIN" rows are never taken; renamed, they show what they hold.
    std::string renamed = language;
    renamed.replace(renamed.find(":FONT_WIN"), 9, ":FONT_MAC");
    loadLanguage(renamed, FLG_FONT_MAC, fonts);
    for (int locale = 0; locale < 12; ++locale)
        EXPECT_EQ(fonts[locale], juce::String::fromUTF8(expected::kFontWin[locale])) << locale;
}

TEST(Resources, EveryResourceKeepsTheLineFormat) {
    std::vector<BinaryList> all(ptextList, ptextList + 12);
    all.push_back({&language_txt_pointer, &language_txt_length});
    for (const BinaryList& row : all) {
        const std::string bytes = bytesOf(row);
        EXPECT_EQ(bytes.compare(0, 5, "\xEF\xBB\xBF\r\n"), 0);
        EXPECT_GE(bytes.size(), 7u);
        EXPECT_EQ(bytes.substr(bytes.size() - 6), ":EOF\r\n");
        EXPECT_EQ((*row.m_pointer)[*row.m_length], '\0');
        for (size_t i = 0; i < bytes.size(); ++i) {
            if (bytes[i] == '\r') {
                EXPECT_EQ(bytes[i + 1], '\n') << i;
            }
            if (bytes[i] == '\n') {
                EXPECT_EQ(bytes[i - 1], '\r') << i;
            }
        }
        EXPECT_TRUE(juce::CharPointer_UTF8::isValidString(bytes.data(), static_cast<int>(bytes.size())));
    }
}

}  // namespace
