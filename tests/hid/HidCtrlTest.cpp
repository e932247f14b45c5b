// The device controller and its binding on the virtual bus: identity, arrival, removal,
// input and output reports, version, the single live binding and sends racing a removal.
#include <ktrplatform/PlatformFaults.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "HidCtrl.h"
#include "HidTestBus.h"

using namespace hidtest;

namespace {

std::vector<uint8_t> pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

class ControllerTest : public BusTest {
protected:
    void TearDown() override {
        m_ctrl.reset();
        EXPECT_EQ(HidUtil::m_pinstance, nullptr);
        BusTest::TearDown();
    }
    HidCtrl& start() {
        m_ctrl = std::make_unique<HidCtrl>();
        EXPECT_TRUE(m_ctrl->initialize(&m_owner, 1));
        return *m_ctrl;
    }
    // After the events posted so far: "<state> <version> <input length> <copy all zero?>, owner heard
    // m<arrivals> r<removals> i<inputs>".
    std::string status() {
        drainRunLoop();
        const bool zero = std::all_of(m_ctrl->getData(), m_ctrl->getData() + HidCtrl::kReportSize,
                                      [](unsigned char b) { return b == 0; });
        return std::to_string(m_ctrl->getState()) + " " + std::to_string(m_ctrl->getVersion()) + " " +
               std::to_string(m_ctrl->getLength()) + (zero ? " zero" : "") + ", m" + std::to_string(m_owner.matchings) +
               " r" + std::to_string(m_owner.removals) + " i" + std::to_string(m_owner.inputs);
    }
    // Sends one report through the controller and tells whether it reached the device.
    bool reaches(VirtualDevice& device) {
        device.clearOutputReports();
        unsigned char report[8] = {0xF0};
        m_ctrl->setData(report, sizeof report);
        return device.outputReports().size() == 1;
    }

    CountingHandler m_owner;
    std::unique_ptr<HidCtrl> m_ctrl;
};

// A device present at the start is held without telling the owner.
TEST_F(ControllerTest, VersionReadsEachHexDigitAsADecimalDigit) {
    const std::pair<int64_t, const char*> cases[] = {
        {0x0123, "1 123 0 zero, m0 r0 i0"}, {0x1234, "1 1234 0 zero, m0 r0 i0"}, {0x00A0, "1 100 0 zero, m0 r0 i0"}};
    for (const auto& [release, expected] : cases) {
        auto device = plug(ktrInfo(0x62, release));
        start();
        EXPECT_TRUE(m_ctrl->deviceMatching());
        EXPECT_EQ(status(), expected);
        m_ctrl.reset();
        device->detach();
    }
}

// Arrival, input, output, removal and a new arrival, with stray callbacks and a refused second controller in between.
TEST_F(ControllerTest, ArrivalIsAnnouncedOnceAndRemovalClearsEverything) {
    HidCtrl& ctrl = start();
    EXPECT_FALSE(HidCtrl().initialize(&m_owner, 1));
    auto device = plug(ktrInfo(0x64, 0x0250));
    EXPECT_EQ(status(), "1 250 0 zero, m1 r0 i0");
    HidUtil::Handle_DeviceMatchingCallback(HidUtil::m_pinstance, 0, nullptr, device->ref());
    HidUtil::Handle_DeviceMatchingCallback(nullptr, 0, nullptr, device->ref());
    HidUtil::Handle_IOHIDDeviceRemovalCallback(HidUtil::m_pinstance, 0, nullptr);
    HidUtil::Handle_IOHIDDeviceRemovalCallback(nullptr, 0, device->ref());
    device->sendInput(pattern(64, 3));
    EXPECT_TRUE(reaches(*device));
    EXPECT_EQ(status(), "2 250 64, m1 r0 i1");

    device->detach();
    EXPECT_EQ(status(), "0 0 0 zero, m1 r1 i1");
    HidUtil::Handle_IOHIDDeviceRemovalCallback(HidUtil::m_pinstance, 0, reinterpret_cast<void*>(1));
    unsigned char buffer[16] = {1};
    EXPECT_EQ(ctrl.deviceInput(buffer, sizeof buffer) + ctrl.deviceVersion() + ctrl.deviceOutput(buffer, 16), 0);
    EXPECT_FALSE(ctrl.setData(buffer, sizeof buffer));
    EXPECT_EQ(status(), "0 0 0 zero, m1 r1 i1");

    device->attach();
    EXPECT_EQ(status(), "1 250 0 zero, m2 r1 i1");
    EXPECT_TRUE(reaches(*device));
}

TEST_F(ControllerTest, ReportsPassAsTheyAreUpToTheReportSize) {
    auto device = plug(ktrInfo());
    HidCtrl& ctrl = start();
    const auto oversize = pattern(2000, 20);
    device->sendInput(oversize);
    EXPECT_EQ(status(), "1 123 1024, m0 r0 i1");
    EXPECT_TRUE(std::equal(oversize.begin(), oversize.begin() + 1024, ctrl.getData()));
    // A short report replaces only its own bytes.
    device->sendInput(std::vector<uint8_t>{0xF8, 42});
    EXPECT_EQ(status(), "1 123 2, m0 r0 i2");
    EXPECT_EQ(std::vector<uint8_t>(ctrl.getData(), ctrl.getData() + 3), (std::vector<uint8_t>{0xF8, 42, oversize[2]}));
    // Read back into a buffer that is cleared first and filled only as far as it reaches.
    std::vector<unsigned char> buffer(1024, 0xEE);
    EXPECT_EQ(ctrl.deviceInput(buffer.data(), 1024), 2);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0), 1022);
    buffer.assign(1024, 0xEE);
    EXPECT_EQ(ctrl.deviceInput(buffer.data(), 1), 1);
    EXPECT_EQ(std::vector<unsigned char>(buffer.begin(), buffer.begin() + 2), (std::vector<unsigned char>{0xF8, 0xEE}));
    EXPECT_EQ(ctrl.deviceInput(nullptr, 16), 0);

    auto report = pattern(1024, 0xF0);
    ASSERT_TRUE(ctrl.setData(report.data(), 1024));
    const auto sent = device->outputReports();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, kIOHIDReportTypeOutput);
    EXPECT_EQ(sent[0].reportID, 0u);
    EXPECT_EQ(sent[0].bytes, report);
    device->failSends(kIOReturnNotPermitted);
    EXPECT_FALSE(ctrl.setData(buffer.data(), 1024));
    EXPECT_EQ(ctrl.getState(), 2u);
}

