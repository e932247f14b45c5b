// The report descriptor summary: usages and report sizes of real shapes, and a defined
// answer for descriptors that are cut short or break the rules.
#include <gtest/gtest.h>
#include <ktrplatform/HidrawDescriptor.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// "[broken ]<page>:<usage>[ numbered] <input>/<output>/<feature>" in hex and bytes, "-" without a primary usage;
// parsed from a copy of exactly the given size, so that a read past it is caught by the sanitizers.
std::string summary(const Bytes& bytes) {
    auto copy = std::make_unique<uint8_t[]>(bytes.size() + 1);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    const auto s = ktrplatform::hidraw::summarizeDescriptor(bytes.empty() ? nullptr : copy.get(), bytes.size());
    char usage[32] = "-";
    if (s.hasPrimaryUsage) std::snprintf(usage, sizeof usage, "%X:%X", s.primaryUsagePage, s.primaryUsage);
    return std::string(s.wellFormed ? "" : "broken ") + usage + (s.numbered ? " numbered " : " ") +
           std::to_string(s.maxInputReportSize) + "/" + std::to_string(s.maxOutputReportSize) + "/" +
           std::to_string(s.maxFeatureReportSize);
}

TEST(HidrawDescriptor, SummarizesRealShapesAndFollowsTheItemRules) {
    Bytes deep = {0x05, 0x01};  // pushes deeper than the stack are ignored, and the matching pops find it empty
    deep.insert(deep.end(), 40, 0xA4);
    deep.insert(deep.end(), 40, 0xB4);
    deep.insert(deep.end(), {0x09, 0x02, 0xA1, 0x01, 0xC0});
    Bytes huge = {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF};  // sizes saturate, not wrap
    for (int i = 0; i < 3; ++i) huge.insert(huge.end(), {0x81, 0x02, 0x91, 0x02});
    // clang-format off
    const struct { const char* what; Bytes bytes; const char* expected; } rows[] = {
        {"KTR-Q7", {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x96, 0x00,
                    0x04, 0x09, 0x01, 0x81, 0x02, 0x96, 0x00, 0x04, 0x09, 0x01, 0x91, 0x02, 0xC0}, "FF00:1 1024/1024/0"},
        {"keyboard: bits are added up before rounding",
         {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01,
          0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01,
          0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65,
          0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0}, "1:6 8/1/0"},
        {"numbered: 63 bytes, 16 + 32 bytes and 3 feature bits; the ID byte counts",
         {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x85, 0x01, 0x95, 0x3F, 0x81, 0x02, 0x85, 0x02, 0x95,
          0x10, 0x81, 0x02, 0x95, 0x20, 0x81, 0x02, 0x85, 0x03, 0x75, 0x01, 0x95, 0x03, 0xB1, 0x02, 0xC0},
         "FF00:1 numbered 64/0/2"},
        {"empty", {}, "- 0/0/0"},
        {"item cut short", {0x75, 0x08, 0x96, 0x00}, "broken - 0/0/0"},
        {"long item cut short", {0x75, 0x08, 0x95, 0x02, 0x81, 0x02, 0xFE, 0x10, 0x00, 0x01}, "broken - 2/0/0"},
        {"long item header cut short", {0xFE, 0x10}, "broken - 0/0/0"},
        {"report ID 0", {0x85, 0x00, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02}, "broken - 4/0/0"},
        {"pop without push", {0xB4, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}, "broken - 1/0/0"},
        {"collection left open", {0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}, "broken 0:0 1/0/0"},
        {"reserved item", {0x0C, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}, "broken - 1/0/0"},
        {"main item before the first report ID", {0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x01, 0x81, 0x02},
         "broken - numbered 2/0/0"},
        {"push too deep", deep, "broken 1:2 0/0/0"},
        {"sizes that overflow", huge, "- 2147483647/2147483647/0"},
    };
    // clang-format on
    for (const auto& row : rows) EXPECT_EQ(summary(row.bytes), row.expected) << row.what;
    const auto nothing = ktrplatform::hidraw::summarizeDescriptor(nullptr, 100);
    EXPECT_TRUE(nothing.wellFormed && !nothing.hasPrimaryUsage && nothing.maxInputReportSize == 0);
}

}  // namespace
