// Device counts, element selection by type and the diagnostic dumps.
#include <gtest/gtest.h>

#include <string>

#include "HidUtilFixture.h"

using namespace hidutiltest;

namespace {

constexpr UInt32 kInput = 2, kOutput = 4, kFeature = 8, kCollection = 16;

class ElementIterationTest : public LibraryTest {
protected:
    // application { button, physical { axis }, button, output }
    void SetUp() override {
        LibraryTest::SetUp();
        auto info = plainDevice(0x05AC, 0x0304, 0x14100000);
        auto physical = ElementInfo::collection(kIOHIDElementCollectionTypePhysical, 1, 1,
                                                {ElementInfo::axis(1, 0x30, 0, 255, 0, 255)});
        info.elements = {ElementInfo::collection(
            kIOHIDElementCollectionTypeApplication, 1, 5,
            {ElementInfo::button(9, 1), physical, ElementInfo::button(9, 2), ElementInfo::output(8, 1, 1, 1)})};
        m_device = plug(info);
        device = m_device->ref();
        elements = elementsOf(device);
        ASSERT_EQ(elements.size(), 6u);
        application = elements[0];
        button1 = elements[1];
        physicalCollection = elements[2];
        axisElement = elements[3];
        button2 = elements[4];
        outputElement = elements[5];
        ASSERT_EQ(IOHIDElementGetType(axisElement), kIOHIDElementTypeInput_Misc);
        ASSERT_EQ(IOHIDElementGetType(outputElement), kIOHIDElementTypeOutput);
    }

