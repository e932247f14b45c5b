// Watching elements for the control the user moves, and saving that choice to record files and
// preferences and finding it again. Controls are moved from another thread for as long as a watch
// runs; watches that must find nothing get short time-outs.
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "ElementBus.h"

using namespace hidconfig;

namespace {

const float kLongWatch = 60.0f, kShortWatch = 0.2f;  // processor seconds; the long one only ends a failing test

// Moves elements, each between two values, until destroyed, so that a watch sees a change whenever
// its first pass happened.
struct Wiggler {
    Wiggler(std::shared_ptr<VirtualDevice> device, std::vector<std::tuple<IOHIDElementCookie, CFIndex, CFIndex>> moves)
        : thread([=] {
              for (bool flip = false; !stop; flip = !flip, std::this_thread::sleep_for(std::chrono::milliseconds(2)))
                  for (auto [cookie, a, b] : moves) device->setElementValue(cookie, flip ? b : a);
          }) {}
    ~Wiggler() { stop = true, thread.join(); }
    std::atomic<bool> stop{false};
    std::thread thread;
};

using WatchTest = PadTest;

// A tenth of the axis' logical range 0..255 is 25, of a button's 0..1 nothing. Outputs and features
// are not watched. A time-out shorter than one pass ends the watch after it.
TEST_F(WatchTest, SingleDeviceWatchWantsAnInputMovingBeyondATenthOfItsLogicalRange) {
    const auto watch = HIDConfigureSingleDeviceAction;
    EXPECT_EQ(result(watch(m_device, &m_element, 0)), "0 ?:?");  // no list yet
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    EXPECT_EQ(result(watch(nullptr, &m_element, 0) || watch(m_device, nullptr, 0)), "0 ?:?");
    EXPECT_EQ(result(watch(plug(hidDevice(100, 8, 0x2000))->ref(), &m_element, kLongWatch)), "0 ?:-");
    for (float timeout : {0.0f, -1.0f, std::nanf("")})
        EXPECT_EQ(result(watch(m_device, &m_element, timeout)), "0 ?:-") << timeout;
    for (auto [cookie, from, to, timeout, found] : {std::tuple{kAxis, 100, 125, kShortWatch, "0 ?:-"},
                                                    {kAxis, 100, 126, kLongWatch, "1 ?:4"},
                                                    {kButton2, 0, 1, kLongWatch, "1 ?:3"}}) {
        m_pad->setElementValue(kAxis, 100);
        Wiggler moving(m_pad, {{cookie, from, to}, {kOutput, 0, 1}, {kFeature, 0, 1}});
        EXPECT_EQ(result(watch(m_device, &m_element, timeout)), found);
    }
}

// A tenth of the physical range, 100 of 0..1000, is enough and 99 is not; over an empty range any
// change counts. Arrays, elements of several values, page 15, usage 0xFFFFFFFF and features, which
// come first on each device and move too, are not watched. The pad, listed first, stays still.
TEST_F(WatchTest, AllDevicesWatchWantsAnInputMovingATenthOfItsPhysicalRange) {
    EXPECT_EQ(result(HIDConfigureAction(nullptr, &m_element, 0) || HIDConfigureAction(&m_found, nullptr, 0)), "0 ?:?");
    EXPECT_EQ(result(HIDConfigureAction(&m_found, &m_element, 0)), "0 -:-");
    EXPECT_TRUE(HIDHaveDeviceList()) << "the missing list is built";
    std::vector<ElementInfo> elements(6, ElementInfo::axis(1, 0x30, 0, 255, 0, 255));
    elements[0].isArray = true, elements[1].reportCount = 2, elements[2].usagePage = 15;
    elements[3].usage = 0xFFFFFFFF, elements[4] = ElementInfo::feature(1, 0x33, 8, 1);
    // clang-format off
    const std::tuple<int64_t, int64_t, CFIndex, CFIndex, float, const char*> rows[] = {
        {0, 1000, 0, 99, kShortWatch, "0 -:-"}, {0, 1000, 0, 100, kLongWatch, "1 other:6"},
        {5, 5, 3, 3, kShortWatch, "0 -:-"}, {5, 5, 3, 4, kLongWatch, "1 other:6"}};
    // clang-format on
    for (const auto& [physicalMin, physicalMax, from, to, timeout, found] : rows) {
        elements[5] = ElementInfo::axis(1, 0x31, 0, 1000, physicalMin, physicalMax), elements[5].initialValue = from;
        auto other = plug(padInfo(100, 9, 0x2000 + to, elements));
        ASSERT_TRUE(HIDBuildDeviceList(0, 0));
        Wiggler moving(other, {{1, 0, 200}, {2, 0, 200}, {3, 0, 200}, {4, 0, 200}, {5, 0, 1}, {6, from, to}});
        EXPECT_EQ(result(HIDConfigureAction(&m_found, &m_element, timeout)), found) << to;
    }
}

const CFStringRef kApp = CFSTR("org.ktrq7.hidconfig-tests"), kKey = CFSTR("fire");
const std::string kSecondAxis = "d:{v:100, p:7, l:2147491840, p:1, u:5}, e:{p:1, u:48, c:4}";

// The preference under kKey as text; "<none>" when there is none or it is no text.
std::string stored() {
    CFPropertyListRef value = CFPreferencesCopyAppValue(kKey, kApp);
    char text[1024] = "<none>";
    if (value && CFGetTypeID(value) == CFStringGetTypeID())
        CFStringGetCString(static_cast<CFStringRef>(value), text, sizeof text, kCFStringEncodingUTF8);
    if (value) CFRelease(value);
    return text;
}

void store(CFPropertyListRef value) { CFPreferencesSetAppValue(kKey, value, kApp), CFRelease(value); }

// The pad at 0x1000 and m_second at 0x80002000, listed in that order; m_record names m_second's
// axis. Preferences live in a folder of the test's own.
class ConfigTest : public PadTest {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/hidconfig-prefs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        setenv("XDG_CONFIG_HOME", m_folder.assign(pattern).c_str(), 1);
        PadTest::SetUp();
        m_second = plug(padInfo(100, 7, 0x80002000))->ref();
        ASSERT_TRUE(HIDBuildDeviceList(0, 0));
        HIDSetElementConfig(&m_record, m_second, elementWithCookie(m_second, kAxis), 3);
    }
    void TearDown() override {
        CFPreferencesSetAppValue(kKey, nullptr, kApp), std::filesystem::remove_all(m_folder);
        PadTest::TearDown();
    }
    std::string get() { return result(HIDGetElementConfig(&m_record, &m_found, &m_element)); }
    std::string find() { return result(HIDFindDeviceAndElement(&m_record, &m_found, &m_element)); }
    std::string restore() { return result(HIDRestoreElementPref(kKey, kApp, &m_found, &m_element)); }
    // Whether the key has reached the preferences file.
    bool onDisk() const {
        std::ifstream file(m_folder + "/ktrq7-updater/org.ktrq7.hidconfig-tests.plist");
        return std::string(std::istreambuf_iterator<char>(file), {}).find("<key>fire</key>") != std::string::npos;
    }

