// Preferences kept per application as XML property lists in the user's configuration folder:
// <XDG_CONFIG_HOME or ~/.config>/ktrq7-updater/<application ID>.plist. Values set are seen at
// once and reach the file on CFPreferencesAppSynchronize.
#include <plist/plist.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "CFRuntime.h"

const CFStringRef kCFPreferencesCurrentApplication = CFSTR("kCFPreferencesCurrentApplication");
const CFStringRef kCFPreferencesAnyApplication = CFSTR("kCFPreferencesAnyApplication");

namespace {

constexpr const char* kOwnApplicationID = "org.ktrq7.updater";
constexpr const char* kAnyApplicationID = ".GlobalPreferences";
constexpr const char* kFolderName = "ktrq7-updater";
// Deeper nesting than any preference needs; bounds the recursion on a damaged file.
constexpr int kMaxDepth = 64;

struct Domain {
    CFMutableDictionaryRef values = nullptr;
    bool dirty = false;
};

// Never destroyed: preferences may be asked for while other statics are torn down.
std::mutex& domainLock() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
std::map<std::string, Domain>& domains() {
    static auto* map = new std::map<std::string, Domain>;
    return *map;
}

// Empty for an ID that cannot name a file of its own.
std::string resolveApplication(CFStringRef application) {
    if (!ktrcf::isa(application, ktrcf::kTypeIDString)) return {};
    if (CFEqual(application, kCFPreferencesCurrentApplication)) return kOwnApplicationID;
    if (CFEqual(application, kCFPreferencesAnyApplication)) return kAnyApplicationID;
    std::string id = ktrcf::stdString(application);
    if (id.empty() || id == "." || id == ".." || id.find('/') != std::string::npos ||
        id.find('\0') != std::string::npos)
        return {};
    return id;
}

// Empty when the user has no home to keep preferences in.
std::string folder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') return std::string(config) + "/" + kFolderName;
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        const passwd* user = getpwuid(getuid());
        home = user != nullptr ? user->pw_dir : nullptr;
    }
    if (home == nullptr || home[0] != '/') return {};
    return std::string(home) + "/.config/" + kFolderName;
}

std::string filePath(const std::string& id) {
    const std::string dir = folder();
    return dir.empty() ? std::string() : dir + "/" + id + ".plist";
}

CFTypeRef fromPlist(plist_t node, int depth);

void addFromPlist(CFMutableArrayRef array, plist_t node, int depth) {
    CFTypeRef value = fromPlist(node, depth);
    if (value == nullptr) return;
    CFArrayAppendValue(array, value);
    CFRelease(value);
}

// New reference, or null for a node with no property-list counterpart here (dates, UIDs).
CFTypeRef fromPlist(plist_t node, int depth) {
    if (node == nullptr || depth > kMaxDepth) return nullptr;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return CFRetain(value ? kCFBooleanTrue : kCFBooleanFalse);
        }
        case PLIST_UINT: {
            uint64_t bits = 0;
            plist_get_uint_val(node, &bits);
            const auto value = static_cast<SInt64>(bits);
            return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &value);
        }
        case PLIST_STRING: {
            char* text = nullptr;
            plist_get_string_val(node, &text);
            CFStringRef value = ktrcf::makeString(text != nullptr ? text : "");
            std::free(text);
            return value;
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            uint64_t length = 0;
            plist_get_data_val(node, &bytes, &length);
            CFDataRef value = CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(bytes),
                                           bytes != nullptr ? static_cast<CFIndex>(length) : 0);
            std::free(bytes);
            return value;
        }
        case PLIST_ARRAY: {
            CFMutableArrayRef array = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
            const uint32_t count = plist_array_get_size(node);
            for (uint32_t i = 0; i < count; ++i) addFromPlist(array, plist_array_get_item(node, i), depth + 1);
            return array;
        }
        case PLIST_DICT: {
            CFMutableDictionaryRef dict = CFDictionaryCreateMutable(
                kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(node, &iter);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, iter, &key, &item);
                if (item == nullptr) {
                    std::free(key);
                    break;
                }
                CFTypeRef value = fromPlist(item, depth + 1);
                if (key != nullptr && value != nullptr) {
                    CFStringRef name = ktrcf::makeString(key);
                    CFDictionarySetValue(dict, name, value);
                    CFRelease(name);
                }
                if (value != nullptr) CFRelease(value);
                std::free(key);
            }
            std::free(iter);
            return dict;
        }
        default:
            return nullptr;
    }
}