    std::shared_ptr<VirtualDevice> m_device;
    IOHIDDeviceRef device = nullptr;
    std::vector<IOHIDElementRef> elements;
    IOHIDElementRef application = nullptr, button1 = nullptr, physicalCollection = nullptr, axisElement = nullptr,
                    button2 = nullptr, outputElement = nullptr;
};

TEST_F(ElementIterationTest, MasksSelectTypeGroups) {
    EXPECT_EQ(HIDCountDeviceElements(device, kInput), 3u);
    EXPECT_EQ(HIDCountDeviceElements(device, kOutput), 1u);
    EXPECT_EQ(HIDCountDeviceElements(device, kFeature), 0u);
    EXPECT_EQ(HIDCountDeviceElements(device, kInput | kOutput | kFeature), 4u);
    EXPECT_EQ(HIDCountDeviceElements(device, kCollection), 2u);
    EXPECT_EQ(HIDCountDeviceElements(device, 0xFFFFFFFF), 6u);
    // Bits outside the four groups select nothing.
    EXPECT_EQ(HIDCountDeviceElements(device, 1), 0u);
    EXPECT_EQ(HIDCountDeviceElements(device, 0xFFFFFFE1), 0u);
    EXPECT_EQ(HIDCountDeviceElements(nullptr, 0xFFFFFFFF), 0u);
    EXPECT_EQ(gElementCFArrayRef, nullptr);
}

TEST_F(ElementIterationTest, IterationFollowsTheDeviceOrder) {
    EXPECT_EQ(HIDGetFirstDeviceElement(device, kInput), button1);
    EXPECT_EQ(HIDGetNextDeviceElement(button1, kInput), axisElement);
    EXPECT_EQ(HIDGetNextDeviceElement(axisElement, kInput), button2);
    EXPECT_EQ(HIDGetNextDeviceElement(button2, kInput), nullptr);

    EXPECT_EQ(HIDGetFirstDeviceElement(device, kCollection), application);
    EXPECT_EQ(HIDGetNextDeviceElement(application, kCollection), physicalCollection);
    EXPECT_EQ(HIDGetNextDeviceElement(physicalCollection, kCollection), nullptr);

    // The start need not be selected itself; only what follows it counts.
    EXPECT_EQ(HIDGetNextDeviceElement(physicalCollection, kInput), axisElement);
    EXPECT_EQ(HIDGetNextDeviceElement(application, kOutput), outputElement);
    EXPECT_EQ(HIDGetNextDeviceElement(outputElement, 0xFFFFFFFF), nullptr);
    EXPECT_EQ(HIDGetFirstDeviceElement(device, kFeature), nullptr);
    EXPECT_EQ(HIDGetNextDeviceElement(nullptr, kInput), nullptr);
    EXPECT_EQ(gElementCFArrayRef, nullptr);
}

TEST_F(ElementIterationTest, ElementsOfADeviceThatLeftHaveNoNext) {
    CFRetain(button1);
    m_device->detach();
    EXPECT_EQ(HIDGetNextDeviceElement(button1, kInput), nullptr);
    EXPECT_EQ(gElementCFArrayRef, nullptr);
    CFRelease(button1);
}

TEST_F(ElementIterationTest, ANullDeviceLeavesTheSlotAlone) {
    CFArrayRef held = CFArrayCreate(kCFAllocatorDefault, nullptr, 0, &kCFTypeArrayCallBacks);
    gElementCFArrayRef = held;
    EXPECT_EQ(HIDGetFirstDeviceElement(nullptr, kInput), nullptr);
    EXPECT_EQ(HIDCountDeviceElements(nullptr, kInput), 0u);
    EXPECT_EQ(gElementCFArrayRef, held);
    gElementCFArrayRef = nullptr;
    CFRelease(held);
}

using ElementIterationDeathTest = ElementIterationTest;

TEST_F(ElementIterationDeathTest, OtherObjectsStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(HIDCountDeviceElements(reinterpret_cast<IOHIDDeviceRef>(button1), kInput),
                 "IOHIDDeviceGetTypeID\\(\\) == CFGetTypeID\\(inIOHIDDeviceRef\\)");
    EXPECT_DEATH(HIDGetFirstDeviceElement(reinterpret_cast<IOHIDDeviceRef>(button1), kInput),
                 "IOHIDDeviceGetTypeID\\(\\) == CFGetTypeID\\(inIOHIDDeviceRef\\)");
    EXPECT_DEATH(HIDGetNextDeviceElement(reinterpret_cast<IOHIDElementRef>(device), kInput),
                 "IOHIDElementGetTypeID\\(\\) == CFGetTypeID\\(inIOHIDElementRef\\)");
}

class DeviceCountTest : public LibraryTest {};

TEST_F(DeviceCountTest, CountsFollowTheListAndItsMatching) {
    EXPECT_FALSE(HIDHaveDeviceList());
    EXPECT_EQ(HIDCountDevices(), 0u);

    auto pad = plainDevice(1, 1, 0x100);
    auto keyboard = plainDevice(1, 2, 0x200);
    keyboard.primaryUsage = 6;
    auto bare = plainDevice(1, 3, 0x300);
    plug(pad);
    plug(keyboard);
    plug(bare)->detach();  // gone before the list is made

    const UInt32 pages[] = {1, 1};
    const UInt32 usages[] = {5, 6};
    EXPECT_TRUE(HIDUpdateDeviceList(pages, usages, 1));
    EXPECT_TRUE(HIDHaveDeviceList());
    EXPECT_EQ(HIDCountDevices(), 1u);
    EXPECT_TRUE(HIDUpdateDeviceList(pages, usages, 2));
    EXPECT_EQ(HIDCountDevices(), 2u);
    HIDReleaseDeviceList();
    EXPECT_FALSE(HIDHaveDeviceList());
    EXPECT_EQ(HIDCountDevices(), 0u);
}

TEST_F(DeviceCountTest, ADeviceWithoutElementsHasNone) {
    IOHIDDeviceRef device = plug(plainDevice(1, 1, 0x100))->ref();
    EXPECT_EQ(HIDCountDeviceElements(device, 0xFFFFFFFF), 0u);
    EXPECT_EQ(HIDGetFirstDeviceElement(device, 0xFFFFFFFF), nullptr);
}

// The dumps, compared byte for byte.
class DumpTest : public LibraryTest {};

TEST_F(DumpTest, DeviceDumpWritesEveryPresentItemInOrder) {
    auto info = plainDevice(0x05AC, 0x0304, 0x14100000);
    info.manufacturer = "Acme";
    info.product = "Pad";
    info.serialNumber = "SN-7";
    info.transport = "USB";
    info.versionNumber = 0x0123;
    info.maxOutputReportSize = 64;
    info.extra["DeviceUsagePage"] = int64_t{1};
    info.extra["DeviceUsage"] = int64_t{5};
    info.extra["VendorIDSource"] = int64_t{1};
    info.extra["CountryCode"] = int64_t{33};
    info.extra["ReportInterval"] = int64_t{8000};
    IOHIDDeviceRef device = plug(info)->ref();
    IOHIDQueueRef queue = IOHIDQueueCreate(kCFAllocatorDefault, device, 4, 0);
    ASSERT_NE(queue, nullptr);
    IOHIDDevice_SetQueue(device, queue);
    auto transaction = reinterpret_cast<IOHIDTransactionRef>(static_cast<uintptr_t>(0x5150));
    IOHIDDevice_SetTransaction(device, transaction);

    StdoutCapture out;
    HIDDumpDeviceInfo(device);
    EXPECT_EQ(out.text(), "Device: " + pointer(device) +
                              " = { Acme - Pad, \tvendorID:\t0x05AC, \tproductID:\t0x0304, usage: 0x0001:0x0005, "
                              "\"Generic Desktop Game Pad\", Transport: \"USB\", VendorIDSource: 1, version: 291, "
                              "SerialNumber: \"SN-7\", CountryCode: 33, locationID: 0x14100000, "
                              "MaxInputReportSize: 1024, MaxOutputReportSize: 64, ReportInterval: 8000, queue: " +
                              pointer(queue) + ", transaction: 0x5150, }\n");
    IOHIDDevice_SetQueue(device, nullptr);
    CFRelease(queue);
}

TEST_F(DumpTest, DeviceDumpLeavesOutWhatIsAbsent) {
    auto info = plainDevice(0, 0, std::nullopt);
    info.primaryUsagePage = 0xFF00;
    info.primaryUsage = 1;
    info.transport.clear();
    info.maxInputReportSize = 0;
    info.maxOutputReportSize = 64;
    info.extra["MaxFeatureReportSize"] = int64_t{8};
    // A plain usage pair with a 0 in it gives way to the primary pair.
    info.extra["DeviceUsagePage"] = int64_t{1};
    IOHIDDeviceRef device = plug(info)->ref();

    StdoutCapture out;
    HIDDumpDeviceInfo(device);
    HIDDumpDeviceInfo(nullptr);
    EXPECT_EQ(out.text(), "Device: " + pointer(device) +
                              " = {  - , usage: 0xFF00:0x0001, MaxOutputReportSize: 64, MaxFeatureReportSize: 8, }\n");
}

TEST_F(DumpTest, DeviceDumpLeavesOutTextsTooLongForItsBuffers) {
    auto info = plainDevice(0, 0, std::nullopt);
    info.primaryUsagePage = 0;
    info.primaryUsage = 0;
    info.manufacturer = std::string(255, 'm');  // fits with its zero
    info.product = std::string(256, 'p');       // does not
    info.transport = std::string(300, 't');
    info.serialNumber = "\xC3\xA9";
    info.maxInputReportSize = 0;
    info.maxOutputReportSize = 0;
    IOHIDDeviceRef device = plug(info)->ref();

    StdoutCapture out;
    HIDDumpDeviceInfo(device);
    EXPECT_EQ(out.text(), "Device: " + pointer(device) + " = { " + std::string(255, 'm') +
                              " - , usage: 0x0000:0x0000, SerialNumber: \"\xC3\xA9\", }\n");
}

TEST_F(DumpTest, DeviceDumpReadsOnlyTextsAsTexts) {
    auto info = plainDevice(0, 0, std::nullopt);
    info.primaryUsagePage = 0;
    info.primaryUsage = 0;
    info.transport.clear();
    info.maxInputReportSize = 0;
    info.maxOutputReportSize = 0;
    info.extra["Manufacturer"] = int64_t{7};
    info.extra["Product"] = std::string("Pad");
    info.extra["SerialNumber"] = int64_t{9};
    info.extra["Transport"] = int64_t{1};
    IOHIDDeviceRef device = plug(info)->ref();

    StdoutCapture out;
    HIDDumpDeviceInfo(device);
    EXPECT_EQ(out.text(), "Device: " + pointer(device) + " = {  - Pad, usage: 0x0000:0x0000, }\n");
}

class ElementDumpTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        auto button = ElementInfo::button(9, 1);
        button.cookie = 18;
        button.name = "Trigger";
        button.logicalMin = button.physicalMin = 0;
        button.logicalMax = button.physicalMax = 1;
        button.hasPreferredState = true;

