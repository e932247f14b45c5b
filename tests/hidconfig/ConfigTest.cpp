// Saving an element choice to record files and preferences, and finding it again.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ElementBus.h"
#include "HID_Config_Utilities.h"

using namespace hidconfig;

namespace {

// A file holding the bytes, at its start.
FILE* fileWith(const std::vector<unsigned char>& bytes) {
    FILE* file = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

using ConfigTest = PadTest;

TEST_F(ConfigTest, RecordRoundTripsThroughAFileInNativeByteOrderAndAShortOneRestoresNothing) {
    IOHIDDeviceRef pad = plug(padInfo(100, 7, 0x80002000))->ref();
    IOHIDElementRef axis = elementWithCookie(pad, kAxis);
    IOHIDElement_SetCalibrationSaturationMin(axis, -10);
    IOHIDElement_SetCalibrationSaturationMax(axis, 200);
    FILE* file = std::tmpfile();
    HIDSaveElementConfig(file, pad, axis, 77);
    const SInt32 fields[11] = {77, 100, 7, static_cast<SInt32>(0x80002000u), 1, 5, 1, 0x30, -10, 200, kAxis};
    std::vector<unsigned char> bytes(44);
    std::memcpy(bytes.data(), fields, 44);
    std::vector<unsigned char> written(45);
    std::rewind(file);
    written.resize(std::fread(written.data(), 1, written.size(), file));
    EXPECT_EQ(written, bytes);

    // Restoring resets the calibration and puts the saturation limits back.
    IOHIDElement_SetCalibrationSaturationMin(axis, 0);
    IOHIDElement_SetCalibrationDeadZoneMax(axis, 3);
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    std::rewind(file);
    EXPECT_EQ(HIDRestoreElementConfig(file, &m_found, &m_element), 77);
    EXPECT_EQ(outs(), Outs(pad, axis));
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMin(axis), -10);
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMax(axis), 200);
    EXPECT_EQ(IOHIDElement_GetCalibrationDeadZoneMax(axis), 0);
    EXPECT_EQ(IOHIDElement_GetCalibrationMax(axis), 255);
    std::rewind(file);
    m_element = kNoElement;
    EXPECT_EQ(HIDRestoreElementConfig(file, nullptr, &m_element), 77);
    EXPECT_EQ(m_element, nullptr);
    std::fclose(file);

    IOHIDElement_SetCalibrationSaturationMin(axis, 99);
    for (size_t length : {0, 4, 43}) {
        file = fileWith(std::vector<unsigned char>(bytes.begin(), bytes.begin() + length));
        resetOuts();
        EXPECT_EQ(HIDRestoreElementConfig(file, &m_found, &m_element), 0) << length;
        EXPECT_EQ(outs(), kFoundNothing);
        EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMin(axis), 99);
        std::fclose(file);
    }
    resetOuts();
    EXPECT_EQ(HIDRestoreElementConfig(nullptr, &m_found, &m_element), 0);
    EXPECT_EQ(outs(), kFoundNothing);
}

TEST_F(ConfigTest, RecordWithoutElementKeepsOnlyTheActionAndNullArgumentsAreNotUsed) {
    HIDElementConfigRecord record;
    std::memset(&record, 0xFF, sizeof record);
    HIDSetElementConfig(&record, m_device, nullptr, 9);
    HIDElementConfigRecord expected{};
    expected.actionID = 9;
    EXPECT_EQ(std::memcmp(&record, &expected, sizeof record), 0);

    HIDSaveElementConfig(nullptr, m_device, element(kAxis), 9);
    HIDSetElementConfig(nullptr, m_device, element(kAxis), 9);
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    EXPECT_EQ(HIDGetElementConfig(&record, &m_found, &m_element), 9);
    EXPECT_EQ(outs(), kFoundNothing);
    resetOuts();
    EXPECT_EQ(HIDGetElementConfig(nullptr, &m_found, &m_element), 0);
    EXPECT_EQ(outs(), kFoundNothing);
    resetOuts();
    EXPECT_EQ(HIDGetElementConfig(&record, nullptr, &m_element), 9);
    EXPECT_EQ(m_element, nullptr);

    // Only the plain device usage is recorded, not the primary one.
    auto info = padInfo(100, 8, 0x2000);
    info.extra.clear();
    IOHIDDeviceRef primaryOnly = plug(info)->ref();
    HIDSetElementConfig(&record, primaryOnly, elementWithCookie(primaryOnly, kButton2), 1);
    EXPECT_EQ(record.usagePage, 0u);
    EXPECT_EQ(record.usage, 0u);
    EXPECT_EQ(record.cookie, static_cast<UInt32>(kButton2));
}

