#include <gtest/gtest.h>
#include <ktrsim/SimulatedKtrQ7.h>

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
    ModelConfig noLocation;
    noLocation.identity.locationID.reset();
    for (const ModelConfig& c : {config, noLocation}) {
        SimulatedKtrQ7 sim(c);
        Host host;
        ASSERT_TRUE(host.waitForDevice());
        expectKtrProperties(host.device(), c.identity.productID, c.identity.releaseNumber, c.identity.locationID);
    }
}

TEST(SimulatedBus, PendingActionsDroppedByUnplugAndShutdown) {
    const auto hour = std::chrono::hours(1);
    Host host;
    {
        SimulatedKtrQ7 sim;
        sim.model().addFault(fault(Step::report(0), [](Fault& f) { f.delay = 30ms; }));
        sim.model().addFault(fault(Step::report(1), [&](Fault& f) { f.delay = hour; }));
        sim.model().addFault(fault(Step::report(2), [&](Fault& f) {
            f.removal = Fault::Removal::InsteadOfReply;
            f.rearriveAfter = hour;
        }));
        sim.model().addFault(fault(Step::report(3), [&](Fault& f) { f.delay = hour; }));
        ASSERT_TRUE(host.waitForDevice());
        // Only output reports reach the model.
        EXPECT_EQ(host.send(startRequest(1, 10, 0), kIOHIDReportTypeFeature), kIOReturnSuccess);
        EXPECT_EQ((*host.exchange(startRequest(1, 10, 0)))[0], reply::kStarted);

        // The send returns although its reply is an hour away; an unplug drops the reply.
        EXPECT_EQ(host.send(openRequest()), kIOReturnSuccess);
        EXPECT_FALSE(sim.waitForIdle(20ms));
        sim.unplug();
        EXPECT_TRUE(sim.waitForIdle());
        sim.plugIn();
        ASSERT_TRUE(host.pumpUntilEvents(4));
        ASSERT_TRUE(host.waitForDevice());

        // A re-arrival scheduled far ahead is dropped too.
        EXPECT_EQ(host.send(startRequest(1, 10, 0)), kIOReturnSuccess);
        EXPECT_FALSE(sim.waitForIdle(20ms));
        sim.unplug();
        EXPECT_TRUE(sim.waitForIdle());
        EXPECT_FALSE(sim.isPluggedIn());
        sim.plugIn();
        ASSERT_TRUE(host.pumpUntilEvents(6));
        ASSERT_TRUE(host.waitForDevice());

        // So is a reply pending at destruction, which takes the device off the bus.
        EXPECT_EQ(host.send(startRequest(1, 10, 0)), kIOReturnSuccess);
        EXPECT_EQ(sim.model().receivedCount(), 4u);
    }
    ASSERT_TRUE(host.pumpUntilEvents(7));
    ktrtest::pumpFor(50ms);
    EXPECT_EQ(host.events(), (Events{"arrival", "input", "removal", "arrival", "removal", "arrival", "removal"}));
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
