// The device controller and its binding on the virtual bus: identity, arrival, removal,
// input and output reports, version, and the single live binding.
#include <gtest/gtest.h>
#include <ktrplatform/PlatformFaults.h>

#include <algorithm>
#include <string>

#include "HidCtrl.h"
#include "HidTestBus.h"
#include "TestSupport.h"

using namespace hidtest;

namespace {

std::vector<uint8_t> pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

bool allZero(const unsigned char* data, size_t length) {
    return std::all_of(data, data + length, [](unsigned char b) { return b == 0; });
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
    // Sends one report through the controller and tells whether it reached the device.
    static bool reaches(HidCtrl& ctrl, VirtualDevice& device) {
        device.clearOutputReports();
        auto bytes = pattern(8, 1);
        ctrl.setData(bytes.data(), static_cast<unsigned>(bytes.size()));
        return device.outputReports().size() == 1;
    }

    CountingHandler m_owner;
    std::unique_ptr<HidCtrl> m_ctrl;
};

// A device present at the start is held without telling the owner.
TEST_F(ControllerTest, VersionReadsEachHexDigitAsADecimalDigit) {
    const std::pair<int64_t, unsigned> cases[] = {{0x0123, 123}, {0x1234, 1234}, {0x0000, 0}, {0x00A0, 100}};
    for (const auto& [release, expected] : cases) {
        auto device = plug(ktrInfo(0x62, release));
        HidCtrl& ctrl = start();
        EXPECT_EQ(ctrl.getState(), 1u);
        EXPECT_EQ(ctrl.getVersion(), expected) << std::hex << release;
        EXPECT_EQ(ctrl.deviceVersion(), static_cast<int>(expected));
        EXPECT_TRUE(ctrl.deviceMatching());
        drainRunLoop();
        EXPECT_EQ(m_owner.matchings, 0);
        m_ctrl.reset();
        device->detach();
        drainRunLoop();
    }
}

TEST_F(ControllerTest, ArrivalIsAnnouncedOnceAndRemovalClearsEverything) {
    HidCtrl& ctrl = start();
    EXPECT_EQ(ctrl.getState(), 0u);
    auto device = plug(ktrInfo(0x64, 0x0250));
    EXPECT_EQ(m_owner.matchings, 0);
    drainRunLoop();
    EXPECT_EQ(m_owner.matchings, 1);
    EXPECT_EQ(ctrl.getVersion(), 250u);
    HidUtil::Handle_DeviceMatchingCallback(HidUtil::m_pinstance, 0, nullptr, device->ref());
    HidUtil::Handle_DeviceMatchingCallback(nullptr, 0, nullptr, device->ref());
    EXPECT_EQ(m_owner.matchings, 1);

    device->sendInput(pattern(64, 3));
    drainRunLoop();
    unsigned char report[8] = {0xF0};
    ASSERT_TRUE(ctrl.setData(report, sizeof report));
    ASSERT_EQ(ctrl.getState(), 2u);
    device->detach();
    drainRunLoop();
    EXPECT_EQ(m_owner.removals, 1);
    EXPECT_EQ(ctrl.getState(), 0u);
    EXPECT_EQ(ctrl.getVersion(), 0u);
    EXPECT_EQ(ctrl.getLength(), 0u);
    EXPECT_TRUE(allZero(ctrl.getData(), HidCtrl::kReportSize));
    unsigned char buffer[16];
    EXPECT_EQ(ctrl.deviceInput(buffer, sizeof buffer), 0);
    EXPECT_EQ(ctrl.deviceVersion(), 0);
    EXPECT_FALSE(ctrl.deviceOutput(report, sizeof report));
    EXPECT_FALSE(ctrl.setData(report, sizeof report));
    EXPECT_EQ(ctrl.getState(), 0u);

    device->attach();
    drainRunLoop();
    EXPECT_EQ(m_owner.matchings, 2);
    EXPECT_EQ(ctrl.getState(), 1u);
    EXPECT_TRUE(reaches(ctrl, *device));
}

TEST_F(ControllerTest, InputReportsAreCopiedUpToTheReportSize) {
    auto device = plug(ktrInfo());
    HidCtrl& ctrl = start();
    device->sendInput(pattern(1024, 10));
    drainRunLoop();
    EXPECT_EQ(ctrl.getLength(), 1024u);
    const auto oversize = pattern(2000, 20);
    device->sendInput(oversize);
    drainRunLoop();
    ASSERT_EQ(ctrl.getLength(), 1024u);
    EXPECT_TRUE(std::equal(oversize.begin(), oversize.begin() + 1024, ctrl.getData()));
    // A short report replaces only its own bytes.
    device->sendInput(std::vector<uint8_t>{0xF8, 42});
    drainRunLoop();
    EXPECT_EQ(ctrl.getLength(), 2u);
    EXPECT_EQ(std::vector<uint8_t>(ctrl.getData(), ctrl.getData() + 3), (std::vector<uint8_t>{0xF8, 42, oversize[2]}));
    EXPECT_EQ(m_owner.inputs, 3);

    // Read back into a buffer that is cleared first and filled only as far as it reaches.
    std::vector<unsigned char> buffer(1024, 0xEE);
    EXPECT_EQ(ctrl.deviceInput(buffer.data(), 1024), 2);
    EXPECT_EQ(buffer[1], 42);
    EXPECT_TRUE(allZero(buffer.data() + 2, 1024 - 2));
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    EXPECT_EQ(ctrl.deviceInput(buffer.data(), 1), 1);
    EXPECT_EQ(buffer[0], 0xF8);
    EXPECT_EQ(buffer[1], 0xEE);
    EXPECT_EQ(ctrl.deviceInput(nullptr, 16), 0);
    EXPECT_EQ(ctrl.deviceInput(buffer.data(), 0), 0);
}

TEST_F(ControllerTest, OutputReportsReachTheDeviceAsTheyAre) {
    auto device = plug(ktrInfo());
    HidCtrl& ctrl = start();
    auto report = pattern(1024, 0xF0);
    ASSERT_TRUE(ctrl.setData(report.data(), 1024));
    EXPECT_EQ(ctrl.getState(), 2u);
    const auto sent = device->outputReports();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, kIOHIDReportTypeOutput);
    EXPECT_EQ(sent[0].reportID, 0u);
    EXPECT_EQ(sent[0].bytes, report);

