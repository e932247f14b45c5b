// Elements, values and queues of the stand-in HID devices: the device's element order and
// attributes, scaling, value lifetimes, and queues fed from other threads.
#include <atomic>
#include <climits>
#include <thread>

#include "PlatformTest.h"

using namespace platformtest;

namespace {

// Cookies by position: 1 the application collection, 2 and 3 buttons, 4 the axis,
// 5 an output, 6 a feature, 7 a report collection, 8 a relative wheel inside it.
VirtualDeviceInfo joystick(int64_t location) {
    VirtualDeviceInfo info = deviceInfo(0x4D2A, 0x61, location);
    ElementInfo axis = ElementInfo::axis(1, 0x30, -127, 127, -1000, 1000);
    axis.name = "Stick X";
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

std::vector<IOHIDElementRef> elementsOf(IOHIDDeviceRef device, CFDictionaryRef matching = nullptr) {
    auto all = own(IOHIDDeviceCopyMatchingElements(device, matching, 0));
    std::vector<IOHIDElementRef> out;
    for (CFIndex i = 0; all && i < CFArrayGetCount(all.get()); ++i)
        out.push_back((IOHIDElementRef)CFArrayGetValueAtIndex(all.get(), i));
    return out;  // the device keeps them
}

IOHIDElementRef element(IOHIDDeviceRef device, IOHIDElementCookie cookie) {
    for (IOHIDElementRef e : elementsOf(device))
        if (IOHIDElementGetCookie(e) == cookie) return e;
    return nullptr;
}

CFIndex current(IOHIDElementRef e) {
    IOHIDValueRef v = nullptr;
    EXPECT_EQ(IOHIDDeviceGetValue(IOHIDElementGetDevice(e), e, &v), kIOReturnSuccess);
    return v ? IOHIDValueGetIntegerValue(v) : LONG_MIN;
}

int32_t int32Property(IOHIDElementRef e, const char* key) {
    CFTypeRef v = IOHIDElementGetProperty(e, own(str(key)).get());
    int32_t out = INT32_MIN;
    if (v && CFGetTypeID(v) == CFNumberGetTypeID()) CFNumberGetValue((CFNumberRef)v, kCFNumberSInt32Type, &out);
    return out;
}

double scaled(IOHIDElementRef e, CFIndex value, IOHIDValueScaleType type = kIOHIDValueScaleTypePhysical) {
    return IOHIDValueGetScaledValue(own(IOHIDValueCreateWithIntegerValue(nullptr, e, 0, value)).get(), type);
}

std::vector<CFIndex> drain(IOHIDQueueRef queue) {
    std::vector<CFIndex> out;
    while (IOHIDValueRef v = IOHIDQueueCopyNextValueWithTimeout(queue, 0)) {
        out.push_back(IOHIDValueGetIntegerValue(v));
        CFRelease(v);
    }
    return out;
}

Owned<IOHIDQueueRef> runningQueue(IOHIDDeviceRef device, CFIndex depth, IOHIDElementRef e) {
    auto queue = own(IOHIDQueueCreate(nullptr, device, depth, 0));
    IOHIDQueueAddElement(queue.get(), e);
    IOHIDQueueStart(queue.get());
    return queue;
}

}  // namespace

using HidElements = Bus;

TEST_F(HidElements, ElementsComeInDeviceOrderWithTheirAttributes) {
    IOHIDDeviceRef device = plug(joystick(1))->ref();
    const std::vector<IOHIDElementRef> all = elementsOf(device);
    ASSERT_EQ(all.size(), 8u);
    const IOHIDElementType types[] = {kIOHIDElementTypeCollection,   kIOHIDElementTypeInput_Button,
                                      kIOHIDElementTypeInput_Button, kIOHIDElementTypeInput_Misc,
                                      kIOHIDElementTypeOutput,       kIOHIDElementTypeFeature,
                                      kIOHIDElementTypeCollection,   kIOHIDElementTypeInput_Misc};
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(IOHIDElementGetType(all[i]), types[i]) << i;
        EXPECT_EQ(IOHIDElementGetCookie(all[i]), i + 1);
        EXPECT_EQ(IOHIDElementGetDevice(all[i]), device);
    }
    IOHIDElementRef top = all[0], axis = all[3], report = all[6], wheel = all[7];
    EXPECT_EQ(IOHIDElementGetParent(top), nullptr);
    EXPECT_EQ(IOHIDElementGetParent(axis), top);
    EXPECT_EQ(IOHIDElementGetParent(wheel), report);
    EXPECT_EQ(IOHIDElementGetCollectionType(top), kIOHIDElementCollectionTypeApplication);
    EXPECT_EQ(IOHIDElementGetCollectionType(report), kIOHIDElementCollectionTypeReport);
    EXPECT_EQ(IOHIDElementGetUsage(axis), 0x30u);
    EXPECT_EQ(IOHIDElementGetLogicalMin(axis), -127);
    EXPECT_EQ(IOHIDElementGetPhysicalMax(axis), 1000);
    EXPECT_EQ(IOHIDElementGetUnitExponent(axis), 0xEu);
    EXPECT_EQ(text(IOHIDElementGetName(axis)), "Stick X");
    EXPECT_EQ(IOHIDElementGetName(top), nullptr);
    EXPECT_TRUE(IOHIDElementIsRelative(wheel));
    EXPECT_FALSE(IOHIDElementHasPreferredState(wheel));
    EXPECT_FALSE(IOHIDElementIsRelative(axis) || IOHIDElementIsArray(axis) || IOHIDElementHasNullState(axis));
    // The logical range is there as "Min" and "Max" for readers of properties.
    EXPECT_EQ(int32Property(axis, "Min"), -127);
    EXPECT_EQ(int32Property(axis, "Max"), 127);
    EXPECT_EQ(int32Property(axis, "ElementCookie"), 4);

