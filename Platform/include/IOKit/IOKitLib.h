// IOKit service lookup as far as this program uses it.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitKeys.h>
#include <IOKit/IOReturn.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef UInt32 mach_port_t;
typedef mach_port_t io_object_t;
typedef io_object_t io_service_t;
typedef io_object_t io_registry_entry_t;

#define MACH_PORT_NULL ((mach_port_t)0)
extern const mach_port_t kIOMasterPortDefault;

// HID devices are the only services here, of the class "IOHIDDevice".

// A new matching dictionary holding the class name under kIOProviderClassKey; null for a null name.
CFMutableDictionaryRef IOServiceMatching(const char* name);
// The first attached service, in the order of arrival, whose class and properties carry every entry
// of the dictionary; 0 when none does. Consumes one reference of the dictionary in every case.
// The caller owns the handle: each lookup adds a reference that IOObjectRelease gives back.
io_service_t IOServiceGetMatchingService(mach_port_t masterPort, CFDictionaryRef matching);
// kIOReturnSuccess, or kIOReturnBadArgument for 0 and for handles not (or no longer) held.
kern_return_t IOObjectRelease(io_object_t object);

#ifdef __cplusplus
}
#endif
