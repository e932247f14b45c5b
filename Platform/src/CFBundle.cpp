#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "CFRuntime.h"
#include "FileURL.h"

namespace {

constexpr const char* kMainBundleIdentifier = "org.ktrq7.updater";
constexpr const char* kResourcesFolder = "/Resources";

bool isFolder(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string executableFolder() {
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < buffer.size()) {
            const std::string path(buffer.data(), static_cast<size_t>(n));
            const size_t slash = path.rfind('/');
            if (slash == std::string::npos) return {};
            return slash == 0 ? std::string("/") : path.substr(0, slash);
        }
        if (buffer.size() >= 1 << 20) return {};
        buffer.resize(buffer.size() * 2);
    }
}

// The folder's Info.plist's "CFBundleIdentifier", or null.
CFStringRef readIdentifier(const std::string& folder) {
    CFURLRef url = ktrcf::makeFileURL(folder + "/Info.plist", false);
    if (!url) return nullptr;
    CFDataRef data = nullptr;
    CFURLCreateDataAndPropertiesFromResource(kCFAllocatorDefault, url, &data, nullptr, nullptr, nullptr);
    CFRelease(url);
    if (!data) return nullptr;
    CFPropertyListRef info =
        CFPropertyListCreateFromXMLData(kCFAllocatorDefault, data, kCFPropertyListImmutable, nullptr);
    CFRelease(data);
    CFStringRef identifier = nullptr;
    if (ktrcf::isa(info, ktrcf::kTypeIDDictionary)) {
        const void* value = CFDictionaryGetValue(static_cast<CFDictionaryRef>(info), CFSTR("CFBundleIdentifier"));
        if (ktrcf::isa(value, ktrcf::kTypeIDString)) identifier = static_cast<CFStringRef>(CFRetain(value));
    }
    if (info) CFRelease(info);
    return identifier;
}

// A path segment that stays inside its folder.
bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool isInsidePath(const std::string& path) {
    if (path.empty() || path[0] == '/' || path.find('\0') != std::string::npos) return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part == "..") return false;
        start = end + 1;
    }
    return true;
}

}  // namespace

struct __CFBundle : ktrcf::Object {
    static constexpr CFTypeID kTypeID = ktrcf::kTypeIDBundle;
    __CFBundle(std::string f, CFStringRef id) : ktrcf::Object(kTypeID), folder(std::move(f)), identifier(id) {}
    ~__CFBundle() override {
        if (identifier) CFRelease(identifier);
    }
    std::string description() const override { return "<CFBundle " + folder + ">"; }

    const std::string folder;
    const CFStringRef identifier;
};

namespace {

// Bundles, once known, stay for the whole process, as the arrays handed out do: a caller may
// still hold an earlier array while a new bundle is added.
struct Bundles {
    std::mutex mutex;
    bool mainLooked = false;
    CFBundleRef main = nullptr;
    std::vector<CFBundleRef> all;  // main first
    CFArrayRef array = nullptr;
    std::vector<CFArrayRef> retired;
};

Bundles& bundles() {
    static auto* b = new Bundles;
    return *b;
}

CFBundleRef mainBundleLocked(Bundles& b) {
    if (!b.mainLooked) {
        b.mainLooked = true;
        const std::string folder = executableFolder();
        if (!folder.empty()) {
            b.main = new __CFBundle(folder, ktrcf::makeString(kMainBundleIdentifier));
            b.all.insert(b.all.begin(), b.main);
            if (b.array) {
                b.retired.push_back(b.array);
                b.array = nullptr;
            }
        }
    }
    return b.main;
}

}  // namespace

CFTypeID CFBundleGetTypeID(void) { return ktrcf::kTypeIDBundle; }

CFBundleRef CFBundleGetMainBundle(void) {
    std::lock_guard<std::mutex> lock(bundles().mutex);
    return mainBundleLocked(bundles());
}

