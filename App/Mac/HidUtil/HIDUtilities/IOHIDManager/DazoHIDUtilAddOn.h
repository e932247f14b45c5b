// The I/O service object behind a HID device.
#pragma once

#include <IOKit/IOKitLib.h>
#include <IOKit/hid/IOHIDLib.h>

// Found by the device's LocationID; 0 when there is none. The caller frees it with FreeHIDObject.
io_service_t AllocateHIDObjectFromIOHIDDeviceRef(IOHIDDeviceRef inIOHIDDeviceRef);
// True when the platform released the object without error.
Boolean FreeHIDObject(io_service_t inHIDObject);
