#include <gtest/gtest.h>

#include <string>

#include "Binary.h"
#include "ExpectedTexts.h"
#include "TxtLoader.h"

namespace {

std::string bytesOf(const BinaryList& row) { return std::string(*row.m_pointer, static_cast<size_t>(*row.m_length)); }

// One more row than the resource should fill, so that an extra string shows.
template <size_t N>
void loadLanguage(const std::string& resource, FlgTable table, juce::String (&out)[N]) {
    for (auto& row : out) row = "-";
    const char* pointer = resource.data();
    const int length = static_cast<int>(resource.size());
    TxtLoader::Load(&pointer, &length, table, out, static_cast<int>(N));
}

TEST(Resources, EveryLanguageHoldsItsTwentyFiveTexts) {
    for (unsigned int locale = 0; locale < 12; ++locale) {
        juce::String out[26];
        for (auto& row : out) row = "-";
        TxtLoader::Load(locale, FLG_STR, out, 26);
        EXPECT_EQ(expected::hashOf(out, 25), expected::kStringsHash[locale])
            << "locale " << locale << ":\n"
            << juce::StringArray(out, 25).joinIntoString("\n");
        EXPECT_EQ(out[25], "-") << "locale " << locale;
    }
    // The texts the screens show as they stand.
    juce::String english[25];
    TxtLoader::Load(0u, FLG_STR, english, 25);
    EXPECT_EQ(english[3], "Updater Program");
    EXPECT_EQ(english[22],
              "2. Start your %s in update mode by pressing the power button while pressing the [%s] "
              "button and the [%s] button.");
}

TEST(Resources, LanguageResourceHoldsFontsAndNamesByLocale) {
    const std::string language = bytesOf({&language_txt_pointer, &language_txt_length});
    // The ":FONT_WIN" rows are never taken; renamed, they show what they hold.
    std::string renamed = language;
    renamed.replace(renamed.find(":FONT_WIN"), 9, ":FONT_MAC");
    juce::String fonts[13], names[13], windows[13], none[1];
    loadLanguage(language, FLG_FONT_MAC, fonts);
    loadLanguage(language, FLG_LANG, names);
    loadLanguage(renamed, FLG_FONT_MAC, windows);
    loadLanguage(language, FLG_STR, none);
    for (int locale = 0; locale < 12; ++locale) {
        EXPECT_EQ(fonts[locale], juce::String::fromUTF8(expected::kFontMac[locale])) << locale;
        EXPECT_EQ(names[locale], juce::String::fromUTF8(expected::kLang[locale])) << locale;
        EXPECT_EQ(windows[locale], juce::String::fromUTF8(expected::kFontWin[locale])) << locale;
    }
    EXPECT_EQ(fonts[12] + names[12] + none[0], "---");
}

TEST(Resources, EveryResourceKeepsTheLineFormat) {
    std::vector<BinaryList> all(ptextList, ptextList + 12);
    all.push_back({&language_txt_pointer, &language_txt_length});
    for (const BinaryList& row : all) {
        const std::string bytes = bytesOf(row);
        ASSERT_GE(bytes.size(), 7u);
        EXPECT_EQ(bytes.compare(0, 5, "\xEF\xBB\xBF\r\n"), 0);
        EXPECT_EQ(bytes.substr(bytes.size() - 6), ":EOF\r\n");
        EXPECT_EQ((*row.m_pointer)[*row.m_length], '\0');
        for (size_t i = 0; i < bytes.size(); ++i) {
            EXPECT_TRUE(bytes[i] != '\r' || bytes[i + 1] == '\n') << i;
            EXPECT_TRUE(bytes[i] != '\n' || bytes[i - 1] == '\r') << i;
        }
        EXPECT_TRUE(juce::CharPointer_UTF8::isValidString(bytes.data(), static_cast<int>(bytes.size())));
    }
}

}  // namespace
