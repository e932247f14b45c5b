// Whole updates through the component's worker against the simulated KTR-Q7: what reaches the device, request
// by request, how the transfer ends when the device, the file, a removal or a close lets it down at each step,
// the rhythm and progress of its last phase, and the screens that device events, buttons and the worker's
// requests lead to.
#include <atomic>
#include <thread>

#include "Road.h"

using namespace road;

namespace {

struct Size {
    std::size_t bytes;
    int version;
    std::size_t replySize;  // of every input report; only code and percentage are read
    std::size_t cut = 0;    // the file shortened to this after the check: the rest goes out as 0xFF
};

class WholeUpdate : public ::testing::TestWithParam<Size> {};

TEST_P(WholeUpdate, ReachesTheDeviceExactlyAndCompletes) {
    const Size size = GetParam();
    ktrsim::ModelConfig config;
    config.identity.releaseNumber = 0x0105;
    config.inputReportSize = size.replySize;
    Harness h(config);
    Bytes file = updateFile(size.bytes, size.version, static_cast<std::uint32_t>(size.bytes));
    ASSERT_TRUE(h.toReady(file));
    EXPECT_EQ(h.version(), 105);
    if (size.cut != 0) std::filesystem::resize_file(h.path, size.cut);
    h.click();
    h.click();  // a second Start while the first runs is ignored
    EXPECT_TRUE(h.c.isTransferRunning());
    // Only the run loop turns: replies wake the worker while the updating state still waits in JUCE's queue.
    ASSERT_TRUE(pumpUntil([&] { return !h.c.isTransferRunning(); }, 20s, {}, false));
    ASSERT_TRUE(pumpUntil([&] { return h.isFinal(); }));
    // The device is the one to judge a shortened file by the CRC announced.
    EXPECT_EQ(h.state(), kComplete);
    EXPECT_DOUBLE_EQ(h.progress(), 1.0);

    const auto expected = simtest::wholeUpdate(file, 4, size.version);
    std::fill(file.begin() + static_cast<long>(size.cut ? size.cut : size.bytes), file.end(), 0xFF);
    EXPECT_EQ(h.sim.image(), file);
    const auto sent = h.sim.receivedReports();
    ASSERT_EQ(sent.size(), expected.size());
    for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_TRUE(sent[i] == expected[i] || (size.cut && i > 1)) << i;
    for (const auto& report : h.sim.device()->outputReports()) EXPECT_EQ(report.reportID, 0u);
}

// Versions 999 and 1 give the start request's bytes 2 and 3 as 3E 70 and 00 10.
INSTANTIATE_TEST_SUITE_P(Sizes, WholeUpdate,
                         ::testing::Values(Size{37, 999, 2}, Size{1022, 1, 1024}, Size{1023, 123, 2000},
                                           Size{2044, 500, 64}, Size{3000, 123, 1024, 1500}, Size{74565, 123, 1024}),
                         [](const auto& info) { return std::to_string(info.param.bytes) + "bytes"; });

Fault answer(Step step, std::uint8_t code, Fault::Removal removal = Fault::Removal::None) {
    return fault(step, [&](Fault& f) { f.replyCode = code, f.removal = removal; });
}
Fault leaves(Step step, std::optional<std::chrono::milliseconds> rearrive = std::nullopt) {
    return fault(step, [&](Fault& f) { f.removal = Fault::Removal::InsteadOfReply, f.rearriveAfter = rearrive; });
}
const Step kStart = Step::ofCommand(S, 0), kOpen = Step::ofCommand(O, 0), kFinish = Step::ofCommand(F, 0);
constexpr auto kAfter = Fault::Removal::AfterReply;
const Fault lastThenGone = answer(kFinish, 0xFC, kAfter);
const Bytes kAll = {S, O, D, D, D, F};  // every request of an update whose finish is confirmed at once
constexpr int kLong = 10000;
const auto noFileCheck = [](Harness& h) { h.setFileCheck(0); };
const auto fileGone = [](Harness& h) { std::filesystem::remove(h.path); };

struct End {
    const char* name;
    std::vector<Fault> faults;
    int state;
    Bytes commands;
    int waitMs = 500, finishMs = 500;  // the run must end within 5 s: a wait of 10 s must not be sat out
    int minMs = 0;                     // a wait the run must sit out
    int version = kDefaultVersion;     // the device's version seen last: -1 after a removal without return
    std::function<void(Harness&)> beforeStart = {};
};

// Three chunks (1022, 1022, 956 bytes); the device confirms the finish at once.
class TransferEnd : public ::testing::TestWithParam<End> {};

TEST_P(TransferEnd, ReachesItsFinalStateAfterExactlyItsRequests) {
    const End& row = GetParam();
    ktrsim::ModelConfig config;
    config.finishWritingReplies = 0;
    Harness h(config, true, waits(row.waitMs, row.finishMs));
    for (const Fault& f : row.faults) h.sim.model().addFault(f);
    ASSERT_TRUE(h.toReady(updateFile(3000)));
    if (row.beforeStart) row.beforeStart(h);

    const auto begin = Clock::now();
    ASSERT_TRUE(h.run(5s));
    EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(row.minMs - 10));
    EXPECT_EQ(h.state(), row.state);
    EXPECT_EQ(h.commands(), row.commands);
    EXPECT_FALSE(h.c.isTransferRunning());
    ASSERT_TRUE(pumpUntil([&] { return h.version() == (row.version); }));

