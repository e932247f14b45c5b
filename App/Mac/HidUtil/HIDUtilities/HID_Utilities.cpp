#include "HID_Utilities.h"

#include <cstdint>
#include <cstdio>

#include "HID_Internal.h"
#include "HID_Name_Lookup.h"

IOHIDManagerRef gIOHIDManagerRef = nullptr;
CFMutableArrayRef gDeviceCFArrayRef = nullptr;
CFIndex gDeviceIndex = 0;
CFArrayRef gElementCFArrayRef = nullptr;

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

Boolean HIDUpdateDeviceList(const UInt32* inUsagePages, const UInt32* inUsages, int inNumDeviceTypes) {
    return HIDBuildMultiDeviceList(inUsagePages, inUsages, inNumDeviceTypes);
}

Boolean HIDHaveDeviceList(void) { return gDeviceCFArrayRef != nullptr; }

UInt32 HIDCountDevices(void) { return gDeviceCFArrayRef ? static_cast<UInt32>(CFArrayGetCount(gDeviceCFArrayRef)) : 0; }

namespace {

bool typeSelected(IOHIDElementType type, UInt32 mask) {
    switch (type) {
        case kIOHIDElementTypeInput_Misc:
        case kIOHIDElementTypeInput_Button:
        case kIOHIDElementTypeInput_Axis:
        case kIOHIDElementTypeInput_ScanCodes:
            return mask & kHIDElementTypeInput;
        case kIOHIDElementTypeOutput:
            return mask & kHIDElementTypeOutput;
        case kIOHIDElementTypeFeature:
            return mask & kHIDElementTypeFeature;
        case kIOHIDElementTypeCollection:
            return mask & kHIDElementTypeCollection;
        default:
            return false;
    }
}

using hu_internal::ElementSlot;

bool selected(IOHIDElementRef element, UInt32 mask) {
    return element && typeSelected(IOHIDElementGetType(element), mask);
}

}  // namespace

UInt32 HIDCountDeviceElements(IOHIDDeviceRef inIOHIDDeviceRef, UInt32 inTypeMask) {
    if (!inIOHIDDeviceRef) return 0;
    HU_CHECK(IOHIDDeviceGetTypeID() == CFGetTypeID(inIOHIDDeviceRef));
    ElementSlot elements(inIOHIDDeviceRef);
    UInt32 count = 0;
    for (CFIndex i = 0; i < elements.count(); ++i)
        if (selected(elements.at(i), inTypeMask)) ++count;
    return count;
}

IOHIDElementRef HIDGetFirstDeviceElement(IOHIDDeviceRef inIOHIDDeviceRef, UInt32 inTypeMask) {
    if (!inIOHIDDeviceRef) return nullptr;
    HU_CHECK(IOHIDDeviceGetTypeID() == CFGetTypeID(inIOHIDDeviceRef));
    ElementSlot elements(inIOHIDDeviceRef);
    for (CFIndex i = 0; i < elements.count(); ++i)
        if (selected(elements.at(i), inTypeMask)) return elements.at(i);
    return nullptr;
}

IOHIDElementRef HIDGetNextDeviceElement(IOHIDElementRef inIOHIDElementRef, UInt32 inTypeMask) {
    if (!inIOHIDElementRef) return nullptr;
    HU_CHECK(IOHIDElementGetTypeID() == CFGetTypeID(inIOHIDElementRef));
    IOHIDDeviceRef device = IOHIDElementGetDevice(inIOHIDElementRef);
    if (!device) return nullptr;
    ElementSlot elements(device);
    bool found = false;
    for (CFIndex i = 0; i < elements.count(); ++i) {
        IOHIDElementRef element = elements.at(i);
        if (!found) {
            found = element == inIOHIDElementRef;
        } else if (selected(element, inTypeMask)) {
            return element;
        }
    }
    return nullptr;
}