// Of two targets the lower LocationID (unsigned) is taken, behind a device of another vendor listed first.
// Other vendors and products are never taken.
TEST_F(ControllerTest, OnlyVendor4D2AWithProducts61To64IsTakenAndTheLowerLocationFirst) {
    auto high = plug(ktrInfo(0x61, 0x0100, 0x80000001));
    auto low = plug(ktrInfo(0x62, 0x0200, 0x00100000));
    plug(deviceInfo(1, 0x61, 0x100));
    start();
    EXPECT_TRUE(reaches(*low));
    EXPECT_TRUE(high->outputReports().empty());
    low->detach();
    high->detach();

    auto wrongProduct = plug(ktrInfo(0x65));
    auto wrongVendor = plug(deviceInfo(0x4D2B, 0x61, 0x14000000));
    EXPECT_EQ(status(), "0 0 0 zero, m0 r1 i0");
    EXPECT_FALSE(reaches(*wrongProduct) || reaches(*wrongVendor));
    for (int64_t product : {0x61, 0x62, 0x63, 0x64}) {
        auto device = plug(ktrInfo(product));
        drainRunLoop();
        EXPECT_TRUE(reaches(*device)) << product;
        device->detach();
    }
    EXPECT_EQ(status(), "0 0 0 zero, m4 r5 i0");
}

// A manager that failed to open lists nothing, yet still hears of the device that is present.
TEST_F(ControllerTest, WithAnUnopenedManagerAPresentDeviceArrivesLater) {
    plug(ktrInfo(0x61, 0x0321));
    ktrplatform::failNextHIDManagerOpen();
    StderrCapture quiet;
    EXPECT_EQ(start().getState(), 0u);
    EXPECT_EQ(status(), "1 321 0 zero, m1 r0 i0");
}

// A worker sends all the time while devices come and go. The owner marks the held device as let go the
// moment it hears of its removal; a send that is still running on it then has slipped past the binding.
TEST_F(BusTest, SendsOnTheWorkerNeverReachADeviceThatWasLetGo) {
    struct MarkingOwner : CountingHandler {
        std::shared_ptr<std::atomic<bool>> held;
        void removalCallBack() override {
            *held = true;
            CountingHandler::removalCallBack();
        }
    } owner;
    HidCtrl ctrl;
    ASSERT_TRUE(ctrl.initialize(&owner, 1));
    std::atomic<int> sendsToLetGo{0};
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        unsigned char report[64] = {0xF3};
        while (!stop)
            if (!ctrl.setData(report, sizeof report)) std::this_thread::yield();
    });
    for (int cycle = 1; cycle <= 200 && !HasFailure(); ++cycle) {
        auto letGo = owner.held = std::make_shared<std::atomic<bool>>(false);
        auto device = plug(ktrInfo());
        device->setOutputHandler([letGo, &sendsToLetGo](const ktrplatform::RecordedReport&) {
            // As long as a send over USB takes, so that removals land in the middle of one.
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            if (*letGo) ++sendsToLetGo;
        });
        EXPECT_TRUE(pumpUntil([&] { return owner.matchings == cycle && !device->outputReports().empty(); }));
        device->detach();
        EXPECT_TRUE(pumpUntil([&] { return owner.removals == cycle; }));
    }
    stop = true;
    worker.join();
    EXPECT_EQ(sendsToLetGo, 0);
}

}  // namespace
