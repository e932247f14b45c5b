// Device and element properties, the calibration kept on elements, service objects behind
// devices, and the error reporters' formatting.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "DazoHIDUtilAddOn.h"
#include "HID_Error_Handler.h"
#include "HidBusTest.h"

using namespace ktrtest;

namespace {

// A number property as the platform holds it; -999 when absent or not a number.
long long stored(CFTypeRef property) {
    long long value = 0;
    if (!property || CFGetTypeID(property) != CFNumberGetTypeID()) return -999;
    return CFNumberGetValue(static_cast<CFNumberRef>(property), kCFNumberLongLongType, &value) ? value : -999;
}

using PropertiesTest = HidBusTest;

TEST_F(PropertiesTest, ValidityChecksAcceptOnlyTheirOwnKind) {
    auto info = hidDevice(1, 2, 3);
    info.elements = {ElementInfo::button(9, 1)};
    IOHIDDeviceRef device = plug(info)->ref();
    IOHIDElementRef element = elementsOf(device).at(0);
    EXPECT_TRUE(HIDIsValidDevice(device));
    EXPECT_TRUE(HIDIsValidElement(element));
    EXPECT_FALSE(HIDIsValidDevice(nullptr));
    EXPECT_FALSE(HIDIsValidElement(nullptr));
    EXPECT_FALSE(HIDIsValidDevice(reinterpret_cast<IOHIDDeviceRef>(element)));
    EXPECT_FALSE(HIDIsValidElement(reinterpret_cast<IOHIDElementRef>(device)));
}

// The dumps show each property's usual value; here the edges of reading them.
TEST_F(PropertiesTest, DeviceNumbersReadAsUnsigned32BitsAndUnreadableOnesAsZero) {
    auto info = hidDevice(-1, 2, std::nullopt, 0, -1);
    info.extra = {{"MaxFeatureReportSize", std::string("8")}, {"Huge", int64_t{0x100000000}}};
    IOHIDDeviceRef device = plug(info)->ref();

    EXPECT_EQ(IOHIDDevice_GetVendorID(device), 4294967295L);
    EXPECT_EQ(IOHIDDevice_GetPrimaryUsage(device), 0xFFFFFFFFu);
    EXPECT_EQ(IOHIDDevice_GetMaxFeatureReportSize(device), 0);  // a text is not a number
    EXPECT_EQ(IOHIDDevice_GetVendorID(nullptr), 0);
    EXPECT_EQ(IOHIDDevice_GetQueue(nullptr), nullptr);

    long value = 77;
    EXPECT_FALSE(IOHIDDevice_GetLongProperty(nullptr, CFSTR("VendorID"), &value));
    EXPECT_FALSE(IOHIDDevice_GetLongProperty(device, CFSTR("LocationID"), &value));
    EXPECT_FALSE(IOHIDDevice_GetLongProperty(device, CFSTR("MaxFeatureReportSize"), &value));
    EXPECT_EQ(value, 77);
    EXPECT_FALSE(IOHIDDevice_GetLongProperty(device, CFSTR("Huge"), &value));

    // Object properties are the device's own objects, not copies.
    EXPECT_EQ(static_cast<CFTypeRef>(IOHIDDevice_GetProduct(device)),
              IOHIDDeviceGetProperty(device, CFSTR(kIOHIDProductKey)));
    EXPECT_EQ(IOHIDDevice_GetUsagePairs(device), IOHIDDeviceGetProperty(device, CFSTR(kIOHIDDeviceUsagePairsKey)));
    EXPECT_EQ(IOHIDDevice_GetUsagePairs(nullptr), nullptr);
}

TEST_F(PropertiesTest, StoredReferencesAndNumbersComeBackWhole) {
    IOHIDDeviceRef device = plug(hidDevice(1, 2, 3))->ref();
    EXPECT_EQ(IOHIDDevice_GetQueue(device), nullptr);
    IOHIDQueueRef queue = IOHIDQueueCreate(kCFAllocatorDefault, device, 8, 0);
    IOHIDDevice_SetQueue(device, queue);
    EXPECT_EQ(IOHIDDevice_GetQueue(device), queue);
    IOHIDDevice_SetQueue(device, nullptr);
    EXPECT_EQ(IOHIDDevice_GetQueue(device), nullptr);
    CFRelease(queue);
    // The upper half of a reference included.
    auto far = reinterpret_cast<IOHIDTransactionRef>(static_cast<uintptr_t>(0xFFFF8000DEADBEE8ull));
    IOHIDDevice_SetTransaction(device, far);
    EXPECT_EQ(IOHIDDevice_GetTransaction(device), far);

    IOHIDDevice_SetLongProperty(device, CFSTR("Answer"), 0x123456789A);
    EXPECT_EQ(stored(IOHIDDeviceGetProperty(device, CFSTR("Answer"))), 0x123456789ALL);
    IOHIDDevice_SetLongProperty(device, CFSTR("Answer"), -7);
    long value = 0;
    EXPECT_TRUE(IOHIDDevice_GetLongProperty(device, CFSTR("Answer"), &value));
    EXPECT_EQ(value, 4294967289L);
    IOHIDDevice_SetLongProperty(nullptr, CFSTR("Answer"), 5);  // ignored, not written through
}

using PropertiesDeathTest = PropertiesTest;

TEST_F(PropertiesDeathTest, ObjectsOfAnotherKindStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto info = hidDevice(1, 2, 3);
    info.elements = {ElementInfo::button(9, 1)};
    IOHIDDeviceRef device = plug(info)->ref();
    IOHIDElementRef element = elementsOf(device).at(0);
    auto elementAsDevice = reinterpret_cast<IOHIDDeviceRef>(element);
    const char kNotADevice[] = "IOHIDDeviceGetTypeID\\(\\) == CFGetTypeID\\(inIOHIDDeviceRef\\)";

    EXPECT_DEATH(IOHIDDevice_GetProduct(elementAsDevice), kNotADevice);
    EXPECT_DEATH(IOHIDDevice_GetVendorID(elementAsDevice), kNotADevice);
    EXPECT_DEATH(HIDCountDeviceElements(elementAsDevice, 2), kNotADevice);
    EXPECT_DEATH(HIDGetFirstDeviceElement(elementAsDevice, 2), kNotADevice);
    EXPECT_DEATH(HIDGetNextDeviceElement(reinterpret_cast<IOHIDElementRef>(device), 2),
                 "IOHIDElementGetTypeID\\(\\) == CFGetTypeID\\(inIOHIDElementRef\\)");
    // A stored reference that is no queue is a programming error, not a queue to use.
    IOHIDDevice_SetLongProperty(device, CFSTR("DeviceQueueRef"), reinterpret_cast<intptr_t>(element));
    EXPECT_DEATH(IOHIDDevice_GetQueue(device), "IOHIDQueueGetTypeID\\(\\) == CFGetTypeID\\(result\\)");
}

class CalibrationTest : public HidBusTest {
protected:
    // One axis of the given logical and physical range at the given value, on a device of its own.
    IOHIDElementRef axis(int64_t logicalMin, int64_t logicalMax, int64_t physicalMin, int64_t physicalMax,
                         int64_t value = 0) {
        auto element = ElementInfo::axis(1, 0x30, logicalMin, logicalMax, physicalMin, physicalMax);
        element.initialValue = value;
        auto info = hidDevice(1, 2, 0x1000 + ++m_count);
        info.elements = {element};
        m_last = plug(info);
        return elementsOf(m_last->ref()).at(0);
    }
    static long long storedOn(IOHIDElementRef element, CFStringRef key) {
        return stored(IOHIDElementGetProperty(element, key));
    }

