#include <vector>

#include "CFRuntime.h"

struct __CFData : ktrcf::Object {
    static constexpr CFTypeID kTypeID = ktrcf::kTypeIDData;
    __CFData(const UInt8* data, size_t length) : ktrcf::Object(kTypeID), bytes(data, data + length) {}
    bool equals(const ktrcf::Object& other) const override {
        return bytes == static_cast<const __CFData&>(other).bytes;
    }
    CFHashCode hash() const override {
        uint64_t h = 14695981039346656037ull;  // FNV-1a
        for (UInt8 b : bytes) h = (h ^ b) * 1099511628211ull;
        return static_cast<CFHashCode>(h);
    }
    std::string description() const override {
        static const char kDigits[] = "0123456789abcdef";
        std::string text = "<";
        for (UInt8 b : bytes) {
            text += kDigits[b >> 4];
            text += kDigits[b & 0xF];
        }
        return text + ">";
    }

    const std::vector<UInt8> bytes;
};

CFTypeID CFDataGetTypeID(void) { return ktrcf::kTypeIDData; }

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8* bytes, CFIndex length) {
    if (length < 0 || (!bytes && length > 0)) return nullptr;
    return new __CFData(bytes, static_cast<size_t>(length));
}

CFIndex CFDataGetLength(CFDataRef theData) {
    const __CFData* d = ktrcf::cast<__CFData>(theData);
    return d ? static_cast<CFIndex>(d->bytes.size()) : 0;
}

const UInt8* CFDataGetBytePtr(CFDataRef theData) {
    const __CFData* d = ktrcf::cast<__CFData>(theData);
    return d ? d->bytes.data() : nullptr;
}
