// IOKit service lookup as far as this program uses it.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
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

CFMutableDictionaryRef IOServiceMatching(const char* name);
// Consumes one reference of the matching dictionary.
io_service_t IOServiceGetMatchingService(mach_port_t masterPort, CFDictionaryRef matching);
kern_return_t IOObjectRelease(io_object_t object);

#ifdef __cplusplus
}
#endif
