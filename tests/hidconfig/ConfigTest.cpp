// Watching elements for the control the user moves, and saving that choice to record files and
// preferences and finding it again. Controls are moved from another thread for as long as a watch
// runs; watches that must find nothing get short time-outs.
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "ElementBus.h"

using namespace hidconfig;

namespace {

const float kLongWatch = 60.0f, kShortWatch = 0.2f;  // processor seconds; the long one only ends a failing test

// Moves an element between two values until destroyed, so that a watch sees a change whenever
// its first pass happened.
class Wiggler {
public:
    Wiggler(std::shared_ptr<VirtualDevice> device, IOHIDElementCookie cookie, CFIndex a, CFIndex b)
        : m_thread([=] {
              for (bool flip = false; !m_stop; flip = !flip) {
                  device->setElementValue(cookie, flip ? b : a);
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              }
          }) {}
    ~Wiggler() { m_stop = true, m_thread.join(); }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

using WatchTest = PadTest;

// A tenth of the axis' logical range 0..255 is 25, of a button's 0..1 nothing. Outputs and features
// are not watched. A time-out shorter than one pass ends the watch after it.
TEST_F(WatchTest, SingleDeviceWatchWantsAnInputMovingBeyondATenthOfItsLogicalRange) {
    EXPECT_FALSE(HIDConfigureSingleDeviceAction(m_device, &m_element, 0));  // no list yet
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    EXPECT_FALSE(HIDConfigureSingleDeviceAction(nullptr, &m_element, 0) ||
                 HIDConfigureSingleDeviceAction(m_device, nullptr, 0) || m_element != kNoElement);
    EXPECT_FALSE(HIDConfigureSingleDeviceAction(plug(hidDevice(100, 8, 0x2000))->ref(), &m_element, kLongWatch));
    EXPECT_EQ(m_element, nullptr);
    for (float timeout : {0.0f, -1.0f, std::nanf("")}) {
        m_element = kNoElement;
        EXPECT_FALSE(HIDConfigureSingleDeviceAction(m_device, &m_element, timeout) || m_element) << timeout;
    }
    m_pad->setElementValue(kAxis, 100);
    {
        Wiggler axis(m_pad, kAxis, 100, 125), output(m_pad, kOutput, 0, 1), feature(m_pad, kFeature, 0, 1);
        EXPECT_FALSE(HIDConfigureSingleDeviceAction(m_device, &m_element, kShortWatch));
    }
    for (auto [cookie, from, to] : {std::tuple{kAxis, 100, 126}, {kButton2, 0, 1}}) {
        m_pad->setElementValue(kAxis, 100);
        Wiggler moving(m_pad, cookie, from, to);
        EXPECT_TRUE(HIDConfigureSingleDeviceAction(m_device, &m_element, kLongWatch));
        EXPECT_EQ(m_element, element(cookie));
    }
}

// A tenth of the physical range, 100 of 0..1000, is enough and 99 is not; over an empty range any
// change counts. Arrays, elements of several values, page 15, usage 0xFFFFFFFF and features, which
// come first on each device and move too, are not watched. The pad, listed first, stays still.
TEST_F(WatchTest, AllDevicesWatchWantsAnInputMovingATenthOfItsPhysicalRange) {
    EXPECT_FALSE(HIDConfigureAction(nullptr, &m_element, 0) || HIDConfigureAction(&m_found, nullptr, 0));
    EXPECT_EQ(outs(), kOutsUntouched);
    EXPECT_FALSE(HIDConfigureAction(&m_found, &m_element, 0));  // builds the missing list
    EXPECT_TRUE(HIDHaveDeviceList() && outs() == kFoundNothing);
    std::vector<ElementInfo> elements(5, ElementInfo::axis(1, 0x30, 0, 255, 0, 255));
    elements[0].isArray = true, elements[1].reportCount = 2, elements[2].usagePage = 15;
    elements[3].usage = 0xFFFFFFFF, elements[4] = ElementInfo::feature(1, 0x33, 8, 1);
    // clang-format off
    const std::tuple<int64_t, int64_t, CFIndex, CFIndex, bool> rows[] = {
        {0, 1000, 0, 99, false}, {0, 1000, 0, 100, true}, {5, 5, 3, 3, false}, {5, 5, 3, 4, true}};
    // clang-format on
    for (const auto& [physicalMin, physicalMax, from, to, moves] : rows) {
        elements.push_back(ElementInfo::axis(1, 0x31, 0, 1000, physicalMin, physicalMax));
        elements.back().initialValue = from;
        auto other = plug(padInfo(100, 9, 0x2000 + to, elements));
        elements.pop_back();
        ASSERT_TRUE(HIDBuildDeviceList(0, 0));
        Wiggler a(other, 1, 0, 200), b(other, 2, 0, 200), c(other, 3, 0, 200), d(other, 4, 0, 200), e(other, 5, 0, 1),
            axis(other, 6, from, to);
        EXPECT_EQ(HIDConfigureAction(&m_found, &m_element, moves ? kLongWatch : kShortWatch), moves);
        EXPECT_EQ(outs(), moves ? Outs(other->ref(), elementWithCookie(other->ref(), 6)) : kFoundNothing) << to;
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
        std::error_code ignored;
        CFPreferencesSetAppValue(kKey, nullptr, kApp), std::filesystem::remove_all(m_folder, ignored);
        PadTest::TearDown();
    }
    // A result and the outs as device:element; "-" for null, "?" for untouched, "pad", "second" or
    // "other" for a device and the cookie for an element.
    std::string result(long value) {
        // clang-format off
        auto name = [this](const void* p) {
            return !p ? "-" : p == kNoDevice || p == kNoElement ? "?" : p == m_device ? "pad"
                 : p == m_second ? "second" : "other";
        };
        // clang-format on
        const bool found = m_element && m_element != kNoElement;
        std::string out = std::to_string(value) + " " + name(m_found) + ":" +
                          (found ? std::to_string(IOHIDElementGetCookie(m_element)) : name(m_element));
        return resetOuts(), out;
    }
    std::string get() { return result(HIDGetElementConfig(&m_record, &m_found, &m_element)); }
    std::string find() { return result(HIDFindDeviceAndElement(&m_record, &m_found, &m_element)); }
    std::string restore() { return result(HIDRestoreElementPref(kKey, kApp, &m_found, &m_element)); }
    // Whether the key has reached the preferences file.
    bool onDisk() const {
        std::stringstream text;
        text << std::ifstream(m_folder + "/ktrq7-updater/org.ktrq7.hidconfig-tests.plist").rdbuf();
        return text.str().find("<key>fire</key>") != std::string::npos;
    }

    std::string m_folder;
    IOHIDDeviceRef m_second = nullptr;
    HIDElementConfigRecord m_record{};
};

TEST_F(ConfigTest, RecordRoundTripsThroughAFileInNativeByteOrderAndAShortOneRestoresNothing) {
    IOHIDElementRef axis = elementWithCookie(m_second, kAxis);
    IOHIDElement_SetCalibrationSaturationMin(axis, -10);
    IOHIDElement_SetCalibrationSaturationMax(axis, 200);
    FILE* file = std::tmpfile();
    HIDSaveElementConfig(file, m_second, axis, 77);
    const SInt32 fields[11] = {77, 100, 7, static_cast<SInt32>(0x80002000u), 1, 5, 1, 0x30, -10, 200, kAxis};
    const auto* bytes = reinterpret_cast<const unsigned char*>(fields);
    std::vector<unsigned char> written(45);
    std::rewind(file);
    written.resize(std::fread(written.data(), 1, written.size(), file));
    EXPECT_EQ(written, std::vector<unsigned char>(bytes, bytes + 44));

    // Restoring resets the calibration and puts the saturation limits back.
    IOHIDElement_SetCalibrationSaturationMin(axis, 0), IOHIDElement_SetCalibrationDeadZoneMax(axis, 3);
    std::rewind(file);
    EXPECT_EQ(result(HIDRestoreElementConfig(file, &m_found, &m_element)), "77 second:4");
    const std::string restored =
        "cal: {min: 0, max: 255}, sat: {min: -10, max: 200}, dead: {min: 0, max: 0}, "
        "granularity:   0.00 }\n";
    EXPECT_EQ(calibration(axis), restored);
    std::rewind(file);
    EXPECT_EQ(result(HIDRestoreElementConfig(file, nullptr, &m_element)), "77 ?:-");
    std::fclose(file);
    // A record cut short, or no file at all: nothing found, no calibration touched.
    IOHIDElement_SetCalibrationDeadZoneMax(axis, 3);
    for (int length : {0, 4, 43, -1}) {
        FILE* cut = length < 0 ? nullptr : std::tmpfile();
        if (cut) std::fwrite(bytes, 1, length, cut), std::rewind(cut);
        EXPECT_EQ(result(HIDRestoreElementConfig(cut, &m_found, &m_element)), "0 -:-") << length;
        if (cut) std::fclose(cut);
    }
    EXPECT_EQ(IOHIDElement_GetCalibrationDeadZoneMax(axis), 3);

    // Without an element only the action is kept; only the plain device usage is recorded.
    HIDElementConfigRecord record, actionOnly{9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::memset(&record, 0xFF, sizeof record);
    HIDSetElementConfig(&record, m_device, nullptr, 9);
    EXPECT_EQ(std::memcmp(&record, &actionOnly, sizeof record), 0);
    auto info = padInfo(100, 8, 0x2000);
    info.extra.clear();
    IOHIDDeviceRef primaryOnly = plug(info)->ref();
    HIDSetElementConfig(&record, primaryOnly, elementWithCookie(primaryOnly, kButton2), 1);
    EXPECT_TRUE(record.usagePage == 0 && record.usage == 0 && record.cookie == kButton2);
    // Null arguments are not written through.
    HIDSaveElementConfig(nullptr, m_device, element(kAxis), 9),
        HIDSetElementConfig(nullptr, m_device, element(kAxis), 9);
    EXPECT_EQ(result(HIDGetElementConfig(nullptr, &m_found, &m_element)), "0 -:-");
    EXPECT_EQ(result(HIDGetElementConfig(&record, nullptr, &m_element)), "1 ?:-");
}

TEST_F(ConfigTest, RecordFindsItsExactDeviceFirstThenAnotherOfTheSameKind) {
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
}

TEST_F(ConfigTest, BestMatchWithoutElementUsageIsTheFirstElementAndNoMatchLeavesTheOutsAlone) {
    m_record.elementUsagePage = 0;
    EXPECT_EQ(find(), "1 second:1");
    m_record.elementUsagePage = 1, m_record.elementUsage = 0x99;
    EXPECT_EQ(find(), "0 ?:?");
    m_record.elementUsage = 0x30;
    EXPECT_FALSE(HIDFindDeviceAndElement(nullptr, &m_found, &m_element) ||
                 HIDFindDeviceAndElement(&m_record, nullptr, &m_element) ||
                 HIDFindDeviceAndElement(&m_record, &m_found, nullptr));
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
    for (const auto& record : records) {
        IOHIDDeviceRef device = nullptr;
        IOHIDElementRef element = nullptr;
        EXPECT_TRUE(HIDFindDeviceAndElement(&record, &device, &element) && device == refs[record.actionID])
            << &record - records;
    }
}

TEST_F(ConfigTest, PreferenceTextRoundTripsUnsynchronisedAndOnlyTextsOfUpTo255BytesAreRead) {
    ASSERT_TRUE(HIDSaveElementPref(kKey, kApp, m_second, elementWithCookie(m_second, kAxis)));
    EXPECT_EQ(stored(), kSecondAxis);
    EXPECT_FALSE(onDisk()) << "synchronising is left to the caller";
    std::string padded = kSecondAxis, wide = kSecondAxis + " ";  // wide: three-byte characters
    while (wide.size() + 3 <= 255) wide += "\xE2\x82\xAC";
    padded.resize(255, ' '), wide.resize(255, ' ');
    // The location's top bit survives the 32-bit field; malformed texts, and one that names no
    // device, find nothing; all stay.
    const std::pair<std::string, const char*> rows[] = {
        // clang-format off
        {kSecondAxis, "1 second:4"}, {padded, "1 second:4"}, {padded + " ", "0 ?:?"}, {wide, "1 second:4"},
        {wide + "\xE2\x82\xAC", "0 ?:?"}, {"", "0 ?:?"}, {"garbage", "0 ?:?"},
        {"d:{v:100, p:7, l:2147491840, p:1, u:5}, e:{p:1, u:48}", "0 ?:?"},
        {"d:{v:100, p:7, l:2147491840, p:1, u:5}, e:{p:1, u:48, c:}", "0 ?:?"},
        {"d:{v:100; p:7, l:2147491840, p:1, u:5}, e:{p:1, u:48, c:4}", "0 ?:?"},
        {"d:{v:1, p:2, l:3, p:4, u:5}, e:{p:6, u:7, c:8}", "0 ?:?"}};
    // clang-format on
    for (const auto& [text, expected] : rows) {
        store(CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8));
        EXPECT_EQ(restore(), expected) << text;
        EXPECT_EQ(stored(), text);
    }
    CFPreferencesSetAppValue(kKey, nullptr, kApp);
    EXPECT_EQ(restore(), "0 ?:?");
    // A value that is not text is removed for good: the removal is synchronised.
    const int number = 5;
    store(CFNumberCreate(nullptr, kCFNumberIntType, &number));
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp) && onDisk());
    EXPECT_EQ(restore(), "0 ?:?");
    EXPECT_FALSE(CFPreferencesCopyAppValue(kKey, kApp) || onDisk());
    EXPECT_FALSE(HIDRestoreElementPref(nullptr, kApp, &m_found, &m_element) ||
                 HIDRestoreElementPref(kKey, nullptr, &m_found, &m_element) ||
                 HIDRestoreElementPref(kKey, kApp, nullptr, &m_element) ||
                 HIDRestoreElementPref(kKey, kApp, &m_found, nullptr));
}

