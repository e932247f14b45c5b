// Device and element properties, calibrations, element selection, service objects behind devices,
// error reports, and the diagnostic dumps compared byte for byte.
#include "ElementBus.h"

using namespace hidconfig;

namespace {

constexpr UInt32 kIn = 2, kOut = 4, kFeat = 8, kColl = 16, kAll = 0xFFFFFFFF;

using HidUtilTest = PadTest;

TEST_F(HidUtilTest, MasksSelectTypeGroupsInTheDeviceOrderAndListsAreCountedAsMatched) {
    const auto e = elementsOf(m_device);
    // From an element (-1: the first) to the next the mask selects (-1: none); the start need not be selected.
    // clang-format off
    const std::pair<UInt32, UInt32> counts[] = {{kIn, 5}, {kOut, 1}, {kFeat, 1}, {kColl, 2}, {kAll, 9}, {1, 0},
                                                {0xFFFFFFE1, 0}};
    const long steps[][3] = {{-1, kIn, 1}, {1, kIn, 2}, {3, kIn, 6}, {7, kIn, -1}, {7, kAll, 9}, {-1, kColl, 0},
                             {0, kColl, 9}, {4, kIn, 6}, {0, kOut, 4}, {5, kOut, -1}, {-1, kFeat, 5}};
    // clang-format on
    for (const auto& [mask, count] : counts) EXPECT_EQ(HIDCountDeviceElements(m_device, mask), count) << mask;
    for (const auto& [from, mask, to] : steps)
        EXPECT_EQ(from < 0 ? HIDGetFirstDeviceElement(m_device, mask) : HIDGetNextDeviceElement(e[from], mask),
                  to < 0 ? nullptr : e[to])
            << from << " " << mask;
    // Nulls give nothing and leave the element slot alone.
    CFArrayRef held = gElementCFArrayRef = CFArrayCreate(nullptr, nullptr, 0, &kCFTypeArrayCallBacks);
    EXPECT_FALSE(HIDGetFirstDeviceElement(nullptr, kIn) || HIDCountDeviceElements(nullptr, kIn) ||
                 HIDGetNextDeviceElement(nullptr, kIn) || gElementCFArrayRef != held);
    CFRelease(held), gElementCFArrayRef = nullptr;

    // The pad's usage is 1:5; the other device, 1:6, has no elements; the third is gone before the list is made.
    IOHIDDeviceRef bare = plug(hidDevice(1, 2, 0x200, 1, 6))->ref();
    plug(hidDevice(1, 3, 0x300))->detach();
    const UInt32 pages[] = {1, 1}, usages[] = {5, 6};
    EXPECT_TRUE(!HIDHaveDeviceList() && HIDUpdateDeviceList(pages, usages, 1) && HIDCountDevices() == 1);
    EXPECT_TRUE(HIDUpdateDeviceList(pages, usages, 2) && HIDCountDevices() == 2 && HIDHaveDeviceList());
    HIDReleaseDeviceList();
    EXPECT_FALSE(HIDHaveDeviceList() || HIDCountDevices() || HIDCountDeviceElements(bare, kAll) ||
                 HIDGetFirstDeviceElement(bare, kAll));
}

TEST_F(HidUtilTest, EachElementKindIsDumpedInItsForm) {
    const auto e = elementsOf(m_device);
    const std::string report = "report: { ID: 0, Size: 1, Count: 1 }, ";
    const std::string bit = report + "logical: {min: 0, max: 1}, physical: {min: 0, max: 1}, hasPreferredState,  }\n";
    const std::string copy = ", usage: 0x0009:0x0001, name: Trigger, " + bit;
    const std::string rows[] = {
        // what follows the cookie
        "type: Report Collection, usage: 0x0001:0x0005, \"Generic Desktop Game Pad\", report: { ID: 0, Size: 0, "
        "Count: 0 },  }\n",
        "type: Button" + copy,
        "type: Button, usage: 0x0009:0x0002, " + bit,
        "type: Axis, usage: 0x0001:0x0030, \"Generic Desktop X\", report: { ID: 2, Size: 8, Count: 1 }, unit: 18 * "
        "10^14, logical: {min: 0, max: 255}, physical: {min: 0, max: 255}, isRelative, isWrapping, hasNullState,  }\n",
        "type: Output, usage: 0x0008:0x0001, name: " + std::string(255, 'o') + ", " + report + " }\n",
        "type: Feature, usage: 0xFF00:0x0001, report: { ID: 0, Size: 8, Count: 4 }, isVirtual, isArray, isNonLinear, "
        " }\n",
        "type: Misc" + copy,
        "type: ScanCodes" + copy,
        "type: 0x82" + copy,
        "type: 0x7 Collection, usage: 0xFF00:0x12345, report: { ID: 0, Size: 0, Count: 0 },  }\n"};
    for (size_t i = 0; i < e.size(); ++i)
        EXPECT_EQ(dump(HIDDumpElementInfo, e[i]), "    Element: @ = { parent: " + pointer(i && i < 4 ? e[0] : nullptr) +
                                                      ", cookie: " + std::to_string(i + 1) + ", " + rows[i])
            << i;
    EXPECT_EQ(dump(HIDDumpElementInfo, IOHIDElementRef{}), "");
}

// A plain usage pair with a 0 in it gives way to the primary pair; texts that do not fit 256
// bytes and properties of the wrong kind are left out.
TEST_F(HidBusTest, DeviceDumpWritesEveryPresentItemInOrder) {
    auto info = hidDevice(-1, 0x0304, 0x14100000);
    info.manufacturer = "Acme", info.product = "Pad", info.serialNumber = "SN-\xC3\xA9", info.versionNumber = 0x0123;
    info.maxOutputReportSize = 64;
    // clang-format off
    info.extra = {{"DeviceUsagePage", int64_t{1}}, {"DeviceUsage", int64_t{5}}, {"VendorIDSource", int64_t{1}},
                  {"CountryCode", int64_t{33}}, {"MaxFeatureReportSize", int64_t{8}}, {"ReportInterval", int64_t{8000}}};
    // clang-format on
    IOHIDDeviceRef device = plug(info)->ref();
    IOHIDQueueRef queue = IOHIDQueueCreate(kCFAllocatorDefault, device, 4, 0);
    IOHIDDevice_SetQueue(device, queue);
    // References are kept whole, the upper half included.
    IOHIDDevice_SetTransaction(device, reinterpret_cast<IOHIDTransactionRef>(uintptr_t{0xFFFF8000DEADBEE8}));
    EXPECT_EQ(
        dump(HIDDumpDeviceInfo, device),
        "Device: @ = { Acme - Pad, \tvendorID:\t0xFFFFFFFF, \tproductID:\t0x0304, usage: 0x0001:0x0005, "
        "\"Generic Desktop Game Pad\", Transport: \"USB\", VendorIDSource: 1, version: 291, SerialNumber: "
        "\"SN-\xC3\xA9\", CountryCode: 33, locationID: 0x14100000, MaxInputReportSize: 1024, MaxOutputReportSize: "
        "64, MaxFeatureReportSize: 8, ReportInterval: 8000, queue: " +
            pointer(queue) + ", transaction: 0xffff8000deadbee8, }\n");
    IOHIDDevice_SetQueue(device, nullptr), CFRelease(queue);

    info = hidDevice(0, 0, std::nullopt, 0xFF00, 1);
    info.product = std::string(255, 'p'), info.transport = std::string(256, 't'), info.maxInputReportSize = 0;
    // clang-format off
    info.extra = {{"DeviceUsagePage", int64_t{1}}, {"Manufacturer", int64_t{7}}, {"SerialNumber", int64_t{9}},
                  {"MaxFeatureReportSize", std::string("8")}};
    // clang-format on
    EXPECT_EQ(dump(HIDDumpDeviceInfo, plug(info)->ref()),
              "Device: @ = {  - " + std::string(255, 'p') + ", usage: 0xFF00:0x0001, MaxOutputReportSize: 1024, }\n");
    EXPECT_EQ(dump(HIDDumpDeviceInfo, IOHIDDeviceRef{}), "");
}

// Objects of another kind are programming errors that stop the process.
TEST_F(HidUtilTest, PropertiesOfOtherKindsOrAbsentOnesAreNotRead) {
    IOHIDElementRef button = element(kButton1);
    const auto buttonAsDevice = reinterpret_cast<IOHIDDeviceRef>(button);
    const auto deviceAsElement = reinterpret_cast<IOHIDElementRef>(m_device);
    EXPECT_TRUE(HIDIsValidDevice(m_device) && HIDIsValidElement(button));
    EXPECT_FALSE(HIDIsValidDevice(nullptr) || HIDIsValidDevice(buttonAsDevice) || HIDIsValidElement(nullptr) ||
                 HIDIsValidElement(deviceAsElement) || IOHIDDevice_GetUsagePairs(nullptr) ||
                 IOHIDDevice_GetVendorID(nullptr));
    EXPECT_EQ(IOHIDDevice_GetUsagePairs(m_device), IOHIDDeviceGetProperty(m_device, CFSTR(kIOHIDDeviceUsagePairsKey)));
    IOHIDDevice_SetLongProperty(nullptr, CFSTR("Text"), 5);  // ignored, not written through
    IOHIDDeviceSetProperty(m_device, CFSTR("Text"), CFSTR("8"));
    IOHIDDevice_SetLongProperty(m_device, CFSTR("Huge"), 0x100000000);
    long value = 77;
    EXPECT_FALSE(IOHIDDevice_GetLongProperty(nullptr, CFSTR("VendorID"), &value) ||
                 IOHIDDevice_GetLongProperty(m_device, CFSTR("Missing"), &value) ||
                 IOHIDDevice_GetLongProperty(m_device, CFSTR("Text"), &value) ||
                 IOHIDElement_GetLongProperty(button, CFSTR("Missing"), &value) || value != 77 ||
                 IOHIDDevice_GetLongProperty(m_device, CFSTR("Huge"), &value));

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char kNotADevice[] = "failed: IOHIDDeviceGetTypeID", kNotAnElement[] = "failed: IOHIDElementGetTypeID";
    EXPECT_DEATH(IOHIDDevice_GetProduct(buttonAsDevice), kNotADevice);
    EXPECT_DEATH(IOHIDDevice_GetVendorID(buttonAsDevice), kNotADevice);
    EXPECT_DEATH(HIDCountDeviceElements(buttonAsDevice, kIn), kNotADevice);
    EXPECT_DEATH(HIDGetFirstDeviceElement(buttonAsDevice, kIn), kNotADevice);
    EXPECT_DEATH(HIDGetNextDeviceElement(deviceAsElement, kIn), kNotAnElement);
    EXPECT_DEATH(HIDQueueElement(m_device, deviceAsElement), kNotAnElement);
    EXPECT_DEATH(HIDDequeueElement(m_device, deviceAsElement), kNotAnElement);
    IOHIDDevice_SetLongProperty(m_device, CFSTR("DeviceQueueRef"), reinterpret_cast<intptr_t>(button));
    EXPECT_DEATH(IOHIDDevice_GetQueue(m_device), "failed: IOHIDQueueGetTypeID");
}

TEST_F(HidBusTest, CalibrationsAreFilledInOnceAndSetUpFromTheLogicalRangeAndThePhysicalValue) {
    auto info = ElementInfo::axis(1, 0x30, -127, 127, -100, 100);
    info.initialValue = -54;  // physically -42.52
    IOHIDElementRef axis = elementsOf(plug(padInfo(1, 2, 3, {info}))->ref()).at(0);
    const std::string defaults =
        "cal: {min: 127, max: -127}, sat: {min: -127, max: -127}, dead: {min: -127, max: -127}, granularity: -127.00 "
        "}\n";
    EXPECT_EQ(calibration(axis), defaults);
    IOHIDElement_SetLongProperty(axis, CFSTR("Max"), 500);
    EXPECT_EQ(calibration(axis), defaults);
    IOHIDElementSetProperty(axis, CFSTR("CalibrationMin"), CFSTR("3"));  // no number: filled in afresh
    EXPECT_EQ(IOHIDElement_GetCalibrationMin(axis), 500);

    // Setters keep the sign and the low 32 bits; the granularity is cut toward zero.
    IOHIDElement_SetCalibrationMin(axis, -2147483647L - 1), IOHIDElement_SetCalibrationMax(axis, 0x180000001L);
    IOHIDElement_SetCalibrationSaturationMin(axis, 4294967295L), IOHIDElement_SetCalibrationSaturationMax(axis, 200);
    IOHIDElement_SetCalibrationDeadZoneMin(axis, -5), IOHIDElement_SetCalibrationDeadZoneMax(axis, 6);
    IOHIDElement_SetCalibrationGranularity(axis, -2.9);
    EXPECT_EQ(calibration(axis),
              "cal: {min: -2147483648, max: -2147483647}, sat: {min: -1, max: 200}, dead: {min: "
              "-5, max: 6}, granularity:  -2.00 }\n");
    // Values no integer can hold are pinned, not converted into undefined behaviour.
    IOHIDElement_SetCalibrationGranularity(axis, 1e300), IOHIDElement_SetCalibrationGranularity(axis, std::nan(""));
    EXPECT_EQ(IOHIDElement_GetCalibrationGranularity(axis), 0.0);

    EXPECT_EQ(IOHIDElement_GetValue(axis, kIOHIDValueScaleTypePhysical), -42.0);
    IOHIDElement_SetupCalibration(axis);
    EXPECT_EQ(calibration(axis),
              "cal: {min: -127, max: 127}, sat: {min: -42, max: -42}, dead: {min: 0, max: 0}, granularity:   0.00 }\n");
    EXPECT_EQ(dump(HIDDumpElementCalibrationInfo, IOHIDElementRef{}), "");

    // Without a range the constants stand in; without a device the value reads 0.
    auto none = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    IOHIDElementRef bare = IOHIDElementCreateWithDictionary(kCFAllocatorDefault, none);
    EXPECT_EQ(calibration(bare),
              "cal: {min: 2147483647, max: -2147483647}, sat: {min: -2147483647, max: -2147483647}, "
              "dead: {min: -2147483647, max: -2147483647}, granularity: -2147483647.00 }\n");
    IOHIDElement_SetupCalibration(bare);
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMax(bare), 0);
    CFRelease(bare), CFRelease(none);
}

