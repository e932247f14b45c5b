// The device list, its cursor, the property reader and the library's messages.
#include <gtest/gtest.h>
#include <ktrplatform/PlatformFaults.h>

#include <string>

#include "HidTestBus.h"
#include "TestSupport.h"

using namespace hidtest;

namespace {

const std::string kBuild = "Boolean HIDBuildMultiDeviceList(const UInt32 *, const UInt32 *, int): ";

std::vector<IOHIDDeviceRef> listed() {
    std::vector<IOHIDDeviceRef> out;
    if (!gDeviceCFArrayRef) return out;
    for (CFIndex i = 0; i < CFArrayGetCount(gDeviceCFArrayRef); ++i)
        out.push_back(static_cast<IOHIDDeviceRef>(const_cast<void*>(CFArrayGetValueAtIndex(gDeviceCFArrayRef, i))));
    return out;
}

long numberIn(CFDictionaryRef dictionary, const char* key) {
    CFStringRef k = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    const void* value = CFDictionaryGetValue(dictionary, k);
    CFRelease(k);
    SInt32 n = -1;
    if (value) CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &n);
    return n;
}

// Three devices whose LocationIDs are not in the order of their usages.
class DeviceListTest : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        auto mouse = deviceInfo(0x05AC, 0x0304, 0x14200000);
        mouse.primaryUsagePage = 1;
        mouse.primaryUsage = 2;
        auto keyboard = deviceInfo(0x05AC, 0x0250, 0x14100000);
        keyboard.primaryUsagePage = 1;
        keyboard.primaryUsage = 6;
        auto vendor = deviceInfo(kKtrVendor, 0x61, 0x14300000);
        m_mouse = plug(mouse)->ref();
        m_keyboard = plug(keyboard)->ref();
        m_vendor = plug(vendor)->ref();
    }
    IOHIDDeviceRef m_mouse = nullptr;
    IOHIDDeviceRef m_keyboard = nullptr;
    IOHIDDeviceRef m_vendor = nullptr;
};

TEST_F(DeviceListTest, MatchingSelectsDevicesAndSortsThemByLocation) {
    using List = std::vector<IOHIDDeviceRef>;
    const List all{m_keyboard, m_mouse, m_vendor};

    EXPECT_TRUE(HIDBuildDeviceList(0, 0));
    EXPECT_EQ(listed(), all);
    EXPECT_TRUE(HIDBuildDeviceList(1, 0));
    EXPECT_EQ(listed(), (List{m_keyboard, m_mouse}));
    EXPECT_TRUE(HIDBuildDeviceList(1, 6));
    EXPECT_EQ(listed(), List{m_keyboard});
    // A usage without its page is no restriction.
    EXPECT_TRUE(HIDBuildDeviceList(0, 6));
    EXPECT_EQ(listed(), all);

    const UInt32 pages[] = {1, 0xFF00};
    const UInt32 usages[] = {2, 0};
    EXPECT_TRUE(HIDBuildMultiDeviceList(pages, usages, 2));
    EXPECT_EQ(listed(), (List{m_mouse, m_vendor}));
    EXPECT_TRUE(HIDBuildMultiDeviceList(pages, nullptr, 2));
    EXPECT_EQ(listed(), all);
    EXPECT_TRUE(HIDBuildMultiDeviceList(pages, usages, 0));
    EXPECT_EQ(listed(), all);
}

TEST_F(DeviceListTest, LaterBuildsReuseTheManagerWithoutCreatingOrOpeningIt) {
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    IOHIDManagerRef manager = gIOHIDManagerRef;

    ktrplatform::failNextHIDManagerCreate();
    ktrplatform::failNextHIDManagerOpen();
    ktrtest::StderrCapture capture;
    EXPECT_TRUE(HIDBuildDeviceList(1, 6));
    EXPECT_EQ(capture.text(), "");
    EXPECT_EQ(gIOHIDManagerRef, manager);

    // Both faults are still armed: neither call was made.
    EXPECT_EQ(IOHIDManagerCreate(kCFAllocatorDefault, 0), nullptr);
    IOHIDManagerRef probe = IOHIDManagerCreate(kCFAllocatorDefault, 0);
    EXPECT_EQ(IOHIDManagerOpen(probe, 0), kIOReturnError);
    CFRelease(probe);
}

