#include "HID_Config_Utilities.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "HID_Internal.h"
#include "HID_Utilities.h"

static_assert(sizeof(HIDElementConfigRecord) == 44, "records are exchanged as 44-byte file items");

namespace {

struct CFReleaser {
    void operator()(CFTypeRef object) const {
        if (object) CFRelease(object);
    }
};
template <typename Ref>
using CFHolder = std::unique_ptr<std::remove_pointer_t<Ref>, CFReleaser>;

using hu_internal::ElementSlot;

CFIndex deviceCount() { return gDeviceCFArrayRef ? CFArrayGetCount(gDeviceCFArrayRef) : 0; }

IOHIDDeviceRef deviceAt(CFIndex index) {
    return static_cast<IOHIDDeviceRef>(const_cast<void*>(CFArrayGetValueAtIndex(gDeviceCFArrayRef, index)));
}

const double kClockTicksPerSecond = 1000000.0;

// Written as "not within" so that a time-out that is not a number ends the watch too.
bool timedOut(clock_t start, float timeout) {
    const double elapsed = static_cast<double>(clock() - start) / kClockTicksPerSecond;
    return !(elapsed <= timeout);
}

bool isInput(IOHIDElementType type) {
    return type >= kIOHIDElementTypeInput_Misc && type <= kIOHIDElementTypeInput_ScanCodes;
}

// 0.0 when the element cannot be read.
double calibratedValue(IOHIDDeviceRef device, IOHIDElementRef element) {
    IOHIDValueRef value = nullptr;
    if (IOHIDDeviceGetValue(device, element, &value) != kIOReturnSuccess || !value) return 0.0;
    return IOHIDValueGetScaledValue(value, kIOHIDValueScaleTypeCalibrated);
}

// Toward zero, saturating, 0 for a value that is not a number: a device's scaling must not
// make the conversion undefined.
long truncated(double value) {
    if (std::isnan(value)) return 0;
    if (value >= static_cast<double>(LONG_MAX)) return LONG_MAX;
    if (value <= static_cast<double>(LONG_MIN)) return LONG_MIN;
    return static_cast<long>(value);
}

// Identity values are kept in 32-bit fields, so the device's are compared in 32 bits too.
bool same(SInt32 recorded, long present) { return recorded == static_cast<SInt32>(static_cast<uint32_t>(present)); }

// The device's usage pair, or its primary pair when either half of the plain one is missing.
std::pair<UInt32, UInt32> deviceUsage(IOHIDDeviceRef device) {
    UInt32 page = IOHIDDevice_GetUsagePage(device);
    UInt32 usage = IOHIDDevice_GetUsage(device);
    if (!page || !usage) {
        page = IOHIDDevice_GetPrimaryUsagePage(device);
        usage = IOHIDDevice_GetPrimaryUsage(device);
    }
    return {page, usage};
}

// The element with the recorded cookie, else the first with the recorded usage.
IOHIDElementRef findRecordedElement(IOHIDDeviceRef device, const HIDElementConfigRecord& record) {
    ElementSlot elements(device);
    for (CFIndex i = 0; i < elements.count(); ++i) {
        IOHIDElementRef element = elements.at(i);
        if (element && IOHIDElementGetCookie(element) == record.cookie) return element;
    }
    for (CFIndex i = 0; i < elements.count(); ++i) {
        IOHIDElementRef element = elements.at(i);
        if (element && IOHIDElementGetUsagePage(element) == record.elementUsagePage &&
            IOHIDElementGetUsage(element) == record.elementUsage)
            return element;
    }
    return nullptr;
}

void setOuts(IOHIDDeviceRef* outDevice, IOHIDDeviceRef device, IOHIDElementRef* outElement, IOHIDElementRef element) {
    if (outDevice) *outDevice = device;
    if (outElement) *outElement = element;
}

const char kPrefFormat[] = "d:{v:%ld, p:%ld, l:%ld, p:%d, u:%d}, e:{p:%d, u:%d, c:%d}";
// The same pattern read back; every number is read wide and kept in its 32-bit field.
const char kPrefScanFormat[] = "d:{v:%ld, p:%ld, l:%ld, p:%ld, u:%ld}, e:{p:%ld, u:%ld, c:%ld}";
const size_t kPrefTextSize = 256;

}  // namespace

