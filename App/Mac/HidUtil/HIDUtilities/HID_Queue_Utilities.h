// One event queue per HID device for the values of its elements, polled with HIDGetEvent.
// Not thread-safe: walking elements and devices uses the library's shared working state.
#pragma once

#include <IOKit/hid/IOHIDLib.h>

// kIOReturnBadArgument for a null device or element, kIOReturnError when no queue
// could be made; the queue is created on first use with room for 50 values.
IOReturn HIDQueueElement(IOHIDDeviceRef inIOHIDDeviceRef, IOHIDElementRef inIOHIDElementRef);
// Queues every input, output and feature element of the device.
IOReturn HIDQueueDevice(IOHIDDeviceRef inIOHIDDeviceRef);

// The queue is disposed once it holds none of the device's input, output and feature
// elements; kIOReturnError when the device has no queue.
IOReturn HIDDequeueElement(IOHIDDeviceRef inIOHIDDeviceRef, IOHIDElementRef inIOHIDElementRef);
IOReturn HIDDequeueDevice(IOHIDDeviceRef inIOHIDDeviceRef);

// Dequeues every device of the device list; the result is the last device's, 0 for no devices.
IOReturn HIDReleaseAllDeviceQueues(void);

// Takes the oldest queued value without waiting; the caller releases it. False with
// null stored when the queue is empty; false and nothing taken for a null value pointer.
Boolean HIDGetEvent(IOHIDDeviceRef inIOHIDDeviceRef, IOHIDValueRef* pIOHIDValueRef);
