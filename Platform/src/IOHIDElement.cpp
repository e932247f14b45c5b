#include <cstdio>
#include <ctime>

#include "HIDObjects.h"

namespace {

using ktrplatform::ElementInfo;

bool isElement(IOHIDElementRef element) { return ktrcf::isa(element, ktrcf::kTypeIDHIDElement); }

int64_t numberOf(CFDictionaryRef properties, const char* key) {
    CFStringRef k = ktrcf::makeString(key);
    const void* value = CFDictionaryGetValue(properties, k);
    CFRelease(k);
    SInt64 out = 0;
    if (ktrcf::isa(value, ktrcf::kTypeIDNumber))
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &out);
    if (ktrcf::isa(value, ktrcf::kTypeIDBoolean)) out = CFBooleanGetValue(static_cast<CFBooleanRef>(value));
    return out;
}

uint32_t low32(CFDictionaryRef properties, const char* key) { return static_cast<uint32_t>(numberOf(properties, key)); }

void setNumber(CFMutableDictionaryRef dict, const char* key, int64_t value) {
    ktrcf::setNumber(dict, key, value, /*wrapUnsigned32=*/false);
}

void setFlag(CFMutableDictionaryRef dict, const char* key, bool value) {
    ktrcf::setValue(dict, key, value ? kCFBooleanTrue : kCFBooleanFalse);
}

CFMutableDictionaryRef describe(const ElementInfo& info, IOHIDElementCookie cookie) {
    CFMutableDictionaryRef d = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    setNumber(d, kIOHIDElementCookieKey, cookie);
    setNumber(d, kIOHIDElementTypeKey, info.type);
    if (info.type == kIOHIDElementTypeCollection) setNumber(d, kIOHIDElementCollectionTypeKey, info.collectionType);
    setNumber(d, kIOHIDElementUsagePageKey, info.usagePage);
    setNumber(d, kIOHIDElementUsageKey, info.usage);
    setNumber(d, kIOHIDElementReportIDKey, info.reportID);
    setNumber(d, kIOHIDElementReportSizeKey, info.reportSize);
    setNumber(d, kIOHIDElementReportCountKey, info.reportCount);
    setNumber(d, kIOHIDElementSizeKey, static_cast<int64_t>(info.reportSize) * info.reportCount);
    setNumber(d, kIOHIDElementUnitKey, info.unit);
    setNumber(d, kIOHIDElementUnitExponentKey, info.unitExponent);
    setNumber(d, kIOHIDElementMinKey, info.logicalMin);
    setNumber(d, kIOHIDElementMaxKey, info.logicalMax);
    setNumber(d, kIOHIDElementScaledMinKey, info.physicalMin);
    setNumber(d, kIOHIDElementScaledMaxKey, info.physicalMax);
    setFlag(d, kIOHIDElementVirtualKey, info.isVirtual);
    setFlag(d, kIOHIDElementIsRelativeKey, info.isRelative);
    setFlag(d, kIOHIDElementIsWrappingKey, info.isWrapping);
    setFlag(d, kIOHIDElementIsArrayKey, info.isArray);
    setFlag(d, kIOHIDElementIsNonLinearKey, info.isNonLinear);
    setFlag(d, kIOHIDElementHasPreferredStateKey, info.hasPreferredState);
    setFlag(d, kIOHIDElementHasNullStateKey, info.hasNullState);
    if (!info.name.empty()) ktrcf::setText(d, kIOHIDElementNameKey, info.name);
    return d;
}

void build(IOHIDDeviceRef device, const std::vector<ElementInfo>& infos, IOHIDElementRef parent) {
    for (const ElementInfo& info : infos) {
        const auto position = static_cast<IOHIDElementCookie>(device->elements.size() + 1);
        CFMutableDictionaryRef properties = describe(info, info.cookie != 0 ? info.cookie : position);
        auto* element = new __IOHIDElement(properties, parent);
        CFRelease(properties);
        element->device = device;
        element->value = info.initialValue;
        element->timeStamp = ktrplatform::detail::now();
        device->elements.push_back(element);
        build(device, info.children, element);
    }
}

}  // namespace

