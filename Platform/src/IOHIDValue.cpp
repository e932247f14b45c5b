#include "HIDObjects.h"

__IOHIDValue::__IOHIDValue(IOHIDElementRef e, uint64_t t, CFIndex v)
    : ktrcf::Object(kTypeID),
      element(static_cast<IOHIDElementRef>(const_cast<void*>(CFRetain(e)))),
      timeStamp(t),
      integer(v) {}

__IOHIDValue::~__IOHIDValue() { CFRelease(element); }

extern "C" {

CFTypeID IOHIDValueGetTypeID(void) { return ktrcf::kTypeIDHIDValue; }

IOHIDValueRef IOHIDValueCreateWithIntegerValue(CFAllocatorRef, IOHIDElementRef element, uint64_t timeStamp,
                                               CFIndex value) {
    if (!ktrcf::isa(element, ktrcf::kTypeIDHIDElement)) return nullptr;
    return new __IOHIDValue(element, timeStamp, value);
}

IOHIDElementRef IOHIDValueGetElement(IOHIDValueRef value) {
    const auto* v = ktrcf::cast<__IOHIDValue>(value);
    return v ? v->element : nullptr;
}

uint64_t IOHIDValueGetTimeStamp(IOHIDValueRef value) {
    const auto* v = ktrcf::cast<__IOHIDValue>(value);
    return v ? v->timeStamp : 0;
}

CFIndex IOHIDValueGetIntegerValue(IOHIDValueRef value) {
    const auto* v = ktrcf::cast<__IOHIDValue>(value);
    return v ? v->integer : 0;
}

double IOHIDValueGetScaledValue(IOHIDValueRef value, IOHIDValueScaleType type) {
    const auto* v = ktrcf::cast<__IOHIDValue>(value);
    if (!v || (type != kIOHIDValueScaleTypeCalibrated && type != kIOHIDValueScaleTypePhysical)) return 0.0;
    const __IOHIDElement& e = *v->element;
    // In doubles throughout: differences of extreme CFIndex values would overflow.
    if (e.physicalMin == e.physicalMax) return static_cast<double>(v->integer);
    if (e.logicalMin == e.logicalMax) return static_cast<double>(e.physicalMin);
    const double logicalSpan = static_cast<double>(e.logicalMax) - static_cast<double>(e.logicalMin);
    const double physicalSpan = static_cast<double>(e.physicalMax) - static_cast<double>(e.physicalMin);
    return static_cast<double>(e.physicalMin) +
           (static_cast<double>(v->integer) - static_cast<double>(e.logicalMin)) * physicalSpan / logicalSpan;
}

}  // extern "C"
