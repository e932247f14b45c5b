// Element values and the calibration kept on elements.
#include <gtest/gtest.h>

#include <cmath>

#include "HidUtilFixture.h"

using namespace hidutiltest;

namespace {

long long stored(IOHIDElementRef element, const char* key) {
    Text k(key);
    long long value = 0;
    return storedNumber(IOHIDElementGetProperty(element, k.ref), &value) ? value : -999999999999LL;
}

class ElementCalibrationTest : public LibraryTest {
protected:
    // One axis of the given logical and physical range at the given value.
    IOHIDElementRef axis(int64_t logicalMin, int64_t logicalMax, int64_t physicalMin, int64_t physicalMax,
                         int64_t value = 0) {
        auto info = plainDevice(1, 2, 0x1000 + static_cast<int64_t>(++m_count));
        auto element = ElementInfo::axis(1, 0x30, logicalMin, logicalMax, physicalMin, physicalMax);
        element.initialValue = value;
        info.elements = {element};
        return elementsOf(plug(info)->ref()).at(0);
    }

private:
    int m_count = 0;
};

TEST_F(ElementCalibrationTest, OnlyHidElementsAreValid) {
    IOHIDElementRef element = axis(0, 10, 0, 10);
    IOHIDDeviceRef device = IOHIDElementGetDevice(element);
    EXPECT_TRUE(HIDIsValidElement(element));
    EXPECT_FALSE(HIDIsValidElement(nullptr));
    EXPECT_FALSE(HIDIsValidElement(reinterpret_cast<IOHIDElementRef>(device)));
}

TEST_F(ElementCalibrationTest, MissingValuesAreFilledInFromTheLogicalRangeAndKept) {
    IOHIDElementRef element = axis(-127, 127, -127, 127);
    // The range starts inverted, so that the first values seen widen it.
    EXPECT_EQ(IOHIDElement_GetCalibrationMin(element), 127);
    EXPECT_EQ(IOHIDElement_GetCalibrationMax(element), -127);
    EXPECT_EQ(stored(element, "CalibrationMin"), 127);
    EXPECT_EQ(stored(element, "CalibrationMax"), -127);
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMin(element), -127);
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMax(element), -127);
    EXPECT_EQ(IOHIDElement_GetCalibrationDeadZoneMin(element), -127);
    EXPECT_EQ(IOHIDElement_GetCalibrationDeadZoneMax(element), -127);
    EXPECT_EQ(IOHIDElement_GetCalibrationGranularity(element), -127.0);
    EXPECT_EQ(stored(element, "CalibrationGranularity"), -127);

    // Once stored, the values no longer follow the range.
    IOHIDElement_SetLongProperty(element, CFSTR("Max"), 500);
    EXPECT_EQ(IOHIDElement_GetCalibrationMin(element), 127);
}

TEST_F(ElementCalibrationTest, AnElementWithoutRangeFallsBackToTheConstants) {
    CFMutableDictionaryRef none =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    IOHIDElementRef element = IOHIDElementCreateWithDictionary(kCFAllocatorDefault, none);
    CFRelease(none);
    ASSERT_NE(element, nullptr);

    EXPECT_EQ(IOHIDElement_GetCalibrationMin(element), 2147483647);
    EXPECT_EQ(IOHIDElement_GetCalibrationMax(element), -2147483647);
    EXPECT_EQ(IOHIDElement_GetCalibrationGranularity(element), -2147483647.0);
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMax(element), -2147483647);
    // An element of no device has no value to read.
    EXPECT_EQ(IOHIDElement_GetValue(element, kIOHIDValueScaleTypePhysical), 0.0);
    IOHIDElement_SetupCalibration(element);
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMin(element), 0);
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMax(element), 0);
    CFRelease(element);
}

TEST_F(ElementCalibrationTest, ValuesThatAreNoNumbersAreReplaced) {
    IOHIDElementRef element = axis(-5, 5, -5, 5);
    IOHIDElementSetProperty(element, CFSTR("CalibrationMin"), CFSTR("3"));
    long untouched = 77;
    EXPECT_FALSE(IOHIDElement_GetLongProperty(element, CFSTR("CalibrationMin"), &untouched));
    EXPECT_FALSE(IOHIDElement_GetLongProperty(element, CFSTR("Missing"), &untouched));
    EXPECT_EQ(untouched, 77);
    EXPECT_EQ(IOHIDElement_GetCalibrationMin(element), 5);
    EXPECT_EQ(stored(element, "CalibrationMin"), 5);
}

