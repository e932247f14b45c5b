#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <type_traits>
#include <unordered_map>

#include "CFRuntime.h"

using ktrcf::cast;
using ktrcf::mutableCast;

bool __CFString::equals(const ktrcf::Object& other) const { return text == static_cast<const __CFString&>(other).text; }

CFHashCode __CFString::hash() const {
    uint64_t h = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
    return static_cast<CFHashCode>(h);
}

namespace ktrcf {

size_t utf8SequenceLength(const unsigned char* p, size_t available) {
    if (available == 0) return 0;
    const unsigned char lead = p[0];
    if (lead < 0x80) return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (available < length || p[1] < low || p[1] > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    return length;
}

bool isValidUtf8(const char* bytes, size_t length) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < length;) {
        const size_t n = utf8SequenceLength(p + i, length - i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string repairUtf8(const char* bytes, size_t length) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length;) {
        const size_t n = utf8SequenceLength(p + i, length - i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(bytes + i, n);
            i += n;
        }
    }
    return out;
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace ktrcf

namespace {

// Unicode of the MacRoman bytes 0x80 to 0xFF; the lower half is ASCII.
constexpr uint16_t kMacRomanHigh[128] = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, 0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5,
    0x00E7, 0x00E9, 0x00E8, 0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3, 0x00F2, 0x00F4,
    0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, 0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6,
    0x00DF, 0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8, 0x221E, 0x00B1, 0x2264, 0x2265,
    0x00A5, 0x00B5, 0x2202, 0x2211, 0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8, 0x00BF,
    0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB, 0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5,
    0x0152, 0x0153, 0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA, 0x00FF, 0x0178, 0x2044,
    0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02, 0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1,
    0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4, 0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9,
    0x0131, 0x02C6, 0x02DC, 0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,
};

// Next code point of well-formed UTF-8.
uint32_t nextCodePoint(const std::string& s, size_t& pos) {
    const auto lead = static_cast<unsigned char>(s[pos]);
    const size_t n = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (n == 1 || pos + n > s.size()) {
        ++pos;
        return lead;
    }
    uint32_t cp = lead & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[pos + i]) & 0x3F);
    pos += n;
    return cp;
}

