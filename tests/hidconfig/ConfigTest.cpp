// Saving an element choice to record files and preferences, and finding it again.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ElementBus.h"
#include "HID_Config_Utilities.h"

using namespace hidconfig;

namespace {

IOHIDDeviceRef const kNoDevice = reinterpret_cast<IOHIDDeviceRef>(static_cast<uintptr_t>(0xD0));
IOHIDElementRef const kNoElement = reinterpret_cast<IOHIDElementRef>(static_cast<uintptr_t>(0xE0));

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

std::vector<unsigned char> contents(FILE* file) {
    std::rewind(file);
    std::vector<unsigned char> bytes;
    for (int c; (c = std::fgetc(file)) != EOF;) bytes.push_back(static_cast<unsigned char>(c));
    std::rewind(file);
    return bytes;
}

class ConfigTest : public BusTest {
protected:
    IOHIDDeviceRef m_found = kNoDevice;
    IOHIDElementRef m_element = kNoElement;

    void resetOuts() {
        m_found = kNoDevice;
        m_element = kNoElement;
    }
};

// ---- record files ----

TEST_F(ConfigTest, RecordRoundTripsThroughAFileInNativeByteOrder) {
    plug(padInfo(100, 7, 0x1000));
    IOHIDDeviceRef pad = plug(padInfo(100, 7, 0x80002000))->ref();
    IOHIDElementRef axis = elementWithCookie(pad, kAxis);
    IOHIDElement_SetCalibrationSaturationMin(axis, -10);
    IOHIDElement_SetCalibrationSaturationMax(axis, 200);

    File file(std::tmpfile());
    ASSERT_TRUE(file);
    HIDSaveElementConfig(file.get(), pad, axis, 77);
    const SInt32 fields[11] = {77, 100, 7, static_cast<SInt32>(0x80002000u), 1, 5, 1, 0x30, -10, 200, kAxis};
    std::vector<unsigned char> expected(44);
    std::memcpy(expected.data(), fields, 44);
    EXPECT_EQ(contents(file.get()), expected);

    // Restoring resets the calibration and puts the saturation limits back.
    IOHIDElement_SetCalibrationSaturationMin(axis, 0);
    IOHIDElement_SetCalibrationSaturationMax(axis, 0);
    IOHIDElement_SetCalibrationDeadZoneMax(axis, 3);
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    EXPECT_EQ(HIDRestoreElementConfig(file.get(), &m_found, &m_element), 77);
    EXPECT_EQ(m_found, pad);
    EXPECT_EQ(m_element, axis);
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMin(axis), -10);
    EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMax(axis), 200);
    EXPECT_EQ(IOHIDElement_GetCalibrationDeadZoneMax(axis), 0);
    EXPECT_EQ(IOHIDElement_GetCalibrationMax(axis), 255);

    std::rewind(file.get());
    m_element = kNoElement;
    EXPECT_EQ(HIDRestoreElementConfig(file.get(), nullptr, &m_element), 77);
    EXPECT_EQ(m_element, nullptr);
}

TEST_F(ConfigTest, RecordFileShorterThanARecordRestoresNothing) {
    IOHIDDeviceRef pad = plug(padInfo(100, 7, 0x1000))->ref();
    IOHIDElementRef axis = elementWithCookie(pad, kAxis);
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    HIDElementConfigRecord record;
    HIDSetElementConfig(&record, pad, axis, 5);
    record.saturationMin = 11;
    IOHIDElement_SetCalibrationSaturationMin(axis, 99);

    for (size_t length : {0, 4, 43}) {
        File file(std::tmpfile());
        ASSERT_EQ(std::fwrite(&record, 1, length, file.get()), length);
        std::rewind(file.get());
        resetOuts();
        EXPECT_EQ(HIDRestoreElementConfig(file.get(), &m_found, &m_element), 0) << length;
        EXPECT_EQ(m_found, nullptr);
        EXPECT_EQ(m_element, nullptr);
        EXPECT_EQ(IOHIDElement_GetCalibrationSaturationMin(axis), 99);
    }
    resetOuts();
    EXPECT_EQ(HIDRestoreElementConfig(nullptr, &m_found, &m_element), 0);
    EXPECT_EQ(m_found, nullptr);
    EXPECT_EQ(m_element, nullptr);
}