namespace {

// The dumps' text buffers: a text that does not fit is left out rather than cut.
constexpr CFIndex kDumpTextSize = 256;

// Clears the buffer first, so that it holds a C string whatever the conversion did; only
// texts are converted, since a device may publish anything under these keys.
bool toUTF8(CFTypeRef text, char (&buffer)[kDumpTextSize]) {
    buffer[0] = '\0';
    if (!text || CFGetTypeID(text) != CFStringGetTypeID()) return false;
    const bool converted =
        CFStringGetCString(static_cast<CFStringRef>(text), buffer, kDumpTextSize, kCFStringEncodingUTF8);
    buffer[kDumpTextSize - 1] = '\0';
    if (!converted) buffer[0] = '\0';
    return converted;
}

void printUsageName(long usagePage, long usage, char (&buffer)[kDumpTextSize]) {
    CFStringRef name = HIDCopyUsageName(usagePage, usage);
    if (!name) return;
    toUTF8(name, buffer);
    std::printf("\"%s\", ", buffer);
    CFRelease(name);
}

}  // namespace

void HIDDumpDeviceInfo(IOHIDDeviceRef inIOHIDDeviceRef) {
    if (!inIOHIDDeviceRef) return;
    HU_CHECK(IOHIDDeviceGetTypeID() == CFGetTypeID(inIOHIDDeviceRef));
    std::printf("Device: %p = { ", static_cast<void*>(inIOHIDDeviceRef));

    char manufacturer[kDumpTextSize];
    char product[kDumpTextSize];
    toUTF8(IOHIDDevice_GetManufacturer(inIOHIDDeviceRef), manufacturer);
    toUTF8(IOHIDDevice_GetProduct(inIOHIDDeviceRef), product);
    std::printf("%s - %s, ", manufacturer, product);

    if (const long vendorID = IOHIDDevice_GetVendorID(inIOHIDDeviceRef))
        std::printf("\tvendorID:\t0x%04lX, ", vendorID);
    if (const long productID = IOHIDDevice_GetProductID(inIOHIDDeviceRef))
        std::printf("\tproductID:\t0x%04lX, ", productID);

    uint32_t usagePage = IOHIDDevice_GetUsagePage(inIOHIDDeviceRef);
    uint32_t usage = IOHIDDevice_GetUsage(inIOHIDDeviceRef);
    if (!usagePage || !usage) {
        usagePage = IOHIDDevice_GetPrimaryUsagePage(inIOHIDDeviceRef);
        usage = IOHIDDevice_GetPrimaryUsage(inIOHIDDeviceRef);
    }
    std::printf("usage: 0x%04lX:0x%04lX, ", static_cast<unsigned long>(usagePage), static_cast<unsigned long>(usage));

    char text[kDumpTextSize];
    printUsageName(static_cast<long>(usagePage), static_cast<long>(usage), text);
    if (toUTF8(IOHIDDevice_GetTransport(inIOHIDDeviceRef), text)) std::printf("Transport: \"%s\", ", text);
    if (const long source = IOHIDDevice_GetVendorIDSource(inIOHIDDeviceRef))
        std::printf("VendorIDSource: %ld, ", source);
    if (const long version = IOHIDDevice_GetVersionNumber(inIOHIDDeviceRef)) std::printf("version: %ld, ", version);
    if (toUTF8(IOHIDDevice_GetSerialNumber(inIOHIDDeviceRef), text)) std::printf("SerialNumber: \"%s\", ", text);
    if (const long country = IOHIDDevice_GetCountryCode(inIOHIDDeviceRef)) std::printf("CountryCode: %ld, ", country);
    if (const long location = IOHIDDevice_GetLocationID(inIOHIDDeviceRef))
        std::printf("locationID: 0x%08lX, ", location);
    if (const long size = IOHIDDevice_GetMaxInputReportSize(inIOHIDDeviceRef))
        std::printf("MaxInputReportSize: %ld, ", size);
    if (const long size = IOHIDDevice_GetMaxOutputReportSize(inIOHIDDeviceRef))
        std::printf("MaxOutputReportSize: %ld, ", size);
    if (const long size = IOHIDDevice_GetMaxFeatureReportSize(inIOHIDDeviceRef))
        std::printf("MaxFeatureReportSize: %ld, ", size);
    if (const long interval = IOHIDDevice_GetReportInterval(inIOHIDDeviceRef))
        std::printf("ReportInterval: %ld, ", interval);
    if (IOHIDQueueRef queue = IOHIDDevice_GetQueue(inIOHIDDeviceRef))
        std::printf("queue: %p, ", static_cast<void*>(queue));
    if (IOHIDTransactionRef transaction = IOHIDDevice_GetTransaction(inIOHIDDeviceRef))
        std::printf("transaction: %p, ", static_cast<void*>(transaction));
    std::printf("}\n");
    std::fflush(stdout);
}