bool isAscii(const std::string& s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

bool decode(const UInt8* bytes, size_t length, CFStringEncoding encoding, std::string& out) {
    const char* chars = reinterpret_cast<const char*>(bytes);
    switch (encoding) {
        case kCFStringEncodingASCII:
            for (size_t i = 0; i < length; ++i)
                if (bytes[i] >= 0x80) return false;
            out.assign(chars, length);
            return true;
        case kCFStringEncodingUTF8:
            if (!ktrcf::isValidUtf8(chars, length)) return false;
            out.assign(chars, length);
            return true;
        case kCFStringEncodingISOLatin1:
            out.clear();
            for (size_t i = 0; i < length; ++i) ktrcf::appendUtf8(out, bytes[i]);
            return true;
        case kCFStringEncodingMacRoman:
            out.clear();
            for (size_t i = 0; i < length; ++i)
                ktrcf::appendUtf8(out, bytes[i] < 0x80 ? bytes[i] : kMacRomanHigh[bytes[i] - 0x80]);
            return true;
        default:
            return false;
    }
}

bool encode(const std::string& text, CFStringEncoding encoding, std::string& out) {
    switch (encoding) {
        case kCFStringEncodingUTF8:
            out = text;
            return true;
        case kCFStringEncodingASCII:
            if (!isAscii(text)) return false;
            out = text;
            return true;
        case kCFStringEncodingISOLatin1:
        case kCFStringEncodingMacRoman:
            out.clear();
            for (size_t pos = 0; pos < text.size();) {
                const uint32_t cp = nextCodePoint(text, pos);
                if (cp < 0x80 || (encoding == kCFStringEncodingISOLatin1 && cp <= 0xFF)) {
                    out += static_cast<char>(cp);
                    continue;
                }
                if (encoding == kCFStringEncodingISOLatin1) return false;
                size_t i = 0;
                while (i < 128 && kMacRomanHigh[i] != cp) ++i;
                if (i == 128) return false;
                out += static_cast<char>(0x80 + i);
            }
            return true;
        default:
            return false;
    }
}

CFStringRef createFromBytes(const UInt8* bytes, size_t length, CFStringEncoding encoding) {
    std::string text;
    if (!decode(bytes, length, encoding, text)) return nullptr;
    return new __CFString(std::move(text), false);
}

// ---- formatting ----

// A padded field wider than this is a malformed format, not a request for megabytes of blanks.
constexpr int kMaxFieldWidth = 1 << 16;

void appendPrintf(std::string& out, const char* spec, ...) {
    va_list args, again;
    va_start(args, spec);
    va_copy(again, args);
    char small[256];
    const int n = std::vsnprintf(small, sizeof small, spec, args);
    va_end(args);
    if (n > 0 && static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
    } else if (n > 0) {
        const size_t old = out.size();
        out.resize(old + static_cast<size_t>(n) + 1);
        std::vsnprintf(&out[old], static_cast<size_t>(n) + 1, spec, again);
        out.resize(old + static_cast<size_t>(n));
    }
    va_end(again);
}

bool isFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

int parseNumber(const std::string& f, size_t& i) {
    long value = 0;
    while (i < f.size() && isDigit(f[i])) {
        value = std::min<long>(value * 10 + (f[i] - '0'), INT_MAX);
        ++i;
    }
    return static_cast<int>(value);
}

std::string formatText(const std::string& f, va_list* ap) {
    std::string out;
    const size_t n = f.size();
    for (size_t i = 0; i < n;) {
        if (f[i] != '%') {
            const size_t next = f.find('%', i);
            const size_t end = next == std::string::npos ? n : next;
            out.append(f, i, end - i);
            i = end;
            continue;
        }
        const size_t start = i++;
        std::string flags;
        while (i < n && isFlag(f[i])) flags += f[i++];
        int width = -1;
        if (i < n && f[i] == '*') {
            ++i;
            const int w = va_arg(*ap, int);
            if (w < 0) flags += '-';
            width = w == INT_MIN ? INT_MAX : (w < 0 ? -w : w);
        } else if (i < n && isDigit(f[i])) {
            width = parseNumber(f, i);
        }
        int precision = -1;
        if (i < n && f[i] == '.') {
            ++i;
            if (i < n && f[i] == '*') {
                ++i;
                const int p = va_arg(*ap, int);
                precision = p < 0 ? -1 : p;
            } else {
                precision = parseNumber(f, i);
            }
        }
        std::string length;
        if (i < n && (f[i] == 'h' || f[i] == 'l')) {
            length += f[i++];
            if (i < n && f[i] == length[0]) length += f[i++];
        } else if (i < n && (f[i] == 'z' || f[i] == 'j' || f[i] == 't' || f[i] == 'L')) {
            length += f[i++];
        }
        if (i >= n) {  // cut short: keep the text as written
            out.append(f, start, n - start);
            break;
        }
        const char conversion = f[i++];

        std::string spec = "%" + flags;
        if (width >= 0) spec += std::to_string(std::min(width, kMaxFieldWidth));
        // A string's precision only limits what is read, so it is not bounded like a numeric one.
        if (precision >= 0)
            spec += "." + std::to_string(conversion == 's' ? precision : std::min(precision, kMaxFieldWidth));
        const bool plain = length.empty();
        const bool wide = length == "l";
        const std::string integerLength = length == "L" ? "ll" : length;

        switch (conversion) {
            case '%':
                out += '%';
                continue;
            case '@':
                if (!plain) break;
                {
                    const void* value = va_arg(*ap, const void*);
                    out += value ? ktrcf::object(value)->description() : std::string("(null)");
                }
                continue;
            case 'd':
            case 'i':
                spec += integerLength + conversion;
                if (plain || length == "h" || length == "hh")
                    appendPrintf(out, spec.c_str(), va_arg(*ap, int));
                else if (length == "l")
                    appendPrintf(out, spec.c_str(), va_arg(*ap, long));
                else if (length == "ll" || length == "L")
                    appendPrintf(out, spec.c_str(), va_arg(*ap, long long));
                else if (length == "z")
                    appendPrintf(out, spec.c_str(), va_arg(*ap, std::make_signed_t<size_t>));
                else if (length == "j")
                    appendPrintf(out, spec.c_str(), va_arg(*ap, intmax_t));
                else
                    appendPrintf(out, spec.c_str(), va_arg(*ap, ptrdiff_t));
                continue;
            case 'u':
            case 'o':
            case 'x':
            case 'X':
                spec += integerLength + conversion;
                if (plain || length == "h" || length == "hh")
                    appendPrintf(out, spec.c_str(), va_arg(*ap, unsigned int));
                else if (length == "l")
                    appendPrintf(out, spec.c_str(), va_arg(*ap, unsigned long));
                else if (length == "ll" || length == "L")
                    appendPrintf(out, spec.c_str(), va_arg(*ap, unsigned long long));
                else if (length == "z")
                    appendPrintf(out, spec.c_str(), va_arg(*ap, size_t));
                else if (length == "j")
                    appendPrintf(out, spec.c_str(), va_arg(*ap, uintmax_t));
                else
                    appendPrintf(out, spec.c_str(), va_arg(*ap, std::make_unsigned_t<ptrdiff_t>));
                continue;
            case 'f':
            case 'F':
            case 'e':
            case 'E':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                if (plain || wide) {
                    appendPrintf(out, (spec + conversion).c_str(), va_arg(*ap, double));
                    continue;
                }
                if (length == "L") {
                    appendPrintf(out, (spec + "L" + conversion).c_str(), va_arg(*ap, long double));
                    continue;
                }
                break;
            case 'c':
                if (plain) {
                    appendPrintf(out, (spec + "c").c_str(), va_arg(*ap, int));
                    continue;
                }
                if (wide) {
                    appendPrintf(out, (spec + "lc").c_str(), va_arg(*ap, wint_t));
                    continue;
                }
                break;
            case 's':
                if (plain) {
                    const char* s = va_arg(*ap, const char*);
                    appendPrintf(out, (spec + "s").c_str(), s ? s : "(null)");
                    continue;
                }
                if (wide) {
                    const wchar_t* s = va_arg(*ap, const wchar_t*);
                    appendPrintf(out, (spec + "ls").c_str(), s ? s : L"(null)");
                    continue;
                }
                break;
            case 'p':
                if (!plain) break;
                appendPrintf(out, (spec + "p").c_str(), va_arg(*ap, void*));
                continue;
            case 'n':
                // Writing through a pointer from a format is never wanted; the argument is only skipped.
                (void)va_arg(*ap, void*);
                continue;
            default:
                break;
        }
        out.append(f, start, i - start);  // unknown conversion: keep the text as written
    }
    return out;
}

}  // namespace