Boolean HIDConfigureSingleDeviceAction(IOHIDDeviceRef inIOHIDDeviceRef, IOHIDElementRef* outIOHIDElementRef,
                                       float inTimeout) {
    if (!inIOHIDDeviceRef || !outIOHIDElementRef || !HIDHaveDeviceList()) return false;
    HU_CHECK(IOHIDDeviceGetTypeID() == CFGetTypeID(inIOHIDDeviceRef));

    ElementSlot elements(inIOHIDDeviceRef);
    if (elements.empty()) {
        *outIOHIDElementRef = nullptr;
        return false;
    }
    const CFIndex count = elements.count();
    std::vector<long> firstValues(static_cast<size_t>(count), 0);

    IOHIDElementRef moved = nullptr;
    bool firstPass = true;
    const clock_t start = clock();
    do {
        for (CFIndex i = 0; i < count && !moved; ++i) {
            IOHIDElementRef element = elements.at(i);
            if (!element || !isInput(IOHIDElementGetType(element))) continue;
            const long value = truncated(calibratedValue(inIOHIDDeviceRef, element));
            if (firstPass) {
                firstValues[static_cast<size_t>(i)] = value;
                continue;
            }
            const float range = static_cast<float>(static_cast<double>(IOHIDElementGetLogicalMax(element)) -
                                                   static_cast<double>(IOHIDElementGetLogicalMin(element)));
            const long margin = truncated(range * 10 * 0.01);
            // Compared as doubles so that values near the ends of the range cannot overflow.
            const double first = static_cast<double>(firstValues[static_cast<size_t>(i)]);
            if (value > first + margin || value < first - margin) moved = element;
        }
        firstPass = false;
    } while (!moved && !timedOut(start, inTimeout));

    *outIOHIDElementRef = moved;
    return moved != nullptr;
}

Boolean HIDConfigureAction(IOHIDDeviceRef* outIOHIDDeviceRef, IOHIDElementRef* outIOHIDElementRef, float inTimeout) {
    if (!outIOHIDDeviceRef || !outIOHIDElementRef) return false;
    if (!HIDHaveDeviceList() && (!HIDBuildDeviceList(0, 0) || !HIDHaveDeviceList())) return false;

    std::map<std::pair<IOHIDDeviceRef, IOHIDElementRef>, double> firstValues;
    IOHIDDeviceRef movedDevice = nullptr;
    IOHIDElementRef movedElement = nullptr;
    bool firstPass = true;
    const clock_t start = clock();
    do {
        for (CFIndex d = 0; d < deviceCount() && !movedElement; ++d) {
            IOHIDDeviceRef device = deviceAt(d);
            if (!device) continue;
            ElementSlot elements(device);
            for (CFIndex i = 0; i < elements.count() && !movedElement; ++i) {
                IOHIDElementRef element = elements.at(i);
                if (!element || IOHIDElementGetType(element) > kIOHIDElementTypeInput_ScanCodes ||
                    IOHIDElementIsArray(element) || IOHIDElementGetReportCount(element) > 1 ||
                    IOHIDElementGetUsagePage(element) == 15 || IOHIDElementGetUsage(element) == 0xFFFFFFFF)
                    continue;
                const double value = calibratedValue(device, element);
                // An element first seen after the first pass starts its own reference there.
                auto remembered = firstValues.emplace(std::make_pair(device, element), value);
                if (firstPass || remembered.second) continue;

                const double change = std::fabs(remembered.first->second - value) * 100;
                const double range = static_cast<double>(IOHIDElementGetPhysicalMax(element)) -
                                     static_cast<double>(IOHIDElementGetPhysicalMin(element));
                // Over an empty range any change at all counts.
                const bool moved = range == 0 ? change != 0 : change / range >= 10;
                if (moved) {
                    movedDevice = device;
                    movedElement = element;
                }
            }
        }
        firstPass = false;
    } while (!movedElement && !timedOut(start, inTimeout));

    *outIOHIDDeviceRef = movedDevice;
    *outIOHIDElementRef = movedElement;
    return movedElement != nullptr;
}

Boolean HIDSaveElementPref(CFStringRef inKeyCFStringRef, CFStringRef inAppCFStringRef, IOHIDDeviceRef inIOHIDDeviceRef,
                           IOHIDElementRef inIOHIDElementRef) {
    if (!inKeyCFStringRef || !inAppCFStringRef || !inIOHIDDeviceRef || !inIOHIDElementRef) return false;
    HU_CHECK(IOHIDElementGetTypeID() == CFGetTypeID(inIOHIDElementRef));

    const long vendorID = IOHIDDevice_GetVendorID(inIOHIDDeviceRef);
    const long productID = IOHIDDevice_GetProductID(inIOHIDDeviceRef);
    const long locationID = IOHIDDevice_GetLocationID(inIOHIDDeviceRef);
    if (!vendorID || !productID || !locationID) return false;
    const auto usage = deviceUsage(inIOHIDDeviceRef);
    if (!usage.first || !usage.second) return false;

    const UInt32 elementUsagePage = IOHIDElementGetUsagePage(inIOHIDElementRef);
    const UInt32 elementUsage = IOHIDElementGetUsage(inIOHIDElementRef);
    const IOHIDElementCookie cookie = IOHIDElementGetCookie(inIOHIDElementRef);

    CFHolder<CFStringRef> format(CFStringCreateWithCString(kCFAllocatorDefault, kPrefFormat, kCFStringEncodingUTF8));
    CFHolder<CFStringRef> text(CFStringCreateWithFormat(
        kCFAllocatorDefault, nullptr, format.get(), vendorID, productID, locationID, static_cast<int>(usage.first),
        static_cast<int>(usage.second), static_cast<int>(elementUsagePage), static_cast<int>(elementUsage),
        static_cast<int>(cookie)));
    if (!text) return false;
    CFPreferencesSetAppValue(inKeyCFStringRef, text.get(), inAppCFStringRef);
    return true;
}