namespace {

const char* collectionTypeName(IOHIDElementCollectionType type) {
    switch (type) {
        case kIOHIDElementCollectionTypePhysical:
            return "Physical";
        case kIOHIDElementCollectionTypeApplication:
            return "Application";
        case kIOHIDElementCollectionTypeLogical:
            return "Logical";
        case kIOHIDElementCollectionTypeReport:
            return "Report";
        case kIOHIDElementCollectionTypeNamedArray:
            return "Named Array";
        case kIOHIDElementCollectionTypeUsageSwitch:
            return "Usage Switch";
        case kIOHIDElementCollectionTypeUsageModifier:
            return "Usage Modifier";
        default:
            return nullptr;
    }
}

void printElementType(IOHIDElementRef element) {
    const IOHIDElementType type = IOHIDElementGetType(element);
    switch (type) {
        case kIOHIDElementTypeInput_Misc:
            std::printf("type: Misc, ");
            return;
        case kIOHIDElementTypeInput_Button:
            std::printf("type: Button, ");
            return;
        case kIOHIDElementTypeInput_Axis:
            std::printf("type: Axis, ");
            return;
        case kIOHIDElementTypeInput_ScanCodes:
            std::printf("type: ScanCodes, ");
            return;
        case kIOHIDElementTypeOutput:
            std::printf("type: Output, ");
            return;
        case kIOHIDElementTypeFeature:
            std::printf("type: Feature, ");
            return;
        case kIOHIDElementTypeCollection: {
            const IOHIDElementCollectionType collection = IOHIDElementGetCollectionType(element);
            if (const char* name = collectionTypeName(collection)) {
                std::printf("type: %s Collection, ", name);
            } else {
                std::printf("type: %p Collection, ", reinterpret_cast<void*>(static_cast<uintptr_t>(collection)));
            }
            return;
        }
        default:
            std::printf("type: %p, ", reinterpret_cast<void*>(static_cast<uintptr_t>(type)));
            return;
    }
}

}  // namespace

