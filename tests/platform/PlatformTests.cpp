// The CoreFoundation and IOKit HID stand-in as the application and the HID utility library rely on it:
// strings, numbers and collections; bundles, file URLs, XML property lists and preferences on disk; the
// HID manager's matching, announcements, removal, input reports into the caller's buffer, synchronous
// output reports and callbacks only on the run loop an object is scheduled on; the devices' elements,
// values and queues; service lookup. Ownership faults (a retain too few or too many) show as
// use-after-free or leaks in the sanitizer build.
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <gtest/gtest.h>
#include <ktrplatform/RunLoopHook.h>
#include <ktrplatform/VirtualHidBus.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "TestSupport.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ktrplatform::ElementInfo;
using ktrplatform::VirtualDevice;
using ktrplatform::VirtualDeviceInfo;

namespace {

struct Releaser {
    void operator()(const void* p) const { CFRelease(p); }
};
template <class T>
using Owned = std::unique_ptr<std::remove_pointer_t<T>, Releaser>;
template <class T>
Owned<T> own(T p) {
    return Owned<T>(p);
}

CFStringRef str(const char* utf8) { return CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8); }
Owned<CFNumberRef> sint64(int64_t v) { return own(CFNumberCreate(nullptr, kCFNumberSInt64Type, &v)); }
Owned<CFNumberRef> float64(double v) { return own(CFNumberCreate(nullptr, kCFNumberFloat64Type, &v)); }

// "(null)" for null and what is no string.
std::string text(CFTypeRef s) {
    const char* p = CFStringGetCStringPtr(static_cast<CFStringRef>(s), kCFStringEncodingUTF8);
    return p ? p : "(null)";
}

std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    auto s = own(CFStringCreateWithFormatAndArguments(nullptr, nullptr, own(str(fmt)).get(), args));
    va_end(args);
    return text(s.get());
}

// 64-bit numbers under the given keys.
CFMutableDictionaryRef numbers(std::initializer_list<std::pair<const char*, int64_t>> entries) {
    CFMutableDictionaryRef d =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    for (const auto& [key, value] : entries) CFDictionarySetValue(d, own(str(key)).get(), sint64(value).get());
    return d;
}

// Whether the number fitted the type, and what was written.
template <class T>
std::pair<bool, T> get(const Owned<CFNumberRef>& n, CFNumberType type) {
    T out{};
    const bool fitted = CFNumberGetValue(n.get(), type, &out);
    return {fitted, out};
}

// A fresh folder, removed with everything in it at the end.
struct TempFolder {
    char path[32] = "/tmp/ktr-platform-XXXXXX";
    TempFolder() { EXPECT_NE(mkdtemp(path), nullptr); }
    ~TempFolder() { fs::remove_all(path); }
};

Owned<CFPropertyListRef> parse(const std::string& xml, CFOptionFlags options = 0, CFStringRef* error = nullptr) {
    auto data = own(CFDataCreate(nullptr, (const UInt8*)xml.data(), (CFIndex)xml.size()));
    return own(CFPropertyListCreateFromXMLData(nullptr, data.get(), options, error));
}

std::string plist(const std::string& body) { return "<plist version=\"1.0\">" + body + "</plist>"; }

std::string nested(size_t depth) {
    std::string open, close;
    for (size_t i = 0; i < depth; ++i) open += "<array>", close += "</array>";
    return plist(open + close);
}

// Cookies by position: 1 the application collection, 2 and 3 buttons, 4 the axis,
// 5 an output, 6 a feature, 7 a report collection, 8 a relative wheel inside it.
VirtualDeviceInfo joystick(std::optional<int64_t> location, int64_t page = 0xFF00) {
    VirtualDeviceInfo info;
    std::tie(info.vendorID, info.locationID, info.primaryUsagePage) = std::make_tuple(0x4D2A, location, page);
    ElementInfo axis = ElementInfo::axis(1, 0x30, -127, 127, -1000, 1000),
                wheel = ElementInfo::axis(1, 0x38, 0, 0, -4, 9);
    axis.initialValue = 5;
    wheel.isRelative = true;
    info.elements = {
        ElementInfo::collection(kIOHIDElementCollectionTypeApplication, 1, 4,
                                {ElementInfo::button(9, 1), ElementInfo::button(9, 2), axis,
                                 ElementInfo::output(8, 1, 1, 1), ElementInfo::feature(0xFF00, 1, 8, 4),
                                 ElementInfo::collection(kIOHIDElementCollectionTypeReport, 1, 0, {wheel})})};
    return info;
}

// Devices plugged in a test are gone after it, with the work posted for them.
struct HidPlatform : ::testing::Test {
    std::vector<std::shared_ptr<VirtualDevice>> devices;
    std::shared_ptr<VirtualDevice> plug(const VirtualDeviceInfo& info) {
        devices.push_back(VirtualDevice::create(info));
        devices.back()->attach();
        return devices.back();
    }
    void TearDown() override {
        devices.clear();
        while (CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true) == kCFRunLoopRunHandledSource) continue;
    }
};

