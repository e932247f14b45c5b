// Virtual devices with elements, and clean-up of the library's shared state, for the
// queue and configuration tests.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>
#include <ktrplatform/DeviceRegistry.h>
#include <ktrplatform/VirtualHidBus.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "HID_Utilities.h"

namespace hidconfig {

using ktrplatform::ElementInfo;
using ktrplatform::VirtualDevice;
using ktrplatform::VirtualDeviceInfo;

// Cookies of padElements(), in the device's element order.
enum PadCookie : IOHIDElementCookie {
    kCollection = 1,
    kButton1 = 2,
    kButton2 = 3,
    kAxis = 4,
    kOutput = 5,
    kFeature = 6,
};

// An application collection holding two buttons and an X axis, then an output and a feature.
inline std::vector<ElementInfo> padElements() {
    return {ElementInfo::collection(
                kIOHIDElementCollectionTypeApplication, 1, 5,
                {ElementInfo::button(9, 1), ElementInfo::button(9, 2), ElementInfo::axis(1, 0x30, 0, 255, 0, 255)}),
            ElementInfo::output(8, 1, 1, 1), ElementInfo::feature(0xFF00, 1, 8, 1)};
}

inline VirtualDeviceInfo padInfo(int64_t vendor, int64_t product, std::optional<int64_t> location,
                                 std::vector<ElementInfo> elements = padElements()) {
    VirtualDeviceInfo info;
    info.vendorID = vendor;
    info.productID = product;
    info.locationID = location;
    info.primaryUsagePage = 1;
    info.primaryUsage = 5;
    info.extra["DeviceUsagePage"] = int64_t{1};
    info.extra["DeviceUsage"] = int64_t{5};
    info.elements = std::move(elements);
    return info;
}

inline std::vector<IOHIDElementRef> elementsOf(IOHIDDeviceRef device) {
    std::vector<IOHIDElementRef> out;
    CFArrayRef array = IOHIDDeviceCopyMatchingElements(device, nullptr, 0);
    if (!array) return out;
    for (CFIndex i = 0; i < CFArrayGetCount(array); ++i)
        out.push_back(static_cast<IOHIDElementRef>(const_cast<void*>(CFArrayGetValueAtIndex(array, i))));
    CFRelease(array);
    return out;
}

inline IOHIDElementRef elementWithCookie(IOHIDDeviceRef device, IOHIDElementCookie cookie) {
    for (IOHIDElementRef element : elementsOf(device))
        if (IOHIDElementGetCookie(element) == cookie) return element;
    return nullptr;
}

// Each test starts with an empty bus, no manager and no device list, and leaves them so.
class BusTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ktrplatform::attachedDeviceCount(), 0u);
        ASSERT_EQ(gIOHIDManagerRef, nullptr);
        ASSERT_EQ(gDeviceCFArrayRef, nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(gElementCFArrayRef, nullptr) << "the element slot must be empty between operations";
        for (auto& device : m_devices) device->detach();
        m_devices.clear();
        while (CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true) == kCFRunLoopRunHandledSource) {
        }
        HIDReleaseDeviceList();
        if (gIOHIDManagerRef) {
            IOHIDManagerClose(gIOHIDManagerRef, 0);
            CFRelease(gIOHIDManagerRef);
            gIOHIDManagerRef = nullptr;
        }
        gDeviceIndex = 0;
    }
    std::shared_ptr<VirtualDevice> plug(const VirtualDeviceInfo& info) {
        auto device = VirtualDevice::create(info);
        device->attach();
        m_devices.push_back(device);
        return device;
    }

private:
    std::vector<std::shared_ptr<VirtualDevice>> m_devices;
};

// Moves an element between two values from another thread until destroyed, so that a watch
// sees a change whenever its first pass happened.
class Wiggler {
public:
    Wiggler(std::shared_ptr<VirtualDevice> device, IOHIDElementCookie cookie, CFIndex a, CFIndex b)
        : m_thread([this, device, cookie, a, b] {
              for (bool flip = false; !m_stop; flip = !flip) {
                  device->setElementValue(cookie, flip ? b : a);
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              }
          }) {}
    ~Wiggler() {
        m_stop = true;
        m_thread.join();
    }
    Wiggler(const Wiggler&) = delete;
    Wiggler& operator=(const Wiggler&) = delete;

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace hidconfig