void HIDDumpElementInfo(IOHIDElementRef inIOHIDElementRef) {
    if (!inIOHIDElementRef) return;
    HU_CHECK(IOHIDElementGetTypeID() == CFGetTypeID(inIOHIDElementRef));
    std::printf("    Element: %p = { ", static_cast<void*>(inIOHIDElementRef));
    std::printf("parent: %p, ", static_cast<void*>(IOHIDElementGetParent(inIOHIDElementRef)));
    std::printf("cookie: %d, ", static_cast<int>(IOHIDElementGetCookie(inIOHIDElementRef)));
    printElementType(inIOHIDElementRef);

    const uint32_t usagePage = IOHIDElementGetUsagePage(inIOHIDElementRef);
    const uint32_t usage = IOHIDElementGetUsage(inIOHIDElementRef);
    std::printf("usage: 0x%04lX:0x%04lX, ", static_cast<unsigned long>(usagePage), static_cast<unsigned long>(usage));
    char text[kDumpTextSize];
    printUsageName(static_cast<long>(usagePage), static_cast<long>(usage), text);
    if (toUTF8(IOHIDElementGetName(inIOHIDElementRef), text)) std::printf("name: %s, ", text);

    std::printf("report: { ID: %lu, Size: %lu, Count: %lu }, ",
                static_cast<unsigned long>(IOHIDElementGetReportID(inIOHIDElementRef)),
                static_cast<unsigned long>(IOHIDElementGetReportSize(inIOHIDElementRef)),
                static_cast<unsigned long>(IOHIDElementGetReportCount(inIOHIDElementRef)));
    const uint32_t unit = IOHIDElementGetUnit(inIOHIDElementRef);
    const uint32_t exponent = IOHIDElementGetUnitExponent(inIOHIDElementRef);
    if (unit || exponent)
        std::printf("unit: %lu * 10^%lu, ", static_cast<unsigned long>(unit), static_cast<unsigned long>(exponent));
    const long logicalMin = IOHIDElementGetLogicalMin(inIOHIDElementRef);
    const long logicalMax = IOHIDElementGetLogicalMax(inIOHIDElementRef);
    if (logicalMin != logicalMax) std::printf("logical: {min: %ld, max: %ld}, ", logicalMin, logicalMax);
    const long physicalMin = IOHIDElementGetPhysicalMin(inIOHIDElementRef);
    const long physicalMax = IOHIDElementGetPhysicalMax(inIOHIDElementRef);
    if (physicalMin != physicalMax) std::printf("physical: {min: %ld, max: %ld}, ", physicalMin, physicalMax);

    if (IOHIDElementIsVirtual(inIOHIDElementRef)) std::printf("isVirtual, ");
    if (IOHIDElementIsRelative(inIOHIDElementRef)) std::printf("isRelative, ");
    if (IOHIDElementIsWrapping(inIOHIDElementRef)) std::printf("isWrapping, ");
    if (IOHIDElementIsArray(inIOHIDElementRef)) std::printf("isArray, ");
    if (IOHIDElementIsNonLinear(inIOHIDElementRef)) std::printf("isNonLinear, ");
    if (IOHIDElementHasPreferredState(inIOHIDElementRef)) std::printf("hasPreferredState, ");
    if (IOHIDElementHasNullState(inIOHIDElementRef)) std::printf("hasNullState, ");
    std::printf(" }\n");
}

void HIDDumpElementCalibrationInfo(IOHIDElementRef inIOHIDElementRef) {
    if (!inIOHIDElementRef) return;
    HU_CHECK(IOHIDElementGetTypeID() == CFGetTypeID(inIOHIDElementRef));
    std::printf("    Element: %p = { ", static_cast<void*>(inIOHIDElementRef));
    // Separate statements: the minimum is read (and filled in) before the maximum.
    long minimum = IOHIDElement_GetCalibrationMin(inIOHIDElementRef);
    long maximum = IOHIDElement_GetCalibrationMax(inIOHIDElementRef);
    std::printf("cal: {min: %ld, max: %ld}, ", minimum, maximum);
    minimum = IOHIDElement_GetCalibrationSaturationMin(inIOHIDElementRef);
    maximum = IOHIDElement_GetCalibrationSaturationMax(inIOHIDElementRef);
    std::printf("sat: {min: %ld, max: %ld}, ", minimum, maximum);
    minimum = IOHIDElement_GetCalibrationDeadZoneMin(inIOHIDElementRef);
    maximum = IOHIDElement_GetCalibrationDeadZoneMax(inIOHIDElementRef);
    std::printf("dead: {min: %ld, max: %ld}, ", minimum, maximum);
    std::printf("granularity: %6.2f }\n", IOHIDElement_GetCalibrationGranularity(inIOHIDElementRef));
}