CFBundleRef CFBundleGetBundleWithIdentifier(CFStringRef bundleID) {
    if (!ktrcf::isa(bundleID, ktrcf::kTypeIDString)) return nullptr;
    Bundles& b = bundles();
    std::lock_guard<std::mutex> lock(b.mutex);
    mainBundleLocked(b);
    for (CFBundleRef bundle : b.all)
        if (bundle->identifier && CFEqual(bundle->identifier, bundleID)) return bundle;
    return nullptr;
}

CFArrayRef CFBundleGetAllBundles(void) {
    Bundles& b = bundles();
    std::lock_guard<std::mutex> lock(b.mutex);
    mainBundleLocked(b);
    if (!b.array) {
        std::vector<const void*> values(b.all.begin(), b.all.end());
        b.array = CFArrayCreate(kCFAllocatorDefault, values.data(), static_cast<CFIndex>(values.size()),
                                &kCFTypeArrayCallBacks);
    }
    return b.array;
}

CFBundleRef CFBundleCreate(CFAllocatorRef, CFURLRef bundleURL) {
    const std::string folder = ktrcf::urlPath(bundleURL);
    if (folder.empty() || !isFolder(folder)) return nullptr;
    Bundles& b = bundles();
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        mainBundleLocked(b);
        for (CFBundleRef bundle : b.all)
            if (bundle->folder == folder) return static_cast<CFBundleRef>(const_cast<void*>(CFRetain(bundle)));
    }
    // Read outside the lock; a second thread making the same bundle meanwhile is caught below.
    CFStringRef identifier = readIdentifier(folder);
    std::lock_guard<std::mutex> lock(b.mutex);
    for (CFBundleRef bundle : b.all) {
        if (bundle->folder == folder) {
            if (identifier) CFRelease(identifier);
            return static_cast<CFBundleRef>(const_cast<void*>(CFRetain(bundle)));
        }
    }
    auto* bundle = new __CFBundle(folder, identifier);
    b.all.push_back(bundle);
    if (b.array) {
        b.retired.push_back(b.array);
        b.array = nullptr;
    }
    CFRetain(bundle);  // the caller's reference; the list keeps the first
    return bundle;
}

CFStringRef CFBundleGetIdentifier(CFBundleRef bundle) {
    const __CFBundle* b = ktrcf::cast<__CFBundle>(bundle);
    return b ? b->identifier : nullptr;
}

CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle) {
    const __CFBundle* b = ktrcf::cast<__CFBundle>(bundle);
    return b ? ktrcf::makeFileURL(b->folder, true) : nullptr;
}

CFURLRef CFBundleCopyResourcesDirectoryURL(CFBundleRef bundle) {
    const __CFBundle* b = ktrcf::cast<__CFBundle>(bundle);
    return b ? ktrcf::makeFileURL(b->folder + kResourcesFolder, true) : nullptr;
}

CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef resourceName, CFStringRef resourceType,
                                 CFStringRef subDirName) {
    const __CFBundle* b = ktrcf::cast<__CFBundle>(bundle);
    if (!b || !ktrcf::isa(resourceName, ktrcf::kTypeIDString)) return nullptr;
    std::string file = ktrcf::stdString(resourceName);
    if (file.empty()) return nullptr;
    if (resourceType) {
        if (!ktrcf::isa(resourceType, ktrcf::kTypeIDString)) return nullptr;
        std::string type = ktrcf::stdString(resourceType);
        if (!type.empty() && type[0] == '.') type.erase(0, 1);
        if (!type.empty()) {
            if (type.find('/') != std::string::npos) return nullptr;
            file += "." + type;
        }
    }
    if (!isPlainName(file)) return nullptr;
    std::string path = b->folder + kResourcesFolder + "/";
    if (subDirName) {
        if (!ktrcf::isa(subDirName, ktrcf::kTypeIDString)) return nullptr;
        const std::string sub = ktrcf::stdString(subDirName);
        if (!sub.empty()) {
            if (!isInsidePath(sub)) return nullptr;
            path += sub + "/";
        }
    }
    path += file;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return nullptr;
    return ktrcf::makeFileURL(path, S_ISDIR(info.st_mode));
}