// New node, or null for a value that is no property-list type.
plist_t toPlist(CFTypeRef value, int depth) {
    if (value == nullptr || depth > kMaxDepth) return nullptr;
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFStringGetTypeID()) return plist_new_string(ktrcf::stdString(static_cast<CFStringRef>(value)).c_str());
    if (type == CFBooleanGetTypeID()) return plist_new_bool(CFBooleanGetValue(static_cast<CFBooleanRef>(value)));
    if (type == CFNumberGetTypeID()) {
        const auto number = static_cast<CFNumberRef>(value);
        if (CFNumberIsFloatType(number)) {
            double real = 0;
            CFNumberGetValue(number, kCFNumberFloat64Type, &real);
            return plist_new_real(real);
        }
        SInt64 integer = 0;
        CFNumberGetValue(number, kCFNumberSInt64Type, &integer);
        return plist_new_uint(static_cast<uint64_t>(integer));
    }
    if (type == CFDataGetTypeID()) {
        const auto data = static_cast<CFDataRef>(value);
        return plist_new_data(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                              static_cast<uint64_t>(CFDataGetLength(data)));
    }
    if (type == CFArrayGetTypeID()) {
        const auto array = static_cast<CFArrayRef>(value);
        plist_t node = plist_new_array();
        for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
            plist_t item = toPlist(CFArrayGetValueAtIndex(array, i), depth + 1);
            if (item != nullptr) plist_array_append_item(node, item);
        }
        return node;
    }
    if (type == CFDictionaryGetTypeID()) {
        const auto dict = static_cast<CFDictionaryRef>(value);
        const CFIndex count = CFDictionaryGetCount(dict);
        std::vector<const void*> keys(static_cast<size_t>(count)), values(static_cast<size_t>(count));
        CFDictionaryGetKeysAndValues(dict, keys.data(), values.data());
        plist_t node = plist_new_dict();
        for (CFIndex i = 0; i < count; ++i) {
            if (!ktrcf::isa(keys[i], ktrcf::kTypeIDString)) continue;
            plist_t item = toPlist(values[i], depth + 1);
            if (item != nullptr)
                plist_dict_set_item(node, ktrcf::stdString(static_cast<CFStringRef>(keys[i])).c_str(), item);
        }
        return node;
    }
    return nullptr;
}

// A missing, unreadable or damaged file reads as no preferences.
CFMutableDictionaryRef readDomain(const std::string& id) {
    CFMutableDictionaryRef values = nullptr;
    const std::string path = filePath(id);
    std::ifstream file(path, std::ios::binary);
    if (!path.empty() && file) {
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        plist_t root = nullptr;
        if (!bytes.empty() && bytes.size() <= UINT32_MAX)
            plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
        if (root != nullptr && plist_get_node_type(root) == PLIST_DICT)
            values = const_cast<CFMutableDictionaryRef>(static_cast<CFDictionaryRef>(fromPlist(root, 0)));
        if (root != nullptr) plist_free(root);
    }
    if (values == nullptr)
        values = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                           &kCFTypeDictionaryValueCallBacks);
    return values;
}