struct Events {
    std::vector<void*> arrived, removed;               // devices, or removal senders
    std::vector<std::pair<CFIndex, uint8_t>> reports;  // length, and the buffer's first byte as the callback saw it
    std::thread::id thread;
    static Events& of(void* context) { return *static_cast<Events*>(context); }
};
void onArrival(void* c, IOReturn, void*, IOHIDDeviceRef d) {
    Events::of(c).arrived.push_back(d);
    Events::of(c).thread = std::this_thread::get_id();
}
void onManagerRemoval(void* c, IOReturn, void*, IOHIDDeviceRef d) { Events::of(c).removed.push_back(d); }
void onRemoval(void* c, IOReturn, void* sender) { Events::of(c).removed.push_back(sender); }
void onReport(void* c, IOReturn, void*, IOHIDReportType, uint32_t, uint8_t* r, CFIndex n) {
    Events::of(c).reports.emplace_back(n, r[0]);
}

std::vector<IOHIDElementRef> elementsOf(IOHIDDeviceRef device, CFDictionaryRef matching = nullptr) {
    auto all = own(IOHIDDeviceCopyMatchingElements(device, matching, 0));
    std::vector<IOHIDElementRef> out;
    for (CFIndex i = 0; all && i < CFArrayGetCount(all.get()); ++i)
        out.push_back((IOHIDElementRef)CFArrayGetValueAtIndex(all.get(), i));
    return out;  // the device keeps them
}

CFIndex current(IOHIDElementRef e) {
    IOHIDValueRef v = nullptr;
    return IOHIDDeviceGetValue(IOHIDElementGetDevice(e), e, &v) ? -999 : IOHIDValueGetIntegerValue(v);
}

std::vector<CFIndex> drain(IOHIDQueueRef queue) {
    std::vector<CFIndex> out;
    while (auto v = own(IOHIDQueueCopyNextValue(queue))) out.push_back(IOHIDValueGetIntegerValue(v.get()));
    return out;
}

Owned<IOHIDQueueRef> runningQueue(IOHIDDeviceRef device, CFIndex depth, IOHIDElementRef e) {
    auto queue = own(IOHIDQueueCreate(nullptr, device, depth, 0));
    IOHIDQueueAddElement(queue.get(), e);
    IOHIDQueueStart(queue.get());
    return queue;
}

}  // namespace

TEST(CFCoreString, CStringsFitTheBufferOrFailWithoutWritingPastItAndMalformedUtf8IsRefused) {
    const char *cafe = "caf\xC3\xA9", *euros = "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC";  // 3 characters, 9 bytes
    const std::tuple<const char*, CFIndex, CFStringEncoding, const char*> cases[] = {
        {"abc", 3, kCFStringEncodingUTF8, nullptr},        {"abc", 4, kCFStringEncodingASCII, "abc"},
        {"abc", 0, kCFStringEncodingUTF8, nullptr},        {euros, 9, kCFStringEncodingUTF8, nullptr},
        {cafe, 9, kCFStringEncodingASCII, nullptr},        {cafe, 9, kCFStringEncodingISOLatin1, "caf\xE9"},
        {euros + 6, 9, kCFStringEncodingMacRoman, "\xDB"}, {cafe, 9, kCFStringEncodingMacRoman, "caf\x8E"},
        {nullptr, 9, kCFStringEncodingUTF8, nullptr},      {euros, 9, 0x7777, nullptr}};
    for (auto [utf8, size, encoding, expected] : cases) {  // expected null: refused
        char buf[16];
        std::memset(buf, 'X', sizeof buf);
        const bool done = CFStringGetCString(own(str(utf8)).get(), buf, size, encoding);
        EXPECT_STREQ(done ? buf : nullptr, expected) << utf8 << " in " << size << " as " << encoding;
        EXPECT_EQ(std::string(buf + size, sizeof buf - size), std::string(sizeof buf - size, 'X')) << utf8;
    }
    EXPECT_EQ(CFStringGetLength(own(str("a\U0001F600b")).get()), 4) << "U+1F600 takes two units";
    // Overlong, surrogate, above U+10FFFF, no such lead byte, cut short, lone continuation.
    for (const char* bad :
         {"\xC0\x80", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "ab\xE2\x82", "\x80"})
        EXPECT_EQ(str(bad), nullptr) << "bytes: " << bad;
    CFRelease(CFSTR("VendorID"));
    EXPECT_TRUE(CFSTR("VendorID") == CFSTR("VendorID") && text(CFSTR("VendorID")) == "VendorID") << "shared, immortal";
}

TEST(CFCoreString, ConstantStringsMadeByRacingThreadsAreOneEachAndIntact) {
    constexpr int kThreads = 8, kKeys = 1000;
    std::vector<std::vector<CFStringRef>> made(kThreads, std::vector<CFStringRef>(kKeys));
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < kKeys; ++i) {  // each thread from its own start, so that they grow the table at once
                const int k = (i + t * kKeys / kThreads) % kKeys;
                made[t][k] = __CFStringMakeConstantString(("key-" + std::to_string(k)).c_str());
            }
        });
    go = true;
    for (auto& th : threads) th.join();
    for (int k = 0; k < kKeys; ++k) {
        for (int t = 1; t < kThreads; ++t) ASSERT_EQ(made[t][k], made[0][k]) << k;
        ASSERT_EQ(text(made[0][k]), "key-" + std::to_string(k));
    }
}

