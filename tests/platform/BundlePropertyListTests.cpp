// Bundles and their resources, file URLs, XML property lists and preferences on disk.
#include <CoreFoundation/CoreFoundation.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

// A fresh folder, removed with everything in it at the end.
class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/ktr-platform-XXXXXX";
        m_path = mkdtemp(pattern) ? pattern : "";
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!m_path.empty()) fs::remove_all(m_path, ignored);
    }
    const std::string& path() const { return m_path; }
    std::string write(const std::string& name, const std::string& bytes) const {
        const fs::path file = fs::path(m_path) / name;
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << bytes;
        return file.string();
    }

private:
    std::string m_path;
};

std::string text(CFStringRef s) {
    if (!s) return "(null)";
    char buffer[1024] = {};
    CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8);
    return buffer;
}

std::string pathOf(CFURLRef url) {
    UInt8 buffer[PATH_MAX] = {};
    return url && CFURLGetFileSystemRepresentation(url, true, buffer, sizeof buffer) ? (const char*)buffer : "";
}

CFURLRef fileURL(const std::string& path, bool isDirectory = false) {
    return CFURLCreateFromFileSystemRepresentation(nullptr, (const UInt8*)path.data(), (CFIndex)path.size(),
                                                   isDirectory);
}

CFPropertyListRef parse(const std::string& xml, CFOptionFlags options = kCFPropertyListImmutable,
                        CFStringRef* error = nullptr) {
    CFDataRef data = CFDataCreate(nullptr, (const UInt8*)xml.data(), (CFIndex)xml.size());
    CFPropertyListRef list = CFPropertyListCreateFromXMLData(nullptr, data, options, error);
    CFRelease(data);
    return list;
}

std::string plist(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body + "</plist>\n";
}

std::string nested(size_t depth) {
    std::string s;
    for (size_t i = 0; i < depth; ++i) s += "<array>";
    for (size_t i = 0; i < depth; ++i) s += "</array>";
    return plist(s);
}

std::string executableFolder() { return fs::read_symlink("/proc/self/exe").parent_path().string(); }

}  // namespace

TEST(Bundles, MainBundleIsTheExecutablesFolderWithItsResources) {
    CFBundleRef main = CFBundleGetMainBundle();
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(CFGetTypeID(main), CFBundleGetTypeID());
    EXPECT_EQ(CFBundleGetMainBundle(), main);
    EXPECT_EQ(text(CFBundleGetIdentifier(main)), "org.ktrq7.updater");
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(CFSTR("org.ktrq7.updater")), main);
    CFURLRef folder = CFBundleCopyBundleURL(main);
    EXPECT_EQ(pathOf(folder), executableFolder());
    CFRelease(folder);
    CFArrayRef all = CFBundleGetAllBundles();
    ASSERT_GE(CFArrayGetCount(all), 1);
    EXPECT_EQ(CFArrayGetValueAtIndex(all, 0), main);

    const std::string fixture = executableFolder() + "/Resources/ktr_fixture.plist";
    for (CFStringRef type : {CFSTR("plist"), CFSTR(".plist")}) {
        CFURLRef url = CFBundleCopyResourceURL(main, CFSTR("ktr_fixture"), type, nullptr);
        EXPECT_EQ(pathOf(url), fixture);
        if (url) CFRelease(url);
    }
    CFURLRef whole = CFBundleCopyResourceURL(main, CFSTR("ktr_fixture.plist"), nullptr, CFSTR(""));
    EXPECT_EQ(pathOf(whole), fixture);
    if (whole) CFRelease(whole);
    CFURLRef inner = CFBundleCopyResourceURL(main, CFSTR("inner"), CFSTR("txt"), CFSTR("sub"));
    EXPECT_EQ(pathOf(inner), executableFolder() + "/Resources/sub/inner.txt");
    if (inner) CFRelease(inner);

    // What is missing or would step outside the resources is not found.
    EXPECT_EQ(CFBundleCopyResourceURL(main, CFSTR("missing"), CFSTR("plist"), nullptr), nullptr);
    EXPECT_EQ(CFBundleCopyResourceURL(main, CFSTR("ktr_fixture"), CFSTR("txt"), nullptr), nullptr);
    EXPECT_EQ(CFBundleCopyResourceURL(main, CFSTR("inner"), CFSTR("txt"), nullptr), nullptr);
    EXPECT_EQ(CFBundleCopyResourceURL(main, CFSTR("sub/inner"), CFSTR("txt"), nullptr), nullptr);
    EXPECT_EQ(CFBundleCopyResourceURL(main, CFSTR("ktr_fixture"), CFSTR("plist"), CFSTR("sub/..")), nullptr);
    EXPECT_EQ(CFBundleCopyResourceURL(main, CFSTR(".."), nullptr, nullptr), nullptr);
    EXPECT_EQ(CFBundleCopyResourceURL(main, CFSTR(""), CFSTR("plist"), nullptr), nullptr);
    EXPECT_EQ(CFBundleCopyResourceURL(main, nullptr, CFSTR("plist"), nullptr), nullptr);
    EXPECT_EQ(CFBundleCopyResourceURL(nullptr, CFSTR("ktr_fixture"), CFSTR("plist"), nullptr), nullptr);
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(CFSTR("org.ktrq7.nothing")), nullptr);
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(nullptr), nullptr);
}

