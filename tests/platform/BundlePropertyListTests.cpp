// Bundles and their resources, file URLs, XML property lists and preferences on disk.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "PlatformTest.h"

namespace fs = std::filesystem;
using namespace platformtest;

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

std::string pathOf(const Owned<CFURLRef>& url) {
    UInt8 buffer[PATH_MAX] = {};
    return url && CFURLGetFileSystemRepresentation(url.get(), true, buffer, sizeof buffer) ? (const char*)buffer : "";
}

Owned<CFURLRef> fileURL(const std::string& path, bool isDirectory = false) {
    return own(
        CFURLCreateFromFileSystemRepresentation(nullptr, (const UInt8*)path.data(), (CFIndex)path.size(), isDirectory));
}

Owned<CFPropertyListRef> parse(const std::string& xml, CFOptionFlags options = kCFPropertyListImmutable,
                               CFStringRef* error = nullptr) {
    auto data = own(CFDataCreate(nullptr, (const UInt8*)xml.data(), (CFIndex)xml.size()));
    return own(CFPropertyListCreateFromXMLData(nullptr, data.get(), options, error));
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

Owned<CFURLRef> resource(CFBundleRef bundle, CFStringRef name, CFStringRef type, CFStringRef folder) {
    return own(CFBundleCopyResourceURL(bundle, name, type, folder));
}

const std::string kExeFolder = fs::read_symlink("/proc/self/exe").parent_path().string();

}  // namespace

TEST(Bundles, MainBundleIsTheExecutablesFolderWithItsResources) {
    CFBundleRef main = CFBundleGetMainBundle();
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(text(CFBundleGetIdentifier(main)), "org.ktrq7.updater");
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(CFSTR("org.ktrq7.updater")), main);
    EXPECT_EQ(pathOf(own(CFBundleCopyBundleURL(main))), kExeFolder);
    CFArrayRef all = CFBundleGetAllBundles();
    ASSERT_GE(CFArrayGetCount(all), 1);
    EXPECT_EQ(CFArrayGetValueAtIndex(all, 0), main);

    const std::string fixture = kExeFolder + "/Resources/ktr_fixture.plist";
    EXPECT_EQ(pathOf(resource(main, CFSTR("ktr_fixture"), CFSTR("plist"), nullptr)), fixture);
    EXPECT_EQ(pathOf(resource(main, CFSTR("ktr_fixture"), CFSTR(".plist"), nullptr)), fixture);
    EXPECT_EQ(pathOf(resource(main, CFSTR("ktr_fixture.plist"), nullptr, CFSTR(""))), fixture);
    EXPECT_EQ(pathOf(resource(main, CFSTR("inner"), CFSTR("txt"), CFSTR("sub"))),
              kExeFolder + "/Resources/sub/inner.txt");

    // What is missing or would step outside the resources is not found.
    const struct {
        CFStringRef name, type, folder;
    } missing[] = {
        {CFSTR("missing"), CFSTR("plist"), nullptr},
        {CFSTR("ktr_fixture"), CFSTR("txt"), nullptr},
        {CFSTR("inner"), CFSTR("txt"), nullptr},
        {CFSTR("sub/inner"), CFSTR("txt"), nullptr},
        {CFSTR("ktr_fixture"), CFSTR("plist"), CFSTR("sub/..")},
        {CFSTR(".."), nullptr, nullptr},
        {CFSTR(""), CFSTR("plist"), nullptr},
        {nullptr, CFSTR("plist"), nullptr},
    };
    for (const auto& m : missing)
        EXPECT_EQ(resource(main, m.name, m.type, m.folder), nullptr) << text(m.name) << " in " << text(m.folder);
    EXPECT_EQ(resource(nullptr, CFSTR("ktr_fixture"), CFSTR("plist"), nullptr), nullptr);
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(CFSTR("org.ktrq7.nothing")), nullptr);
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(nullptr), nullptr);
}

