// Elements, values and queues of the stand-in HID devices: the device's element order and
// attributes, scaling, value lifetimes, and queues fed from other threads.
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/hid/IOHIDLib.h>
#include <gtest/gtest.h>
#include <ktrplatform/DeviceRegistry.h>
#include <ktrplatform/VirtualHidBus.h>

#include <atomic>
#include <climits>
#include <thread>
#include <vector>

using ktrplatform::ElementInfo;
using ktrplatform::VirtualDevice;
using ktrplatform::VirtualDeviceInfo;

namespace {

// Cookies by position: 1 the application collection, 2 and 3 buttons, 4 the axis,
// 5 an output, 6 a feature, 7 a report collection, 8 a relative wheel inside it.
VirtualDeviceInfo joystick(int64_t location) {
    VirtualDeviceInfo info;
    info.vendorID = 0x4D2A;
    info.productID = 0x61;
    info.locationID = location;
    ElementInfo axis = ElementInfo::axis(1, 0x30, -127, 127, -1000, 1000);
    axis.name = "Stick X";
    axis.unit = 0x14;
    axis.unitExponent = 0xE;
    axis.initialValue = 5;
    ElementInfo wheel = ElementInfo::axis(1, 0x38, -1, 1, 0, 0);
    wheel.isRelative = true;
    wheel.hasPreferredState = false;
    info.elements = {
        ElementInfo::collection(kIOHIDElementCollectionTypeApplication, 1, 4,
                                {ElementInfo::button(9, 1), ElementInfo::button(9, 2), axis,
                                 ElementInfo::output(8, 1, 1, 1), ElementInfo::feature(0xFF00, 1, 8, 4),
                                 ElementInfo::collection(kIOHIDElementCollectionTypeReport, 1, 0, {wheel})})};
    return info;
}

class HidElements : public ::testing::Test {
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
    static IOHIDElementRef element(IOHIDDeviceRef device, IOHIDElementCookie cookie) {
        CFArrayRef all = IOHIDDeviceCopyMatchingElements(device, nullptr, 0);
        IOHIDElementRef found = nullptr;
        for (CFIndex i = 0; all && i < CFArrayGetCount(all); ++i) {
            auto e = (IOHIDElementRef)CFArrayGetValueAtIndex(all, i);
            if (IOHIDElementGetCookie(e) == cookie) found = e;
        }
        if (all) CFRelease(all);
        return found;  // the device keeps it
    }
    static CFIndex current(IOHIDElementRef e) {
        IOHIDValueRef v = nullptr;
        EXPECT_EQ(IOHIDDeviceGetValue(IOHIDElementGetDevice(e), e, &v), kIOReturnSuccess);
        return v ? IOHIDValueGetIntegerValue(v) : LONG_MIN;
    }
    std::vector<std::shared_ptr<VirtualDevice>> devices;
};

int32_t int32Property(IOHIDElementRef e, const char* key) {
    CFStringRef k = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFTypeRef v = IOHIDElementGetProperty(e, k);
    CFRelease(k);
    int32_t out = INT32_MIN;
    if (v && CFGetTypeID(v) == CFNumberGetTypeID()) CFNumberGetValue((CFNumberRef)v, kCFNumberSInt32Type, &out);
    return out;
}

CFDictionaryRef numbers(std::initializer_list<std::pair<const char*, int64_t>> entries) {
    CFMutableDictionaryRef d =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    for (const auto& [key, value] : entries) {
        CFStringRef k = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
        CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt64Type, &value);
        CFDictionarySetValue(d, k, n);
        CFRelease(k);
        CFRelease(n);
    }
    return d;
}

std::vector<CFIndex> drain(IOHIDQueueRef queue) {
    std::vector<CFIndex> out;
    while (IOHIDValueRef v = IOHIDQueueCopyNextValueWithTimeout(queue, 0)) {
        out.push_back(IOHIDValueGetIntegerValue(v));
        CFRelease(v);
    }
    return out;
}

}  // namespace

