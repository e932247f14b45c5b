// The screens the component moves through on device events, buttons and the worker's requests, and how
// removals, re-arrivals and a close end a transfer under way.
#include <gtest/gtest.h>

#include <thread>

#include "UpdateRoad.h"

namespace {

using namespace roadtest;
using ktrsim::Fault;
using ktrsim::Step;

constexpr int kLanguage = MainComponent::STATE_LANGUAGE;
constexpr int kNotConnected = MainComponent::STATE_NOT_CONNECTED;
constexpr int kReady = MainComponent::STATE_READY;
constexpr int kComplete = MainComponent::STATE_COMPLETE;
constexpr int kError = MainComponent::STATE_ERROR;
constexpr std::uint8_t S = 0xF0, O = 0xF1, F = 0xF2, D = 0xF3;
constexpr int kDefaultVersion = 100;  // the simulator's release number 0x0100

// Lets every message that could follow settle.
void settle() { pumpFor(50ms); }

bool versionBecomes(Harness& h, int version) {
    return pumpUntil([&] { return Access::deviceVersion(h.c()) == version; });
}

MainComponent::Timing longTiming() {
    MainComponent::Timing t;
    t.startMs = t.openBlockMs = t.dataMs = t.finishMs = 10000;
    t.finishPauseMs = 100;
    return t;
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

TEST(LanguageScreen, OkWithoutADeviceShowsNotConnected) {
    Harness h({}, false);
    h.useFile(updateFile(3000));
    h.clickFirst();
    EXPECT_EQ(h.state(), kNotConnected);
    EXPECT_EQ(Access::deviceVersion(h.c()), -1);
    settle();
    EXPECT_EQ(h.state(), kNotConnected);
}

TEST(NoValidFile, TheScreenAfterTheLanguageScreenStays) {
    Harness h({}, false);
    ASSERT_EQ(Access::fileValid(h.c()), 0);
    h.clickFirst();
    EXPECT_EQ(h.state(), kNotConnected);
    h.sim.plugIn();
    ASSERT_TRUE(versionBecomes(h, kDefaultVersion));
    settle();
    EXPECT_EQ(h.state(), kNotConnected);
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
    if (!complete) {
        Fault refuse;
        refuse.step = Step::ofCommand(S, 0);
        refuse.replyCode = 0xFF;
        h.sim.model().addFault(refuse);
    }
    h.useFile(updateFile(100));
    ASSERT_TRUE(h.toReady());
    h.clickFirst();
    ASSERT_TRUE(h.runToEnd());
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
    EXPECT_EQ(h.requests(), wholeUpdate(file, 123, 2));

    ASSERT_TRUE(h.runToEnd());
    EXPECT_EQ(h.state(), kComplete);
    EXPECT_EQ(h.sim.image(), file);
}

Fault removal(Step step, std::optional<std::chrono::milliseconds> rearrive = std::nullopt) {
    Fault f;
    f.step = step;
    f.removal = Fault::Removal::InsteadOfReply;
    f.rearriveAfter = rearrive;
    return f;
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
    const auto took = Clock::now() - begin;
    EXPECT_EQ(h.state(), kError);
    EXPECT_EQ(h.commands(), row.commands);
    if (row.waitsOutTheFinish) {
        EXPECT_GE(took, std::chrono::milliseconds(row.finishMs - 10));
    }
    if (row.versionAtEnd == -1) {
        EXPECT_EQ(Access::replyHead(h.c()), (std::array<std::uint8_t, 2>{0, 0}));
    }

    ASSERT_TRUE(versionBecomes(h, row.versionAtEnd));
    settle();
    EXPECT_EQ(h.state(), kError);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, DeviceLeaves,
    ::testing::Values(Unplugged{"DuringTheStartWait", removal(Step::ofCommand(S, 0)), {S}, 10000, -1, false},
                      Unplugged{"DuringTheStartWaitAndComesBack",
                                removal(Step::ofCommand(S, 0), 100ms),
                                {S},
                                10000,
                                kDefaultVersion,
                                false},
                      // The finish request is refused without a device; only its time-out ends the transfer.
                      Unplugged{"DuringTheOpenBlockWait", removal(Step::ofCommand(O, 0)), {S, O}, 500, -1, true},
                      Unplugged{"DuringTheDataWait", removal(Step::chunk(1)), {S, O, D, D}, 500, -1, true},
                      Unplugged{
                          "DuringTheFinishWait", removal(Step::ofCommand(F, 0)), {S, O, D, D, D, F}, 10000, -1, false},
                      // Coming back during the finish wait wakes the worker as its leaving did.
                      Unplugged{"DuringTheDataWaitAndComesBackDuringTheFinishWait",
                                removal(Step::chunk(1), 150ms),
                                {S, O, D, D},
                                10000,
                                kDefaultVersion,
                                false}),
    [](const auto& info) { return std::string(info.param.name); });

// A device that restarts once it has answered: the answer it gave before leaving still counts.
TEST(DeviceLeavesAfterAnswering, TheLastFinishReplyStillCompletesTheUpdate) {
    for (int round = 0; round < 5; ++round) {
        ktrsim::ModelConfig config;
        config.finishWritingReplies = 0;
        Harness h(config, true, longTiming());
        Fault leave;
        leave.step = Step::ofCommand(F, 0);
        leave.removal = Fault::Removal::AfterReply;
        h.sim.model().addFault(leave);
        const Bytes file = updateFile(3000);
        h.useFile(file);
        ASSERT_TRUE(h.toReady());
        h.clickFirst();
        ASSERT_TRUE(h.runToEnd(5s));
        EXPECT_EQ(h.state(), kComplete) << "round " << round;
        EXPECT_EQ(h.sim.image(), file);
    }
}

TEST(DeviceLeavesAfterAnswering, AStillWritingReplyFailsAtTheNextWaitWithoutWaitingItOut) {
    ktrsim::ModelConfig config;
    config.finishWritingReplies = 1;
    Harness h(config, true, longTiming());
    Fault leave;
    leave.step = Step::ofCommand(F, 0);
    leave.removal = Fault::Removal::AfterReply;
    h.sim.model().addFault(leave);
    h.useFile(updateFile(3000));
    ASSERT_TRUE(h.toReady());
    const auto begin = Clock::now();
    h.clickFirst();
    ASSERT_TRUE(h.runToEnd(5s));
    EXPECT_EQ(h.state(), kError);
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(5));
}

// Closing must not sit out a wait of the worker: with ten-second waits it must return within five.
class Close : public ::testing::TestWithParam<bool> {};

TEST_P(Close, DuringATransferReturnsWithoutWaitingOutATimeOut) {
    const bool inDataPhase = GetParam();
    Harness h({}, true, longTiming());
    Fault silent;
    silent.step = inDataPhase ? Step::chunk(1) : Step::ofCommand(S, 0);
    silent.noReply = true;
    h.sim.model().addFault(silent);
    h.useFile(updateFile(3000));
    ASSERT_TRUE(h.toReady());
    h.clickFirst();
    if (inDataPhase) {
        ASSERT_TRUE(pumpUntil([&] { return h.sim.model().receivedCount() == 4; }));
    }

    const auto begin = Clock::now();
    h.clickSecond();
    EXPECT_LT(Clock::now() - begin, 5s);
    EXPECT_FALSE(h.c().isThreadRunning());
    EXPECT_FALSE(h.c().isTransferRunning());
    ASSERT_TRUE(h.runToEnd(1s));
    EXPECT_EQ(h.state(), kError);
    const Bytes sent = h.commands();
    if (!inDataPhase) {
        EXPECT_LE(sent.size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Moments, Close, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "InTheDataPhase" : "JustAfterStart"; });

}  // namespace
