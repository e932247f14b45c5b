#include <IOKit/hid/IOHIDManager.h>
#include <gtest/gtest.h>
#include <ktrsim/SimulatedKtrQ7.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "Host.h"
#include "Requests.h"
#include "TestSupport.h"

using namespace ktrsim;
using namespace simtest;
using namespace std::chrono_literals;

TEST(SimulatedBus, IdentityAsHidProperties) {
    ModelConfig config;
    config.identity.productID = 0x63;
    config.identity.releaseNumber = 0x0123;
    config.identity.locationID = 0x1A2B0000;
    SimulatedKtrQ7 sim(config);
    Host host;
    ASSERT_TRUE(host.waitForDevice());
    IOHIDDeviceRef d = host.device();
    EXPECT_EQ(numberProperty(d, kIOHIDVendorIDKey), 0x4D2A);
    EXPECT_EQ(numberProperty(d, kIOHIDProductIDKey), 0x63);
    EXPECT_EQ(numberProperty(d, kIOHIDVersionNumberKey), 0x0123);
    EXPECT_EQ(numberProperty(d, kIOHIDLocationIDKey), 0x1A2B0000);
    EXPECT_EQ(numberProperty(d, kIOHIDPrimaryUsagePageKey), 0xFF00);
    EXPECT_EQ(numberProperty(d, kIOHIDPrimaryUsageKey), 1);
    EXPECT_EQ(numberProperty(d, kIOHIDMaxInputReportSizeKey), 1024);
    EXPECT_EQ(numberProperty(d, kIOHIDMaxOutputReportSizeKey), 1024);
    EXPECT_EQ(textProperty(d, kIOHIDProductKey), "KTR-Q7");
    EXPECT_EQ(textProperty(d, kIOHIDManufacturerKey), "KTR");
}

TEST(SimulatedBus, LocationIdCanBeAbsent) {
    ModelConfig config;
    config.identity.locationID.reset();
    SimulatedKtrQ7 sim(config);
    Host host;
    ASSERT_TRUE(host.waitForDevice());
    EXPECT_FALSE(numberProperty(host.device(), kIOHIDLocationIDKey));
    EXPECT_EQ(numberProperty(host.device(), kIOHIDProductIDKey), 0x61);
}

TEST(SimulatedBus, FullUpdateFromWorkerThread) {
    const auto file = makeFile(2500);
    SimulatedKtrQ7 sim;
    Host host;
    ASSERT_TRUE(host.waitForDevice());

    std::vector<std::vector<uint8_t>> requests = {startRequestFor(file), openRequest()};
    for (const auto& r : dataRequests(file)) requests.push_back(r);
    for (int i = 0; i < 4; ++i) requests.push_back(finishRequest());

    std::vector<uint8_t> codes;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (const auto& r : requests) {
            const auto answer = host.exchangeFromWorker(r);
            if (!answer) break;
            codes.push_back((*answer)[0]);
        }
        done = true;
    });
    ktrtest::pumpUntil([&] { return done.load(); }, 60s);
    worker.join();

    const std::vector<uint8_t> expected = {reply::kStarted,  reply::kContinue,  reply::kContinue,
                                           reply::kContinue, reply::kBlockDone, reply::kWriting,
                                           reply::kWriting,  reply::kWriting,   reply::kFinished};
    EXPECT_EQ(codes, expected);
    for (CFIndex length : host.inputLengths()) EXPECT_EQ(length, 1024);
    EXPECT_EQ(host.inputs().back()[1], 100);
    EXPECT_TRUE(sim.waitForIdle());
    EXPECT_EQ(sim.receivedReports(), requests);
    EXPECT_EQ(sim.image(), file);
    EXPECT_TRUE(sim.crcMatches());
}