// Devices listed by location: the pad at 0x1000, m_second at 0x2000; the record names m_second's axis.
class RecordMatchTest : public PadTest {
protected:
    void SetUp() override {
        PadTest::SetUp();
        m_second = plug(padInfo(100, 7, 0x2000))->ref();
        ASSERT_TRUE(HIDBuildDeviceList(0, 0));
        HIDSetElementConfig(&m_record, m_second, elementWithCookie(m_second, kAxis), 3);
    }
    int get() { return HIDGetElementConfig(&m_record, &m_found, &m_element); }
    bool find() { return HIDFindDeviceAndElement(&m_record, &m_found, &m_element); }
    static Outs on(IOHIDDeviceRef device, IOHIDElementCookie cookie) {
        return {device, elementWithCookie(device, cookie)};
    }
    IOHIDDeviceRef m_second = nullptr;
    HIDElementConfigRecord m_record{};
};

TEST_F(RecordMatchTest, ExactDeviceFirstThenAnotherOfTheSameKind) {
    EXPECT_EQ(get(), 3);
    EXPECT_EQ(outs(), on(m_second, kAxis));
    m_record.locID = 0x3000;
    EXPECT_EQ(get(), 3);
    EXPECT_EQ(outs(), on(m_device, kAxis));

    // The cookie comes before the usage.
    m_record.cookie = kButton2;
    m_record.elementUsagePage = 9;
    m_record.elementUsage = 1;
    get();
    EXPECT_EQ(outs(), on(m_device, kButton2));
    m_record.cookie = 99;
    get();
    EXPECT_EQ(outs(), on(m_device, kButton1));

    // Without a location nothing is sought, although devices of the kind are present.
    m_record.locID = 0;
    resetOuts();
    EXPECT_EQ(get(), 3);
    EXPECT_EQ(outs(), kFoundNothing);

    // The exact device without the element: no other is tried.
    plug(padInfo(100, 7, 0x500, {ElementInfo::button(9, 1)}));
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    m_record = {3, 100, 7, 0x500, 1, 5, 1, 0x30, 0, 0, kAxis};
    resetOuts();
    EXPECT_EQ(get(), 3);
    EXPECT_EQ(outs(), kFoundNothing);
}

TEST_F(RecordMatchTest, BestMatchPrefersTheSavedLocationKeepsTheFirstOfEqualScoresAndMayFindNothing) {
    EXPECT_TRUE(find());
    EXPECT_EQ(outs(), on(m_second, kAxis));
    m_record.locID = 0;
    EXPECT_TRUE(find());
    EXPECT_EQ(outs(), on(m_device, kAxis));
    // Without an element usage every element scores alike: the first of the best device wins.
    m_record.locID = 0x2000;
    m_record.elementUsagePage = 0;
    EXPECT_TRUE(find());
    EXPECT_EQ(outs(), on(m_second, kCollection));

    // No element of the usage, or null arguments: nothing found, outs untouched.
    resetOuts();
    m_record.elementUsagePage = 1;
    m_record.elementUsage = 0x99;
    EXPECT_FALSE(find());
    m_record.elementUsage = 0x30;
    EXPECT_FALSE(HIDFindDeviceAndElement(nullptr, &m_found, &m_element));
    EXPECT_FALSE(HIDFindDeviceAndElement(&m_record, nullptr, &m_element));
    EXPECT_FALSE(HIDFindDeviceAndElement(&m_record, &m_found, nullptr));
    EXPECT_EQ(outs(), kOutsUntouched);
    HIDReleaseDeviceList();
    EXPECT_FALSE(find());
}

VirtualDeviceInfo scored(int64_t vendor, int64_t product, int64_t location, int64_t usagePage, int64_t usage,
                         IOHIDElementCookie cookie) {
    ElementInfo button = ElementInfo::button(9, 1);
    button.cookie = cookie;
    auto info = padInfo(vendor, product, location, {button});
    info.extra = {{"DeviceUsagePage", usagePage}, {"DeviceUsage", usage}};
    return info;
}

// Each weight decides between two devices; the loser is listed first, so that a weight
// too small would let it keep its place.
using ScoreTest = HidBusTest;

