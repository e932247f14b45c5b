// Where the name lists are found and what happens to lists that are missing, malformed or not
// dictionaries. This executable's own folder has no resources, so every list comes from the
// bundles made here, in a folder of this process's own.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "HID_Name_Lookup.h"

namespace {

namespace fs = std::filesystem;

const char kLibraryBundleID[] = "org.ktrq7.hidutilities";

const char kUsageList[] = "HID_device_usage_strings";
const char kCookieList[] = "HID_cookie_strings";
const char kPageList[] = "HID_usage_strings";

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

class Bundles : public ::testing::Environment {
public:
    static fs::path root;
    static fs::path first, second, library;

    void SetUp() override {
        char pattern[] = "/tmp/hidconfig-bundles-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        // The library's bundle is made last, so that it is also the last of all bundles.
        first = make("first", "org.example.first");
        second = make("second", "org.example.second");
        library = make("library", kLibraryBundleID);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

private:
    static fs::path make(const std::string& name, const std::string& identifier) {
        const fs::path folder = root / name;
        fs::create_directories(folder / "Resources");
        std::ofstream(folder / "Info.plist")
            << plist("<dict><key>CFBundleIdentifier</key><string>" + identifier + "</string></dict>");
        const std::string path = folder.string();
        CFURLRef url = CFURLCreateFromFileSystemRepresentation(
            kCFAllocatorDefault, reinterpret_cast<const UInt8*>(path.data()), static_cast<CFIndex>(path.size()), true);
        CFBundleRef bundle = CFBundleCreate(kCFAllocatorDefault, url);
        CFRelease(url);
        EXPECT_NE(bundle, nullptr) << path;
        // Kept for the whole process, as bundles are.
        return folder;
    }
};
fs::path Bundles::root, Bundles::first, Bundles::second, Bundles::library;

[[maybe_unused]] const auto* const kBundles = ::testing::AddGlobalTestEnvironment(new Bundles);

void dropCache(CFPropertyListRef& cache) {
    if (cache) CFRelease(cache);
    cache = nullptr;
}

class NameListLoadTest : public ::testing::Test {
protected:
    void SetUp() override { forget(); }
    void TearDown() override {
        forget();
        for (const fs::path& bundle : {Bundles::first, Bundles::second, Bundles::library}) {
            std::error_code ignored;
            for (const char* list : {kUsageList, kCookieList, kPageList})
                fs::remove(bundle / "Resources" / (std::string(list) + ".plist"), ignored);
        }
    }
    static void forget() {
        dropCache(gUsageCFPropertyListRef);
        dropCache(gCookieCFPropertyListRef);
        dropCache(tCFPropertyListRef);
    }
    static void put(const fs::path& bundle, const char* list, const std::string& content) {
        std::ofstream(bundle / "Resources" / (std::string(list) + ".plist"), std::ios::binary) << content;
    }
    static void putAll(const fs::path& bundle, const std::string& content) {
        for (const char* list : {kUsageList, kCookieList, kPageList}) put(bundle, list, content);
    }

    // "vendor|cookie element|usage element|usage", "-" for each lookup that failed and left the
    // buffer empty, "?" for one that failed and left something in it.
    static std::string names() {
        auto name = [](bool found, const char* text) { return found ? std::string(text) : text[0] ? "?" : "-"; };
        char vendor[64] = "junk", cookie[64] = "junk", element[64] = "junk";
        std::string out = name(HIDGetVendorNameFromVendorID(1, vendor), vendor) + "|" +
                          name(HIDGetElementNameFromVendorProductCookie(1, 2, 3, cookie), cookie) + "|" +
                          name(HIDGetElementNameFromVendorProductUsage(1, 2, 1, 48, element), element) + "|";
        CFStringRef usage = HIDCopyUsageName(1, 0x30);
        char text[64] = "-";
        if (usage) CFStringGetCString(usage, text, sizeof text, kCFStringEncodingUTF8);
        if (usage) CFRelease(usage);
        return out + text;
    }
};

const char kNone[] = "-|-|-|-";

TEST_F(NameListLoadTest, MissingListsAreSoughtAgainAtTheNextLookup) {
    EXPECT_EQ(names(), kNone);
    putAll(Bundles::second, namingList("Second"));
    EXPECT_EQ(names(), "Second|Second|Second|Second X");
}

TEST_F(NameListLoadTest, LibraryBundleComesFirstThenEveryBundleInOrder) {
    putAll(Bundles::first, namingList("First"));
    putAll(Bundles::second, namingList("Second"));
    putAll(Bundles::library, namingList("Library"));
    EXPECT_EQ(names(), "Library|Library|Library|Library X");

    for (const char* list : {kUsageList, kCookieList, kPageList})
        fs::remove(Bundles::library / "Resources" / (std::string(list) + ".plist"));
    forget();
    EXPECT_EQ(names(), "First|First|First|First X");
}

TEST_F(NameListLoadTest, LoadedListIsKeptAndNotReadAgain) {
    putAll(Bundles::library, namingList("Old"));
    EXPECT_EQ(names(), "Old|Old|Old|Old X");
    putAll(Bundles::library, namingList("New"));
    EXPECT_EQ(names(), "Old|Old|Old|Old X");
}

TEST_F(NameListLoadTest, UnreadableListsFailAndAreSoughtAgain) {
    for (const std::string& bad : {std::string(), std::string("\xFF\xFE garbage"),
                                   plist("<dict><key>1</key><dict><key>Name</key>"), std::string("<plist>")}) {
        putAll(Bundles::library, bad);
        EXPECT_EQ(names(), kNone);
        EXPECT_EQ(gUsageCFPropertyListRef, nullptr);
        EXPECT_EQ(gCookieCFPropertyListRef, nullptr);
        EXPECT_EQ(tCFPropertyListRef, nullptr);
    }
    putAll(Bundles::library, namingList("Mended"));
    EXPECT_EQ(names(), "Mended|Mended|Mended|Mended X");
}

TEST_F(NameListLoadTest, ListThatIsNotADictionaryStaysAndFailsEveryLookup) {
    putAll(Bundles::library, plist("<array><dict><key>1</key><string>x</string></dict></array>"));
    EXPECT_EQ(names(), kNone);
    putAll(Bundles::library, namingList("Later"));
    EXPECT_EQ(names(), kNone);
}

// Entries of every level that hold the wrong kind of object are not read as dictionaries.
TEST_F(NameListLoadTest, EntriesOfTheWrongKindEndTheSearch) {
    putAll(Bundles::library, plist("<dict><key>1</key><dict><key>Name</key><data>AAE=</data>"
                                   "<key>2</key><integer>4</integer></dict>"
                                   "<key>0x0001</key><array><string>Name</string></array></dict>"));
    EXPECT_EQ(names(), kNone);
}

}  // namespace
