// HID elements: the controls and collections of a device, in the device's order.
#pragma once

#include <IOKit/hid/IOHIDBase.h>

#ifdef __cplusplus
extern "C" {
#endif

CFTypeID IOHIDElementGetTypeID(void);
// A new element of no device, its attributes read from the dictionary's element keys (a missing
// or non-number entry, and a type or collection type outside its enumeration's range, reads as 0,
// or false); the dictionary becomes its property set.
IOHIDElementRef IOHIDElementCreateWithDictionary(CFAllocatorRef allocator, CFDictionaryRef dictionary);
// Not retained for the caller; null for an element of no device or whose device has gone.
IOHIDDeviceRef IOHIDElementGetDevice(IOHIDElementRef element);
// The collection holding the element, not retained for the caller; null at the top.
IOHIDElementRef IOHIDElementGetParent(IOHIDElementRef element);
IOHIDElementCookie IOHIDElementGetCookie(IOHIDElementRef element);
IOHIDElementType IOHIDElementGetType(IOHIDElementRef element);
IOHIDElementCollectionType IOHIDElementGetCollectionType(IOHIDElementRef element);
uint32_t IOHIDElementGetUsagePage(IOHIDElementRef element);
uint32_t IOHIDElementGetUsage(IOHIDElementRef element);
Boolean IOHIDElementIsVirtual(IOHIDElementRef element);
Boolean IOHIDElementIsRelative(IOHIDElementRef element);
Boolean IOHIDElementIsWrapping(IOHIDElementRef element);
Boolean IOHIDElementIsArray(IOHIDElementRef element);
Boolean IOHIDElementIsNonLinear(IOHIDElementRef element);
Boolean IOHIDElementHasPreferredState(IOHIDElementRef element);
Boolean IOHIDElementHasNullState(IOHIDElementRef element);
// Not retained for the caller; null when the element has no name.
CFStringRef IOHIDElementGetName(IOHIDElementRef element);
uint32_t IOHIDElementGetReportID(IOHIDElementRef element);
uint32_t IOHIDElementGetReportSize(IOHIDElementRef element);
uint32_t IOHIDElementGetReportCount(IOHIDElementRef element);
uint32_t IOHIDElementGetUnit(IOHIDElementRef element);
uint32_t IOHIDElementGetUnitExponent(IOHIDElementRef element);
CFIndex IOHIDElementGetLogicalMin(IOHIDElementRef element);
CFIndex IOHIDElementGetLogicalMax(IOHIDElementRef element);
CFIndex IOHIDElementGetPhysicalMin(IOHIDElementRef element);
CFIndex IOHIDElementGetPhysicalMax(IOHIDElementRef element);
// Not retained for the caller; valid until the key is set again.
CFTypeRef IOHIDElementGetProperty(IOHIDElementRef element, CFStringRef key);
// Stores (retains) the property; changing an attribute's key does not change the attribute.
Boolean IOHIDElementSetProperty(IOHIDElementRef element, CFStringRef key, CFTypeRef property);

#ifdef __cplusplus
}
#endif
