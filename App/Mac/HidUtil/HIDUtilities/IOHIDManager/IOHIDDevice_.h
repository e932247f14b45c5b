// Properties of HID devices. Getters do not retain what they return.
#pragma once

#include <IOKit/hid/IOHIDLib.h>

// The library's type checks stay on when NDEBUG is defined: handing another kind of object to
// the platform as a device or element would run into undefined behaviour there instead.
[[noreturn]] void hu_CheckFailed(const char* inExpression, const char* inFile, int inLine);
#define HU_CHECK(expression) ((expression) ? (void)0 : hu_CheckFailed(#expression, __FILE__, __LINE__))

// True for a non-null reference to a HID device object.
Boolean HIDIsValidDevice(IOHIDDeviceRef inIOHIDDeviceRef);

// False for a null device, a missing property or one that is not a number; the value is the
// property's 32 bits read without sign. A device that is not a HID object stops the process.
Boolean IOHIDDevice_GetLongProperty(IOHIDDeviceRef inIOHIDDeviceRef, CFStringRef inKey, long* outValue);
// Stores the whole value as a 64-bit number; does nothing when the number cannot be made.
void IOHIDDevice_SetLongProperty(IOHIDDeviceRef inIOHIDDeviceRef, CFStringRef inKey, long inValue);

// Text and object properties, null when absent or for a null device.
CFStringRef IOHIDDevice_GetTransport(IOHIDDeviceRef inIOHIDDeviceRef);
CFStringRef IOHIDDevice_GetManufacturer(IOHIDDeviceRef inIOHIDDeviceRef);
CFStringRef IOHIDDevice_GetProduct(IOHIDDeviceRef inIOHIDDeviceRef);
CFStringRef IOHIDDevice_GetSerialNumber(IOHIDDeviceRef inIOHIDDeviceRef);
CFArrayRef IOHIDDevice_GetUsagePairs(IOHIDDeviceRef inIOHIDDeviceRef);

// Number properties: 0 when the device is null or lacks the property.
long IOHIDDevice_GetVendorID(IOHIDDeviceRef inIOHIDDeviceRef);
long IOHIDDevice_GetVendorIDSource(IOHIDDeviceRef inIOHIDDeviceRef);
long IOHIDDevice_GetProductID(IOHIDDeviceRef inIOHIDDeviceRef);
long IOHIDDevice_GetVersionNumber(IOHIDDeviceRef inIOHIDDeviceRef);
long IOHIDDevice_GetCountryCode(IOHIDDeviceRef inIOHIDDeviceRef);
long IOHIDDevice_GetLocationID(IOHIDDeviceRef inIOHIDDeviceRef);
uint32_t IOHIDDevice_GetUsage(IOHIDDeviceRef inIOHIDDeviceRef);
uint32_t IOHIDDevice_GetUsagePage(IOHIDDeviceRef inIOHIDDeviceRef);
uint32_t IOHIDDevice_GetPrimaryUsage(IOHIDDeviceRef inIOHIDDeviceRef);
uint32_t IOHIDDevice_GetPrimaryUsagePage(IOHIDDeviceRef inIOHIDDeviceRef);
long IOHIDDevice_GetMaxInputReportSize(IOHIDDeviceRef inIOHIDDeviceRef);
long IOHIDDevice_GetMaxOutputReportSize(IOHIDDeviceRef inIOHIDDeviceRef);
long IOHIDDevice_GetMaxFeatureReportSize(IOHIDDeviceRef inIOHIDDeviceRef);
long IOHIDDevice_GetReportInterval(IOHIDDeviceRef inIOHIDDeviceRef);

// A queue or transaction attached to the device as a property; null when none was attached.
IOHIDQueueRef IOHIDDevice_GetQueue(IOHIDDeviceRef inIOHIDDeviceRef);
void IOHIDDevice_SetQueue(IOHIDDeviceRef inIOHIDDeviceRef, IOHIDQueueRef inQueueRef);
IOHIDTransactionRef IOHIDDevice_GetTransaction(IOHIDDeviceRef inIOHIDDeviceRef);
void IOHIDDevice_SetTransaction(IOHIDDeviceRef inIOHIDDeviceRef, IOHIDTransactionRef inTransactionRef);