    // Final: device events, later requests and the first button, which closes there, change nothing.
    h.c.changeUpdateState(MainComponent::STATE_READY);
    settle();
    h.click();
    EXPECT_FALSE(h.c.isThreadRunning());
    EXPECT_EQ(h.state(), row.state);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, TransferEnd,
    ::testing::ValuesIn(std::vector<End>{
        {"NothingSentWithoutFileCheck", {}, kError, {}, 500, 500, 0, kDefaultVersion, noFileCheck},
        {"NoStartReply", {silent(kStart)}, kError, {S}, 500, 500, 500},
        {"StartAnsweredContinue", {answer(kStart, 0xF9)}, kError, {S}},
        {"FileGoneAtSendTime", {}, kError, {S, F}, 500, 500, 0, kDefaultVersion, fileGone},
        {"NoOpenBlockReply", {silent(kOpen)}, kError, {S, O, F}},
        {"OpenBlockDeclinedSkipsTheData", {answer(kOpen, 0xFE)}, kComplete, {S, O, F}},
        {"NoReplyToAMiddleChunk", {silent(Step::chunk(1))}, kError, {S, O, D, D, F}},
        {"NoReplyToTheLastChunk", {silent(Step::chunk(2))}, kError, kAll},
        {"BlockDoneBeforeTheLastChunk", {answer(Step::chunk(0), 0xFE)}, kError, {S, O, D, F}},
        {"AltBlockDoneBeforeTheLastChunk", {answer(Step::chunk(1), 0xFB)}, kError, {S, O, D, D, F}},
        {"LastChunkAnsweredContinue", {answer(Step::chunk(2), 0xF9)}, kError, kAll},
        {"LastChunkAnsweredAltBlockDone", {answer(Step::chunk(2), 0xFB)}, kComplete, kAll},
        {"NoFinishReply", {silent(kFinish)}, kError, kAll},
        {"FinishAnsweredContinue", {answer(kFinish, 0xF9)}, kError, kAll},
        {"FinishAnsweredBlockDone", {answer(kFinish, 0xFE)}, kError, kAll},
        // The device leaves instead of answering: at the start wait that ends the run at once.
        {"LeavesAtTheStartWait", {leaves(kStart)}, kError, {S}, kLong, kLong, 0, -1},
        {"LeavesAtTheStartWaitAndComesBack", {leaves(kStart, 100ms)}, kError, {S}, kLong, kLong},
        // Later the finish request is refused without a device; only its time-out ends the transfer.
        {"LeavesAtTheOpenBlockWait", {leaves(kOpen)}, kError, {S, O}, kLong, 500, 500, -1},
        {"LeavesAtTheDataWait", {leaves(Step::chunk(1))}, kError, {S, O, D, D}, kLong, 500, 500, -1},
        {"LeavesAtTheFinishWait", {leaves(kFinish)}, kError, kAll, kLong, kLong, 0, -1},
        // Coming back during the finish wait wakes the worker as its leaving did.
        {"LeavesAtTheDataWaitBackInTheFinishWait", {leaves(Step::chunk(1), 150ms)}, kError, {S, O, D, D}, kLong, kLong},
        // A device that restarts once it has answered the finish: its last answer still completes the update (a
        // narrow race, so more than once); a still-writing answer fails at the next wait without waiting it out.
        {"LeavesAfterTheLastFinishReply", {lastThenGone}, kComplete, kAll, kLong, kLong, 0, -1},
        {"LeavesAfterTheLastFinishReply2", {lastThenGone}, kComplete, kAll, kLong, kLong, 0, -1},
        {"LeavesAfterTheLastFinishReply3", {lastThenGone}, kComplete, kAll, kLong, kLong, 0, -1},
        {"LeavesAfterAStillWritingReply", {answer(kFinish, 0xF7, kAfter)}, kError, kAll, kLong, kLong, 0, -1},
    }),
    [](const auto& info) { return std::string(info.param.name); });

