#include <algorithm>
#include <vector>

#include "CFRuntime.h"

using ktrcf::cast;
using ktrcf::mutableCast;

const CFArrayCallBacks kCFTypeArrayCallBacks = {
    0,
    ktrcf::typeRetainCallBack,
    ktrcf::typeReleaseCallBack,
    ktrcf::typeCopyDescriptionCallBack,
    ktrcf::typeEqualCallBack,
};

struct __CFArray : ktrcf::Object {
    static constexpr CFTypeID kTypeID = ktrcf::kTypeIDArray;
    __CFArray(const CFArrayCallBacks* cb, bool isMutable) : ktrcf::Object(kTypeID), isMutable(isMutable) {
        if (cb) callBacks = *cb;
    }
    ~__CFArray() override {
        for (const void* v : values) release(v);
    }

    const void* retain(const void* v) const { return callBacks.retain ? callBacks.retain(nullptr, v) : v; }
    void release(const void* v) const {
        if (callBacks.release) callBacks.release(nullptr, v);
    }
    bool same(const void* a, const void* b) const { return callBacks.equal ? callBacks.equal(a, b) : a == b; }
    CFIndex count() const { return static_cast<CFIndex>(values.size()); }
    bool contains(CFRange r) const {
        return r.location >= 0 && r.length >= 0 && r.location <= count() && r.length <= count() - r.location;
    }

    bool equals(const ktrcf::Object& other) const override {
        const auto& o = static_cast<const __CFArray&>(other);
        if (o.values.size() != values.size()) return false;
        for (size_t i = 0; i < values.size(); ++i)
            if (!same(values[i], o.values[i])) return false;
        return true;
    }
    // Must agree with equals for any callbacks, so only the count is used.
    CFHashCode hash() const override { return values.size(); }
    std::string description() const override {
        std::string text = "(";
        for (size_t i = 0; i < values.size(); ++i) {
            text += i ? ",\n    " : "\n    ";
            text += ktrcf::indentContinuationLines(ktrcf::describeValue(callBacks.copyDescription, values[i]));
        }
        return text + "\n)";
    }

    CFArrayCallBacks callBacks{};
    const bool isMutable;
    std::vector<const void*> values;
};

namespace {

__CFArray* editable(CFMutableArrayRef array) {
    __CFArray* a = mutableCast<__CFArray>(array);
    return a && a->isMutable ? a : nullptr;
}

// Bottom-up merge sort: stable, and safe whatever the comparator answers.
void mergeSort(std::vector<const void*>& v, CFComparatorFunction comparator, void* context) {
    const size_t n = v.size();
    std::vector<const void*> merged(n);
    for (size_t width = 1; width < n; width *= 2) {
        for (size_t lo = 0; lo < n; lo += 2 * width) {
            const size_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
            size_t l = lo, r = mid, out = lo;
            while (l < mid && r < hi) merged[out++] = comparator(v[r], v[l], context) < 0 ? v[r++] : v[l++];
            while (l < mid) merged[out++] = v[l++];
            while (r < hi) merged[out++] = v[r++];
        }
        v.swap(merged);
    }
}

}  // namespace

CFTypeID CFArrayGetTypeID(void) { return ktrcf::kTypeIDArray; }

CFArrayRef CFArrayCreate(CFAllocatorRef, const void** values, CFIndex numValues, const CFArrayCallBacks* callBacks) {
    if (numValues < 0 || (!values && numValues > 0)) return nullptr;
    auto* array = new __CFArray(callBacks, false);
    array->values.reserve(static_cast<size_t>(numValues));
    for (CFIndex i = 0; i < numValues; ++i) array->values.push_back(array->retain(values[i]));
    return array;
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex capacity, const CFArrayCallBacks* callBacks) {
    if (capacity < 0) return nullptr;
    return new __CFArray(callBacks, true);
}

CFIndex CFArrayGetCount(CFArrayRef theArray) {
    const __CFArray* a = cast<__CFArray>(theArray);
    return a ? a->count() : 0;
}

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
    const __CFArray* a = cast<__CFArray>(theArray);
    if (!a || idx < 0 || idx >= a->count()) return nullptr;
    return a->values[static_cast<size_t>(idx)];
}

void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value) {
    if (__CFArray* a = editable(theArray)) a->values.push_back(a->retain(value));
}

void CFArrayInsertValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value) {
    __CFArray* a = editable(theArray);
    if (!a || idx < 0 || idx > a->count()) return;
    a->values.insert(a->values.begin() + idx, a->retain(value));
}

void CFArraySetValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value) {
    __CFArray* a = editable(theArray);
    if (!a || idx < 0 || idx > a->count()) return;
    if (idx == a->count()) {
        a->values.push_back(a->retain(value));
        return;
    }
    // Retain first: the new value may be the one it replaces.
    const void* retained = a->retain(value);
    const void* old = a->values[static_cast<size_t>(idx)];
    a->values[static_cast<size_t>(idx)] = retained;
    a->release(old);
}

void CFArrayRemoveValueAtIndex(CFMutableArrayRef theArray, CFIndex idx) {
    __CFArray* a = editable(theArray);
    if (!a || idx < 0 || idx >= a->count()) return;
    const void* old = a->values[static_cast<size_t>(idx)];
    a->values.erase(a->values.begin() + idx);
    a->release(old);
}

void CFArrayRemoveAllValues(CFMutableArrayRef theArray) {
    __CFArray* a = editable(theArray);
    if (!a) return;
    std::vector<const void*> old;
    old.swap(a->values);
    for (const void* v : old) a->release(v);
}

CFIndex CFArrayGetFirstIndexOfValue(CFArrayRef theArray, CFRange range, const void* value) {
    const __CFArray* a = cast<__CFArray>(theArray);
    if (!a || !a->contains(range)) return kCFNotFound;
    for (CFIndex i = range.location; i < range.location + range.length; ++i)
        if (a->same(a->values[static_cast<size_t>(i)], value)) return i;
    return kCFNotFound;
}

Boolean CFArrayContainsValue(CFArrayRef theArray, CFRange range, const void* value) {
    return CFArrayGetFirstIndexOfValue(theArray, range, value) != kCFNotFound;
}

void CFArrayApplyFunction(CFArrayRef theArray, CFRange range, CFArrayApplierFunction applier, void* context) {
    const __CFArray* a = cast<__CFArray>(theArray);
    if (!a || !applier || !a->contains(range)) return;
    // The count is checked at every step in case the applier shrinks the array.
    for (CFIndex i = range.location; i < range.location + range.length && i < a->count(); ++i)
        applier(a->values[static_cast<size_t>(i)], context);
}

void CFArraySortValues(CFMutableArrayRef theArray, CFRange range, CFComparatorFunction comparator, void* context) {
    __CFArray* a = editable(theArray);
    if (!a || !comparator || !a->contains(range) || range.length < 2) return;
    const size_t size = a->values.size();
    const auto first = a->values.begin() + range.location;
    std::vector<const void*> part(first, first + range.length);
    mergeSort(part, comparator, context);
    // A comparator that resized the array leaves nothing sound to write back.
    if (a->values.size() == size) std::copy(part.begin(), part.end(), a->values.begin() + range.location);
}
