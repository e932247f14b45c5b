#include "HID_Name_Lookup.h"

#include <cstring>
#include <memory>
#include <type_traits>

CFPropertyListRef gUsageCFPropertyListRef = nullptr;
CFPropertyListRef gCookieCFPropertyListRef = nullptr;
CFPropertyListRef tCFPropertyListRef = nullptr;

namespace {

// Asked when the application's own bundle lacks a list, so the library can carry its own.
#define kLibraryBundleIdentifier "org.ktrq7.hidutilities"

struct CFReleaser {
    void operator()(CFTypeRef object) const {
        if (object) CFRelease(object);
    }
};
template <typename Ref>
using CFHolder = std::unique_ptr<std::remove_pointer_t<Ref>, CFReleaser>;

CFHolder<CFStringRef> makeKey(const char* format, long value) {
    CFHolder<CFStringRef> format_(CFStringCreateWithCString(kCFAllocatorDefault, format, kCFStringEncodingUTF8));
    return CFHolder<CFStringRef>(CFStringCreateWithFormat(kCFAllocatorDefault, nullptr, format_.get(), value));
}

bool isDictionary(CFTypeRef object) { return object && CFGetTypeID(object) == CFDictionaryGetTypeID(); }

// Null unless the container is a dictionary holding the key; the entry is not retained.
CFTypeRef entry(CFTypeRef container, CFStringRef key) {
    if (!isDictionary(container) || !key) return nullptr;
    const void* value = nullptr;
    if (!CFDictionaryGetValueIfPresent(static_cast<CFDictionaryRef>(container), key, &value)) return nullptr;
    return value;
}

// Entries that are not dictionaries end the search like missing ones.
CFDictionaryRef dictionaryEntry(CFTypeRef container, CFStringRef key) {
    CFTypeRef value = entry(container, key);
    return isDictionary(value) ? static_cast<CFDictionaryRef>(value) : nullptr;
}

CFDictionaryRef dictionaryEntry(CFTypeRef container, const char* format, long value) {
    return dictionaryEntry(container, makeKey(format, value).get());
}

// The room the callers are told to provide: twice the UTF-16 length plus one byte.
Boolean hu_CopyNameIntoBuffer(CFTypeRef name, char* outCStrName) {
    if (!name || CFGetTypeID(name) != CFStringGetTypeID()) return false;
    CFStringRef text = static_cast<CFStringRef>(name);
    const CFIndex room = CFStringGetLength(text) * 2 + 1;
    if (CFStringGetCString(text, outCStrName, room, kCFStringEncodingUTF8)) return true;
    outCStrName[0] = '\0';
    return false;
}

// Any property-list object as its text, the way the lists' element names are read.
Boolean hu_CopyDescriptionIntoBuffer(CFTypeRef object, char* outCStrName) {
    CFHolder<CFStringRef> text(CFStringCreateWithFormat(kCFAllocatorDefault, nullptr, CFSTR("%@"), object));
    return hu_CopyNameIntoBuffer(text.get(), outCStrName);
}

CFPropertyListRef hu_LoadFromXMLFile(CFURLRef inURL) {
    CFDataRef rawData = nullptr;
    SInt32 errorCode = 0;
    const Boolean read =
        CFURLCreateDataAndPropertiesFromResource(kCFAllocatorDefault, inURL, &rawData, nullptr, nullptr, &errorCode);
    CFHolder<CFDataRef> data(rawData);
    if (!read || !data) return nullptr;
    return CFPropertyListCreateFromXMLData(kCFAllocatorDefault, data.get(), kCFPropertyListImmutable, nullptr);
}

CFURLRef copyResourceURL(CFBundleRef bundle, CFStringRef name, CFStringRef type) {
    return bundle ? CFBundleCopyResourceURL(bundle, name, type, nullptr) : nullptr;
}

CFPropertyListRef hu_XMLLoad(CFStringRef inResourceName, CFStringRef inResourceType) {
    CFHolder<CFURLRef> url(copyResourceURL(CFBundleGetMainBundle(), inResourceName, inResourceType));
    if (!url)
        url.reset(copyResourceURL(CFBundleGetBundleWithIdentifier(CFSTR(kLibraryBundleIdentifier)), inResourceName,
                                  inResourceType));
    if (!url) {
        if (CFArrayRef bundles = CFBundleGetAllBundles()) {
            const CFIndex count = CFArrayGetCount(bundles);
            for (CFIndex i = 0; i < count && !url; ++i) {
                CFBundleRef bundle = static_cast<CFBundleRef>(const_cast<void*>(CFArrayGetValueAtIndex(bundles, i)));
                url.reset(copyResourceURL(bundle, inResourceName, inResourceType));
            }
        }
    }
    if (!url) return nullptr;
    return hu_LoadFromXMLFile(url.get());
}

// A failed load leaves the cache empty so that the next lookup tries again; a list that
// loaded but is not a dictionary stays and fails every lookup.
CFTypeRef cachedList(CFPropertyListRef& cache, CFStringRef resourceName) {
    if (!cache) cache = hu_XMLLoad(resourceName, CFSTR("plist"));
    return isDictionary(cache) ? cache : nullptr;
}

Boolean hu_XMLSearchForVendorNameByVendorID(long inVendorID, char* outCStrName) {
    CFTypeRef list = cachedList(gUsageCFPropertyListRef, CFSTR("HID_device_usage_strings"));
    CFDictionaryRef vendor = dictionaryEntry(list, "%ld", inVendorID);
    return hu_CopyNameIntoBuffer(entry(vendor, CFSTR("Name")), outCStrName);
}

Boolean hu_XMLSearchForProductNameByVendorProductID(long inVendorID, long inProductID, char* outCStrName) {
    CFTypeRef list = cachedList(gUsageCFPropertyListRef, CFSTR("HID_device_usage_strings"));
    CFDictionaryRef vendor = dictionaryEntry(list, "%ld", inVendorID);
    if (!vendor) return false;
    CFDictionaryRef product = dictionaryEntry(vendor, "%ld", inProductID);
    if (!product) return false;

    // A missing name is shown as its number, so the text still tells vendor and product apart.
    CFHolder<CFStringRef> vendorID(makeKey("%ld", inVendorID));
    CFHolder<CFStringRef> productID(makeKey("%ld", inProductID));
    CFTypeRef vendorName = entry(vendor, CFSTR("Name"));
    CFTypeRef productName = entry(product, CFSTR("Name"));
    CFHolder<CFStringRef> name(CFStringCreateWithFormat(kCFAllocatorDefault, nullptr, CFSTR("%@ %@"),
                                                        vendorName ? vendorName : vendorID.get(),
                                                        productName ? productName : productID.get()));
    return hu_CopyNameIntoBuffer(name.get(), outCStrName);
}

Boolean hu_XMLSearchForElementNameByCookie(int inVendorID, int inProductID, IOHIDElementCookie inCookie,
                                           char* outCStrName) {
    CFTypeRef list = cachedList(gCookieCFPropertyListRef, CFSTR("HID_cookie_strings"));
    CFDictionaryRef vendor = dictionaryEntry(list, "%ld", inVendorID);
    CFDictionaryRef product = dictionaryEntry(vendor, "%ld", inProductID);
    // The cookie's 32 bits are printed as the signed number the list's keys use.
    CFHolder<CFStringRef> key(makeKey("%ld", static_cast<int32_t>(inCookie)));
    CFTypeRef name = entry(product, key.get());
    return name && hu_CopyDescriptionIntoBuffer(name, outCStrName);
}

Boolean hu_XMLSearchForElementNameByUsage(long inVendorID, long inProductID, long inUsagePage, long inUsage,
                                          char* outCStrName) {
    CFTypeRef list = cachedList(gUsageCFPropertyListRef, CFSTR("HID_device_usage_strings"));
    CFDictionaryRef vendor = dictionaryEntry(list, "%ld", inVendorID);
    CFDictionaryRef product = dictionaryEntry(vendor, "%ld", inProductID);
    if (!product) return false;
    CFHolder<CFStringRef> key(
        CFStringCreateWithFormat(kCFAllocatorDefault, nullptr, CFSTR("%ld:%ld"), inUsagePage, inUsage));
    CFTypeRef name = entry(product, key.get());
    return name && hu_CopyDescriptionIntoBuffer(name, outCStrName);
}

}  // namespace

