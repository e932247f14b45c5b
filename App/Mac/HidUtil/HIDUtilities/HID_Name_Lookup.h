// Readable names for HID vendors, products, elements, usages and element types.
// Vendor, product, element and usage names come from the property lists
// "HID_device_usage_strings", "HID_cookie_strings" and "HID_usage_strings" found
// among the process's bundle resources; each list is read on first use and kept.
// Not thread-safe: the cached lists are filled without a lock.
#pragma once

#include <IOKit/hid/IOHIDLib.h>

// The lists as loaded ("HID_device_usage_strings", "HID_cookie_strings", "HID_usage_strings"),
// owned by the library; null until a load succeeds.
extern CFPropertyListRef gUsageCFPropertyListRef;
extern CFPropertyListRef gCookieCFPropertyListRef;
extern CFPropertyListRef tCFPropertyListRef;

// The name functions take a buffer without a size. They write at most twice the
// name's length in UTF-16 code units plus one byte; a name whose UTF-8 form needs
// more than that fails. The buffer is an empty string after any failure that
// happens before the name is written. True when a name was written.
Boolean HIDGetVendorNameFromVendorID(long inVendorID, char* outCStrName);
// "<vendor name> <product name>".
Boolean HIDGetProductNameFromVendorProductID(long inVendorID, long inProductID, char* outCStrName);
Boolean HIDGetElementNameFromVendorProductCookie(int inVendorID, int inProductID, IOHIDElementCookie inCookie,
                                                 char* outCStrName);
Boolean HIDGetElementNameFromVendorProductUsage(long inVendorID, long inProductID, long inUsagePage, long inUsage,
                                                char* outCStrName);

// Writes at most 20 bytes, the terminating zero included.
void HIDGetTypeName(IOHIDElementType inIOHIDElementType, char* outCStrName);

// "<page name> <usage name>", a new string that the caller releases, or null.
CFStringRef HIDCopyUsageName(long inUsagePage, long inUsage);