bool makeFolder(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

// Written beside the old file and renamed over it, so a crash never leaves half a file.
bool writeDomain(const std::string& id, CFDictionaryRef values) {
    const std::string dir = folder();
    if (dir.empty() || !makeFolder(dir)) return false;
    plist_t root = toPlist(values, 0);
    if (root == nullptr) return false;
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    plist_free(root);
    if (xml == nullptr) return false;

    const std::string path = filePath(id);
    const std::string temporary = path + ".tmp";
    bool written = false;
    if (FILE* file = std::fopen(temporary.c_str(), "wb")) {
        written = std::fwrite(xml, 1, length, file) == length;
        written = std::fclose(file) == 0 && written;
    }
    plist_to_xml_free(xml);
    if (written && std::rename(temporary.c_str(), path.c_str()) == 0) return true;
    std::remove(temporary.c_str());
    return false;
}

Domain& loadedDomain(const std::string& id) {
    Domain& domain = domains()[id];
    if (domain.values == nullptr) domain.values = readDomain(id);
    return domain;
}

// New reference or null.
CFTypeRef storedValue(const std::string& id, CFStringRef key) {
    const void* value = CFDictionaryGetValue(loadedDomain(id).values, key);
    return value != nullptr ? CFRetain(value) : nullptr;
}

bool namesNoLanguage(const std::string& name) {
    const std::string bare = name.substr(0, name.find_first_of(".@"));
    return bare.empty() || bare == "C" || bare == "POSIX";
}

// The languages the environment asks for, in its order, as gettext reads them; null when none.
CFArrayRef environmentLanguages() {
    const char* chosen = nullptr;
    bool list = false;
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != '\0') {
            chosen = value;
            list = std::strcmp(name, "LANGUAGE") == 0;
            break;
        }
    }
    if (chosen == nullptr) return nullptr;

    std::vector<std::string> names;
    if (list) {
        std::stringstream entries(chosen);
        for (std::string entry; std::getline(entries, entry, ':');) names.push_back(entry);
    } else {
        names.emplace_back(chosen);
    }
    CFMutableArrayRef array = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
    for (const std::string& name : names) {
        if (namesNoLanguage(name)) continue;
        CFStringRef entry = ktrcf::makeString(name);
        CFArrayAppendValue(array, entry);
        CFRelease(entry);
    }
    if (CFArrayGetCount(array) == 0) {
        CFRelease(array);
        return nullptr;
    }
    return array;
}

}  // namespace

CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID) {
    const std::string id = resolveApplication(applicationID);
    if (id.empty() || !ktrcf::isa(key, ktrcf::kTypeIDString)) return nullptr;
    {
        std::lock_guard<std::mutex> lock(domainLock());
        CFTypeRef value = storedValue(id, key);
        if (value == nullptr && id != kAnyApplicationID) value = storedValue(kAnyApplicationID, key);
        if (value != nullptr) return value;
    }
    // Without a stored list, the platform's own language setting stands in for it.
    if (CFEqual(key, CFSTR("AppleLanguages"))) return environmentLanguages();
    return nullptr;
}

void CFPreferencesSetAppValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID) {
    const std::string id = resolveApplication(applicationID);
    if (id.empty() || !ktrcf::isa(key, ktrcf::kTypeIDString)) return;
    std::lock_guard<std::mutex> lock(domainLock());
    Domain& domain = loadedDomain(id);
    if (value != nullptr)
        CFDictionarySetValue(domain.values, key, value);
    else
        CFDictionaryRemoveValue(domain.values, key);
    domain.dirty = true;
}

Boolean CFPreferencesAppSynchronize(CFStringRef applicationID) {
    const std::string id = resolveApplication(applicationID);
    if (id.empty()) return false;
    std::lock_guard<std::mutex> lock(domainLock());
    auto found = domains().find(id);
    if (found != domains().end()) {
        Domain& domain = found->second;
        if (domain.dirty && !writeDomain(id, domain.values)) return false;
        // Forgetting the domain makes the next read see what other processes wrote.
        CFRelease(domain.values);
        domains().erase(found);
    }
    return true;
}
