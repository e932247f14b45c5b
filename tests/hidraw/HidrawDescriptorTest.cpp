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

const Bytes kKeyboard = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,              // generic desktop, keyboard, application
                         0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00,  // modifier keys
                         0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02,  // 8 x 1 bit input
                         0x95, 0x01, 0x75, 0x08, 0x81, 0x01,              // 1 byte padding
                         0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02,  // 5 LED bits out
                         0x95, 0x01, 0x75, 0x03, 0x91, 0x01,                                      // 3 bits padding
                         0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00,
                         0x29, 0x65, 0x81, 0x00,  // 6 keys
                         0xC0};

}  // namespace

TEST(HidrawDescriptor, SummarizesTheUsualShapes) {
    const DescriptorSummary ktr = summarize(hidrawtest::ktrDescriptor());
    EXPECT_TRUE(ktr.wellFormed);
    EXPECT_TRUE(ktr.hasPrimaryUsage);
    EXPECT_EQ(ktr.primaryUsagePage, 0xFF00u);
    EXPECT_EQ(ktr.primaryUsage, 1u);
    EXPECT_FALSE(ktr.numbered);
    EXPECT_EQ(ktr.maxInputReportSize, 1024u);
    EXPECT_EQ(ktr.maxOutputReportSize, 1024u);
    EXPECT_EQ(ktr.maxFeatureReportSize, 0u);

    const DescriptorSummary keyboard = summarize(kKeyboard);
    EXPECT_TRUE(keyboard.wellFormed);
    EXPECT_EQ(keyboard.primaryUsagePage, 1u);
    EXPECT_EQ(keyboard.primaryUsage, 6u);
    EXPECT_EQ(keyboard.maxInputReportSize, 8u);
    EXPECT_EQ(keyboard.maxOutputReportSize, 1u) << "bits are added up before rounding";

    const DescriptorSummary empty = summarize({});
    EXPECT_TRUE(empty.wellFormed);
    EXPECT_FALSE(empty.hasPrimaryUsage);
    EXPECT_EQ(empty.maxInputReportSize, 0u);
}

TEST(HidrawDescriptor, NumberedReportsCountTheirIDByteAndTheLongestWins) {
    const Bytes d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x85,
                     0x01, 0x95, 0x3F, 0x81, 0x02,                                // report 1: 63 bytes in
                     0x85, 0x02, 0x95, 0x10, 0x81, 0x02, 0x95, 0x20, 0x81, 0x02,  // report 2: 16 + 32 in
                     0x85, 0x03, 0x75, 0x01, 0x95, 0x03, 0xB1, 0x02,              // report 3: 3 bits feature
                     0xC0};
    const DescriptorSummary s = summarize(d);
    EXPECT_TRUE(s.wellFormed);
    EXPECT_TRUE(s.numbered);
    EXPECT_EQ(s.maxInputReportSize, 64u);
    EXPECT_EQ(s.maxOutputReportSize, 0u);
    EXPECT_EQ(s.maxFeatureReportSize, 2u);
}

TEST(HidrawDescriptor, UsagesFollowTheRulesOfLocalAndGlobalItems) {
    // The first top-level application collection counts, not a physical one before it nor a nested
    // one; a 4-byte usage carries its own page.
    const Bytes d = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x00, 0xC0,  // physical collection first
                     0x0B, 0x05, 0x00, 0x0C, 0x00, 0xA1, 0x01,  // usage 0x000C0005: page 0x0C, usage 5
                     0x09, 0x07, 0xA1, 0x01, 0xC0, 0xC0};       // nested application
    const DescriptorSummary s = summarize(d);
    EXPECT_TRUE(s.wellFormed);
    EXPECT_EQ(s.primaryUsagePage, 0x0Cu);
    EXPECT_EQ(s.primaryUsage, 5u);

    // Pop brings back the page pushed.
    const Bytes pushed = {0x05, 0x01, 0xA4, 0x05, 0x09, 0xB4, 0x09, 0x03, 0xA1, 0x01, 0xC0};
    const DescriptorSummary p = summarize(pushed);
    EXPECT_TRUE(p.wellFormed);
    EXPECT_EQ(p.primaryUsagePage, 1u);
    EXPECT_EQ(p.primaryUsage, 3u);

    // A usage before an earlier main item does not carry over to the collection.
    const Bytes stale = {0x05, 0x01, 0x09, 0x05, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xA1, 0x01, 0xC0};
    const DescriptorSummary t = summarize(stale);
    EXPECT_TRUE(t.hasPrimaryUsage);
    EXPECT_EQ(t.primaryUsage, 0u);
}

TEST(HidrawDescriptor, BrokenDescriptorsGiveDefinedResults) {
    struct Case {
        const char* what;
        Bytes bytes;
        uint32_t input;
    };
    const Case cases[] = {
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
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const DescriptorSummary s = summarize(c.bytes);
        EXPECT_FALSE(s.wellFormed);
        EXPECT_EQ(s.maxInputReportSize, c.input);
    }

    // Pushes deeper than the stack are ignored, and the matching pops then find it empty.
    Bytes deep = {0x05, 0x01};
    for (int i = 0; i < 40; ++i) deep.push_back(0xA4);
    for (int i = 0; i < 40; ++i) deep.push_back(0xB4);
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

    const DescriptorSummary none = summarizeDescriptor(nullptr, 100);
    EXPECT_TRUE(none.wellFormed);
    EXPECT_EQ(none.maxInputReportSize, 0u);
}