TEST_F(HidElements, ElementsComeInDeviceOrderWithTheirAttributes) {
    IOHIDDeviceRef device = plug(joystick(1));
    CFArrayRef all = IOHIDDeviceCopyMatchingElements(device, nullptr, 0);
    ASSERT_NE(all, nullptr);
    ASSERT_EQ(CFArrayGetCount(all), 8);
    const IOHIDElementType types[] = {kIOHIDElementTypeCollection,   kIOHIDElementTypeInput_Button,
                                      kIOHIDElementTypeInput_Button, kIOHIDElementTypeInput_Misc,
                                      kIOHIDElementTypeOutput,       kIOHIDElementTypeFeature,
                                      kIOHIDElementTypeCollection,   kIOHIDElementTypeInput_Misc};
    for (CFIndex i = 0; i < 8; ++i) {
        auto e = (IOHIDElementRef)CFArrayGetValueAtIndex(all, i);
        EXPECT_EQ(CFGetTypeID(e), IOHIDElementGetTypeID());
        EXPECT_EQ(IOHIDElementGetType(e), types[i]) << i;
        EXPECT_EQ(IOHIDElementGetCookie(e), static_cast<IOHIDElementCookie>(i + 1));
        EXPECT_EQ(IOHIDElementGetDevice(e), device);
    }
    auto top = (IOHIDElementRef)CFArrayGetValueAtIndex(all, 0);
    auto axis = (IOHIDElementRef)CFArrayGetValueAtIndex(all, 3);
    auto report = (IOHIDElementRef)CFArrayGetValueAtIndex(all, 6);
    auto wheel = (IOHIDElementRef)CFArrayGetValueAtIndex(all, 7);
    EXPECT_EQ(IOHIDElementGetParent(top), nullptr);
    EXPECT_EQ(IOHIDElementGetParent(axis), top);
    EXPECT_EQ(IOHIDElementGetParent(wheel), report);
    EXPECT_EQ(IOHIDElementGetCollectionType(top), kIOHIDElementCollectionTypeApplication);
    EXPECT_EQ(IOHIDElementGetCollectionType(report), kIOHIDElementCollectionTypeReport);

    EXPECT_EQ(IOHIDElementGetUsage(axis), 0x30u);
    EXPECT_EQ(IOHIDElementGetLogicalMin(axis), -127);
    EXPECT_EQ(IOHIDElementGetPhysicalMax(axis), 1000);
    EXPECT_EQ(IOHIDElementGetUnitExponent(axis), 0xEu);
    char name[32] = {};
    ASSERT_NE(IOHIDElementGetName(axis), nullptr);
    CFStringGetCString(IOHIDElementGetName(axis), name, sizeof name, kCFStringEncodingUTF8);
    EXPECT_STREQ(name, "Stick X");
    EXPECT_EQ(IOHIDElementGetName(top), nullptr);
    EXPECT_TRUE(IOHIDElementIsRelative(wheel));
    EXPECT_FALSE(IOHIDElementHasPreferredState(wheel));
    EXPECT_FALSE(IOHIDElementIsRelative(axis) || IOHIDElementIsArray(axis) || IOHIDElementHasNullState(axis));

    // The logical range is there as "Min" and "Max" for readers of properties.
    EXPECT_EQ(int32Property(axis, "Min"), -127);
    EXPECT_EQ(int32Property(axis, "Max"), 127);
    EXPECT_EQ(int32Property(axis, "ElementCookie"), 4);

    // Each copy is a new array for the caller; the device keeps the elements.
    CFArrayRef again = IOHIDDeviceCopyMatchingElements(device, nullptr, 0);
    EXPECT_NE(again, all);
    EXPECT_TRUE(CFEqual(again, all));
    CFRelease(again);
    CFRelease(all);
    EXPECT_EQ(IOHIDElementGetType(axis), kIOHIDElementTypeInput_Misc);
}

