// Number properties of HID devices.
#pragma once

#include <IOKit/hid/IOHIDLib.h>

// False for a null device, a missing property or one that is not a number; the value is the
// property's 32 bits read without sign. A device that is not a HID object stops the process.
Boolean IOHIDDevice_GetLongProperty(IOHIDDeviceRef inIOHIDDeviceRef, CFStringRef inKey, long* outValue);

// 0 when the device is null or lacks the property.
long IOHIDDevice_GetVendorID(IOHIDDeviceRef inIOHIDDeviceRef);
long IOHIDDevice_GetProductID(IOHIDDeviceRef inIOHIDDeviceRef);
long IOHIDDevice_GetVersionNumber(IOHIDDeviceRef inIOHIDDeviceRef);
long IOHIDDevice_GetLocationID(IOHIDDeviceRef inIOHIDDeviceRef);
