// The device list, its cursor, the matching and the library's messages.
#include <gtest/gtest.h>
#include <ktrplatform/PlatformFaults.h>

#include <string>

#include "HidTestBus.h"
#include "TestSupport.h"

using namespace hidtest;

namespace {

const std::string kBuild = "Boolean HIDBuildMultiDeviceList(const UInt32 *, const UInt32 *, int): ";

using List = std::vector<IOHIDDeviceRef>;

List listed() {
    List out;
    for (CFIndex i = 0; gDeviceCFArrayRef && i < CFArrayGetCount(gDeviceCFArrayRef); ++i)
        out.push_back(static_cast<IOHIDDeviceRef>(const_cast<void*>(CFArrayGetValueAtIndex(gDeviceCFArrayRef, i))));
    return out;
}

// Three devices whose locations are not in the order of their usages: listed keyboard, mouse, vendor.
class DeviceListTest : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        m_mouse = plug(hidDevice(0x05AC, 0x0304, 0x14200000, 1, 2))->ref();
        m_keyboard = plug(hidDevice(0x05AC, 0x0250, 0x14100000, 1, 6))->ref();
        m_vendor = plug(deviceInfo(kKtrVendor, 0x61, 0x14300000))->ref();
    }
    IOHIDDeviceRef m_mouse = nullptr, m_keyboard = nullptr, m_vendor = nullptr;
};

TEST_F(DeviceListTest, MatchingSelectsDevicesAndSortsThemByLocation) {
    const List all{m_keyboard, m_mouse, m_vendor};
    EXPECT_TRUE(HIDBuildDeviceList(0, 0));
    EXPECT_EQ(listed(), all);
    EXPECT_TRUE(HIDBuildDeviceList(1, 0));
    EXPECT_EQ(listed(), (List{m_keyboard, m_mouse}));
    EXPECT_TRUE(HIDBuildDeviceList(1, 6));
    EXPECT_EQ(listed(), List{m_keyboard});
    EXPECT_TRUE(HIDBuildDeviceList(0, 6));  // a usage without its page is no restriction
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
    StderrCapture capture;
    EXPECT_TRUE(HIDBuildDeviceList(1, 6));
    EXPECT_EQ(capture.text(), "");
    EXPECT_EQ(gIOHIDManagerRef, manager);

    // Both faults are still armed: neither call was made.
    EXPECT_EQ(IOHIDManagerCreate(kCFAllocatorDefault, 0), nullptr);
    IOHIDManagerRef probe = IOHIDManagerCreate(kCFAllocatorDefault, 0);
    EXPECT_EQ(IOHIDManagerOpen(probe, 0), kIOReturnError);
    CFRelease(probe);
}

TEST_F(DeviceListTest, WalkEndsWithNullUntilRestartedAndFollowsTheDeviceGiven) {
    EXPECT_EQ(HIDGetFirstDevice(), nullptr);  // no list yet
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    EXPECT_EQ(HIDGetFirstDevice(), m_keyboard);
    EXPECT_EQ(HIDGetNextDevice(m_keyboard), m_mouse);
    EXPECT_EQ(HIDGetNextDevice(m_mouse), m_vendor);
    EXPECT_EQ(HIDGetNextDevice(m_vendor), nullptr);
    EXPECT_EQ(gDeviceIndex, 3);
    // Past the end even a device of the list gives nothing.
    EXPECT_EQ(HIDGetNextDevice(m_keyboard), nullptr);
    EXPECT_EQ(HIDGetNextDevice(nullptr), nullptr);

    // Another device of the list than the last one returned goes on from there.
    EXPECT_EQ(HIDGetFirstDevice(), m_keyboard);
    EXPECT_EQ(HIDGetNextDevice(m_keyboard), m_mouse);
    EXPECT_EQ(HIDGetNextDevice(m_keyboard), m_mouse);
    EXPECT_EQ(gDeviceIndex, 1);
    EXPECT_EQ(HIDGetNextDevice(m_mouse), m_vendor);

    // A device not in the list leaves the cursor before the list until the walk restarts.
    EXPECT_EQ(HIDGetNextDevice(plug(deviceInfo(1, 9, 0x15000000))->ref()), nullptr);
    EXPECT_EQ(gDeviceIndex, -1);
    EXPECT_EQ(HIDGetNextDevice(m_keyboard), nullptr);
    EXPECT_EQ(HIDGetFirstDevice(), m_keyboard);
}

