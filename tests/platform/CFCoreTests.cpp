// The CoreFoundation object core at its edges: strings, numbers and collections. Ownership
// faults (a retain too few or too many) show as use-after-free or leaks in the sanitizer build.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <random>
#include <thread>

#include "PlatformTest.h"

using namespace platformtest;

namespace {

std::string format(const char* fmt, ...) {
    auto f = own(str(fmt));
    va_list args;
    va_start(args, fmt);
    auto s = own(CFStringCreateWithFormatAndArguments(nullptr, nullptr, f.get(), args));
    va_end(args);
    return s ? text(s.get()) : "<null>";
}

Owned<CFNumberRef> number(CFNumberType type, const void* value) { return own(CFNumberCreate(nullptr, type, value)); }
Owned<CFNumberRef> sint64(int64_t v) { return number(kCFNumberSInt64Type, &v); }
Owned<CFNumberRef> float64(double v) { return number(kCFNumberFloat64Type, &v); }

// Whether the number fitted the type, and what was written.
template <class T>
std::pair<bool, T> get(const Owned<CFNumberRef>& n, CFNumberType type) {
    T out{};
    const bool fitted = CFNumberGetValue(n.get(), type, &out);
    return {fitted, out};
}

Owned<CFMutableDictionaryRef> dictionary(const CFDictionaryKeyCallBacks* keys = &kCFTypeDictionaryKeyCallBacks) {
    return own(CFDictionaryCreateMutable(nullptr, 0, keys, &kCFTypeDictionaryValueCallBacks));
}

struct Item {
    int key;
    int order;
};

CFComparisonResult byKey(const void* a, const void* b, void* calls) {
    ++*static_cast<int*>(calls);
    const int x = static_cast<const Item*>(a)->key, y = static_cast<const Item*>(b)->key;
    return x < y ? kCFCompareLessThan : (x > y ? kCFCompareGreaterThan : kCFCompareEqualTo);
}

std::vector<int> orderOf(CFArrayRef array) {
    std::vector<int> out;
    for (CFIndex i = 0; i < CFArrayGetCount(array); ++i)
        out.push_back(static_cast<const Item*>(CFArrayGetValueAtIndex(array, i))->order);
    return out;
}

}  // namespace

TEST(CFCoreString, CStringsFitTheBufferOrFailWithoutWritingPastIt) {
    auto s = own(str("abc"));
    char buf[8];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_FALSE(CFStringGetCString(s.get(), buf, 3, kCFStringEncodingUTF8));  // no room for the NUL
    EXPECT_EQ(std::string(buf + 3, 5), "XXXXX");
    EXPECT_TRUE(CFStringGetCString(s.get(), buf, 4, kCFStringEncodingASCII));  // exact fit
    EXPECT_EQ(std::string(buf, 8), std::string("abc\0XXXX", 8));
    EXPECT_FALSE(CFStringGetCString(s.get(), buf, 0, kCFStringEncodingUTF8));
    EXPECT_FALSE(CFStringGetCString(nullptr, buf, sizeof buf, kCFStringEncodingUTF8));
    // Three characters of three bytes each need ten bytes with the NUL.
    auto wide = own(str("\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC"));
    EXPECT_FALSE(CFStringGetCString(wide.get(), buf, 9, kCFStringEncodingUTF8));
    char name[10];
    EXPECT_TRUE(CFStringGetCString(wide.get(), name, 10, kCFStringEncodingUTF8));
}

TEST(CFCoreString, EncodingsGiveTheirBytesOrFailWhenTheTextDoesNotFit) {
    const struct {
        const char* utf8;
        CFStringEncoding encoding;
        const char* expected;  // null: cannot be represented
    } cases[] = {
        {"caf\xC3\xA9", kCFStringEncodingASCII, nullptr},      {"caf\xC3\xA9", kCFStringEncodingISOLatin1, "caf\xE9"},
        {"caf\xC3\xA9", kCFStringEncodingMacRoman, "caf\x8E"}, {"\xE2\x82\xAC", kCFStringEncodingISOLatin1, nullptr},
        {"\xE2\x82\xAC", kCFStringEncodingMacRoman, "\xDB"},   {"\xE2\x82\xAC", 0x7777, nullptr},
    };
    for (const auto& c : cases) {
        char buf[32];
        EXPECT_STREQ(CFStringGetCString(own(str(c.utf8)).get(), buf, sizeof buf, c.encoding) ? buf : nullptr,
                     c.expected)
            << c.utf8 << " as " << c.encoding;
    }
    EXPECT_EQ(CFStringGetCStringPtr(own(str("caf\xC3\xA9")).get(), kCFStringEncodingASCII), nullptr);
    for (CFStringEncoding encoding : {kCFStringEncodingMacRoman, kCFStringEncodingISOLatin1}) {
        std::string all;
        for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
        auto s = own(CFStringCreateWithCString(nullptr, all.c_str(), encoding));
        char back[256];
        ASSERT_TRUE(s && CFStringGetCString(s.get(), back, sizeof back, encoding)) << encoding;
        EXPECT_EQ(CFStringGetLength(s.get()), 255);
        EXPECT_EQ(std::string(back), all) << encoding;
    }
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "ok\x80", kCFStringEncodingASCII), nullptr);
}