TEST(Bundles, MadeBundlesTakeTheirIdentifierAndJoinTheListOnce) {
    TempFolder folder;
    const std::string id = "org.ktrq7.test." + std::to_string(getpid());
    folder.write("Info.plist", plist("<dict><key>CFBundleIdentifier</key><string>" + id + "</string></dict>"));
    folder.write("Resources/names.plist", plist("<dict/>"));
    CFURLRef url = fileURL(folder.path(), true);
    CFBundleRef bundle = CFBundleCreate(nullptr, url);
    ASSERT_NE(bundle, nullptr);
    CFBundleRef same = CFBundleCreate(nullptr, url);
    EXPECT_EQ(same, bundle);
    CFRelease(same);
    CFRelease(url);

    CFStringRef wanted = CFStringCreateWithCString(nullptr, id.c_str(), kCFStringEncodingUTF8);
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(wanted), bundle);
    CFRelease(wanted);
    CFArrayRef all = CFBundleGetAllBundles();
    EXPECT_EQ(CFArrayGetValueAtIndex(all, 0), CFBundleGetMainBundle());
    EXPECT_EQ(CFArrayGetFirstIndexOfValue(all, CFRangeMake(0, CFArrayGetCount(all)), bundle), CFArrayGetCount(all) - 1);
    CFURLRef names = CFBundleCopyResourceURL(bundle, CFSTR("names"), CFSTR("plist"), nullptr);
    EXPECT_EQ(pathOf(names), folder.path() + "/Resources/names.plist");
    CFRelease(names);
    CFRelease(bundle);

    // A folder without Info.plist makes a bundle without identifier; files and missing folders none.
    TempFolder plain;
    CFURLRef plainURL = fileURL(plain.path(), true);
    CFBundleRef anonymous = CFBundleCreate(nullptr, plainURL);
    ASSERT_NE(anonymous, nullptr);
    EXPECT_EQ(CFBundleGetIdentifier(anonymous), nullptr);
    CFRelease(anonymous);
    CFRelease(plainURL);
    CFURLRef file = fileURL(folder.path() + "/Info.plist");
    EXPECT_EQ(CFBundleCreate(nullptr, file), nullptr);
    CFRelease(file);
    CFURLRef gone = fileURL(folder.path() + "/none", true);
    EXPECT_EQ(CFBundleCreate(nullptr, gone), nullptr);
    CFRelease(gone);
    EXPECT_EQ(CFBundleCreate(nullptr, nullptr), nullptr);
}

