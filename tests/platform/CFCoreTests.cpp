// The CoreFoundation object core: strings, numbers, collections and reference counts.
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

struct Releaser {
    void operator()(const void* p) const {
        if (p) CFRelease(p);
    }
};
template <class T>
using Owned = std::unique_ptr<std::remove_pointer_t<T>, Releaser>;
template <class T>
Owned<T> own(T p) {
    return Owned<T>(p);
}

std::string text(CFStringRef s) {
    const char* p = CFStringGetCStringPtr(s, kCFStringEncodingUTF8);
    return p ? std::string(p) : std::string("<no text>");
}

std::string format(const char* fmt, ...) {
    auto f = own(CFStringCreateWithCString(kCFAllocatorDefault, fmt, kCFStringEncodingUTF8));
    va_list args;
    va_start(args, fmt);
    auto s = own(CFStringCreateWithFormatAndArguments(kCFAllocatorDefault, nullptr, f.get(), args));
    va_end(args);
    return s ? text(s.get()) : std::string("<null>");
}

CFStringRef utf8(const char* s) { return CFStringCreateWithCString(kCFAllocatorDefault, s, kCFStringEncodingUTF8); }

CFNumberRef number(CFNumberType type, const void* value) { return CFNumberCreate(kCFAllocatorDefault, type, value); }
CFNumberRef sint64(int64_t v) { return number(kCFNumberSInt64Type, &v); }
CFNumberRef float64(double v) { return number(kCFNumberFloat64Type, &v); }

}  // namespace

// ---- strings ----

TEST(CFCoreString, GetCStringNeverWritesPastTheBufferAndFailsWhenShort) {
    auto s = own(utf8("abc"));
    char buf[8];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_FALSE(CFStringGetCString(s.get(), buf, 3, kCFStringEncodingUTF8));  // no room for the NUL
    EXPECT_EQ(std::string(buf + 3, 5), "XXXXX");
    EXPECT_TRUE(CFStringGetCString(s.get(), buf, 4, kCFStringEncodingASCII));  // exact fit
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(std::string(buf + 4, 4), "XXXX");
    EXPECT_FALSE(CFStringGetCString(s.get(), buf, 0, kCFStringEncodingUTF8));
    EXPECT_FALSE(CFStringGetCString(nullptr, buf, sizeof buf, kCFStringEncodingUTF8));

    // Three characters of three bytes each need ten bytes with the NUL.
    auto wide = own(utf8("\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC"));
    char name[16];
    EXPECT_FALSE(CFStringGetCString(wide.get(), name, 7, kCFStringEncodingUTF8));
    EXPECT_TRUE(CFStringGetCString(wide.get(), name, 10, kCFStringEncodingUTF8));
}

TEST(CFCoreString, EncodingsThatCannotRepresentTheTextFail) {
    auto e = own(utf8("caf\xC3\xA9"));  // café
    char buf[32];
    EXPECT_FALSE(CFStringGetCString(e.get(), buf, sizeof buf, kCFStringEncodingASCII));
    EXPECT_EQ(CFStringGetCStringPtr(e.get(), kCFStringEncodingASCII), nullptr);
    ASSERT_TRUE(CFStringGetCString(e.get(), buf, sizeof buf, kCFStringEncodingISOLatin1));
    EXPECT_STREQ(buf, "caf\xE9");
    ASSERT_TRUE(CFStringGetCString(e.get(), buf, sizeof buf, kCFStringEncodingMacRoman));
    EXPECT_STREQ(buf, "caf\x8E");

    auto euro = own(utf8("\xE2\x82\xAC"));
    EXPECT_FALSE(CFStringGetCString(euro.get(), buf, sizeof buf, kCFStringEncodingISOLatin1));
    ASSERT_TRUE(CFStringGetCString(euro.get(), buf, sizeof buf, kCFStringEncodingMacRoman));
    EXPECT_STREQ(buf, "\xDB");
    EXPECT_FALSE(CFStringGetCString(euro.get(), buf, sizeof buf, 0x7777));  // unknown encoding
}