TEST_F(HidElements, MatchingSelectsByEveryEntryAndBadArgumentsGiveNothing) {
    IOHIDDeviceRef device = plug(joystick(1));
    CFDictionaryRef buttons = numbers({{"UsagePage", 9}});
    CFArrayRef found = IOHIDDeviceCopyMatchingElements(device, buttons, 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(CFArrayGetCount(found), 2);
    CFRelease(found);
    CFDictionaryRef second = numbers({{"UsagePage", 9}, {"Usage", 2}});
    found = IOHIDDeviceCopyMatchingElements(device, second, 0);
    ASSERT_NE(found, nullptr);
    ASSERT_EQ(CFArrayGetCount(found), 1);
    EXPECT_EQ(IOHIDElementGetCookie((IOHIDElementRef)CFArrayGetValueAtIndex(found, 0)), 3u);
    CFRelease(found);
    CFDictionaryRef none = numbers({{"UsagePage", 9}, {"Usage", 3}});
    EXPECT_EQ(IOHIDDeviceCopyMatchingElements(device, none, 0), nullptr);

    EXPECT_EQ(IOHIDDeviceCopyMatchingElements(device, (CFDictionaryRef)CFSTR("UsagePage"), 0), nullptr);
    EXPECT_EQ(IOHIDDeviceCopyMatchingElements((IOHIDDeviceRef)buttons, nullptr, 0), nullptr);
    EXPECT_EQ(IOHIDDeviceCopyMatchingElements(nullptr, nullptr, 0), nullptr);
    // A device without elements has none to give.
    EXPECT_EQ(IOHIDDeviceCopyMatchingElements(plug(VirtualDeviceInfo{}), nullptr, 0), nullptr);
    CFRelease(buttons);
    CFRelease(second);
    CFRelease(none);
}

TEST_F(HidElements, PropertiesAreTheElementsOwnAndGettersRefuseOtherObjects) {
    IOHIDDeviceRef device = plug(joystick(1));
    IOHIDElementRef axis = element(device, 4);
    const int32_t value = -5;
    CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt32Type, &value);
    EXPECT_TRUE(IOHIDElementSetProperty(axis, CFSTR("CalibrationDeadZoneMin"), n));
    EXPECT_EQ(int32Property(axis, "CalibrationDeadZoneMin"), -5);
    EXPECT_EQ(IOHIDElementGetProperty(element(device, 2), CFSTR("CalibrationDeadZoneMin")), nullptr);
    // Overwriting an attribute's key leaves the attribute alone.
    EXPECT_TRUE(IOHIDElementSetProperty(axis, CFSTR("Min"), n));
    EXPECT_EQ(int32Property(axis, "Min"), -5);
    EXPECT_EQ(IOHIDElementGetLogicalMin(axis), -127);
    EXPECT_FALSE(IOHIDElementSetProperty(axis, CFSTR("x"), nullptr));
    EXPECT_FALSE(IOHIDElementSetProperty(axis, nullptr, n));
    EXPECT_FALSE(IOHIDElementSetProperty((IOHIDElementRef)device, CFSTR("x"), n));
    EXPECT_EQ(IOHIDElementGetProperty(axis, nullptr), nullptr);
    CFRelease(n);

    EXPECT_EQ(IOHIDElementGetLogicalMax((IOHIDElementRef)device), 0);
    EXPECT_EQ(IOHIDElementGetDevice((IOHIDElementRef)device), nullptr);
}

TEST_F(HidElements, AnElementMadeFromADictionaryHasOnlyWhatItWasGiven) {
    CFDictionaryRef odd = numbers({{"Type", 5000}, {"CollectionType", -1}});
    IOHIDElementRef unknown = IOHIDElementCreateWithDictionary(nullptr, odd);
    EXPECT_EQ(static_cast<int>(IOHIDElementGetType(unknown)), 0);
    EXPECT_EQ(IOHIDElementGetCollectionType(unknown), kIOHIDElementCollectionTypePhysical);
    CFRelease(unknown);
    CFRelease(odd);
    CFDictionaryRef given = numbers({{"ElementCookie", 17}, {"Type", 2}, {"UsagePage", 9}, {"Usage", 3}});
    IOHIDElementRef e = IOHIDElementCreateWithDictionary(nullptr, given);
    CFRelease(given);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(IOHIDElementGetCookie(e), 17u);
    EXPECT_EQ(IOHIDElementGetType(e), kIOHIDElementTypeInput_Button);
    EXPECT_EQ(IOHIDElementGetLogicalMax(e), 0);
    EXPECT_EQ(IOHIDElementGetProperty(e, CFSTR("Min")), nullptr);
    EXPECT_EQ(IOHIDElementGetDevice(e), nullptr);
    EXPECT_EQ(IOHIDElementGetParent(e), nullptr);
    IOHIDValueRef v = nullptr;
    IOHIDDeviceRef device = plug(joystick(1));
    EXPECT_EQ(IOHIDDeviceGetValue(device, e, &v), kIOReturnBadArgument);
    EXPECT_EQ(v, nullptr);
    CFRelease(e);
    EXPECT_EQ(IOHIDElementCreateWithDictionary(nullptr, nullptr), nullptr);
    EXPECT_EQ(IOHIDElementCreateWithDictionary(nullptr, (CFDictionaryRef)CFSTR("x")), nullptr);
}

