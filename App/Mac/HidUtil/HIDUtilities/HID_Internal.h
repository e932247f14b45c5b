// Pieces shared by the library's sources; they are not in its interface.
#pragma once

#include "HID_Utilities.h"

namespace hu_internal {

// A property read as a 32-bit number: false when it is missing or not a number; otherwise its
// 32 bits, and whether the number fitted them.
inline bool numberProperty32(CFTypeRef property, SInt32* outValue, Boolean* outFitted) {
    if (!property || CFGetTypeID(property) != CFNumberGetTypeID()) return false;
    *outValue = 0;
    *outFitted = CFNumberGetValue(static_cast<CFNumberRef>(property), kCFNumberSInt32Type, outValue);
    return true;
}

// Holds a device's elements in the shared element slot for one operation, and empties the
// slot again however the operation ends.
class ElementSlot {
public:
    explicit ElementSlot(IOHIDDeviceRef device) {
        gElementCFArrayRef = IOHIDDeviceCopyMatchingElements(device, nullptr, kIOHIDOptionsTypeNone);
    }
    ~ElementSlot() {
        if (gElementCFArrayRef) CFRelease(gElementCFArrayRef);
        gElementCFArrayRef = nullptr;
    }
    ElementSlot(const ElementSlot&) = delete;
    ElementSlot& operator=(const ElementSlot&) = delete;

    bool empty() const { return !gElementCFArrayRef; }
    CFIndex count() const { return gElementCFArrayRef ? CFArrayGetCount(gElementCFArrayRef) : 0; }
    IOHIDElementRef at(CFIndex index) const {
        return static_cast<IOHIDElementRef>(const_cast<void*>(CFArrayGetValueAtIndex(gElementCFArrayRef, index)));
    }
};

}  // namespace hu_internal