TEST(CFCoreString, LengthsCountUtf16UnitsAndMalformedUtf8IsRefused) {
    auto s =
        own(str("a\xF0\x9F\x98\x80"
                "b"));  // a, U+1F600, b
    EXPECT_EQ(CFStringGetLength(s.get()), 4);
    std::vector<UniChar> at;
    for (CFIndex i : {0, 1, 2, 3, 4, -1}) at.push_back(CFStringGetCharacterAtIndex(s.get(), i));
    EXPECT_EQ(at, (std::vector<UniChar>{'a', 0xD83D, 0xDE00, 'b', 0, 0}));
    EXPECT_GE(CFStringGetMaximumSizeForEncoding(4, kCFStringEncodingUTF8), 6);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(LONG_MAX, kCFStringEncodingUTF8), kCFNotFound);
    // Overlong, surrogate, above U+10FFFF, no such lead byte, cut short, lone continuation.
    for (const char* bad :
         {"\xC0\x80", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "ab\xE2\x82", "\x80"})
        EXPECT_EQ(str(bad), nullptr) << "bytes: " << bad;
    const UInt8 euro[] = {0xE2, 0x82, 0xAC};
    EXPECT_EQ(CFStringCreateWithBytes(nullptr, euro, 2, kCFStringEncodingUTF8, false), nullptr);
    EXPECT_EQ(CFStringGetLength(own(CFStringCreateWithBytes(nullptr, euro, 3, kCFStringEncodingUTF8, false)).get()), 1);
    EXPECT_EQ(CFStringCreateWithBytes(nullptr, nullptr, 4, kCFStringEncodingUTF8, false), nullptr);
    EXPECT_EQ(CFStringCreateWithBytes(nullptr, euro, -1, kCFStringEncodingUTF8, false), nullptr);
}

TEST(CFCoreString, FormatFollowsPrintfInsertsObjectsAndCopiesWhatItCannotRead) {
    EXPECT_EQ(format("%@ %@|%@|%@", CFSTR("Vendor"), CFSTR("Pad"), sint64(42).get(), float64(0.1).get()),
              "Vendor Pad|42|0.1");
    EXPECT_EQ(format("[%@]", nullptr), "[(null)]");
    EXPECT_EQ(format("%5d|%-5d|%05.1f|%x", 42, 42, 3.14159, 255), "   42|42   |003.1|ff");
    EXPECT_EQ(format("%lld %llu", LLONG_MIN, ULLONG_MAX), "-9223372036854775808 18446744073709551615");
    EXPECT_EQ(format("%zu %hhd %hu %ld", size_t{7}, 300, 65537, -5L), "7 44 1 -5");
    EXPECT_EQ(format("0x%4.4lX", 1L), "0x0001");
    EXPECT_EQ(format("%*d|%-*d|%.*s", 4, 7, -3, 7, 2, "abcdef"), "   7|7  |ab");
    EXPECT_EQ(format("%s %s", "x", static_cast<const char*>(nullptr)), "x (null)");
    EXPECT_EQ(format("%Lg", 2.5L), "2.5");
    // Malformed conversions are copied without reading an argument.
    EXPECT_EQ(format("100%"), "100%");
    EXPECT_EQ(format("50%%"), "50%");
    EXPECT_EQ(format("%-08.3"), "%-08.3");
    EXPECT_EQ(format("%y %d", 7), "%y 7");
    EXPECT_EQ(format("%hs %d", 7), "%hs 7");
    EXPECT_LE(format("%999999999d", 1).size(), size_t{1} << 17) << "a huge width must not allocate gigabytes";
    EXPECT_EQ(format("%s|%.1s", "a\xFF", "\xC3\xA9"), "a\xEF\xBF\xBD|\xEF\xBF\xBD") << "not UTF-8, still well-formed";
}

