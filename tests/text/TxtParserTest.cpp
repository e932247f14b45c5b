// The resource parser, and what the built-in resources hold.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ExpectedTexts.h"
#include "Table.h"
#include "TxtLoader.h"

namespace {

// Parses `resource` (or its first `length` bytes) into `rows` rows that start as "-".
std::vector<juce::String> parse(const std::string& resource, FlgTable table, int rows = 4, int maxCount = 4,
                                std::optional<int> length = std::nullopt) {
    std::vector<juce::String> out(static_cast<size_t>(rows), "-");
    const char* pointer = resource.c_str();
    const int counted = length.value_or(static_cast<int>(resource.size()));
    TxtLoader::Load(&pointer, &counted, table, out.data(), maxCount);
    return out;
}

std::vector<juce::String> rows(std::initializer_list<const char*> texts) {
    std::vector<juce::String> out;
    for (const char* text : texts) out.push_back(juce::String::fromUTF8(text));
    return out;
}

TEST(TxtParser, SectionsAndMarkers) {
    // The byte order mark and the ":FONT_WIN" rows never reach an output.
    const std::string fonts = "\xEF\xBB\xBF\r\n:FONT_WIN\r\n\r\n\"win\"\r\n\r\n:FONT_MAC\r\n\r\n\"mac\"\r\n:EOF\r\n";
    for (FlgTable table : {FLG_NONE, FLG_LANG, FLG_STR}) EXPECT_EQ(parse(fonts, table, 2), rows({"-", "-"})) << table;
    EXPECT_EQ(parse(fonts, FLG_FONT_MAC, 2), rows({"mac", "-"}));
    // Markers are found by the word they contain, "LANG" before "STR"; "FONT_WIN" selects no section.
    const std::string words = ":xxSTRxx\r\n\"s\"\r\n:LANG_STR\r\n\"l\"\r\n:FONT_WIN\r\n\"w\"\r\n";
    EXPECT_EQ(parse(words, FLG_STR), rows({"s", "-", "-", "-"}));
    EXPECT_EQ(parse(words, FLG_LANG, 1), rows({"l"}));
    // "EOF" anywhere ends the resource, even in a line that also names a section.
    EXPECT_EQ(parse(":STR\r\n\"a\"\r\n:FONT_MAC_EOF\r\n\"b\"\r\n:STR\r\n\"c\"\r\n", FLG_STR, 2), rows({"a", "-"}));
}

TEST(TxtParser, RowsEscapesAndLineEnds) {
    // Comments and empty lines are no rows, but empty strings are.
    EXPECT_EQ(parse(":STR\r\n\r\n\"\"\r\n# \"comment\"\r\n\r\n\"a\"\r\n:EOF\r\n", FLG_STR, 3), rows({"", "a", "-"}));
    EXPECT_EQ(parse(":STR\r\n"
                    "\"r\\r n\\n t\\t q\\\" b\\\\\"\r\n"  // the five escapes
                    "\"\\q\\x\\\"\" after\r\n"            // others stay; the closing quote ends it
                    "lead \"open to the end\r\n"          // no closing quote
                    "no quote at all\r\n"                 // outside the format: an empty row
                    "\"trailing backslash\\",             // last line, no line end
                    FLG_STR, 5, 5),
              rows({"r\r n\n t\t q\" b\\", "\\q\\x\"", "open to the end", "", "trailing backslash\\"}));
    EXPECT_EQ(parse(":STR\n\"a\"\n\n\"b\"\r\"c\"\r\r\n\"d\"", FLG_STR), rows({"a", "b", "c", "d"}));
    // Long lines are cut to 2047 bytes, less the quote, and do not shift the rows.
    const auto out = parse(":STR\r\n\"" + std::string(5000, 'x') + "\"\r\n\"next\"\r\n", FLG_STR, 2);
    EXPECT_EQ(out, std::vector<juce::String>({std::string(2046, 'x'), "next"}));
    // A stray continuation byte, a cut sequence, an overlong form and a surrogate become replacement characters.
    EXPECT_EQ(parse(":STR\r\n\"a\x80\xC3\"\r\n\"\xC0\xAF\xED\xA0\x80\xC3\xA9\"\r\n", FLG_STR, 2),
              rows({"a\uFFFD\uFFFD", "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\u00E9"}));
}

TEST(TxtParser, CountedEndAndMaximumCountBoundTheOutput) {
    // No ":EOF": read up to the counted end and not a byte beyond it.
    const std::string resource = ":STR\r\n\"a\"\r\n\"b\"\r\n\"c\"";
    EXPECT_EQ(parse(resource, FLG_STR), rows({"a", "b", "c", "-"}));
    EXPECT_EQ(parse(resource, FLG_STR, 4, 4, 16), rows({"a", "b", "-", "-"}));
    EXPECT_EQ(parse(resource, FLG_STR, 4, 4, 18), rows({"a", "b", "c", "-"}));
    EXPECT_EQ(parse(resource, FLG_STR, 1, 1, -5), rows({"-"}));
    EXPECT_EQ(parse(resource, FLG_STR, 1, 1, 0), rows({"-"}));
    // A NUL inside the counted bytes ends its line.
    EXPECT_EQ(parse(std::string(":STR\n\"a\0\"b\"\n", 12), FLG_STR, 3), rows({"a", "b", "-"}));

    EXPECT_EQ(parse(resource, FLG_STR, 4, 2), rows({"a", "b", "-", "-"}));
    EXPECT_EQ(parse(resource, FLG_STR, 4, 0), rows({"-", "-", "-", "-"}));
    TxtLoader::Load(0u, FLG_STR, nullptr, 25);  // no output array: nothing is written
}

// The 25 texts of each language and nothing more, pinned: a hash of them joined, so that a changed text fails its
// language, and the test then prints what it loaded. Also each language's font, name and code.
TEST(Resources, EveryLanguageHoldsItsTextsFontNameAndCode) {
    const uint64_t hashes[12] = {
        0x67b200b5877d725full, 0x7ef66f201ebcab78ull, 0x439ad33dec6eac9full, 0x73c080d1984851eeull,
        0xc061fdb18f98466cull, 0xcc9d6831e711ace0ull, 0x2ee4798581da4c97ull, 0x2fae54e946cfa354ull,
        0x8615bffb15285ed0ull, 0x7d9bf08c57b6ba38ull, 0x570eaebbe0794c80ull, 0xac441f2958d95931ull,
    };
    TxtLoader::createInstance();
    for (unsigned int locale = 0; locale < 12; ++locale) {
        juce::String out[26];
        out[25] = "-";
        TxtLoader::Load(locale, FLG_STR, out, 26);
        const juce::StringArray texts(out, 26);
        EXPECT_EQ((uint64_t)texts.joinIntoString("\x1f").hashCode64(), hashes[locale]) << locale << ":\n"
                                                                                       << texts.joinIntoString("\n");
        EXPECT_EQ(TxtLoader::getInstance()->getFont(locale), juce::String::fromUTF8(expected::kFontMac[locale]));
        EXPECT_EQ(TxtLoader::getInstance()->getLang(locale), juce::String::fromUTF8(expected::kLang[locale]));
        EXPECT_EQ(plangList[locale].m_code, expected::kCode[locale]);
    }
    TxtLoader::releaseInstance();
}

}  // namespace