TEST(CFCoreString, FormatFollowsPrintfInsertsObjectsAndCopiesWhatItCannotRead) {
    EXPECT_EQ(format("%@ %@|%@|%5d|%-5d|%05.1f|%x|0x%4.4lX", CFSTR("Vendor"), nullptr, float64(0.1).get(), 42, 42,
                     3.14159, 255, 1L),
              "Vendor (null)|0.1|   42|42   |003.1|ff|0x0001");
    EXPECT_EQ(format("%lld|%zu|%hhd|%*d|%-*d|%.*s|%s|%s|%.1s", LLONG_MIN, size_t{7}, 300, 4, 7, -3, 7, 2, "abcdef",
                     static_cast<char*>(nullptr), "a\xFF", "\xC3\xA9"),
              "-9223372036854775808|7|44|   7|7  |ab|(null)|a\xEF\xBF\xBD|\xEF\xBF\xBD");
    // Formats may come from data files: malformed conversions are copied without reading an argument.
    EXPECT_EQ(format("%y %hs 50%% %d 100%-08.3", 7), "%y %hs 50% 7 100%-08.3");
    EXPECT_LE(format("%999999999d", 1).size(), size_t{1} << 17) << "a huge width must not allocate gigabytes";
}

TEST(CFCoreNumber, ValuesThatDoNotFitAreReportedAndEqualityGoesByValueAcrossTypes) {
    EXPECT_EQ(get<int32_t>(sint64(4294967295LL), kCFNumberSInt32Type), std::make_pair(false, -1));
    EXPECT_EQ(get<int32_t>(sint64(2147483648LL), kCFNumberIntType), std::make_pair(false, INT32_MIN));
    EXPECT_EQ(get<int64_t>(float64(1e20), kCFNumberSInt64Type), std::make_pair(false, int64_t{INT64_MAX}));
    EXPECT_FALSE(get<int32_t>(float64(std::nan("")), kCFNumberSInt32Type).first);
    int8_t two = 2;
    auto a = own(CFNumberCreate(nullptr, kCFNumberSInt8Type, &two));
    EXPECT_TRUE(CFEqual(a.get(), float64(2.0).get()) && CFHash(a.get()) == CFHash(float64(2.0).get()));
    // 2^63 as a double is above every int64; a conversion to double would call them equal.
    EXPECT_FALSE(CFEqual(sint64(INT64_MAX).get(), float64(9223372036854775808.0).get()));
    EXPECT_FALSE(CFEqual(a.get(), float64(2.5).get()) || CFEqual(a.get(), kCFBooleanTrue) || CFEqual(a.get(), nullptr));
}

TEST(CFCoreCollections, SortingIsStableWithinItsRangeAndDictionariesAndSetsGoByValue) {
    using Item = std::pair<int, int>;  // key, first position
    Item items[] = {{9, 0}, {3, 1}, {1, 2}, {3, 3}, {2, 4}, {1, 5}, {3, 6}, {2, 7}, {1, 8}, {0, 9}, {9, 10}};
    auto array = own(CFArrayCreateMutable(nullptr, 0, nullptr));
    for (auto& item : items) CFArrayAppendValue(array.get(), &item);
    const auto byKey = [](const void* a, const void* b, void*) {
        const int x = static_cast<const Item*>(a)->first, y = static_cast<const Item*>(b)->first;
        return x < y ? kCFCompareLessThan : (x > y ? kCFCompareGreaterThan : kCFCompareEqualTo);
    };
    CFArraySortValues(array.get(), CFRangeMake(10, 2), byKey, nullptr);  // reaches past the end: nothing happens
    CFArraySortValues(array.get(), CFRangeMake(1, 9), byKey, nullptr);
    std::vector<int> order;
    for (CFIndex i = 0; i < 12; ++i)  // index 11 is past the end
        order.push_back(i < 11 ? static_cast<const Item*>(CFArrayGetValueAtIndex(array.get(), i))->second
                               : CFArrayGetValueAtIndex(array.get(), i) == nullptr);
    EXPECT_EQ(order, (std::vector<int>{0, 9, 2, 5, 8, 4, 7, 1, 3, 6, 10, 1}));
    auto dict = own(numbers({}));
    auto first = sint64(1), second = sint64(2);
    CFDictionarySetValue(dict.get(), CFSTR("VendorID"), first.get());
    CFDictionaryAddValue(dict.get(), CFSTR("VendorID"), second.get());
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFSTR("VendorID")), first.get());
    CFDictionarySetValue(dict.get(), own(str("VendorID")).get(), second.get());
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFSTR("VendorID")), second.get());
    std::vector<Owned<CFNumberRef>> keys;
    for (int i = 0; i < 300; ++i) CFDictionarySetValue(dict.get(), keys.emplace_back(sint64(i)).get(), CFSTR("v"));
    for (int i = 0; i < 300; i += 2) CFDictionaryRemoveValue(dict.get(), keys[i].get());
    for (int i = 0; i < 300; ++i) ASSERT_EQ(CFDictionaryContainsKey(dict.get(), keys[i].get()), i % 2 == 1) << i;
    auto set = own(CFSetCreateMutable(nullptr, 0, &kCFTypeSetCallBacks));
    for (const char* name : {"dev", "dev"}) CFSetAddValue(set.get(), own(str(name)).get());
    EXPECT_EQ(CFSetGetCount(set.get()), 1) << "a set holds equal values once";
}

