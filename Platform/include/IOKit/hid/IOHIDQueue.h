// Queues of element values: while a queue runs, each new value of one of its elements is
// appended; a full queue drops its oldest value to make room.
#pragma once

#include <IOKit/hid/IOHIDBase.h>

#ifdef __cplusplus
extern "C" {
#endif

CFTypeID IOHIDQueueGetTypeID(void);
// A new, stopped, empty queue holding at most depth values; null for a depth below 1 or no device.
// Options are not used.
IOHIDQueueRef IOHIDQueueCreate(CFAllocatorRef allocator, IOHIDDeviceRef device, CFIndex depth, IOOptionBits options);
// Not retained for the caller.
IOHIDDeviceRef IOHIDQueueGetDevice(IOHIDQueueRef queue);
CFIndex IOHIDQueueGetDepth(IOHIDQueueRef queue);
// Elements of other devices are not added.
void IOHIDQueueAddElement(IOHIDQueueRef queue, IOHIDElementRef element);
// Values of the element already queued stay queued.
void IOHIDQueueRemoveElement(IOHIDQueueRef queue, IOHIDElementRef element);
Boolean IOHIDQueueContainsElement(IOHIDQueueRef queue, IOHIDElementRef element);
void IOHIDQueueStart(IOHIDQueueRef queue);
// Values queued before the stop can still be taken.
void IOHIDQueueStop(IOHIDQueueRef queue);
// The oldest queued value, which the caller releases, or null when none came within the timeout
// (0: do not wait).
IOHIDValueRef IOHIDQueueCopyNextValueWithTimeout(IOHIDQueueRef queue, CFTimeInterval timeout);
IOHIDValueRef IOHIDQueueCopyNextValue(IOHIDQueueRef queue);

#ifdef __cplusplus
}
#endif
