#include "IOHIDElement_.h"

#include <cmath>
#include <cstdint>

#include "HID_Internal.h"

#define HU_ELEMENT_MIN_KEY "Min"
#define HU_ELEMENT_MAX_KEY "Max"
#define HU_CALIBRATION_MIN_KEY "CalibrationMin"
#define HU_CALIBRATION_MAX_KEY "CalibrationMax"
#define HU_SATURATION_MIN_KEY "CalibrationSaturationMin"
#define HU_SATURATION_MAX_KEY "CalibrationSaturationMax"
#define HU_DEAD_ZONE_MIN_KEY "CalibrationDeadZoneMin"
#define HU_DEAD_ZONE_MAX_KEY "CalibrationDeadZoneMax"
#define HU_GRANULARITY_KEY "CalibrationGranularity"

namespace {

// Toward zero; values a 64-bit integer cannot hold (NaN included) are pinned instead of
// converted, which would be undefined.
int64_t truncated(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 9223372036854775807.0) return INT64_MAX;
    if (value <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(value);
}

// The largest 32-bit value and its negation stand for "no range known".
constexpr long kNoMinimum = 2147483647;
constexpr long kNoMaximum = -2147483647;

long calibrationValue(IOHIDElementRef element, CFStringRef key, CFStringRef fallbackKey, long fallback) {
    long value = 0;
    if (IOHIDElement_GetLongProperty(element, key, &value)) return value;
    if (!IOHIDElement_GetLongProperty(element, fallbackKey, &value)) value = fallback;
    IOHIDElement_SetLongProperty(element, key, value);
    return value;
}

}  // namespace

Boolean HIDIsValidElement(IOHIDElementRef inIOHIDElementRef) {
    return inIOHIDElementRef && CFGetTypeID(inIOHIDElementRef) == IOHIDElementGetTypeID();
}

double IOHIDElement_GetValue(IOHIDElementRef inElementRef, IOHIDValueScaleType inIOHIDValueScaleType) {
    int64_t result = 0;
    // An element whose device has gone, or that never had one, has no value to read.
    IOHIDDeviceRef device = IOHIDElementGetDevice(inElementRef);
    IOHIDValueRef value = nullptr;
    if (device && IOHIDDeviceGetValue(device, inElementRef, &value) == kIOReturnSuccess && value)
        result = truncated(IOHIDValueGetScaledValue(value, inIOHIDValueScaleType));
    return static_cast<double>(result);
}

Boolean IOHIDElement_GetLongProperty(IOHIDElementRef inElementRef, CFStringRef inKey, long* outValue) {
    SInt32 value;
    Boolean fitted;
    if (!hu_internal::numberProperty32(IOHIDElementGetProperty(inElementRef, inKey), &value, &fitted)) return false;
    *outValue = value;
    return fitted;
}

void IOHIDElement_SetLongProperty(IOHIDElementRef inElementRef, CFStringRef inKey, long inValue) {
    const SInt32 value = static_cast<SInt32>(static_cast<uint32_t>(inValue));
    CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &value);
    if (!number) return;
    IOHIDElementSetProperty(inElementRef, inKey, number);
    CFRelease(number);
}

// A calibration that was never set starts out inverted (minimum at the logical maximum),
// so that the first values seen widen it.
long IOHIDElement_GetCalibrationMin(IOHIDElementRef inElementRef) {
    return calibrationValue(inElementRef, CFSTR(HU_CALIBRATION_MIN_KEY), CFSTR(HU_ELEMENT_MAX_KEY), kNoMinimum);
}

long IOHIDElement_GetCalibrationMax(IOHIDElementRef inElementRef) {
    return calibrationValue(inElementRef, CFSTR(HU_CALIBRATION_MAX_KEY), CFSTR(HU_ELEMENT_MIN_KEY), kNoMaximum);
}

long IOHIDElement_GetCalibrationSaturationMin(IOHIDElementRef inElementRef) {
    return calibrationValue(inElementRef, CFSTR(HU_SATURATION_MIN_KEY), CFSTR(HU_ELEMENT_MIN_KEY), kNoMaximum);
}

