// Name lookups against the lists in the main bundle's resources (copied beside this test).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "HID_Name_Lookup.h"

namespace {

// A buffer of guard bytes, to see how far a lookup wrote.
struct Buffer {
    char bytes[64];
    Buffer() { std::memset(bytes, '#', sizeof bytes); }
    std::string text() const { return std::string(bytes, strnlen(bytes, sizeof bytes)); }
    size_t used() const {  // the index of the first guard byte of the tail
        size_t end = sizeof bytes;
        while (end > 0 && bytes[end - 1] == '#') --end;
        return end;
    }
};

std::string usageName(long page, long usage) {
    CFStringRef name = HIDCopyUsageName(page, usage);
    char text[256] = "<null>";
    if (name) CFStringGetCString(name, text, sizeof text, kCFStringEncodingUTF8), CFRelease(name);
    return text;
}

// Page 0xFF00 is listed only under "0xff00", page 9 has no name, page 0xC is no dictionary.
TEST(NameLookupTest, UsageKeysAreUpperCaseHexWithAtLeastFourDigitsUnderANamedPage) {
    // clang-format off
    const std::tuple<long, long, const char*> rows[] = {{1, 0x30, "Generic Desktop X"},
        {0x10000, 0x12345, "Wide Page Wide Usage"}, {0xFF00, 1, "<null>"}, {1, 0x31, "<null>"}, {2, 1, "<null>"},
        {9, 1, "<null>"}, {0xC, 1, "<null>"}};
    // clang-format on
    for (const auto& [page, usage, name] : rows) EXPECT_EQ(usageName(page, usage), name) << page << ":" << usage;
}

// Each lookup ('v' vendor, 'p' product, 'u' element by usage, 'c' element by cookie) with the name
// it finds, or "" for one that fails and leaves an empty string. Vendor 200 has no name, 300 is no
// dictionary, 301's name is no text; product 100:8 has no name, 100:9 is no dictionary; the element
// 100:7:1:49 is a number, described as text; cookies are keyed as signed numbers.
TEST(NameLookupTest, NamesAreFoundAndFailuresLeaveAnEmptyString) {
    // clang-format off
    const struct {
        char kind;
        long vendor, product, a, b;
        const char* name;
    } rows[] = {
        {'v', 100, 0, 0, 0, "Acme"}, {'v', -1, 0, 0, 0, "Negative"}, {'v', 200, 0, 0, 0, ""}, {'v', 300, 0, 0, 0, ""},
        {'v', 301, 0, 0, 0, ""}, {'v', 999, 0, 0, 0, ""}, {'p', 100, 7, 0, 0, "Acme Pad"}, {'p', 100, 8, 0, 0, "Acme 8"},
        {'p', 200, 3, 0, 0, "200 Widget"}, {'p', 100, 6, 0, 0, ""}, {'p', 100, 9, 0, 0, ""}, {'p', 300, 0, 0, 0, ""},
        {'p', 999, 7, 0, 0, ""}, {'u', 100, 7, 1, 48, "Stick X"}, {'u', 100, 7, 1, 49, "12"}, {'u', 300, 7, 1, 48, ""},
        {'u', 200, 3, 9, 1, "Trigger"}, {'u', 100, 7, 1, 50, ""}, {'u', 100, 9, 1, 48, ""}, {'c', 100, 7, 19, 0, ""},
        {'c', 100, 7, 17, 0, "Fire"}, {'c', 100, 7, 0xFFFFFFFF, 0, "Last cookie"}, {'c', 100, 8, 17, 0, ""},
        {'c', 200, 3, 17, 0, ""}};
    // clang-format on
    for (const auto& row : rows) {
        auto lookup = [&row](char* out) -> Boolean {
            return row.kind == 'v'   ? HIDGetVendorNameFromVendorID(row.vendor, out)
                   : row.kind == 'p' ? HIDGetProductNameFromVendorProductID(row.vendor, row.product, out)
                   : row.kind == 'u'
                       ? HIDGetElementNameFromVendorProductUsage(row.vendor, row.product, row.a, row.b, out)
                       : HIDGetElementNameFromVendorProductCookie(row.vendor, row.product, row.a, out);
        };
        Buffer name;
        EXPECT_EQ(lookup(name.bytes), *row.name != '\0') << row.kind << row.vendor << ":" << row.product;
        EXPECT_EQ(name.text(), row.name) << row.kind << row.vendor << ":" << row.product;
        EXPECT_FALSE(lookup(nullptr));
    }
    Buffer notText;  // an entry that is no text is described
    EXPECT_TRUE(HIDGetElementNameFromVendorProductCookie(100, 7, 18, notText.bytes) && notText.text() != "");
}

// Twice the name's UTF-16 length plus one byte is what callers provide, and no more is written: two
// two-byte characters, a surrogate pair, an empty name, and a three-byte character that does not fit.
TEST(NameLookupTest, WritesStayWithinTwiceTheUtf16LengthPlusOne) {
    const std::tuple<long, const char*, size_t> rows[] = {
        {401, "\xC3\xA9\xC3\xA9", 5}, {402, "\xF0\x9F\x98\x80", 5}, {403, "", 1}, {400, "", 3}};
    for (const auto& [vendor, text, room] : rows) {
        Buffer name;
        EXPECT_EQ(HIDGetVendorNameFromVendorID(vendor, name.bytes), vendor != 400) << vendor;
        EXPECT_EQ(name.text(), text);
        EXPECT_LE(name.used(), room) << vendor;
    }
    Buffer product;
    EXPECT_TRUE(HIDGetProductNameFromVendorProductID(100, 7, product.bytes));
    EXPECT_LE(product.used(), 2 * std::strlen("Acme Pad") + 1);
}

TEST(NameLookupTest, TypeNamesFitTwentyBytes) {
    // clang-format off
    const std::pair<int, const char*> names[] = {{1, "Miscellaneous Input"}, {2, "Button Input"}, {3, "Axis Input"},
        {4, "Scan Code Input"}, {129, "Output"}, {257, "Feature"}, {513, "Collection"}, {0, "Unknown Type"},
        {5, "Unknown Type"}, {128, "Unknown Type"}, {130, "Unknown Type"}, {256, "Unknown Type"},
        {512, "Unknown Type"}, {514, "Unknown Type"}};
    // clang-format on
    for (const auto& [type, text] : names) {
        Buffer name;
        HIDGetTypeName(static_cast<IOHIDElementType>(type), name.bytes);
        EXPECT_EQ(name.text(), text) << type;
        EXPECT_LE(name.used(), 20u);
    }
    HIDGetTypeName(kIOHIDElementTypeInput_Misc, nullptr);
}

}  // namespace