    std::shared_ptr<VirtualDevice> m_last;

private:
    int m_count = 0;
};

// The defaults themselves show in the calibration dump.
TEST_F(CalibrationTest, MissingValuesAreFilledInOnceAndValuesThatAreNoNumbersReplaced) {
    IOHIDElementRef element = axis(-127, 127, -127, 127);
    EXPECT_EQ(IOHIDElement_GetCalibrationMin(element), 127);
    EXPECT_EQ(storedOn(element, CFSTR("CalibrationMin")), 127);
    IOHIDElement_SetLongProperty(element, CFSTR("Max"), 500);
    EXPECT_EQ(IOHIDElement_GetCalibrationMin(element), 127);

    IOHIDElementSetProperty(element, CFSTR("CalibrationMin"), CFSTR("3"));
    long untouched = 77;
    EXPECT_FALSE(IOHIDElement_GetLongProperty(element, CFSTR("CalibrationMin"), &untouched));
    EXPECT_FALSE(IOHIDElement_GetLongProperty(element, CFSTR("Missing"), &untouched));
    EXPECT_EQ(untouched, 77);
    EXPECT_EQ(IOHIDElement_GetCalibrationMin(element), 500);
    EXPECT_EQ(storedOn(element, CFSTR("CalibrationMin")), 500);
}

TEST_F(CalibrationTest, AnElementWithoutRangeOrDeviceFallsBackToTheConstants) {
    CFMutableDictionaryRef none =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    IOHIDElementRef element = IOHIDElementCreateWithDictionary(kCFAllocatorDefault, none);
    CFRelease(none);
    EXPECT_EQ(IOHIDElement_GetCalibrationMin(element), 2147483647);
    EXPECT_EQ(IOHIDElement_GetCalibrationGranularity(element), -2147483647.0);
    EXPECT_EQ(IOHIDElement_GetValue(element, kIOHIDValueScaleTypePhysical), 0.0);
    IOHIDElement_SetupCalibration(element);
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMin(element), 0);
    CFRelease(element);
}