    std::string m_folder;
    HIDElementConfigRecord m_record{};
};

TEST_F(ConfigTest, RecordRoundTripsThroughAFileInNativeByteOrderAndAShortOneRestoresNothing) {
    IOHIDElementRef axis = elementWithCookie(m_second, kAxis);
    IOHIDElement_SetCalibrationSaturationMin(axis, -10), IOHIDElement_SetCalibrationSaturationMax(axis, 200);
    FILE* file = std::tmpfile();
    HIDSaveElementConfig(file, m_second, axis, 77);
    const SInt32 fields[11] = {77, 100, 7, static_cast<SInt32>(0x80002000u), 1, 5, 1, 0x30, -10, 200, kAxis};
    char written[45];
    std::rewind(file);
    EXPECT_EQ(std::string(written, std::fread(written, 1, sizeof written, file)),
              std::string(reinterpret_cast<const char*>(fields), sizeof fields));

    // Restoring resets the calibration and puts the saturation limits back.
    IOHIDElement_SetCalibrationSaturationMin(axis, 0), IOHIDElement_SetCalibrationDeadZoneMax(axis, 3);
    std::rewind(file);
    EXPECT_EQ(result(HIDRestoreElementConfig(file, &m_found, &m_element)), "77 second:4");
    EXPECT_EQ(calibration(axis),
              "cal: {min: 0, max: 255}, sat: {min: -10, max: 200}, dead: {min: 0, max: 0}, granularity:   0.00 }\n");
    std::rewind(file);
    EXPECT_EQ(result(HIDRestoreElementConfig(file, nullptr, &m_element)), "77 ?:-");
    std::fclose(file);
    // A record cut short, or no file at all: nothing found, no calibration touched.
    IOHIDElement_SetCalibrationDeadZoneMax(axis, 3);
    for (int length : {0, 4, 43, -1}) {
        FILE* cut = length < 0 ? nullptr : fmemopen(const_cast<SInt32*>(fields), length, "r");
        EXPECT_EQ(result(HIDRestoreElementConfig(cut, &m_found, &m_element)), "0 -:-") << length;
        if (cut) std::fclose(cut);
    }
    EXPECT_EQ(IOHIDElement_GetCalibrationDeadZoneMax(axis), 3);

    // Without an element only the action is kept; only the plain device usage is recorded.
    HIDElementConfigRecord record, actionOnly{9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::memset(&record, 0xFF, sizeof record), HIDSetElementConfig(&record, m_device, nullptr, 9);
    EXPECT_EQ(std::memcmp(&record, &actionOnly, sizeof record), 0);
    HIDSetElementConfig(&record, plug(hidDevice(100, 8, 0x2000))->ref(), element(kButton2), 1);
    EXPECT_TRUE(record.usagePage == 0 && record.usage == 0 && record.cookie == kButton2);
    // Null arguments are not written through.
    HIDSaveElementConfig(nullptr, m_device, element(kAxis), 9),
        HIDSetElementConfig(nullptr, m_device, element(kAxis), 9);
    EXPECT_EQ(result(HIDGetElementConfig(nullptr, &m_found, &m_element)), "0 -:-");
    EXPECT_EQ(result(HIDGetElementConfig(&record, nullptr, &m_element)), "1 ?:-");
}

TEST_F(ConfigTest, RecordFindsItsExactDeviceElseAnotherOfItsKindAndTheBestMatchWithoutAnElementUsageTheFirstElement) {
    // The best match without an element usage is the first element; no match leaves the outs alone.
    m_record.elementUsagePage = 0;
    EXPECT_EQ(find(), "1 second:1");
    m_record.elementUsagePage = 1, m_record.elementUsage = 0x99;
    EXPECT_EQ(find(), "0 ?:?");
    m_record.elementUsage = 0x30;
    EXPECT_FALSE(HIDFindDeviceAndElement(nullptr, &m_found, &m_element) ||
                 HIDFindDeviceAndElement(&m_record, nullptr, &m_element) ||
                 HIDFindDeviceAndElement(&m_record, &m_found, nullptr));

    EXPECT_EQ(get(), "3 second:4");
    m_record.locID = 0x3000;
    EXPECT_EQ(get(), "3 pad:4");
    m_record.cookie = kButton2, m_record.elementUsagePage = 9, m_record.elementUsage = 1;
    EXPECT_EQ(get(), "3 pad:3");  // the cookie before the usage
    m_record.cookie = 99;
    EXPECT_EQ(get(), "3 pad:2");
    m_record.locID = 0;
    EXPECT_EQ(get(), "3 -:-");  // without a location nothing is sought
    // The exact device without the element: no other is tried.
    plug(padInfo(100, 7, 0x500, {ElementInfo::button(9, 1)}));
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    m_record = {3, 100, 7, 0x500, 1, 5, 1, 0x30, 0, 0, kAxis};
    EXPECT_EQ(get(), "3 -:-");
    HIDReleaseDeviceList();
    EXPECT_EQ(find(), "0 ?:?");
}

// Each weight decides between two devices; the loser is listed first, so that a weight too small
// would let it keep its place. The records' actions name the winners; in order: vendor 10 over usage
// 9; vendor and product 18 over usage and location 14; a product counts only with its vendor; usage 9
// over location 5; location 5; cookie 4; location 5 over cookie 4; location and cookie 9 tie with
// usage 9, the first wins; vendor 10 over usage 9; the primary usage when the plain one is missing;
// everything, 42; everything but the cookie, 38.
TEST_F(HidBusTest, MatchWeightsDecideBetweenDevices) {
    const int64_t devices[][6] = {
        {300, 2, 0x1000, 1, 5, 40}, {100, 1, 0x2000, 1, 6, 41}, {400, 7, 0x3000, 1, 4, 42}, {500, 9, 0x4000, 0, 0, 43}};
    std::vector<IOHIDDeviceRef> refs;
    for (const auto& [vendor, product, location, page, usage, cookie] : devices) {
        auto info = padInfo(vendor, product, location, {ElementInfo::button(9, 1)});
        info.extra = {{"DeviceUsagePage", page}, {"DeviceUsage", usage}};
        info.primaryUsagePage = 2, info.primaryUsage = 8, info.elements[0].cookie = cookie;
        refs.push_back(plug(info)->ref());
    }
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    // clang-format off
    const HIDElementConfigRecord records[] = {{1, 100, 99, 0, 1, 5, 9, 1, 0, 0, 0},
        {1, 100, 1, 0x1000, 1, 5, 9, 1, 0, 0, 0}, {0, 0, 7, 0, 0, 0, 9, 1, 0, 0, 0},
        {2, 0, 0, 0x1000, 1, 4, 9, 1, 0, 0, 0}, {2, 0, 0, 0x3000, 0, 0, 9, 1, 0, 0, 0},
        {1, 0, 0, 0, 0, 0, 9, 1, 0, 0, 41}, {2, 0, 0, 0x3000, 0, 0, 9, 1, 0, 0, 40},
        {0, 0, 0, 0x1000, 1, 4, 9, 1, 0, 0, 40}, {2, 400, 0, 0, 1, 5, 9, 1, 0, 0, 0}, {3, 0, 0, 0, 2, 8, 9, 1, 0, 0, 0},
        {0, 300, 2, 0x1000, 1, 5, 9, 1, 0, 0, 40}, {2, 400, 7, 0x3000, 1, 4, 9, 1, 0, 0, 99}};
    // clang-format on
    IOHIDDeviceRef device = nullptr;
    IOHIDElementRef element = nullptr;
    for (const auto& record : records)
        EXPECT_TRUE(HIDFindDeviceAndElement(&record, &device, &element) && device == refs[record.actionID])
            << &record - records;
}

TEST_F(ConfigTest, PreferenceTextsNeedTheWholeIdentityRoundTripUnsynchronisedAndAreReadUpTo255Bytes) {
    ASSERT_TRUE(HIDSaveElementPref(kKey, kApp, m_second, elementWithCookie(m_second, kAxis)));
    EXPECT_EQ(stored(), kSecondAxis);
    EXPECT_FALSE(onDisk()) << "synchronising is left to the caller";
    std::string padded = kSecondAxis, wide = kSecondAxis + " ";  // wide: three-byte characters
    while (wide.size() + 3 <= 255) wide += "\xE2\x82\xAC";
    padded.resize(255, ' '), wide.resize(255, ' ');
    // The location's top bit survives the 32-bit field; malformed texts, and one that names no
    // device, find nothing; all stay.
    const std::pair<std::string, const char*> texts[] = {
        // clang-format off
        {kSecondAxis, "1 second:4"}, {padded, "1 second:4"}, {padded + " ", "0 ?:?"}, {wide, "1 second:4"},
        {wide + "\xE2\x82\xAC", "0 ?:?"}, {"", "0 ?:?"}, {"garbage", "0 ?:?"},
        {"d:{v:100, p:7, l:2147491840, p:1, u:5}, e:{p:1, u:48}", "0 ?:?"},
        {"d:{v:100, p:7, l:2147491840, p:1, u:5}, e:{p:1, u:48, c:}", "0 ?:?"},
        {"d:{v:100; p:7, l:2147491840, p:1, u:5}, e:{p:1, u:48, c:4}", "0 ?:?"},
        {"d:{v:1, p:2, l:3, p:4, u:5}, e:{p:6, u:7, c:8}", "0 ?:?"}};
    // clang-format on
    for (const auto& [text, expected] : texts) {
        store(CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8));
        EXPECT_EQ(restore(), expected) << text;
        EXPECT_EQ(stored(), text);
    }
    CFPreferencesSetAppValue(kKey, nullptr, kApp);
    EXPECT_EQ(restore(), "0 ?:?");
    // A value that is not text is removed for good: the removal is synchronised.
    CFPreferencesSetAppValue(kKey, kCFBooleanTrue, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp) && onDisk());
    EXPECT_EQ(restore(), "0 ?:?");
    EXPECT_FALSE(CFPreferencesCopyAppValue(kKey, kApp) || onDisk());
    EXPECT_FALSE(HIDRestoreElementPref(nullptr, kApp, &m_found, &m_element) ||
                 HIDRestoreElementPref(kKey, nullptr, &m_found, &m_element) ||
                 HIDRestoreElementPref(kKey, kApp, nullptr, &m_element) ||
                 HIDRestoreElementPref(kKey, kApp, &m_found, nullptr));

    // Saving needs the whole identity, with the primary usage standing in for half a plain one.
    IOHIDElementRef axis = element(kAxis);
    EXPECT_FALSE(HIDSaveElementPref(nullptr, kApp, m_device, axis) ||
                 HIDSaveElementPref(kKey, nullptr, m_device, axis) || HIDSaveElementPref(kKey, kApp, nullptr, axis) ||
                 HIDSaveElementPref(kKey, kApp, m_device, nullptr));
    // clang-format off
    const std::tuple<std::optional<int64_t>, int64_t, int64_t, const char*> rows[] = {
        {std::nullopt, 5, 5, "<none>"}, {0x5000, 0, 0, "<none>"},
        {0x4000, 0, 2, "d:{v:200, p:3, l:16384, p:65280, u:2}, e:{p:9, u:1, c:2}"}};
    // clang-format on
    for (const auto& [location, plainUsage, primaryUsage, text] : rows) {
        auto info = hidDevice(200, 3, location, 0xFF00, primaryUsage);
        info.extra = {{"DeviceUsagePage", int64_t{1}}, {"DeviceUsage", plainUsage}};
        EXPECT_EQ(HIDSaveElementPref(kKey, kApp, plug(info)->ref(), element(kButton1)), *text != '<');
        EXPECT_EQ(stored(), text);
    }
}

}  // namespace
