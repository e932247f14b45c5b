// The screens the component moves through on device events, buttons and the worker's requests, and how
// removals, re-arrivals and a close end a transfer under way.
#include <gtest/gtest.h>

#include <array>
#include <thread>

#include "UpdateRoad.h"

namespace {

using namespace roadtest;

constexpr int kDefaultVersion = 100;  // the simulator's release number 0x0100

// Lets every message that could follow settle.
void settle() { pumpFor(50ms); }

bool versionBecomes(Harness& h, int version) {
    return pumpUntil([&] { return Access::deviceVersion(h.c()) == version; });
}

TEST(LanguageScreen, IgnoresDeviceEventsAndOkReadsTheController) {
    Harness h({}, false);
    h.useFile(updateFile(3000));
    for (int i = 0; i < 2; ++i) {
        h.sim.plugIn();
        ASSERT_TRUE(versionBecomes(h, kDefaultVersion));
        h.sim.unplug();
        ASSERT_TRUE(versionBecomes(h, -1));
    }
    h.sim.plugIn();
    ASSERT_TRUE(versionBecomes(h, kDefaultVersion));
    settle();
    EXPECT_EQ(h.state(), kLanguage);

    ASSERT_TRUE(h.toReady());
    EXPECT_EQ(Access::deviceVersion(h.c()), kDefaultVersion);
    h.sim.unplug();
    ASSERT_TRUE(pumpUntil([&] { return h.state() == kNotConnected; }));
    EXPECT_EQ(Access::deviceVersion(h.c()), -1);
    h.sim.plugIn();
    ASSERT_TRUE(pumpUntil([&] { return h.state() == kReady; }));
    EXPECT_EQ(Access::deviceVersion(h.c()), kDefaultVersion);
}

// Without a device OK shows the not-connected screen; without a valid file too, and it stays when one comes.
TEST(LanguageScreen, OkWithoutADeviceShowsNotConnected) {
    for (bool validFile : {true, false}) {
        SCOPED_TRACE(validFile);
        Harness h({}, false);
        if (validFile) h.useFile(updateFile(3000));
        ASSERT_EQ(Access::fileValid(h.c()), validFile ? 1 : 0);
        h.clickFirst();
        EXPECT_EQ(h.state(), kNotConnected);
        EXPECT_EQ(Access::deviceVersion(h.c()), -1);
        if (!validFile) {
            h.sim.plugIn();
            ASSERT_TRUE(versionBecomes(h, kDefaultVersion));
        }
        settle();
        EXPECT_EQ(h.state(), kNotConnected);
    }
}

TEST(NoValidFile, StartOnTheReadyScreenSendsNothing) {
    Harness h;
    ASSERT_EQ(Access::fileValid(h.c()), 0);
    ASSERT_TRUE(h.toReady());
    h.clickFirst();
    EXPECT_FALSE(h.c().isThreadRunning());
    h.sim.unplug();
    ASSERT_TRUE(versionBecomes(h, -1));
    settle();
    EXPECT_EQ(h.state(), kReady);
    EXPECT_TRUE(h.requests().empty());
}

class FinalState : public ::testing::TestWithParam<bool> {};

TEST_P(FinalState, IgnoresDeviceEventsAndLaterRequests) {
    const bool complete = GetParam();
    ktrsim::ModelConfig config;
    config.finishWritingReplies = 0;
    Harness h(config);
    if (!complete) h.sim.model().addFault(fault(Step::ofCommand(S, 0), [](Fault& f) { f.replyCode = 0xFF; }));
    ASSERT_TRUE(h.update(updateFile(100)));
    const int end = complete ? kComplete : kError;
    ASSERT_EQ(h.state(), end);

    h.sim.unplug();
    ASSERT_TRUE(versionBecomes(h, -1));
    h.sim.plugIn();
    ASSERT_TRUE(versionBecomes(h, kDefaultVersion));
    h.c().changeUpdateState(MainComponent::STATE_READY);
    settle();
    EXPECT_EQ(h.state(), end);
    // The first button there closes; with no application to quit it starts nothing.
    h.clickFirst();
    EXPECT_FALSE(h.c().isThreadRunning());
    EXPECT_EQ(h.state(), end);
}

INSTANTIATE_TEST_SUITE_P(Ends, FinalState, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Complete" : "Error"; });

// A final state asked for first shows whether the earlier request was applied too.
TEST(StateRequests, OnlyTheLatestBeforeTheMessageThreadRunsIsApplied) {
    Harness h;
    h.useFile(updateFile(3000));
    ASSERT_TRUE(h.toReady());
    std::thread other([&] {
        h.c().changeUpdateState(MainComponent::STATE_ERROR);
        h.c().changeUpdateState(MainComponent::STATE_NOT_CONNECTED);
    });
    other.join();
    EXPECT_EQ(Access::pendingState(h.c()), kNotConnected);
    EXPECT_EQ(h.state(), kReady);
    settle();
    EXPECT_EQ(h.state(), kNotConnected);
    EXPECT_EQ(Access::pendingState(h.c()), -1);

    h.c().changeUpdateState(MainComponent::STATE_READY);
    h.c().changeUpdateState(MainComponent::STATE_ERROR);
    settle();
    EXPECT_EQ(h.state(), kError);
}

// Only the run loop turns: replies are delivered while the updating state is still waiting in JUCE's queue.
TEST(EarlyReplies, WakeTheWorkerBeforeTheUpdatingStateIsShown) {
    ktrsim::ModelConfig config;
    config.finishWritingReplies = 1;
    Harness h(config);
    const Bytes file = updateFile(3000);
    h.useFile(file);
    ASSERT_TRUE(h.toReady());
    h.clickFirst();
    h.clickFirst();  // a second Start while the first runs is ignored

    bool stayedReady = true;
    ASSERT_TRUE(pumpUntil([&] { return !h.c().isTransferRunning(); }, 10s,
                          [&] { stayedReady = stayedReady && h.state() == kReady; }, false));
    EXPECT_TRUE(stayedReady);
    EXPECT_EQ(Access::pendingState(h.c()), kComplete);
    EXPECT_EQ(h.requests(), simtest::wholeUpdate(file, 2));

    ASSERT_TRUE(h.runToEnd());
    EXPECT_EQ(h.state(), kComplete);
    EXPECT_EQ(h.sim.image(), file);
}

Fault leaves(Step step, std::optional<std::chrono::milliseconds> rearrive = std::nullopt) {
    return fault(step, [&](Fault& f) {
        f.removal = Fault::Removal::InsteadOfReply;
        f.rearriveAfter = rearrive;
    });
}

struct Unplugged {
    const char* name;
    Fault fault;
    Bytes commands;
    int finishMs;      // the other waits are long: an end that came from them would take seconds
    int versionAtEnd;  // the device's version seen last: back after a re-arrival
    bool waitsOutTheFinish;
};

// The device leaves instead of answering. Three chunks; the device confirms the finish at once.
class DeviceLeaves : public ::testing::TestWithParam<Unplugged> {};

TEST_P(DeviceLeaves, EndsInError) {
    const Unplugged& row = GetParam();
    MainComponent::Timing timing = longTiming();
    timing.finishMs = row.finishMs;
    ktrsim::ModelConfig config;
    config.finishWritingReplies = 0;
    Harness h(config, true, timing);
    h.sim.model().addFault(row.fault);
    h.useFile(updateFile(3000));
    ASSERT_TRUE(h.toReady());

    const auto begin = Clock::now();
    h.clickFirst();
    ASSERT_TRUE(h.runToEnd(5s));
    EXPECT_EQ(h.state(), kError);
    EXPECT_EQ(h.commands(), row.commands);
    const auto took = Clock::now() - begin;
    EXPECT_TRUE(!row.waitsOutTheFinish || took >= std::chrono::milliseconds(row.finishMs - 10));
    // Gone without a re-arrival: no reply is left for the worker to read.
    EXPECT_TRUE(row.versionAtEnd != -1 || Access::replyHead(h.c()) == (std::array<std::uint8_t, 2>{0, 0}));

    ASSERT_TRUE(versionBecomes(h, row.versionAtEnd));
    settle();
    EXPECT_EQ(h.state(), kError);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, DeviceLeaves,
    ::testing::ValuesIn(std::vector<Unplugged>{
        {"DuringTheStartWait", leaves(Step::ofCommand(S, 0)), {S}, 10000, -1, false},
        {"DuringTheStartWaitAndComesBack", leaves(Step::ofCommand(S, 0), 100ms), {S}, 10000, kDefaultVersion, false},
        // The finish request is refused without a device; only its time-out ends the transfer.
        {"DuringTheOpenBlockWait", leaves(Step::ofCommand(O, 0)), {S, O}, 500, -1, true},
        {"DuringTheDataWait", leaves(Step::chunk(1)), {S, O, D, D}, 500, -1, true},
        {"DuringTheFinishWait", leaves(Step::ofCommand(F, 0)), {S, O, D, D, D, F}, 10000, -1, false},
        // Coming back during the finish wait wakes the worker as its leaving did.
        {"DuringTheDataWaitAndComesBackDuringTheFinishWait",
         leaves(Step::chunk(1), 150ms),
         {S, O, D, D},
         10000,
         kDefaultVersion,
         false},
    }),
    [](const auto& info) { return std::string(info.param.name); });

// A device that restarts once it has answered the finish: its last answer still completes the update (a
// narrow race, so a few rounds); a still-writing answer fails at the next wait without waiting it out.
TEST(DeviceLeavesAfterAnswering, OnlyTheLastFinishReplyCompletes) {
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        const bool stillWriting = round == 5;
        ktrsim::ModelConfig config;
        config.finishWritingReplies = stillWriting ? 1 : 0;
        Harness h(config, true, longTiming());
        h.sim.model().addFault(fault(Step::ofCommand(F, 0), [](Fault& f) { f.removal = Fault::Removal::AfterReply; }));
        const Bytes file = updateFile(3000);
        ASSERT_TRUE(h.update(file, 5s));
        EXPECT_EQ(h.state(), stillWriting ? kError : kComplete);
        EXPECT_EQ(h.sim.image(), file);
    }
}

// Closing must not sit out a wait of the worker: with ten-second waits it must return within five.
class Close : public ::testing::TestWithParam<bool> {};

TEST_P(Close, DuringATransferReturnsWithoutWaitingOutATimeOut) {
    const bool inDataPhase = GetParam();
    Harness h({}, true, longTiming());
    h.sim.model().addFault(
        fault(inDataPhase ? Step::chunk(1) : Step::ofCommand(S, 0), [](Fault& f) { f.noReply = true; }));
    h.useFile(updateFile(3000));
    ASSERT_TRUE(h.toReady());
    h.clickFirst();
    ASSERT_TRUE(!inDataPhase || pumpUntil([&] { return h.sim.model().receivedCount() == 4; }));

    const auto begin = Clock::now();
    h.clickSecond();
    EXPECT_LT(Clock::now() - begin, 5s);
    EXPECT_FALSE(h.c().isThreadRunning());
    EXPECT_FALSE(h.c().isTransferRunning());
    ASSERT_TRUE(h.runToEnd(1s));
    EXPECT_EQ(h.state(), kError);
    EXPECT_TRUE(inDataPhase || h.commands().size() <= 1);
}

INSTANTIATE_TEST_SUITE_P(Moments, Close, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "InTheDataPhase" : "JustAfterStart"; });

}  // namespace
