// Restoring an element choice from arbitrary preference values, against one device with elements.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "HID_Config_Utilities.h"
#include "PadDevice.h"

namespace {

std::string g_folder;

void removeFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(g_folder, ignored);
}

bool setUp() {
    // Values that are not texts are removed and the preferences written: keep them out of the user's.
    char pattern[] = "/tmp/pref_text_fuzz-XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    g_folder = pattern;
    std::atexit(removeFolder);
    setenv("XDG_CONFIG_HOME", pattern, 1);
    return attachPadAndBuildList();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = setUp();
    if (!ready || size > 4096) return 0;
    const CFStringRef key = CFSTR("action");
    const CFStringRef app = CFSTR("org.ktrq7.pref-text-fuzz");
    CFTypeRef value =
        CFStringCreateWithBytes(kCFAllocatorDefault, data, static_cast<CFIndex>(size), kCFStringEncodingUTF8, false);
    // Bytes that are no text become a value of another kind.
    if (!value) value = CFDataCreate(kCFAllocatorDefault, data, static_cast<CFIndex>(size));
    CFPreferencesSetAppValue(key, value, app);
    CFRelease(value);

    IOHIDDeviceRef device = nullptr;
    IOHIDElementRef element = nullptr;
    HIDRestoreElementPref(key, app, &device, &element);
    return 0;
}
