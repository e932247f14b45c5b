// Where the name lists are found, and lists that are missing, malformed or not dictionaries. This
// executable's own folder has no resources, so every list comes from the bundles made here.
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "ElementBus.h"

namespace {

namespace fs = std::filesystem;

std::string plist(const std::string& body) {
    return "<?xml version=\"1.0\"?><plist version=\"1.0\">" + body + "</plist>";
}

// Names vendor 1, the element with cookie 3 of its product 2, and usage page 1 after the label;
// usage 1:0x30 is "X".
std::string namingList(const std::string& label) {
    const std::string name = "<string>" + label + "</string>";
    return plist("<dict><key>1</key><dict><key>Name</key>" + name + "<key>2</key><dict><key>3</key>" + name +
                 "</dict></dict><key>0x0001</key><dict><key>Name</key>" + name +
                 "<key>0x0030</key><string>X</string></dict></dict>");
}

// Drops the lists the library keeps, as a process that starts afresh would find them.
void forget() {
    for (CFPropertyListRef* cache : {&gUsageCFPropertyListRef, &gCookieCFPropertyListRef, &tCFPropertyListRef})
        if (*cache) CFRelease(*cache), *cache = nullptr;
}

// "vendor|cookie element|usage" names, one from each list; "-" for a lookup that failed and left the
// buffer empty, "?" for one that left something in it. Elements by usage share the vendors' list.
std::string names() {
    char vendor[64] = "junk", cookie[64] = "junk", usage[64] = "-";
    auto name = [](bool found, const char* text) { return found ? std::string(text) : text[0] ? "?" : "-"; };
    std::string out = name(HIDGetVendorNameFromVendorID(1, vendor), vendor) + "|" +
                      name(HIDGetElementNameFromVendorProductCookie(1, 2, 3, cookie), cookie) + "|";
    if (CFStringRef text = HIDCopyUsageName(1, 0x30))
        CFStringGetCString(text, usage, sizeof usage, kCFStringEncodingUTF8), CFRelease(text);
    return out + usage;
}

// The bundles are made in a folder of this process's own and kept, as bundles are; the library's
// is made last, so that it is also the last of all bundles.
TEST(NameListLoadTest, ListsComeFromTheLibrarysBundleElseTheFirstBundleThatHasThemAndOnlyReadOnesAreKept) {
    char pattern[] = "/tmp/hidconfig-bundles-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path root = pattern;
    const std::string bundles[] = {"first", "second", "org.ktrq7.hidutilities"};
    for (const std::string& bundle : bundles) {
        fs::create_directories(root / bundle / "Resources");
        std::ofstream(root / bundle / "Info.plist")
            << plist("<dict><key>CFBundleIdentifier</key><string>" + bundle + "</string></dict>");
        const std::string path = (root / bundle).string();
        CFURLRef url = CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path.data()),
                                                               static_cast<CFIndex>(path.size()), true);
        ASSERT_NE(CFBundleCreate(nullptr, url), nullptr) << path;
        CFRelease(url);
    }
    // The three lists of a bundle with the content given, or none.
    auto put = [&](int bundle, const char* content) {
        for (const char* list : {"HID_device_usage_strings", "HID_cookie_strings", "HID_usage_strings"}) {
            const fs::path path = root / bundles[bundle] / "Resources" / (std::string(list) + ".plist");
            if (content) std::ofstream(path, std::ios::binary) << content;
            if (!content) fs::remove(path);
        }
    };
    const char kNone[] = "-|-|-";

    EXPECT_EQ(names(), kNone);
    put(1, namingList("Second").c_str());
    EXPECT_EQ(names(), "Second|Second|Second X");  // sought again
    put(0, namingList("First").c_str()), put(2, namingList("Library").c_str());
    EXPECT_EQ(names(), "Second|Second|Second X");  // kept
    forget();
    EXPECT_EQ(names(), "Library|Library|Library X");
    put(2, nullptr), forget();
    EXPECT_EQ(names(), "First|First|First X");

    // Lists that cannot be read are sought again; one that is not a dictionary stays and fails every lookup.
    put(0, nullptr), put(1, nullptr), forget();
    for (const char* bad : {"", "\xFF\xFE garbage", "<plist><dict><key>1</key>"}) {
        put(2, bad);
        EXPECT_EQ(names(), kNone);
        EXPECT_FALSE(gUsageCFPropertyListRef || gCookieCFPropertyListRef || tCFPropertyListRef) << bad;
    }
    put(2, plist("<array><dict><key>1</key><string>x</string></dict></array>").c_str());
    EXPECT_EQ(names(), kNone);
    put(2, namingList("Later").c_str());
    EXPECT_EQ(names(), kNone);
    fs::remove_all(root);
}

}  // namespace