Boolean HIDRestoreElementPref(CFStringRef inKeyCFStringRef, CFStringRef inAppCFStringRef,
                              IOHIDDeviceRef* outIOHIDDeviceRef, IOHIDElementRef* outIOHIDElementRef) {
    if (!inKeyCFStringRef || !inAppCFStringRef || !outIOHIDDeviceRef || !outIOHIDElementRef) return false;

    CFHolder<CFPropertyListRef> value(CFPreferencesCopyAppValue(inKeyCFStringRef, inAppCFStringRef));
    if (!value) return false;
    if (CFGetTypeID(value.get()) != CFStringGetTypeID()) {
        // Removed so that later restores do not meet it again.
        CFPreferencesSetAppValue(inKeyCFStringRef, nullptr, inAppCFStringRef);
        CFPreferencesAppSynchronize(inAppCFStringRef);
        return false;
    }

    char text[kPrefTextSize];
    if (!CFStringGetCString(static_cast<CFStringRef>(value.get()), text, sizeof text, kCFStringEncodingUTF8))
        return false;

    long numbers[8] = {};
    if (std::sscanf(text, kPrefScanFormat, &numbers[0], &numbers[1], &numbers[2], &numbers[3], &numbers[4], &numbers[5],
                    &numbers[6], &numbers[7]) != 8)
        return false;

    HIDElementConfigRecord record{};
    record.vendorID = static_cast<SInt32>(numbers[0]);
    record.productID = static_cast<SInt32>(numbers[1]);
    record.locID = static_cast<SInt32>(numbers[2]);
    record.usagePage = static_cast<UInt32>(numbers[3]);
    record.usage = static_cast<UInt32>(numbers[4]);
    record.elementUsagePage = static_cast<UInt32>(numbers[5]);
    record.elementUsage = static_cast<UInt32>(numbers[6]);
    record.cookie = static_cast<UInt32>(numbers[7]);
    return HIDFindDeviceAndElement(&record, outIOHIDDeviceRef, outIOHIDElementRef);
}

Boolean HIDFindDeviceAndElement(const HIDElementConfigRecord* inSearchInfo, IOHIDDeviceRef* outFoundDevice,
                                IOHIDElementRef* outFoundElement) {
    if (!inSearchInfo || !outFoundDevice || !outFoundElement) return false;
    const HIDElementConfigRecord& record = *inSearchInfo;
    const bool elementUsageGiven = record.elementUsagePage && record.elementUsage;

    IOHIDDeviceRef bestDevice = nullptr;
    IOHIDElementRef bestElement = nullptr;
    long bestScore = 0;
    for (CFIndex d = 0; d < deviceCount(); ++d) {
        IOHIDDeviceRef device = deviceAt(d);
        if (!device) continue;

        long deviceScore = 1;
        if (record.vendorID && same(record.vendorID, IOHIDDevice_GetVendorID(device))) {
            deviceScore += 10;
            if (record.productID && same(record.productID, IOHIDDevice_GetProductID(device))) deviceScore += 8;
        }
        const auto usage = deviceUsage(device);
        if (record.usagePage && record.usage && usage.first == record.usagePage && usage.second == record.usage)
            deviceScore += 9;
        if (record.locID && same(record.locID, IOHIDDevice_GetLocationID(device))) deviceScore += 5;

        ElementSlot elements(device);
        for (CFIndex i = 0; i < elements.count(); ++i) {
            IOHIDElementRef element = elements.at(i);
            if (!element) continue;
            long score = deviceScore;
            if (elementUsageGiven) {
                if (IOHIDElementGetUsagePage(element) != record.elementUsagePage ||
                    IOHIDElementGetUsage(element) != record.elementUsage) {
                    score = 0;
                } else {
                    score += 5;
                    if (IOHIDElementGetCookie(element) == record.cookie) score += 4;
                }
            }
            if (score > bestScore) {
                bestScore = score;
                bestDevice = device;
                bestElement = element;
            }
        }
    }
    if (!bestElement) return false;
    *outFoundDevice = bestDevice;
    *outFoundElement = bestElement;
    return true;
}

