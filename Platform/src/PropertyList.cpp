#include "PropertyList.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "CFRuntime.h"

namespace ktrcf {

namespace {

// libplist parses nested containers by recursion, so a document of deeply nested arrays can
// exhaust the stack. Every array or dictionary tag counts here, wherever it stands; that bounds
// the depth whatever the parser makes of comments and the like.
constexpr size_t kMaxContainerTags = 10000;

size_t countContainerTags(const char* bytes, size_t length) {
    size_t count = 0;
    for (const char* p = bytes; (p = static_cast<const char*>(std::memchr(p, '<', length - (p - bytes)))) != nullptr;
         ++p) {
        const size_t left = length - (p - bytes);
        if ((left >= 6 && std::memcmp(p, "<array", 6) == 0) || (left >= 5 && std::memcmp(p, "<dict", 5) == 0)) ++count;
        if (p + 1 == bytes + length) break;
    }
    return count;
}

CFStringRef leafString(const char* text, const PlistConversion& conversion) {
    const size_t length = text ? std::strlen(text) : 0;
    if (conversion.mutability == kCFPropertyListMutableContainersAndLeaves)
        return new __CFString(repairUtf8(text ? text : "", length), true);
    return makeString(std::string(text ? text : "", length));
}

}  // namespace

CFPropertyListRef propertyListFromPlist(plist_t node, PlistConversion& conversion, int depth) {
    if (node == nullptr) return nullptr;
    if (depth > kMaxPropertyListDepth) {
        conversion.tooDeep = true;
        return nullptr;
    }
    const bool mutableContainers = conversion.mutability != kCFPropertyListImmutable;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return CFRetain(value ? kCFBooleanTrue : kCFBooleanFalse);
        }
        case PLIST_UINT: {
            // libplist keeps negative integers as their two's complement.
            uint64_t bits = 0;
            plist_get_uint_val(node, &bits);
            const auto value = static_cast<SInt64>(bits);
            return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &value);
        }
        case PLIST_STRING: {
            char* text = nullptr;
            plist_get_string_val(node, &text);
            CFStringRef value = leafString(text, conversion);
            std::free(text);
            return value;
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            uint64_t length = 0;
            plist_get_data_val(node, &bytes, &length);
            CFDataRef value = CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(bytes),
                                           bytes != nullptr ? static_cast<CFIndex>(length) : 0);
            std::free(bytes);
            return value;
        }
        case PLIST_ARRAY: {
            std::vector<CFTypeRef> items;
            const uint32_t count = plist_array_get_size(node);
            for (uint32_t i = 0; i < count; ++i) {
                CFTypeRef item = propertyListFromPlist(plist_array_get_item(node, i), conversion, depth + 1);
                if (item != nullptr) items.push_back(item);
            }
            CFArrayRef array;
            if (mutableContainers) {
                CFMutableArrayRef m = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
                for (CFTypeRef item : items) CFArrayAppendValue(m, item);
                array = m;
            } else {
                array = CFArrayCreate(kCFAllocatorDefault, items.data(), static_cast<CFIndex>(items.size()),
                                      &kCFTypeArrayCallBacks);
            }
            for (CFTypeRef item : items) CFRelease(item);
            return array;
        }
        case PLIST_DICT: {
            std::vector<const void*> keys, values;
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(node, &iter);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, iter, &key, &item);
                if (item == nullptr) {
                    std::free(key);
                    break;
                }
                CFTypeRef value = propertyListFromPlist(item, conversion, depth + 1);
                if (key != nullptr && value != nullptr) {
                    keys.push_back(makeString(key));
                    values.push_back(value);
                } else if (value != nullptr) {
                    CFRelease(value);
                }
                std::free(key);
            }
            std::free(iter);
            CFDictionaryRef dict;
            if (mutableContainers) {
                CFMutableDictionaryRef m = CFDictionaryCreateMutable(
                    kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
                for (size_t i = 0; i < keys.size(); ++i) CFDictionarySetValue(m, keys[i], values[i]);
                dict = m;
            } else {
                // A key given twice keeps its last value, as with the mutable form.
                dict = CFDictionaryCreate(kCFAllocatorDefault, keys.data(), values.data(),
                                          static_cast<CFIndex>(keys.size()), &kCFTypeDictionaryKeyCallBacks,
                                          &kCFTypeDictionaryValueCallBacks);
            }
            for (const void* k : keys) CFRelease(k);
            for (const void* v : values) CFRelease(v);
            return dict;
        }
        default:
            conversion.unsupported = true;
            return nullptr;
    }
}

