// The worker, the message thread and the device's threads at full speed together: many updates in a row,
// replies flooding in while the worker reads them, a device that keeps coming and going.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "UpdateRoad.h"

namespace {

using namespace roadtest;

MainComponent::Timing quickTiming() {
    MainComponent::Timing t = shortTiming();
    t.finishPauseMs = 0;
    return t;
}

TEST(Stress, ManyShortUpdatesInARowAllComplete) {
    for (std::size_t i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        ktrsim::ModelConfig config;
        config.finishWritingReplies = static_cast<int>(i % 3);
        Harness h(config, true, quickTiming());
        const Bytes file = updateFile(37 + i * 517, 100 + static_cast<int>(i), static_cast<std::uint32_t>(i));
        h.useFile(file);
        ASSERT_TRUE(h.toReady());
        h.clickFirst();
        ASSERT_TRUE(h.runToEnd());
        EXPECT_EQ(h.state(), MainComponent::STATE_COMPLETE);
        EXPECT_EQ(h.sim.image(), file);
    }
}

// Runs fn on a thread of its own until the transfer is over, then ends it.
class Disturber {
public:
    explicit Disturber(std::function<void(const std::atomic<bool>&)> fn)
        : m_thread([this, fn = std::move(fn)] { fn(m_stop); }) {}
    ~Disturber() {
        m_stop = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Reports the device never sent in answer to anything: the worker takes some of them for replies, so the
// outcome may be either end, but it must come, with the reply never read while it is written.
TEST(Stress, UnaskedReportsFloodingInWhileTheWorkerReadsEndTheTransfer) {
    ktrsim::ModelConfig config;
    config.finishWritingReplies = 2;
    Harness h(config, true, quickTiming());
    h.useFile(updateFile(200000));
    ASSERT_TRUE(h.toReady());
    h.clickFirst();
    ASSERT_TRUE(pumpUntil([&] { return h.sim.model().receivedCount() >= 3; }));
    {
        auto device = h.sim.device();
        Disturber flood([device](const std::atomic<bool>& stop) {
            Bytes report(64, 0);
            for (int i = 0; i < 20000 && !stop; ++i) {
                report[0] = 0xF9;
                report[1] = static_cast<std::uint8_t>(i % 101);
                device->sendInput(report);
                if (i % 16 == 0) std::this_thread::yield();
            }
        });
        ASSERT_TRUE(h.runToEnd(30s));
    }
    EXPECT_TRUE(isFinal(h.state()));
    EXPECT_FALSE(h.c().isTransferRunning());
}

// A close wakes the worker out of its wait; whatever the worker does next, it must not begin a wait of
// ten seconds that the close then sits out: the message thread it would need for a reply is the one
// waiting for it. The window is narrow, so the close comes at many moments.
TEST(Stress, ClosingAtAnyMomentOfTheDataPhaseNeverWaitsOutATimeOut) {
    MainComponent::Timing timing;
    timing.startMs = timing.openBlockMs = timing.dataMs = timing.finishMs = 10000;
    timing.finishPauseMs = 0;
    for (std::size_t i = 0; i < 25; ++i) {
        SCOPED_TRACE(i);
        Harness h({}, true, timing);
        ktrsim::Fault silent;
        silent.step = ktrsim::Step::chunk(i % 5);
        silent.noReply = true;
        h.sim.model().addFault(silent);
        h.useFile(updateFile(6000));
        ASSERT_TRUE(h.toReady());
        h.clickFirst();
        ASSERT_TRUE(pumpUntil([&] { return h.sim.model().receivedCount() == 3 + i % 5; }));

        const auto begin = Clock::now();
        h.clickSecond();
        EXPECT_LT(Clock::now() - begin, 5s);
        EXPECT_FALSE(h.c().isThreadRunning());
    }
}

TEST(Stress, ADeviceComingAndGoingDuringTheTransferEndsIt) {
    Harness h({}, true, quickTiming());
    h.useFile(updateFile(40000));
    ASSERT_TRUE(h.toReady());
    h.clickFirst();
    ASSERT_TRUE(pumpUntil([&] { return h.sim.model().receivedCount() >= 3; }));
    {
        Disturber bounce([&sim = h.sim](const std::atomic<bool>& stop) {
            for (int i = 0; i < 40 && !stop; ++i) {
                sim.replug();
                std::this_thread::sleep_for(2ms);
            }
        });
        ASSERT_TRUE(h.runToEnd(30s));
    }
    EXPECT_TRUE(isFinal(h.state()));
    // Whatever the last event was, the version shown follows it once the run loop has delivered it.
    pumpFor(50ms);
    EXPECT_EQ(Access::deviceVersion(h.c()), h.sim.isPluggedIn() ? 100 : -1);
}

}  // namespace
