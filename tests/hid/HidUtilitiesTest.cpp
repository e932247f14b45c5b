// The device list, its cursor, the matching and the library's messages.
#include <ktrplatform/PlatformFaults.h>

#include "HidTestBus.h"

using namespace hidtest;

namespace {

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
        m_vendor = plug(deviceInfo(0x4D2A, 0x61, 0x14300000))->ref();
    }
    IOHIDDeviceRef m_mouse = nullptr, m_keyboard = nullptr, m_vendor = nullptr;
};

// A usage without its page is no restriction.
TEST_F(DeviceListTest, MatchingSelectsDevicesAndSortsThemByLocation) {
    const List all{m_keyboard, m_mouse, m_vendor};
    const std::tuple<UInt32, UInt32, List> rows[] = {
        {0, 0, all}, {1, 0, {m_keyboard, m_mouse}}, {1, 6, {m_keyboard}}, {0, 6, all}, {0xFF00, 0, {m_vendor}}};
    for (const auto& [page, usage, expected] : rows) {
        EXPECT_TRUE(HIDBuildDeviceList(page, usage));
        EXPECT_EQ(listed(), expected) << page << ":" << usage;
    }
    // Pairs of pages and usages; without usages, or with no pair counted, every device.
    const UInt32 pages[] = {1, 0xFF00}, usages[] = {2, 0};
    const std::tuple<const UInt32*, int, List> multiRows[] = {
        {usages, 2, {m_mouse, m_vendor}}, {nullptr, 2, all}, {usages, 0, all}};
    for (const auto& [usageList, count, expected] : multiRows) {
        EXPECT_TRUE(HIDBuildMultiDeviceList(pages, usageList, count));
        EXPECT_EQ(listed(), expected) << (usageList ? "usages " : "no usages ") << count;
    }
}

// Neither creates nor opens the manager again: the failures armed for those calls are still armed after.
TEST_F(DeviceListTest, LaterBuildsReuseTheManagerWithoutCreatingOrOpeningIt) {
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    const IOHIDManagerRef manager = gIOHIDManagerRef;
    ktrplatform::failNextHIDManagerCreate();
    ktrplatform::failNextHIDManagerOpen();
    StderrCapture capture;
    EXPECT_TRUE(HIDBuildDeviceList(1, 6));
    EXPECT_EQ(capture.text(), "");
    EXPECT_EQ(gIOHIDManagerRef, manager);
    EXPECT_EQ(IOHIDManagerCreate(kCFAllocatorDefault, 0), nullptr);
    const IOHIDManagerRef probe = IOHIDManagerCreate(kCFAllocatorDefault, 0);
    EXPECT_EQ(IOHIDManagerOpen(probe, 0), kIOReturnError);
    CFRelease(probe);
}

// The walk ends with null until it is restarted, and goes on from whatever device of the list it is given; a
// rebuild replaces the list (LocationIDs compared unsigned, a missing one first) but not the cursor.
TEST_F(DeviceListTest, WalkFollowsTheDeviceGivenAndARebuildKeepsTheCursor) {
    EXPECT_EQ(HIDGetFirstDevice(), nullptr);  // no list yet
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    const IOHIDDeviceRef first = reinterpret_cast<IOHIDDeviceRef>(1),
                         stranger = plug(deviceInfo(1, 9, 0x15000000))->ref();
    // The device given (first: HIDGetFirstDevice), the device returned and the cursor after.
    const std::tuple<IOHIDDeviceRef, IOHIDDeviceRef, CFIndex> steps[] = {
        {first, m_keyboard, 0},   {m_keyboard, m_mouse, 1}, {m_mouse, m_vendor, 2},  {m_vendor, nullptr, 3},
        {m_keyboard, nullptr, 3}, {nullptr, nullptr, 3},    {first, m_keyboard, 0},  {m_keyboard, m_mouse, 1},
        {m_keyboard, m_mouse, 1}, {m_mouse, m_vendor, 2},   {stranger, nullptr, -1}, {m_keyboard, nullptr, -1},
        {first, m_keyboard, 0},   {m_keyboard, m_mouse, 1}};
    for (size_t i = 0; i < std::size(steps); ++i) {
        const auto& [given, expected, cursor] = steps[i];
        EXPECT_EQ(given == first ? HIDGetFirstDevice() : HIDGetNextDevice(given), expected) << "step " << i;
        EXPECT_EQ(gDeviceIndex, cursor) << "step " << i;
    }
    const IOHIDDeviceRef none = plug(deviceInfo(1, 1, std::nullopt))->ref(),
                         top = plug(deviceInfo(1, 2, 0x80000000))->ref();
    EXPECT_EQ(listed().size(), 3u);
    HIDRebuildDevices();
    EXPECT_EQ(listed(), (List{none, m_keyboard, m_mouse, m_vendor, stranger, top}));
    EXPECT_EQ(gDeviceIndex, 1);
    EXPECT_EQ(CFDeviceArrayComparatorFunction(none, none, nullptr), kCFCompareEqualTo);
    HIDReleaseDeviceList();
    EXPECT_EQ(gDeviceCFArrayRef, nullptr);
    EXPECT_EQ(HIDGetFirstDevice(), nullptr);
    EXPECT_EQ(HIDGetNextDevice(m_keyboard), nullptr);
}

// The first build creates and opens the manager, reporting either failure; a created manager stays.
TEST_F(BusTest, AManagerThatCannotBeCreatedOrOpenedIsReported) {
    plug(ktrInfo());
    const std::pair<void (*)(), std::string> failures[] = {
        {ktrplatform::failNextHIDManagerCreate, "Couldn\xE2\x80\x99t create a IOHIDManager."},
        {ktrplatform::failNextHIDManagerOpen, "Couldn\xE2\x80\x99t open IOHIDManager."}};
    for (const auto& [fail, message] : failures) {
        fail();
        StderrCapture capture;
        EXPECT_FALSE(HIDBuildDeviceList(0, 0));
        EXPECT_EQ(capture.text(), kBuild + message);
        EXPECT_EQ(gIOHIDManagerRef == nullptr, fail == ktrplatform::failNextHIDManagerCreate) << message;
        EXPECT_EQ(gDeviceCFArrayRef, nullptr);
    }
}

}  // namespace