TEST(CFCoreString, SingleByteEncodingsRoundTripEveryByte) {
    for (CFStringEncoding enc : {kCFStringEncodingMacRoman, kCFStringEncodingISOLatin1}) {
        std::string all;
        for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
        auto s = own(CFStringCreateWithCString(kCFAllocatorDefault, all.c_str(), enc));
        ASSERT_TRUE(s);
        EXPECT_EQ(CFStringGetLength(s.get()), 255);
        char back[256];
        ASSERT_TRUE(CFStringGetCString(s.get(), back, sizeof back, enc)) << enc;
        EXPECT_EQ(std::string(back), all) << enc;
    }
    EXPECT_EQ(CFStringCreateWithCString(kCFAllocatorDefault, "ok\x80", kCFStringEncodingASCII), nullptr);
}

TEST(CFCoreString, LengthAndCharactersCountUtf16Units) {
    auto s =
        own(utf8("a\xF0\x9F\x98\x80"
                 "b"));  // a, U+1F600, b
    EXPECT_EQ(CFStringGetLength(s.get()), 4);
    EXPECT_EQ(CFStringGetCharacterAtIndex(s.get(), 0), 'a');
    EXPECT_EQ(CFStringGetCharacterAtIndex(s.get(), 1), 0xD83D);
    EXPECT_EQ(CFStringGetCharacterAtIndex(s.get(), 2), 0xDE00);
    EXPECT_EQ(CFStringGetCharacterAtIndex(s.get(), 3), 'b');
    EXPECT_EQ(CFStringGetCharacterAtIndex(s.get(), 4), 0);
    EXPECT_EQ(CFStringGetCharacterAtIndex(s.get(), -1), 0);
    EXPECT_GE(CFStringGetMaximumSizeForEncoding(CFStringGetLength(s.get()), kCFStringEncodingUTF8), 6);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(LONG_MAX, kCFStringEncodingUTF8), kCFNotFound);
}

TEST(CFCoreString, MalformedUtf8IsRejected) {
    const char* bad[] = {
        "\xC0\x80",          // overlong NUL
        "\xE0\x80\xAF",      // overlong slash
        "\xED\xA0\x80",      // surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xF5\x80\x80\x80",  // no such lead byte
        "ab\xE2\x82",        // cut short
        "\x80",              // lone continuation
    };
    for (const char* b : bad) EXPECT_EQ(utf8(b), nullptr) << "bytes: " << b;
    const UInt8 cut[] = {0xE2, 0x82, 0xAC};
    EXPECT_EQ(CFStringCreateWithBytes(kCFAllocatorDefault, cut, 2, kCFStringEncodingUTF8, false), nullptr);
    auto whole = own(CFStringCreateWithBytes(kCFAllocatorDefault, cut, 3, kCFStringEncodingUTF8, false));
    EXPECT_EQ(CFStringGetLength(whole.get()), 1);
    EXPECT_EQ(CFStringCreateWithBytes(kCFAllocatorDefault, nullptr, 4, kCFStringEncodingUTF8, false), nullptr);
    EXPECT_EQ(CFStringCreateWithBytes(kCFAllocatorDefault, cut, -1, kCFStringEncodingUTF8, false), nullptr);
}

TEST(CFCoreString, FormatFollowsPrintfAndInsertsObjects) {
    auto n = own(sint64(42));
    auto f = own(float64(0.1));
    EXPECT_EQ(format("%@ %@|%@|%@", CFSTR("Vendor"), CFSTR("Pad"), n.get(), f.get()), "Vendor Pad|42|0.1");
    EXPECT_EQ(format("[%@]", nullptr), "[(null)]");
    EXPECT_EQ(format("%5d|%-5d|%05.1f|%x", 42, 42, 3.14159, 255), "   42|42   |003.1|ff");
    EXPECT_EQ(format("%lld %llu", LLONG_MIN, ULLONG_MAX), "-9223372036854775808 18446744073709551615");
    EXPECT_EQ(format("%zu %hhd %hu %ld", size_t{7}, 300, 65537, -5L), "7 44 1 -5");
    EXPECT_EQ(format("0x%4.4lX", 1L), "0x0001");
    EXPECT_EQ(format("%ld:%ld", 1L, 48L), "1:48");
    EXPECT_EQ(format("%*d|%-*d|%.*s", 4, 7, -3, 7, 2, "abcdef"), "   7|7  |ab");
    EXPECT_EQ(format("%s %s", "x", static_cast<const char*>(nullptr)), "x (null)");
    EXPECT_EQ(format("%Lg", 2.5L), "2.5");
}

