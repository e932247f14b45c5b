// A device's properties as the updater reads them.
#pragma once

#include <IOKit/hid/IOHIDManager.h>

#include <optional>
#include <string>

namespace simtest {

inline CFTypeRef property(IOHIDDeviceRef device, const char* key) {
    CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFTypeRef value = IOHIDDeviceGetProperty(device, name);
    CFRelease(name);
    return value;
}

// The number or text under the key; none or empty when the device has no such property.
inline std::optional<int64_t> numberProperty(IOHIDDeviceRef d, const char* key) {
    int64_t n = 0;
    return CFNumberGetValue(CFNumberRef(property(d, key)), kCFNumberSInt64Type, &n) ? std::optional(n) : std::nullopt;
}

inline std::string textProperty(IOHIDDeviceRef d, const char* key) {
    char text[256] = {};
    return CFStringGetCString(CFStringRef(property(d, key)), text, sizeof text, kCFStringEncodingUTF8) ? text : "";
}

}  // namespace simtest