TEST(SimulatedBus, OnlyOutputReportsReachTheModel) {
    SimulatedKtrQ7 sim;
    Host host;
    ASSERT_TRUE(host.waitForDevice());
    EXPECT_EQ(host.send(startRequest(1, 10, 0), kIOHIDReportTypeFeature), kIOReturnSuccess);
    EXPECT_TRUE(sim.waitForIdle());
    EXPECT_EQ(sim.model().receivedCount(), 0u);
}

TEST(SimulatedBus, DelayedReplyAndShutdownWithPendingActions) {
    const auto file = makeFile(100);
    Host host;
    {
        SimulatedKtrQ7 sim;
        Fault shortDelay;
        shortDelay.step = Step::report(0);
        shortDelay.delay = 30ms;
        sim.model().addFault(shortDelay);
        Fault forever;
        forever.step = Step::report(1);
        forever.delay = std::chrono::hours(1);
        sim.model().addFault(forever);
        ASSERT_TRUE(host.waitForDevice());

        const auto started = host.exchange(startRequestFor(file));
        ASSERT_TRUE(started);
        EXPECT_EQ((*started)[0], reply::kStarted);

        // The send returns although its reply is an hour away.
        EXPECT_EQ(host.send(openRequest()), kIOReturnSuccess);
        EXPECT_FALSE(sim.waitForIdle(20ms));
        EXPECT_EQ(sim.model().receivedCount(), 2u);
    }
    // Destruction dropped the pending reply and took the device off the bus.
    ASSERT_TRUE(host.pumpUntilEvents(3));
    ktrtest::pumpFor(50ms);
    EXPECT_EQ(host.events(), (Events{"arrival", "input", "removal"}));
}

TEST(SimulatedBus, RemovalInsteadOfReplyThenRearrival) {
    const auto file = makeFile(1500);
    SimulatedKtrQ7 sim;
    Fault gone;
    gone.step = Step::ofCommand(command::kOpenBlock, 0);
    gone.removal = Fault::Removal::InsteadOfReply;
    gone.rearriveAfter = 20ms;
    sim.model().addFault(gone);
    Host host;
    ASSERT_TRUE(host.waitForDevice());

    ASSERT_TRUE(host.exchange(startRequestFor(file)));
    EXPECT_EQ(host.send(openRequest()), kIOReturnSuccess);
    ASSERT_TRUE(host.pumpUntilEvents(4));
    EXPECT_EQ(host.events(), (Events{"arrival", "input", "removal", "arrival"}));
    ASSERT_TRUE(sim.waitForIdle());
    EXPECT_TRUE(sim.isPluggedIn());

    // The re-arrived device lost its session and takes a new one.
    EXPECT_EQ((*host.exchange(dataRequests(file)[0]))[0], reply::kRejected);
    EXPECT_EQ((*host.exchange(startRequestFor(file)))[0], reply::kStarted);
    EXPECT_EQ((*host.exchange(openRequest()))[0], reply::kContinue);
    for (const auto& r : dataRequests(file)) ASSERT_TRUE(host.exchange(r));
    EXPECT_TRUE(sim.crcMatches());
}

TEST(SimulatedBus, RemovalAfterReply) {
    SimulatedKtrQ7 sim;
    Fault after;
    after.step = Step::report(0);
    after.removal = Fault::Removal::AfterReply;
    sim.model().addFault(after);
    Host host;
    ASSERT_TRUE(host.waitForDevice());
    EXPECT_EQ(host.send(startRequest(1, 10, 0)), kIOReturnSuccess);
    ASSERT_TRUE(host.pumpUntilEvents(3));
    EXPECT_EQ(host.events(), (Events{"arrival", "input", "removal"}));
    EXPECT_EQ(host.inputs()[0][0], reply::kStarted);
    ASSERT_TRUE(sim.waitForIdle());
    EXPECT_FALSE(sim.isPluggedIn());
    EXPECT_EQ(sim.model().phase(), KtrQ7Model::Phase::Idle);
}