TEST_F(CalibrationTest, SettersKeepTheSignAndThe32LowBits) {
    IOHIDElementRef element = axis(0, 255, 0, 255);
    const struct {
        void (*set)(IOHIDElementRef, long);
        long (*get)(IOHIDElementRef);
        long in, out;
    } cases[] = {
        {IOHIDElement_SetCalibrationDeadZoneMin, IOHIDElement_GetCalibrationDeadZoneMin, -5, -5},
        {IOHIDElement_SetCalibrationDeadZoneMax, IOHIDElement_GetCalibrationDeadZoneMax, 6, 6},
        {IOHIDElement_SetCalibrationMin, IOHIDElement_GetCalibrationMin, -2147483647 - 1, -2147483647 - 1},
        {IOHIDElement_SetCalibrationMax, IOHIDElement_GetCalibrationMax, 0x180000001L, -2147483647},
        {IOHIDElement_SetCalibrationSaturationMin, IOHIDElement_GetCalibrationSaturationMin, 4294967295L, -1},
        {IOHIDElement_SetCalibrationSaturationMax, IOHIDElement_GetCalibrationSaturationMax, 200, 200},
    };
    for (const auto& c : cases) {
        c.set(element, c.in);
        EXPECT_EQ(c.get(element), c.out) << c.in;
    }
    // The granularity is kept as a whole number, cut toward zero.
    IOHIDElement_SetCalibrationGranularity(element, 2.9);
    EXPECT_EQ(storedOn(element, CFSTR("CalibrationGranularity")), 2);
    IOHIDElement_SetCalibrationGranularity(element, -2.9);
    EXPECT_EQ(IOHIDElement_GetCalibrationGranularity(element), -2.0);
    // Values no integer can hold are pinned, not converted into undefined behaviour.
    IOHIDElement_SetCalibrationGranularity(element, 1e300);
    IOHIDElement_SetCalibrationGranularity(element, std::nan(""));
    EXPECT_EQ(IOHIDElement_GetCalibrationGranularity(element), 0.0);
}