TEST(CFCoreObject, ReferenceCountsHoldUnderConcurrentUseAndContainersCompareByContent) {
    auto n = sint64(7);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) CFRelease(CFRetain(n.get()));
        });
    for (auto& th : threads) th.join();
    EXPECT_TRUE(CFGetRetainCount(n.get()) == 1 && !CFRetain(nullptr));
    const UInt8 bytes[] = {0x01, 0xAB};
    auto data = own(CFDataCreate(nullptr, bytes, 2));
    const void* keys[] = {CFSTR("data"), CFSTR("flag"), CFSTR("data")};
    const void* values[] = {data.get(), kCFBooleanTrue, data.get()};
    const auto make = [&](int from) {
        return own(CFDictionaryCreate(nullptr, keys + from, values + from, 2, &kCFTypeDictionaryKeyCallBacks,
                                      &kCFTypeDictionaryValueCallBacks));
    };
    EXPECT_TRUE(CFEqual(make(0).get(), make(1).get()) && !CFEqual(make(0).get(), data.get()) &&
                !CFDataCreate(nullptr, nullptr, 3));
    EXPECT_EQ(format("%@", make(0).get()), "{\n    data = <01ab>;\n    flag = true;\n}");
}

TEST(Bundles, TheMainBundleIsTheExecutablesFolderAndFindsResourcesOnlyInsideIt) {
    const std::string exe = fs::read_symlink("/proc/self/exe").parent_path();
    CFBundleRef main = CFBundleGetMainBundle();
    EXPECT_TRUE(CFBundleGetBundleWithIdentifier(CFSTR("org.ktrq7.updater")) == main &&
                CFArrayGetValueAtIndex(CFBundleGetAllBundles(), 0) == main);
    // Name, type, folder and where it is found.
    const std::tuple<const char*, const char*, const char*, int> cases[] = {
        {"ktr_fixture", "plist", nullptr, 1},  {"ktr_fixture", ".plist", nullptr, 1},
        {"ktr_fixture.plist", nullptr, "", 1}, {"inner", "txt", "sub", 2},
        {"inner", "txt", nullptr, 0},          {"sub/inner", "txt", nullptr, 0},
        {"..", nullptr, nullptr, 0},           {"ktr_fixture", "plist", "sub/..", 0}};
    const auto cf = [](const char* s) { return s ? __CFStringMakeConstantString(s) : nullptr; };
    const std::string found[] = {"(none)", exe + "/Resources/ktr_fixture.plist", exe + "/Resources/sub/inner.txt"};
    for (const auto& [name, type, folder, where] : cases) {
        auto url = own(CFBundleCopyResourceURL(main, cf(name), cf(type), cf(folder)));
        EXPECT_EQ(url ? text(own(CFURLCopyFileSystemPath(url.get(), kCFURLPOSIXPathStyle)).get()) : "(none)",
                  found[where])
            << name << " in " << (folder ? folder : "(null)");
    }
}

TEST(FileURLs, ResourcesAreReadWholeAndOnlyFromRegularFiles) {
    TempFolder folder;
    const std::string dir = folder.path;
    std::string bytes(200000, 'x');
    bytes[0] = '\0';
    std::ofstream(dir + "/data", std::ios::binary) << bytes;
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    // Name, error (-1: any) and content; a FIFO is refused without waiting for a writer.
    const std::tuple<std::string, SInt32, std::string> cases[] = {
        {"/data", 0, bytes}, {"/missing", kCFURLResourceNotFoundError, ""}, {"", -1, ""}, {"/fifo", -1, ""}};
    for (const auto& [name, expected, content] : cases) {
        auto url = own(
            CFURLCreateWithFileSystemPath(nullptr, own(str((dir + name).c_str())).get(), kCFURLPOSIXPathStyle, false));
        CFDataRef data = nullptr;
        SInt32 error = 1;
        const bool read = CFURLCreateDataAndPropertiesFromResource(nullptr, url.get(), &data, nullptr, nullptr, &error);
        auto owned = own(data);
        EXPECT_TRUE(read == (expected == 0) && (expected < 0 ? error != 0 : error == expected)) << name << " " << error;
        EXPECT_EQ(data ? std::string((const char*)CFDataGetBytePtr(data), CFDataGetLength(data)) : "", content) << name;
    }
}