TEST(SimulatedBus, ShortAndOversizedInputReports) {
    ModelConfig config;
    config.inputReportSize = 64;
    SimulatedKtrQ7 sim(config);
    Fault tiny;
    tiny.step = Step::report(0);
    tiny.replySize = 2;
    sim.model().addFault(tiny);
    Fault huge;
    huge.step = Step::report(1);
    huge.replySize = 2000;
    sim.model().addFault(huge);
    Host host;
    ASSERT_TRUE(host.waitForDevice());

    const auto file = makeFile(10);
    ASSERT_TRUE(host.exchange(startRequestFor(file)));
    ASSERT_TRUE(host.exchange(openRequest()));
    ASSERT_TRUE(host.exchange(dataRequests(file)[0]));
    EXPECT_EQ(host.inputLengths(), (std::vector<CFIndex>{2, 2000, 64}));
    const auto inputs = host.inputs();
    EXPECT_EQ(inputs[0], (std::vector<uint8_t>{reply::kStarted, 0}));
    EXPECT_EQ(inputs[1][0], reply::kContinue);
    EXPECT_EQ(inputs[2][0], reply::kBlockDone);
}

TEST(SimulatedBus, PlugInUnplugAndReplugOnCommand) {
    const auto file = makeFile(1500);
    SimulatedKtrQ7 sim(ModelConfig{}, false);
    Host host;
    ktrtest::pumpFor(30ms);
    EXPECT_FALSE(sim.isPluggedIn());
    EXPECT_EQ(host.device(), nullptr);

    sim.plugIn();
    sim.plugIn();  // already in: no second arrival
    ASSERT_TRUE(host.waitForDevice());
    ASSERT_TRUE(host.exchange(startRequestFor(file)));
    ASSERT_TRUE(host.exchange(openRequest()));

    sim.unplug();
    EXPECT_FALSE(sim.isPluggedIn());
    EXPECT_EQ(sim.model().phase(), KtrQ7Model::Phase::Idle);
    ASSERT_TRUE(host.pumpUntilEvents(4));
    sim.unplug();  // already out
    sim.replug();
    ASSERT_TRUE(host.waitForDevice());
    EXPECT_EQ((*host.exchange(dataRequests(file)[0]))[0], reply::kRejected);

    // Replug while plugged in: out and in again.
    sim.replug();
    ASSERT_TRUE(host.pumpUntilEvents(8));
    ktrtest::pumpFor(30ms);
    EXPECT_EQ(host.events(),
              (Events{"arrival", "input", "input", "removal", "arrival", "input", "removal", "arrival"}));
}

TEST(SimulatedBus, UnplugDropsPendingActions) {
    SimulatedKtrQ7 sim;
    Fault slow;
    slow.step = Step::report(0);
    slow.delay = std::chrono::hours(1);
    sim.model().addFault(slow);
    Fault comeBack;
    comeBack.step = Step::report(1);
    comeBack.removal = Fault::Removal::InsteadOfReply;
    comeBack.rearriveAfter = std::chrono::hours(1);
    sim.model().addFault(comeBack);
    Host host;
    ASSERT_TRUE(host.waitForDevice());

    EXPECT_EQ(host.send(startRequest(1, 10, 0)), kIOReturnSuccess);
    sim.unplug();
    EXPECT_TRUE(sim.waitForIdle());
    sim.plugIn();
    ASSERT_TRUE(host.pumpUntilEvents(3));
    ktrtest::pumpFor(30ms);
    EXPECT_EQ(host.events(), (Events{"arrival", "removal", "arrival"}));

    // A re-arrival scheduled far ahead is dropped too.
    ASSERT_TRUE(host.waitForDevice());
    EXPECT_EQ(host.send(startRequest(1, 10, 0)), kIOReturnSuccess);
    EXPECT_FALSE(sim.waitForIdle(20ms));
    sim.unplug();
    EXPECT_TRUE(sim.waitForIdle());
    EXPECT_FALSE(sim.isPluggedIn());
}