// A location no attached service carries finds nothing.
TEST_F(HidBusTest, ServicesAreFoundByLocationAndFreedOnce) {
    auto gone = plug(hidDevice(1, 1, 0x300));
    IOHIDDeviceRef first = plug(hidDevice(1, 1, 0x14100000))->ref(), held = gone->ref();
    CFRetain(held), gone->detach();
    EXPECT_FALSE(AllocateHIDObjectFromIOHIDDeviceRef(nullptr) || AllocateHIDObjectFromIOHIDDeviceRef(held) ||
                 AllocateHIDObjectFromIOHIDDeviceRef(plug(hidDevice(1, 1, std::nullopt))->ref()));
    io_service_t a = AllocateHIDObjectFromIOHIDDeviceRef(first), again = AllocateHIDObjectFromIOHIDDeviceRef(first);
    io_service_t b = AllocateHIDObjectFromIOHIDDeviceRef(plug(hidDevice(1, 1, 0x14200000))->ref());
    EXPECT_TRUE(a && b && a != b && FreeHIDObject(a) && FreeHIDObject(b) && FreeHIDObject(again));
    EXPECT_FALSE(FreeHIDObject(b) || FreeHIDObject(0));
    CFRelease(held);
}

// The reporters format into a buffer of their own; a message longer than it must not overrun it.
TEST(ErrorReportTest, NumbersAreShownSignedAndInHexadecimalAndLongTextsCutAtTheBuffer) {
    char text[300];
    hu_FormatErrorNum(text, 256, "HIDQueueDevice", static_cast<int32_t>(0xE00002BC));
    EXPECT_STREQ(text, "HIDQueueDevice #-536870212 (0xe00002bc)");
    hu_FormatError(text, sizeof text, "plain %s text");
    EXPECT_STREQ(text, "plain %s text");
    const std::string message(400, 'x');
    hu_FormatErrorNum(text, 256, message.c_str(), -1), hu_FormatError(text, 0, "nothing fits");
    EXPECT_EQ(std::string(text), std::string(255, 'x'));
    HIDReportError(message.c_str()), HIDReportErrorNum(message.c_str(), -1), HIDReportErrorNum(nullptr, 0);
}

}  // namespace