TEST(CFCoreString, MalformedFormatsAreCopiedWithoutReadingArguments) {
    EXPECT_EQ(format("100%"), "100%");
    EXPECT_EQ(format("%"), "%");
    EXPECT_EQ(format("50%%"), "50%");
    EXPECT_EQ(format("%5"), "%5");
    EXPECT_EQ(format("%-08.3"), "%-08.3");
    EXPECT_EQ(format("%y %d", 7), "%y 7");
    EXPECT_EQ(format("%hs %d", 7), "%hs 7");
    // A huge width must not allocate gigabytes.
    EXPECT_LE(format("%999999999d", 1).size(), size_t{1} << 17);
    // Bytes that are not UTF-8 still give a well-formed string.
    const std::string s = format("%s|%.1s", "a\xFF", "\xC3\xA9");
    EXPECT_EQ(s, "a\xEF\xBF\xBD|\xEF\xBF\xBD");
}

TEST(CFCoreString, MutableStringsAppendAndImmutableOnesRefuse) {
    auto m = own(CFStringCreateMutable(kCFAllocatorDefault, 0));
    CFStringAppend(m.get(), CFSTR("ab"));
    CFStringAppend(m.get(), m.get());
    CFStringAppendCString(m.get(), "\xE9", kCFStringEncodingISOLatin1);
    CFStringAppendCString(m.get(), "\xE9", kCFStringEncodingUTF8);  // invalid: ignored
    EXPECT_EQ(text(m.get()), "abab\xC3\xA9");

    auto copy = own(CFStringCreateCopy(kCFAllocatorDefault, m.get()));
    CFStringAppend(m.get(), CFSTR("!"));
    EXPECT_EQ(text(copy.get()), "abab\xC3\xA9");
    CFStringAppend(const_cast<CFMutableStringRef>(copy.get()), CFSTR("!"));
    EXPECT_EQ(text(copy.get()), "abab\xC3\xA9");
    CFStringAppend(const_cast<CFMutableStringRef>(CFSTR("const")), CFSTR("!"));
    EXPECT_EQ(text(CFSTR("const")), "const");
}

TEST(CFCoreString, CompareAndAffixes) {
    EXPECT_EQ(CFStringCompare(CFSTR("abc"), CFSTR("abd"), 0), kCFCompareLessThan);
    EXPECT_EQ(CFStringCompare(CFSTR("abc"), CFSTR("ab"), 0), kCFCompareGreaterThan);
    EXPECT_EQ(CFStringCompare(CFSTR("ABC"), CFSTR("abc"), 0), kCFCompareLessThan);
    EXPECT_EQ(CFStringCompare(CFSTR("ABC"), CFSTR("abc"), kCFCompareCaseInsensitive), kCFCompareEqualTo);
    EXPECT_EQ(CFStringCompare(CFSTR("a"), CFSTR("\xC3\xA9"), 0), kCFCompareLessThan);
    EXPECT_TRUE(CFStringHasPrefix(CFSTR("ktrq7_01.upd"), CFSTR("ktrq7_")));
    EXPECT_TRUE(CFStringHasSuffix(CFSTR("ktrq7_01.upd"), CFSTR(".upd")));
    EXPECT_FALSE(CFStringHasSuffix(CFSTR("upd"), CFSTR(".upd")));
    EXPECT_FALSE(CFStringHasPrefix(CFSTR("abc"), CFSTR("")));
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
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            for (int k = 0; k < kKeys; ++k) {
                const std::string key = "cf-thread-key-" + std::to_string(k);
                seen[t][k] = __CFStringMakeConstantString(key.c_str());
            }
        });
    }
    go = true;
    for (auto& th : threads) th.join();
    for (int k = 0; k < kKeys; ++k) {
        for (int t = 1; t < kThreads; ++t) ASSERT_EQ(seen[t][k], seen[0][k]) << k;
        EXPECT_EQ(text(seen[0][k]), "cf-thread-key-" + std::to_string(k));
    }
}

// ---- numbers ----