TEST_F(ConfigTest, RecordWithoutDeviceOrElementKeepsOnlyTheAction) {
    IOHIDDeviceRef pad = plug(padInfo(100, 7, 0x1000))->ref();
    HIDElementConfigRecord record;
    std::memset(&record, 0xFF, sizeof record);
    HIDSetElementConfig(&record, pad, nullptr, 9);
    HIDElementConfigRecord expected{};
    expected.actionID = 9;
    EXPECT_EQ(std::memcmp(&record, &expected, sizeof record), 0);

    HIDSaveElementConfig(nullptr, pad, elementWithCookie(pad, kAxis), 9);
    HIDSetElementConfig(nullptr, pad, elementWithCookie(pad, kAxis), 9);
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    EXPECT_EQ(HIDGetElementConfig(&record, &m_found, &m_element), 9);
    EXPECT_EQ(m_found, nullptr);
    EXPECT_EQ(m_element, nullptr);

    // Arguments that cannot be used are neither read nor written through.
    resetOuts();
    EXPECT_EQ(HIDGetElementConfig(nullptr, &m_found, &m_element), 0);
    EXPECT_EQ(m_found, nullptr);
    EXPECT_EQ(m_element, nullptr);
    resetOuts();
    EXPECT_EQ(HIDGetElementConfig(&record, nullptr, &m_element), 9);
    EXPECT_EQ(m_element, nullptr);
}

TEST_F(ConfigTest, RecordTakesThePlainDeviceUsageOnly) {
    auto info = padInfo(100, 7, 0x1000);
    info.extra.clear();  // primary usage only
    IOHIDDeviceRef pad = plug(info)->ref();
    HIDElementConfigRecord record;
    HIDSetElementConfig(&record, pad, elementWithCookie(pad, kButton2), 1);
    EXPECT_EQ(record.usagePage, 0u);
    EXPECT_EQ(record.usage, 0u);
    EXPECT_EQ(record.elementUsagePage, 9u);
    EXPECT_EQ(record.elementUsage, 2u);
    EXPECT_EQ(record.cookie, static_cast<UInt32>(kButton2));
}

// Devices listed by location: 0x1000, 0x2000.
class RecordMatchTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        m_first = plug(padInfo(100, 7, 0x1000))->ref();
        m_second = plug(padInfo(100, 7, 0x2000))->ref();
        ASSERT_TRUE(HIDBuildDeviceList(0, 0));
        HIDSetElementConfig(&m_record, m_second, elementWithCookie(m_second, kAxis), 3);
    }
    IOHIDDeviceRef m_first = nullptr;
    IOHIDDeviceRef m_second = nullptr;
    HIDElementConfigRecord m_record{};
};

TEST_F(RecordMatchTest, ExactDeviceFirstThenAnotherOfTheSameKind) {
    EXPECT_EQ(HIDGetElementConfig(&m_record, &m_found, &m_element), 3);
    EXPECT_EQ(m_found, m_second);
    EXPECT_EQ(m_element, elementWithCookie(m_second, kAxis));

    m_record.locID = 0x3000;
    EXPECT_EQ(HIDGetElementConfig(&m_record, &m_found, &m_element), 3);
    EXPECT_EQ(m_found, m_first);
    EXPECT_EQ(m_element, elementWithCookie(m_first, kAxis));

    // Without a location nothing is sought, although devices of the kind are present.
    m_record.locID = 0;
    resetOuts();
    EXPECT_EQ(HIDGetElementConfig(&m_record, &m_found, &m_element), 3);
    EXPECT_EQ(m_found, nullptr);
    EXPECT_EQ(m_element, nullptr);
}

TEST_F(RecordMatchTest, CookieComesBeforeUsage) {
    m_record.cookie = kButton2;
    m_record.elementUsagePage = 9;
    m_record.elementUsage = 1;
    HIDGetElementConfig(&m_record, &m_found, &m_element);
    EXPECT_EQ(m_element, elementWithCookie(m_second, kButton2));

    m_record.cookie = 99;
    HIDGetElementConfig(&m_record, &m_found, &m_element);
    EXPECT_EQ(m_element, elementWithCookie(m_second, kButton1));
}

TEST_F(RecordMatchTest, ExactDeviceWithoutTheElementTriesNoOther) {
    auto info = padInfo(100, 7, 0x500, {ElementInfo::button(9, 1)});
    plug(info);
    ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    m_record.locID = 0x500;
    m_record.cookie = kAxis;
    resetOuts();
    EXPECT_EQ(HIDGetElementConfig(&m_record, &m_found, &m_element), 3);
    EXPECT_EQ(m_found, nullptr);
    EXPECT_EQ(m_element, nullptr);
}

// ---- best match ----