TEST_F(DeviceListTest, RebuildReplacesTheListButNotTheCursor) {
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    HIDGetFirstDevice();
    HIDGetNextDevice(m_keyboard);
    auto late = plug(deviceInfo(1, 2, 0x14000000));
    EXPECT_EQ(listed().size(), 3u);

    HIDRebuildDevices();
    EXPECT_EQ(listed(), (std::vector<IOHIDDeviceRef>{late->ref(), m_keyboard, m_mouse, m_vendor}));
    EXPECT_EQ(gDeviceIndex, 1);

    HIDReleaseDeviceList();
    EXPECT_EQ(gDeviceCFArrayRef, nullptr);
    EXPECT_EQ(HIDGetFirstDevice(), nullptr);
    EXPECT_EQ(HIDGetNextDevice(m_keyboard), nullptr);
    EXPECT_EQ(gDeviceIndex, 0);
}

TEST_F(BusTest, LocationsCompareUnsignedAndAMissingOneSortsFirst) {
    IOHIDDeviceRef topBit = plug(deviceInfo(1, 1, 0x80000000))->ref();
    IOHIDDeviceRef below = plug(deviceInfo(1, 2, 0x7FFFFFFF))->ref();
    IOHIDDeviceRef none = plug(deviceInfo(1, 3, std::nullopt))->ref();

    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    EXPECT_EQ(listed(), (std::vector<IOHIDDeviceRef>{none, below, topBit}));
    EXPECT_EQ(IOHIDDevice_GetLocationID(topBit), 0x80000000L);
    EXPECT_EQ(IOHIDDevice_GetLocationID(none), 0);
    EXPECT_EQ(CFDeviceArrayComparatorFunction(below, topBit, nullptr), kCFCompareLessThan);
    EXPECT_EQ(CFDeviceArrayComparatorFunction(topBit, none, nullptr), kCFCompareGreaterThan);
    EXPECT_EQ(CFDeviceArrayComparatorFunction(none, none, nullptr), kCFCompareEqualTo);
}

TEST_F(BusTest, AnEmptyBusGivesAnEmptyList) {
    EXPECT_EQ(HIDGetFirstDevice(), nullptr);
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    EXPECT_EQ(HIDGetFirstDevice(), nullptr);
    EXPECT_EQ(HIDGetNextDevice(nullptr), nullptr);
}

TEST_F(DeviceListTest, WalkEndsWithNullUntilRestarted) {
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    EXPECT_EQ(HIDGetFirstDevice(), m_keyboard);
    EXPECT_EQ(gDeviceIndex, 0);
    EXPECT_EQ(HIDGetNextDevice(m_keyboard), m_mouse);
    EXPECT_EQ(HIDGetNextDevice(m_mouse), m_vendor);
    EXPECT_EQ(HIDGetNextDevice(m_vendor), nullptr);
    EXPECT_EQ(gDeviceIndex, 3);
    // Past the end even a device of the list gives nothing.
    EXPECT_EQ(HIDGetNextDevice(m_keyboard), nullptr);
    EXPECT_EQ(HIDGetNextDevice(nullptr), nullptr);
    EXPECT_EQ(gDeviceIndex, 3);

    EXPECT_EQ(HIDGetFirstDevice(), m_keyboard);
    EXPECT_EQ(HIDGetNextDevice(m_keyboard), m_mouse);
}

TEST_F(DeviceListTest, AnotherDeviceOfTheListRestartsTheWalkFromIt) {
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    HIDGetFirstDevice();
    HIDGetNextDevice(m_keyboard);
    ASSERT_EQ(gDeviceIndex, 1);

    EXPECT_EQ(HIDGetNextDevice(m_keyboard), m_mouse);
    EXPECT_EQ(gDeviceIndex, 1);
    EXPECT_EQ(HIDGetNextDevice(m_mouse), m_vendor);
    EXPECT_EQ(HIDGetNextDevice(m_keyboard), m_mouse);
}

TEST_F(DeviceListTest, AnUnknownDeviceLeavesTheCursorBeforeTheList) {
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    IOHIDDeviceRef stranger = plug(deviceInfo(1, 9, 0x15000000))->ref();
    HIDGetFirstDevice();

    EXPECT_EQ(HIDGetNextDevice(stranger), nullptr);
    EXPECT_EQ(gDeviceIndex, -1);
    EXPECT_EQ(HIDGetNextDevice(m_keyboard), nullptr);
    EXPECT_EQ(gDeviceIndex, -1);
    EXPECT_EQ(HIDGetFirstDevice(), m_keyboard);
}