void HIDSetElementConfig(HIDElementConfigRecord* inConfigRecord, IOHIDDeviceRef inIOHIDDeviceRef,
                         IOHIDElementRef inIOHIDElementRef, int inActionID) {
    if (!inConfigRecord) return;
    HIDElementConfigRecord record{};
    record.actionID = inActionID;
    if (inIOHIDDeviceRef && inIOHIDElementRef) {
        HU_CHECK(IOHIDElementGetTypeID() == CFGetTypeID(inIOHIDElementRef));
        record.vendorID = static_cast<SInt32>(IOHIDDevice_GetVendorID(inIOHIDDeviceRef));
        record.productID = static_cast<SInt32>(IOHIDDevice_GetProductID(inIOHIDDeviceRef));
        record.locID = static_cast<SInt32>(IOHIDDevice_GetLocationID(inIOHIDDeviceRef));
        record.usagePage = IOHIDDevice_GetUsagePage(inIOHIDDeviceRef);
        record.usage = IOHIDDevice_GetUsage(inIOHIDDeviceRef);
        record.elementUsagePage = IOHIDElementGetUsagePage(inIOHIDElementRef);
        record.elementUsage = IOHIDElementGetUsage(inIOHIDElementRef);
        record.saturationMin = static_cast<SInt32>(IOHIDElement_GetCalibrationSaturationMin(inIOHIDElementRef));
        record.saturationMax = static_cast<SInt32>(IOHIDElement_GetCalibrationSaturationMax(inIOHIDElementRef));
        record.cookie = IOHIDElementGetCookie(inIOHIDElementRef);
    }
    *inConfigRecord = record;
}

void HIDSaveElementConfig(FILE* inFileRef, IOHIDDeviceRef inIOHIDDeviceRef, IOHIDElementRef inIOHIDElementRef,
                          int inActionID) {
    HIDElementConfigRecord record{};
    HIDSetElementConfig(&record, inIOHIDDeviceRef, inIOHIDElementRef, inActionID);
    if (inFileRef) std::fwrite(&record, sizeof record, 1, inFileRef);
}

int HIDGetElementConfig(HIDElementConfigRecord* inConfigRecord, IOHIDDeviceRef* outIOHIDDeviceRef,
                        IOHIDElementRef* outIOHIDElementRef) {
    if (!inConfigRecord || !outIOHIDDeviceRef || !outIOHIDElementRef) {
        setOuts(outIOHIDDeviceRef, nullptr, outIOHIDElementRef, nullptr);
        return inConfigRecord ? inConfigRecord->actionID : 0;
    }
    const HIDElementConfigRecord& record = *inConfigRecord;
    IOHIDDeviceRef foundDevice = nullptr;
    IOHIDElementRef foundElement = nullptr;

    // Without location, vendor and product the device cannot be told from others like it.
    if (record.locID && record.vendorID && record.productID) {
        for (CFIndex d = 0; d < deviceCount() && !foundDevice; ++d) {
            IOHIDDeviceRef device = deviceAt(d);
            if (device && same(record.locID, IOHIDDevice_GetLocationID(device)) &&
                same(record.vendorID, IOHIDDevice_GetVendorID(device)) &&
                same(record.productID, IOHIDDevice_GetProductID(device)))
                foundDevice = device;
        }
        // Another device of the same kind stands in when the recorded one has moved.
        for (CFIndex d = 0; d < deviceCount() && !foundDevice; ++d) {
            IOHIDDeviceRef device = deviceAt(d);
            if (device && same(record.vendorID, IOHIDDevice_GetVendorID(device)) &&
                same(record.productID, IOHIDDevice_GetProductID(device)))
                foundDevice = device;
        }
        if (foundDevice) foundElement = findRecordedElement(foundDevice, record);
    }

    if (foundElement) {
        IOHIDElement_SetupCalibration(foundElement);
        IOHIDElement_SetCalibrationSaturationMin(foundElement, record.saturationMin);
        IOHIDElement_SetCalibrationSaturationMax(foundElement, record.saturationMax);
    }
    if (foundDevice && foundElement)
        setOuts(outIOHIDDeviceRef, foundDevice, outIOHIDElementRef, foundElement);
    else
        setOuts(outIOHIDDeviceRef, nullptr, outIOHIDElementRef, nullptr);
    return record.actionID;
}

int HIDRestoreElementConfig(FILE* inFileRef, IOHIDDeviceRef* outIOHIDDeviceRef, IOHIDElementRef* outIOHIDElementRef) {
    HIDElementConfigRecord record{};
    // A record cut short must not be used with fields that were never read.
    if (!inFileRef || std::fread(&record, sizeof record, 1, inFileRef) != 1) {
        setOuts(outIOHIDDeviceRef, nullptr, outIOHIDElementRef, nullptr);
        return 0;
    }
    return HIDGetElementConfig(&record, outIOHIDDeviceRef, outIOHIDElementRef);
}
