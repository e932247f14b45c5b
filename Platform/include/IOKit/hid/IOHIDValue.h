// Values of HID elements: an integer reading with the time it was taken.
#pragma once

#include <IOKit/hid/IOHIDBase.h>

#ifdef __cplusplus
extern "C" {
#endif

CFTypeID IOHIDValueGetTypeID(void);
IOHIDValueRef IOHIDValueCreateWithIntegerValue(CFAllocatorRef allocator, IOHIDElementRef element, uint64_t timeStamp,
                                               CFIndex value);
// Not retained for the caller; the value keeps its element alive.
IOHIDElementRef IOHIDValueGetElement(IOHIDValueRef value);
// Nanoseconds on the system's monotonic clock.
uint64_t IOHIDValueGetTimeStamp(IOHIDValueRef value);
CFIndex IOHIDValueGetIntegerValue(IOHIDValueRef value);
// The integer value mapped linearly from the element's logical range onto its physical range.
// An empty physical range leaves the value as it is; an empty logical range gives the physical
// minimum. The calibrated scale is the physical one: calibration properties are not applied.
// The exponent scale is not supported and gives 0.
double IOHIDValueGetScaledValue(IOHIDValueRef value, IOHIDValueScaleType type);

#ifdef __cplusplus
}
#endif