TEST(PropertyLists, XmlParsesIntoEveryKindOfValueMutableOnlyWhenAskedAndMalformedInputGivesAReason) {
    // Dates have no counterpart here and are left out.
    auto list =
        parse(plist("<dict><key>text</key><string>caf\xC3\xA9 &amp; co</string><key>n</key><integer>-5</integer>"
                    "<key>r</key><real>2.5</real><key>yes</key><true/><key>bytes</key><data>AAEC</data><key>list"
                    "</key><array><dict/></array><key>when</key><date>2020-01-01T00:00:00Z</date></dict>"));
    auto dict = (CFMutableDictionaryRef)list.get();
    CFDictionarySetValue(dict, CFSTR("new"), kCFBooleanTrue);  // immutable as asked: nothing changes
    CFArrayAppendValue((CFMutableArrayRef)CFDictionaryGetValue(dict, CFSTR("list")), kCFBooleanTrue);
    EXPECT_EQ(format("%@", list.get()),
              "{\n    text = caf\xC3\xA9 & co;\n    n = -5;\n    r = 2.5;\n    yes = true;\n    bytes = <000102>;\n"
              "    list = (\n        {\n        }\n    );\n}");
    EXPECT_TRUE(CFEqual(CFDictionaryGetValue(dict, CFSTR("n")), sint64(-5).get()) &&
                CFNumberIsFloatType((CFNumberRef)CFDictionaryGetValue(dict, CFSTR("r"))));
    auto changeable = parse(plist("<dict><key>list</key><array/></dict>"), kCFPropertyListMutableContainers);
    auto inner = (CFMutableArrayRef)CFDictionaryGetValue((CFDictionaryRef)changeable.get(), CFSTR("list"));
    CFArrayAppendValue(inner, kCFBooleanFalse);
    EXPECT_EQ(CFArrayGetCount(inner), 1);
    // Nesting deeper than any list here needs, or deep enough to overflow the stack if it were parsed; NUL
    // bytes, on which libplist asserts.
    const std::string malformed[] = {"",
                                     "not xml at all",
                                     plist("<dict><key>a</key><string>x</dict>"),
                                     plist("<date>2020-01-01T00:00:00Z</date>"),
                                     nested(70),
                                     nested(300000),
                                     std::string("<plist><string>a\0b</string></plist>", 35)};
    for (const std::string& input : malformed) {
        CFStringRef error = nullptr;
        EXPECT_EQ(parse(input, 0, &error), nullptr) << input.substr(0, 60);
        EXPECT_NE(own(error), nullptr) << input.substr(0, 60);
    }
    EXPECT_TRUE(parse(nested(60)) && !parse(plist("<true/>"), 7)) << "no such option";
}

TEST(Preferences, ValuesSurviveSynchronizeAndRemoval) {
    TempFolder home;  // each test runs in a process of its own
    setenv("XDG_CONFIG_HOME", home.path, 1);
    CFStringRef app = CFSTR("org.ktrq7.platform-test");
    const auto read = [app](CFStringRef key) { return own(CFPreferencesCopyAppValue(key, app)); };
    auto record = own(numbers({{"n", -42}}));
    CFPreferencesSetAppValue(CFSTR("record"), record.get(), app);
    CFPreferencesSetAppValue(CFSTR("text"), CFSTR("d:{v:1}"), app);
    ASSERT_TRUE(CFPreferencesAppSynchronize(app));
    // Read back from the file: synchronising let go of the copy in memory.
    EXPECT_TRUE(CFEqual(read(CFSTR("record")).get(), record.get()) && text(read(CFSTR("text")).get()) == "d:{v:1}");
    CFPreferencesSetAppValue(CFSTR("text"), nullptr, app);
    ASSERT_TRUE(CFPreferencesAppSynchronize(app));
    EXPECT_TRUE(!read(CFSTR("text")) && read(CFSTR("record")));
}

TEST_F(HidPlatform, ManagersMatchByEveryEntryAndDeviceNumbersKeepTheir32Bits) {
    plug(joystick(1));
    auto odd = plug(joystick(0x80000000LL, 1));
    auto manager = own(IOHIDManagerCreate(kCFAllocatorDefault, 0));
    const auto found = [&] { return CFSetGetCount(own(IOHIDManagerCopyDevices(manager.get())).get()); };
    IOHIDManagerSetDeviceMatching(manager.get(), nullptr);
    EXPECT_EQ(found(), 2);
    auto page1 = own(numbers({{kIOHIDPrimaryUsagePageKey, 1}})), empty = own(numbers({}));
    IOHIDManagerSetDeviceMatching(manager.get(), page1.get());
    EXPECT_EQ(found(), 1);
    const void* dicts[] = {page1.get(), empty.get()};
    IOHIDManagerSetDeviceMatchingMultiple(manager.get(),
                                          own(CFArrayCreate(nullptr, dicts, 2, &kCFTypeArrayCallBacks)).get());
    EXPECT_EQ(found(), 2) << "an empty dictionary carries no condition";
    auto location = (CFNumberRef)IOHIDDeviceGetProperty(odd->ref(), CFSTR(kIOHIDLocationIDKey));
    EXPECT_TRUE(CFEqual(location, sint64(INT32_MIN).get()) && CFNumberGetType(location) == kCFNumberSInt32Type);
    EXPECT_EQ(IOHIDDeviceGetProperty(plug(joystick(std::nullopt))->ref(), CFSTR(kIOHIDLocationIDKey)), nullptr);
}

