#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "TxtLoader.h"

namespace {

const juce::String kUntouched("<untouched>");

// Parses `resource` (or its first `length` bytes) into `rows` rows that start untouched.
std::vector<juce::String> parse(const std::string& resource, FlgTable table, int rows = 4, int maxCount = 4,
                                std::optional<int> length = std::nullopt) {
    std::vector<juce::String> out(static_cast<size_t>(rows), kUntouched);
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

TEST(TxtParser, ByteOrderMarkAndFontWinNeverReachAnOutput) {
    const std::string resource = "\xEF\xBB\xBF\r\n:FONT_WIN\r\n\r\n\"win\"\r\n\r\n:FONT_MAC\r\n\r\n\"mac\"\r\n:EOF\r\n";
    for (FlgTable table : {FLG_NONE, FLG_LANG, FLG_STR})
        EXPECT_EQ(parse(resource, table, 2), rows({"<untouched>", "<untouched>"})) << table;
    EXPECT_EQ(parse(resource, FLG_FONT_MAC, 2), rows({"mac", "<untouched>"}));
}

TEST(TxtParser, CommentsAndEmptyLinesAreNoRowsButEmptyStringsAre) {
    EXPECT_EQ(parse(":STR\r\n\r\n\"\"\r\n# \"comment\"\r\n\r\n\"a\"\r\n:EOF\r\n", FLG_STR, 3),
              rows({"", "a", "<untouched>"}));
}

TEST(TxtParser, EscapesAndQuotes) {
    EXPECT_EQ(parse(":STR\r\n"
                    "\"r\\r n\\n t\\t q\\\" b\\\\\"\r\n"  // the five escapes
                    "\"\\q\\x\\\"\" after\r\n"            // others stay; the closing quote ends it
                    "lead \"open to the end\r\n"          // no closing quote
                    "no quote at all\r\n"                 // outside the format: an empty row
                    "\"trailing backslash\\",             // last line, no line end
                    FLG_STR, 5, 5),
              rows({"r\r n\n t\t q\" b\\", "\\q\\x\"", "open to the end", "", "trailing backslash\\"}));
}

TEST(TxtParser, MalformedUtf8BecomesReplacementCharacters) {
    // A stray continuation byte, a cut sequence, an overlong form and a surrogate.
    EXPECT_EQ(parse(":STR\r\n\"a\x80\xC3\"\r\n\"\xC0\xAF\xED\xA0\x80\xC3\xA9\"\r\n", FLG_STR, 2),
              rows({"a\uFFFD\uFFFD", "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\u00E9"}));
}

TEST(TxtParser, MarkersAreFoundByContainedWordInOrder) {
    // "LANG" is tried before "STR"; a word such as "FONT_WIN" selects no section.
    EXPECT_EQ(parse(":xxSTRxx\r\n\"s\"\r\n:LANG_STR\r\n\"l\"\r\n:FONT_WIN\r\n\"w\"\r\n", FLG_STR),
              rows({"s", "<untouched>", "<untouched>", "<untouched>"}));
    EXPECT_EQ(parse(":xxSTRxx\r\n\"s\"\r\n:LANG_STR\r\n\"l\"\r\n", FLG_LANG, 1), rows({"l"}));
    // "EOF" anywhere ends the resource, even in a line that also names a section.
    EXPECT_EQ(parse(":STR\r\n\"a\"\r\n:FONT_MAC_EOF\r\n\"b\"\r\n:STR\r\n\"c\"\r\n", FLG_STR, 2),
              rows({"a", "<untouched>"}));
}

TEST(TxtParser, CountedEndBoundsTheResource) {
    // No ":EOF": read up to the counted end and not a byte beyond it.
    const std::string resource = ":STR\r\n\"a\"\r\n\"b\"\r\n\"c\"";
    EXPECT_EQ(parse(resource, FLG_STR, 4, 4), rows({"a", "b", "c", "<untouched>"}));
    EXPECT_EQ(parse(resource, FLG_STR, 4, 4, 16), rows({"a", "b", "<untouched>", "<untouched>"}));
    EXPECT_EQ(parse(resource, FLG_STR, 4, 4, 18), rows({"a", "b", "c", "<untouched>"}));
    EXPECT_EQ(parse(resource, FLG_STR, 1, 1, -5), rows({"<untouched>"}));
    EXPECT_EQ(parse(resource, FLG_STR, 1, 1, 0), rows({"<untouched>"}));
    // A NUL inside the counted bytes ends its line.
    EXPECT_EQ(parse(std::string(":STR\n\"a\0\"b\"\n", 12), FLG_STR, 3), rows({"a", "b", "<untouched>"}));
}

TEST(TxtParser, MaximumCountAndFewerStrings) {
    const std::string resource = ":STR\r\n\"a\"\r\n\"b\"\r\n\"c\"\r\n:EOF\r\n";
    EXPECT_EQ(parse(resource, FLG_STR, 4, 2), rows({"a", "b", "<untouched>", "<untouched>"}));
    EXPECT_EQ(parse(resource, FLG_STR, 4, 0), rows({"<untouched>", "<untouched>", "<untouched>", "<untouched>"}));
    TxtLoader::Load(0u, FLG_STR, nullptr, 25);  // no output array: nothing is written
}

TEST(TxtParser, LoneLfAndCrEndLinesToo) {
    EXPECT_EQ(parse(":STR\n\"a\"\n\n\"b\"\r\"c\"\r\r\n\"d\"", FLG_STR), rows({"a", "b", "c", "d"}));
}

TEST(TxtParser, LongLinesAreCutAndDoNotShiftTheRows) {
    const std::string longText(5000, 'x');
    const auto out = parse(":STR\r\n\"" + longText + "\"\r\n\"next\"\r\n", FLG_STR, 2);
    EXPECT_EQ(out[0], juce::String(std::string(2046, 'x')));  // 2047 bytes of line, less the quote
    EXPECT_EQ(out[1], "next");
}

}  // namespace