plist_t plistFromPropertyList(CFPropertyListRef value, int depth) {
    if (value == nullptr || depth > kMaxPropertyListDepth) return nullptr;
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFStringGetTypeID()) return plist_new_string(stdString(static_cast<CFStringRef>(value)).c_str());
    if (type == CFBooleanGetTypeID()) return plist_new_bool(CFBooleanGetValue(static_cast<CFBooleanRef>(value)));
    if (type == CFNumberGetTypeID()) {
        const auto number = static_cast<CFNumberRef>(value);
        if (CFNumberIsFloatType(number)) {
            double real = 0;
            CFNumberGetValue(number, kCFNumberFloat64Type, &real);
            return plist_new_real(real);
        }
        SInt64 integer = 0;
        CFNumberGetValue(number, kCFNumberSInt64Type, &integer);
        return plist_new_uint(static_cast<uint64_t>(integer));
    }
    if (type == CFDataGetTypeID()) {
        const auto data = static_cast<CFDataRef>(value);
        return plist_new_data(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                              static_cast<uint64_t>(CFDataGetLength(data)));
    }
    if (type == CFArrayGetTypeID()) {
        const auto array = static_cast<CFArrayRef>(value);
        plist_t node = plist_new_array();
        for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
            plist_t item = plistFromPropertyList(CFArrayGetValueAtIndex(array, i), depth + 1);
            if (item != nullptr) plist_array_append_item(node, item);
        }
        return node;
    }
    if (type == CFDictionaryGetTypeID()) {
        const auto dict = static_cast<CFDictionaryRef>(value);
        const CFIndex count = CFDictionaryGetCount(dict);
        std::vector<const void*> keys(static_cast<size_t>(count)), values(static_cast<size_t>(count));
        CFDictionaryGetKeysAndValues(dict, keys.data(), values.data());
        plist_t node = plist_new_dict();
        for (CFIndex i = 0; i < count; ++i) {
            if (!isa(keys[i], kTypeIDString)) continue;
            plist_t item = plistFromPropertyList(values[i], depth + 1);
            if (item != nullptr) plist_dict_set_item(node, stdString(static_cast<CFStringRef>(keys[i])).c_str(), item);
        }
        return node;
    }
    return nullptr;
}

CFPropertyListRef parseXmlPropertyList(const char* bytes, size_t length, CFPropertyListMutabilityOptions mutability,
                                       std::string* error) {
    auto fail = [error](const char* reason) -> CFPropertyListRef {
        if (error) *error = reason;
        return nullptr;
    };
    if (bytes == nullptr || length == 0) return fail("no data");
    if (length > UINT32_MAX) return fail("too large");
    // No XML document holds a NUL; libplist would take one into a string and then stop the
    // process on an assertion when the string is read.
    if (std::memchr(bytes, '\0', length) != nullptr) return fail("NUL byte in the data");
    if (countContainerTags(bytes, length) > kMaxContainerTags) return fail("too many arrays and dictionaries");
    plist_t root = nullptr;
    plist_from_xml(bytes, static_cast<uint32_t>(length), &root);
    if (root == nullptr) return fail("not a well-formed XML property list");
    PlistConversion conversion;
    conversion.mutability = mutability;
    CFPropertyListRef result = propertyListFromPlist(root, conversion);
    plist_free(root);
    if (conversion.tooDeep) {
        if (result != nullptr) CFRelease(result);
        return fail("nested too deeply");
    }
    return result != nullptr ? result : fail("no supported value");
}

}  // namespace ktrcf