TEST(FileURLs, PathsAreAbsoluteNormalisedAndBoundedWhenCopiedOut) {
    CFURLRef url = CFURLCreateWithFileSystemPath(nullptr, CFSTR("/tmp//a b/c.plist"), kCFURLPOSIXPathStyle, false);
    ASSERT_NE(url, nullptr);
    EXPECT_EQ(CFGetTypeID(url), CFURLGetTypeID());
    EXPECT_EQ(text(CFURLGetString(url)), "file:///tmp/a%20b/c.plist");
    CFStringRef path = CFURLCopyFileSystemPath(url, kCFURLPOSIXPathStyle);
    EXPECT_EQ(text(path), "/tmp/a b/c.plist");
    CFRelease(path);
    UInt8 small[16];
    EXPECT_FALSE(CFURLGetFileSystemRepresentation(url, true, small, 16));  // 16 bytes and the NUL
    UInt8 exact[17];
    EXPECT_TRUE(CFURLGetFileSystemRepresentation(url, true, exact, 17));
    CFURLRef same = fileURL("/tmp/a b/c.plist");
    EXPECT_TRUE(CFEqual(same, url));
    CFRelease(same);
    CFURLRef folder = fileURL("/tmp/a b/", true);
    EXPECT_EQ(text(CFURLGetString(folder)), "file:///tmp/a%20b/");
    CFRelease(folder);
    CFRelease(url);

    EXPECT_EQ(CFURLCreateWithFileSystemPath(nullptr, CFSTR("relative/x"), kCFURLPOSIXPathStyle, false), nullptr);
    EXPECT_EQ(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/x"), kCFURLWindowsPathStyle, false), nullptr);
    EXPECT_EQ(CFURLCreateFromFileSystemRepresentation(nullptr, (const UInt8*)"/a\0b", 4, false), nullptr);
}

TEST(FileURLs, ResourcesAreReadWholeAndOnlyFromRegularFiles) {
    TempFolder folder;
    std::string bytes(200000, 'x');
    bytes[0] = '\0';
    CFURLRef url = fileURL(folder.write("data.bin", bytes));
    CFDataRef data = nullptr;
    CFDictionaryRef properties = (CFDictionaryRef)CFSTR("untouched");
    SInt32 error = 1;
    ASSERT_TRUE(CFURLCreateDataAndPropertiesFromResource(nullptr, url, &data, &properties, nullptr, &error));
    EXPECT_EQ(error, 0);
    EXPECT_EQ(properties, nullptr);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string((const char*)CFDataGetBytePtr(data), (size_t)CFDataGetLength(data)), bytes);
    CFRelease(data);
    CFRelease(url);

    CFURLRef empty = fileURL(folder.write("empty", ""));
    ASSERT_TRUE(CFURLCreateDataAndPropertiesFromResource(nullptr, empty, &data, nullptr, nullptr, nullptr));
    EXPECT_EQ(CFDataGetLength(data), 0);
    CFRelease(data);
    CFRelease(empty);

    CFURLRef missing = fileURL(folder.path() + "/missing");
    EXPECT_FALSE(CFURLCreateDataAndPropertiesFromResource(nullptr, missing, &data, nullptr, nullptr, &error));
    EXPECT_EQ(error, kCFURLResourceNotFoundError);
    EXPECT_EQ(data, nullptr);
    CFRelease(missing);

    // A folder and a FIFO are refused; the FIFO without waiting for a writer.
    const std::string fifo = folder.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {folder.path(), fifo}) {
        CFURLRef other = fileURL(path);
        EXPECT_FALSE(CFURLCreateDataAndPropertiesFromResource(nullptr, other, &data, nullptr, nullptr, &error));
        EXPECT_NE(error, 0);
        EXPECT_EQ(data, nullptr);
        CFRelease(other);
    }
    EXPECT_FALSE(CFURLCreateDataAndPropertiesFromResource(nullptr, nullptr, &data, nullptr, nullptr, &error));
    EXPECT_EQ(error, kCFURLImproperArgumentsError);
}

