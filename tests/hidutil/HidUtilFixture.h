// Virtual devices with elements, clean-up of the library's state, and standard output capture
// for the HID utility tests.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>
#include <ktrplatform/DeviceRegistry.h>
#include <ktrplatform/VirtualHidBus.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HID_Utilities.h"

namespace hidutiltest {

using ktrplatform::ElementInfo;
using ktrplatform::VirtualDevice;
using ktrplatform::VirtualDeviceInfo;

// A CFString owned by the test.
struct Text {
    explicit Text(const std::string& text)
        : ref(CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8)) {}
    ~Text() {
        if (ref) CFRelease(ref);
    }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    CFStringRef ref;
};

inline std::string utf8(CFTypeRef text) {
    if (!text || CFGetTypeID(text) != CFStringGetTypeID()) return "<not a text>";
    char buffer[1024];
    if (!CFStringGetCString(static_cast<CFStringRef>(text), buffer, sizeof buffer, kCFStringEncodingUTF8))
        return "<too long>";
    return buffer;
}

// A number property as the platform holds it; absent or not a number gives false.
inline bool storedNumber(CFTypeRef property, long long* out) {
    if (!property || CFGetTypeID(property) != CFNumberGetTypeID()) return false;
    return CFNumberGetValue(static_cast<CFNumberRef>(property), kCFNumberLongLongType, out);
}

inline std::string pointer(const void* p) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%p", p);
    return buffer;
}

inline VirtualDeviceInfo plainDevice(int64_t vendor, int64_t product, std::optional<int64_t> location) {
    VirtualDeviceInfo info;
    info.vendorID = vendor;
    info.productID = product;
    info.locationID = location;
    info.primaryUsagePage = 1;
    info.primaryUsage = 5;
    return info;
}

// Every test starts with no device, list or manager and leaves it so.
class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ktrplatform::attachedDeviceCount(), 0u);
        ASSERT_EQ(gIOHIDManagerRef, nullptr);
        ASSERT_EQ(gDeviceCFArrayRef, nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(gElementCFArrayRef, nullptr);
        HIDReleaseDeviceList();
        if (gIOHIDManagerRef) {
            IOHIDManagerClose(gIOHIDManagerRef, 0);
            CFRelease(gIOHIDManagerRef);
            gIOHIDManagerRef = nullptr;
        }
        gDeviceIndex = 0;
        for (auto& device : m_devices) device->detach();
        m_devices.clear();
        while (CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true) == kCFRunLoopRunHandledSource) {
        }
    }
    std::shared_ptr<VirtualDevice> plug(const VirtualDeviceInfo& info) {
        auto device = VirtualDevice::create(info);
        device->attach();
        m_devices.push_back(device);
        return device;
    }
    // The device's elements in its order, not retained.
    static std::vector<IOHIDElementRef> elementsOf(IOHIDDeviceRef device) {
        std::vector<IOHIDElementRef> out;
        CFArrayRef all = IOHIDDeviceCopyMatchingElements(device, nullptr, 0);
        if (!all) return out;
        for (CFIndex i = 0; i < CFArrayGetCount(all); ++i)
            out.push_back(static_cast<IOHIDElementRef>(const_cast<void*>(CFArrayGetValueAtIndex(all, i))));
        CFRelease(all);
        return out;
    }

private:
    std::vector<std::shared_ptr<VirtualDevice>> m_devices;
};

// Captures what is written to standard output while it lives.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    std::string text();  // stops capturing and returns what was written

private:
    int m_savedFd = -1;
    int m_tmpFd = -1;
    bool m_done = false;
    std::string m_text;
};

}  // namespace hidutiltest
