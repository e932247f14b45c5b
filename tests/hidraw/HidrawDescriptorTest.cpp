// The report descriptor summary: usages and report sizes of real shapes, and a defined
// answer for descriptors that are cut short or break the rules.
#include <gtest/gtest.h>
#include <ktrplatform/HidrawDescriptor.h>

#include <memory>
#include <vector>

#include "FakeHidraw.h"

using hidrawtest::Bytes;
using ktrplatform::hidraw::DescriptorSummary;
using ktrplatform::hidraw::summarizeDescriptor;

namespace {

// Parses a copy of exactly the given size, so that a read past it is caught by the sanitizers.
DescriptorSummary summarize(const Bytes& bytes) {
    auto copy = std::make_unique<uint8_t[]>(bytes.size() + 1);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    return summarizeDescriptor(bytes.empty() ? nullptr : copy.get(), bytes.size());
}

// Well-formedness, usage page, usage, numbering and the longest input, output and feature reports.
using Shape = std::tuple<bool, uint32_t, uint32_t, bool, uint32_t, uint32_t, uint32_t>;
Shape shape(const DescriptorSummary& s) {
    return {s.wellFormed,         s.primaryUsagePage,    s.primaryUsage,        s.numbered,
            s.maxInputReportSize, s.maxOutputReportSize, s.maxFeatureReportSize};
}

}  // namespace

TEST(HidrawDescriptor, SummarizesRealShapesAndFollowsTheItemRules) {
    // clang-format off
    const Bytes keyboard = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,                    // generic desktop, keyboard
                            0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00,        // modifier keys
                            0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02,        // 8 x 1 bit input
                            0x95, 0x01, 0x75, 0x08, 0x81, 0x01,                    // 1 byte padding
                            0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02,  // 5 LED bits
                            0x95, 0x01, 0x75, 0x03, 0x91, 0x01,                    // 3 bits padding: 1 byte out
                            0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00,
                            0x29, 0x65, 0x81, 0x00, 0xC0};                         // 6 keys
    const Bytes numbered = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08,
                            0x85, 0x01, 0x95, 0x3F, 0x81, 0x02,                          // report 1: 63 bytes in
                            0x85, 0x02, 0x95, 0x10, 0x81, 0x02, 0x95, 0x20, 0x81, 0x02,  // report 2: 16 + 32 in
                            0x85, 0x03, 0x75, 0x01, 0x95, 0x03, 0xB1, 0x02, 0xC0};       // report 3: 3 bits feature
    // The first top-level application collection counts, not a physical one before it nor a
    // nested one; a 4-byte usage carries its own page.
    const Bytes firstApplication = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x00, 0xC0,
                                    0x0B, 0x05, 0x00, 0x0C, 0x00, 0xA1, 0x01,
                                    0x09, 0x07, 0xA1, 0x01, 0xC0, 0xC0};
    // clang-format on
    EXPECT_EQ(shape(summarize(hidrawtest::ktrDescriptor())), Shape(true, 0xFF00, 1, false, 1024, 1024, 0));
    EXPECT_EQ(shape(summarize(keyboard)), Shape(true, 1, 6, false, 8, 1, 0)) << "bits are added up before rounding";
    EXPECT_EQ(shape(summarize(numbered)), Shape(true, 0xFF00, 1, true, 64, 0, 2)) << "the ID byte counts";
    EXPECT_EQ(shape(summarize(firstApplication)), Shape(true, 0x0C, 5, false, 0, 0, 0));
    // Pop brings back the page pushed.
    EXPECT_EQ(shape(summarize({0x05, 0x01, 0xA4, 0x05, 0x09, 0xB4, 0x09, 0x03, 0xA1, 0x01, 0xC0})),
              Shape(true, 1, 3, false, 0, 0, 0));
    // A usage before an earlier main item does not carry over to the collection.
    const DescriptorSummary stale =
        summarize({0x05, 0x01, 0x09, 0x05, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xA1, 0x01, 0xC0});
    EXPECT_TRUE(stale.hasPrimaryUsage);
    EXPECT_EQ(stale.primaryUsage, 0u);
    const DescriptorSummary empty = summarize({});
    EXPECT_EQ(shape(empty), Shape(true, 0, 0, false, 0, 0, 0));
    EXPECT_FALSE(empty.hasPrimaryUsage);
    EXPECT_EQ(shape(summarizeDescriptor(nullptr, 100)), Shape(true, 0, 0, false, 0, 0, 0));
}

TEST(HidrawDescriptor, BrokenDescriptorsGiveDefinedResults) {
    const struct {
        const char* what;
        Bytes bytes;
        uint32_t input;
    } cases[] = {
        {"item cut short", {0x75, 0x08, 0x96, 0x00}, 0},
        {"4-byte item cut short", {0x75, 0x08, 0x97, 0x00, 0x04, 0x00}, 0},
        {"long item cut short", {0x75, 0x08, 0x95, 0x02, 0x81, 0x02, 0xFE, 0x10, 0x00, 0x01}, 2},
        {"long item header cut short", {0xFE, 0x10}, 0},
        {"report ID 0", {0x85, 0x00, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02}, 4},
        {"report ID above 255", {0x86, 0x00, 0x01, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02}, 4},
        {"pop without push", {0xB4, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}, 1},
        {"end without collection", {0xC0, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}, 1},
        {"collection left open", {0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}, 1},
        {"reserved item", {0x0C, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}, 1},
        {"reserved main item", {0xF0, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}, 1},
        {"main item before the first report ID", {0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x01, 0x81, 0x02}, 2},
    };
    for (const auto& c : cases) {
        const DescriptorSummary s = summarize(c.bytes);
        EXPECT_FALSE(s.wellFormed) << c.what;
        EXPECT_EQ(s.maxInputReportSize, c.input) << c.what;
    }

    // Pushes deeper than the stack are ignored, and the matching pops then find it empty.
    Bytes deep = {0x05, 0x01};
    deep.insert(deep.end(), 40, 0xA4);
    deep.insert(deep.end(), 40, 0xB4);
    deep.insert(deep.end(), {0x09, 0x02, 0xA1, 0x01, 0xC0});
    const DescriptorSummary d = summarize(deep);
    EXPECT_FALSE(d.wellFormed);
    EXPECT_EQ(d.primaryUsagePage, 1u);

    // Sizes that overflow saturate instead of wrapping.
    Bytes huge = {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF};
    for (int i = 0; i < 3; ++i) huge.insert(huge.end(), {0x81, 0x02, 0x91, 0x02});
    const DescriptorSummary h = summarize(huge);
    EXPECT_EQ(h.maxInputReportSize, ktrplatform::hidraw::kMaxReportSize);
    EXPECT_EQ(h.maxOutputReportSize, ktrplatform::hidraw::kMaxReportSize);
}
