// Device counts, element selection by type, and the diagnostic dumps compared byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "HidBusTest.h"
#include "TestSupport.h"

using namespace ktrtest;

namespace {

constexpr UInt32 kInput = 2, kOutput = 4, kFeature = 8, kCollection = 16, kAll = 0xFFFFFFFF;

std::string pointer(const void* p) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%p", p);
    return buffer;
}

class ElementIterationTest : public HidBusTest {
protected:
    // application { button, physical { axis }, button, output }
    void SetUp() override {
        HidBusTest::SetUp();
        auto info = hidDevice(0x05AC, 0x0304, 0x14100000);
        auto physical = ElementInfo::collection(kIOHIDElementCollectionTypePhysical, 1, 1,
                                                {ElementInfo::axis(1, 0x30, 0, 255, 0, 255)});
        info.elements = {ElementInfo::collection(
            kIOHIDElementCollectionTypeApplication, 1, 5,
            {ElementInfo::button(9, 1), physical, ElementInfo::button(9, 2), ElementInfo::output(8, 1, 1, 1)})};
        m_device = plug(info);
        device = m_device->ref();
        e = elementsOf(device);
        ASSERT_EQ(e.size(), 6u);
        ASSERT_EQ(IOHIDElementGetType(e[3]), kIOHIDElementTypeInput_Misc);
    }

    std::shared_ptr<VirtualDevice> m_device;
    IOHIDDeviceRef device = nullptr;
    // application, button, physical, axis, button, output
    std::vector<IOHIDElementRef> e;
};

TEST_F(ElementIterationTest, MasksSelectTypeGroupsInTheDeviceOrder) {
    const std::pair<UInt32, UInt32> counts[] = {{kInput, 3}, {kOutput, 1}, {kFeature, 0},  {kCollection, 2},
                                                {kAll, 6},   {1, 0},       {0xFFFFFFE1, 0}};  // other bits: nothing
    for (const auto& [mask, count] : counts) EXPECT_EQ(HIDCountDeviceElements(device, mask), count) << mask;
    EXPECT_EQ(HIDGetFirstDeviceElement(device, kInput), e[1]);
    EXPECT_EQ(HIDGetNextDeviceElement(e[1], kInput), e[3]);
    EXPECT_EQ(HIDGetNextDeviceElement(e[3], kInput), e[4]);
    EXPECT_EQ(HIDGetNextDeviceElement(e[4], kInput), nullptr);
    EXPECT_EQ(HIDGetFirstDeviceElement(device, kCollection), e[0]);
    EXPECT_EQ(HIDGetNextDeviceElement(e[0], kCollection), e[2]);
    // The start need not be selected itself; only what follows it counts.
    EXPECT_EQ(HIDGetNextDeviceElement(e[2], kInput), e[3]);
    EXPECT_EQ(HIDGetNextDeviceElement(e[0], kOutput), e[5]);
    EXPECT_EQ(HIDGetNextDeviceElement(e[5], kAll), nullptr);
    EXPECT_EQ(HIDGetFirstDeviceElement(device, kFeature), nullptr);
    EXPECT_EQ(gElementCFArrayRef, nullptr);

    // An element whose device left has no next.
    CFRetain(e[1]);
    m_device->detach();
    EXPECT_EQ(HIDGetNextDeviceElement(e[1], kInput), nullptr);
    CFRelease(e[1]);
}

TEST_F(ElementIterationTest, NullsGiveNothingAndLeaveTheSlotAlone) {
    CFArrayRef held = CFArrayCreate(kCFAllocatorDefault, nullptr, 0, &kCFTypeArrayCallBacks);
    gElementCFArrayRef = held;
    EXPECT_EQ(HIDGetFirstDeviceElement(nullptr, kInput), nullptr);
    EXPECT_EQ(HIDCountDeviceElements(nullptr, kInput), 0u);
    EXPECT_EQ(HIDGetNextDeviceElement(nullptr, kInput), nullptr);
    EXPECT_EQ(gElementCFArrayRef, held);
    gElementCFArrayRef = nullptr;
    CFRelease(held);
}