Boolean HIDGetVendorNameFromVendorID(long inVendorID, char* outCStrName) {
    if (!outCStrName) return false;
    outCStrName[0] = '\0';
    return hu_XMLSearchForVendorNameByVendorID(inVendorID, outCStrName);
}

Boolean HIDGetProductNameFromVendorProductID(long inVendorID, long inProductID, char* outCStrName) {
    if (!outCStrName) return false;
    outCStrName[0] = '\0';
    return hu_XMLSearchForProductNameByVendorProductID(inVendorID, inProductID, outCStrName);
}

Boolean HIDGetElementNameFromVendorProductCookie(int inVendorID, int inProductID, IOHIDElementCookie inCookie,
                                                 char* outCStrName) {
    if (!outCStrName) return false;
    outCStrName[0] = '\0';
    return hu_XMLSearchForElementNameByCookie(inVendorID, inProductID, inCookie, outCStrName);
}

Boolean HIDGetElementNameFromVendorProductUsage(long inVendorID, long inProductID, long inUsagePage, long inUsage,
                                                char* outCStrName) {
    if (!outCStrName) return false;
    outCStrName[0] = '\0';
    return hu_XMLSearchForElementNameByUsage(inVendorID, inProductID, inUsagePage, inUsage, outCStrName);
}

void HIDGetTypeName(IOHIDElementType inIOHIDElementType, char* outCStrName) {
    if (!outCStrName) return;
    const char* name = "Unknown Type";
    switch (inIOHIDElementType) {
        case kIOHIDElementTypeInput_Misc:
            name = "Miscellaneous Input";
            break;
        case kIOHIDElementTypeInput_Button:
            name = "Button Input";
            break;
        case kIOHIDElementTypeInput_Axis:
            name = "Axis Input";
            break;
        case kIOHIDElementTypeInput_ScanCodes:
            name = "Scan Code Input";
            break;
        case kIOHIDElementTypeOutput:
            name = "Output";
            break;
        case kIOHIDElementTypeFeature:
            name = "Feature";
            break;
        case kIOHIDElementTypeCollection:
            name = "Collection";
            break;
    }
    std::memcpy(outCStrName, name, std::strlen(name) + 1);
}

CFStringRef HIDCopyUsageName(long inUsagePage, long inUsage) {
    CFTypeRef list = cachedList(tCFPropertyListRef, CFSTR("HID_usage_strings"));
    CFDictionaryRef page = dictionaryEntry(list, "0x%4.4lX", inUsagePage);
    CFTypeRef pageName = entry(page, CFSTR("Name"));
    if (!pageName) return nullptr;
    CFTypeRef usageName = entry(page, makeKey("0x%4.4lX", inUsage).get());
    if (!usageName) return nullptr;
    return CFStringCreateWithFormat(kCFAllocatorDefault, nullptr, CFSTR("%@ %@"), pageName, usageName);
}
