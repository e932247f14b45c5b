#include "IOHIDDevice_.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void hu_CheckFailed(const char* expression, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: Assertion failed: %s\n", file, line, expression);
    std::abort();
}

}  // namespace

// Stays on when NDEBUG is defined: reading another kind of object as a device would run
// into undefined behaviour inside the platform instead of stopping here.
#define HU_CHECK(expression) ((expression) ? (void)0 : hu_CheckFailed(#expression, __FILE__, __LINE__))

Boolean IOHIDDevice_GetLongProperty(IOHIDDeviceRef inIOHIDDeviceRef, CFStringRef inKey, long* outValue) {
    if (!inIOHIDDeviceRef) return false;
    HU_CHECK(IOHIDDeviceGetTypeID() == CFGetTypeID(inIOHIDDeviceRef));

    CFTypeRef property = IOHIDDeviceGetProperty(inIOHIDDeviceRef, inKey);
    if (!property || CFGetTypeID(property) != CFNumberGetTypeID()) return false;

    SInt32 value = 0;
    const Boolean converted = CFNumberGetValue(static_cast<CFNumberRef>(property), kCFNumberSInt32Type, &value);
    // Devices publish these as 32-bit numbers; values with the top bit set are still positive IDs.
    *outValue = static_cast<long>(static_cast<uint32_t>(value));
    return converted;
}

namespace {

// The getters give 0 whenever the property cannot be read.
long longPropertyOrZero(IOHIDDeviceRef device, CFStringRef key) {
    long result = 0;
    IOHIDDevice_GetLongProperty(device, key, &result);
    return result;
}

}  // namespace

long IOHIDDevice_GetVendorID(IOHIDDeviceRef inIOHIDDeviceRef) {
    return longPropertyOrZero(inIOHIDDeviceRef, CFSTR(kIOHIDVendorIDKey));
}

long IOHIDDevice_GetProductID(IOHIDDeviceRef inIOHIDDeviceRef) {
    return longPropertyOrZero(inIOHIDDeviceRef, CFSTR(kIOHIDProductIDKey));
}

long IOHIDDevice_GetVersionNumber(IOHIDDeviceRef inIOHIDDeviceRef) {
    return longPropertyOrZero(inIOHIDDeviceRef, CFSTR(kIOHIDVersionNumberKey));
}

long IOHIDDevice_GetLocationID(IOHIDDeviceRef inIOHIDDeviceRef) {
    return longPropertyOrZero(inIOHIDDeviceRef, CFSTR(kIOHIDLocationIDKey));
}