// The device asks for patience three times while it writes; each answer moves the bar, and each next question
// waits out the pause after the answer.
TEST(FinishPhase, WritingRepliesAreAskedAgainAfterThePauseAndMoveTheBar) {
    Harness h;
    // The lagging bar: before a chunk it shows the answer to the chunk before. Delays keep each value up long
    // enough to be seen.
    h.sim.model().addFault(fault(Step::chunk(0), [](Fault& f) { f.percent = 37; }));
    h.sim.model().addFault(fault(Step::chunk(1), [](Fault& f) { f.percent = 64, f.delay = 200ms; }));
    h.sim.model().addFault(fault(Step::chunk(2), [](Fault& f) { f.delay = 200ms; }));
    ASSERT_TRUE(h.toReady(updateFile(3000)));
    std::vector<Clock::time_point> seenAt;
    std::vector<double> bar{0};
    ASSERT_TRUE(h.run(20s, [&] {
        seenAt.resize(h.sim.model().receivedCount(), Clock::now());
        if (h.progress() != bar.back()) bar.push_back(h.progress());
    }));
    EXPECT_EQ(h.state(), kComplete);
    ASSERT_EQ(h.commands(), (Bytes{S, O, D, D, D, F, F, F, F}));
    for (std::size_t i = 6; i < 9; ++i) EXPECT_GE(seenAt[i] - seenAt[i - 1], 90ms) << "finish request " << i - 5;
    // Every value shown, in this order; the last chunk's own 100 % never shows.
    EXPECT_EQ(bar, (std::vector<double>{0, 0.37, 0.64, 0.25, 0.5, 0.75, 1.0}));
}

TEST(LanguageScreen, IgnoresDeviceEventsThenOkAndEventsChooseTheScreen) {
    Harness h({}, false);
    for (bool plug : {true, false, true}) {
        plug ? h.sim.plugIn() : h.sim.unplug();
        ASSERT_TRUE(pumpUntil([&] { return h.version() == (plug ? kDefaultVersion : -1); }));
    }
    settle();
    EXPECT_EQ(h.state(), kLanguage);
    ASSERT_TRUE(h.toReady(updateFile(3000)));
    for (bool plug : {false, true}) {
        plug ? h.sim.plugIn() : h.sim.unplug();
        ASSERT_TRUE(pumpUntil([&] { return h.state() == (plug ? kReady : kNotConnected); }));
        EXPECT_EQ(h.version(), plug ? kDefaultVersion : -1);
    }
}