TEST_F(ScoreTest, WeightsDecideBetweenDevices) {
    IOHIDDeviceRef u = plug(scored(300, 2, 0x1000, 1, 5, 40))->ref();
    IOHIDDeviceRef v = plug(scored(100, 1, 0x2000, 1, 6, 41))->ref();
    IOHIDDeviceRef w = plug(scored(400, 7, 0x3000, 1, 4, 42))->ref();
    auto primaryOnly = scored(500, 9, 0x4000, 0, 0, 43);
    primaryOnly.extra.clear();
    primaryOnly.primaryUsagePage = 2;
    primaryOnly.primaryUsage = 8;
    IOHIDDeviceRef z = plug(primaryOnly)->ref();
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    auto winner = [&](SInt32 vendor, SInt32 product, SInt32 location, UInt32 page, UInt32 usage, UInt32 cookie) {
        const HIDElementConfigRecord record{0, vendor, product, location, page, usage, 9, 1, 0, 0, cookie};
        IOHIDDeviceRef device = nullptr;
        IOHIDElementRef element = nullptr;
        EXPECT_TRUE(HIDFindDeviceAndElement(&record, &device, &element));
        return device;
    };
    EXPECT_EQ(winner(100, 99, 0, 1, 5, 0), v);       // vendor 10 over usage 9
    EXPECT_EQ(winner(100, 1, 0x1000, 1, 5, 0), v);   // vendor and product 18 over usage and location 14
    EXPECT_EQ(winner(0, 7, 0, 0, 0, 0), u);          // a product counts only with its vendor
    EXPECT_EQ(winner(0, 0, 0x1000, 1, 4, 0), w);     // usage 9 over location 5
    EXPECT_EQ(winner(0, 0, 0x3000, 0, 0, 0), w);     // location 5
    EXPECT_EQ(winner(0, 0, 0, 0, 0, 41), v);         // cookie 4
    EXPECT_EQ(winner(0, 0, 0x3000, 0, 0, 40), w);    // location 5 over cookie 4
    EXPECT_EQ(winner(0, 0, 0x1000, 1, 4, 40), u);    // location and cookie 9 tie with usage 9: the first
    EXPECT_EQ(winner(400, 0, 0, 1, 5, 0), w);        // vendor 10 over usage 9
    EXPECT_EQ(winner(0, 0, 0, 2, 8, 0), z);          // the primary usage when the plain one is missing
    EXPECT_EQ(winner(300, 2, 0x1000, 1, 5, 40), u);  // everything: 42
    EXPECT_EQ(winner(400, 7, 0x3000, 1, 4, 99), w);  // everything but the cookie: 38
}

const CFStringRef kApp = CFSTR("org.ktrq7.hidconfig-tests");
const CFStringRef kKey = CFSTR("fire");
const char kSecondAxis[] = "d:{v:100, p:7, l:2147491840, p:1, u:5}, e:{p:1, u:48, c:4}";

// The pad and m_second at 0x80002000, listed; preferences in a folder of this process's own.
class PrefTest : public PadTest {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/hidconfig-prefs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        s_folder = pattern;
        setenv("XDG_CONFIG_HOME", pattern, 1);
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        std::filesystem::remove_all(s_folder, ignored);
    }
    void SetUp() override {
        PadTest::SetUp();
        m_second = plug(padInfo(100, 7, 0x80002000))->ref();
        ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    }
    void TearDown() override {
        CFPreferencesSetAppValue(kKey, nullptr, kApp);
        PadTest::TearDown();
    }

    static std::string stored() {
        CFPropertyListRef value = CFPreferencesCopyAppValue(kKey, kApp);
        if (!value) return "<none>";
        char bytes[1024] = "<not text>";
        if (CFGetTypeID(value) == CFStringGetTypeID())
            CFStringGetCString(static_cast<CFStringRef>(value), bytes, sizeof bytes, kCFStringEncodingUTF8);
        CFRelease(value);
        return bytes;
    }
    static void store(const std::string& text) {
        CFStringRef value = CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
        CFPreferencesSetAppValue(kKey, value, kApp);
        CFRelease(value);
    }
    bool restore() { return HIDRestoreElementPref(kKey, kApp, &m_found, &m_element); }

    static std::string s_folder;
    IOHIDDeviceRef m_second = nullptr;
};
std::string PrefTest::s_folder;

