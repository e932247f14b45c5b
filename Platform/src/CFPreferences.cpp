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
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "CFRuntime.h"
#include "PropertyList.h"

const CFStringRef kCFPreferencesCurrentApplication = CFSTR("kCFPreferencesCurrentApplication");
const CFStringRef kCFPreferencesAnyApplication = CFSTR("kCFPreferencesAnyApplication");

namespace {

constexpr const char* kOwnApplicationID = "org.ktrq7.updater";
constexpr const char* kAnyApplicationID = ".GlobalPreferences";
constexpr const char* kFolderName = "ktrq7-updater";

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

// A missing, unreadable or damaged file reads as no preferences.
CFMutableDictionaryRef readDomain(const std::string& id) {
    CFMutableDictionaryRef values = nullptr;
    const std::string path = filePath(id);
    std::ifstream file(path, std::ios::binary);
    if (!path.empty() && file) {
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        // Only the XML form is read (it is the one written), through the parser that refuses
        // nesting deep enough to overflow the stack.
        CFPropertyListRef root =
            ktrcf::parseXmlPropertyList(bytes.data(), bytes.size(), kCFPropertyListMutableContainers, nullptr);
        if (ktrcf::isa(root, ktrcf::kTypeIDDictionary))
            values = const_cast<CFMutableDictionaryRef>(static_cast<CFDictionaryRef>(root));
        else if (root != nullptr)
            CFRelease(root);
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
    plist_t root = ktrcf::plistFromPropertyList(values);
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
    // The locale for messages; none set is the C locale.
    const char* chosen = nullptr;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != '\0') {
            chosen = value;
            break;
        }
    }
    if (chosen == nullptr || namesNoLanguage(chosen)) return nullptr;
    // A list of languages overrides that locale, but never turns the C locale into a language.
    const char* languages = std::getenv("LANGUAGE");
    const bool list = languages != nullptr && languages[0] != '\0';
    if (list) chosen = languages;

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