TEST(PropertyLists, XmlParsesIntoEveryKindOfValue) {
    CFPropertyListRef list =
        parse(plist("<dict><key>text</key><string>caf\xC3\xA9 &amp; co</string><key>n</key><integer>-5</integer>"
                    "<key>r</key><real>2.5</real><key>yes</key><true/><key>bytes</key><data>AAEC</data>"
                    "<key>list</key><array><string>a</string><dict/></array>"
                    "<key>when</key><date>2020-01-01T00:00:00Z</date></dict>"));
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(CFGetTypeID(list), CFDictionaryGetTypeID());
    auto dict = (CFDictionaryRef)list;
    EXPECT_EQ(text((CFStringRef)CFDictionaryGetValue(dict, CFSTR("text"))), "caf\xC3\xA9 & co");
    int32_t n = 0;
    CFNumberGetValue((CFNumberRef)CFDictionaryGetValue(dict, CFSTR("n")), kCFNumberSInt32Type, &n);
    EXPECT_EQ(n, -5);
    double r = 0;
    CFNumberGetValue((CFNumberRef)CFDictionaryGetValue(dict, CFSTR("r")), kCFNumberFloat64Type, &r);
    EXPECT_EQ(r, 2.5);
    EXPECT_EQ(CFDictionaryGetValue(dict, CFSTR("yes")), kCFBooleanTrue);
    auto bytes = (CFDataRef)CFDictionaryGetValue(dict, CFSTR("bytes"));
    ASSERT_EQ(CFDataGetLength(bytes), 3);
    EXPECT_EQ(CFDataGetBytePtr(bytes)[2], 2);
    auto array = (CFArrayRef)CFDictionaryGetValue(dict, CFSTR("list"));
    ASSERT_EQ(CFArrayGetCount(array), 2);
    EXPECT_EQ(CFGetTypeID(CFArrayGetValueAtIndex(array, 1)), CFDictionaryGetTypeID());
    // Dates have no counterpart here and are left out.
    EXPECT_FALSE(CFDictionaryContainsKey(dict, CFSTR("when")));

    // Immutable as asked: changes are refused.
    CFDictionarySetValue((CFMutableDictionaryRef)dict, CFSTR("new"), kCFBooleanTrue);
    EXPECT_FALSE(CFDictionaryContainsKey(dict, CFSTR("new")));
    CFRelease(list);

    CFPropertyListRef changeable =
        parse(plist("<dict><key>list</key><array/></dict>"), kCFPropertyListMutableContainers);
    CFDictionarySetValue((CFMutableDictionaryRef)changeable, CFSTR("new"), kCFBooleanTrue);
    EXPECT_TRUE(CFDictionaryContainsKey((CFDictionaryRef)changeable, CFSTR("new")));
    auto inner = (CFMutableArrayRef)CFDictionaryGetValue((CFDictionaryRef)changeable, CFSTR("list"));
    CFArrayAppendValue(inner, kCFBooleanFalse);
    EXPECT_EQ(CFArrayGetCount(inner), 1);
    CFRelease(changeable);
}

TEST(PropertyLists, OtherTopLevelsAreGivenAsTheyAre) {
    CFPropertyListRef array = parse(plist("<array><integer>1</integer></array>"));
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(CFGetTypeID(array), CFArrayGetTypeID());
    CFRelease(array);
    CFPropertyListRef string = parse(plist("<string>only</string>"));
    ASSERT_NE(string, nullptr);
    EXPECT_EQ(text((CFStringRef)string), "only");
    CFRelease(string);
}