TEST_F(ConfigTest, SavingAPreferenceNeedsTheWholeIdentityWithThePrimaryUsageStandingInForHalfAPlainOne) {
    IOHIDElementRef axis = elementWithCookie(m_second, kAxis);
    EXPECT_FALSE(HIDSaveElementPref(nullptr, kApp, m_second, axis) ||
                 HIDSaveElementPref(kKey, nullptr, m_second, axis) || HIDSaveElementPref(kKey, kApp, nullptr, axis) ||
                 HIDSaveElementPref(kKey, kApp, m_second, nullptr));
    const std::tuple<std::optional<int64_t>, int64_t, int64_t, const char*> rows[] = {
        {std::nullopt, 5, 5, "<none>"},
        {0x5000, 0, 0, "<none>"},
        {0x4000, 0, 2, "d:{v:200, p:3, l:16384, p:65280, u:2}, e:{p:9, u:1, c:2}"}};
    for (const auto& [location, plainUsage, primaryUsage, text] : rows) {
        auto info = padInfo(200, 3, location);
        info.extra["DeviceUsage"] = plainUsage;
        info.primaryUsagePage = 0xFF00, info.primaryUsage = primaryUsage;
        IOHIDDeviceRef device = plug(info)->ref();
        EXPECT_EQ(HIDSaveElementPref(kKey, kApp, device, elementWithCookie(device, kButton1)), *text != '<');
        EXPECT_EQ(stored(), text);
    }
}

}  // namespace