TEST(CFCoreNumber, GetValueReportsValuesThatDoNotFit) {
    int32_t minusOne = -1;
    auto n = own(number(kCFNumberSInt32Type, &minusOne));
    int64_t wide = 0;
    EXPECT_TRUE(CFNumberGetValue(n.get(), kCFNumberSInt64Type, &wide));
    EXPECT_EQ(wide, -1);

    int32_t narrow = 0;
    auto big = own(sint64(4294967295LL));
    EXPECT_FALSE(CFNumberGetValue(big.get(), kCFNumberSInt32Type, &narrow));
    EXPECT_EQ(narrow, -1);  // the low 32 bits, as a cast would give
    EXPECT_EQ(static_cast<uint32_t>(narrow), 4294967295u);

    auto edge = own(sint64(2147483648LL));
    EXPECT_FALSE(CFNumberGetValue(edge.get(), kCFNumberIntType, &narrow));
    EXPECT_EQ(narrow, INT32_MIN);

    int8_t tiny = 0;
    auto three = own(sint64(300));
    EXPECT_FALSE(CFNumberGetValue(three.get(), kCFNumberSInt8Type, &tiny));
    EXPECT_EQ(tiny, 44);

    auto half = own(float64(-2.5));
    EXPECT_FALSE(CFNumberGetValue(half.get(), kCFNumberSInt32Type, &narrow));
    EXPECT_EQ(narrow, -2);
    auto huge = own(float64(1e20));
    EXPECT_FALSE(CFNumberGetValue(huge.get(), kCFNumberSInt64Type, &wide));
    EXPECT_EQ(wide, INT64_MAX);
    auto nan = own(float64(std::nan("")));
    EXPECT_FALSE(CFNumberGetValue(nan.get(), kCFNumberSInt32Type, &narrow));

    float single = 0;
    auto tenth = own(float64(0.1));
    EXPECT_FALSE(CFNumberGetValue(tenth.get(), kCFNumberFloat32Type, &single));
    EXPECT_FLOAT_EQ(single, 0.1f);
    float tenthF = 0.1f;
    auto tenth32 = own(number(kCFNumberFloatType, &tenthF));
    EXPECT_TRUE(CFNumberGetValue(tenth32.get(), kCFNumberFloat32Type, &single));
    double dbl = 0;
    auto odd = own(sint64((1LL << 53) + 1));
    EXPECT_FALSE(CFNumberGetValue(odd.get(), kCFNumberFloat64Type, &dbl));
    auto max = own(sint64(INT64_MAX));
    EXPECT_FALSE(CFNumberGetValue(max.get(), kCFNumberDoubleType, &dbl));

    EXPECT_FALSE(CFNumberGetValue(n.get(), 0, &wide));
    EXPECT_FALSE(CFNumberGetValue(n.get(), kCFNumberMaxType + 1, &wide));
    EXPECT_EQ(number(99, &wide), nullptr);
    EXPECT_EQ(number(kCFNumberIntType, nullptr), nullptr);
}

TEST(CFCoreNumber, EqualityHashAndOrderGoByValueAcrossTypes) {
    int8_t two8 = 2;
    auto a = own(number(kCFNumberSInt8Type, &two8));
    auto b = own(float64(2.0));
    auto c = own(float64(2.5));
    EXPECT_TRUE(CFEqual(a.get(), b.get()));
    EXPECT_EQ(CFHash(a.get()), CFHash(b.get()));
    EXPECT_FALSE(CFEqual(a.get(), c.get()));
    EXPECT_EQ(CFNumberCompare(a.get(), c.get(), nullptr), kCFCompareLessThan);
    EXPECT_EQ(CFNumberGetType(a.get()), kCFNumberSInt8Type);
    EXPECT_FALSE(CFNumberIsFloatType(a.get()));
    EXPECT_TRUE(CFNumberIsFloatType(b.get()));

    // 2^63 as a double is above every int64; a conversion to double would call them equal.
    auto maxInt = own(sint64(INT64_MAX));
    auto twoTo63 = own(float64(9223372036854775808.0));
    EXPECT_EQ(CFNumberCompare(maxInt.get(), twoTo63.get(), nullptr), kCFCompareLessThan);
    EXPECT_FALSE(CFEqual(maxInt.get(), twoTo63.get()));
    auto big = own(sint64((1LL << 53) + 1));
    auto bigD = own(float64(9007199254740992.0));
    EXPECT_EQ(CFNumberCompare(big.get(), bigD.get(), nullptr), kCFCompareGreaterThan);

    int32_t one = 1;
    auto one32 = own(number(kCFNumberSInt32Type, &one));
    EXPECT_FALSE(CFEqual(one32.get(), kCFBooleanTrue));
    EXPECT_FALSE(CFEqual(one32.get(), CFSTR("1")));
    EXPECT_FALSE(CFEqual(one32.get(), nullptr));
    EXPECT_TRUE(CFEqual(nullptr, nullptr));
}