TEST_F(HidElements, ScaledValuesMapTheLogicalRangeOntoThePhysicalOne) {
    IOHIDDeviceRef device = plug(joystick(1));
    IOHIDElementRef axis = element(device, 4);
    struct Case {
        CFIndex in;
        double physical;
    } cases[] = {{127, 1000.0}, {-127, -1000.0}, {0, 0.0}, {64, 64 * 1000.0 / 127}, {200, 200 * 1000.0 / 127}};
    for (const Case& c : cases) {
        IOHIDValueRef v = IOHIDValueCreateWithIntegerValue(nullptr, axis, 7, c.in);
        EXPECT_DOUBLE_EQ(IOHIDValueGetScaledValue(v, kIOHIDValueScaleTypePhysical), c.physical) << c.in;
        // No calibration is applied: the calibrated scale is the physical one.
        EXPECT_DOUBLE_EQ(IOHIDValueGetScaledValue(v, kIOHIDValueScaleTypeCalibrated), c.physical) << c.in;
        EXPECT_EQ(IOHIDValueGetTimeStamp(v), 7u);
        EXPECT_EQ(IOHIDValueGetElement(v), axis);
        CFRelease(v);
    }
    IOHIDValueRef v = IOHIDValueCreateWithIntegerValue(nullptr, axis, 0, 1);
    EXPECT_EQ(IOHIDValueGetScaledValue(v, kIOHIDValueScaleTypeExponent), 0.0);
    CFRelease(v);

    // An empty physical range leaves the value as it is.
    v = IOHIDValueCreateWithIntegerValue(nullptr, element(device, 8), 0, -1);
    EXPECT_EQ(IOHIDValueGetScaledValue(v, kIOHIDValueScaleTypePhysical), -1.0);
    CFRelease(v);

    // An empty logical range gives the physical minimum; extreme ranges do not overflow.
    CFDictionaryRef flat = numbers({{"Min", 3}, {"Max", 3}, {"ScaledMin", -4}, {"ScaledMax", 9}});
    CFDictionaryRef wide =
        numbers({{"Min", LONG_MIN}, {"Max", LONG_MAX}, {"ScaledMin", LONG_MAX}, {"ScaledMax", LONG_MIN}});
    IOHIDElementRef f = IOHIDElementCreateWithDictionary(nullptr, flat);
    IOHIDElementRef w = IOHIDElementCreateWithDictionary(nullptr, wide);
    v = IOHIDValueCreateWithIntegerValue(nullptr, f, 0, 100);
    EXPECT_EQ(IOHIDValueGetScaledValue(v, kIOHIDValueScaleTypePhysical), -4.0);
    CFRelease(v);
    v = IOHIDValueCreateWithIntegerValue(nullptr, w, 0, LONG_MAX);
    EXPECT_DOUBLE_EQ(IOHIDValueGetScaledValue(v, kIOHIDValueScaleTypePhysical), static_cast<double>(LONG_MIN));
    CFRelease(v);
    CFRelease(f);
    CFRelease(w);
    CFRelease(flat);
    CFRelease(wide);

    EXPECT_EQ(IOHIDValueCreateWithIntegerValue(nullptr, (IOHIDElementRef)device, 0, 1), nullptr);
    EXPECT_EQ(IOHIDValueGetScaledValue(nullptr, kIOHIDValueScaleTypePhysical), 0.0);
    EXPECT_EQ(IOHIDValueGetIntegerValue(nullptr), 0);
    EXPECT_EQ(IOHIDValueGetElement(nullptr), nullptr);
}

