#include "IOHIDDevice_.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "HID_Internal.h"

void hu_CheckFailed(const char* inExpression, const char* inFile, int inLine) {
    std::fprintf(stderr, "%s:%d: Assertion failed: %s\n", inFile, inLine, inExpression);
    std::abort();
}

Boolean HIDIsValidDevice(IOHIDDeviceRef inIOHIDDeviceRef) {
    return inIOHIDDeviceRef && CFGetTypeID(inIOHIDDeviceRef) == IOHIDDeviceGetTypeID();
}

Boolean IOHIDDevice_GetLongProperty(IOHIDDeviceRef inIOHIDDeviceRef, CFStringRef inKey, long* outValue) {
    if (!inIOHIDDeviceRef) return false;
    HU_CHECK(IOHIDDeviceGetTypeID() == CFGetTypeID(inIOHIDDeviceRef));

    SInt32 value;
    Boolean fitted;
    if (!hu_internal::numberProperty32(IOHIDDeviceGetProperty(inIOHIDDeviceRef, inKey), &value, &fitted)) return false;
    // Devices publish these as 32-bit numbers; values with the top bit set are still positive IDs.
    *outValue = static_cast<long>(static_cast<uint32_t>(value));
    return fitted;
}

void IOHIDDevice_SetLongProperty(IOHIDDeviceRef inIOHIDDeviceRef, CFStringRef inKey, long inValue) {
    if (!inIOHIDDeviceRef) return;
    HU_CHECK(IOHIDDeviceGetTypeID() == CFGetTypeID(inIOHIDDeviceRef));
    // All 64 bits, so that references stored this way come back whole.
    const int64_t value = inValue;
    CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
    if (!number) return;
    IOHIDDeviceSetProperty(inIOHIDDeviceRef, inKey, number);
    CFRelease(number);
}

namespace {

// The getters give 0 whenever the property cannot be read.
long longPropertyOrZero(IOHIDDeviceRef device, CFStringRef key) {
    long result = 0;
    IOHIDDevice_GetLongProperty(device, key, &result);
    return result;
}

// The counterpart of IOHIDDevice_SetLongProperty: the whole 64 bits, 0 when unreadable.
int64_t int64PropertyOrZero(IOHIDDeviceRef device, CFStringRef key) {
    if (!device) return 0;
    HU_CHECK(IOHIDDeviceGetTypeID() == CFGetTypeID(device));
    CFTypeRef property = IOHIDDeviceGetProperty(device, key);
    if (!property || CFGetTypeID(property) != CFNumberGetTypeID()) return 0;
    int64_t value = 0;
    if (!CFNumberGetValue(static_cast<CFNumberRef>(property), kCFNumberSInt64Type, &value)) return 0;
    return value;
}

// A null device is refused here rather than handed to the platform.
CFTypeRef objectProperty(IOHIDDeviceRef inIOHIDDeviceRef, CFStringRef key) {
    if (!inIOHIDDeviceRef) return nullptr;
    HU_CHECK(IOHIDDeviceGetTypeID() == CFGetTypeID(inIOHIDDeviceRef));
    return IOHIDDeviceGetProperty(inIOHIDDeviceRef, key);
}

}  // namespace

CFStringRef IOHIDDevice_GetTransport(IOHIDDeviceRef inIOHIDDeviceRef) {
    return static_cast<CFStringRef>(objectProperty(inIOHIDDeviceRef, CFSTR(kIOHIDTransportKey)));
}

CFStringRef IOHIDDevice_GetManufacturer(IOHIDDeviceRef inIOHIDDeviceRef) {
    return static_cast<CFStringRef>(objectProperty(inIOHIDDeviceRef, CFSTR(kIOHIDManufacturerKey)));
}

CFStringRef IOHIDDevice_GetProduct(IOHIDDeviceRef inIOHIDDeviceRef) {
    return static_cast<CFStringRef>(objectProperty(inIOHIDDeviceRef, CFSTR(kIOHIDProductKey)));
}

CFStringRef IOHIDDevice_GetSerialNumber(IOHIDDeviceRef inIOHIDDeviceRef) {
    return static_cast<CFStringRef>(objectProperty(inIOHIDDeviceRef, CFSTR(kIOHIDSerialNumberKey)));
}

CFArrayRef IOHIDDevice_GetUsagePairs(IOHIDDeviceRef inIOHIDDeviceRef) {
    return static_cast<CFArrayRef>(objectProperty(inIOHIDDeviceRef, CFSTR(kIOHIDDeviceUsagePairsKey)));
}

long IOHIDDevice_GetVendorID(IOHIDDeviceRef inIOHIDDeviceRef) {
    return longPropertyOrZero(inIOHIDDeviceRef, CFSTR(kIOHIDVendorIDKey));
}

long IOHIDDevice_GetVendorIDSource(IOHIDDeviceRef inIOHIDDeviceRef) {
    return longPropertyOrZero(inIOHIDDeviceRef, CFSTR(kIOHIDVendorIDSourceKey));
}

