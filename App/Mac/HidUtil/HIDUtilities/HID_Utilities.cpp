#include "HID_Utilities.h"

#include <cstdio>

IOHIDManagerRef gIOHIDManagerRef = nullptr;
CFMutableArrayRef gDeviceCFArrayRef = nullptr;
CFIndex gDeviceIndex = 0;

// Messages name the reporting function by its C signature, the same on every compiler.
#define HU_APOSTROPHE "\xE2\x80\x99"

namespace {

const char kBuildSignature[] = "Boolean HIDBuildMultiDeviceList(const UInt32 *, const UInt32 *, int)";
const char kMatchingSignature[] = "CFMutableDictionaryRef hu_SetUpMatchingDictionary(UInt32, UInt32)";

}  // namespace

Boolean HIDBuildMultiDeviceList(const UInt32* inUsagePages, const UInt32* inUsages, int inNumDeviceTypes) {
    const bool firstUse = !gIOHIDManagerRef;
    if (firstUse) gIOHIDManagerRef = IOHIDManagerCreate(kCFAllocatorDefault, kIOHIDOptionsTypeNone);
    if (!gIOHIDManagerRef) {
        std::fprintf(stderr, "%s: Couldn" HU_APOSTROPHE "t create a IOHIDManager.", kBuildSignature);
        return false;
    }

    CFMutableArrayRef matching = nullptr;
    if (inUsagePages && inUsages && inNumDeviceTypes) {
        matching = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
        if (!matching) {
            std::fprintf(stderr, "%s: Couldn" HU_APOSTROPHE "t create a matching array.", kBuildSignature);
        } else {
            for (int i = 0; i < inNumDeviceTypes; ++i) {
                CFMutableDictionaryRef dictionary = hu_SetUpMatchingDictionary(inUsagePages[i], inUsages[i]);
                if (!dictionary) {
                    std::fprintf(stderr, "%s: Couldn" HU_APOSTROPHE "t create a matching dictionary.", kBuildSignature);
                    continue;
                }
                CFArrayAppendValue(matching, dictionary);
                CFRelease(dictionary);
            }
        }
    }
    IOHIDManagerSetDeviceMatchingMultiple(gIOHIDManagerRef, matching);
    if (matching) CFRelease(matching);

    // Only the creating call opens; a manager that failed to open stays created and closed.
    if (firstUse && IOHIDManagerOpen(gIOHIDManagerRef, kIOHIDOptionsTypeNone) != kIOReturnSuccess) {
        std::fprintf(stderr, "%s: Couldn" HU_APOSTROPHE "t open IOHIDManager.", kBuildSignature);
        return false;
    }

    HIDRebuildDevices();
    return true;
}

Boolean HIDBuildDeviceList(UInt32 inUsagePage, UInt32 inUsage) {
    return HIDBuildMultiDeviceList(&inUsagePage, &inUsage, 1);
}

CFMutableDictionaryRef hu_SetUpMatchingDictionary(UInt32 inUsagePage, UInt32 inUsage) {
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    if (!dictionary) {
        std::fprintf(stderr, "%s: CFDictionaryCreateMutable failed.", kMatchingSignature);
        return nullptr;
    }
    // A usage means nothing without its page, so it is left out then.
    if (inUsagePage) {
        CFNumberRef page = CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &inUsagePage);
        if (!page) {
            std::fprintf(stderr, "%s: CFNumberCreate( usage page ) failed.", kMatchingSignature);
            return dictionary;
        }
        CFDictionarySetValue(dictionary, CFSTR(kIOHIDPrimaryUsagePageKey), page);
        CFRelease(page);

        if (inUsage) {
            CFNumberRef usage = CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &inUsage);
            if (!usage) {
                std::fprintf(stderr, "%s: CFNumberCreate( usage ) failed.", kMatchingSignature);
            } else {
                CFDictionarySetValue(dictionary, CFSTR(kIOHIDPrimaryUsageKey), usage);
                CFRelease(usage);
            }
        }
    }
    return dictionary;
}

void HIDRebuildDevices(void) {
    if (!gIOHIDManagerRef) return;
    CFSetRef devices = IOHIDManagerCopyDevices(gIOHIDManagerRef);
    if (!devices) return;

    if (gDeviceCFArrayRef) CFRelease(gDeviceCFArrayRef);
    gDeviceCFArrayRef = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
    if (gDeviceCFArrayRef) {
        CFSetApplyFunction(devices, CFSetApplierFunctionCopyToCFArray, gDeviceCFArrayRef);
        CFArraySortValues(gDeviceCFArrayRef, CFRangeMake(0, CFArrayGetCount(gDeviceCFArrayRef)),
                          CFDeviceArrayComparatorFunction, nullptr);
    }
    CFRelease(devices);
}

void HIDReleaseDeviceList(void) {
    if (!gDeviceCFArrayRef) return;
    CFRelease(gDeviceCFArrayRef);
    gDeviceCFArrayRef = nullptr;
}

IOHIDDeviceRef HIDGetFirstDevice(void) {
    gDeviceIndex = 0;
    if (!gDeviceCFArrayRef || CFArrayGetCount(gDeviceCFArrayRef) == 0) return nullptr;
    return static_cast<IOHIDDeviceRef>(const_cast<void*>(CFArrayGetValueAtIndex(gDeviceCFArrayRef, 0)));
}

IOHIDDeviceRef HIDGetNextDevice(IOHIDDeviceRef inIOHIDDeviceRef) {
    if (!gDeviceCFArrayRef || !inIOHIDDeviceRef) return nullptr;
    const CFIndex count = CFArrayGetCount(gDeviceCFArrayRef);
    if (gDeviceIndex < 0 || gDeviceIndex >= count) return nullptr;

    if (CFArrayGetValueAtIndex(gDeviceCFArrayRef, gDeviceIndex) == inIOHIDDeviceRef) {
        ++gDeviceIndex;
    } else {
        gDeviceIndex = -1;
        for (CFIndex i = 0; i < count; ++i) {
            if (CFArrayGetValueAtIndex(gDeviceCFArrayRef, i) == inIOHIDDeviceRef) {
                gDeviceIndex = i + 1;
                break;
            }
        }
    }
    if (gDeviceIndex < 0 || gDeviceIndex >= count) return nullptr;
    return static_cast<IOHIDDeviceRef>(const_cast<void*>(CFArrayGetValueAtIndex(gDeviceCFArrayRef, gDeviceIndex)));
}

void CFSetApplierFunctionCopyToCFArray(const void* value, void* context) {
    CFArrayAppendValue(static_cast<CFMutableArrayRef>(context), value);
}

CFComparisonResult CFDeviceArrayComparatorFunction(const void* val1, const void* val2, void* /*context*/) {
    const long location1 = IOHIDDevice_GetLocationID(static_cast<IOHIDDeviceRef>(const_cast<void*>(val1)));
    const long location2 = IOHIDDevice_GetLocationID(static_cast<IOHIDDeviceRef>(const_cast<void*>(val2)));
    if (location1 < location2) return kCFCompareLessThan;
    if (location1 > location2) return kCFCompareGreaterThan;
    return kCFCompareEqualTo;
}