    EXPECT_FALSE(ctrl.deviceOutput(nullptr, 1024));
    EXPECT_FALSE(ctrl.deviceOutput(report.data(), 0));
    EXPECT_EQ(device->outputReports().size(), 1u);
    device->failSends(kIOReturnNotPermitted);
    EXPECT_FALSE(ctrl.setData(report.data(), 1024));
    EXPECT_EQ(ctrl.getState(), 2u);
}

TEST_F(ControllerTest, OnlyVendor4D2AWithProducts61To64IsTaken) {
    HidCtrl& ctrl = start();
    auto wrongProduct = plug(ktrInfo(0x65));
    auto wrongVendor = plug(deviceInfo(0x4D2B, 0x61, 0x14000000));
    drainRunLoop();
    EXPECT_EQ(ctrl.getState(), 0u);
    unsigned char report[4] = {1, 2, 3, 4};
    EXPECT_FALSE(ctrl.setData(report, sizeof report));
    EXPECT_TRUE(wrongProduct->outputReports().empty());
    EXPECT_TRUE(wrongVendor->outputReports().empty());

    for (int64_t product : {0x61, 0x62, 0x63, 0x64}) {
        auto device = plug(ktrInfo(product));
        drainRunLoop();
        EXPECT_TRUE(reaches(ctrl, *device)) << product;
        device->detach();
        drainRunLoop();
    }
    EXPECT_EQ(m_owner.matchings, 4);
}

TEST_F(ControllerTest, OfTwoTargetsTheLowerUnsignedLocationIsTakenAndTheOtherWaitsForItsArrival) {
    auto high = plug(ktrInfo(0x61, 0x0100, 0x80000001));
    auto low = plug(ktrInfo(0x62, 0x0200, 0x00100000));
    HidCtrl& ctrl = start();
    EXPECT_EQ(ctrl.getVersion(), 200u);
    EXPECT_TRUE(reaches(ctrl, *low));
    EXPECT_TRUE(high->outputReports().empty());

    low->detach();
    drainRunLoop();
    EXPECT_EQ(ctrl.getState(), 0u);
    high->detach();
    high->attach();
    drainRunLoop();
    EXPECT_EQ(m_owner.matchings, 1);
    EXPECT_EQ(ctrl.getVersion(), 100u);
    EXPECT_TRUE(reaches(ctrl, *high));
}

