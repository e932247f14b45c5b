#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "CFRuntime.h"

using ktrcf::cast;

namespace {

bool isFloatType(CFNumberType type) {
    return type == kCFNumberFloat32Type || type == kCFNumberFloat64Type || type == kCFNumberFloatType ||
           type == kCFNumberDoubleType;
}

// Three-way comparisons in which NaN equals NaN and sorts below every other value, so that equality,
// hashing and ordering stay consistent.
int compareDoubles(double x, double y) {
    const bool xNaN = std::isnan(x), yNaN = std::isnan(y);
    if (xNaN || yNaN) return xNaN == yNaN ? 0 : (xNaN ? -1 : 1);
    return x < y ? -1 : (x > y ? 1 : 0);
}

// Exact, unlike converting either side to the other's type.
int compareIntDouble(int64_t i, double d) {
    if (std::isnan(d)) return 1;
    if (d >= 0x1p63) return -1;
    if (d < -0x1p63) return 1;
    const double whole = std::trunc(d);
    const auto wholeInt = static_cast<int64_t>(whole);
    if (i != wholeInt) return i < wholeInt ? -1 : 1;
    const double fraction = d - whole;
    return fraction > 0 ? -1 : (fraction < 0 ? 1 : 0);
}

bool isWholeInt64(double d) { return d >= -0x1p63 && d < 0x1p63 && std::trunc(d) == d; }

template <class T>
T load(const void* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
void storeBytes(void* out, T v) {
    std::memcpy(out, &v, sizeof v);
}

}  // namespace

// Integers are held as int64 and floats as double, which hold every value of the types that can be created.
struct __CFNumber : ktrcf::Object {
    static constexpr CFTypeID kTypeID = ktrcf::kTypeIDNumber;
    __CFNumber(CFNumberType type, int64_t value) : ktrcf::Object(kTypeID), type(type), integer(value) {}
    __CFNumber(CFNumberType type, double value) : ktrcf::Object(kTypeID), type(type), isFloat(true), real(value) {}

    int compare(const __CFNumber& other) const {
        if (!isFloat && !other.isFloat) return integer < other.integer ? -1 : (integer > other.integer ? 1 : 0);
        if (isFloat && other.isFloat) return compareDoubles(real, other.real);
        if (!isFloat) return compareIntDouble(integer, other.real);
        return -compareIntDouble(other.integer, real);
    }
    bool equals(const ktrcf::Object& other) const override {
        return compare(static_cast<const __CFNumber&>(other)) == 0;
    }
    // Equal values hash alike whatever their types: 2 and 2.0 are the same key.
    CFHashCode hash() const override {
        uint64_t bits;
        if (!isFloat) {
            bits = static_cast<uint64_t>(integer);
        } else if (std::isnan(real)) {
            bits = 0x7FF8000000000000ull;
        } else if (isWholeInt64(real)) {
            bits = static_cast<uint64_t>(static_cast<int64_t>(real));
        } else {
            std::memcpy(&bits, &real, sizeof bits);
        }
        bits = (bits ^ (bits >> 30)) * 0xBF58476D1CE4E5B9ull;
        bits = (bits ^ (bits >> 27)) * 0x94D049BB133111EBull;
        return static_cast<CFHashCode>(bits ^ (bits >> 31));
    }
    std::string description() const override {
        if (!isFloat) return std::to_string(integer);
        // The shortest text that reads back as the same value of the number's own precision.
        const bool single = type == kCFNumberFloat32Type || type == kCFNumberFloatType;
        char text[64];
        for (int digits = 1; digits <= 17; ++digits) {
            std::snprintf(text, sizeof text, "%.*g", digits, real);
            const double back = std::strtod(text, nullptr);
            if (single ? static_cast<float>(back) == static_cast<float>(real) : back == real) break;
        }
        return text;
    }

    template <class T>
    bool getInteger(void* out) const {
        constexpr T lowest = std::numeric_limits<T>::min();
        constexpr T highest = std::numeric_limits<T>::max();
        if (!isFloat) {
            storeBytes(out, static_cast<T>(integer));  // keeps the low bits, like a C cast
            return integer >= lowest && integer <= highest;
        }
        // Out-of-range and NaN conversions are undefined in C++, so those clamp.
        if (std::isnan(real)) {
            storeBytes<T>(out, 0);
            return false;
        }
        if (real < static_cast<double>(lowest)) {
            storeBytes(out, lowest);
            return false;
        }
        if (real >= -static_cast<double>(lowest)) {
            storeBytes(out, highest);
            return false;
        }
        const double whole = std::trunc(real);
        storeBytes(out, static_cast<T>(whole));
        return whole == real;
    }

