// Service lookup of attached HID devices by their properties, and the handles it gives out.
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/hid/IOHIDLib.h>
#include <gtest/gtest.h>
#include <ktrplatform/DeviceRegistry.h>
#include <ktrplatform/VirtualHidBus.h>

#include <vector>

using ktrplatform::VirtualDevice;
using ktrplatform::VirtualDeviceInfo;

namespace {

VirtualDeviceInfo at(int64_t vendor, int64_t location) {
    VirtualDeviceInfo info;
    info.vendorID = vendor;
    info.productID = 0x61;
    info.locationID = location;
    return info;
}

class ServiceLookup : public ::testing::Test {
protected:
    void TearDown() override {
        devices.clear();
        EXPECT_EQ(ktrplatform::attachedDeviceCount(), 0u);
    }
    IOHIDDeviceRef plug(const VirtualDeviceInfo& info) {
        auto d = VirtualDevice::create(info);
        d->attach();
        devices.push_back(d);
        return d->ref();
    }
    std::vector<std::shared_ptr<VirtualDevice>> devices;
};

// A matching dictionary for the class with the device's own "LocationID" object, as a
// caller that has the device in hand makes it.
CFMutableDictionaryRef byLocationOf(IOHIDDeviceRef device) {
    CFMutableDictionaryRef matching = IOServiceMatching("IOHIDDevice");
    CFDictionaryAddValue(matching, CFSTR(kIOHIDLocationIDKey),
                         IOHIDDeviceGetProperty(device, CFSTR(kIOHIDLocationIDKey)));
    return matching;
}

void addNumber(CFMutableDictionaryRef d, const char* key, int32_t value) {
    CFStringRef k = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt32Type, &value);
    CFDictionarySetValue(d, k, n);
    CFRelease(n);
    CFRelease(k);
}

}  // namespace

TEST_F(ServiceLookup, FindsTheDeviceAtALocationAndEachLookupAddsAReference) {
    plug(at(0x1111, 0x14100000));
    IOHIDDeviceRef wanted = plug(at(0x2222, 0x14200000));
    plug(at(0x3333, 0x14300000));

    const io_service_t first = IOServiceGetMatchingService(kIOMasterPortDefault, byLocationOf(wanted));
    ASSERT_NE(first, 0u);
    const io_service_t again = IOServiceGetMatchingService(kIOMasterPortDefault, byLocationOf(wanted));
    EXPECT_EQ(again, first);

    CFMutableDictionaryRef vendor = IOServiceMatching("IOHIDDevice");
    addNumber(vendor, "VendorID", 0x3333);
    const io_service_t third = IOServiceGetMatchingService(kIOMasterPortDefault, vendor);
    EXPECT_NE(third, 0u);
    EXPECT_NE(third, first);

    EXPECT_EQ(IOObjectRelease(first), kIOReturnSuccess);
    EXPECT_EQ(IOObjectRelease(again), kIOReturnSuccess);
    EXPECT_NE(IOObjectRelease(first), kIOReturnSuccess);  // both references given back
    EXPECT_EQ(IOObjectRelease(third), kIOReturnSuccess);
    EXPECT_NE(IOObjectRelease(0), kIOReturnSuccess);
    EXPECT_NE(IOObjectRelease(0xDEADBEEF), kIOReturnSuccess);
    EXPECT_EQ(IOServiceMatching(nullptr), nullptr);
}

TEST_F(ServiceLookup, TheDictionaryIsConsumedWhateverTheOutcome) {
    IOHIDDeviceRef device = plug(at(0x2222, 7));
    CFMutableDictionaryRef found = byLocationOf(device);
    CFRetain(found);
    const io_service_t service = IOServiceGetMatchingService(kIOMasterPortDefault, found);
    EXPECT_NE(service, 0u);
    EXPECT_EQ(CFGetRetainCount(found), 1);
    CFRelease(found);
    IOObjectRelease(service);

    CFMutableDictionaryRef missing = IOServiceMatching("IOHIDDevice");
    addNumber(missing, "LocationID", 8);
    CFRetain(missing);
    EXPECT_EQ(IOServiceGetMatchingService(kIOMasterPortDefault, missing), 0u);
    EXPECT_EQ(CFGetRetainCount(missing), 1);
    CFRelease(missing);

    // Another class matches nothing here; the property would have matched.
    CFMutableDictionaryRef otherClass = IOServiceMatching("IOUSBDevice");
    CFDictionaryAddValue(otherClass, CFSTR(kIOHIDLocationIDKey),
                         IOHIDDeviceGetProperty(device, CFSTR(kIOHIDLocationIDKey)));
    EXPECT_EQ(IOServiceGetMatchingService(kIOMasterPortDefault, otherClass), 0u);

    // Something that is no dictionary is still given back, and matches nothing.
    EXPECT_EQ(IOServiceGetMatchingService(kIOMasterPortDefault, (CFDictionaryRef)CFStringCreateWithCString(
                                                                    nullptr, "IOHIDDevice", kCFStringEncodingUTF8)),
              0u);
    EXPECT_EQ(IOServiceGetMatchingService(kIOMasterPortDefault, nullptr), 0u);
}

TEST_F(ServiceLookup, AHandleOutlivesItsDevicesDepartureButDepartedDevicesAreNotFound) {
    auto d = VirtualDevice::create(at(0x2222, 9));
    d->attach();
    IOHIDDeviceRef device = d->ref();
    CFMutableDictionaryRef matching = byLocationOf(device);
    CFRetain(matching);
    const io_service_t service = IOServiceGetMatchingService(kIOMasterPortDefault, matching);
    ASSERT_NE(service, 0u);
    d->detach();
    EXPECT_EQ(IOServiceGetMatchingService(kIOMasterPortDefault, matching), 0u);
    EXPECT_EQ(IOObjectRelease(service), kIOReturnSuccess);

    // The device without a location is not found by one.
    VirtualDeviceInfo noLocation = at(0x2222, 0);
    noLocation.locationID.reset();
    plug(noLocation);
    CFMutableDictionaryRef empty = IOServiceMatching("IOHIDDevice");
    addNumber(empty, "LocationID", 0);
    EXPECT_EQ(IOServiceGetMatchingService(kIOMasterPortDefault, empty), 0u);
}