TEST(Bundles, MadeBundlesTakeTheirIdentifierAndJoinTheListOnce) {
    TempFolder folder;
    static int run = 0;  // made bundles stay in the list: each run needs its own identifier
    const std::string id = "org.ktrq7.test." + std::to_string(getpid()) + "." + std::to_string(++run);
    folder.write("Info.plist", plist("<dict><key>CFBundleIdentifier</key><string>" + id + "</string></dict>"));
    folder.write("Resources/names.plist", plist("<dict/>"));
    auto bundle = own(CFBundleCreate(nullptr, fileURL(folder.path(), true).get()));
    ASSERT_NE(bundle, nullptr);
    EXPECT_EQ(own(CFBundleCreate(nullptr, fileURL(folder.path(), true).get())).get(), bundle.get());
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(own(str(id)).get()), bundle.get());
    CFArrayRef all = CFBundleGetAllBundles();
    EXPECT_EQ(CFArrayGetValueAtIndex(all, 0), CFBundleGetMainBundle());
    EXPECT_EQ(CFArrayGetFirstIndexOfValue(all, CFRangeMake(0, CFArrayGetCount(all)), bundle.get()),
              CFArrayGetCount(all) - 1);
    EXPECT_EQ(pathOf(resource(bundle.get(), CFSTR("names"), CFSTR("plist"), nullptr)),
              folder.path() + "/Resources/names.plist");

    // A folder without Info.plist makes a bundle without identifier; files and missing folders none.
    TempFolder plain;
    auto anonymous = own(CFBundleCreate(nullptr, fileURL(plain.path(), true).get()));
    ASSERT_NE(anonymous, nullptr);
    EXPECT_EQ(CFBundleGetIdentifier(anonymous.get()), nullptr);
    EXPECT_EQ(CFBundleCreate(nullptr, fileURL(folder.path() + "/Info.plist").get()), nullptr);
    EXPECT_EQ(CFBundleCreate(nullptr, fileURL(folder.path() + "/none", true).get()), nullptr);
    EXPECT_EQ(CFBundleCreate(nullptr, nullptr), nullptr);
}

TEST(FileURLs, ResourcesAreReadWholeAndOnlyFromRegularFiles) {
    TempFolder folder;
    std::string bytes(200000, 'x');
    bytes[0] = '\0';
    const std::string fifo = folder.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path;
        SInt32 error;  // -1: any error
        std::string content;
    } cases[] = {
        {folder.write("data.bin", bytes), 0, bytes},
        {folder.write("empty", ""), 0, ""},
        {folder.path() + "/missing", kCFURLResourceNotFoundError, ""},
        {folder.path(), -1, ""},
        {fifo, -1, ""},  // refused without waiting for a writer
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        CFDataRef data = nullptr;
        CFDictionaryRef properties = (CFDictionaryRef)CFSTR("untouched");
        SInt32 error = 1;
        const bool read = CFURLCreateDataAndPropertiesFromResource(nullptr, fileURL(c.path).get(), &data, &properties,
                                                                   nullptr, &error);
        auto owned = own(data);
        EXPECT_EQ(read, c.error == 0);
        EXPECT_EQ(properties, nullptr);
        EXPECT_TRUE(c.error < 0 ? error != 0 : error == c.error) << error;
        EXPECT_EQ(data ? std::string((const char*)CFDataGetBytePtr(data), (size_t)CFDataGetLength(data)) : "(none)",
                  c.error == 0 ? c.content : "(none)");
    }
    CFDataRef data = nullptr;
    SInt32 error = 0;
    EXPECT_FALSE(CFURLCreateDataAndPropertiesFromResource(nullptr, nullptr, &data, nullptr, nullptr, &error));
    EXPECT_EQ(error, kCFURLImproperArgumentsError);
    EXPECT_EQ(CFURLCreateFromFileSystemRepresentation(nullptr, (const UInt8*)"/a\0b", 4, false), nullptr);
}

