// Name lookups against the lists in the main bundle's resources (copied beside this test).
#include "ElementBus.h"

namespace {

// A usage name written as the name lookups write theirs.
Boolean usageName(long page, long usage, char* out) {
    CFStringRef name = HIDCopyUsageName(page, usage);
    if (out) *out = '\0';
    const Boolean found = name && out && CFStringGetCString(name, out, 64, kCFStringEncodingUTF8);
    if (name) CFRelease(name);
    return found;
}

// Each lookup ('v' vendor, 'p' product, 'u' element by usage, 'c' element by cookie, 'n' usage name
// of a page and usage, 't' element type name) with the name it finds, or "-" when it fails and leaves
// an empty string. No more is written than twice the name's UTF-16 length plus one byte, the room the
// callers give. Vendor 200 has no name, 300 is no dictionary, 301's name is no text, 401 to 403 have
// names of two two-byte characters, a surrogate pair and nothing, and 400's three-byte character does
// not fit. Product 100:8 has no name, 100:9 is no dictionary; the element 100:7:1:49 is a number,
// described as text; cookies are keyed as signed numbers. Usage page 0xFF00 is listed only under
// "0xff00", page 9 has no name and page 0xC is no dictionary.
TEST(NameLookupTest, NamesAreFoundWithinTheirRoomAndFailuresLeaveAnEmptyString) {
    // clang-format off
    const struct {
        char kind;
        long a, b, c, d;
        const char* name;
        size_t room = 0;  // 0: twice the length plus one
    } rows[] = {
        {'v', 100, 0, 0, 0, "Acme"}, {'v', -1, 0, 0, 0, "Negative"}, {'v', 200, 0, 0, 0, "-"}, {'v', 300, 0, 0, 0, "-"},
        {'v', 301, 0, 0, 0, "-"}, {'v', 999, 0, 0, 0, "-"}, {'v', 401, 0, 0, 0, "\xC3\xA9\xC3\xA9", 5},
        {'v', 402, 0, 0, 0, "\xF0\x9F\x98\x80", 5}, {'v', 403, 0, 0, 0, "", 1}, {'v', 400, 0, 0, 0, "-", 3},
        {'p', 100, 7, 0, 0, "Acme Pad"}, {'p', 100, 8, 0, 0, "Acme 8"}, {'p', 200, 3, 0, 0, "200 Widget"},
        {'p', 100, 6, 0, 0, "-"}, {'p', 100, 9, 0, 0, "-"}, {'p', 300, 0, 0, 0, "-"}, {'p', 999, 7, 0, 0, "-"},
        {'u', 100, 7, 1, 48, "Stick X"}, {'u', 100, 7, 1, 49, "12"}, {'u', 300, 7, 1, 48, "-"},
        {'u', 200, 3, 9, 1, "Trigger"}, {'u', 100, 7, 1, 50, "-"}, {'u', 100, 9, 1, 48, "-"}, {'c', 100, 7, 19, 0, "-"},
        {'c', 100, 7, 17, 0, "Fire"}, {'c', 100, 7, 0xFFFFFFFF, 0, "Last cookie"}, {'c', 100, 8, 17, 0, "-"},
        {'c', 200, 3, 17, 0, "-"}, {'n', 1, 0x30, 0, 0, "Generic Desktop X"}, {'n', 0xFF00, 1, 0, 0, "-"},
        {'n', 0x10000, 0x12345, 0, 0, "Wide Page Wide Usage"}, {'n', 1, 0x31, 0, 0, "-"}, {'n', 2, 1, 0, 0, "-"},
        {'n', 9, 1, 0, 0, "-"}, {'n', 0xC, 1, 0, 0, "-"}, {'t', 1, 0, 0, 0, "Miscellaneous Input"},
        {'t', 2, 0, 0, 0, "Button Input"}, {'t', 3, 0, 0, 0, "Axis Input"}, {'t', 4, 0, 0, 0, "Scan Code Input"},
        {'t', 129, 0, 0, 0, "Output"}, {'t', 257, 0, 0, 0, "Feature"}, {'t', 513, 0, 0, 0, "Collection"},
        {'t', 0, 0, 0, 0, "Unknown Type"}, {'t', 5, 0, 0, 0, "Unknown Type"}, {'t', 128, 0, 0, 0, "Unknown Type"},
        {'t', 130, 0, 0, 0, "Unknown Type"}, {'t', 256, 0, 0, 0, "Unknown Type"}, {'t', 512, 0, 0, 0, "Unknown Type"},
        {'t', 514, 0, 0, 0, "Unknown Type"}};
    // clang-format on
    for (const auto& row : rows) {
        // clang-format off
        auto lookup = [&row](char* out) -> Boolean {
            switch (row.kind) {
                case 'v': return HIDGetVendorNameFromVendorID(row.a, out);
                case 'p': return HIDGetProductNameFromVendorProductID(row.a, row.b, out);
                case 'u': return HIDGetElementNameFromVendorProductUsage(row.a, row.b, row.c, row.d, out);
                case 'c': return HIDGetElementNameFromVendorProductCookie(row.a, row.b, row.c, out);
                case 't': return HIDGetTypeName(static_cast<IOHIDElementType>(row.a), out), out != nullptr;
                default: return usageName(row.a, row.b, out);
            }
        };
        // clang-format on
        char name[64];  // guard bytes show how far the lookup wrote
        std::memset(name, '#', sizeof name);
        const bool found = lookup(name);
        const std::string text(name, strnlen(name, sizeof name)), all(name, sizeof name);
        EXPECT_EQ(found ? text : text.empty() ? "-" : "?", row.name) << row.kind << row.a << ":" << row.b;
        EXPECT_LE(all.find_last_not_of('#') + 1, row.room ? row.room : 2 * std::strlen(row.name) + 1)
            << row.kind << row.a;
        EXPECT_FALSE(lookup(nullptr));
    }
    char notText[64] = "";  // an entry that is no text is described
    EXPECT_TRUE(HIDGetElementNameFromVendorProductCookie(100, 7, 18, notText) && *notText);
}

}  // namespace