TEST_F(HidBusTest, DeviceCountsFollowTheListAndItsMatching) {
    EXPECT_FALSE(HIDHaveDeviceList());
    IOHIDDeviceRef pad = plug(hidDevice(1, 1, 0x100))->ref();
    plug(hidDevice(1, 2, 0x200, 1, 6));
    plug(hidDevice(1, 3, 0x300))->detach();  // gone before the list is made
    const UInt32 pages[] = {1, 1};
    const UInt32 usages[] = {5, 6};
    EXPECT_TRUE(HIDUpdateDeviceList(pages, usages, 1));
    EXPECT_EQ(HIDCountDevices(), 1u);
    EXPECT_TRUE(HIDUpdateDeviceList(pages, usages, 2));
    EXPECT_TRUE(HIDHaveDeviceList());
    EXPECT_EQ(HIDCountDevices(), 2u);
    HIDReleaseDeviceList();
    EXPECT_FALSE(HIDHaveDeviceList());
    EXPECT_EQ(HIDCountDevices(), 0u);
    // A device without elements has none.
    EXPECT_EQ(HIDCountDeviceElements(pad, kAll), 0u);
    EXPECT_EQ(HIDGetFirstDeviceElement(pad, kAll), nullptr);
}

class DumpTest : public HidBusTest {
protected:
    // A device with none of the items the device dump leaves out when absent.
    static VirtualDeviceInfo bare() {
        auto info = hidDevice(0, 0, std::nullopt, 0, 0);
        info.transport.clear();
        info.maxInputReportSize = info.maxOutputReportSize = 0;
        return info;
    }
    // The device dump with the device's address shown as "@".
    std::string deviceDump(const VirtualDeviceInfo& info) {
        IOHIDDeviceRef device = plug(info)->ref();
        StdoutCapture out;
        HIDDumpDeviceInfo(device);
        std::string text = out.text();
        const std::string address = pointer(device);
        if (text.find(address) != std::string::npos) text.replace(text.find(address), address.size(), "@");
        return text;
    }
};

TEST_F(DumpTest, DeviceDumpWritesEveryPresentItemInOrder) {
    auto info = hidDevice(0x05AC, 0x0304, 0x14100000);
    info.manufacturer = "Acme";
    info.product = "Pad";
    info.serialNumber = "SN-7";
    info.versionNumber = 0x0123;
    info.maxOutputReportSize = 64;
    info.extra = {{"DeviceUsagePage", int64_t{1}},
                  {"DeviceUsage", int64_t{5}},
                  {"VendorIDSource", int64_t{1}},
                  {"CountryCode", int64_t{33}},
                  {"ReportInterval", int64_t{8000}}};
    IOHIDDeviceRef device = plug(info)->ref();
    IOHIDQueueRef queue = IOHIDQueueCreate(kCFAllocatorDefault, device, 4, 0);
    IOHIDDevice_SetQueue(device, queue);
    IOHIDDevice_SetTransaction(device, reinterpret_cast<IOHIDTransactionRef>(static_cast<uintptr_t>(0x5150)));

    StdoutCapture out;
    HIDDumpDeviceInfo(device);
    HIDDumpDeviceInfo(nullptr);
    EXPECT_EQ(out.text(), "Device: " + pointer(device) +
                              " = { Acme - Pad, \tvendorID:\t0x05AC, \tproductID:\t0x0304, usage: 0x0001:0x0005, "
                              "\"Generic Desktop Game Pad\", Transport: \"USB\", VendorIDSource: 1, version: 291, "
                              "SerialNumber: \"SN-7\", CountryCode: 33, locationID: 0x14100000, "
                              "MaxInputReportSize: 1024, MaxOutputReportSize: 64, ReportInterval: 8000, queue: " +
                              pointer(queue) + ", transaction: 0x5150, }\n");
    IOHIDDevice_SetQueue(device, nullptr);
    CFRelease(queue);
}