TEST_F(HidElements, CurrentValuesFollowTheDeviceAndOutliveIt) {
    auto d = VirtualDevice::create(joystick(1));
    d->attach();
    devices.push_back(d);
    IOHIDDeviceRef device = d->ref();
    IOHIDElementRef axis = element(device, 4);
    IOHIDElementRef button = element(device, 2);

    IOHIDValueRef first = nullptr;
    ASSERT_EQ(IOHIDDeviceGetValue(device, axis, &first), kIOReturnSuccess);
    EXPECT_EQ(IOHIDValueGetIntegerValue(first), 5);
    EXPECT_TRUE(d->setElementValue(4, -90));
    EXPECT_FALSE(d->setElementValue(99, 1));
    IOHIDValueRef other = nullptr;
    ASSERT_EQ(IOHIDDeviceGetValue(device, button, &other), kIOReturnSuccess);
    // A value handed out stays valid until this thread asks for the same element again.
    EXPECT_EQ(IOHIDValueGetIntegerValue(first), 5);
    IOHIDValueRef second = nullptr;
    ASSERT_EQ(IOHIDDeviceGetValue(device, axis, &second), kIOReturnSuccess);
    EXPECT_EQ(IOHIDValueGetIntegerValue(second), -90);
    EXPECT_GT(IOHIDValueGetTimeStamp(second), 0u);
    EXPECT_EQ(IOHIDValueGetIntegerValue(other), 0);

    IOHIDDeviceRef elsewhere = plug(joystick(2));
    IOHIDValueRef v = nullptr;
    EXPECT_EQ(IOHIDDeviceGetValue(elsewhere, axis, &v), kIOReturnBadArgument);
    EXPECT_EQ(IOHIDDeviceGetValue(device, axis, nullptr), kIOReturnBadArgument);
    EXPECT_EQ(IOHIDDeviceGetValue(device, nullptr, &v), kIOReturnBadArgument);
    EXPECT_EQ(v, nullptr);

    // Once the device has gone, reads fail, but a value held keeps its element readable.
    CFRetain(device);
    IOHIDValueRef kept = IOHIDValueCreateWithIntegerValue(nullptr, axis, 1, 2);
    d->detach();
    EXPECT_FALSE(d->setElementValue(4, 1));
    EXPECT_FALSE(ktrplatform::setElementValue(device, 4, 1));
    EXPECT_EQ(IOHIDDeviceGetValue(device, axis, &v), kIOReturnNoDevice);
    CFRelease(device);
    EXPECT_EQ(IOHIDElementGetDevice(IOHIDValueGetElement(kept)), nullptr);
    EXPECT_EQ(IOHIDElementGetLogicalMin(IOHIDValueGetElement(kept)), -127);
    CFRelease(kept);

    // Each attach makes the elements afresh, with their first values.
    d->attach();
    EXPECT_EQ(current(element(d->ref(), 4)), 5);
}