// Without a valid file OK shows the controller's screen, which then stays; Start there sends nothing.
TEST(NoValidFile, OkShowsTheDeviceStateAndNothingChangesItThen) {
    for (bool plugged : {false, true}) {
        SCOPED_TRACE(plugged);
        Harness h({}, plugged);
        const int screen = plugged ? kReady : kNotConnected;
        h.click();
        EXPECT_EQ(h.state(), screen);
        EXPECT_EQ(h.version(), plugged ? kDefaultVersion : -1);
        h.click();  // Start on the ready screen; elsewhere a quit, with no application to end
        EXPECT_FALSE(h.c.isThreadRunning());
        plugged ? h.sim.unplug() : h.sim.plugIn();
        ASSERT_TRUE(pumpUntil([&] { return h.version() == (plugged ? -1 : kDefaultVersion); }));
        settle();
        EXPECT_EQ(h.state(), screen);
        EXPECT_TRUE(h.sim.receivedReports().empty());
    }
}

// A final state asked for first shows whether the earlier request was applied too.
TEST(StateRequests, OnlyTheLatestBeforeTheMessageThreadRunsIsApplied) {
    Harness h;
    ASSERT_TRUE(h.toReady(updateFile(3000)));
    std::thread([&] {
        h.c.changeUpdateState(MainComponent::STATE_ERROR);
        h.c.changeUpdateState(MainComponent::STATE_NOT_CONNECTED);
    }).join();
    EXPECT_EQ(h.state(), kReady);
    settle();
    EXPECT_EQ(h.state(), kNotConnected);
    EXPECT_EQ(h.pending(), -1);
}

// A close wakes the worker out of its wait; whatever the worker does next, it must not begin a wait of ten
// seconds that the close then sits out: the message thread it would need for a reply is the one waiting for
// it. The window is narrow, so the close comes at the start wait and at many moments of the data phase.
TEST(Close, DuringATransferNeverWaitsOutATimeOut) {
    for (int i = -1; i < 15; ++i) {
        SCOPED_TRACE(i);
        Harness h({}, true, waits(10000, 10000, 0));
        h.sim.model().addFault(silent(i < 0 ? Step::ofCommand(S, 0) : Step::chunk(i % 5)));
        ASSERT_TRUE(h.toReady(updateFile(6000)));
        h.click();
        ASSERT_TRUE(pumpUntil([&] { return h.sim.model().receivedCount() == (i < 0 ? 1u : 3u + i % 5); }));
        const auto begin = Clock::now();
        h.click(false);
        ASSERT_LT(Clock::now() - begin, 5s);
        EXPECT_FALSE(h.c.isThreadRunning());
        EXPECT_TRUE(pumpUntil([&] { return h.state() == kError; }, 1s));
        EXPECT_TRUE(i >= 0 || h.commands().size() <= 1);
    }
}

// Reports the device never sent in answer to anything flood in while the worker reads: the worker takes some
// of them for replies, so the outcome may be either end, but it must come, with the reply never read while it
// is written.
TEST(Stress, UnaskedReportsFloodingInWhileTheWorkerReadsEndTheTransfer) {
    ktrsim::ModelConfig config;
    config.finishWritingReplies = 2;
    Harness h(config, true, waits(500, 500, 0));
    ASSERT_TRUE(h.toReady(updateFile(200000)));
    h.click();
    ASSERT_TRUE(pumpUntil([&] { return h.sim.model().receivedCount() >= 3; }));
    std::atomic<bool> stop{false};
    std::thread flood([&stop, device = h.sim.device()] {
        Bytes report(64, 0xF9);
        for (int i = 0; i < 20000 && !stop; ++i) {
            report[1] = static_cast<std::uint8_t>(i % 101);
            device->sendInput(report);
            if (i % 16 == 0) std::this_thread::yield();
        }
    });
    const bool ended = pumpUntil([&] { return h.isFinal() && !h.c.isThreadRunning(); }, 30s);
    stop = true;
    flood.join();
    EXPECT_TRUE(ended);
}

}  // namespace
