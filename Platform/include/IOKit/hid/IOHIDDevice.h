// HID devices. A device's callbacks run on the run loop it is scheduled on.
#pragma once

#include <IOKit/hid/IOHIDBase.h>

#ifdef __cplusplus
extern "C" {
#endif

CFTypeID IOHIDDeviceGetTypeID(void);
IOReturn IOHIDDeviceOpen(IOHIDDeviceRef device, IOOptionBits options);
IOReturn IOHIDDeviceClose(IOHIDDeviceRef device, IOOptionBits options);
// Not retained for the caller.
CFTypeRef IOHIDDeviceGetProperty(IOHIDDeviceRef device, CFStringRef key);
Boolean IOHIDDeviceSetProperty(IOHIDDeviceRef device, CFStringRef key, CFTypeRef property);
void IOHIDDeviceScheduleWithRunLoop(IOHIDDeviceRef device, CFRunLoopRef runLoop, CFStringRef runLoopMode);
void IOHIDDeviceUnscheduleFromRunLoop(IOHIDDeviceRef device, CFRunLoopRef runLoop, CFStringRef runLoopMode);
// Runs once when the device goes; a null callback removes it.
void IOHIDDeviceRegisterRemovalCallback(IOHIDDeviceRef device, IOHIDCallback callback, void* context);
// Each input report is written into report (at most reportLength bytes) before the
// callback runs with the report's own length; a null callback removes it.
void IOHIDDeviceRegisterInputReportCallback(IOHIDDeviceRef device, uint8_t* report, CFIndex reportLength,
                                            IOHIDReportCallback callback, void* context);
// Synchronous: returns once the report has been handed to the device.
IOReturn IOHIDDeviceSetReport(IOHIDDeviceRef device, IOHIDReportType reportType, CFIndex reportID,
                              const uint8_t* report, CFIndex reportLength);
// A new array of the device's elements in the device's order (collections before their children),
// holding those whose properties carry every entry of the matching dictionary (null: all), or
// null when the device has no such element. Options are not used.
CFArrayRef IOHIDDeviceCopyMatchingElements(IOHIDDeviceRef device, CFDictionaryRef matching, IOOptionBits options);
// The element's current value. The value is not retained for the caller: it stays valid until the
// calling thread next asks this device for this element's value. kIOReturnBadArgument for an
// element of another device, kIOReturnNoDevice once the device has gone.
IOReturn IOHIDDeviceGetValue(IOHIDDeviceRef device, IOHIDElementRef element, IOHIDValueRef* pValue);

#ifdef __cplusplus
}
#endif
