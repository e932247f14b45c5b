// Where the name lists are found and what happens to lists that are missing, malformed or not
// dictionaries. This executable's own folder has no resources, so every list comes from the
// bundles made here, in a folder of this process's own.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "HID_Name_Lookup.h"

namespace {

namespace fs = std::filesystem;

const char* const kLists[] = {"HID_device_usage_strings.plist", "HID_cookie_strings.plist", "HID_usage_strings.plist"};

std::string plist(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body + "\n</plist>\n";
}

// A list that names vendor 1, product 2, cookie 3, element 1:48 and usage page 1 / usage 0x30,
// each after the given label.
std::string namingList(const std::string& label) {
    return plist("<dict><key>1</key><dict><key>Name</key><string>" + label +
                 "</string><key>2</key><dict><key>Name</key><string>P</string><key>3</key><string>" + label +
                 "</string><key>1:48</key><string>" + label + "</string></dict></dict>" +
                 "<key>0x0001</key><dict><key>Name</key><string>" + label +
                 "</string><key>0x0030</key><string>X</string></dict></dict>");
}

// Bundles kept for the whole process, as bundles are; the library's is made last, so that it
// is also the last of all bundles.
fs::path gRoot, gFirst, gSecond, gLibrary;

fs::path makeBundle(const std::string& name, const std::string& identifier) {
    const fs::path folder = gRoot / name;
    fs::create_directories(folder / "Resources");
    std::ofstream(folder / "Info.plist") << plist("<dict><key>CFBundleIdentifier</key><string>" + identifier +
                                                  "</string></dict>");
    const std::string path = folder.string();
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(
        kCFAllocatorDefault, reinterpret_cast<const UInt8*>(path.data()), static_cast<CFIndex>(path.size()), true);
    EXPECT_NE(CFBundleCreate(kCFAllocatorDefault, url), nullptr) << path;
    CFRelease(url);
    return folder;
}

class NameListLoadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/hidconfig-bundles-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        gRoot = pattern;
        gFirst = makeBundle("first", "org.example.first");
        gSecond = makeBundle("second", "org.example.second");
        gLibrary = makeBundle("library", "org.ktrq7.hidutilities");
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(gRoot, ignored);
    }
    void SetUp() override { forget(); }
    void TearDown() override {
        forget();
        for (const fs::path& bundle : {gFirst, gSecond, gLibrary}) removeAll(bundle);
    }
    // Drops the lists the library keeps, as a process that starts afresh would find them.
    static void forget() {
        for (CFPropertyListRef* cache : {&gUsageCFPropertyListRef, &gCookieCFPropertyListRef, &tCFPropertyListRef}) {
            if (*cache) CFRelease(*cache);
            *cache = nullptr;
        }
    }
    static void putAll(const fs::path& bundle, const std::string& content) {
        for (const char* list : kLists) std::ofstream(bundle / "Resources" / list, std::ios::binary) << content;
    }
    static void removeAll(const fs::path& bundle) {
        std::error_code ignored;
        for (const char* list : kLists) fs::remove(bundle / "Resources" / list, ignored);
    }

    // "vendor|cookie element|usage element|usage", "-" for each lookup that failed and left the
    // buffer empty, "?" for one that failed and left something in it.
    static std::string names() {
        auto name = [](bool found, const char* text) { return found ? std::string(text) : text[0] ? "?" : "-"; };
        char vendor[64] = "junk", cookie[64] = "junk", element[64] = "junk", usage[64] = "-";
        std::string out = name(HIDGetVendorNameFromVendorID(1, vendor), vendor) + "|" +
                          name(HIDGetElementNameFromVendorProductCookie(1, 2, 3, cookie), cookie) + "|" +
                          name(HIDGetElementNameFromVendorProductUsage(1, 2, 1, 48, element), element) + "|";
        if (CFStringRef text = HIDCopyUsageName(1, 0x30)) {
            CFStringGetCString(text, usage, sizeof usage, kCFStringEncodingUTF8);
            CFRelease(text);
        }
        return out + usage;
    }
};

const char kNone[] = "-|-|-|-";

TEST_F(NameListLoadTest, MissingListsAreSoughtAgainAtTheNextLookupAndALoadedListIsKept) {
    EXPECT_EQ(names(), kNone);
    putAll(gSecond, namingList("Second"));
    EXPECT_EQ(names(), "Second|Second|Second|Second X");
    putAll(gSecond, namingList("New"));
    EXPECT_EQ(names(), "Second|Second|Second|Second X");
}

TEST_F(NameListLoadTest, LibraryBundleComesFirstThenEveryBundleInOrder) {
    putAll(gFirst, namingList("First"));
    putAll(gSecond, namingList("Second"));
    putAll(gLibrary, namingList("Library"));
    EXPECT_EQ(names(), "Library|Library|Library|Library X");
    removeAll(gLibrary);
    forget();
    EXPECT_EQ(names(), "First|First|First|First X");
}

TEST_F(NameListLoadTest, UnreadableListsFailAndAreSoughtAgain) {
    for (const std::string& bad : {std::string(), std::string("\xFF\xFE garbage"),
                                   plist("<dict><key>1</key><dict><key>Name</key>"), std::string("<plist>")}) {
        putAll(gLibrary, bad);
        EXPECT_EQ(names(), kNone);
        for (CFPropertyListRef cache : {gUsageCFPropertyListRef, gCookieCFPropertyListRef, tCFPropertyListRef})
            EXPECT_EQ(cache, nullptr);
    }
    putAll(gLibrary, namingList("Mended"));
    EXPECT_EQ(names(), "Mended|Mended|Mended|Mended X");
}

// Entries of every level that hold the wrong kind of object are not read as dictionaries; a
// list that is not a dictionary stays loaded and fails every lookup.
TEST_F(NameListLoadTest, ListsAndEntriesOfTheWrongKindFailTheLookups) {
    putAll(gLibrary, plist("<dict><key>1</key><dict><key>Name</key><data>AAE=</data>"
                           "<key>2</key><integer>4</integer></dict>"
                           "<key>0x0001</key><array><string>Name</string></array></dict>"));
    EXPECT_EQ(names(), kNone);
    forget();
    putAll(gLibrary, plist("<array><dict><key>1</key><string>x</string></dict></array>"));
    EXPECT_EQ(names(), kNone);
    putAll(gLibrary, namingList("Later"));
    EXPECT_EQ(names(), kNone);
}

}  // namespace
