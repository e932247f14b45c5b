// Name lookups over arbitrary contents of the three name lists, read from a bundle of this
// process's own that carries the library's bundle identifier.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "HID_Name_Lookup.h"

namespace {

std::string g_root;

void removeBundle() {
    std::error_code ignored;
    std::filesystem::remove_all(g_root, ignored);
}

std::string makeBundle() {
    char pattern[] = "/tmp/name_lookup_fuzz-XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    g_root = pattern;
    std::atexit(removeBundle);
    mkdir((g_root + "/Resources").c_str(), 0700);
    std::ofstream(g_root + "/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
           "<string>org.ktrq7.hidutilities</string></dict></plist>\n";
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(
        kCFAllocatorDefault, reinterpret_cast<const UInt8*>(g_root.data()), static_cast<CFIndex>(g_root.size()), true);
    if (!url || !CFBundleCreate(kCFAllocatorDefault, url)) std::abort();  // the bundle stays for the process
    CFRelease(url);
    return g_root + "/Resources/";
}

void dropCache(CFPropertyListRef& cache) {
    if (cache) CFRelease(cache);
    cache = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string resources = makeBundle();
    if (size > 1 << 16) return 0;
    for (const char* list : {"HID_device_usage_strings", "HID_cookie_strings", "HID_usage_strings"})
        std::ofstream(resources + list + ".plist", std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    dropCache(gUsageCFPropertyListRef);
    dropCache(gCookieCFPropertyListRef);
    dropCache(tCFPropertyListRef);

    // Element names are any entry's description, which nesting can make much longer than the
    // list; the room is what the longest of those could ask for, and no more.
    const size_t room = 128 * size + 64;
    std::unique_ptr<char[]> name(new char[room]);
    for (long id : {1L, 2L, -1L}) {
        HIDGetVendorNameFromVendorID(id, name.get());
        HIDGetProductNameFromVendorProductID(id, 2, name.get());
        HIDGetElementNameFromVendorProductCookie(static_cast<int>(id), 2, 3, name.get());
        HIDGetElementNameFromVendorProductUsage(id, 2, 1, 48, name.get());
        if (CFStringRef usage = HIDCopyUsageName(id, 0x30)) CFRelease(usage);
    }
    HIDGetTypeName(kIOHIDElementTypeInput_Axis, name.get());
    return 0;
}