// ---- arrays ----

namespace {

struct Item {
    int key;
    int order;
};

CFComparisonResult byKey(const void* a, const void* b, void* context) {
    ++*static_cast<int*>(context);
    const int x = static_cast<const Item*>(a)->key, y = static_cast<const Item*>(b)->key;
    return x < y ? kCFCompareLessThan : (x > y ? kCFCompareGreaterThan : kCFCompareEqualTo);
}

CFComparisonResult coinFlip(const void*, const void*, void* context) {
    return static_cast<std::mt19937*>(context)->operator()() & 1 ? kCFCompareLessThan : kCFCompareGreaterThan;
}

}  // namespace

TEST(CFCoreArray, RetainsThroughTheTypeCallBacksOnly) {
    auto n = own(sint64(5));
    auto m = own(sint64(6));
    {
        auto array = own(CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks));
        CFArrayAppendValue(array.get(), n.get());
        CFArrayInsertValueAtIndex(array.get(), 0, n.get());
        EXPECT_EQ(CFGetRetainCount(n.get()), 3);
        CFArraySetValueAtIndex(array.get(), 0, m.get());
        EXPECT_EQ(CFGetRetainCount(n.get()), 2);
        CFArraySetValueAtIndex(array.get(), 0, m.get());  // the same value again
        EXPECT_EQ(CFGetRetainCount(m.get()), 2);
        CFArrayRemoveValueAtIndex(array.get(), 1);
        EXPECT_EQ(CFGetRetainCount(n.get()), 1);
        const void* values[] = {n.get(), n.get()};
        auto fixed = own(CFArrayCreate(kCFAllocatorDefault, values, 2, &kCFTypeArrayCallBacks));
        EXPECT_EQ(CFGetRetainCount(n.get()), 3);
    }
    EXPECT_EQ(CFGetRetainCount(n.get()), 1);
    EXPECT_EQ(CFGetRetainCount(m.get()), 1);

    auto plain = own(CFArrayCreateMutable(kCFAllocatorDefault, 0, nullptr));
    CFArrayAppendValue(plain.get(), n.get());
    EXPECT_EQ(CFGetRetainCount(n.get()), 1);
    auto equalNumber = own(sint64(5));
    EXPECT_FALSE(CFArrayContainsValue(plain.get(), CFRangeMake(0, 1), equalNumber.get()));
    const void* typed[] = {n.get()};
    auto typedArray = own(CFArrayCreate(kCFAllocatorDefault, typed, 1, &kCFTypeArrayCallBacks));
    EXPECT_TRUE(CFArrayContainsValue(typedArray.get(), CFRangeMake(0, 1), equalNumber.get()));
}

TEST(CFCoreArray, OutOfRangeIndexesAndRangesDoNothing) {
    auto array = own(CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks));
    CFArrayRemoveValueAtIndex(array.get(), 0);
    CFArrayRemoveAllValues(array.get());
    CFArrayAppendValue(array.get(), CFSTR("a"));
    CFArrayInsertValueAtIndex(array.get(), 3, CFSTR("b"));
    CFArrayInsertValueAtIndex(array.get(), -1, CFSTR("b"));
    CFArraySetValueAtIndex(array.get(), 5, CFSTR("b"));
    CFArrayRemoveValueAtIndex(array.get(), 1);
    EXPECT_EQ(CFArrayGetCount(array.get()), 1);
    EXPECT_EQ(CFArrayGetValueAtIndex(array.get(), 1), nullptr);
    EXPECT_EQ(CFArrayGetValueAtIndex(array.get(), -1), nullptr);
    EXPECT_EQ(CFArrayGetFirstIndexOfValue(array.get(), CFRangeMake(0, 2), CFSTR("a")), kCFNotFound);
    EXPECT_EQ(CFArrayGetFirstIndexOfValue(array.get(), CFRangeMake(1, LONG_MAX), CFSTR("a")), kCFNotFound);
    EXPECT_EQ(CFArrayGetFirstIndexOfValue(array.get(), CFRangeMake(0, 1), CFSTR("a")), 0);
    EXPECT_EQ(CFArrayGetFirstIndexOfValue(array.get(), CFRangeMake(1, 0), CFSTR("a")), kCFNotFound);
    int calls = 0;
    CFArraySortValues(array.get(), CFRangeMake(-1, 2), byKey, &calls);
    CFArrayApplyFunction(
        array.get(), CFRangeMake(0, 9), [](const void*, void* c) { ++*static_cast<int*>(c); }, &calls);
    EXPECT_EQ(calls, 0);

    // An immutable array cannot be changed through a cast.
    const void* values[] = {CFSTR("x")};
    auto fixed = own(CFArrayCreate(kCFAllocatorDefault, values, 1, &kCFTypeArrayCallBacks));
    CFArrayAppendValue(const_cast<CFMutableArrayRef>(fixed.get()), CFSTR("y"));
    CFArrayRemoveAllValues(const_cast<CFMutableArrayRef>(fixed.get()));
    EXPECT_EQ(CFArrayGetCount(fixed.get()), 1);
    EXPECT_EQ(CFArrayGetCount(nullptr), 0);
    EXPECT_EQ(CFArrayGetCount(reinterpret_cast<CFArrayRef>(CFSTR("not an array"))), 0);
}