        auto axis = ElementInfo::axis(1, 0x30, -127, 127, 0, 255);
        axis.type = kIOHIDElementTypeInput_Axis;
        axis.cookie = 19;
        axis.reportID = 2;
        axis.reportSize = 8;
        axis.reportCount = 1;
        axis.unit = 0x12;
        axis.unitExponent = 0xE;
        axis.isRelative = axis.isWrapping = axis.hasNullState = true;
        axis.hasPreferredState = false;

        auto report = ElementInfo::collection(kIOHIDElementCollectionTypeReport, 1, 5, {button, axis});
        report.cookie = 17;
        report.reportSize = report.reportCount = 0;
        report.logicalMin = report.logicalMax = report.physicalMin = report.physicalMax = 0;
        report.hasPreferredState = false;

        auto odd = ElementInfo::collection(static_cast<IOHIDElementCollectionType>(7), 0xFF00, 0x12345, {});
        odd.cookie = 20;
        odd.reportSize = odd.reportCount = 0;
        odd.logicalMin = odd.logicalMax = 3;
        odd.physicalMin = odd.physicalMax = 3;
        odd.hasPreferredState = false;

        auto feature = ElementInfo::feature(0xFF00, 2, 8, 4);
        feature.cookie = 21;
        feature.name = std::string(256, 'n');  // too long for the dump's buffer
        feature.logicalMin = feature.physicalMin = 0;
        feature.logicalMax = feature.physicalMax = 0;
        feature.isVirtual = feature.isArray = feature.isNonLinear = true;
        feature.hasPreferredState = false;

