#include "HID_Queue_Utilities.h"

#include <cstdio>

#include "HID_Error_Handler.h"
#include "HID_Utilities.h"

namespace {

const CFIndex kQueueDepth = 50;

// Queues carry values of the elements a caller can read or write, not of collections.
const UInt32 kQueuedElementTypes = kHIDElementTypeIO;

template <typename Visit>
void forEachQueueableElement(IOHIDDeviceRef device, Visit visit) {
    for (IOHIDElementRef element = HIDGetFirstDeviceElement(device, kQueuedElementTypes); element;
         element = HIDGetNextDeviceElement(element, kQueuedElementTypes)) {
        if (!visit(element)) return;
    }
}

// Whether a queue now exists is told by asking the device again, not by the result.
IOReturn HIDCreateQueue(IOHIDDeviceRef inIOHIDDeviceRef) {
    HU_CHECK(IOHIDDeviceGetTypeID() == CFGetTypeID(inIOHIDDeviceRef));
    if (IOHIDQueueRef existing = IOHIDDevice_GetQueue(inIOHIDDeviceRef)) {
        HU_CHECK(IOHIDQueueGetTypeID() == CFGetTypeID(existing));
        return kIOReturnSuccess;
    }
    IOHIDQueueRef queue = IOHIDQueueCreate(kCFAllocatorDefault, inIOHIDDeviceRef, kQueueDepth, kIOHIDOptionsTypeNone);
    if (queue)
        IOHIDDevice_SetQueue(inIOHIDDeviceRef, queue);
    else
        HIDReportErrorNum("Failed to create queue via create", 0);
    return kIOReturnSuccess;
}

IOHIDQueueRef queueCreatingIfNeeded(IOHIDDeviceRef device) {
    IOHIDQueueRef queue = IOHIDDevice_GetQueue(device);
    if (queue) return queue;
    HIDCreateQueue(device);
    return IOHIDDevice_GetQueue(device);
}

// Reports what the named operation was handed that it cannot work with.
void reportRefusal(const char* what, const char* operation) {
    char text[96];
    std::snprintf(text, sizeof text, "%s passed to %s.", what, operation);
    HIDReportError(text);
}

// The device's queue for an element operation, made first when `create` is set. Null, with
// the result to return in *outRefused, for a null argument or a queue that is missing; an
// object of another kind stops the process.
IOHIDQueueRef queueForElement(IOHIDDeviceRef inIOHIDDeviceRef, IOHIDElementRef inIOHIDElementRef, const char* operation,
                              bool create, IOReturn* outRefused) {
    *outRefused = kIOReturnBadArgument;
    if (!inIOHIDDeviceRef) {
        reportRefusal("NULL device", operation);
        return nullptr;
    }
    HU_CHECK(IOHIDDeviceGetTypeID() == CFGetTypeID(inIOHIDDeviceRef));
    if (!inIOHIDElementRef) {
        reportRefusal("NULL element", operation);
        return nullptr;
    }
    HU_CHECK(IOHIDElementGetTypeID() == CFGetTypeID(inIOHIDElementRef));

    IOHIDQueueRef queue = create ? queueCreatingIfNeeded(inIOHIDDeviceRef) : IOHIDDevice_GetQueue(inIOHIDDeviceRef);
    if (!queue) {
        reportRefusal("No queue for device", operation);
        *outRefused = kIOReturnError;
    }
    return queue;
}

// Elements queued on their own that the device walk never visits (collections) do not count.
Boolean HIDIsDeviceQueueEmpty(IOHIDDeviceRef inIOHIDDeviceRef) {
    IOHIDQueueRef queue = IOHIDDevice_GetQueue(inIOHIDDeviceRef);
    bool empty = true;
    forEachQueueableElement(inIOHIDDeviceRef, [&](IOHIDElementRef element) {
        if (IOHIDQueueContainsElement(queue, element)) empty = false;
        return empty;
    });
    return empty;
}

// The device forgets the queue first, so that the next queueing call makes a new one.
IOReturn HIDDisposeReleaseQueue(IOHIDDeviceRef inIOHIDDeviceRef) {
    IOHIDQueueRef queue = IOHIDDevice_GetQueue(inIOHIDDeviceRef);
    if (!queue) return kIOReturnSuccess;
    IOHIDDevice_SetQueue(inIOHIDDeviceRef, nullptr);
    IOHIDQueueStop(queue);
    CFRelease(queue);
    return kIOReturnSuccess;
}

}  // namespace