TEST(CFCoreArray, SortIsStableUsesTheContextAndKeepsOutsideTheRange) {
    std::vector<Item> items;
    const int keys[] = {9, 3, 1, 3, 2, 1, 3, 2, 1, 0, 9};
    for (int i = 0; i < 11; ++i) items.push_back({keys[i], i});
    auto array = own(CFArrayCreateMutable(kCFAllocatorDefault, 0, nullptr));
    for (auto& item : items) CFArrayAppendValue(array.get(), &item);

    int calls = 0;
    CFArraySortValues(array.get(), CFRangeMake(1, 9), byKey, &calls);
    EXPECT_GT(calls, 0);
    std::vector<int> order;
    for (CFIndex i = 0; i < CFArrayGetCount(array.get()); ++i)
        order.push_back(static_cast<const Item*>(CFArrayGetValueAtIndex(array.get(), i))->order);
    EXPECT_EQ(order, (std::vector<int>{0, 9, 2, 5, 8, 4, 7, 1, 3, 6, 10}));

    // A comparator that contradicts itself may give any order, but never loses or invents values.
    std::mt19937 rng(7);
    CFArraySortValues(array.get(), CFRangeMake(0, 11), coinFlip, &rng);
    std::vector<int> seen;
    for (CFIndex i = 0; i < 11; ++i)
        seen.push_back(static_cast<const Item*>(CFArrayGetValueAtIndex(array.get(), i))->order);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

// ---- dictionaries and sets ----

TEST(CFCoreDictionary, SetReplacesAddKeepsAndRemoveReleases) {
    auto dict = own(CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                              &kCFTypeDictionaryValueCallBacks));
    CFDictionaryRemoveValue(dict.get(), CFSTR("absent"));  // empty: nothing happens
    auto first = own(sint64(1));
    auto second = own(sint64(2));
    CFDictionarySetValue(dict.get(), CFSTR("VendorID"), first.get());
    CFDictionaryAddValue(dict.get(), CFSTR("VendorID"), second.get());
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFSTR("VendorID")), first.get());
    EXPECT_EQ(CFGetRetainCount(second.get()), 1);
    CFDictionarySetValue(dict.get(), CFSTR("VendorID"), second.get());
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFSTR("VendorID")), second.get());
    EXPECT_EQ(CFGetRetainCount(first.get()), 1);
    EXPECT_EQ(CFGetRetainCount(second.get()), 2);
    EXPECT_EQ(CFDictionaryGetCount(dict.get()), 1);

    // Keys are found by value, not by address.
    auto key = own(utf8("VendorID"));
    EXPECT_TRUE(CFDictionaryContainsKey(dict.get(), key.get()));
    const void* value = nullptr;
    EXPECT_FALSE(CFDictionaryGetValueIfPresent(dict.get(), CFSTR("ProductID"), &value));
    EXPECT_EQ(value, nullptr);
    CFDictionaryRemoveValue(dict.get(), key.get());
    EXPECT_EQ(CFDictionaryGetCount(dict.get()), 0);
    EXPECT_EQ(CFGetRetainCount(second.get()), 1);
    CFDictionaryRemoveValue(dict.get(), key.get());

    auto fixed = own(CFDictionaryCreate(kCFAllocatorDefault, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                        &kCFTypeDictionaryValueCallBacks));
    CFDictionarySetValue(const_cast<CFMutableDictionaryRef>(fixed.get()), CFSTR("k"), first.get());
    EXPECT_EQ(CFDictionaryGetCount(fixed.get()), 0);
}