        auto output = ElementInfo::output(8, 1, 1, 1);
        output.cookie = 22;
        output.name = std::string(255, 'o');
        output.logicalMin = output.physicalMin = 0;
        output.logicalMax = output.physicalMax = 0;
        output.hasPreferredState = false;

        auto info = plainDevice(1, 2, 3);
        info.elements = {report, odd, feature, output};
        all = elementsOf(plug(info)->ref());
        ASSERT_EQ(all.size(), 6u);
    }
    std::vector<IOHIDElementRef> all;
};

TEST_F(ElementDumpTest, EachElementKindIsWrittenInItsForm) {
    StdoutCapture out;
    for (IOHIDElementRef element : all) HIDDumpElementInfo(element);
    HIDDumpElementInfo(nullptr);
    const std::string nil = pointer(nullptr);
    const std::string expected =
        "    Element: " + pointer(all[0]) + " = { parent: " + nil +
        ", cookie: 17, type: Report Collection, usage: 0x0001:0x0005, \"Generic Desktop Game Pad\", "
        "report: { ID: 0, Size: 0, Count: 0 },  }\n"
        "    Element: " +
        pointer(all[1]) + " = { parent: " + pointer(all[0]) +
        ", cookie: 18, type: Button, usage: 0x0009:0x0001, name: Trigger, report: { ID: 0, Size: 1, Count: 1 }, "
        "logical: {min: 0, max: 1}, physical: {min: 0, max: 1}, hasPreferredState,  }\n"
        "    Element: " +
        pointer(all[2]) + " = { parent: " + pointer(all[0]) +
        ", cookie: 19, type: Axis, usage: 0x0001:0x0030, \"Generic Desktop X\", report: { ID: 2, Size: 8, Count: 1 "
        "}, unit: 18 * 10^14, logical: {min: -127, max: 127}, physical: {min: 0, max: 255}, isRelative, "
        "isWrapping, hasNullState,  }\n"
        "    Element: " +
        pointer(all[3]) + " = { parent: " + nil +
        ", cookie: 20, type: 0x7 Collection, usage: 0xFF00:0x12345, report: { ID: 0, Size: 0, Count: 0 },  }\n"
        "    Element: " +
        pointer(all[4]) + " = { parent: " + nil +
        ", cookie: 21, type: Feature, usage: 0xFF00:0x0002, report: { ID: 0, Size: 8, Count: 4 }, isVirtual, "
        "isArray, isNonLinear,  }\n"
        "    Element: " +
        pointer(all[5]) + " = { parent: " + nil +
        ", cookie: 22, type: Output, usage: 0x0008:0x0001, name: " + std::string(255, 'o') +
        ", report: { ID: 0, Size: 1, Count: 1 },  }\n";
    EXPECT_EQ(out.text(), expected);
}

