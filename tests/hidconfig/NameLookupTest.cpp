// Name lookups against the lists in the main bundle's resources (copied beside this test).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "HID_Name_Lookup.h"

namespace {

// A buffer filled with guard bytes, to see how far a lookup wrote.
struct Buffer {
    char bytes[64];
    Buffer() { std::memset(bytes, '#', sizeof bytes); }
    std::string text() const { return std::string(bytes, strnlen(bytes, sizeof bytes)); }
    // How many bytes may have been written: the index of the first guard byte of the tail.
    size_t used() const {
        size_t end = sizeof bytes;
        while (end > 0 && bytes[end - 1] == '#') --end;
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
    EXPECT_EQ(usageName(9, 1), "<null>");    // the page has no name
    EXPECT_EQ(usageName(0xC, 1), "<null>");  // the page is no dictionary
}

using Lookup = std::function<Boolean(char*)>;

// Each lookup with the name it finds, or "" for one that fails and leaves an empty string.
TEST(NameLookupTest, NamesAreFoundAndFailuresLeaveAnEmptyString) {
    const std::pair<Lookup, const char*> cases[] = {
        {[](char* out) { return HIDGetVendorNameFromVendorID(100, out); }, "Acme"},
        {[](char* out) { return HIDGetVendorNameFromVendorID(-1, out); }, "Negative"},
        {[](char* out) { return HIDGetVendorNameFromVendorID(200, out); }, ""},  // no name
        {[](char* out) { return HIDGetVendorNameFromVendorID(300, out); }, ""},  // not a dictionary
        {[](char* out) { return HIDGetVendorNameFromVendorID(301, out); }, ""},  // a name that is no text
        {[](char* out) { return HIDGetVendorNameFromVendorID(999, out); }, ""},
        {[](char* out) { return HIDGetProductNameFromVendorProductID(100, 7, out); }, "Acme Pad"},
        // A missing vendor or product name is stood in for by its number.
        {[](char* out) { return HIDGetProductNameFromVendorProductID(100, 8, out); }, "Acme 8"},
        {[](char* out) { return HIDGetProductNameFromVendorProductID(200, 3, out); }, "200 Widget"},
        {[](char* out) { return HIDGetProductNameFromVendorProductID(100, 6, out); }, ""},
        {[](char* out) { return HIDGetProductNameFromVendorProductID(100, 9, out); }, ""},
        {[](char* out) { return HIDGetProductNameFromVendorProductID(300, 0, out); }, ""},
        {[](char* out) { return HIDGetProductNameFromVendorProductID(999, 7, out); }, ""},
        {[](char* out) { return HIDGetElementNameFromVendorProductUsage(100, 7, 1, 48, out); }, "Stick X"},
        {[](char* out) { return HIDGetElementNameFromVendorProductUsage(100, 7, 1, 49, out); }, "12"},
        {[](char* out) { return HIDGetElementNameFromVendorProductUsage(200, 3, 9, 1, out); }, "Trigger"},
        {[](char* out) { return HIDGetElementNameFromVendorProductUsage(100, 7, 1, 50, out); }, ""},
        {[](char* out) { return HIDGetElementNameFromVendorProductUsage(100, 9, 1, 48, out); }, ""},
        {[](char* out) { return HIDGetElementNameFromVendorProductUsage(300, 7, 1, 48, out); }, ""},
        {[](char* out) { return HIDGetElementNameFromVendorProductCookie(100, 7, 17, out); }, "Fire"},
        // Cookies are keyed as signed decimal numbers.
        {[](char* out) { return HIDGetElementNameFromVendorProductCookie(100, 7, 0xFFFFFFFF, out); }, "Last cookie"},
        {[](char* out) { return HIDGetElementNameFromVendorProductCookie(100, 7, 19, out); }, ""},
        {[](char* out) { return HIDGetElementNameFromVendorProductCookie(100, 8, 17, out); }, ""},
        {[](char* out) { return HIDGetElementNameFromVendorProductCookie(200, 3, 17, out); }, ""},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        Buffer name;
        EXPECT_EQ(cases[i].first(name.bytes), *cases[i].second != '\0') << i;
        EXPECT_EQ(name.text(), cases[i].second) << i;
    }
    Buffer notText;  // an entry that is no text is described
    EXPECT_TRUE(HIDGetElementNameFromVendorProductCookie(100, 7, 18, notText.bytes));
    EXPECT_NE(notText.text(), "");
}

// The callers provide twice the name's UTF-16 length plus one byte, and no more is written.
TEST(NameLookupTest, WritesStayWithinTwiceTheUtf16LengthPlusOne) {
    const struct {
        long vendor;
        const char* name;
        size_t room;
    } cases[] = {
        {401, "\xC3\xA9\xC3\xA9", 5},  // two two-byte characters
        {402, "\xF0\x9F\x98\x80", 5},  // one surrogate pair
        {403, "", 1},
        {400, "", 3},  // one three-byte character needs 4 bytes: the lookup fails
    };
    for (const auto& c : cases) {
        Buffer name;
        EXPECT_EQ(HIDGetVendorNameFromVendorID(c.vendor, name.bytes), c.vendor != 400) << c.vendor;
        EXPECT_EQ(name.text(), c.name);
        EXPECT_LE(name.used(), c.room) << c.vendor;
    }
    Buffer product;
    EXPECT_TRUE(HIDGetProductNameFromVendorProductID(100, 7, product.bytes));
    EXPECT_LE(product.used(), 2 * std::strlen("Acme Pad") + 1);
}

TEST(NameLookupTest, NullBufferIsRefused) {
    EXPECT_FALSE(HIDGetVendorNameFromVendorID(100, nullptr));
    EXPECT_FALSE(HIDGetProductNameFromVendorProductID(100, 7, nullptr));
    EXPECT_FALSE(HIDGetElementNameFromVendorProductCookie(100, 7, 17, nullptr));
    EXPECT_FALSE(HIDGetElementNameFromVendorProductUsage(100, 7, 1, 48, nullptr));
    HIDGetTypeName(kIOHIDElementTypeInput_Misc, nullptr);
}

TEST(TypeNameTest, NamesFitTwentyBytes) {
    const std::pair<int, const char*> names[] = {
        {1, "Miscellaneous Input"}, {2, "Button Input"},   {3, "Axis Input"},
        {4, "Scan Code Input"},     {129, "Output"},       {257, "Feature"},
        {513, "Collection"},        {0, "Unknown Type"},   {5, "Unknown Type"},
        {128, "Unknown Type"},      {130, "Unknown Type"}, {256, "Unknown Type"},
        {512, "Unknown Type"},      {514, "Unknown Type"}};
    for (const auto& [type, text] : names) {
        Buffer name;
        HIDGetTypeName(static_cast<IOHIDElementType>(type), name.bytes);
        EXPECT_EQ(name.text(), text) << type;
        EXPECT_LE(name.used(), 20u);
    }
}

}  // namespace