TEST(PropertyLists, MalformedInputGivesNullAndAReasonWhenAsked) {
    const std::string cases[] = {
        "",
        "not xml at all",
        plist("<dict><key>a</key>"),
        plist("<dict><key>a</key><string>x</dict>"),
        "<plist><array><string>ru",
        plist("<date>2020-01-01T00:00:00Z</date>"),
        nested(70),                                               // deeper than any list here needs
        nested(300000),                                           // deep enough to overflow the stack if it were parsed
        std::string("<plist><string>a\0b</string></plist>", 35),  // libplist asserts on reading it
        std::string("<plist><dict><key>a\0b</key><true/></dict></plist>", 49),
    };
    for (const std::string& input : cases) {
        CFStringRef error = nullptr;
        CFPropertyListRef list = parse(input, kCFPropertyListImmutable, &error);
        EXPECT_EQ(list, nullptr) << input.substr(0, 60);
        EXPECT_NE(error, nullptr) << input.substr(0, 60);
        if (list) CFRelease(list);
        if (error) CFRelease(error);
        EXPECT_EQ(parse(input), nullptr);
    }
    CFPropertyListRef deepEnough = parse(nested(60));
    EXPECT_NE(deepEnough, nullptr);
    if (deepEnough) CFRelease(deepEnough);

    CFStringRef error = nullptr;
    EXPECT_EQ(CFPropertyListCreateFromXMLData(nullptr, nullptr, kCFPropertyListImmutable, &error), nullptr);
    EXPECT_NE(error, nullptr);
    if (error) CFRelease(error);
    CFDataRef ok = CFDataCreate(nullptr, (const UInt8*)"<plist><true/></plist>", 22);
    EXPECT_EQ(CFPropertyListCreateFromXMLData(nullptr, ok, 7, nullptr), nullptr);
    CFRelease(ok);
}

TEST(Preferences, ValuesSurviveSynchronizeAndRemovalAndADamagedFileReadsAsNone) {
    TempFolder home;
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string previous = saved ? saved : "";
    setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
    CFStringRef app = CFSTR("org.ktrq7.platform-test");

    CFMutableDictionaryRef record =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    const int32_t number = -42;
    CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt32Type, &number);
    CFDictionarySetValue(record, CFSTR("n"), n);
    CFDictionarySetValue(record, CFSTR("on"), kCFBooleanTrue);
    CFPreferencesSetAppValue(CFSTR("record"), record, app);
    CFPreferencesSetAppValue(CFSTR("text"), CFSTR("d:{v:1}"), app);
    CFPreferencesSetAppValue(CFSTR("gone"), CFSTR("x"), app);
    CFPreferencesSetAppValue(CFSTR("gone"), nullptr, app);
    ASSERT_TRUE(CFPreferencesAppSynchronize(app));
    const std::string file = home.path() + "/ktrq7-updater/org.ktrq7.platform-test.plist";
    ASSERT_TRUE(fs::exists(file));

    // Read back from the file: synchronising let go of the copy in memory.
    CFPropertyListRef back = CFPreferencesCopyAppValue(CFSTR("record"), app);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(CFEqual(back, record));
    CFRelease(back);
    CFPropertyListRef textBack = CFPreferencesCopyAppValue(CFSTR("text"), app);
    EXPECT_EQ(text((CFStringRef)textBack), "d:{v:1}");
    if (textBack) CFRelease(textBack);
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("gone"), app), nullptr);

    CFPreferencesSetAppValue(CFSTR("text"), nullptr, app);
    ASSERT_TRUE(CFPreferencesAppSynchronize(app));
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("text"), app), nullptr);

    // A file nested deep enough to overflow the parser's stack reads as no preferences.
    std::ofstream(file, std::ios::trunc) << nested(300000);
    ASSERT_TRUE(CFPreferencesAppSynchronize(app));
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("record"), app), nullptr);

    CFRelease(n);
    CFRelease(record);
    if (saved)
        setenv("XDG_CONFIG_HOME", previous.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}
