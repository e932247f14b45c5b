// Device text, number and reference properties.
#include <gtest/gtest.h>

#include <cstdint>

#include "HidUtilFixture.h"

using namespace hidutiltest;

namespace {

class DevicePropertiesTest : public LibraryTest {};

TEST_F(DevicePropertiesTest, OnlyHidDevicesAreValid) {
    IOHIDDeviceRef device = plug(plainDevice(1, 2, 3))->ref();
    auto withElement = plainDevice(1, 2, 4);
    withElement.elements = {ElementInfo::button(9, 1)};
    IOHIDElementRef element = elementsOf(plug(withElement)->ref()).at(0);
    Text text("device");

    EXPECT_TRUE(HIDIsValidDevice(device));
    EXPECT_FALSE(HIDIsValidDevice(nullptr));
    EXPECT_FALSE(HIDIsValidDevice(reinterpret_cast<IOHIDDeviceRef>(element)));
    EXPECT_FALSE(HIDIsValidDevice(reinterpret_cast<IOHIDDeviceRef>(const_cast<__CFString*>(text.ref))));
}

TEST_F(DevicePropertiesTest, TextPropertiesAreTheDevicesOwnObjects) {
    auto info = plainDevice(1, 2, 3);
    info.manufacturer = "Acme";
    info.product = "Pad";
    info.serialNumber = "SN-7";
    info.transport = "USB";
    IOHIDDeviceRef device = plug(info)->ref();

    EXPECT_EQ(utf8(IOHIDDevice_GetManufacturer(device)), "Acme");
    EXPECT_EQ(utf8(IOHIDDevice_GetProduct(device)), "Pad");
    EXPECT_EQ(utf8(IOHIDDevice_GetSerialNumber(device)), "SN-7");
    EXPECT_EQ(utf8(IOHIDDevice_GetTransport(device)), "USB");
    // Not a copy: the same object the device hands out.
    EXPECT_EQ(static_cast<CFTypeRef>(IOHIDDevice_GetProduct(device)),
              IOHIDDeviceGetProperty(device, CFSTR(kIOHIDProductKey)));
    EXPECT_EQ(IOHIDDevice_GetUsagePairs(device), IOHIDDeviceGetProperty(device, CFSTR(kIOHIDDeviceUsagePairsKey)));
    EXPECT_EQ(IOHIDDevice_GetManufacturer(nullptr), nullptr);
    EXPECT_EQ(IOHIDDevice_GetUsagePairs(nullptr), nullptr);
}

TEST_F(DevicePropertiesTest, NumbersReadAs32BitsAndMissingOnesAsZero) {
    auto info = plainDevice(-1, 2, 3);
    info.primaryUsagePage = 0;
    info.primaryUsage = -1;
    info.maxOutputReportSize = 64;
    info.extra["DeviceUsagePage"] = int64_t{0xFF00};
    info.extra["DeviceUsage"] = int64_t{1};
    info.extra["VendorIDSource"] = int64_t{2};
    info.extra["CountryCode"] = int64_t{33};
    info.extra["ReportInterval"] = int64_t{8000};
    info.extra["MaxFeatureReportSize"] = std::string("8");  // a text is not a number
    IOHIDDeviceRef device = plug(info)->ref();

    EXPECT_EQ(IOHIDDevice_GetUsagePage(device), 65280u);
    EXPECT_EQ(IOHIDDevice_GetUsage(device), 1u);
    EXPECT_EQ(IOHIDDevice_GetPrimaryUsage(device), 0xFFFFFFFFu);
    EXPECT_EQ(IOHIDDevice_GetPrimaryUsagePage(device), 0u);
    EXPECT_EQ(IOHIDDevice_GetVendorID(device), 4294967295L);
    EXPECT_EQ(IOHIDDevice_GetVendorIDSource(device), 2);
    EXPECT_EQ(IOHIDDevice_GetCountryCode(device), 33);
    EXPECT_EQ(IOHIDDevice_GetReportInterval(device), 8000);
    EXPECT_EQ(IOHIDDevice_GetMaxOutputReportSize(device), 64);
    EXPECT_EQ(IOHIDDevice_GetMaxFeatureReportSize(device), 0);

    EXPECT_EQ(IOHIDDevice_GetUsagePage(nullptr), 0u);
    EXPECT_EQ(IOHIDDevice_GetPrimaryUsage(nullptr), 0u);
    EXPECT_EQ(IOHIDDevice_GetCountryCode(nullptr), 0);
    EXPECT_EQ(IOHIDDevice_GetMaxInputReportSize(nullptr), 0);
    EXPECT_EQ(IOHIDDevice_GetQueue(nullptr), nullptr);
    EXPECT_EQ(IOHIDDevice_GetTransaction(nullptr), nullptr);
}

TEST_F(DevicePropertiesTest, AttachedReferencesComeBackWhole) {
    IOHIDDeviceRef device = plug(plainDevice(1, 2, 3))->ref();
    EXPECT_EQ(IOHIDDevice_GetQueue(device), nullptr);
    EXPECT_EQ(IOHIDDevice_GetTransaction(device), nullptr);

    IOHIDQueueRef queue = IOHIDQueueCreate(kCFAllocatorDefault, device, 8, 0);
    ASSERT_NE(queue, nullptr);
    IOHIDDevice_SetQueue(device, queue);
    EXPECT_EQ(IOHIDDevice_GetQueue(device), queue);

    // Every bit of the reference survives, the upper half included.
    auto far = reinterpret_cast<IOHIDTransactionRef>(static_cast<uintptr_t>(0xFFFF8000DEADBEE8ull));
    IOHIDDevice_SetTransaction(device, far);
    EXPECT_EQ(IOHIDDevice_GetTransaction(device), far);
    IOHIDDevice_SetTransaction(device, nullptr);
    EXPECT_EQ(IOHIDDevice_GetTransaction(device), nullptr);

    IOHIDDevice_SetQueue(device, nullptr);
    EXPECT_EQ(IOHIDDevice_GetQueue(device), nullptr);
    CFRelease(queue);

    // A null device is ignored rather than written through.
    IOHIDDevice_SetLongProperty(nullptr, CFSTR("DeviceQueueRef"), 5);
}

TEST_F(DevicePropertiesTest, SetLongPropertyStoresTheWholeValue) {
    IOHIDDeviceRef device = plug(plainDevice(1, 2, 3))->ref();
    IOHIDDevice_SetLongProperty(device, CFSTR("Answer"), 0x123456789A);
    long long stored = 0;
    ASSERT_TRUE(storedNumber(IOHIDDeviceGetProperty(device, CFSTR("Answer")), &stored));
    EXPECT_EQ(stored, 0x123456789ALL);
    IOHIDDevice_SetLongProperty(device, CFSTR("Answer"), -7);
    long value = 0;
    EXPECT_TRUE(IOHIDDevice_GetLongProperty(device, CFSTR("Answer"), &value));
    EXPECT_EQ(value, 4294967289L);
}

using DevicePropertiesDeathTest = DevicePropertiesTest;

TEST_F(DevicePropertiesDeathTest, OtherObjectsStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto info = plainDevice(1, 2, 3);
    info.elements = {ElementInfo::button(9, 1)};
    IOHIDDeviceRef device = plug(info)->ref();
    IOHIDElementRef element = elementsOf(device).at(0);

    EXPECT_DEATH(IOHIDDevice_GetProduct(reinterpret_cast<IOHIDDeviceRef>(element)),
                 "IOHIDDeviceGetTypeID\\(\\) == CFGetTypeID\\(inIOHIDDeviceRef\\)");
    EXPECT_DEATH(IOHIDDevice_GetVendorID(reinterpret_cast<IOHIDDeviceRef>(element)),
                 "IOHIDDeviceGetTypeID\\(\\) == CFGetTypeID\\(inIOHIDDeviceRef\\)");
    // A stored reference that is no queue is a programming error, not a queue to use.
    IOHIDDevice_SetLongProperty(device, CFSTR("DeviceQueueRef"), reinterpret_cast<intptr_t>(element));
    EXPECT_DEATH(IOHIDDevice_GetQueue(device), "IOHIDQueueGetTypeID\\(\\) == CFGetTypeID\\(result\\)");
}

}  // namespace