TEST_F(ElementCalibrationTest, SettersKeepTheSignAndThe32LowBits) {
    IOHIDElementRef element = axis(0, 255, 0, 255);
    IOHIDElement_SetCalibrationDeadZoneMin(element, -5);
    EXPECT_EQ(IOHIDElement_GetCalibrationDeadZoneMin(element), -5);
    IOHIDElement_SetCalibrationDeadZoneMax(element, 6);
    EXPECT_EQ(IOHIDElement_GetCalibrationDeadZoneMax(element), 6);
    IOHIDElement_SetCalibrationMin(element, -2147483647 - 1);
    EXPECT_EQ(IOHIDElement_GetCalibrationMin(element), -2147483647 - 1);
    IOHIDElement_SetCalibrationMax(element, 0x180000001L);
    EXPECT_EQ(IOHIDElement_GetCalibrationMax(element), -2147483647);
    IOHIDElement_SetCalibrationSaturationMin(element, 4294967295L);
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMin(element), -1);
    IOHIDElement_SetCalibrationSaturationMax(element, 200);
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMax(element), 200);

    // The granularity is kept as a whole number, cut toward zero.
    IOHIDElement_SetCalibrationGranularity(element, 2.9);
    EXPECT_EQ(stored(element, "CalibrationGranularity"), 2);
    EXPECT_EQ(IOHIDElement_GetCalibrationGranularity(element), 2.0);
    IOHIDElement_SetCalibrationGranularity(element, -2.9);
    EXPECT_EQ(IOHIDElement_GetCalibrationGranularity(element), -2.0);
    // Values no integer can hold are pinned, not converted into undefined behaviour.
    IOHIDElement_SetCalibrationGranularity(element, 1e300);
    IOHIDElement_SetCalibrationGranularity(element, std::nan(""));
    EXPECT_EQ(IOHIDElement_GetCalibrationGranularity(element), 0.0);
}

TEST_F(ElementCalibrationTest, ValueIsTruncatedTowardZero) {
    EXPECT_EQ(IOHIDElement_GetValue(axis(0, 1000, 0, 100, 427), kIOHIDValueScaleTypePhysical), 42.0);
    EXPECT_EQ(IOHIDElement_GetValue(axis(-1000, 1000, -100, 100, -427), kIOHIDValueScaleTypePhysical), -42.0);
    EXPECT_EQ(IOHIDElement_GetValue(axis(0, 1000, 0, 100, 999), kIOHIDValueScaleTypeCalibrated), 99.0);
}

TEST_F(ElementCalibrationTest, SetupResetsFromTheLogicalRangeAndThePhysicalValue) {
    IOHIDElementRef element = axis(0, 1000, 0, 100, 427);
    IOHIDElement_SetCalibrationDeadZoneMin(element, -9);
    IOHIDElement_SetCalibrationGranularity(element, 4);
    IOHIDElement_SetupCalibration(element);
    EXPECT_EQ(IOHIDElement_GetCalibrationMin(element), 0);
    EXPECT_EQ(IOHIDElement_GetCalibrationMax(element), 1000);
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMin(element), 42);
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMax(element), 42);
    EXPECT_EQ(IOHIDElement_GetCalibrationDeadZoneMin(element), 0);
    EXPECT_EQ(IOHIDElement_GetCalibrationDeadZoneMax(element), 0);
    EXPECT_EQ(IOHIDElement_GetCalibrationGranularity(element), 0.0);

    IOHIDElementRef negative = axis(-1000, 1000, -100, 100, -427);
    IOHIDElement_SetupCalibration(negative);
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMin(negative), -42);
    EXPECT_EQ(IOHIDElement_GetCalibrationMin(negative), -1000);
}

TEST_F(ElementCalibrationTest, AnElementWhoseDeviceLeftReadsZero) {
    auto info = plainDevice(1, 2, 3);
    auto element = ElementInfo::axis(1, 0x30, 0, 1000, 0, 100);
    element.initialValue = 500;
    info.elements = {element};
    auto device = plug(info);
    IOHIDElementRef held = elementsOf(device->ref()).at(0);
    CFRetain(held);
    EXPECT_EQ(IOHIDElement_GetValue(held, kIOHIDValueScaleTypePhysical), 50.0);
    device->detach();
    EXPECT_EQ(IOHIDElement_GetValue(held, kIOHIDValueScaleTypePhysical), 0.0);
    IOHIDElement_SetupCalibration(held);
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMax(held), 0);
    EXPECT_EQ(IOHIDElement_GetCalibrationMax(held), 1000);
    CFRelease(held);
}

}  // namespace
