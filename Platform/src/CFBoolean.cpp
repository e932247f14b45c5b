#include "CFRuntime.h"

// Only the two constants exist, so identity is equality.
struct __CFBoolean : ktrcf::Object {
    static constexpr CFTypeID kTypeID = ktrcf::kTypeIDBoolean;
    explicit __CFBoolean(bool value) : ktrcf::Object(kTypeID), value(value) { makeImmortal(); }
    CFHashCode hash() const override { return value ? 1 : 0; }
    std::string description() const override { return value ? "true" : "false"; }

    const bool value;
};

// Allocated and never freed, so they outlive every static that may still refer to them at exit.
const CFBooleanRef kCFBooleanTrue = new __CFBoolean(true);
const CFBooleanRef kCFBooleanFalse = new __CFBoolean(false);

CFTypeID CFBooleanGetTypeID(void) { return ktrcf::kTypeIDBoolean; }

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
    const __CFBoolean* b = ktrcf::cast<__CFBoolean>(boolean);
    return b && b->value;
}