TEST_F(RecordMatchTest, FindsTheSavedLocationAndKeepsTheFirstOfEqualScores) {
    EXPECT_TRUE(HIDFindDeviceAndElement(&m_record, &m_found, &m_element));
    EXPECT_EQ(m_found, m_second);
    EXPECT_EQ(m_element, elementWithCookie(m_second, kAxis));

    m_record.locID = 0;
    EXPECT_TRUE(HIDFindDeviceAndElement(&m_record, &m_found, &m_element));
    EXPECT_EQ(m_found, m_first);
    EXPECT_EQ(m_element, elementWithCookie(m_first, kAxis));

    // Without an element usage every element scores alike: the first of the best device wins.
    m_record.locID = 0x2000;
    m_record.elementUsagePage = 0;
    EXPECT_TRUE(HIDFindDeviceAndElement(&m_record, &m_found, &m_element));
    EXPECT_EQ(m_found, m_second);
    EXPECT_EQ(m_element, elementWithCookie(m_second, kCollection));
}

TEST_F(RecordMatchTest, NoElementOfTheUsageFindsNothing) {
    m_record.elementUsage = 0x99;
    resetOuts();
    EXPECT_FALSE(HIDFindDeviceAndElement(&m_record, &m_found, &m_element));
    EXPECT_EQ(m_found, kNoDevice);
    EXPECT_EQ(m_element, kNoElement);

    EXPECT_FALSE(HIDFindDeviceAndElement(nullptr, &m_found, &m_element));
    EXPECT_FALSE(HIDFindDeviceAndElement(&m_record, nullptr, &m_element));
    EXPECT_FALSE(HIDFindDeviceAndElement(&m_record, &m_found, nullptr));
    EXPECT_EQ(m_found, kNoDevice);
    EXPECT_EQ(m_element, kNoElement);

    HIDReleaseDeviceList();
    m_record.elementUsage = 0x30;
    EXPECT_FALSE(HIDFindDeviceAndElement(&m_record, &m_found, &m_element));
}

ElementInfo buttonWithCookie(IOHIDElementCookie cookie) {
    ElementInfo button = ElementInfo::button(9, 1);
    button.cookie = cookie;
    return button;
}

VirtualDeviceInfo scored(int64_t vendor, int64_t product, int64_t location, int64_t usagePage, int64_t usage,
                         IOHIDElementCookie cookie) {
    auto info = padInfo(vendor, product, location, {buttonWithCookie(cookie)});
    info.extra["DeviceUsagePage"] = usagePage;
    info.extra["DeviceUsage"] = usage;
    return info;
}

// Each weight decides between two devices; the loser is listed first, so that a weight
// too small would let it keep its place.
TEST_F(ConfigTest, ScoreWeightsDecideBetweenDevices) {
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
        HIDElementConfigRecord record{};
        record.vendorID = vendor;
        record.productID = product;
        record.locID = location;
        record.usagePage = page;
        record.usage = usage;
        record.elementUsagePage = 9;
        record.elementUsage = 1;
        record.cookie = cookie;
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
    EXPECT_EQ(winner(400, 0, 0, 1, 5, 0), w);        // vendor 10 over usage 9
    EXPECT_EQ(winner(0, 0, 0, 2, 8, 0), z);          // the primary usage when the plain one is missing
    EXPECT_EQ(winner(300, 2, 0x1000, 1, 5, 40), u);  // everything: 42
    EXPECT_EQ(winner(400, 7, 0x3000, 1, 4, 99), w);  // everything but the cookie: 38
}

// ---- preferences ----

const CFStringRef kApp = CFSTR("org.ktrq7.hidconfig-tests");

class PrefTest : public ConfigTest {
protected:
    static void SetUpTestSuite() {
        // Preferences written by these tests stay in a folder of this process's own.
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
        ConfigTest::SetUp();
        m_first = plug(padInfo(100, 7, 0x1000))->ref();
        m_second = plug(padInfo(100, 7, 0x80002000))->ref();
        ASSERT_TRUE(HIDBuildDeviceList(0, 0));
    }
    void TearDown() override {
        CFPreferencesSetAppValue(m_key, nullptr, kApp);
        ConfigTest::TearDown();
    }

    std::string stored() const {
        CFPropertyListRef value = CFPreferencesCopyAppValue(m_key, kApp);
        if (!value) return "<none>";
        std::string text = "<not text>";
        if (CFGetTypeID(value) == CFStringGetTypeID()) {
            char bytes[1024];
            if (CFStringGetCString(static_cast<CFStringRef>(value), bytes, sizeof bytes, kCFStringEncodingUTF8))
                text = bytes;
        }
        CFRelease(value);
        return text;
    }
    void store(const std::string& text) const {
        CFStringRef value = CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
        CFPreferencesSetAppValue(m_key, value, kApp);
        CFRelease(value);
    }
    bool restore() { return HIDRestoreElementPref(m_key, kApp, &m_found, &m_element); }

    static std::string s_folder;
    CFStringRef m_key = CFSTR("fire");
    IOHIDDeviceRef m_first = nullptr;
    IOHIDDeviceRef m_second = nullptr;
};
std::string PrefTest::s_folder;