TEST_F(DumpTest, ElementTypesWithoutOwnFormShowTheirNumber) {
    auto misc = ElementInfo::button(1, 0x30);
    misc.type = kIOHIDElementTypeInput_Misc;
    auto scanCodes = ElementInfo::button(7, 4);
    scanCodes.type = kIOHIDElementTypeInput_ScanCodes;
    auto unknown = ElementInfo::button(7, 5);
    unknown.type = static_cast<IOHIDElementType>(130);
    auto info = plainDevice(1, 2, 3);
    info.elements = {misc, scanCodes, unknown};
    auto elements = elementsOf(plug(info)->ref());
    ASSERT_EQ(elements.size(), 3u);
    // Types outside the four groups are never selected.
    EXPECT_EQ(HIDCountDeviceElements(IOHIDElementGetDevice(elements[0]), 0xFFFFFFFF), 2u);
    EXPECT_EQ(HIDGetNextDeviceElement(elements[1], 0xFFFFFFFF), nullptr);

    std::vector<std::string> lines;
    for (IOHIDElementRef element : elements) {
        StdoutCapture out;
        HIDDumpElementInfo(element);
        lines.push_back(out.text());
    }
    EXPECT_NE(lines[0].find(", type: Misc, usage: "), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(", type: ScanCodes, usage: "), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(", type: 0x82, usage: "), std::string::npos) << lines[2];
}

TEST_F(ElementDumpTest, CalibrationDumpFillsInAndShowsTheDefaults) {
    IOHIDElementRef axis = all[2];
    StdoutCapture out;
    HIDDumpElementCalibrationInfo(axis);
    IOHIDElement_SetCalibrationGranularity(axis, 3.0);
    IOHIDElement_SetCalibrationDeadZoneMin(axis, -5);
    IOHIDElement_SetCalibrationDeadZoneMax(axis, 5);
    HIDDumpElementCalibrationInfo(axis);
    HIDDumpElementCalibrationInfo(nullptr);
    const std::string head = "    Element: " + pointer(axis) + " = { ";
    EXPECT_EQ(out.text(), head +
                              "cal: {min: 127, max: -127}, sat: {min: -127, max: -127}, dead: {min: -127, max: -127}, "
                              "granularity: -127.00 }\n" +
                              head +
                              "cal: {min: 127, max: -127}, sat: {min: -127, max: -127}, dead: {min: -5, max: 5}, "
                              "granularity:   3.00 }\n");
}

}  // namespace