TEST(CFCoreDictionary, KeysMatchAcrossNumberTypesAndCopiedStringKeysStayPut) {
    auto dict = own(CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFCopyStringDictionaryKeyCallBacks,
                                              &kCFTypeDictionaryValueCallBacks));
    int32_t one = 1;
    auto intKey = own(number(kCFNumberIntType, &one));
    auto doubleKey = own(float64(1.0));
    CFDictionarySetValue(dict.get(), intKey.get(), CFSTR("one"));
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), doubleKey.get()), CFSTR("one"));

    auto mutableKey = own(CFStringCreateMutable(kCFAllocatorDefault, 0));
    CFStringAppend(mutableKey.get(), CFSTR("Name"));
    CFDictionarySetValue(dict.get(), mutableKey.get(), CFSTR("pad"));
    EXPECT_EQ(CFGetRetainCount(mutableKey.get()), 1);  // copied, not retained
    CFStringAppend(mutableKey.get(), CFSTR("X"));
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFSTR("Name")), CFSTR("pad"));
    EXPECT_FALSE(CFDictionaryContainsKey(dict.get(), mutableKey.get()));
}

TEST(CFCoreDictionary, NullCallBacksUseIdentityAndRetainNothing) {
    auto dict = own(CFDictionaryCreateMutable(kCFAllocatorDefault, 0, nullptr, nullptr));
    auto value = own(sint64(3));
    auto key = own(utf8("k"));
    auto sameText = own(utf8("k"));
    CFDictionarySetValue(dict.get(), key.get(), value.get());
    CFDictionarySetValue(dict.get(), reinterpret_cast<const void*>(uintptr_t{8}), nullptr);
    EXPECT_EQ(CFGetRetainCount(value.get()), 1);
    EXPECT_EQ(CFGetRetainCount(key.get()), 1);
    EXPECT_FALSE(CFDictionaryContainsKey(dict.get(), sameText.get()));
    EXPECT_TRUE(CFDictionaryContainsKey(dict.get(), reinterpret_cast<const void*>(uintptr_t{8})));
}

TEST(CFCoreDictionary, ManyKeysSurviveRemovalsAndCopies) {
    auto dict = own(CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                              &kCFTypeDictionaryValueCallBacks));
    std::vector<Owned<CFNumberRef>> numbers;
    for (int i = 0; i < 500; ++i) {
        numbers.push_back(own(sint64(i)));
        CFDictionarySetValue(dict.get(), numbers.back().get(), numbers.back().get());
    }
    for (int i = 0; i < 500; i += 2) CFDictionaryRemoveValue(dict.get(), numbers[i].get());
    ASSERT_EQ(CFDictionaryGetCount(dict.get()), 250);
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(CFDictionaryGetValue(dict.get(), numbers[i].get()), i % 2 ? numbers[i].get() : nullptr) << i;

    auto copy = own(CFDictionaryCreateMutableCopy(kCFAllocatorDefault, 0, dict.get()));
    EXPECT_TRUE(CFEqual(copy.get(), dict.get()));
    EXPECT_EQ(CFGetRetainCount(numbers[1].get()), 5);  // ours, and key and value in each dictionary
    CFDictionaryRemoveValue(copy.get(), numbers[1].get());
    EXPECT_FALSE(CFEqual(copy.get(), dict.get()));
    EXPECT_TRUE(CFDictionaryContainsKey(dict.get(), numbers[1].get()));

    std::vector<const void*> keys(250), values(250);
    CFDictionaryGetKeysAndValues(dict.get(), keys.data(), values.data());
    EXPECT_EQ(keys, values);
    int applied = 0;
    CFDictionaryApplyFunction(
        dict.get(), [](const void*, const void*, void* c) { ++*static_cast<int*>(c); }, &applied);
    EXPECT_EQ(applied, 250);
    copy.reset();
    EXPECT_EQ(CFGetRetainCount(numbers[3].get()), 3);
}

