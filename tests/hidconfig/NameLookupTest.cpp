// Name lookups against the lists in the main bundle's resources (copied beside this test).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "HID_Name_Lookup.h"

namespace {

const char kGuard = '#';

// A buffer filled with guard bytes, to see how far a lookup wrote.
struct Buffer {
    char bytes[64];
    Buffer() { std::memset(bytes, kGuard, sizeof bytes); }
    std::string text() const { return std::string(bytes, strnlen(bytes, sizeof bytes)); }
    // Index of the first guard byte left in the tail, i.e. how many bytes may have been written.
    size_t untouchedFrom() const {
        size_t end = sizeof bytes;
        while (end > 0 && bytes[end - 1] == kGuard) --end;
        return end;
    }
};

std::string usageName(long page, long usage) {
    CFStringRef name = HIDCopyUsageName(page, usage);
    if (!name) return "<null>";
    char text[256];
    EXPECT_TRUE(CFStringGetCString(name, text, sizeof text, kCFStringEncodingUTF8));
    CFRelease(name);
    return text;
}

TEST(UsageNameTest, KeysAreUpperCaseHexWithAtLeastFourDigits) {
    EXPECT_EQ(usageName(1, 0x30), "Generic Desktop X");
    EXPECT_EQ(usageName(0x10000, 0x12345), "Wide Page Wide Usage");
    EXPECT_EQ(usageName(0xFF00, 1), "<null>");  // listed only under "0xff00"
    EXPECT_EQ(usageName(1, 0x31), "<null>");
    EXPECT_EQ(usageName(2, 1), "<null>");
}

TEST(UsageNameTest, PageWithoutNameOrNotADictionaryGivesNull) {
    EXPECT_EQ(usageName(9, 1), "<null>");
    EXPECT_EQ(usageName(0xC, 1), "<null>");
}

TEST(NameLookupTest, VendorNames) {
    Buffer name;
    EXPECT_TRUE(HIDGetVendorNameFromVendorID(100, name.bytes));
    EXPECT_EQ(name.text(), "Acme");
    EXPECT_TRUE(HIDGetVendorNameFromVendorID(-1, name.bytes));
    EXPECT_EQ(name.text(), "Negative");

    for (long vendor : {200L, 300L, 301L, 999L}) {
        Buffer missing;
        EXPECT_FALSE(HIDGetVendorNameFromVendorID(vendor, missing.bytes)) << vendor;
        EXPECT_EQ(missing.text(), "") << vendor;
    }
}

TEST(NameLookupTest, ProductNamesJoinVendorAndProduct) {
    Buffer name;
    EXPECT_TRUE(HIDGetProductNameFromVendorProductID(100, 7, name.bytes));
    EXPECT_EQ(name.text(), "Acme Pad");
    // A missing name is stood in for by its number.
    EXPECT_TRUE(HIDGetProductNameFromVendorProductID(100, 8, name.bytes));
    EXPECT_EQ(name.text(), "Acme 8");
    EXPECT_TRUE(HIDGetProductNameFromVendorProductID(200, 3, name.bytes));
    EXPECT_EQ(name.text(), "200 Widget");

    // Unknown vendor or product, and entries that are not dictionaries.
    for (auto ids :
         {std::make_pair(100L, 6L), std::make_pair(100L, 9L), std::make_pair(300L, 0L), std::make_pair(999L, 7L)}) {
        Buffer missing;
        EXPECT_FALSE(HIDGetProductNameFromVendorProductID(ids.first, ids.second, missing.bytes));
        EXPECT_EQ(missing.text(), "");
    }
}

TEST(NameLookupTest, ElementNamesByUsage) {
    Buffer name;
    EXPECT_TRUE(HIDGetElementNameFromVendorProductUsage(100, 7, 1, 48, name.bytes));
    EXPECT_EQ(name.text(), "Stick X");
    EXPECT_TRUE(HIDGetElementNameFromVendorProductUsage(100, 7, 1, 49, name.bytes));
    EXPECT_EQ(name.text(), "12");
    // The vendor lacks a name, its products are still found.
    EXPECT_TRUE(HIDGetElementNameFromVendorProductUsage(200, 3, 9, 1, name.bytes));
    EXPECT_EQ(name.text(), "Trigger");

    Buffer missing;
    EXPECT_FALSE(HIDGetElementNameFromVendorProductUsage(100, 7, 1, 50, missing.bytes));
    EXPECT_EQ(missing.text(), "");
    EXPECT_FALSE(HIDGetElementNameFromVendorProductUsage(100, 9, 1, 48, missing.bytes));
    EXPECT_FALSE(HIDGetElementNameFromVendorProductUsage(300, 7, 1, 48, missing.bytes));
    EXPECT_EQ(missing.text(), "");
}

TEST(NameLookupTest, ElementNamesByCookie) {
    Buffer name;
    EXPECT_TRUE(HIDGetElementNameFromVendorProductCookie(100, 7, 17, name.bytes));
    EXPECT_EQ(name.text(), "Fire");
    // Cookies are keyed as signed decimal numbers.
    EXPECT_TRUE(HIDGetElementNameFromVendorProductCookie(100, 7, 0xFFFFFFFF, name.bytes));
    EXPECT_EQ(name.text(), "Last cookie");
    EXPECT_TRUE(HIDGetElementNameFromVendorProductCookie(100, 7, 18, name.bytes));
    EXPECT_NE(name.text(), "");

    Buffer missing;
    EXPECT_FALSE(HIDGetElementNameFromVendorProductCookie(100, 7, 19, missing.bytes));
    EXPECT_EQ(missing.text(), "");
    EXPECT_FALSE(HIDGetElementNameFromVendorProductCookie(100, 8, 17, missing.bytes));
    EXPECT_FALSE(HIDGetElementNameFromVendorProductCookie(200, 3, 17, missing.bytes));
    EXPECT_EQ(missing.text(), "");
}

// The callers provide twice the name's UTF-16 length plus one byte, and no more is written.
TEST(NameLookupTest, WritesStayWithinTwiceTheUtf16LengthPlusOne) {
    Buffer fits;
    EXPECT_TRUE(HIDGetVendorNameFromVendorID(401, fits.bytes));  // "éé": 5 of 5 bytes
    EXPECT_EQ(fits.text(), "\xC3\xA9\xC3\xA9");
    EXPECT_LE(fits.untouchedFrom(), 5u);

    Buffer pair;
    EXPECT_TRUE(HIDGetVendorNameFromVendorID(402, pair.bytes));  // one surrogate pair: 5 of 5 bytes
    EXPECT_EQ(pair.text(), "\xF0\x9F\x98\x80");
    EXPECT_LE(pair.untouchedFrom(), 5u);

    Buffer tooLong;
    EXPECT_FALSE(HIDGetVendorNameFromVendorID(400, tooLong.bytes));  // "€€€": 10 bytes, 7 given
    EXPECT_EQ(tooLong.bytes[0], '\0');
    EXPECT_LE(tooLong.untouchedFrom(), 7u);

    Buffer empty;
    EXPECT_TRUE(HIDGetVendorNameFromVendorID(403, empty.bytes));
    EXPECT_EQ(empty.text(), "");
    EXPECT_LE(empty.untouchedFrom(), 1u);

    Buffer product;
    EXPECT_TRUE(HIDGetProductNameFromVendorProductID(100, 7, product.bytes));
    EXPECT_LE(product.untouchedFrom(), 2 * std::strlen("Acme Pad") + 1);
}

TEST(NameLookupTest, NullBufferIsRefused) {
    EXPECT_FALSE(HIDGetVendorNameFromVendorID(100, nullptr));
    EXPECT_FALSE(HIDGetProductNameFromVendorProductID(100, 7, nullptr));
    EXPECT_FALSE(HIDGetElementNameFromVendorProductCookie(100, 7, 17, nullptr));
    EXPECT_FALSE(HIDGetElementNameFromVendorProductUsage(100, 7, 1, 48, nullptr));
    HIDGetTypeName(kIOHIDElementTypeInput_Misc, nullptr);
}

TEST(TypeNameTest, NamesFitTwentyBytes) {
    const std::pair<int, const char*> names[] = {{1, "Miscellaneous Input"}, {2, "Button Input"}, {3, "Axis Input"},
                                                 {4, "Scan Code Input"},     {129, "Output"},     {257, "Feature"},
                                                 {513, "Collection"}};
    for (const auto& entry : names) {
        Buffer name;
        HIDGetTypeName(static_cast<IOHIDElementType>(entry.first), name.bytes);
        EXPECT_EQ(name.text(), entry.second);
        EXPECT_LE(name.untouchedFrom(), 20u);
    }
    for (int type : {0, 5, 128, 130, 256, 512, 514}) {
        Buffer name;
        HIDGetTypeName(static_cast<IOHIDElementType>(type), name.bytes);
        EXPECT_EQ(name.text(), "Unknown Type") << type;
    }
}

}  // namespace
