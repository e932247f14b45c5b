// Whole updates through the component's worker against the simulated KTR-Q7: what reaches the device,
// request by request, and what the screen shows at the end.
#include <gtest/gtest.h>

#include <filesystem>

#include "UpdateRoad.h"

namespace {

using namespace roadtest;

struct Size {
    std::size_t bytes;
    int version;
    std::uint8_t versionBytes[2];  // as the start request carries it
};

class WholeUpdate : public ::testing::TestWithParam<Size> {};

TEST_P(WholeUpdate, ReachesTheDeviceExactlyAndCompletes) {
    const Size size = GetParam();
    ktrsim::ModelConfig config;
    config.identity.releaseNumber = 0x0105;
    Harness h(config);
    const Bytes file = updateFile(size.bytes, size.version, static_cast<std::uint32_t>(size.bytes));
    h.useFile(file);
    ASSERT_EQ(Access::fileVersion(h.c()), size.version);
    ASSERT_TRUE(h.toReady());
    EXPECT_EQ(Access::deviceVersion(h.c()), 105);

    h.clickFirst();
    ASSERT_TRUE(h.runToEnd());
    EXPECT_EQ(h.state(), kComplete);
    EXPECT_EQ(h.sim.image(), file);
    EXPECT_TRUE(h.sim.crcMatches());
    EXPECT_DOUBLE_EQ(h.progress(), 1.0);

    const auto expected = simtest::wholeUpdate(file, 4, size.version);
    const auto sent = h.requests();
    ASSERT_EQ(sent.size(), expected.size());
    EXPECT_EQ(sent[0][2], size.versionBytes[0]);
    EXPECT_EQ(sent[0][3], size.versionBytes[1]);
    for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i], expected[i]) << "request " << i;
    for (const auto& report : h.sim.device()->outputReports()) EXPECT_EQ(report.reportID, 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WholeUpdate,
                         ::testing::Values(Size{37, 999, {0x3E, 0x70}}, Size{1022, 1, {0x00, 0x10}},
                                           Size{1023, 123, {0x07, 0xB0}}, Size{2044, 500, {0x1F, 0x40}},
                                           Size{74565, 123, {0x07, 0xB0}}),
                         [](const auto& info) { return std::to_string(info.param.bytes) + "bytes"; });

// Replies of any length from the platform: only the code and percentage count, the rest is never read.
class ReplyLength : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ReplyLength, StillCompletes) {
    ktrsim::ModelConfig config;
    config.inputReportSize = GetParam();
    config.finishWritingReplies = 1;
    Harness h(config);
    ASSERT_TRUE(h.update(updateFile(3000)));
    EXPECT_EQ(h.state(), kComplete);
    EXPECT_TRUE(h.sim.crcMatches());
}

INSTANTIATE_TEST_SUITE_P(Lengths, ReplyLength, ::testing::Values(2u, 64u, 1024u, 2000u));

TEST(UpdateFile, ShortenedAfterTheCheckStillSendsTheAnnouncedLengthWithTheMissingBytesAsFF) {
    ktrsim::ModelConfig config;
    config.finishWritingReplies = 0;
    Harness h(config);
    const Bytes file = updateFile(3000);
    const juce::File path = h.useFile(file);
    ASSERT_TRUE(h.toReady());
    std::filesystem::resize_file(path.getFullPathName().toStdString(), 1500);
    h.clickFirst();
    ASSERT_TRUE(h.runToEnd());

    // The device is the one to judge the image by the announced CRC.
    EXPECT_EQ(h.state(), kComplete);
    const Bytes image = h.sim.image();
    ASSERT_EQ(image.size(), 3000u);
    EXPECT_TRUE(std::equal(file.begin(), file.begin() + 1500, image.begin()));
    EXPECT_TRUE(std::all_of(image.begin() + 1500, image.end(), [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_FALSE(h.sim.crcMatches());
}

}  // namespace