long IOHIDElement_GetCalibrationSaturationMax(IOHIDElementRef inElementRef) {
    return calibrationValue(inElementRef, CFSTR(HU_SATURATION_MAX_KEY), CFSTR(HU_ELEMENT_MIN_KEY), kNoMaximum);
}

long IOHIDElement_GetCalibrationDeadZoneMin(IOHIDElementRef inElementRef) {
    return calibrationValue(inElementRef, CFSTR(HU_DEAD_ZONE_MIN_KEY), CFSTR(HU_ELEMENT_MIN_KEY), kNoMaximum);
}

long IOHIDElement_GetCalibrationDeadZoneMax(IOHIDElementRef inElementRef) {
    return calibrationValue(inElementRef, CFSTR(HU_DEAD_ZONE_MAX_KEY), CFSTR(HU_ELEMENT_MIN_KEY), kNoMaximum);
}

double IOHIDElement_GetCalibrationGranularity(IOHIDElementRef inElementRef) {
    return static_cast<double>(
        calibrationValue(inElementRef, CFSTR(HU_GRANULARITY_KEY), CFSTR(HU_ELEMENT_MIN_KEY), kNoMaximum));
}

void IOHIDElement_SetCalibrationMin(IOHIDElementRef inElementRef, long inValue) {
    IOHIDElement_SetLongProperty(inElementRef, CFSTR(HU_CALIBRATION_MIN_KEY), inValue);
}

void IOHIDElement_SetCalibrationMax(IOHIDElementRef inElementRef, long inValue) {
    IOHIDElement_SetLongProperty(inElementRef, CFSTR(HU_CALIBRATION_MAX_KEY), inValue);
}

void IOHIDElement_SetCalibrationSaturationMin(IOHIDElementRef inElementRef, long inValue) {
    IOHIDElement_SetLongProperty(inElementRef, CFSTR(HU_SATURATION_MIN_KEY), inValue);
}

void IOHIDElement_SetCalibrationSaturationMax(IOHIDElementRef inElementRef, long inValue) {
    IOHIDElement_SetLongProperty(inElementRef, CFSTR(HU_SATURATION_MAX_KEY), inValue);
}

void IOHIDElement_SetCalibrationDeadZoneMin(IOHIDElementRef inElementRef, long inValue) {
    IOHIDElement_SetLongProperty(inElementRef, CFSTR(HU_DEAD_ZONE_MIN_KEY), inValue);
}

void IOHIDElement_SetCalibrationDeadZoneMax(IOHIDElementRef inElementRef, long inValue) {
    IOHIDElement_SetLongProperty(inElementRef, CFSTR(HU_DEAD_ZONE_MAX_KEY), inValue);
}

void IOHIDElement_SetCalibrationGranularity(IOHIDElementRef inElementRef, double inValue) {
    IOHIDElement_SetLongProperty(inElementRef, CFSTR(HU_GRANULARITY_KEY), static_cast<long>(truncated(inValue)));
}

void IOHIDElement_SetupCalibration(IOHIDElementRef inElementRef) {
    IOHIDElement_SetCalibrationMin(inElementRef, IOHIDElementGetLogicalMin(inElementRef));
    IOHIDElement_SetCalibrationMax(inElementRef, IOHIDElementGetLogicalMax(inElementRef));
    IOHIDElement_SetCalibrationGranularity(inElementRef, 0.0);
    IOHIDElement_SetCalibrationDeadZoneMin(inElementRef, 0);
    IOHIDElement_SetCalibrationDeadZoneMax(inElementRef, 0);
    // The saturation limits start at the control's rest position and widen as it moves.
    const long current =
        static_cast<long>(truncated(IOHIDElement_GetValue(inElementRef, kIOHIDValueScaleTypePhysical)));
    IOHIDElement_SetCalibrationSaturationMin(inElementRef, current);
    IOHIDElement_SetCalibrationSaturationMax(inElementRef, current);
}
