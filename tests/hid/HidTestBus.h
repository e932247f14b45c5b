// Devices, handlers and clean-up shared by the HID test files.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>
#include <ktrplatform/DeviceRegistry.h>
#include <ktrplatform/VirtualHidBus.h>

#include <memory>
#include <optional>
#include <vector>

#include "HID_Utilities.h"
#include "HidHandler.h"
#include "HidUtil.h"

namespace hidtest {

using ktrplatform::VirtualDevice;
using ktrplatform::VirtualDeviceInfo;

constexpr int64_t kKtrVendor = 0x4D2A;

inline VirtualDeviceInfo deviceInfo(int64_t vendor, int64_t product, std::optional<int64_t> location,
                                    int64_t version = 0x0123) {
    VirtualDeviceInfo info;
    info.vendorID = vendor;
    info.productID = product;
    info.versionNumber = version;
    info.locationID = location;
    info.primaryUsagePage = 0xFF00;
    info.primaryUsage = 1;
    return info;
}

inline VirtualDeviceInfo ktrInfo(int64_t product = 0x61, int64_t version = 0x0123,
                                 std::optional<int64_t> location = 0x14100000) {
    return deviceInfo(kKtrVendor, product, location, version);
}

// Runs what is pending on this thread's run loop, including work that the pending work posts.
inline void drainRunLoop() {
    while (CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true) == kCFRunLoopRunHandledSource) {
    }
}

// Drops the library's list and manager, as a process that starts afresh would find them.
inline void forgetManager() {
    HIDReleaseDeviceList();
    if (gIOHIDManagerRef) {
        IOHIDManagerClose(gIOHIDManagerRef, 0);
        CFRelease(gIOHIDManagerRef);
        gIOHIDManagerRef = nullptr;
    }
    gDeviceIndex = 0;
}

struct CountingHandler : HidHandler {
    int removals = 0;
    int matchings = 0;
    int inputs = 0;
    void removalCallBack() override { ++removals; }
    void matchingCallBack() override { ++matchings; }
    void inputCallBack() override { ++inputs; }
};

// Each test starts with an empty bus and no manager, and leaves them so.
class BusTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ktrplatform::attachedDeviceCount(), 0u);
        ASSERT_EQ(gIOHIDManagerRef, nullptr);
        ASSERT_EQ(HidUtil::m_pinstance, nullptr);
    }
    void TearDown() override {
        for (auto& device : m_devices) device->detach();
        m_devices.clear();
        drainRunLoop();
        forgetManager();
    }
    std::shared_ptr<VirtualDevice> plug(const VirtualDeviceInfo& info) {
        auto device = VirtualDevice::create(info);
        device->attach();
        m_devices.push_back(device);
        return device;
    }
    // Held but not attached yet.
    std::shared_ptr<VirtualDevice> unplugged(const VirtualDeviceInfo& info) {
        auto device = VirtualDevice::create(info);
        m_devices.push_back(device);
        return device;
    }

private:
    std::vector<std::shared_ptr<VirtualDevice>> m_devices;
};

}  // namespace hidtest
