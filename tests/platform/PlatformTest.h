// Shared by the platform tests: owned CF objects, texts, number dictionaries and a virtual bus
// that must be empty again after each test.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/hid/IOHIDLib.h>
#include <gtest/gtest.h>
#include <ktrplatform/DeviceRegistry.h>
#include <ktrplatform/VirtualHidBus.h>

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "TestSupport.h"

namespace platformtest {

using ktrplatform::ElementInfo;
using ktrplatform::VirtualDevice;
using ktrplatform::VirtualDeviceInfo;

struct Releaser {
    void operator()(const void* p) const {
        if (p) CFRelease(p);
    }
};
template <class T>
using Owned = std::unique_ptr<std::remove_pointer_t<T>, Releaser>;
template <class T>
Owned<T> own(T p) {
    return Owned<T>(p);
}

inline CFStringRef str(const std::string& utf8) {
    return CFStringCreateWithCString(nullptr, utf8.c_str(), kCFStringEncodingUTF8);
}

// "(null)" for null and what is no string.
inline std::string text(CFTypeRef s) {
    if (!s || CFGetTypeID(s) != CFStringGetTypeID()) return "(null)";
    const char* p = CFStringGetCStringPtr(static_cast<CFStringRef>(s), kCFStringEncodingUTF8);
    return p ? p : "<no text>";
}

// 64-bit numbers under the given keys.
inline CFMutableDictionaryRef numbers(std::initializer_list<std::pair<const char*, int64_t>> entries) {
    CFMutableDictionaryRef d =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    for (const auto& [key, value] : entries)
        CFDictionarySetValue(d, own(str(key)).get(), own(CFNumberCreate(nullptr, kCFNumberSInt64Type, &value)).get());
    return d;
}

inline VirtualDeviceInfo deviceInfo(int64_t vendor, int64_t product, std::optional<int64_t> location,
                                    int64_t usagePage = 0xFF00) {
    VirtualDeviceInfo i;
    i.vendorID = vendor;
    i.productID = product;
    i.versionNumber = 0x0123;
    i.locationID = location;
    i.primaryUsagePage = usagePage;
    i.primaryUsage = 1;
    return i;
}

class Bus : public ::testing::Test {
protected:
    void TearDown() override {
        devices.clear();
        ktrtest::pumpFor(std::chrono::milliseconds(10));  // work posted for the devices lets go of them
        EXPECT_EQ(ktrplatform::attachedDeviceCount(), 0u);
    }
    std::shared_ptr<VirtualDevice> plug(const VirtualDeviceInfo& info) {
        devices.push_back(VirtualDevice::create(info));
        devices.back()->attach();
        return devices.back();
    }
    std::vector<std::shared_ptr<VirtualDevice>> devices;
};

}  // namespace platformtest