// ---- creation ----

CFStringRef __CFStringMakeConstantString(const char* cStr) {
    if (!cStr) return nullptr;
    // Never destroyed: constants may still be asked for while other statics are torn down.
    static std::mutex* mutex = new std::mutex;
    static auto* constants = new std::unordered_map<std::string, const __CFString*>;
    std::lock_guard<std::mutex> lock(*mutex);
    auto inserted = constants->try_emplace(cStr, nullptr);
    if (inserted.second) {
        auto* string = new __CFString(ktrcf::repairUtf8(cStr, std::strlen(cStr)), false);
        string->makeImmortal();
        inserted.first->second = string;
    }
    return inserted.first->second;
}

CFTypeID CFStringGetTypeID(void) { return ktrcf::kTypeIDString; }

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding) {
    if (!cStr) return nullptr;
    return createFromBytes(reinterpret_cast<const UInt8*>(cStr), std::strlen(cStr), encoding);
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes, CFStringEncoding encoding,
                                    Boolean isExternalRepresentation) {
    if (numBytes < 0 || (!bytes && numBytes > 0)) return nullptr;
    static const UInt8 empty = 0;
    if (!bytes) bytes = &empty;
    size_t length = static_cast<size_t>(numBytes);
    // An external UTF-8 representation may start with a byte-order mark, which is not part of the text.
    if (isExternalRepresentation && encoding == kCFStringEncodingUTF8 && length >= 3 && bytes[0] == 0xEF &&
        bytes[1] == 0xBB && bytes[2] == 0xBF) {
        bytes += 3;
        length -= 3;
    }
    return createFromBytes(bytes, length, encoding);
}

CFStringRef CFStringCreateCopy(CFAllocatorRef, CFStringRef theString) {
    const __CFString* s = cast<__CFString>(theString);
    if (!s) return nullptr;
    if (!s->isMutable) return static_cast<CFStringRef>(CFRetain(s));
    return new __CFString(s->text, false);
}

CFMutableStringRef CFStringCreateMutable(CFAllocatorRef, CFIndex) { return new __CFString(std::string(), true); }

void CFStringAppend(CFMutableStringRef theString, CFStringRef appendedString) {
    __CFString* target = mutableCast<__CFString>(theString);
    const __CFString* source = cast<__CFString>(appendedString);
    if (!target || !target->isMutable || !source) return;
    if (source == target)
        target->text += std::string(source->text);
    else
        target->text += source->text;
}

void CFStringAppendCString(CFMutableStringRef theString, const char* cStr, CFStringEncoding encoding) {
    __CFString* target = mutableCast<__CFString>(theString);
    if (!target || !target->isMutable || !cStr) return;
    std::string text;
    if (decode(reinterpret_cast<const UInt8*>(cStr), std::strlen(cStr), encoding, text)) target->text += text;
}

CFStringRef CFStringCreateWithFormat(CFAllocatorRef alloc, CFTypeRef formatOptions, CFStringRef format, ...) {
    va_list args;
    va_start(args, format);
    CFStringRef result = CFStringCreateWithFormatAndArguments(alloc, formatOptions, format, args);
    va_end(args);
    return result;
}

