// The device controller against the simulated KTR-Q7: a whole update driven
// request by request from a worker thread while this thread runs the callbacks,
// the way the transfer will use it.
#include <gtest/gtest.h>
#include <ktrsim/SimulatedKtrQ7.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "../simulator/Requests.h"
#include "HidCtrl.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;

// Owner of the controller: keeps each reply and wakes the worker.
struct ReplyOwner : HidHandler {
    HidCtrl* ctrl = nullptr;
    std::mutex mutex;
    std::condition_variable arrived;
    std::optional<std::vector<uint8_t>> reply;
    int arrivals = 0;
    int removals = 0;

    void removalCallBack() override { ++removals; }
    void matchingCallBack() override { ++arrivals; }
    void inputCallBack() override {
        std::lock_guard<std::mutex> lock(mutex);
        reply.emplace(ctrl->getData(), ctrl->getData() + ctrl->getLength());
        arrived.notify_one();
    }
    // Worker side: send one request and wait for its answer.
    std::optional<std::vector<uint8_t>> exchange(std::vector<uint8_t> request) {
        std::unique_lock<std::mutex> lock(mutex);
        reply.reset();
        lock.unlock();
        ctrl->setData(request.data(), static_cast<unsigned>(request.size()));
        lock.lock();
        if (!arrived.wait_for(lock, 5s, [&] { return reply.has_value(); })) return std::nullopt;
        return reply;
    }
};

struct Outcome {
    bool ok = true;
    std::string failure;
};

Outcome runUpdate(ReplyOwner& owner, const std::vector<uint8_t>& file) {
    Outcome out;
    auto expect = [&](const std::optional<std::vector<uint8_t>>& r, uint8_t code, const char* step) {
        if (!out.ok) return false;
        if (!r || r->empty() || (*r)[0] != code) {
            out.ok = false;
            out.failure = step;
        }
        return out.ok;
    };
    if (!expect(owner.exchange(simtest::startRequestFor(file)), 0xF8, "start")) return out;
    if (!expect(owner.exchange(simtest::openRequest()), 0xF9, "open")) return out;
    auto chunks = simtest::dataRequests(file);
    for (size_t c = 0; c < chunks.size(); ++c)
        if (!expect(owner.exchange(chunks[c]), c + 1 == chunks.size() ? 0xFE : 0xF9, "data")) return out;
    for (;;) {
        auto r = owner.exchange(simtest::finishRequest());
        if (r && !r->empty() && (*r)[0] == 0xF7) continue;
        expect(r, 0xFC, "finish");
        return out;
    }
}

class DeviceRoad : public ::testing::Test {
protected:
    void SetUp() override { owner.ctrl = &ctrl; }
    void TearDown() override {
        ctrl.finalize();
        ktrtest::pumpFor(10ms);
    }
    ReplyOwner owner;
    HidCtrl ctrl;
};

}  // namespace

TEST_F(DeviceRoad, WholeUpdatesReachTheDeviceExactly) {
    ktrsim::ModelConfig config;
    config.identity.releaseNumber = 0x0105;
    ktrsim::SimulatedKtrQ7 device(config);
    ASSERT_TRUE(ctrl.initialize(&owner, 1));
    EXPECT_EQ(ctrl.getState(), 1u);
    EXPECT_EQ(ctrl.getVersion(), 105u);
    EXPECT_EQ(owner.arrivals, 0) << "a device present at start is not announced";

    for (size_t size : {37u, 1022u, 1023u, 2044u, 74565u}) {
        SCOPED_TRACE(size);
        const auto file = simtest::makeFile(size, static_cast<uint32_t>(size));
        Outcome outcome;
        std::atomic<bool> done{false};
        std::thread worker([&] {
            outcome = runUpdate(owner, file);
            done = true;
        });
        ASSERT_TRUE(ktrtest::pumpUntil([&] { return done.load(); }, 60s));
        worker.join();
        EXPECT_TRUE(outcome.ok) << outcome.failure;
        EXPECT_EQ(device.image(), file);
        EXPECT_TRUE(device.crcMatches());
        for (const auto& report : device.device()->outputReports()) {
            ASSERT_EQ(report.bytes.size(), 1024u);
            EXPECT_EQ(report.reportID, 0u);
        }
        device.device()->clearOutputReports();
    }
    EXPECT_EQ(ctrl.getState(), 2u);
}

TEST_F(DeviceRoad, UnplugDuringTheDataPhaseStopsTheRoadAndReplugIsAnnounced) {
    ktrsim::SimulatedKtrQ7 device;
    ASSERT_TRUE(ctrl.initialize(&owner, 1));
    const auto file = simtest::makeFile(5000);
    std::atomic<bool> done{false};
    bool started = false, sentAfterUnplug = true;
    std::thread worker([&] {
        started = owner.exchange(simtest::startRequestFor(file)).has_value();
        device.unplug();
        while (ctrl.getState() != 0) std::this_thread::sleep_for(1ms);
        auto chunk = simtest::dataRequests(file)[0];
        sentAfterUnplug = ctrl.setData(chunk.data(), 1024);
        done = true;
    });
    ASSERT_TRUE(ktrtest::pumpUntil([&] { return done.load(); }, 10s));
    worker.join();
    EXPECT_TRUE(started);
    EXPECT_FALSE(sentAfterUnplug);
    EXPECT_EQ(owner.removals, 1);
    EXPECT_EQ(ctrl.getVersion(), 0u);
    EXPECT_EQ(ctrl.getLength(), 0u);

    device.plugIn();
    ASSERT_TRUE(ktrtest::pumpUntil([&] { return owner.arrivals == 1; }));
    EXPECT_EQ(ctrl.getState(), 1u);
}
