// The process-wide HID manager and its device list, sorted by USB location.
// Not thread-safe: the list and its one cursor belong to the thread that builds them.
#pragma once

#include <IOKit/hid/IOHIDLib.h>

#include "IOHIDManager/IOHIDDevice_.h"
#include "IOHIDManager/IOHIDElement_.h"

// Created and opened by the first list build, never closed here.
extern IOHIDManagerRef gIOHIDManagerRef;
// Devices of the last rebuild, retained by the array, ascending LocationID; null when there is no list.
extern CFMutableArrayRef gDeviceCFArrayRef;
// Index of the device last returned by HIDGetFirstDevice/HIDGetNextDevice; -1 after a failed search.
extern CFIndex gDeviceIndex;
// A device's elements, copied for the element operation in progress; null between operations.
extern CFArrayRef gElementCFArrayRef;

// Element type masks: each bit selects a group of element types; other bits select nothing.
enum {
    kHIDElementTypeInput = 1 << 1,  // misc, button, axis, scan codes
    kHIDElementTypeOutput = 1 << 2,
    kHIDElementTypeFeature = 1 << 3,
    kHIDElementTypeCollection = 1 << 4,
    kHIDElementTypeIO = kHIDElementTypeInput | kHIDElementTypeOutput | kHIDElementTypeFeature,
    kHIDElementTypeAll = kHIDElementTypeIO | kHIDElementTypeCollection
};

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

// HIDBuildMultiDeviceList under another name.
Boolean HIDUpdateDeviceList(const UInt32* inUsagePages, const UInt32* inUsages, int inNumDeviceTypes);
Boolean HIDHaveDeviceList(void);
// Only meaningful while a list exists (HIDHaveDeviceList).
UInt32 HIDCountDevices(void);

// Elements of the device whose types the mask selects. Each call copies the device's elements
// afresh; returned elements are not retained and live as long as the device keeps them.
UInt32 HIDCountDeviceElements(IOHIDDeviceRef inIOHIDDeviceRef, UInt32 inTypeMask);
IOHIDElementRef HIDGetFirstDeviceElement(IOHIDDeviceRef inIOHIDDeviceRef, UInt32 inTypeMask);
// The next selected element of the same device; null after the last or for an element not found.
IOHIDElementRef HIDGetNextDeviceElement(IOHIDElementRef inIOHIDElementRef, UInt32 inTypeMask);

// One diagnostic line each on standard output.
void HIDDumpDeviceInfo(IOHIDDeviceRef inIOHIDDeviceRef);
// Writes nothing for a null element.
void HIDDumpElementInfo(IOHIDElementRef inIOHIDElementRef);
// Reading the calibration stores the defaults of values that were never set.
void HIDDumpElementCalibrationInfo(IOHIDElementRef inIOHIDElementRef);
