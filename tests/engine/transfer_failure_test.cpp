// How the transfer ends when the device or the file lets it down at each step, and the rhythm and
// progress of its last phase.
#include <gtest/gtest.h>

#include <map>

#include "UpdateRoad.h"

namespace {

using namespace roadtest;

Fault silent(Step step) {
    return fault(step, [](Fault& f) { f.noReply = true; });
}
Fault answer(Step step, std::uint8_t code, std::uint8_t percent = 0) {
    return fault(step, [&](Fault& f) {
        f.replyCode = code;
        if (percent != 0) f.percent = percent;
    });
}
const Step kStart = Step::ofCommand(S, 0), kOpen = Step::ofCommand(O, 0), kFinish = Step::ofCommand(F, 0);

struct Row {
    const char* name;
    std::vector<Fault> faults;
    int endState;
    Bytes commands;
    bool noFileCheck = false;
    bool fileGone = false;
    std::uint8_t lastChunkReply = 0xFE;
};

// Three chunks (1022, 1022, 956 bytes); the device confirms the finish at once.
class TransferEnd : public ::testing::TestWithParam<Row> {};

TEST_P(TransferEnd, ReachesItsStateAfterExactlyItsRequests) {
    const Row& row = GetParam();
    ktrsim::ModelConfig config;
    config.finishWritingReplies = 0;
    config.lastChunkReply = row.lastChunkReply;
    Harness h(config);
    for (const Fault& f : row.faults) h.sim.model().addFault(f);
    const juce::File path = h.useFile(updateFile(3000));
    if (row.noFileCheck) Access::setFileCheck(h.c(), 0);
    ASSERT_TRUE(h.toReady());
    ASSERT_TRUE(!row.fileGone || path.deleteFile());

    h.clickFirst();
    ASSERT_TRUE(h.runToEnd());
    EXPECT_EQ(h.state(), row.endState);
    EXPECT_EQ(h.commands(), row.commands);
    EXPECT_FALSE(h.c().isTransferRunning());
}

const Fault kEmptyStartReply = fault(kStart, [](Fault& f) { f.replySize = 0; });

INSTANTIATE_TEST_SUITE_P(
    Steps, TransferEnd,
    ::testing::ValuesIn(std::vector<Row>{
        {"NothingSentWithoutFileCheck", {}, kError, {}, true},
        {"NoStartReply", {silent(kStart)}, kError, {S}},
        {"EmptyStartReply", {kEmptyStartReply}, kError, {S}},
        {"StartAnsweredContinue", {answer(kStart, 0xF9)}, kError, {S}},
        {"StartRejected", {answer(kStart, 0xFF)}, kError, {S}},
        {"FileGoneAtSendTime", {}, kError, {S, F}, false, true},
        {"NoOpenBlockReply", {silent(kOpen)}, kError, {S, O, F}},
        {"OpenBlockDeclinedSkipsTheData", {answer(kOpen, 0xFE)}, kComplete, {S, O, F}},
        {"NoReplyToAMiddleChunk", {silent(Step::chunk(1))}, kError, {S, O, D, D, F}},
        {"NoReplyToTheLastChunk", {silent(Step::chunk(2))}, kError, {S, O, D, D, D, F}},
        {"BlockDoneBeforeTheLastChunk", {answer(Step::chunk(0), 0xFE)}, kError, {S, O, D, F}},
        {"AltBlockDoneBeforeTheLastChunk", {answer(Step::chunk(1), 0xFB)}, kError, {S, O, D, D, F}},
        {"LastChunkAnsweredContinue", {answer(Step::chunk(2), 0xF9)}, kError, {S, O, D, D, D, F}},
        {"LastChunkAnsweredAltBlockDone", {}, kComplete, {S, O, D, D, D, F}, false, false, 0xFB},
        {"NoFinishReply", {silent(kFinish)}, kError, {S, O, D, D, D, F}},
        {"FinishAnsweredContinue", {answer(kFinish, 0xF9)}, kError, {S, O, D, D, D, F}},
        {"FinishAnsweredBlockDone", {answer(kFinish, 0xFE)}, kError, {S, O, D, D, D, F}},
    }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StartWait, LastsTheStartTimeOutWhenNoReplyComes) {
    Harness h;
    h.sim.model().addFault(silent(kStart));
    const auto begin = Clock::now();
    ASSERT_TRUE(h.update(updateFile(3000)));
    EXPECT_EQ(h.state(), kError);
    EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(shortTiming().startMs - 10));
}

// The device asks for patience three times while it writes; each answer moves the bar, and each next
// question waits out the pause after the answer.
TEST(FinishPhase, WritingRepliesAreAskedAgainAfterThePauseAndMoveTheBar) {
    Harness h;
    // The lagging bar: before a chunk it shows the answer to the chunk before. Delays keep each value up
    // long enough to be seen.
    Fault second = answer(Step::chunk(1), 0xF9, 64);
    second.delay = 200ms;
    h.sim.model().addFault(answer(Step::chunk(0), 0xF9, 37));
    h.sim.model().addFault(second);
    h.sim.model().addFault(fault(Step::chunk(2), [](Fault& f) { f.delay = 200ms; }));
    h.useFile(updateFile(3000));
    ASSERT_TRUE(h.toReady());

    std::map<std::size_t, Clock::time_point> seenAt;
    std::vector<double> bar{h.progress()};
    auto watch = [&] {
        const std::size_t n = h.sim.model().receivedCount();
        for (std::size_t i = 0; i < n; ++i) seenAt.emplace(i, Clock::now());
        if (h.progress() != bar.back()) bar.push_back(h.progress());
    };
    h.clickFirst();
    ASSERT_TRUE(h.runToEnd(20s, watch));
    EXPECT_EQ(h.state(), kComplete);
    ASSERT_EQ(h.commands(), (Bytes{S, O, D, D, D, F, F, F, F}));

    for (std::size_t i = 6; i < 9; ++i) EXPECT_GE(seenAt.at(i) - seenAt.at(i - 1), 90ms) << "finish request " << i - 5;

    // Every value shown is one of these, in this order; the last chunk's own 100 % never shows.
    const std::vector<double> expected{0, 0.37, 0.64, 0.25, 0.5, 0.75, 1.0};
    std::size_t at = 0;
    for (double value : bar) {
        while (at < expected.size() && expected[at] != value) ++at;
        ASSERT_LT(at, expected.size()) << "unexpected or out-of-order bar value " << value;
    }
    for (double value : {0.37, 0.64, 0.25, 0.5, 0.75, 1.0})
        EXPECT_NE(std::find(bar.begin(), bar.end(), value), bar.end()) << value << " never shown";
}

}  // namespace
