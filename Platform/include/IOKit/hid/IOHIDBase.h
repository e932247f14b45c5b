// Object references and callback shapes shared by the HID interfaces.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOReturn.h>
#include <IOKit/hid/IOHIDKeys.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct __IOHIDDevice* IOHIDDeviceRef;
typedef struct __IOHIDElement* IOHIDElementRef;
typedef struct __IOHIDValue* IOHIDValueRef;
typedef struct __IOHIDQueue* IOHIDQueueRef;
typedef struct __IOHIDTransaction* IOHIDTransactionRef;

typedef void (*IOHIDCallback)(void* context, IOReturn result, void* sender);
typedef void (*IOHIDReportCallback)(void* context, IOReturn result, void* sender, IOHIDReportType type,
                                    uint32_t reportID, uint8_t* report, CFIndex reportLength);
typedef void (*IOHIDValueCallback)(void* context, IOReturn result, void* sender, IOHIDValueRef value);
typedef void (*IOHIDDeviceCallback)(void* context, IOReturn result, void* sender, IOHIDDeviceRef device);

#ifdef __cplusplus
}
#endif
