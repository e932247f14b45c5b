#include "CFRuntime.h"

#include <climits>
#include <cstdio>

namespace ktrcf {

std::string Object::description() const {
    char text[64];
    std::snprintf(text, sizeof text, "<CFType %p [type %lu]>", static_cast<const void*>(this), m_typeID);
    return text;
}

void Object::retain() const {
    if (m_immortal) return;
    // Taking a reference needs no ordering: the caller already holds one.
    m_refs.fetch_add(1, std::memory_order_relaxed);
}

bool Object::release() const {
    if (m_immortal) return false;
    // acq_rel so that every write made under the other references is seen by the deleting thread.
    if (m_refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return false;
    delete this;
    return true;
}

long Object::retainCount() const { return m_immortal ? LONG_MAX : m_refs.load(std::memory_order_relaxed); }

std::string stdString(CFStringRef string) {
    const __CFString* s = cast<__CFString>(string);
    return s ? s->text : std::string();
}

CFStringRef makeString(const std::string& utf8) { return new __CFString(repairUtf8(utf8.data(), utf8.size()), false); }

const void* typeRetainCallBack(CFAllocatorRef, const void* value) { return CFRetain(value); }
void typeReleaseCallBack(CFAllocatorRef, const void* value) { CFRelease(value); }
CFStringRef typeCopyDescriptionCallBack(const void* value) { return CFCopyDescription(value); }
Boolean typeEqualCallBack(const void* value1, const void* value2) { return CFEqual(value1, value2); }
CFHashCode typeHashCallBack(const void* value) { return CFHash(value); }

std::string describeValue(CFStringRef (*copyDescription)(const void*), const void* value) {
    if (copyDescription) {
        CFStringRef text = copyDescription(value);
        if (text) {
            std::string result = stdString(text);
            CFRelease(text);
            return result;
        }
    }
    char address[32];
    std::snprintf(address, sizeof address, "<%p>", value);
    return address;
}

std::string indentContinuationLines(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c;
        if (c == '\n') out += "    ";
    }
    return out;
}

}  // namespace ktrcf

using ktrcf::object;

CFTypeRef CFRetain(CFTypeRef cf) {
    if (cf) object(cf)->retain();
    return cf;
}

void CFRelease(CFTypeRef cf) {
    if (cf) object(cf)->release();
}

CFIndex CFGetRetainCount(CFTypeRef cf) { return cf ? object(cf)->retainCount() : 0; }

CFTypeID CFGetTypeID(CFTypeRef cf) { return cf ? object(cf)->typeID() : 0; }

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
    if (cf1 == cf2) return true;
    if (!cf1 || !cf2) return false;
    const ktrcf::Object& a = *object(cf1);
    const ktrcf::Object& b = *object(cf2);
    return a.typeID() == b.typeID() && a.equals(b);
}

CFHashCode CFHash(CFTypeRef cf) { return cf ? object(cf)->hash() : 0; }

CFStringRef CFCopyDescription(CFTypeRef cf) { return cf ? ktrcf::makeString(object(cf)->description()) : nullptr; }

void CFShow(CFTypeRef obj) {
    std::string text = obj ? object(obj)->description() : std::string("(null)");
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
}