TEST(CFCoreSet, AddingAnEqualValueKeepsOne) {
    auto set = own(CFSetCreateMutable(kCFAllocatorDefault, 0, &kCFTypeSetCallBacks));
    CFSetRemoveValue(set.get(), CFSTR("absent"));
    auto a = own(utf8("dev"));
    auto b = own(utf8("dev"));
    CFSetAddValue(set.get(), a.get());
    CFSetAddValue(set.get(), b.get());
    EXPECT_EQ(CFSetGetCount(set.get()), 1);
    EXPECT_EQ(CFGetRetainCount(a.get()), 2);
    EXPECT_EQ(CFGetRetainCount(b.get()), 1);
    const void* stored = nullptr;
    CFSetGetValues(set.get(), &stored);
    EXPECT_EQ(stored, a.get());
    CFSetAddValue(set.get(), CFSTR("other"));

    const void* values[] = {CFSTR("other"), b.get(), CFSTR("other")};
    auto fixed = own(CFSetCreate(kCFAllocatorDefault, values, 3, &kCFTypeSetCallBacks));
    EXPECT_EQ(CFSetGetCount(fixed.get()), 2);
    EXPECT_TRUE(CFEqual(fixed.get(), set.get()));
    CFSetAddValue(const_cast<CFMutableSetRef>(fixed.get()), CFSTR("x"));
    EXPECT_EQ(CFSetGetCount(fixed.get()), 2);

    CFSetRemoveValue(set.get(), b.get());
    EXPECT_FALSE(CFSetContainsValue(set.get(), a.get()));
    EXPECT_EQ(CFGetRetainCount(a.get()), 1);
    EXPECT_FALSE(CFEqual(fixed.get(), set.get()));
}

// ---- the object model ----

TEST(CFCoreObject, ReferenceCountsHoldUnderConcurrentRetainAndRelease) {
    auto n = own(sint64(1));
    auto array = own(CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks));
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                CFRetain(n.get());
                CFRelease(n.get());
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(CFGetRetainCount(n.get()), 1);
    EXPECT_EQ(CFRetain(nullptr), nullptr);
    CFRelease(nullptr);
    EXPECT_EQ(CFGetRetainCount(kCFBooleanTrue), CFGetRetainCount(CFRetain(kCFBooleanTrue)));
}

TEST(CFCoreObject, DescriptionsAndEqualityOfContainers) {
    EXPECT_FALSE(CFBooleanGetValue(reinterpret_cast<CFBooleanRef>(CFSTR("true"))));
    EXPECT_EQ(CFCopyDescription(nullptr), nullptr);

    const UInt8 bytes[] = {0x01, 0xAB};
    auto data = own(CFDataCreate(kCFAllocatorDefault, bytes, 2));
    auto sameData = own(CFDataCreate(kCFAllocatorDefault, bytes, 2));
    EXPECT_EQ(CFDataGetLength(data.get()), 2);
    EXPECT_NE(CFDataGetBytePtr(data.get()), bytes);
    EXPECT_TRUE(CFEqual(data.get(), sameData.get()));
    EXPECT_EQ(CFDataCreate(kCFAllocatorDefault, nullptr, 3), nullptr);

    auto n = own(sint64(7));
    const void* inner[] = {n.get(), CFSTR("x")};
    auto innerArray = own(CFArrayCreate(kCFAllocatorDefault, inner, 2, &kCFTypeArrayCallBacks));
    const void* keys[] = {CFSTR("list"), CFSTR("flag")};
    const void* values[] = {innerArray.get(), kCFBooleanTrue};
    auto dict = own(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 2, &kCFTypeDictionaryKeyCallBacks,
                                       &kCFTypeDictionaryValueCallBacks));
    const void* reversedKeys[] = {keys[1], keys[0]};
    const void* reversedValues[] = {values[1], values[0]};
    auto reordered = own(CFDictionaryCreate(kCFAllocatorDefault, reversedKeys, reversedValues, 2,
                                            &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    EXPECT_TRUE(CFEqual(dict.get(), reordered.get()));
    EXPECT_EQ(CFHash(dict.get()), CFHash(reordered.get()));
    EXPECT_FALSE(CFEqual(dict.get(), innerArray.get()));

    auto description = own(CFCopyDescription(dict.get()));
    const std::string d = text(description.get());
    EXPECT_NE(d.find("list = ("), std::string::npos) << d;
    EXPECT_NE(d.find("7,"), std::string::npos) << d;
    EXPECT_NE(d.find("flag = true;"), std::string::npos) << d;
    EXPECT_EQ(format("%@", data.get()), "<01ab>");
}