    // Each copy is a new array for the caller.
    auto first = own(IOHIDDeviceCopyMatchingElements(device, nullptr, 0));
    auto again = own(IOHIDDeviceCopyMatchingElements(device, nullptr, 0));
    EXPECT_NE(again.get(), first.get());
    EXPECT_TRUE(CFEqual(again.get(), first.get()));
}

TEST_F(HidElements, MatchingSelectsByEveryEntryAndBadArgumentsGiveNothing) {
    IOHIDDeviceRef device = plug(joystick(1))->ref();
    EXPECT_EQ(elementsOf(device, own(numbers({{"UsagePage", 9}})).get()).size(), 2u);
    const auto second = elementsOf(device, own(numbers({{"UsagePage", 9}, {"Usage", 2}})).get());
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(IOHIDElementGetCookie(second[0]), 3u);
    EXPECT_EQ(IOHIDDeviceCopyMatchingElements(device, own(numbers({{"UsagePage", 9}, {"Usage", 3}})).get(), 0),
              nullptr);
    EXPECT_EQ(IOHIDDeviceCopyMatchingElements(device, (CFDictionaryRef)CFSTR("UsagePage"), 0), nullptr);
    EXPECT_EQ(IOHIDDeviceCopyMatchingElements((IOHIDDeviceRef)CFSTR("device"), nullptr, 0), nullptr);
    EXPECT_EQ(IOHIDDeviceCopyMatchingElements(nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(IOHIDDeviceCopyMatchingElements(plug(VirtualDeviceInfo{})->ref(), nullptr, 0), nullptr)
        << "a device without elements has none to give";
}

TEST_F(HidElements, PropertiesAreTheElementsOwnAndGettersRefuseOtherObjects) {
    IOHIDDeviceRef device = plug(joystick(1))->ref();
    IOHIDElementRef axis = element(device, 4);
    const int32_t value = -5;
    auto n = own(CFNumberCreate(nullptr, kCFNumberSInt32Type, &value));
    EXPECT_TRUE(IOHIDElementSetProperty(axis, CFSTR("CalibrationDeadZoneMin"), n.get()));
    EXPECT_EQ(int32Property(axis, "CalibrationDeadZoneMin"), -5);
    EXPECT_EQ(IOHIDElementGetProperty(element(device, 2), CFSTR("CalibrationDeadZoneMin")), nullptr);
    // Overwriting an attribute's key leaves the attribute alone.
    EXPECT_TRUE(IOHIDElementSetProperty(axis, CFSTR("Min"), n.get()));
    EXPECT_EQ(int32Property(axis, "Min"), -5);
    EXPECT_EQ(IOHIDElementGetLogicalMin(axis), -127);
    EXPECT_FALSE(IOHIDElementSetProperty(axis, CFSTR("x"), nullptr));
    EXPECT_FALSE(IOHIDElementSetProperty(axis, nullptr, n.get()));
    EXPECT_FALSE(IOHIDElementSetProperty((IOHIDElementRef)device, CFSTR("x"), n.get()));
    EXPECT_EQ(IOHIDElementGetProperty(axis, nullptr), nullptr);
    EXPECT_EQ(IOHIDElementGetLogicalMax((IOHIDElementRef)device), 0);
    EXPECT_EQ(IOHIDElementGetDevice((IOHIDElementRef)device), nullptr);

    IOHIDValueRef v = nullptr;
    EXPECT_EQ(IOHIDDeviceGetValue(device, (IOHIDElementRef)device, &v), kIOReturnBadArgument);
    EXPECT_EQ(v, nullptr);
}

TEST_F(HidElements, ScaledValuesMapTheLogicalRangeOntoThePhysicalOne) {
    IOHIDDeviceRef device = plug(joystick(1))->ref();
    IOHIDElementRef axis = element(device, 4);
    const struct {
        CFIndex in;
        double physical;
    } cases[] = {{127, 1000.0}, {-127, -1000.0}, {0, 0.0}, {64, 64 * 1000.0 / 127}, {200, 200 * 1000.0 / 127}};
    for (const auto& c : cases) {
        auto v = own(IOHIDValueCreateWithIntegerValue(nullptr, axis, 7, c.in));
        EXPECT_DOUBLE_EQ(IOHIDValueGetScaledValue(v.get(), kIOHIDValueScaleTypePhysical), c.physical) << c.in;
        // No calibration is applied: the calibrated scale is the physical one.
        EXPECT_DOUBLE_EQ(IOHIDValueGetScaledValue(v.get(), kIOHIDValueScaleTypeCalibrated), c.physical) << c.in;
        EXPECT_EQ(IOHIDValueGetTimeStamp(v.get()), 7u);
        EXPECT_EQ(IOHIDValueGetElement(v.get()), axis);
    }
    EXPECT_EQ(scaled(axis, 1, kIOHIDValueScaleTypeExponent), 0.0);
    EXPECT_EQ(scaled(element(device, 8), -1), -1.0) << "an empty physical range leaves the value as it is";

    // An empty logical range gives the physical minimum; extreme ranges do not overflow.
    VirtualDeviceInfo odd;
    odd.elements = {ElementInfo::axis(1, 1, 3, 3, -4, 9),
                    ElementInfo::axis(1, 2, LONG_MIN, LONG_MAX, LONG_MAX, LONG_MIN)};
    IOHIDDeviceRef oddDevice = plug(odd)->ref();
    EXPECT_EQ(scaled(element(oddDevice, 1), 100), -4.0);
    EXPECT_DOUBLE_EQ(scaled(element(oddDevice, 2), LONG_MAX), static_cast<double>(LONG_MIN));

    EXPECT_EQ(IOHIDValueCreateWithIntegerValue(nullptr, (IOHIDElementRef)device, 0, 1), nullptr);
    EXPECT_EQ(IOHIDValueGetScaledValue(nullptr, kIOHIDValueScaleTypePhysical), 0.0);
    EXPECT_EQ(IOHIDValueGetIntegerValue(nullptr), 0);
    EXPECT_EQ(IOHIDValueGetElement(nullptr), nullptr);
}

TEST_F(HidElements, CurrentValuesFollowTheDeviceAndOutliveIt) {
    auto d = plug(joystick(1));
    IOHIDDeviceRef device = d->ref();
    IOHIDElementRef axis = element(device, 4);
    IOHIDValueRef first = nullptr;
    ASSERT_EQ(IOHIDDeviceGetValue(device, axis, &first), kIOReturnSuccess);
    EXPECT_EQ(IOHIDValueGetIntegerValue(first), 5);
    EXPECT_TRUE(d->setElementValue(4, -90));
    EXPECT_FALSE(d->setElementValue(99, 1));
    IOHIDValueRef other = nullptr;
    ASSERT_EQ(IOHIDDeviceGetValue(device, element(device, 2), &other), kIOReturnSuccess);
    // A value handed out stays valid until this thread asks for the same element again.
    EXPECT_EQ(IOHIDValueGetIntegerValue(first), 5);
    IOHIDValueRef second = nullptr;
    ASSERT_EQ(IOHIDDeviceGetValue(device, axis, &second), kIOReturnSuccess);
    EXPECT_EQ(IOHIDValueGetIntegerValue(second), -90);
    EXPECT_GT(IOHIDValueGetTimeStamp(second), 0u);
    EXPECT_EQ(IOHIDValueGetIntegerValue(other), 0);

    IOHIDValueRef v = nullptr;
    EXPECT_EQ(IOHIDDeviceGetValue(plug(joystick(2))->ref(), axis, &v), kIOReturnBadArgument);
    EXPECT_EQ(IOHIDDeviceGetValue(device, axis, nullptr), kIOReturnBadArgument);
    EXPECT_EQ(IOHIDDeviceGetValue(device, nullptr, &v), kIOReturnBadArgument);
    EXPECT_EQ(v, nullptr);

    // Once the device has gone, reads fail, but a value held keeps its element readable.
    CFRetain(device);
    auto kept = own(IOHIDValueCreateWithIntegerValue(nullptr, axis, 1, 2));
    d->detach();
    EXPECT_FALSE(d->setElementValue(4, 1));
    EXPECT_FALSE(ktrplatform::setElementValue(device, 4, 1));
    EXPECT_EQ(IOHIDDeviceGetValue(device, axis, &v), kIOReturnNoDevice);
    CFRelease(device);
    EXPECT_EQ(IOHIDElementGetDevice(IOHIDValueGetElement(kept.get())), nullptr);
    EXPECT_EQ(IOHIDElementGetLogicalMin(IOHIDValueGetElement(kept.get())), -127);

    // Each attach makes the elements afresh, with their first values.
    d->attach();
    EXPECT_EQ(current(element(d->ref(), 4)), 5);
}

TEST_F(HidElements, QueuesTakeChangesOfTheirElementsWhileRunning) {
    auto d = plug(joystick(1));
    IOHIDDeviceRef device = d->ref();
    EXPECT_EQ(IOHIDQueueCreate(nullptr, device, 0, 0), nullptr);
    EXPECT_EQ(IOHIDQueueCreate(nullptr, nullptr, 8, 0), nullptr);
    auto owned = own(IOHIDQueueCreate(nullptr, device, 8, 0));
    IOHIDQueueRef queue = owned.get();
    ASSERT_NE(queue, nullptr);
    IOHIDElementRef axis = element(device, 4);
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
    auto first = own(IOHIDQueueCopyNextValueWithTimeout(queue, 0));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(IOHIDValueGetElement(first.get()), axis);
    EXPECT_EQ(IOHIDValueGetIntegerValue(first.get()), 11);
    EXPECT_EQ(drain(queue), std::vector<CFIndex>({12}));

    // A relative element reports every movement, repeated or not.
    IOHIDQueueAddElement(queue, element(device, 8));
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
    IOHIDElementRef elsewhere = element(plug(joystick(2))->ref(), 4);
    IOHIDQueueAddElement(queue, elsewhere);
    EXPECT_FALSE(IOHIDQueueContainsElement(queue, elsewhere));
    IOHIDQueueAddElement(queue, (IOHIDElementRef)device);
    EXPECT_FALSE(IOHIDQueueContainsElement(queue, (IOHIDElementRef)device));
    EXPECT_FALSE(IOHIDQueueContainsElement(nullptr, axis));
    EXPECT_EQ(IOHIDQueueCopyNextValue(nullptr), nullptr);

    // A full queue drops its oldest values; each queue gets its own.
    auto small = runningQueue(device, 3, axis);
    for (CFIndex v = 1; v <= 5; ++v) d->setElementValue(4, v);
    EXPECT_EQ(drain(small.get()), std::vector<CFIndex>({3, 4, 5}));
    IOHIDQueueAddElement(queue, axis);
    d->setElementValue(4, 6);
    EXPECT_EQ(drain(small.get()), std::vector<CFIndex>({6}));
    EXPECT_EQ(drain(queue), std::vector<CFIndex>({6}));

    // The queue holds its device: it may be released after the device has gone.
    d->setElementValue(8, -1);
    d->detach();
    EXPECT_EQ(drain(queue), std::vector<CFIndex>({-1}));
}

TEST_F(HidElements, ValuesSetOnAnotherThreadReachARunningQueueInOrder) {
    auto d = plug(joystick(1));
    constexpr CFIndex kCount = 2000;
    IOHIDElementRef axis = element(d->ref(), 4);
    auto queue = runningQueue(d->ref(), kCount, axis);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (CFIndex v = 1; v <= kCount; ++v) d->setElementValue(4, v);
    });
    // Readers of current values and a queue coming and going meanwhile.
    std::thread reader([&] {
        while (!done) {
            EXPECT_GE(current(axis), 0);
            drain(runningQueue(d->ref(), 4, axis).get());
        }
    });
    std::vector<CFIndex> seen;
    while (seen.size() < static_cast<size_t>(kCount)) {
        // Waits until the writer delivers; the writer always does, so no time limit is relied on.
        auto v = own(IOHIDQueueCopyNextValueWithTimeout(queue.get(), 60));
        ASSERT_NE(v, nullptr);
        seen.push_back(IOHIDValueGetIntegerValue(v.get()));
    }
    done = true;
    writer.join();
    reader.join();
    for (CFIndex i = 0; i < kCount; ++i) ASSERT_EQ(seen[static_cast<size_t>(i)], i + 1);
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
        auto queue = runningQueue(d->ref(), 2, element(d->ref(), 4));
        drain(queue.get());
        d->detach();
        drain(queue.get());
    }
    done = true;
    writer.join();
}