TEST(PropertyLists, XmlParsesIntoEveryKindOfValueAndMutableOnlyWhenAsked) {
    auto list =
        parse(plist("<dict><key>text</key><string>caf\xC3\xA9 &amp; co</string><key>n</key><integer>-5</integer>"
                    "<key>r</key><real>2.5</real><key>yes</key><true/><key>bytes</key><data>AAEC</data>"
                    "<key>list</key><array><string>a</string><dict/></array>"
                    "<key>when</key><date>2020-01-01T00:00:00Z</date></dict>"));
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(CFGetTypeID(list.get()), CFDictionaryGetTypeID());
    auto dict = (CFDictionaryRef)list.get();
    const auto value = [&](const char* key) { return CFDictionaryGetValue(dict, own(str(key)).get()); };
    EXPECT_EQ(text(value("text")), "caf\xC3\xA9 & co");
    int32_t n = 0;
    CFNumberGetValue((CFNumberRef)value("n"), kCFNumberSInt32Type, &n);
    EXPECT_EQ(n, -5);
    double r = 0;
    CFNumberGetValue((CFNumberRef)value("r"), kCFNumberFloat64Type, &r);
    EXPECT_EQ(r, 2.5);
    EXPECT_EQ(value("yes"), kCFBooleanTrue);
    ASSERT_EQ(CFDataGetLength((CFDataRef)value("bytes")), 3);
    EXPECT_EQ(CFDataGetBytePtr((CFDataRef)value("bytes"))[2], 2);
    ASSERT_EQ(CFArrayGetCount((CFArrayRef)value("list")), 2);
    EXPECT_EQ(CFGetTypeID(CFArrayGetValueAtIndex((CFArrayRef)value("list"), 1)), CFDictionaryGetTypeID());
    EXPECT_EQ(value("when"), nullptr) << "dates have no counterpart here and are left out";
    CFDictionarySetValue((CFMutableDictionaryRef)dict, CFSTR("new"), kCFBooleanTrue);
    EXPECT_EQ(value("new"), nullptr) << "immutable as asked";

    auto changeable = parse(plist("<dict><key>list</key><array/></dict>"), kCFPropertyListMutableContainers);
    CFDictionarySetValue((CFMutableDictionaryRef)changeable.get(), CFSTR("new"), kCFBooleanTrue);
    EXPECT_TRUE(CFDictionaryContainsKey((CFDictionaryRef)changeable.get(), CFSTR("new")));
    auto inner = (CFMutableArrayRef)CFDictionaryGetValue((CFDictionaryRef)changeable.get(), CFSTR("list"));
    CFArrayAppendValue(inner, kCFBooleanFalse);
    EXPECT_EQ(CFArrayGetCount(inner), 1);

    // Other top levels are given as they are.
    EXPECT_EQ(CFGetTypeID(parse(plist("<array><integer>1</integer></array>")).get()), CFArrayGetTypeID());
    EXPECT_EQ(text(parse(plist("<string>only</string>")).get()), "only");
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
        EXPECT_EQ(parse(input, kCFPropertyListImmutable, &error), nullptr) << input.substr(0, 60);
        EXPECT_NE(own(error), nullptr) << input.substr(0, 60);
        EXPECT_EQ(parse(input), nullptr);
    }
    EXPECT_NE(parse(nested(60)), nullptr);

    CFStringRef error = nullptr;
    EXPECT_EQ(CFPropertyListCreateFromXMLData(nullptr, nullptr, kCFPropertyListImmutable, &error), nullptr);
    EXPECT_NE(own(error), nullptr);
    auto ok = own(CFDataCreate(nullptr, (const UInt8*)"<plist><true/></plist>", 22));
    EXPECT_EQ(CFPropertyListCreateFromXMLData(nullptr, ok.get(), 7, nullptr), nullptr);  // no such option
}

TEST(Preferences, ValuesSurviveSynchronizeAndRemovalAndADamagedFileReadsAsNone) {
    TempFolder home;
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string previous = saved ? saved : "";
    setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
    CFStringRef app = CFSTR("org.ktrq7.platform-test");

    auto record = own(numbers({{"n", -42}}));
    CFDictionarySetValue(record.get(), CFSTR("on"), kCFBooleanTrue);
    CFPreferencesSetAppValue(CFSTR("record"), record.get(), app);
    CFPreferencesSetAppValue(CFSTR("text"), CFSTR("d:{v:1}"), app);
    CFPreferencesSetAppValue(CFSTR("gone"), CFSTR("x"), app);
    CFPreferencesSetAppValue(CFSTR("gone"), nullptr, app);
    ASSERT_TRUE(CFPreferencesAppSynchronize(app));
    const std::string file = home.path() + "/ktrq7-updater/org.ktrq7.platform-test.plist";
    ASSERT_TRUE(fs::exists(file));

    // Read back from the file: synchronising let go of the copy in memory.
    auto back = own(CFPreferencesCopyAppValue(CFSTR("record"), app));
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(CFEqual(back.get(), record.get()));
    EXPECT_EQ(text(own(CFPreferencesCopyAppValue(CFSTR("text"), app)).get()), "d:{v:1}");
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("gone"), app), nullptr);
    CFPreferencesSetAppValue(CFSTR("text"), nullptr, app);
    ASSERT_TRUE(CFPreferencesAppSynchronize(app));
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("text"), app), nullptr);

    // A file nested deep enough to overflow the parser's stack reads as no preferences.
    std::ofstream(file, std::ios::trunc) << nested(300000);
    ASSERT_TRUE(CFPreferencesAppSynchronize(app));
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("record"), app), nullptr);

    if (saved)
        setenv("XDG_CONFIG_HOME", previous.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}