TEST_F(DeviceListTest, RebuildReplacesTheListButNotTheCursor) {
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    HIDGetFirstDevice();
    HIDGetNextDevice(m_keyboard);
    auto late = plug(deviceInfo(1, 2, 0x14000000));
    EXPECT_EQ(listed().size(), 3u);
    HIDRebuildDevices();
    EXPECT_EQ(listed(), (List{late->ref(), m_keyboard, m_mouse, m_vendor}));
    EXPECT_EQ(gDeviceIndex, 1);

    HIDReleaseDeviceList();
    EXPECT_EQ(gDeviceCFArrayRef, nullptr);
    EXPECT_EQ(HIDGetFirstDevice(), nullptr);
    EXPECT_EQ(HIDGetNextDevice(m_keyboard), nullptr);
}

TEST_F(BusTest, LocationsCompareUnsignedAndAMissingOneSortsFirst) {
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    EXPECT_EQ(HIDGetFirstDevice(), nullptr);  // an empty bus gives an empty list
    IOHIDDeviceRef topBit = plug(deviceInfo(1, 1, 0x80000000))->ref();
    IOHIDDeviceRef below = plug(deviceInfo(1, 2, 0x7FFFFFFF))->ref();
    IOHIDDeviceRef none = plug(deviceInfo(1, 3, std::nullopt))->ref();
    HIDRebuildDevices();
    EXPECT_EQ(listed(), (List{none, below, topBit}));
    EXPECT_EQ(CFDeviceArrayComparatorFunction(below, topBit, nullptr), kCFCompareLessThan);
    EXPECT_EQ(CFDeviceArrayComparatorFunction(topBit, none, nullptr), kCFCompareGreaterThan);
    EXPECT_EQ(CFDeviceArrayComparatorFunction(none, none, nullptr), kCFCompareEqualTo);
}

TEST(MatchingDictionaryTest, PageAndUsageBecomeEntriesOnlyWithAPage) {
    EXPECT_EQ(matchingOf(1, 6), "2: 1 6");
    EXPECT_EQ(matchingOf(0xFF00, 0), "1: 65280 -");
    EXPECT_EQ(matchingOf(0, 0), "0: - -");
    EXPECT_EQ(matchingOf(0, 6), "0: - -");
}

TEST_F(BusTest, AManagerThatCannotBeCreatedIsReportedAndTriedAgainNextTime) {
    plug(ktrInfo());
    ktrplatform::failNextHIDManagerCreate();
    StderrCapture capture;
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
    StderrCapture capture;
    EXPECT_FALSE(HIDBuildDeviceList(0, 0));
    EXPECT_EQ(capture.text(), kBuild + "Couldn\xE2\x80\x99t open IOHIDManager.");
    EXPECT_NE(gIOHIDManagerRef, nullptr);
    EXPECT_EQ(gDeviceCFArrayRef, nullptr);

    ktrplatform::failNextHIDManagerOpen();
    StderrCapture again;
    EXPECT_TRUE(HIDBuildDeviceList(0, 0));
    EXPECT_EQ(again.text(), "");
    // Consume the fault that the build left armed.
    IOHIDManagerRef probe = IOHIDManagerCreate(kCFAllocatorDefault, 0);
    EXPECT_EQ(IOHIDManagerOpen(probe, 0), kIOReturnError);
    CFRelease(probe);
}

}  // namespace