long IOHIDDevice_GetProductID(IOHIDDeviceRef inIOHIDDeviceRef) {
    return longPropertyOrZero(inIOHIDDeviceRef, CFSTR(kIOHIDProductIDKey));
}

long IOHIDDevice_GetVersionNumber(IOHIDDeviceRef inIOHIDDeviceRef) {
    return longPropertyOrZero(inIOHIDDeviceRef, CFSTR(kIOHIDVersionNumberKey));
}

long IOHIDDevice_GetCountryCode(IOHIDDeviceRef inIOHIDDeviceRef) {
    return longPropertyOrZero(inIOHIDDeviceRef, CFSTR(kIOHIDCountryCodeKey));
}

long IOHIDDevice_GetLocationID(IOHIDDeviceRef inIOHIDDeviceRef) {
    return longPropertyOrZero(inIOHIDDeviceRef, CFSTR(kIOHIDLocationIDKey));
}

uint32_t IOHIDDevice_GetUsage(IOHIDDeviceRef inIOHIDDeviceRef) {
    return static_cast<uint32_t>(longPropertyOrZero(inIOHIDDeviceRef, CFSTR(kIOHIDDeviceUsageKey)));
}

uint32_t IOHIDDevice_GetUsagePage(IOHIDDeviceRef inIOHIDDeviceRef) {
    return static_cast<uint32_t>(longPropertyOrZero(inIOHIDDeviceRef, CFSTR(kIOHIDDeviceUsagePageKey)));
}

uint32_t IOHIDDevice_GetPrimaryUsage(IOHIDDeviceRef inIOHIDDeviceRef) {
    return static_cast<uint32_t>(longPropertyOrZero(inIOHIDDeviceRef, CFSTR(kIOHIDPrimaryUsageKey)));
}

uint32_t IOHIDDevice_GetPrimaryUsagePage(IOHIDDeviceRef inIOHIDDeviceRef) {
    return static_cast<uint32_t>(longPropertyOrZero(inIOHIDDeviceRef, CFSTR(kIOHIDPrimaryUsagePageKey)));
}

long IOHIDDevice_GetMaxInputReportSize(IOHIDDeviceRef inIOHIDDeviceRef) {
    return longPropertyOrZero(inIOHIDDeviceRef, CFSTR(kIOHIDMaxInputReportSizeKey));
}

long IOHIDDevice_GetMaxOutputReportSize(IOHIDDeviceRef inIOHIDDeviceRef) {
    return longPropertyOrZero(inIOHIDDeviceRef, CFSTR(kIOHIDMaxOutputReportSizeKey));
}

long IOHIDDevice_GetMaxFeatureReportSize(IOHIDDeviceRef inIOHIDDeviceRef) {
    return longPropertyOrZero(inIOHIDDeviceRef, CFSTR(kIOHIDMaxFeatureReportSizeKey));
}

long IOHIDDevice_GetReportInterval(IOHIDDeviceRef inIOHIDDeviceRef) {
    return longPropertyOrZero(inIOHIDDeviceRef, CFSTR(kIOHIDReportIntervalKey));
}

#define HU_QUEUE_KEY "DeviceQueueRef"
#define HU_TRANSACTION_KEY "DeviceTransactionRef"

IOHIDQueueRef IOHIDDevice_GetQueue(IOHIDDeviceRef inIOHIDDeviceRef) {
    IOHIDQueueRef result = reinterpret_cast<IOHIDQueueRef>(
        static_cast<intptr_t>(int64PropertyOrZero(inIOHIDDeviceRef, CFSTR(HU_QUEUE_KEY))));
    if (result) HU_CHECK(IOHIDQueueGetTypeID() == CFGetTypeID(result));
    return result;
}

void IOHIDDevice_SetQueue(IOHIDDeviceRef inIOHIDDeviceRef, IOHIDQueueRef inQueueRef) {
    IOHIDDevice_SetLongProperty(inIOHIDDeviceRef, CFSTR(HU_QUEUE_KEY),
                                static_cast<long>(reinterpret_cast<intptr_t>(inQueueRef)));
}

IOHIDTransactionRef IOHIDDevice_GetTransaction(IOHIDDeviceRef inIOHIDDeviceRef) {
    return reinterpret_cast<IOHIDTransactionRef>(
        static_cast<intptr_t>(int64PropertyOrZero(inIOHIDDeviceRef, CFSTR(HU_TRANSACTION_KEY))));
}

void IOHIDDevice_SetTransaction(IOHIDDeviceRef inIOHIDDeviceRef, IOHIDTransactionRef inTransactionRef) {
    IOHIDDevice_SetLongProperty(inIOHIDDeviceRef, CFSTR(HU_TRANSACTION_KEY),
                                static_cast<long>(reinterpret_cast<intptr_t>(inTransactionRef)));
}