TEST_F(HidPlatform, PresentDevicesAreAnnouncedOnceAndArrivalsOnTheScheduledLoopWhileThere) {
    plug(joystick(1));
    auto manager = own(IOHIDManagerCreate(kCFAllocatorDefault, 0));
    Events a;
    IOHIDManagerRegisterDeviceMatchingCallback(manager.get(), onArrival, &a);
    IOHIDManagerRegisterDeviceRemovalCallback(manager.get(), onManagerRemoval, &a);
    ktrtest::pumpFor(20ms);
    EXPECT_TRUE(a.arrived.empty()) << "nothing runs before the manager is scheduled";
    for (int i = 0; i < 2; ++i)
        IOHIDManagerScheduleWithRunLoop(manager.get(), CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    std::thread([&] { plug(joystick(2)); }).join();
    ASSERT_TRUE(ktrtest::pumpUntil([&] { return a.arrived.size() == 2; }));
    EXPECT_EQ(a.thread, std::this_thread::get_id());
    // One gone before its callback runs is not announced, but its removal is; nothing after unregistering.
    plug(joystick(3))->detach();
    ASSERT_TRUE(ktrtest::pumpUntil([&] { return a.removed.size() == 1; }));
    IOHIDManagerRegisterDeviceMatchingCallback(manager.get(), nullptr, nullptr);
    plug(joystick(4));
    ktrtest::pumpFor(20ms);
    EXPECT_EQ(a.arrived.size(), 2u);
}

TEST_F(HidPlatform, InputReportsFillTheBufferUpToItsSizeUntilTheRemovalAfterWhichSendsFail) {
    auto d = plug(joystick(1));
    auto ref = own((IOHIDDeviceRef)CFRetain(d->ref()));
    std::vector<uint8_t> buffer(1024 + 16, 0xEE), big(2000, 0x11), report{1, 2, 3, 4};
    Events e;
    IOHIDDeviceRegisterRemovalCallback(ref.get(), onRemoval, &e);
    IOHIDDeviceRegisterInputReportCallback(ref.get(), buffer.data(), 1024, onReport, &e);
    d->sendInput(report);
    ktrtest::pumpFor(20ms);
    EXPECT_TRUE(e.reports.empty()) << "an unscheduled device delivers nothing";
    IOHIDDeviceScheduleWithRunLoop(ref.get(), CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
    for (const auto& input : {big, std::vector<uint8_t>{0xAB, 0xCD}}) d->sendInput(input);
    EXPECT_EQ(IOHIDDeviceSetReport(ref.get(), kIOHIDReportTypeOutput, 0, report.data(), 4), kIOReturnSuccess);
    EXPECT_EQ(d->outputReports().at(0).bytes, report);
    // With no bytes, none at all, or a report ID past a byte.
    const std::tuple<const uint8_t*, CFIndex, CFIndex> bad[] = {
        {report.data(), 0, 0}, {nullptr, 0, 4}, {report.data(), 256, 4}};
    for (auto [bytes, id, length] : bad)
        EXPECT_EQ(IOHIDDeviceSetReport(ref.get(), kIOHIDReportTypeOutput, id, bytes, length), kIOReturnBadArgument)
            << id << " " << length;
    for (int i = 0; i < 2; ++i) d->detach();
    ASSERT_TRUE(ktrtest::pumpUntil([&] { return e.removed.size() == 1; }));
    // Reports come first, with their own lengths; bytes past a short report keep what they held, and
    // nothing is written past the registered size.
    EXPECT_EQ(e.reports, (std::vector<std::pair<CFIndex, uint8_t>>{{2000, 0x11}, {2, 0xAB}}));
    EXPECT_EQ((std::vector<uint8_t>{buffer[1], buffer[2], buffer[1023], buffer[1024]}),
              (std::vector<uint8_t>{0xCD, 0x11, 0x11, 0xEE}));
    EXPECT_EQ(e.removed, std::vector<void*>{ref.get()});
    EXPECT_EQ(IOHIDDeviceSetReport(ref.get(), kIOHIDReportTypeOutput, 0, report.data(), 4), kIOReturnNoDevice);
}

TEST(RunLoop, EachThreadHasItsOwnAndTheDescriptorSignalsPendingWork) {
    CFRunLoopRef main = CFRunLoopGetCurrent(), other = nullptr;
    std::thread([&] { other = CFRunLoopGetCurrent(); }).join();
    EXPECT_TRUE(main == CFRunLoopGetMain() && other != main);
    std::thread([&] { CFRunLoopStop(main); }).join();
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 30, false), kCFRunLoopRunStopped);
    pollfd p{KTRRunLoopGetWakeDescriptor(main), POLLIN, 0};
    std::thread([&] { CFRunLoopWakeUp(main); }).join();
    EXPECT_EQ(poll(&p, 1, 0), 1);
    KTRRunLoopPerformPending(main);
    EXPECT_EQ(poll(&p, 1, 0), 0) << "taken by the pass that runs the work";
}