TEST_F(DumpTest, DeviceDumpLeavesOutWhatIsAbsentTooLongOrNoText) {
    auto absent = bare();
    absent.primaryUsagePage = 0xFF00;
    absent.primaryUsage = 1;
    absent.maxOutputReportSize = 64;
    // A plain usage pair with a 0 in it gives way to the primary pair.
    absent.extra = {{"MaxFeatureReportSize", int64_t{8}}, {"DeviceUsagePage", int64_t{1}}};
    EXPECT_EQ(deviceDump(absent),
              "Device: @ = {  - , usage: 0xFF00:0x0001, MaxOutputReportSize: 64, MaxFeatureReportSize: 8, }\n");

    auto tooLong = bare();
    tooLong.manufacturer = std::string(255, 'm');  // fits with its zero
    tooLong.product = std::string(256, 'p');       // does not
    tooLong.transport = std::string(300, 't');
    tooLong.serialNumber = "\xC3\xA9";
    EXPECT_EQ(deviceDump(tooLong),
              "Device: @ = { " + std::string(255, 'm') + " - , usage: 0x0000:0x0000, SerialNumber: \"\xC3\xA9\", }\n");

    auto notTexts = bare();
    notTexts.extra = {{"Manufacturer", int64_t{7}},
                      {"Product", std::string("Pad")},
                      {"SerialNumber", int64_t{9}},
                      {"Transport", int64_t{1}}};
    EXPECT_EQ(deviceDump(notTexts), "Device: @ = {  - Pad, usage: 0x0000:0x0000, }\n");
}

class ElementDumpTest : public HidBusTest {
protected:
    // A report collection { button, axis }, a collection of an unnamed type, a feature and an output.
    void SetUp() override {
        HidBusTest::SetUp();
        auto button = ElementInfo::button(9, 1);
        button.cookie = 18;
        button.name = "Trigger";

        auto axis = ElementInfo::axis(1, 0x30, -127, 127, 0, 255);
        axis.type = kIOHIDElementTypeInput_Axis;
        axis.cookie = 19;
        axis.reportID = 2;
        axis.reportSize = 8;
        axis.unit = 0x12;
        axis.unitExponent = 0xE;
        axis.isRelative = axis.isWrapping = axis.hasNullState = true;
        axis.hasPreferredState = false;

        auto report = ElementInfo::collection(kIOHIDElementCollectionTypeReport, 1, 5, {button, axis});
        report.cookie = 17;
        auto odd = ElementInfo::collection(static_cast<IOHIDElementCollectionType>(7), 0xFF00, 0x12345, {});
        odd.cookie = 20;
        odd.logicalMin = odd.logicalMax = odd.physicalMin = odd.physicalMax = 3;
        auto feature = ElementInfo::feature(0xFF00, 2, 8, 4);
        feature.cookie = 21;
        feature.name = std::string(256, 'n');  // too long for the dump's buffer
        feature.isVirtual = feature.isArray = feature.isNonLinear = true;
        auto output = ElementInfo::output(8, 1, 1, 1);
        output.cookie = 22;
        output.name = std::string(255, 'o');
        for (ElementInfo* element : {&feature, &output}) {
            element->logicalMax = element->physicalMax = 0;  // equal bounds: no range shown
            element->hasPreferredState = false;
        }

        auto info = hidDevice(1, 2, 3);
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

TEST_F(DumpTest, ElementTypesWithoutOwnFormShowTheirNumberAndAreNeverSelected) {
    auto misc = ElementInfo::button(1, 0x30);
    misc.type = kIOHIDElementTypeInput_Misc;
    auto scanCodes = ElementInfo::button(7, 4);
    scanCodes.type = kIOHIDElementTypeInput_ScanCodes;
    auto unknown = ElementInfo::button(7, 5);
    unknown.type = static_cast<IOHIDElementType>(130);
    auto info = hidDevice(1, 2, 3);
    info.elements = {misc, scanCodes, unknown};
    auto elements = elementsOf(plug(info)->ref());
    ASSERT_EQ(elements.size(), 3u);
    EXPECT_EQ(HIDCountDeviceElements(IOHIDElementGetDevice(elements[0]), kAll), 2u);
    EXPECT_EQ(HIDGetNextDeviceElement(elements[1], kAll), nullptr);

    const char* types[] = {", type: Misc, usage: ", ", type: ScanCodes, usage: ", ", type: 0x82, usage: "};
    for (size_t i = 0; i < 3; ++i) {
        StdoutCapture out;
        HIDDumpElementInfo(elements[i]);
        const std::string line = out.text();
        EXPECT_NE(line.find(types[i]), std::string::npos) << line;
    }
}

}  // namespace
