// Virtual HID devices with elements, and a fixture that leaves the HID utility library's
// process-wide state (manager, device list, cursor, element slot) as it found it.
#pragma once

#include <gtest/gtest.h>
#include <ktrplatform/DeviceRegistry.h>
#include <ktrplatform/VirtualHidBus.h>

#include <memory>
#include <optional>
#include <vector>

#include "HID_Utilities.h"

namespace ktrtest {

using ktrplatform::ElementInfo;
using ktrplatform::VirtualDevice;
using ktrplatform::VirtualDeviceInfo;

inline VirtualDeviceInfo hidDevice(int64_t vendor, int64_t product, std::optional<int64_t> location,
                                   int64_t primaryPage = 1, int64_t primaryUsage = 5) {
    VirtualDeviceInfo info;
    info.vendorID = vendor;
    info.productID = product;
    info.locationID = location;
    info.primaryUsagePage = primaryPage;
    info.primaryUsage = primaryUsage;
    return info;
}

// The device's elements in its order, not retained.
inline std::vector<IOHIDElementRef> elementsOf(IOHIDDeviceRef device) {
    std::vector<IOHIDElementRef> out;
    CFArrayRef all = IOHIDDeviceCopyMatchingElements(device, nullptr, 0);
    for (CFIndex i = 0; all && i < CFArrayGetCount(all); ++i)
        out.push_back(static_cast<IOHIDElementRef>(const_cast<void*>(CFArrayGetValueAtIndex(all, i))));
    if (all) CFRelease(all);
    return out;
}

inline IOHIDElementRef elementWithCookie(IOHIDDeviceRef device, IOHIDElementCookie cookie) {
    for (IOHIDElementRef element : elementsOf(device))
        if (IOHIDElementGetCookie(element) == cookie) return element;
    return nullptr;
}

// Runs what is pending on this thread's run loop, including work that the pending work posts.
inline void drainRunLoop() {
    while (CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true) == kCFRunLoopRunHandledSource) {
    }
}

// Each test starts with an empty bus, no manager and no device list, and leaves them so.
class HidBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ktrplatform::attachedDeviceCount(), 0u);
        ASSERT_EQ(gIOHIDManagerRef, nullptr);
        ASSERT_EQ(gDeviceCFArrayRef, nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(gElementCFArrayRef, nullptr) << "the element slot must be empty between operations";
        for (auto& device : m_devices) device->detach();
        drainRunLoop();
        // Dropped as a process that starts afresh would find them.
        HIDReleaseDeviceList();
        IOHIDManagerClose(gIOHIDManagerRef, 0);  // refuses a null manager
        if (gIOHIDManagerRef) CFRelease(std::exchange(gIOHIDManagerRef, nullptr));
        gDeviceIndex = 0;
    }
    // Attached now, detached at the end of the test.
    std::shared_ptr<VirtualDevice> plug(const VirtualDeviceInfo& info) {
        m_devices.push_back(VirtualDevice::create(info));
        m_devices.back()->attach();
        return m_devices.back();
    }

private:
    std::vector<std::shared_ptr<VirtualDevice>> m_devices;
};

}  // namespace ktrtest
