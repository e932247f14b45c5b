// The process-wide HID manager and its device list, sorted by USB location.
// Not thread-safe: the list and its one cursor belong to the thread that builds them.
#pragma once

#include <IOKit/hid/IOHIDLib.h>

#include "IOHIDManager/IOHIDDevice_.h"

// Created and opened by the first list build, never closed here.
extern IOHIDManagerRef gIOHIDManagerRef;
// Devices of the last rebuild, retained by the array, ascending LocationID; null when there is no list.
extern CFMutableArrayRef gDeviceCFArrayRef;
// Index of the device last returned by HIDGetFirstDevice/HIDGetNextDevice; -1 after a failed search.
extern CFIndex gDeviceIndex;

// Matches devices carrying any of the (usage page, usage) pairs; null arrays or a count of 0
// match every HID device. True when the list was rebuilt.
Boolean HIDBuildMultiDeviceList(const UInt32* inUsagePages, const UInt32* inUsages, int inNumDeviceTypes);
Boolean HIDBuildDeviceList(UInt32 inUsagePage, UInt32 inUsage);
// New dictionary for the caller to release; usage page 0 gives an empty one (every device).
CFMutableDictionaryRef hu_SetUpMatchingDictionary(UInt32 inUsagePage, UInt32 inUsage);
// Keeps the previous list when the manager reports no devices.
void HIDRebuildDevices(void);
void HIDReleaseDeviceList(void);

// Returned devices are not retained for the caller; they live while the list holds them.
IOHIDDeviceRef HIDGetFirstDevice(void);
// Constant time when given the device returned last; otherwise searches for it and goes on
// from there. Null at the end and for a device not in the list, until HIDGetFirstDevice.
IOHIDDeviceRef HIDGetNextDevice(IOHIDDeviceRef inIOHIDDeviceRef);

// CFSetApplyFunction callback: appends the value to the mutable array given as context.
void CFSetApplierFunctionCopyToCFArray(const void* value, void* context);
// Orders devices by LocationID compared as unsigned 32-bit values; a device without one comes first.
CFComparisonResult CFDeviceArrayComparatorFunction(const void* val1, const void* val2, void* context);
