// Binding an action to the control the user moves: watching elements for movement,
// and saving the chosen device and element to preferences or a record file and
// finding them again among the devices present. Not thread-safe: these use the
// library's device list and shared working state.
#pragma once

#include <IOKit/hid/IOHIDLib.h>

#include <stdio.h>

// 44 bytes, written to and read from files as they lie in memory (native byte order).
typedef struct HIDElementConfigRecord {
    SInt32 actionID;
    SInt32 vendorID;
    SInt32 productID;
    SInt32 locID;
    UInt32 usagePage;
    UInt32 usage;
    UInt32 elementUsagePage;
    UInt32 elementUsage;
    SInt32 saturationMin;
    SInt32 saturationMax;
    UInt32 cookie;
} HIDElementConfigRecord;

// Watch the device's input elements until one moves by more than a tenth of its logical
// range or inTimeout seconds of processor time pass. The values of the first pass are the
// reference, so the control must move after the call began.
Boolean HIDConfigureSingleDeviceAction(IOHIDDeviceRef inIOHIDDeviceRef, IOHIDElementRef* outIOHIDElementRef,
                                       float inTimeout);
// The same over every device of the list (built for all HID devices when missing), with
// movement measured against a tenth of the physical range.
Boolean HIDConfigureAction(IOHIDDeviceRef* outIOHIDDeviceRef, IOHIDElementRef* outIOHIDElementRef, float inTimeout);

// The preference text identifies the device and element; it holds no action or calibration.
Boolean HIDSaveElementPref(CFStringRef inKeyCFStringRef, CFStringRef inAppCFStringRef, IOHIDDeviceRef inIOHIDDeviceRef,
                           IOHIDElementRef inIOHIDElementRef);
Boolean HIDRestoreElementPref(CFStringRef inKeyCFStringRef, CFStringRef inAppCFStringRef,
                              IOHIDDeviceRef* outIOHIDDeviceRef, IOHIDElementRef* outIOHIDElementRef);

// Best-scoring device and element of the device list for the record; outs untouched when none.
Boolean HIDFindDeviceAndElement(const HIDElementConfigRecord* inSearchInfo, IOHIDDeviceRef* outFoundDevice,
                                IOHIDElementRef* outFoundElement);

void HIDSetElementConfig(HIDElementConfigRecord* inConfigRecord, IOHIDDeviceRef inIOHIDDeviceRef,
                         IOHIDElementRef inIOHIDElementRef, int inActionID);
// Writes one record at the file's current position.
void HIDSaveElementConfig(FILE* inFileRef, IOHIDDeviceRef inIOHIDDeviceRef, IOHIDElementRef inIOHIDElementRef,
                          int inActionID);

// Finds the recorded device and element, restores the element's saturation limits, and
// returns the record's action; both outs null when nothing matches.
int HIDGetElementConfig(HIDElementConfigRecord* inConfigRecord, IOHIDDeviceRef* outIOHIDDeviceRef,
                        IOHIDElementRef* outIOHIDElementRef);
// Reads one record at the file's current position. A file that ends before a whole record
// restores nothing: both outs null, result 0.
int HIDRestoreElementConfig(FILE* inFileRef, IOHIDDeviceRef* outIOHIDDeviceRef, IOHIDElementRef* outIOHIDElementRef);