TEST_F(PrefTest, TextRoundTripsToTheSavedDeviceAndIsReadUpTo255Bytes) {
    IOHIDElementRef axis = elementWithCookie(m_second, kAxis);
    ASSERT_TRUE(HIDSaveElementPref(kKey, kApp, m_second, axis));
    EXPECT_EQ(stored(), kSecondAxis);
    // The location's top bit survives the trip through a 32-bit field.
    EXPECT_TRUE(restore());
    EXPECT_EQ(outs(), Outs(m_second, axis));

    // Up to 255 bytes are read.
    std::string text = kSecondAxis;
    text.resize(255, ' ');
    store(text);
    EXPECT_TRUE(restore());
    store(text + " ");
    resetOuts();
    EXPECT_FALSE(restore());
    EXPECT_EQ(outs(), kOutsUntouched);
    EXPECT_EQ(stored(), text + " ");
    // Three-byte characters up to 255 bytes, then one more.
    std::string wide = std::string(kSecondAxis) + " ";
    while (wide.size() + 3 <= 255) wide += "\xE2\x82\xAC";
    wide.resize(255, ' ');
    store(wide);
    EXPECT_TRUE(restore());
    store(wide + "\xE2\x82\xAC");
    EXPECT_FALSE(restore());
}

TEST_F(PrefTest, SavingNeedsTheWholeIdentity) {
    IOHIDElementRef axis = elementWithCookie(m_second, kAxis);
    EXPECT_FALSE(HIDSaveElementPref(nullptr, kApp, m_second, axis));
    EXPECT_FALSE(HIDSaveElementPref(kKey, nullptr, m_second, axis));
    EXPECT_FALSE(HIDSaveElementPref(kKey, kApp, nullptr, axis));
    EXPECT_FALSE(HIDSaveElementPref(kKey, kApp, m_second, nullptr));
    IOHIDDeviceRef unplaced = plug(padInfo(100, 7, std::nullopt))->ref();
    EXPECT_FALSE(HIDSaveElementPref(kKey, kApp, unplaced, elementWithCookie(unplaced, kAxis)));
    auto info = padInfo(100, 7, 0x5000);
    info.extra.clear();
    info.primaryUsage = 0;
    IOHIDDeviceRef unused = plug(info)->ref();
    EXPECT_FALSE(HIDSaveElementPref(kKey, kApp, unused, elementWithCookie(unused, kAxis)));
    EXPECT_EQ(stored(), "<none>");

    // Half a plain usage pair: the primary pair stands in.
    info = padInfo(200, 3, 0x4000);
    info.extra["DeviceUsage"] = int64_t{0};
    info.primaryUsagePage = 0xFF00;
    info.primaryUsage = 2;
    IOHIDDeviceRef primary = plug(info)->ref();
    ASSERT_TRUE(HIDSaveElementPref(kKey, kApp, primary, elementWithCookie(primary, kButton1)));
    EXPECT_EQ(stored(), "d:{v:200, p:3, l:16384, p:65280, u:2}, e:{p:9, u:1, c:2}");
}

TEST_F(PrefTest, MalformedTextsFindNothingAndStay) {
    const std::string texts[] = {
        "",
        "garbage",
        "d:{v:100, p:7, l:2147491840, p:1, u:5}, e:{p:1, u:48}",
        "d:{v:100, p:7, l:2147491840, p:1, u:5}, e:{p:1, u:48, c:}",
        "d:{v:100; p:7, l:2147491840, p:1, u:5}, e:{p:1, u:48, c:4}",
        "e:{p:1, u:48, c:4}",
        "d:{v:1, p:2, l:3, p:4, u:5}, e:{p:6, u:7, c:8}",  // well formed, but no such device
    };
    for (const std::string& text : texts) {
        store(text);
        resetOuts();
        EXPECT_FALSE(restore()) << text;
        EXPECT_EQ(outs(), kOutsUntouched);
        EXPECT_EQ(stored(), text);
    }
    CFPreferencesSetAppValue(kKey, nullptr, kApp);
    EXPECT_FALSE(restore());

    // A value that is not text is removed.
    const int number = 5;
    CFNumberRef value = CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &number);
    CFPreferencesSetAppValue(kKey, value, kApp);
    CFRelease(value);
    EXPECT_FALSE(restore());
    EXPECT_EQ(stored(), "<none>");

    store(kSecondAxis);
    EXPECT_FALSE(HIDRestoreElementPref(nullptr, kApp, &m_found, &m_element));
    EXPECT_FALSE(HIDRestoreElementPref(kKey, nullptr, &m_found, &m_element));
    EXPECT_FALSE(HIDRestoreElementPref(kKey, kApp, nullptr, &m_element));
    EXPECT_FALSE(HIDRestoreElementPref(kKey, kApp, &m_found, nullptr));
    EXPECT_EQ(outs(), kOutsUntouched);
}

}  // namespace