TEST(CFCoreString, ConstantStringsAreSharedImmortalAndThreadSafe) {
    CFStringRef a = CFSTR("VendorID");
    EXPECT_EQ(a, CFSTR("VendorID"));
    EXPECT_NE(a, CFSTR("ProductID"));
    const CFIndex count = CFGetRetainCount(a);
    CFRelease(a);
    CFRelease(a);
    EXPECT_EQ(CFGetRetainCount(a), count);
    EXPECT_EQ(text(a), "VendorID");

    constexpr int kThreads = 8, kKeys = 200;
    std::vector<std::vector<CFStringRef>> seen(kThreads, std::vector<CFStringRef>(kKeys));
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            for (int k = 0; k < kKeys; ++k)
                seen[t][k] = __CFStringMakeConstantString(("cf-thread-key-" + std::to_string(k)).c_str());
        });
    go = true;
    for (auto& th : threads) th.join();
    for (int k = 0; k < kKeys; ++k) {
        for (int t = 1; t < kThreads; ++t) ASSERT_EQ(seen[t][k], seen[0][k]) << k;
        EXPECT_EQ(text(seen[0][k]), "cf-thread-key-" + std::to_string(k));
    }
}

TEST(CFCoreNumber, ValuesThatDoNotFitAreReportedAndConvertedAsACastWould) {
    int32_t minusOne = -1;
    auto n = number(kCFNumberSInt32Type, &minusOne);
    EXPECT_EQ(get<int64_t>(n, kCFNumberSInt64Type), std::make_pair(true, int64_t{-1}));
    EXPECT_EQ(get<int32_t>(sint64(4294967295LL), kCFNumberSInt32Type), std::make_pair(false, -1));
    EXPECT_EQ(get<int32_t>(sint64(2147483648LL), kCFNumberIntType), std::make_pair(false, INT32_MIN));
    EXPECT_EQ(get<int8_t>(sint64(300), kCFNumberSInt8Type), std::make_pair(false, int8_t{44}));
    EXPECT_EQ(get<int32_t>(float64(-2.5), kCFNumberSInt32Type), std::make_pair(false, -2));
    EXPECT_EQ(get<int64_t>(float64(1e20), kCFNumberSInt64Type), std::make_pair(false, int64_t{INT64_MAX}));
    EXPECT_FALSE(get<int32_t>(float64(std::nan("")), kCFNumberSInt32Type).first);
    const auto tenth = get<float>(float64(0.1), kCFNumberFloat32Type);
    EXPECT_FALSE(tenth.first);
    EXPECT_FLOAT_EQ(tenth.second, 0.1f);
    float tenthF = 0.1f;
    EXPECT_TRUE(get<float>(number(kCFNumberFloatType, &tenthF), kCFNumberFloat32Type).first);
    EXPECT_FALSE(get<double>(sint64((1LL << 53) + 1), kCFNumberFloat64Type).first);
    EXPECT_FALSE(get<double>(sint64(INT64_MAX), kCFNumberDoubleType).first);
    EXPECT_FALSE(get<int64_t>(n, 0).first);
    EXPECT_FALSE(get<int64_t>(n, kCFNumberMaxType + 1).first);
    EXPECT_EQ(number(99, &minusOne), nullptr);
    EXPECT_EQ(number(kCFNumberIntType, nullptr), nullptr);
}

TEST(CFCoreNumber, EqualityAndHashGoByValueAcrossTypes) {
    int8_t two8 = 2;
    auto a = number(kCFNumberSInt8Type, &two8);
    EXPECT_TRUE(CFEqual(a.get(), float64(2.0).get()));
    EXPECT_EQ(CFHash(a.get()), CFHash(float64(2.0).get()));
    EXPECT_FALSE(CFEqual(a.get(), float64(2.5).get()));
    // 2^63 as a double is above every int64; a conversion to double would call them equal.
    EXPECT_FALSE(CFEqual(sint64(INT64_MAX).get(), float64(9223372036854775808.0).get()));
    EXPECT_FALSE(CFEqual(sint64((1LL << 53) + 1).get(), float64(9007199254740992.0).get()));
    EXPECT_FALSE(CFEqual(sint64(1).get(), kCFBooleanTrue));
    EXPECT_FALSE(CFEqual(sint64(1).get(), CFSTR("1")));
    EXPECT_FALSE(CFEqual(sint64(1).get(), nullptr));
    EXPECT_TRUE(CFEqual(nullptr, nullptr));
}

