#include "DazoHIDUtilAddOn.h"

#include "IOHIDDevice_.h"

io_service_t AllocateHIDObjectFromIOHIDDeviceRef(IOHIDDeviceRef inIOHIDDeviceRef) {
    if (!inIOHIDDeviceRef) return 0;
    HU_CHECK(IOHIDDeviceGetTypeID() == CFGetTypeID(inIOHIDDeviceRef));

    CFMutableDictionaryRef matching = IOServiceMatching("IOHIDDevice");
    if (!matching) return 0;
    CFTypeRef location = IOHIDDeviceGetProperty(inIOHIDDeviceRef, CFSTR(kIOHIDLocationIDKey));
    if (!location) {
        CFRelease(matching);
        return 0;
    }
    // The location is passed on as the device holds it; the service registry compares it.
    CFDictionaryAddValue(matching, CFSTR(kIOHIDLocationIDKey), location);
    // Takes over the matching dictionary.
    return IOServiceGetMatchingService(kIOMasterPortDefault, matching);
}

Boolean FreeHIDObject(io_service_t inHIDObject) { return IOObjectRelease(inHIDObject) == kIOReturnSuccess; }
