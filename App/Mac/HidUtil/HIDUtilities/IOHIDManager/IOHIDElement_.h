// Properties of HID elements and the calibration the library keeps on each element.
// Apart from HIDIsValidElement these take a valid, non-null element.
#pragma once

#include <IOKit/hid/IOHIDLib.h>

// True for a non-null reference to a HID element object.
Boolean HIDIsValidElement(IOHIDElementRef inIOHIDElementRef);

// The element's current value in the given scale, truncated toward zero; 0.0 when it cannot be read.
double IOHIDElement_GetValue(IOHIDElementRef inElementRef, IOHIDValueScaleType inIOHIDValueScaleType);

// False, and the value untouched, when the property is missing or not a number; the value
// keeps its sign. False as well when the number does not fit 32 bits.
Boolean IOHIDElement_GetLongProperty(IOHIDElementRef inElementRef, CFStringRef inKey, long* outValue);
// Stores the value's low 32 bits as a signed number.
void IOHIDElement_SetLongProperty(IOHIDElementRef inElementRef, CFStringRef inKey, long inValue);

// A calibration value that was never set is taken from the element's logical range
// (the minimum from "Max", the others from "Min") and stored, so later reads agree.
long IOHIDElement_GetCalibrationMin(IOHIDElementRef inElementRef);
long IOHIDElement_GetCalibrationMax(IOHIDElementRef inElementRef);
long IOHIDElement_GetCalibrationSaturationMin(IOHIDElementRef inElementRef);
long IOHIDElement_GetCalibrationSaturationMax(IOHIDElementRef inElementRef);
long IOHIDElement_GetCalibrationDeadZoneMin(IOHIDElementRef inElementRef);
long IOHIDElement_GetCalibrationDeadZoneMax(IOHIDElementRef inElementRef);
double IOHIDElement_GetCalibrationGranularity(IOHIDElementRef inElementRef);

void IOHIDElement_SetCalibrationMin(IOHIDElementRef inElementRef, long inValue);
void IOHIDElement_SetCalibrationMax(IOHIDElementRef inElementRef, long inValue);
void IOHIDElement_SetCalibrationSaturationMin(IOHIDElementRef inElementRef, long inValue);
void IOHIDElement_SetCalibrationSaturationMax(IOHIDElementRef inElementRef, long inValue);
void IOHIDElement_SetCalibrationDeadZoneMin(IOHIDElementRef inElementRef, long inValue);
void IOHIDElement_SetCalibrationDeadZoneMax(IOHIDElementRef inElementRef, long inValue);
// Truncated toward zero before it is stored.
void IOHIDElement_SetCalibrationGranularity(IOHIDElementRef inElementRef, double inValue);

// Range from the logical range, no dead zone or granularity, both saturation limits at the
// current physical value.
void IOHIDElement_SetupCalibration(IOHIDElementRef inElementRef);
