// The worker, the message thread and the device's threads at full speed together: many updates in a row,
// replies flooding in while the worker reads them, a device that keeps coming and going.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "UpdateRoad.h"

namespace {

using namespace roadtest;

TEST(Stress, ManyShortUpdatesInARowAllComplete) {
    for (std::size_t i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        ktrsim::ModelConfig config;
        config.finishWritingReplies = static_cast<int>(i % 3);
        Harness h(config, true, shortTiming(0));
        const Bytes file = updateFile(37 + i * 517, 100 + static_cast<int>(i), static_cast<std::uint32_t>(i));
        ASSERT_TRUE(h.update(file));
        EXPECT_EQ(h.state(), kComplete);
        EXPECT_EQ(h.sim.image(), file);
    }
}

// Runs fn on a thread of its own while the transfer runs to its end, then stops it.
bool runToEndDisturbed(Harness& h, const std::function<void(const std::atomic<bool>&)>& fn) {
    std::atomic<bool> stop{false};
    std::thread disturber([&] { fn(stop); });
    const bool ended = h.runToEnd(30s);
    stop = true;
    disturber.join();
    return ended;
}

// Starts the transfer and waits until the data phase is under way.
void startData(Harness& h, std::size_t size) {
    h.useFile(updateFile(size));
    ASSERT_TRUE(h.toReady());
    h.clickFirst();
    ASSERT_TRUE(pumpUntil([&] { return h.sim.model().receivedCount() >= 3; }));
}

// Reports the device never sent in answer to anything: the worker takes some of them for replies, so the
// outcome may be either end, but it must come, with the reply never read while it is written.
TEST(Stress, UnaskedReportsFloodingInWhileTheWorkerReadsEndTheTransfer) {
    ktrsim::ModelConfig config;
    config.finishWritingReplies = 2;
    Harness h(config, true, shortTiming(0));
    ASSERT_NO_FATAL_FAILURE(startData(h, 200000));
    auto device = h.sim.device();
    ASSERT_TRUE(runToEndDisturbed(h, [device](const std::atomic<bool>& stop) {
        Bytes report(64, 0);
        for (int i = 0; i < 20000 && !stop; ++i) {
            report[0] = 0xF9;
            report[1] = static_cast<std::uint8_t>(i % 101);
            device->sendInput(report);
            if (i % 16 == 0) std::this_thread::yield();
        }
    }));
    EXPECT_TRUE(isFinal(h.state()));
    EXPECT_FALSE(h.c().isTransferRunning());
}

// A close wakes the worker out of its wait; whatever the worker does next, it must not begin a wait of
// ten seconds that the close then sits out: the message thread it would need for a reply is the one
// waiting for it. The window is narrow, so the close comes at many moments.
TEST(Stress, ClosingAtAnyMomentOfTheDataPhaseNeverWaitsOutATimeOut) {
    for (std::size_t i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        Harness h({}, true, longTiming(0));
        h.sim.model().addFault(fault(Step::chunk(i % 5), [](Fault& f) { f.noReply = true; }));
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
    Harness h({}, true, shortTiming(0));
    ASSERT_NO_FATAL_FAILURE(startData(h, 40000));
    ASSERT_TRUE(runToEndDisturbed(h, [&sim = h.sim](const std::atomic<bool>& stop) {
        for (int i = 0; i < 40 && !stop; ++i) {
            sim.replug();
            std::this_thread::sleep_for(2ms);
        }
    }));
    EXPECT_TRUE(isFinal(h.state()));
    // Whatever the last event was, the version shown follows it once the run loop has delivered it.
    pumpFor(50ms);
    EXPECT_EQ(Access::deviceVersion(h.c()), h.sim.isPluggedIn() ? 100 : -1);
}

}  // namespace