CFStringRef CFStringCreateWithFormatAndArguments(CFAllocatorRef, CFTypeRef, CFStringRef format, va_list arguments) {
    const __CFString* f = cast<__CFString>(format);
    if (!f) return nullptr;
    va_list args;
    va_copy(args, arguments);
    std::string text = formatText(f->text, &args);
    va_end(args);
    // %s and %c may have inserted bytes that are not UTF-8.
    return ktrcf::makeString(text);
}

// ---- reading ----

CFIndex CFStringGetLength(CFStringRef theString) {
    const __CFString* s = cast<__CFString>(theString);
    if (!s) return 0;
    CFIndex units = 0;
    for (unsigned char c : s->text)
        if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
    return units;
}

UniChar CFStringGetCharacterAtIndex(CFStringRef theString, CFIndex idx) {
    const __CFString* s = cast<__CFString>(theString);
    if (!s || idx < 0) return 0;
    CFIndex unit = 0;
    for (size_t pos = 0; pos < s->text.size();) {
        const uint32_t cp = nextCodePoint(s->text, pos);
        if (cp < 0x10000) {
            if (unit == idx) return static_cast<UniChar>(cp);
            ++unit;
        } else {
            if (unit == idx) return static_cast<UniChar>(0xD800 + ((cp - 0x10000) >> 10));
            if (unit + 1 == idx) return static_cast<UniChar>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            unit += 2;
        }
    }
    return 0;
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    CFIndex perUnit;
    switch (encoding) {
        case kCFStringEncodingUTF8:
            perUnit = 3;  // a surrogate pair takes 4 bytes for 2 units
            break;
        case kCFStringEncodingASCII:
        case kCFStringEncodingISOLatin1:
        case kCFStringEncodingMacRoman:
            perUnit = 1;
            break;
        default:
            return kCFNotFound;
    }
    if (length < 0 || length > LONG_MAX / perUnit) return kCFNotFound;
    return length * perUnit;
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding) {
    if (!buffer || bufferSize <= 0) return false;
    const __CFString* s = cast<__CFString>(theString);
    std::string bytes;
    if (!s || !encode(s->text, encoding, bytes) || bytes.size() >= static_cast<size_t>(bufferSize)) {
        buffer[0] = '\0';  // callers that ignore the result still see a C string
        return false;
    }
    std::memcpy(buffer, bytes.data(), bytes.size());
    buffer[bytes.size()] = '\0';
    return true;
}

const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding) {
    const __CFString* s = cast<__CFString>(theString);
    if (!s) return nullptr;
    if (encoding == kCFStringEncodingUTF8 || (encoding == kCFStringEncodingASCII && isAscii(s->text)))
        return s->text.c_str();
    return nullptr;
}

CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2, CFOptionFlags compareOptions) {
    const __CFString* a = cast<__CFString>(theString1);
    const __CFString* b = cast<__CFString>(theString2);
    if (!a || !b) return a == b ? kCFCompareEqualTo : (a ? kCFCompareGreaterThan : kCFCompareLessThan);
    const bool fold = (compareOptions & kCFCompareCaseInsensitive) != 0;
    const std::string& x = a->text;
    const std::string& y = b->text;
    const size_t common = std::min(x.size(), y.size());
    for (size_t i = 0; i < common; ++i) {
        // UTF-8 byte order is code point order, so bytes compare as characters do.
        unsigned char c = static_cast<unsigned char>(x[i]);
        unsigned char d = static_cast<unsigned char>(y[i]);
        if (fold) {
            if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + ('a' - 'A'));
            if (d >= 'A' && d <= 'Z') d = static_cast<unsigned char>(d + ('a' - 'A'));
        }
        if (c != d) return c < d ? kCFCompareLessThan : kCFCompareGreaterThan;
    }
    if (x.size() == y.size()) return kCFCompareEqualTo;
    return x.size() < y.size() ? kCFCompareLessThan : kCFCompareGreaterThan;
}

// As on the platform, an empty prefix or suffix is not found.
Boolean CFStringHasPrefix(CFStringRef theString, CFStringRef prefix) {
    const __CFString* s = cast<__CFString>(theString);
    const __CFString* p = cast<__CFString>(prefix);
    if (!s || !p || p->text.empty() || p->text.size() > s->text.size()) return false;
    return s->text.compare(0, p->text.size(), p->text) == 0;
}

Boolean CFStringHasSuffix(CFStringRef theString, CFStringRef suffix) {
    const __CFString* s = cast<__CFString>(theString);
    const __CFString* p = cast<__CFString>(suffix);
    if (!s || !p || p->text.empty() || p->text.size() > s->text.size()) return false;
    return s->text.compare(s->text.size() - p->text.size(), p->text.size(), p->text) == 0;
}