namespace ktrplatform {

namespace {

ElementInfo element(IOHIDElementType type, uint32_t usagePage, uint32_t usage) {
    ElementInfo e;
    e.type = type;
    e.usagePage = usagePage;
    e.usage = usage;
    return e;
}

}  // namespace

ElementInfo ElementInfo::button(uint32_t usagePage, uint32_t usage) {
    return element(kIOHIDElementTypeInput_Button, usagePage, usage);
}

ElementInfo ElementInfo::axis(uint32_t usagePage, uint32_t usage, int64_t logicalMin, int64_t logicalMax,
                              int64_t physicalMin, int64_t physicalMax) {
    ElementInfo e = element(kIOHIDElementTypeInput_Misc, usagePage, usage);
    e.reportSize = 8;
    e.logicalMin = logicalMin;
    e.logicalMax = logicalMax;
    e.physicalMin = physicalMin;
    e.physicalMax = physicalMax;
    return e;
}

ElementInfo ElementInfo::output(uint32_t usagePage, uint32_t usage, uint32_t reportSize, uint32_t reportCount) {
    ElementInfo e = element(kIOHIDElementTypeOutput, usagePage, usage);
    e.reportSize = reportSize;
    e.reportCount = reportCount;
    return e;
}

ElementInfo ElementInfo::feature(uint32_t usagePage, uint32_t usage, uint32_t reportSize, uint32_t reportCount) {
    ElementInfo e = output(usagePage, usage, reportSize, reportCount);
    e.type = kIOHIDElementTypeFeature;
    return e;
}

ElementInfo ElementInfo::collection(IOHIDElementCollectionType collectionType, uint32_t usagePage, uint32_t usage,
                                    std::vector<ElementInfo> children) {
    ElementInfo e = element(kIOHIDElementTypeCollection, usagePage, usage);
    e.collectionType = collectionType;
    e.reportSize = 0;
    e.reportCount = 0;
    e.logicalMax = 0;
    e.physicalMax = 0;
    e.hasPreferredState = false;
    e.children = std::move(children);
    return e;
}

namespace detail {

void buildElements(IOHIDDeviceRef device, const std::vector<ElementInfo>& infos) { build(device, infos, nullptr); }

uint64_t now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

}  // namespace detail
}  // namespace ktrplatform

__IOHIDElement::__IOHIDElement(CFDictionaryRef props, IOHIDElementRef p)
    : ktrcf::Object(kTypeID),
      parent(p ? static_cast<IOHIDElementRef>(const_cast<void*>(CFRetain(p))) : nullptr),
      properties(CFDictionaryCreateMutableCopy(kCFAllocatorDefault, 0, props)) {
    // Values beyond what the enumerations can hold would be undefined once converted.
    const int64_t rawType = numberOf(props, kIOHIDElementTypeKey);
    const int64_t rawCollection = numberOf(props, kIOHIDElementCollectionTypeKey);
    type = static_cast<IOHIDElementType>(rawType >= 0 && rawType <= 1023 ? rawType : 0);
    collectionType =
        static_cast<IOHIDElementCollectionType>(rawCollection >= 0 && rawCollection <= 7 ? rawCollection : 0);
    usagePage = low32(props, kIOHIDElementUsagePageKey);
    usage = low32(props, kIOHIDElementUsageKey);
    cookie = low32(props, kIOHIDElementCookieKey);
    reportID = low32(props, kIOHIDElementReportIDKey);
    reportSize = low32(props, kIOHIDElementReportSizeKey);
    reportCount = low32(props, kIOHIDElementReportCountKey);
    unit = low32(props, kIOHIDElementUnitKey);
    unitExponent = low32(props, kIOHIDElementUnitExponentKey);
    logicalMin = numberOf(props, kIOHIDElementMinKey);
    logicalMax = numberOf(props, kIOHIDElementMaxKey);
    physicalMin = numberOf(props, kIOHIDElementScaledMinKey);
    physicalMax = numberOf(props, kIOHIDElementScaledMaxKey);
    isVirtual = numberOf(props, kIOHIDElementVirtualKey) != 0;
    isRelative = numberOf(props, kIOHIDElementIsRelativeKey) != 0;
    isWrapping = numberOf(props, kIOHIDElementIsWrappingKey) != 0;
    isArray = numberOf(props, kIOHIDElementIsArrayKey) != 0;
    isNonLinear = numberOf(props, kIOHIDElementIsNonLinearKey) != 0;
    hasPreferredState = numberOf(props, kIOHIDElementHasPreferredStateKey) != 0;
    hasNullState = numberOf(props, kIOHIDElementHasNullStateKey) != 0;
    const void* n = CFDictionaryGetValue(props, CFSTR(kIOHIDElementNameKey));
    if (ktrcf::isa(n, ktrcf::kTypeIDString)) name = static_cast<CFStringRef>(CFRetain(n));
}