TEST_F(BusTest, NumberPropertiesReadAsUnsigned32Bits) {
    auto info = deviceInfo(-1, 0x61, std::nullopt, 0x1234);
    info.extra["Text"] = std::string("not a number");
    info.extra["Huge"] = int64_t{0x100000000};
    IOHIDDeviceRef device = plug(info)->ref();

    EXPECT_EQ(IOHIDDevice_GetVendorID(device), 4294967295L);
    EXPECT_EQ(IOHIDDevice_GetProductID(device), 0x61);
    EXPECT_EQ(IOHIDDevice_GetVersionNumber(device), 0x1234);
    EXPECT_EQ(IOHIDDevice_GetLocationID(device), 0);
    EXPECT_EQ(IOHIDDevice_GetVendorID(nullptr), 0);

    long value = 77;
    EXPECT_FALSE(IOHIDDevice_GetLongProperty(nullptr, CFSTR("VendorID"), &value));
    EXPECT_FALSE(IOHIDDevice_GetLongProperty(device, CFSTR("LocationID"), &value));
    EXPECT_FALSE(IOHIDDevice_GetLongProperty(device, CFSTR("Text"), &value));
    EXPECT_EQ(value, 77);
    EXPECT_FALSE(IOHIDDevice_GetLongProperty(device, CFSTR("Huge"), &value));
    EXPECT_TRUE(IOHIDDevice_GetLongProperty(device, CFSTR("VendorID"), &value));
    EXPECT_EQ(value, 4294967295L);
}

TEST(DevicePropertyDeathTest, AnObjectThatIsNotADeviceStopsTheProcess) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    const int32_t n = 5;
    CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &n);
    auto notADevice = static_cast<IOHIDDeviceRef>(const_cast<void*>(static_cast<const void*>(number)));
    EXPECT_DEATH(IOHIDDevice_GetVendorID(notADevice),
                 "IOHIDDeviceGetTypeID\\(\\) == CFGetTypeID\\(inIOHIDDeviceRef\\)");
    CFRelease(number);
}

TEST(MatchingDictionaryTest, PageAndUsageBecomeEntriesOnlyWithAPage) {
    CFMutableDictionaryRef both = hu_SetUpMatchingDictionary(1, 6);
    ASSERT_NE(both, nullptr);
    EXPECT_EQ(CFDictionaryGetCount(both), 2);
    EXPECT_EQ(numberIn(both, "PrimaryUsagePage"), 1);
    EXPECT_EQ(numberIn(both, "PrimaryUsage"), 6);
    CFRelease(both);

    CFMutableDictionaryRef pageOnly = hu_SetUpMatchingDictionary(0xFF00, 0);
    EXPECT_EQ(CFDictionaryGetCount(pageOnly), 1);
    EXPECT_EQ(numberIn(pageOnly, "PrimaryUsagePage"), 0xFF00);
    CFRelease(pageOnly);

    for (UInt32 usage : {0u, 6u}) {
        CFMutableDictionaryRef none = hu_SetUpMatchingDictionary(0, usage);
        EXPECT_EQ(CFDictionaryGetCount(none), 0);
        CFRelease(none);
    }
}

TEST_F(BusTest, AManagerThatCannotBeCreatedIsReportedAndTriedAgainNextTime) {
    plug(ktrInfo());
    ktrplatform::failNextHIDManagerCreate();
    ktrtest::StderrCapture capture;
    EXPECT_FALSE(HIDBuildDeviceList(0, 0));
    EXPECT_EQ(capture.text(), kBuild + "Couldn\xE2\x80\x99t create a IOHIDManager.");
    EXPECT_EQ(gIOHIDManagerRef, nullptr);
    EXPECT_EQ(gDeviceCFArrayRef, nullptr);

    EXPECT_TRUE(HIDBuildDeviceList(0, 0));
    EXPECT_EQ(listed().size(), 1u);
}

TEST_F(BusTest, AManagerThatCannotBeOpenedStaysAndIsNotOpenedAgain) {
    plug(ktrInfo());
    ktrplatform::failNextHIDManagerOpen();
    ktrtest::StderrCapture capture;
    EXPECT_FALSE(HIDBuildDeviceList(0, 0));
    EXPECT_EQ(capture.text(), kBuild + "Couldn\xE2\x80\x99t open IOHIDManager.");
    EXPECT_NE(gIOHIDManagerRef, nullptr);
    EXPECT_EQ(gDeviceCFArrayRef, nullptr);

    ktrplatform::failNextHIDManagerOpen();
    ktrtest::StderrCapture again;
    EXPECT_TRUE(HIDBuildDeviceList(0, 0));
    EXPECT_EQ(again.text(), "");
    // Consume the fault that the build left armed.
    IOHIDManagerRef probe = IOHIDManagerCreate(kCFAllocatorDefault, 0);
    EXPECT_EQ(IOHIDManagerOpen(probe, 0), kIOReturnError);
    CFRelease(probe);
}

}  // namespace
