// The XML property-list parser on arbitrary bytes: a result or a reason, never both, and a
// result made only of property-list values, whatever mutability is asked for.
#include <CoreFoundation/CoreFoundation.h>

#include <cstddef>
#include <cstdint>

static bool isPropertyList(CFTypeRef value, int depth) {
    if (depth > 100) return false;
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFStringGetTypeID() || type == CFNumberGetTypeID() || type == CFBooleanGetTypeID() ||
        type == CFDataGetTypeID())
        return true;
    if (type == CFArrayGetTypeID()) {
        const auto array = static_cast<CFArrayRef>(value);
        for (CFIndex i = 0; i < CFArrayGetCount(array); ++i)
            if (!isPropertyList(CFArrayGetValueAtIndex(array, i), depth + 1)) return false;
        return true;
    }
    if (type == CFDictionaryGetTypeID()) {
        const auto dict = static_cast<CFDictionaryRef>(value);
        const CFIndex count = CFDictionaryGetCount(dict);
        const void** keys = new const void*[count > 0 ? count : 1];
        const void** values = new const void*[count > 0 ? count : 1];
        CFDictionaryGetKeysAndValues(dict, keys, values);
        bool ok = true;
        for (CFIndex i = 0; i < count && ok; ++i)
            ok = CFGetTypeID(keys[i]) == CFStringGetTypeID() && isPropertyList(values[i], depth + 1);
        delete[] keys;
        delete[] values;
        return ok;
    }
    return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    CFDataRef bytes = CFDataCreate(kCFAllocatorDefault, data, static_cast<CFIndex>(size));
    const CFOptionFlags options[] = {kCFPropertyListImmutable, kCFPropertyListMutableContainers,
                                     kCFPropertyListMutableContainersAndLeaves};
    for (CFOptionFlags option : options) {
        CFStringRef error = nullptr;
        CFPropertyListRef list = CFPropertyListCreateFromXMLData(kCFAllocatorDefault, bytes, option, &error);
        if ((list == nullptr) == (error == nullptr)) __builtin_trap();
        if (list != nullptr) {
            if (!isPropertyList(list, 0)) __builtin_trap();
            CFStringRef description = CFCopyDescription(list);
            CFRelease(description);
            CFRelease(list);
        }
        if (error != nullptr) CFRelease(error);
    }
    CFRelease(bytes);
    return 0;
}