__IOHIDElement::~__IOHIDElement() {
    if (name) CFRelease(name);
    if (parent) CFRelease(parent);
    CFRelease(properties);
}

std::string __IOHIDElement::description() const {
    char text[96];
    std::snprintf(text, sizeof text, "<IOHIDElement cookie %u type %d usage 0x%X:0x%X>", cookie, static_cast<int>(type),
                  usagePage, usage);
    return text;
}

extern "C" {

CFTypeID IOHIDElementGetTypeID(void) { return ktrcf::kTypeIDHIDElement; }

IOHIDElementRef IOHIDElementCreateWithDictionary(CFAllocatorRef, CFDictionaryRef dictionary) {
    if (!ktrcf::isa(dictionary, ktrcf::kTypeIDDictionary)) return nullptr;
    return new __IOHIDElement(dictionary, nullptr);
}

IOHIDDeviceRef IOHIDElementGetDevice(IOHIDElementRef element) {
    return isElement(element) ? element->device.load() : nullptr;
}

IOHIDElementRef IOHIDElementGetParent(IOHIDElementRef element) {
    return isElement(element) ? element->parent : nullptr;
}

#define KTR_ELEMENT_GETTER(result, function, field, fallback) \
    result function(IOHIDElementRef element) { return isElement(element) ? element->field : fallback; }

KTR_ELEMENT_GETTER(IOHIDElementCookie, IOHIDElementGetCookie, cookie, 0)
KTR_ELEMENT_GETTER(IOHIDElementType, IOHIDElementGetType, type, static_cast<IOHIDElementType>(0))
KTR_ELEMENT_GETTER(IOHIDElementCollectionType, IOHIDElementGetCollectionType, collectionType,
                   kIOHIDElementCollectionTypePhysical)
KTR_ELEMENT_GETTER(uint32_t, IOHIDElementGetUsagePage, usagePage, 0)
KTR_ELEMENT_GETTER(uint32_t, IOHIDElementGetUsage, usage, 0)
KTR_ELEMENT_GETTER(Boolean, IOHIDElementIsVirtual, isVirtual, false)
KTR_ELEMENT_GETTER(Boolean, IOHIDElementIsRelative, isRelative, false)
KTR_ELEMENT_GETTER(Boolean, IOHIDElementIsWrapping, isWrapping, false)
KTR_ELEMENT_GETTER(Boolean, IOHIDElementIsArray, isArray, false)
KTR_ELEMENT_GETTER(Boolean, IOHIDElementIsNonLinear, isNonLinear, false)
KTR_ELEMENT_GETTER(Boolean, IOHIDElementHasPreferredState, hasPreferredState, false)
KTR_ELEMENT_GETTER(Boolean, IOHIDElementHasNullState, hasNullState, false)
KTR_ELEMENT_GETTER(CFStringRef, IOHIDElementGetName, name, nullptr)
KTR_ELEMENT_GETTER(uint32_t, IOHIDElementGetReportID, reportID, 0)
KTR_ELEMENT_GETTER(uint32_t, IOHIDElementGetReportSize, reportSize, 0)
KTR_ELEMENT_GETTER(uint32_t, IOHIDElementGetReportCount, reportCount, 0)
KTR_ELEMENT_GETTER(uint32_t, IOHIDElementGetUnit, unit, 0)
KTR_ELEMENT_GETTER(uint32_t, IOHIDElementGetUnitExponent, unitExponent, 0)
KTR_ELEMENT_GETTER(CFIndex, IOHIDElementGetLogicalMin, logicalMin, 0)
KTR_ELEMENT_GETTER(CFIndex, IOHIDElementGetLogicalMax, logicalMax, 0)
KTR_ELEMENT_GETTER(CFIndex, IOHIDElementGetPhysicalMin, physicalMin, 0)
KTR_ELEMENT_GETTER(CFIndex, IOHIDElementGetPhysicalMax, physicalMax, 0)

#undef KTR_ELEMENT_GETTER

CFTypeRef IOHIDElementGetProperty(IOHIDElementRef element, CFStringRef key) {
    if (!isElement(element) || !key) return nullptr;
    std::lock_guard<std::mutex> lock(element->propertyMutex);
    return CFDictionaryGetValue(element->properties, key);
}

Boolean IOHIDElementSetProperty(IOHIDElementRef element, CFStringRef key, CFTypeRef property) {
    if (!isElement(element) || !key || !property) return false;
    std::lock_guard<std::mutex> lock(element->propertyMutex);
    CFDictionarySetValue(element->properties, key, property);
    return true;
}

}  // extern "C"