// Unless the stop wakes the wait, the run sits out its minute.
TEST(RunLoop, AStopFromAnotherThreadWakesARunThatWaits) {
    std::atomic<pid_t> thread{0};
    CFRunLoopRef loop = nullptr;
    std::promise<SInt32> ended;
    std::thread runner([&] {
        loop = (CFRunLoopRef)CFRetain(CFRunLoopGetCurrent());  // kept past the thread for the wake-up below
        thread = gettid();
        ended.set_value(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 60, false));
    });
    const auto asleep = [&] {  // the only place the runner sleeps is the wait for work
        std::ifstream in("/proc/self/task/" + std::to_string(thread) + "/stat");
        const std::string stat(std::istreambuf_iterator<char>(in), {});
        const size_t name = stat.rfind(") ");  // the state follows the thread's name
        return name != std::string::npos && stat[name + 2] == 'S';
    };
    EXPECT_TRUE(ktrtest::pumpUntil([&] { return thread && asleep(); }));
    CFRunLoopStop(loop);
    auto result = ended.get_future();
    EXPECT_EQ(result.wait_for(10s), std::future_status::ready);
    CFRunLoopWakeUp(loop);  // lets a runner that missed the stop go without its minute
    EXPECT_EQ(result.get(), kCFRunLoopRunStopped);
    runner.join();
    CFRelease(loop);
}

TEST_F(HidPlatform, ServiceLookupConsumesTheDictionaryAndCountsReferencesToTheHandle) {
    auto d = plug(joystick(7));
    const auto lookUp = [](const char* className, int64_t location) {
        CFMutableDictionaryRef matching = IOServiceMatching(className);
        CFDictionarySetValue(matching, CFSTR(kIOHIDLocationIDKey), sint64(location).get());
        const io_service_t service = IOServiceGetMatchingService(0, (CFDictionaryRef)CFRetain(matching));
        EXPECT_EQ(CFGetRetainCount(matching), 1);
        CFRelease(matching);
        return service;
    };
    const io_service_t service = lookUp("IOHIDDevice", 7);
    EXPECT_TRUE(service && lookUp("IOHIDDevice", 7) == service && !lookUp("IOHIDDevice", 8) &&
                !lookUp("IOUSBDevice", 7));
    d->detach();
    EXPECT_EQ(lookUp("IOHIDDevice", 7), 0u) << "a departed device is not found";
    for (int expected : {kIOReturnSuccess, kIOReturnSuccess, kIOReturnBadArgument})
        EXPECT_EQ(IOObjectRelease(service), expected) << "one reference for each lookup";
}

TEST_F(HidPlatform, ElementsComeInDeviceOrderWithTheirAttributesScaledValuesAndOwnProperties) {
    IOHIDDeviceRef device = plug(joystick(1))->ref();
    const std::vector<IOHIDElementRef> all = elementsOf(device);
    ASSERT_EQ(all.size(), 8u);
    const int parents[] = {-1, 0, 0, 0, 0, 0, 0, 6};
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_TRUE(IOHIDElementGetCookie(all[i]) == i + 1 && IOHIDElementGetDevice(all[i]) == device) << i;
        EXPECT_EQ(IOHIDElementGetParent(all[i]), parents[i] < 0 ? nullptr : all[parents[i]]) << i;
    }
    IOHIDElementRef axis = all[3];
    EXPECT_EQ(
        (std::vector<CFIndex>{IOHIDElementGetType(all[4]), IOHIDElementGetUsage(axis), IOHIDElementGetLogicalMin(axis),
                              IOHIDElementGetPhysicalMax(axis), IOHIDElementIsRelative(all[7])}),
        (std::vector<CFIndex>{kIOHIDElementTypeOutput, 0x30, -127, 1000, true}));
    EXPECT_EQ(elementsOf(device, own(numbers({{"UsagePage", 9}, {"Usage", 2}})).get()),
              std::vector<IOHIDElementRef>{all[2]});
    // Logical values map onto the physical range, also beyond it; an empty physical range leaves the value.
    std::vector<double> scaled;
    for (auto [e, v] : {std::make_pair(axis, 127L), {axis, -127L}, {axis, 381L}, {all[0], 7L}, {all[7], 3L}})
        scaled.push_back(IOHIDValueGetScaledValue(own(IOHIDValueCreateWithIntegerValue(nullptr, e, 0, v)).get(),
                                                  kIOHIDValueScaleTypeCalibrated));
    EXPECT_EQ(scaled, (std::vector<double>{1000.0, -1000.0, 3000.0, 7.0, -4.0}));
    // Properties set are the element's own, and leave its attributes alone.
    auto n = sint64(-5);
    EXPECT_TRUE(IOHIDElementSetProperty(axis, CFSTR("Min"), n.get()) &&
                !IOHIDElementSetProperty(axis, CFSTR("x"), nullptr));
    EXPECT_TRUE(IOHIDElementGetProperty(axis, CFSTR("Min")) == n.get() && IOHIDElementGetLogicalMin(axis) == -127);
    EXPECT_FALSE(CFEqual(IOHIDElementGetProperty(all[7], CFSTR("Min")), n.get()));
}