TEST(CFCoreArray, OutOfRangeIndexesFindNothingAndImmutableArraysRefuseChanges) {
    auto n = sint64(5), m = sint64(6);
    const void* values[] = {n.get(), m.get()};
    auto fixed = own(CFArrayCreate(nullptr, values, 2, &kCFTypeArrayCallBacks));
    EXPECT_EQ(CFArrayGetValueAtIndex(fixed.get(), 1), m.get());
    EXPECT_EQ(CFArrayGetValueAtIndex(fixed.get(), 2), nullptr);
    EXPECT_EQ(CFArrayGetValueAtIndex(fixed.get(), -1), nullptr);
    CFArrayAppendValue(const_cast<CFMutableArrayRef>(fixed.get()), m.get());
    EXPECT_EQ(CFArrayGetCount(fixed.get()), 2);
    EXPECT_EQ(CFArrayGetCount(nullptr), 0);
    EXPECT_EQ(CFArrayGetCount(reinterpret_cast<CFArrayRef>(CFSTR("not an array"))), 0);
    auto array = own(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    CFArrayAppendValue(array.get(), n.get());
    int calls = 0;
    CFArraySortValues(array.get(), CFRangeMake(-1, 1), byKey, &calls);
    CFArraySortValues(array.get(), CFRangeMake(0, 2), byKey, &calls);
    EXPECT_EQ(calls, 0) << "ranges outside the array sort nothing";
}

TEST(CFCoreArray, SortIsStableUsesTheContextAndKeepsOutsideTheRange) {
    std::vector<Item> items;
    const int keys[] = {9, 3, 1, 3, 2, 1, 3, 2, 1, 0, 9};
    for (int i = 0; i < 11; ++i) items.push_back({keys[i], i});
    auto array = own(CFArrayCreateMutable(nullptr, 0, nullptr));
    for (auto& item : items) CFArrayAppendValue(array.get(), &item);
    int calls = 0;
    CFArraySortValues(array.get(), CFRangeMake(1, 9), byKey, &calls);
    EXPECT_GT(calls, 0);
    EXPECT_EQ(orderOf(array.get()), (std::vector<int>{0, 9, 2, 5, 8, 4, 7, 1, 3, 6, 10}));

    // A comparator that contradicts itself may give any order, but never loses or invents values.
    std::mt19937 rng(7);
    CFArraySortValues(
        array.get(), CFRangeMake(0, 11),
        [](const void*, const void*, void* r) {
            return (*static_cast<std::mt19937*>(r))() & 1 ? kCFCompareLessThan : kCFCompareGreaterThan;
        },
        &rng);
    std::vector<int> seen = orderOf(array.get());
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

TEST(CFCoreDictionary, SetReplacesAddKeepsKeysGoByValueAndImmutableOnesRefuse) {
    auto dict = dictionary();
    CFDictionaryRemoveValue(dict.get(), CFSTR("absent"));  // empty: nothing happens
    auto first = sint64(1), second = sint64(2);
    CFDictionarySetValue(dict.get(), CFSTR("VendorID"), first.get());
    CFDictionaryAddValue(dict.get(), CFSTR("VendorID"), second.get());
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFSTR("VendorID")), first.get());
    CFDictionarySetValue(dict.get(), own(str("VendorID")).get(), second.get());
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFSTR("VendorID")), second.get());
    EXPECT_EQ(CFDictionaryGetCount(dict.get()), 1);
    const void* value = nullptr;
    EXPECT_FALSE(CFDictionaryGetValueIfPresent(dict.get(), CFSTR("ProductID"), &value));
    EXPECT_EQ(value, nullptr);
    CFDictionaryRemoveValue(dict.get(), own(str("VendorID")).get());
    EXPECT_EQ(CFDictionaryGetCount(dict.get()), 0);
    CFDictionaryRemoveValue(dict.get(), CFSTR("VendorID"));

    auto fixed = own(CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                        &kCFTypeDictionaryValueCallBacks));
    CFDictionarySetValue(const_cast<CFMutableDictionaryRef>(fixed.get()), CFSTR("k"), first.get());
    EXPECT_EQ(CFDictionaryGetCount(fixed.get()), 0);

    // Number keys match across types.
    int32_t one = 1;
    CFDictionarySetValue(dict.get(), number(kCFNumberIntType, &one).get(), CFSTR("one"));
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), float64(1.0).get()), CFSTR("one"));
}