IOReturn HIDQueueElement(IOHIDDeviceRef inIOHIDDeviceRef, IOHIDElementRef inIOHIDElementRef) {
    IOReturn refused = kIOReturnSuccess;
    IOHIDQueueRef queue = queueForElement(inIOHIDDeviceRef, inIOHIDElementRef, "HIDQueueElement", true, &refused);
    if (!queue) return refused;
    IOHIDQueueStop(queue);
    if (!IOHIDQueueContainsElement(queue, inIOHIDElementRef)) IOHIDQueueAddElement(queue, inIOHIDElementRef);
    IOHIDQueueStart(queue);
    return kIOReturnSuccess;
}

IOReturn HIDQueueDevice(IOHIDDeviceRef inIOHIDDeviceRef) {
    if (!inIOHIDDeviceRef) {
        HIDReportError("Device does not exist, cannot queue device.");
        return kIOReturnBadArgument;
    }
    IOHIDQueueRef queue = queueCreatingIfNeeded(inIOHIDDeviceRef);
    if (!queue) {
        HIDReportErrorNum("Could not queue device due to problem creating queue.", 0);
        return kIOReturnError;
    }
    IOHIDQueueStop(queue);
    forEachQueueableElement(inIOHIDDeviceRef, [queue](IOHIDElementRef element) {
        if (!IOHIDQueueContainsElement(queue, element)) IOHIDQueueAddElement(queue, element);
        return true;
    });
    IOHIDQueueStart(queue);
    return kIOReturnSuccess;
}

IOReturn HIDDequeueElement(IOHIDDeviceRef inIOHIDDeviceRef, IOHIDElementRef inIOHIDElementRef) {
    IOReturn refused = kIOReturnSuccess;
    IOHIDQueueRef queue = queueForElement(inIOHIDDeviceRef, inIOHIDElementRef, "HIDDequeueElement", false, &refused);
    if (!queue) return refused;
    IOHIDQueueStop(queue);
    if (IOHIDQueueContainsElement(queue, inIOHIDElementRef)) IOHIDQueueRemoveElement(queue, inIOHIDElementRef);
    if (HIDIsDeviceQueueEmpty(inIOHIDDeviceRef))
        HIDDisposeReleaseQueue(inIOHIDDeviceRef);
    else
        IOHIDQueueStart(queue);
    return kIOReturnSuccess;
}

IOReturn HIDDequeueDevice(IOHIDDeviceRef inIOHIDDeviceRef) {
    if (!inIOHIDDeviceRef) {
        HIDReportError("NULL device passed to HIDDequeueDevice.");
        return kIOReturnBadArgument;
    }
    IOHIDQueueRef queue = IOHIDDevice_GetQueue(inIOHIDDeviceRef);
    if (!queue) {
        HIDReportError("No queue for device passed to HIDDequeueDevice.");
        return kIOReturnError;
    }
    // Left running: the queue goes right after.
    forEachQueueableElement(inIOHIDDeviceRef, [queue](IOHIDElementRef element) {
        if (IOHIDQueueContainsElement(queue, element)) IOHIDQueueRemoveElement(queue, element);
        return true;
    });
    HIDDisposeReleaseQueue(inIOHIDDeviceRef);
    return kIOReturnSuccess;
}

IOReturn HIDReleaseAllDeviceQueues(void) {
    IOReturn result = kIOReturnSuccess;
    for (IOHIDDeviceRef device = HIDGetFirstDevice(); device; device = HIDGetNextDevice(device)) {
        result = HIDDequeueDevice(device);
        if (result != kIOReturnSuccess) HIDReportErrorNum("Could not dequeue device.", result);
    }
    return result;
}

Boolean HIDGetEvent(IOHIDDeviceRef inIOHIDDeviceRef, IOHIDValueRef* pIOHIDValueRef) {
    if (!inIOHIDDeviceRef) {
        HIDReportError("Could not get HID event, device does not exist.");
        return false;
    }
    IOHIDQueueRef queue = IOHIDDevice_GetQueue(inIOHIDDeviceRef);
    if (!queue) {
        HIDReportError("Could not get HID event, hid queue reference does not exist.");
        return false;
    }
    if (!pIOHIDValueRef) return false;
    *pIOHIDValueRef = IOHIDQueueCopyNextValueWithTimeout(queue, 0.0);
    return *pIOHIDValueRef != nullptr;
}
