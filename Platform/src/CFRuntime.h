// Internal object model of the CoreFoundation stand-in. Every CF object is a
// ktrcf::Object reached through single inheritance, so a CFTypeRef and the
// Object* it names share one address.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <string>
#include <utility>

namespace ktrcf {

enum : CFTypeID {
    kTypeIDAllocator = 2,
    kTypeIDString = 7,
    kTypeIDSet = 17,
    kTypeIDDictionary = 18,
    kTypeIDArray = 19,
    kTypeIDData = 20,
    kTypeIDBoolean = 21,
    kTypeIDNumber = 22,
    kTypeIDURL = 29,
    kTypeIDBundle = 31,
    kTypeIDLocale = 42,
    kTypeIDRunLoop = 43,
    kTypeIDHIDManager = 200,
    kTypeIDHIDDevice = 201,
    kTypeIDHIDElement = 202,
    kTypeIDHIDValue = 203,
    kTypeIDHIDQueue = 204,
    kTypeIDHIDTransaction = 205,
};

class Object {
public:
    explicit Object(CFTypeID typeID) : m_typeID(typeID) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    CFTypeID typeID() const { return m_typeID; }
    virtual bool equals(const Object& other) const { return this == &other; }
    virtual CFHashCode hash() const { return reinterpret_cast<CFHashCode>(this); }
    // The text that %@ and CFCopyDescription show.
    virtual std::string description() const;

    void retain() const;
    // Returns true when this was the last reference and the object was deleted.
    bool release() const;
    long retainCount() const;
    // Constants (CFSTR strings, booleans, mode names) live for the whole process.
    void makeImmortal() { m_immortal = true; }

private:
    mutable std::atomic<long> m_refs{1};
    const CFTypeID m_typeID;
    bool m_immortal = false;
};

inline const Object* object(CFTypeRef ref) { return static_cast<const Object*>(ref); }
inline Object* mutableObject(CFTypeRef ref) { return const_cast<Object*>(static_cast<const Object*>(ref)); }
inline bool isa(CFTypeRef ref, CFTypeID typeID) { return ref != nullptr && object(ref)->typeID() == typeID; }

// UTF-8 text of a CFString; empty for null or non-strings.
std::string stdString(CFStringRef string);
// New CFString from UTF-8 bytes (invalid sequences are replaced by U+FFFD).
CFStringRef makeString(const std::string& utf8);

// ---- helpers shared by the CoreFoundation sources ----

// The object behind a reference when it has the type's ID, else null.
template <class T>
const T* cast(CFTypeRef ref) {
    return isa(ref, T::kTypeID) ? static_cast<const T*>(object(ref)) : nullptr;
}
template <class T>
T* mutableCast(CFTypeRef ref) {
    return const_cast<T*>(cast<T>(ref));
}

// Length of the well-formed UTF-8 sequence at p (1 to 4), or 0 when it is malformed or cut short.
size_t utf8SequenceLength(const unsigned char* p, size_t available);
bool isValidUtf8(const char* bytes, size_t length);
// Copies the bytes, replacing each malformed sequence by U+FFFD.
std::string repairUtf8(const char* bytes, size_t length);
void appendUtf8(std::string& out, uint32_t codePoint);

// The standard CF-object callbacks of the collections.
const void* typeRetainCallBack(CFAllocatorRef allocator, const void* value);
void typeReleaseCallBack(CFAllocatorRef allocator, const void* value);
CFStringRef typeCopyDescriptionCallBack(const void* value);
Boolean typeEqualCallBack(const void* value1, const void* value2);
CFHashCode typeHashCallBack(const void* value);

// A collection member's text through its description callback, or its address when there is none.
std::string describeValue(CFStringRef (*copyDescription)(const void*), const void* value);
// Indents every line after the first, so nested collections read as a tree.
std::string indentContinuationLines(const std::string& text);

// Property dictionaries: the value is put under the key made from the UTF-8 text.
void setValue(CFMutableDictionaryRef dict, const char* key, CFTypeRef value);
void setText(CFMutableDictionaryRef dict, const char* key, const std::string& value);
// A number that fits 32 bits goes in as a signed 32-bit one, else as a 64-bit one. With wrapUnsigned32,
// values up to UINT32_MAX fit too and keep their 32 bits, so that readers see the same bits whatever
// sign the value was given with.
void setNumber(CFMutableDictionaryRef dict, const char* key, int64_t value, bool wrapUnsigned32);

}  // namespace ktrcf

// Strings hold well-formed UTF-8; the mutable ones are the same type with the flag set.
struct __CFString : ktrcf::Object {
    static constexpr CFTypeID kTypeID = ktrcf::kTypeIDString;
    __CFString(std::string utf8, bool isMutable)
        : ktrcf::Object(kTypeID), text(std::move(utf8)), isMutable(isMutable) {}
    bool equals(const ktrcf::Object& other) const override;
    CFHashCode hash() const override;
    std::string description() const override { return text; }

    std::string text;
    const bool isMutable;
};