TEST_F(HidPlatform, CurrentValuesAreHandedOutUntilAskedForAgainAndQueuesTakeChangesWhileRunning) {
    auto d = plug(joystick(1));
    const std::vector<IOHIDElementRef> all = elementsOf(d->ref());
    IOHIDElementRef elsewhere = elementsOf(plug(joystick(2))->ref())[3];
    IOHIDValueRef first = nullptr, other = nullptr, v = nullptr;
    ASSERT_EQ(IOHIDDeviceGetValue(d->ref(), all[3], &first), kIOReturnSuccess);
    EXPECT_TRUE(d->setElementValue(4, -90) && !d->setElementValue(99, 1));
    ASSERT_EQ(IOHIDDeviceGetValue(d->ref(), all[1], &other), kIOReturnSuccess);
    EXPECT_EQ(
        (std::vector<CFIndex>{IOHIDValueGetIntegerValue(first), current(all[3]), IOHIDValueGetIntegerValue(other)}),
        (std::vector<CFIndex>{5, -90, 0}));
    EXPECT_TRUE(IOHIDDeviceGetValue(d->ref(), elsewhere, &v) == kIOReturnBadArgument &&
                IOHIDDeviceGetValue(d->ref(), all[3], nullptr) == kIOReturnBadArgument);
    auto queue = own(IOHIDQueueCreate(nullptr, d->ref(), 8, 0));
    for (IOHIDElementRef e : {all[3], all[3], all[7], elsewhere}) IOHIDQueueAddElement(queue.get(), e);
    d->setElementValue(4, 10);  // not running yet
    IOHIDQueueStart(queue.get());
    for (CFIndex v : {11, 11, 12}) d->setElementValue(4, v);  // no change, no value
    for (CFIndex v : {1, 1}) d->setElementValue(8, v);        // a relative element reports every movement
    d->setElementValue(2, 1);                                 // not in the queue
    d->setElementValue(4, 13);
    IOHIDQueueStop(queue.get());
    d->setElementValue(4, 14);
    EXPECT_EQ(drain(queue.get()), std::vector<CFIndex>({11, 12, 1, 1, 13})) << "values before a stop stay";
    IOHIDQueueStart(queue.get());
    IOHIDQueueRemoveElement(queue.get(), all[3]);  // once, although it was added twice
    d->setElementValue(4, 15);
    EXPECT_TRUE(drain(queue.get()).empty() && !IOHIDQueueContainsElement(queue.get(), elsewhere));
    // A full queue drops its oldest values; it holds its device, so it may outlive it; reads then fail.
    auto small = runningQueue(d->ref(), 3, all[3]);
    for (CFIndex v = 1; v <= 5; ++v) d->setElementValue(4, v);
    d->detach();
    EXPECT_EQ(drain(small.get()), std::vector<CFIndex>({3, 4, 5}));
    EXPECT_EQ(IOHIDDeviceGetValue(IOHIDQueueGetDevice(small.get()), all[3], &v), kIOReturnNoDevice);
    d->attach();
    EXPECT_EQ(current(elementsOf(d->ref())[3]), 5) << "each attach makes the elements afresh";
}

TEST_F(HidPlatform, ValuesSetOnAnotherThreadReachARunningQueueInOrderAndDetachingMeanwhileIsSafe) {
    auto d = plug(joystick(1));
    constexpr CFIndex kCount = 2000;
    auto queue = runningQueue(d->ref(), kCount, elementsOf(d->ref())[3]);
    std::atomic<int> phase{0};  // 1: the device comes and goes; 2: over
    std::thread writer([&] {
        for (CFIndex v = 1; v <= kCount; ++v) d->setElementValue(4, v);
        while (phase == 0) std::this_thread::yield();
        for (CFIndex v = 0; phase == 1;) d->setElementValue(4, ++v);
    });
    // Waits until the writer delivers; the writer always does, so no time limit is relied on.
    std::vector<CFIndex> seen;
    for (Owned<IOHIDValueRef> v;
         seen.size() < kCount && (v = own(IOHIDQueueCopyNextValueWithTimeout(queue.get(), 60)));)
        seen.push_back(IOHIDValueGetIntegerValue(v.get()));
    phase = 1;
    for (int round = 0; round < 50; ++round) {
        auto q = runningQueue(d->ref(), 2, elementsOf(d->ref())[3]);
        d->detach();
        drain(q.get());
        d->attach();
    }
    phase = 2;
    writer.join();
    for (CFIndex i = 0; i < kCount; ++i) ASSERT_EQ(seen.at(i), i + 1);
}