TEST(CFCoreDictionary, ManyKeysSurviveRemovalsAndCopies) {
    auto dict = dictionary();
    std::vector<Owned<CFNumberRef>> numbers;
    for (int i = 0; i < 500; ++i) {
        numbers.push_back(sint64(i));
        CFDictionarySetValue(dict.get(), numbers.back().get(), numbers.back().get());
    }
    for (int i = 0; i < 500; i += 2) CFDictionaryRemoveValue(dict.get(), numbers[i].get());
    ASSERT_EQ(CFDictionaryGetCount(dict.get()), 250);
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(CFDictionaryGetValue(dict.get(), numbers[i].get()), i % 2 ? numbers[i].get() : nullptr) << i;
    auto copy = own(CFDictionaryCreateMutableCopy(nullptr, 0, dict.get()));
    EXPECT_TRUE(CFEqual(copy.get(), dict.get()));
    CFDictionaryRemoveValue(copy.get(), numbers[1].get());
    EXPECT_FALSE(CFEqual(copy.get(), dict.get()));
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), numbers[1].get()), numbers[1].get());
    std::vector<const void*> keys(250), values(250);
    CFDictionaryGetKeysAndValues(dict.get(), keys.data(), values.data());
    EXPECT_EQ(keys, values);
    int applied = 0;
    CFDictionaryApplyFunction(
        dict.get(), [](const void*, const void*, void* c) { ++*static_cast<int*>(c); }, &applied);
    EXPECT_EQ(applied, 250);
}

TEST(CFCoreSet, AddingAnEqualValueKeepsTheFirst) {
    auto set = own(CFSetCreateMutable(nullptr, 0, &kCFTypeSetCallBacks));
    auto a = own(str("dev")), b = own(str("dev"));
    CFSetAddValue(set.get(), a.get());
    CFSetAddValue(set.get(), b.get());
    CFSetAddValue(set.get(), CFSTR("other"));
    std::vector<const void*> stored;
    CFSetApplyFunction(
        set.get(), [](const void* v, void* out) { static_cast<std::vector<const void*>*>(out)->push_back(v); },
        &stored);
    EXPECT_EQ(CFSetGetCount(set.get()), 2);
    EXPECT_EQ(std::count(stored.begin(), stored.end(), a.get()), 1);
    EXPECT_EQ(std::count(stored.begin(), stored.end(), CFSTR("other")), 1);
}

TEST(CFCoreObject, ReferenceCountsHoldUnderConcurrentRetainAndRelease) {
    auto n = sint64(1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) CFRelease(CFRetain(n.get()));
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(CFGetRetainCount(n.get()), 1);
    EXPECT_EQ(CFRetain(nullptr), nullptr);
    CFRelease(nullptr);
}

TEST(CFCoreObject, ContainersAreEqualByContentAndDescribedAsATree) {
    const UInt8 bytes[] = {0x01, 0xAB};
    auto data = own(CFDataCreate(nullptr, bytes, 2));
    EXPECT_EQ(CFDataGetLength(data.get()), 2);
    EXPECT_NE(CFDataGetBytePtr(data.get()), bytes);
    EXPECT_TRUE(CFEqual(data.get(), own(CFDataCreate(nullptr, bytes, 2)).get()));
    EXPECT_EQ(CFDataCreate(nullptr, nullptr, 3), nullptr);
    EXPECT_EQ(format("%@", data.get()), "<01ab>");

    auto n = sint64(7);
    const void* inner[] = {n.get(), CFSTR("x")};
    auto innerArray = own(CFArrayCreate(nullptr, inner, 2, &kCFTypeArrayCallBacks));
    const void* keys[] = {CFSTR("list"), CFSTR("flag"), CFSTR("list")};
    const void* values[] = {innerArray.get(), kCFBooleanTrue, innerArray.get()};
    const auto make = [&](int from) {
        return own(CFDictionaryCreate(nullptr, keys + from, values + from, 2, &kCFTypeDictionaryKeyCallBacks,
                                      &kCFTypeDictionaryValueCallBacks));
    };
    auto dict = make(0), reordered = make(1);
    EXPECT_TRUE(CFEqual(dict.get(), reordered.get()));
    EXPECT_FALSE(CFEqual(dict.get(), innerArray.get()));
    const std::string d = format("%@", dict.get());
    for (const char* piece : {"list = (", "7,", "flag = true;"}) EXPECT_NE(d.find(piece), std::string::npos) << d;
}
