#include <climits>

#include "CFHashTable.h"

using ktrcf::cast;
using ktrcf::HashTable;
using ktrcf::mutableCast;

namespace {

// String keys are copied so that a caller changing a mutable key afterwards cannot reorder the table.
const void* copyStringKeyRetain(CFAllocatorRef, const void* key) {
    if (ktrcf::isa(key, ktrcf::kTypeIDString))
        return CFStringCreateCopy(kCFAllocatorDefault, static_cast<CFStringRef>(key));
    return CFRetain(key);
}

}  // namespace

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {
    0,
    ktrcf::typeRetainCallBack,
    ktrcf::typeReleaseCallBack,
    ktrcf::typeCopyDescriptionCallBack,
    ktrcf::typeEqualCallBack,
    ktrcf::typeHashCallBack,
};

const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks = {
    0,
    copyStringKeyRetain,
    ktrcf::typeReleaseCallBack,
    ktrcf::typeCopyDescriptionCallBack,
    ktrcf::typeEqualCallBack,
    ktrcf::typeHashCallBack,
};

const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {
    0,
    ktrcf::typeRetainCallBack,
    ktrcf::typeReleaseCallBack,
    ktrcf::typeCopyDescriptionCallBack,
    ktrcf::typeEqualCallBack,
};

struct __CFDictionary : ktrcf::Object {
    static constexpr CFTypeID kTypeID = ktrcf::kTypeIDDictionary;
    __CFDictionary(const CFDictionaryKeyCallBacks* keys, const CFDictionaryValueCallBacks* values, bool isMutable)
        : ktrcf::Object(kTypeID), table(keys, values), isMutable(isMutable) {}

    void set(const void* key, const void* value) {
        const size_t i = table.find(key);
        if (i == HashTable::npos)
            table.insert(key, value);
        else
            table.replaceValue(i, value);
    }

    bool equals(const ktrcf::Object& other) const override {
        const auto& o = static_cast<const __CFDictionary&>(other);
        if (o.table.size() != table.size()) return false;
        for (size_t i = 0; i < table.size(); ++i) {
            const size_t j = o.table.find(table.at(i).key);
            if (j == HashTable::npos || !table.valuesEqual(table.at(i).value, o.table.at(j).value)) return false;
        }
        return true;
    }
    // Must agree with equals for any callbacks, so only the count is used.
    CFHashCode hash() const override { return table.size(); }
    std::string description() const override {
        std::string text = "{\n";
        for (size_t i = 0; i < table.size(); ++i) {
            const HashTable::Entry& e = table.at(i);
            const std::string line = ktrcf::describeValue(table.keyCallBacks().copyDescription, e.key) + " = " +
                                     ktrcf::describeValue(table.valueCallBacks().copyDescription, e.value) + ";";
            text += "    " + ktrcf::indentContinuationLines(line) + "\n";
        }
        return text + "}";
    }

    HashTable table;
    const bool isMutable;
};

namespace {

__CFDictionary* editable(CFMutableDictionaryRef dict) {
    __CFDictionary* d = mutableCast<__CFDictionary>(dict);
    return d && d->isMutable ? d : nullptr;
}

}  // namespace

CFTypeID CFDictionaryGetTypeID(void) { return ktrcf::kTypeIDDictionary; }

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void** keys, const void** values, CFIndex numValues,
                                   const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks) {
    if (numValues < 0 || (numValues > 0 && (!keys || !values))) return nullptr;
    auto* dict = new __CFDictionary(keyCallBacks, valueCallBacks, false);
    for (CFIndex i = 0; i < numValues; ++i) dict->set(keys[i], values[i]);
    return dict;
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks) {
    if (capacity < 0) return nullptr;
    return new __CFDictionary(keyCallBacks, valueCallBacks, true);
}

CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef, CFIndex capacity, CFDictionaryRef theDict) {
    const __CFDictionary* source = cast<__CFDictionary>(theDict);
    if (!source || capacity < 0) return nullptr;
    auto* copy = new __CFDictionary(&source->table.keyCallBacks(), &source->table.valueCallBacks(), true);
    for (size_t i = 0; i < source->table.size(); ++i)
        copy->table.insert(source->table.at(i).key, source->table.at(i).value);
    return copy;
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) {
    const __CFDictionary* d = cast<__CFDictionary>(theDict);
    return d ? static_cast<CFIndex>(d->table.size()) : 0;
}

Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef theDict, const void* key, const void** value) {
    const __CFDictionary* d = cast<__CFDictionary>(theDict);
    const size_t i = d ? d->table.find(key) : HashTable::npos;
    if (i == HashTable::npos) return false;
    if (value) *value = d->table.at(i).value;
    return true;
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key) {
    const void* value = nullptr;
    return CFDictionaryGetValueIfPresent(theDict, key, &value) ? value : nullptr;
}

Boolean CFDictionaryContainsKey(CFDictionaryRef theDict, const void* key) {
    return CFDictionaryGetValueIfPresent(theDict, key, nullptr);
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    if (__CFDictionary* d = editable(theDict)) d->set(key, value);
}

void CFDictionaryAddValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    __CFDictionary* d = editable(theDict);
    if (d && d->table.find(key) == HashTable::npos) d->table.insert(key, value);
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void* key) {
    __CFDictionary* d = editable(theDict);
    const size_t i = d ? d->table.find(key) : HashTable::npos;
    if (i != HashTable::npos) d->table.erase(i);
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys, const void** values) {
    const __CFDictionary* d = cast<__CFDictionary>(theDict);
    if (!d) return;
    for (size_t i = 0; i < d->table.size(); ++i) {
        if (keys) keys[i] = d->table.at(i).key;
        if (values) values[i] = d->table.at(i).value;
    }
}

void CFDictionaryApplyFunction(CFDictionaryRef theDict, CFDictionaryApplierFunction applier, void* context) {
    const __CFDictionary* d = cast<__CFDictionary>(theDict);
    if (!d || !applier) return;
    // The size is checked at every step in case the applier removes entries.
    for (size_t i = 0; i < d->table.size(); ++i) applier(d->table.at(i).key, d->table.at(i).value, context);
}

namespace ktrcf {

void setValue(CFMutableDictionaryRef dict, const char* key, CFTypeRef value) {
    CFStringRef k = makeString(key);
    CFDictionarySetValue(dict, k, value);
    CFRelease(k);
}

void setText(CFMutableDictionaryRef dict, const char* key, const std::string& value) {
    CFStringRef v = makeString(value);
    setValue(dict, key, v);
    CFRelease(v);
}

void setNumber(CFMutableDictionaryRef dict, const char* key, int64_t value, bool wrapUnsigned32) {
    CFNumberRef number;
    if (value >= INT32_MIN && value <= (wrapUnsigned32 ? static_cast<int64_t>(UINT32_MAX) : INT32_MAX)) {
        const int32_t v32 = static_cast<int32_t>(static_cast<uint32_t>(value));
        number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &v32);
    } else {
        number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
    }
    setValue(dict, key, number);
    CFRelease(number);
}

}  // namespace ktrcf