    template <class T>
    bool getFloat(void* out) const {
        if (!isFloat) {
            const T v = static_cast<T>(integer);
            storeBytes(out, v);
            return v >= -0x1p63 && v < 0x1p63 && static_cast<int64_t>(v) == integer;
        }
        if (std::isnan(real)) {
            storeBytes(out, std::numeric_limits<T>::quiet_NaN());
            return true;
        }
        if (std::isfinite(real) && std::fabs(real) > static_cast<double>(std::numeric_limits<T>::max())) {
            storeBytes(out, static_cast<T>(std::copysign(std::numeric_limits<T>::infinity(), real)));
            return false;
        }
        const T v = static_cast<T>(real);
        storeBytes(out, v);
        return static_cast<double>(v) == real;
    }

    const CFNumberType type;
    const bool isFloat = false;
    const int64_t integer = 0;
    const double real = 0;
};

CFTypeID CFNumberGetTypeID(void) { return ktrcf::kTypeIDNumber; }

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void* valuePtr) {
    if (!valuePtr) return nullptr;
    switch (theType) {
        case kCFNumberSInt8Type:
        case kCFNumberCharType:
            return new __CFNumber(theType, static_cast<int64_t>(load<int8_t>(valuePtr)));
        case kCFNumberSInt16Type:
        case kCFNumberShortType:
            return new __CFNumber(theType, static_cast<int64_t>(load<int16_t>(valuePtr)));
        case kCFNumberSInt32Type:
        case kCFNumberIntType:
            return new __CFNumber(theType, static_cast<int64_t>(load<int32_t>(valuePtr)));
        case kCFNumberSInt64Type:
        case kCFNumberLongLongType:
            return new __CFNumber(theType, static_cast<int64_t>(load<int64_t>(valuePtr)));
        case kCFNumberLongType:
            return new __CFNumber(theType, static_cast<int64_t>(load<long>(valuePtr)));
        case kCFNumberCFIndexType:
            return new __CFNumber(theType, static_cast<int64_t>(load<CFIndex>(valuePtr)));
        case kCFNumberFloat32Type:
        case kCFNumberFloatType:
            return new __CFNumber(theType, static_cast<double>(load<float>(valuePtr)));
        case kCFNumberFloat64Type:
        case kCFNumberDoubleType:
            return new __CFNumber(theType, load<double>(valuePtr));
        default:
            return nullptr;
    }
}

CFNumberType CFNumberGetType(CFNumberRef number) {
    const __CFNumber* n = cast<__CFNumber>(number);
    return n ? n->type : 0;
}

Boolean CFNumberIsFloatType(CFNumberRef number) {
    const __CFNumber* n = cast<__CFNumber>(number);
    return n && isFloatType(n->type);
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
    const __CFNumber* n = cast<__CFNumber>(number);
    if (!n || !valuePtr) return false;
    switch (theType) {
        case kCFNumberSInt8Type:
        case kCFNumberCharType:
            return n->getInteger<int8_t>(valuePtr);
        case kCFNumberSInt16Type:
        case kCFNumberShortType:
            return n->getInteger<int16_t>(valuePtr);
        case kCFNumberSInt32Type:
        case kCFNumberIntType:
            return n->getInteger<int32_t>(valuePtr);
        case kCFNumberSInt64Type:
        case kCFNumberLongLongType:
            return n->getInteger<int64_t>(valuePtr);
        case kCFNumberLongType:
            return n->getInteger<long>(valuePtr);
        case kCFNumberCFIndexType:
            return n->getInteger<CFIndex>(valuePtr);
        case kCFNumberFloat32Type:
        case kCFNumberFloatType:
            return n->getFloat<float>(valuePtr);
        case kCFNumberFloat64Type:
        case kCFNumberDoubleType:
            return n->getFloat<double>(valuePtr);
        default:
            return false;
    }
}

CFComparisonResult CFNumberCompare(CFNumberRef number, CFNumberRef otherNumber, void*) {
    const __CFNumber* a = cast<__CFNumber>(number);
    const __CFNumber* b = cast<__CFNumber>(otherNumber);
    if (!a || !b) return a == b ? kCFCompareEqualTo : (a ? kCFCompareGreaterThan : kCFCompareLessThan);
    return static_cast<CFComparisonResult>(a->compare(*b));
}