const char kSecondAxis[] = "d:{v:100, p:7, l:2147491840, p:1, u:5}, e:{p:1, u:48, c:4}";

TEST_F(PrefTest, TextRoundTripsToTheSavedDevice) {
    IOHIDElementRef axis = elementWithCookie(m_second, kAxis);
    ASSERT_TRUE(HIDSaveElementPref(m_key, kApp, m_second, axis));
    EXPECT_EQ(stored(), kSecondAxis);
    // The location's top bit survives the trip through a 32-bit field.
    EXPECT_TRUE(restore());
    EXPECT_EQ(m_found, m_second);
    EXPECT_EQ(m_element, axis);
}

TEST_F(PrefTest, SavingNeedsTheWholeIdentity) {
    IOHIDElementRef axis = elementWithCookie(m_second, kAxis);
    EXPECT_FALSE(HIDSaveElementPref(nullptr, kApp, m_second, axis));
    EXPECT_FALSE(HIDSaveElementPref(m_key, nullptr, m_second, axis));
    EXPECT_FALSE(HIDSaveElementPref(m_key, kApp, nullptr, axis));
    EXPECT_FALSE(HIDSaveElementPref(m_key, kApp, m_second, nullptr));

    IOHIDDeviceRef unplaced = plug(padInfo(100, 7, std::nullopt))->ref();
    EXPECT_FALSE(HIDSaveElementPref(m_key, kApp, unplaced, elementWithCookie(unplaced, kAxis)));
    auto info = padInfo(100, 7, 0x5000);
    info.extra.clear();
    info.primaryUsage = 0;
    IOHIDDeviceRef unused = plug(info)->ref();
    EXPECT_FALSE(HIDSaveElementPref(m_key, kApp, unused, elementWithCookie(unused, kAxis)));
    EXPECT_EQ(stored(), "<none>");

    // Half a plain usage pair: the primary pair stands in.
    info = padInfo(200, 3, 0x4000);
    info.extra["DeviceUsage"] = int64_t{0};
    info.primaryUsagePage = 0xFF00;
    info.primaryUsage = 2;
    IOHIDDeviceRef primary = plug(info)->ref();
    ASSERT_TRUE(HIDSaveElementPref(m_key, kApp, primary, elementWithCookie(primary, kButton1)));
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
    };
    for (const std::string& text : texts) {
        store(text);
        resetOuts();
        EXPECT_FALSE(restore()) << text;
        EXPECT_EQ(m_found, kNoDevice);
        EXPECT_EQ(m_element, kNoElement);
        EXPECT_EQ(stored(), text);
    }
    CFPreferencesSetAppValue(m_key, nullptr, kApp);
    EXPECT_FALSE(restore());
}

TEST_F(PrefTest, ValueThatIsNotTextIsRemoved) {
    const int number = 5;
    CFNumberRef value = CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &number);
    CFPreferencesSetAppValue(m_key, value, kApp);
    CFRelease(value);
    EXPECT_FALSE(restore());
    EXPECT_EQ(stored(), "<none>");
}

TEST_F(PrefTest, TextIsReadUpTo255Bytes) {
    std::string text = kSecondAxis;
    text.resize(255, ' ');
    store(text);
    EXPECT_TRUE(restore());
    EXPECT_EQ(m_found, m_second);

    store(text + " ");
    resetOuts();
    EXPECT_FALSE(restore());
    EXPECT_EQ(m_found, kNoDevice);
    EXPECT_EQ(stored(), text + " ");

    // Three-byte characters up to 255 bytes, then one more.
    std::string wide = kSecondAxis;
    wide += " ";
    while (wide.size() + 3 <= 255) wide += "\xE2\x82\xAC";
    wide.resize(255, ' ');
    store(wide);
    EXPECT_TRUE(restore());
    store(wide + "\xE2\x82\xAC");
    EXPECT_FALSE(restore());
}

TEST_F(PrefTest, RestoringWithoutTheDeviceOrWithNullArgumentsFindsNothing) {
    store("d:{v:1, p:2, l:3, p:4, u:5}, e:{p:6, u:7, c:8}");
    EXPECT_FALSE(restore());
    store(kSecondAxis);
    EXPECT_FALSE(HIDRestoreElementPref(nullptr, kApp, &m_found, &m_element));
    EXPECT_FALSE(HIDRestoreElementPref(m_key, nullptr, &m_found, &m_element));
    EXPECT_FALSE(HIDRestoreElementPref(m_key, kApp, nullptr, &m_element));
    EXPECT_FALSE(HIDRestoreElementPref(m_key, kApp, &m_found, nullptr));
    EXPECT_EQ(m_found, kNoDevice);
    EXPECT_EQ(m_element, kNoElement);
}

}  // namespace