TEST_F(HidElements, QueuesTakeChangesOfTheirElementsWhileRunning) {
    IOHIDDeviceRef device = plug(joystick(1));
    auto d = devices.back();
    EXPECT_EQ(IOHIDQueueCreate(nullptr, device, 0, 0), nullptr);
    EXPECT_EQ(IOHIDQueueCreate(nullptr, nullptr, 8, 0), nullptr);
    IOHIDQueueRef queue = IOHIDQueueCreate(nullptr, device, 8, 0);
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(CFGetTypeID(queue), IOHIDQueueGetTypeID());
    EXPECT_EQ(IOHIDQueueGetDevice(queue), device);
    EXPECT_EQ(IOHIDQueueGetDepth(queue), 8);
    IOHIDElementRef axis = element(device, 4);
    IOHIDElementRef wheel = element(device, 8);

    IOHIDQueueAddElement(queue, axis);
    IOHIDQueueAddElement(queue, axis);
    EXPECT_TRUE(IOHIDQueueContainsElement(queue, axis));
    d->setElementValue(4, 10);  // not running yet
    EXPECT_EQ(IOHIDQueueCopyNextValueWithTimeout(queue, 0), nullptr);

    IOHIDQueueStart(queue);
    d->setElementValue(4, 11);
    d->setElementValue(4, 11);  // no change, no value
    d->setElementValue(2, 1);   // not in the queue
    d->setElementValue(4, 12);
    IOHIDValueRef first = IOHIDQueueCopyNextValueWithTimeout(queue, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(IOHIDValueGetElement(first), axis);
    EXPECT_EQ(IOHIDValueGetIntegerValue(first), 11);
    EXPECT_EQ(CFGetRetainCount(first), 1);
    CFRelease(first);
    EXPECT_EQ(drain(queue), std::vector<CFIndex>({12}));

    // A relative element reports every movement, repeated or not.
    IOHIDQueueAddElement(queue, wheel);
    d->setElementValue(8, 1);
    d->setElementValue(8, 1);
    EXPECT_EQ(drain(queue), std::vector<CFIndex>({1, 1}));

    // Values queued before a stop can still be taken; none arrive while stopped.
    d->setElementValue(4, 13);
    IOHIDQueueStop(queue);
    d->setElementValue(4, 14);
    EXPECT_EQ(drain(queue), std::vector<CFIndex>({13}));
    IOHIDQueueStart(queue);

    // One removal takes the element out although it was added twice.
    IOHIDQueueRemoveElement(queue, axis);
    EXPECT_FALSE(IOHIDQueueContainsElement(queue, axis));
    IOHIDQueueRemoveElement(queue, axis);
    d->setElementValue(4, 15);
    EXPECT_TRUE(drain(queue).empty());

    // Elements of other devices and other objects are not taken.
    IOHIDDeviceRef elsewhere = plug(joystick(2));
    IOHIDQueueAddElement(queue, element(elsewhere, 4));
    EXPECT_FALSE(IOHIDQueueContainsElement(queue, element(elsewhere, 4)));
    IOHIDQueueAddElement(queue, (IOHIDElementRef)device);
    EXPECT_FALSE(IOHIDQueueContainsElement(queue, (IOHIDElementRef)device));
    EXPECT_FALSE(IOHIDQueueContainsElement(nullptr, axis));
    EXPECT_EQ(IOHIDQueueCopyNextValue(nullptr), nullptr);

    // The queue holds its device: it may be released after the device has gone.
    d->setElementValue(8, -1);
    d->detach();
    EXPECT_EQ(drain(queue), std::vector<CFIndex>({-1}));
    CFRelease(queue);
}

TEST_F(HidElements, AFullQueueDropsItsOldestValues) {
    IOHIDDeviceRef device = plug(joystick(1));
    IOHIDQueueRef queue = IOHIDQueueCreate(nullptr, device, 3, 0);
    IOHIDQueueAddElement(queue, element(device, 4));
    IOHIDQueueStart(queue);
    for (CFIndex v = 1; v <= 5; ++v) devices.back()->setElementValue(4, v);
    EXPECT_EQ(drain(queue), std::vector<CFIndex>({3, 4, 5}));
    // Two queues of one device each get their own values.
    IOHIDQueueRef second = IOHIDQueueCreate(nullptr, device, 50, 0);
    IOHIDQueueAddElement(second, element(device, 4));
    IOHIDQueueStart(second);
    devices.back()->setElementValue(4, 6);
    EXPECT_EQ(drain(queue), std::vector<CFIndex>({6}));
    EXPECT_EQ(drain(second), std::vector<CFIndex>({6}));
    CFRelease(second);
    CFRelease(queue);
}

TEST_F(HidElements, ValuesSetOnAnotherThreadReachARunningQueueInOrder) {
    IOHIDDeviceRef device = plug(joystick(1));
    auto d = devices.back();
    constexpr CFIndex kCount = 2000;
    IOHIDQueueRef queue = IOHIDQueueCreate(nullptr, device, kCount, 0);
    IOHIDElementRef axis = element(device, 4);
    IOHIDQueueAddElement(queue, axis);
    IOHIDQueueStart(queue);

    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (CFIndex v = 1; v <= kCount; ++v) d->setElementValue(4, v);
    });
    // Readers of current values and a queue coming and going meanwhile.
    std::thread reader([&] {
        while (!done) {
            EXPECT_GE(current(axis), 0);
            IOHIDQueueRef passing = IOHIDQueueCreate(nullptr, device, 4, 0);
            IOHIDQueueAddElement(passing, axis);
            IOHIDQueueStart(passing);
            drain(passing);
            CFRelease(passing);
        }
    });
    std::vector<CFIndex> seen;
    while (seen.size() < static_cast<size_t>(kCount)) {
        // Waits until the writer delivers; the writer always does, so no time limit is relied on.
        IOHIDValueRef v = IOHIDQueueCopyNextValueWithTimeout(queue, 60);
        ASSERT_NE(v, nullptr);
        seen.push_back(IOHIDValueGetIntegerValue(v));
        CFRelease(v);
    }
    done = true;
    writer.join();
    reader.join();
    for (CFIndex i = 0; i < kCount; ++i) ASSERT_EQ(seen[static_cast<size_t>(i)], i + 1);
    CFRelease(queue);
}

TEST_F(HidElements, DetachingWhileValuesAreSetAndQueuedIsSafe) {
    auto d = VirtualDevice::create(joystick(1));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        CFIndex v = 0;
        while (!done) d->setElementValue(4, ++v);
    });
    for (int round = 0; round < 50; ++round) {
        d->attach();
        IOHIDDeviceRef device = d->ref();
        IOHIDQueueRef queue = IOHIDQueueCreate(nullptr, device, 2, 0);
        IOHIDQueueAddElement(queue, element(device, 4));
        IOHIDQueueStart(queue);
        drain(queue);
        d->detach();
        drain(queue);
        CFRelease(queue);
    }
    done = true;
    writer.join();
}