TEST_F(CalibrationTest, SetupTakesTheLogicalRangeAndThePhysicalValueTruncated) {
    EXPECT_EQ(IOHIDElement_GetValue(axis(0, 1000, 0, 100, 999), kIOHIDValueScaleTypeCalibrated), 99.0);
    IOHIDElementRef element = axis(-1000, 1000, -100, 100, -427);
    IOHIDElement_SetCalibrationDeadZoneMin(element, -9);
    IOHIDElement_SetCalibrationDeadZoneMax(element, 9);
    IOHIDElement_SetCalibrationGranularity(element, 4);
    IOHIDElement_SetupCalibration(element);
    EXPECT_EQ(IOHIDElement_GetCalibrationMin(element), -1000);
    EXPECT_EQ(IOHIDElement_GetCalibrationMax(element), 1000);
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMin(element), -42);
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMax(element), -42);
    EXPECT_EQ(IOHIDElement_GetCalibrationDeadZoneMin(element), 0);
    EXPECT_EQ(IOHIDElement_GetCalibrationDeadZoneMax(element), 0);
    EXPECT_EQ(IOHIDElement_GetCalibrationGranularity(element), 0.0);

    // An element whose device left reads zero.
    CFRetain(element);
    m_last->detach();
    EXPECT_EQ(IOHIDElement_GetValue(element, kIOHIDValueScaleTypePhysical), 0.0);
    IOHIDElement_SetupCalibration(element);
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMax(element), 0);
    EXPECT_EQ(IOHIDElement_GetCalibrationMax(element), 1000);
    CFRelease(element);
}

TEST_F(PropertiesTest, ServicesAreFoundByLocationAndFreedOnce) {
    EXPECT_EQ(AllocateHIDObjectFromIOHIDDeviceRef(nullptr), 0u);
    EXPECT_EQ(AllocateHIDObjectFromIOHIDDeviceRef(plug(hidDevice(1, 1, std::nullopt))->ref()), 0u);
    IOHIDDeviceRef first = plug(hidDevice(1, 1, 0x14100000))->ref();
    io_service_t a = AllocateHIDObjectFromIOHIDDeviceRef(first);
    io_service_t b = AllocateHIDObjectFromIOHIDDeviceRef(plug(hidDevice(1, 1, 0x14200000))->ref());
    io_service_t again = AllocateHIDObjectFromIOHIDDeviceRef(first);
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_NE(a, b);
    EXPECT_TRUE(FreeHIDObject(a));
    EXPECT_TRUE(FreeHIDObject(b));
    EXPECT_TRUE(FreeHIDObject(again));
    EXPECT_FALSE(FreeHIDObject(b));
    EXPECT_FALSE(FreeHIDObject(0));

    // A location no attached service carries finds nothing.
    auto gone = plug(hidDevice(1, 1, 0x300));
    IOHIDDeviceRef held = gone->ref();
    CFRetain(held);
    gone->detach();
    EXPECT_EQ(AllocateHIDObjectFromIOHIDDeviceRef(held), 0u);
    CFRelease(held);
}

std::string formattedNum(const char* message, int32_t number) {
    char text[256];
    hu_FormatErrorNum(text, sizeof text, message, number);
    return text;
}

TEST(ErrorReportTest, NumbersAreShownSignedAndInHexadecimalAndLongTextsCutAtTheBuffer) {
    EXPECT_EQ(formattedNum("HIDQueueDevice", static_cast<int32_t>(0xE00002BC)),
              "HIDQueueDevice #-536870212 (0xe00002bc)");
    EXPECT_EQ(formattedNum(nullptr, 42), " #42 (0x2a)");
    char text[300];
    hu_FormatError(text, sizeof text, "plain %s text");
    EXPECT_STREQ(text, "plain %s text");

    const std::string message(400, 'x');
    std::memset(text, '#', sizeof text);
    hu_FormatErrorNum(text, 256, message.c_str(), -1);
    EXPECT_EQ(std::string(text), std::string(255, 'x'));
    EXPECT_EQ(text[256], '#');
    hu_FormatError(text, 0, "nothing fits");
    EXPECT_EQ(text[0], 'x');
    // The reporters format into their own buffer; a message longer than it must not overrun it.
    HIDReportError(message.c_str());
    HIDReportErrorNum(message.c_str(), static_cast<int32_t>(0xE00002C2));
    HIDReportErrorNum(nullptr, 0);
}

}  // namespace
