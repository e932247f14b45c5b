#include "CFHashTable.h"

using ktrcf::cast;
using ktrcf::HashTable;
using ktrcf::mutableCast;

const CFSetCallBacks kCFTypeSetCallBacks = {
    0,
    ktrcf::typeRetainCallBack,
    ktrcf::typeReleaseCallBack,
    ktrcf::typeCopyDescriptionCallBack,
    ktrcf::typeEqualCallBack,
    ktrcf::typeHashCallBack,
};

namespace {

// A set is a table of keys alone.
CFDictionaryKeyCallBacks keyCallBacks(const CFSetCallBacks* cb) {
    if (!cb) return CFDictionaryKeyCallBacks{};
    return {cb->version, cb->retain, cb->release, cb->copyDescription, cb->equal, cb->hash};
}

}  // namespace

struct __CFSet : ktrcf::Object {
    static constexpr CFTypeID kTypeID = ktrcf::kTypeIDSet;
    __CFSet(const CFSetCallBacks* cb, bool isMutable)
        : ktrcf::Object(kTypeID), keys(keyCallBacks(cb)), table(&keys, nullptr), isMutable(isMutable) {}

    void add(const void* value) {
        if (table.find(value) == HashTable::npos) table.insert(value, nullptr);
    }

    bool equals(const ktrcf::Object& other) const override {
        const auto& o = static_cast<const __CFSet&>(other);
        if (o.table.size() != table.size()) return false;
        for (size_t i = 0; i < table.size(); ++i)
            if (o.table.find(table.at(i).key) == HashTable::npos) return false;
        return true;
    }
    // Must agree with equals for any callbacks, so only the count is used.
    CFHashCode hash() const override { return table.size(); }
    std::string description() const override {
        std::string text = "{(";
        for (size_t i = 0; i < table.size(); ++i) {
            text += i ? ",\n    " : "\n    ";
            text += ktrcf::indentContinuationLines(ktrcf::describeValue(keys.copyDescription, table.at(i).key));
        }
        return text + "\n)}";
    }

    const CFDictionaryKeyCallBacks keys;
    HashTable table;
    const bool isMutable;
};

namespace {

__CFSet* editable(CFMutableSetRef set) {
    __CFSet* s = mutableCast<__CFSet>(set);
    return s && s->isMutable ? s : nullptr;
}

}  // namespace

CFTypeID CFSetGetTypeID(void) { return ktrcf::kTypeIDSet; }

CFSetRef CFSetCreate(CFAllocatorRef, const void** values, CFIndex numValues, const CFSetCallBacks* callBacks) {
    if (numValues < 0 || (!values && numValues > 0)) return nullptr;
    auto* set = new __CFSet(callBacks, false);
    for (CFIndex i = 0; i < numValues; ++i) set->add(values[i]);
    return set;
}

CFMutableSetRef CFSetCreateMutable(CFAllocatorRef, CFIndex capacity, const CFSetCallBacks* callBacks) {
    if (capacity < 0) return nullptr;
    return new __CFSet(callBacks, true);
}

CFIndex CFSetGetCount(CFSetRef theSet) {
    const __CFSet* s = cast<__CFSet>(theSet);
    return s ? static_cast<CFIndex>(s->table.size()) : 0;
}

Boolean CFSetContainsValue(CFSetRef theSet, const void* value) {
    const __CFSet* s = cast<__CFSet>(theSet);
    return s && s->table.find(value) != HashTable::npos;
}

void CFSetAddValue(CFMutableSetRef theSet, const void* value) {
    if (__CFSet* s = editable(theSet)) s->add(value);
}

void CFSetRemoveValue(CFMutableSetRef theSet, const void* value) {
    __CFSet* s = editable(theSet);
    const size_t i = s ? s->table.find(value) : HashTable::npos;
    if (i != HashTable::npos) s->table.erase(i);
}

void CFSetGetValues(CFSetRef theSet, const void** values) {
    const __CFSet* s = cast<__CFSet>(theSet);
    if (!s || !values) return;
    for (size_t i = 0; i < s->table.size(); ++i) values[i] = s->table.at(i).key;
}

void CFSetApplyFunction(CFSetRef theSet, CFSetApplierFunction applier, void* context) {
    const __CFSet* s = cast<__CFSet>(theSet);
    if (!s || !applier) return;
    // The size is checked at every step in case the applier removes values.
    for (size_t i = 0; i < s->table.size(); ++i) applier(s->table.at(i).key, context);
}