TEST_F(ControllerTest, ASecondControllerIsRefusedAndLeavesTheFirstWorking) {
    HidCtrl& first = start();
    CountingHandler secondOwner;
    std::shared_ptr<VirtualDevice> device;
    {
        HidCtrl second;
        EXPECT_FALSE(second.initialize(&secondOwner, 1));
        device = plug(ktrInfo());
        drainRunLoop();
        EXPECT_EQ(second.getState(), 0u);
        unsigned char report[2] = {0xF0, 0};
        EXPECT_FALSE(second.setData(report, sizeof report));
        second.finalize();
    }
    EXPECT_NE(HidUtil::m_pinstance, nullptr);
    EXPECT_NE(gIOHIDManagerRef, nullptr);
    EXPECT_TRUE(reaches(first, *device));
    // The first binding still hears removals and arrivals.
    device->detach();
    drainRunLoop();
    EXPECT_EQ(first.getState(), 0u);
    device->attach();
    drainRunLoop();
    EXPECT_EQ(first.getState(), 1u);
    EXPECT_EQ(m_owner.matchings, 2);
    EXPECT_EQ(m_owner.removals, 1);
    EXPECT_EQ(secondOwner.matchings + secondOwner.removals + secondOwner.inputs, 0);
}

TEST_F(ControllerTest, StrayCallbacksChangeNothingAndFinalizeStopsAllEvents) {
    auto device = plug(ktrInfo());
    HidCtrl& ctrl = start();
    HidUtil::Handle_IOHIDDeviceRemovalCallback(HidUtil::m_pinstance, 0, nullptr);
    HidUtil::Handle_IOHIDDeviceRemovalCallback(nullptr, 0, device->ref());
    EXPECT_EQ(m_owner.removals, 0);
    EXPECT_TRUE(reaches(ctrl, *device));
    device->detach();
    drainRunLoop();
    ASSERT_EQ(m_owner.removals, 1);
    HidUtil::Handle_IOHIDDeviceRemovalCallback(HidUtil::m_pinstance, 0, reinterpret_cast<void*>(1));
    EXPECT_EQ(m_owner.removals, 1);

    device->attach();
    drainRunLoop();
    const int events = m_owner.inputs + m_owner.removals + m_owner.matchings;
    ctrl.finalize();
    ctrl.finalize();
    EXPECT_EQ(HidUtil::m_pinstance, nullptr);
    unsigned char report[4] = {};
    HidUtil::Handle_IOHIDDeviceIOHIDReportCallback(nullptr, 0, nullptr, kIOHIDReportTypeInput, 0, report, 4);
    device->sendInput(pattern(4, 1));
    device->detach();
    plug(ktrInfo(0x62));
    drainRunLoop();
    EXPECT_EQ(m_owner.inputs + m_owner.removals + m_owner.matchings, events);
}

TEST_F(ControllerTest, WithoutAManagerNoDeviceIsEverSeen) {
    plug(ktrInfo());
    ktrplatform::failNextHIDManagerCreate();
    StderrCapture capture;
    HidCtrl& ctrl = start();
    EXPECT_NE(capture.text(), "");
    plug(ktrInfo(0x62, 0x0123, 0x20000000));
    drainRunLoop();
    EXPECT_EQ(ctrl.getState(), 0u);
    EXPECT_EQ(m_owner.matchings, 0);
}

TEST_F(ControllerTest, WithAnUnopenedManagerAPresentDeviceArrivesLater) {
    plug(ktrInfo(0x61, 0x0321));
    ktrplatform::failNextHIDManagerOpen();
    StderrCapture capture;
    HidCtrl& ctrl = start();
    EXPECT_NE(capture.text(), "");
    EXPECT_EQ(ctrl.getState(), 0u);
    drainRunLoop();
    EXPECT_EQ(m_owner.matchings, 1);
    EXPECT_EQ(ctrl.getVersion(), 321u);
}

}  // namespace
