#include "TxtLoader.h"

#include <CoreFoundation/CoreFoundation.h>

#include <cstring>
#include <string>

#include <ktrplatform/LenientUtf8.h>
#include "Binary.h"
#include "Table.h"

namespace {

constexpr int kLineSize = 2048;
constexpr uint32_t kNoLocale = 0xFFFFFFFF;

// Copies the line at `cursor` into `line`, truncated to kLineSize - 1 bytes, and returns where
// the next line starts. CR LF, LF, CR and NUL end a line; so does `end`, which is never read.
const char* takeLine(const char* cursor, const char* end, char* line) {
    int used = 0;
    while (cursor < end && *cursor != '\r' && *cursor != '\n' && *cursor != '\0') {
        if (used < kLineSize - 1) line[used++] = *cursor;
        ++cursor;
    }
    line[used] = '\0';
    if (cursor == end) return end;
    if (*cursor == '\r' && cursor + 1 < end && cursor[1] == '\n') return cursor + 2;
    return cursor + 1;
}

FlgTable markerSection(const char* line) {
    if (std::strstr(line, "FONT_MAC") != nullptr) return FLG_FONT_MAC;
    if (std::strstr(line, "LANG") != nullptr) return FLG_LANG;
    if (std::strstr(line, "STR") != nullptr) return FLG_STR;
    return FLG_NONE;
}

}  // namespace

TxtLoader* TxtLoader::m_pinstance = nullptr;

TxtLoader::TxtLoader() : m_locale(kNoLocale), m_available{} {
    Load(&language_txt_pointer, &language_txt_length, FLG_FONT_MAC, m_font, static_cast<int>(kLocaleCount));
    Load(&language_txt_pointer, &language_txt_length, FLG_LANG, m_lang, static_cast<int>(kLocaleCount));
}

TxtLoader::~TxtLoader() = default;

void TxtLoader::createInstance() {
    if (m_pinstance != nullptr) return;
    m_pinstance = new TxtLoader();
    m_pinstance->setLocale(m_pinstance->chkLocale());
}

TxtLoader* TxtLoader::getInstance() {
    if (m_pinstance == nullptr) createInstance();
    return m_pinstance;
}

void TxtLoader::releaseInstance() {
    delete m_pinstance;
    m_pinstance = nullptr;
}

void TxtLoader::setLocale(unsigned int locale) {
    if (locale >= kLocaleCount || locale == m_locale) return;
    m_locale = locale;
    Load(locale, FLG_STR, m_string, static_cast<int>(kStringCount));
}

bool TxtLoader::isLocale(unsigned int locale) const { return locale < kLocaleCount && m_available[locale]; }

unsigned int TxtLoader::chkLocale() {
    for (bool& available : m_available) available = true;
    unsigned int result = 0;
    char identifier[16] = {};

    CFPropertyListRef value = CFPreferencesCopyAppValue(CFSTR("AppleLanguages"), kCFPreferencesCurrentApplication);
    if (value == nullptr) return result;
    if (CFGetTypeID(value) != CFArrayGetTypeID()) {
        CFRelease(value);
        return result;
    }
    const auto languages = static_cast<CFArrayRef>(value);
    const CFIndex count = CFArrayGetCount(languages);
    bool found = false;
    for (CFIndex i = 0; i < count && !found; ++i) {
        const auto entry = static_cast<CFStringRef>(CFArrayGetValueAtIndex(languages, i));
        if (entry == nullptr || CFGetTypeID(entry) != CFStringGetTypeID()) continue;
        CFStringRef canonical = CFLocaleCreateCanonicalLocaleIdentifierFromString(kCFAllocatorDefault, entry);
        if (canonical == nullptr) continue;
        const bool copied = CFStringGetCString(canonical, identifier, sizeof identifier, kCFStringEncodingASCII);
        CFRelease(canonical);
        if (!copied) continue;
        const juce::String name(identifier);
        for (unsigned int locale = 0; locale < kLocaleCount; ++locale) {
            if (name.startsWithIgnoreCase(plangList[locale].m_code)) {
                result = locale;
                found = true;
                break;
            }
        }
    }
    CFRelease(value);
    return result;
}

const juce::String& TxtLoader::getString(unsigned int index) const {
    return index < kStringCount ? m_string[index] : m_empty;
}

const juce::String& TxtLoader::getFont() const { return getFont(m_locale); }

const juce::String& TxtLoader::getFont(unsigned int locale) const {
    return locale < kLocaleCount ? m_font[locale] : m_empty;
}

const juce::String& TxtLoader::getLang(unsigned int locale) const {
    return locale < kLocaleCount ? m_lang[locale] : m_empty;
}

void TxtLoader::Load(char const** pointer, int const* length, FlgTable table, juce::String* out, int maxCount) {
    if (pointer == nullptr || *pointer == nullptr || length == nullptr || *length < 0) return;
    const char* cursor = *pointer;
    const char* const end = cursor + *length;
    int section = FLG_NONE;
    int taken = 0;
    char line[kLineSize];
    char text[kLineSize];

    // Stopping at the counted end rather than one past it skips only an empty line.
    while (cursor < end) {
        cursor = takeLine(cursor, end, line);
        const char first = line[0];
        if (first == '\0' || first == '#') continue;
        if (first == ':') {
            if (std::strstr(line, "EOF") != nullptr) return;
            section = markerSection(line);
            continue;
        }
        // Lines outside any section (the byte-order mark, ":FONT_WIN") are never taken.
        if (section != FLG_NONE && section == table && taken < maxCount && out != nullptr) {
            Read(line, text);
            out[taken++] = ktrtext::fromUtf8Leniently(text, std::strlen(text));
        }
    }
}

void TxtLoader::Load(unsigned int locale, FlgTable table, juce::String* out, int maxCount) {
    if (locale >= kLocaleCount) return;
    Load(ptextList[locale].m_pointer, ptextList[locale].m_length, table, out, maxCount);
}

void TxtLoader::Read(char* line, char* out) {
    // A line without any quote is outside the format; it reads as the empty string.
    const char* in = std::strchr(line, '"');
    if (in != nullptr) {
        ++in;
        while (*in != '\0' && *in != '"') {
            if (*in == '\\') {
                char unescaped = '\0';
                switch (in[1]) {
                    case 'r':
                        unescaped = '\r';
                        break;
                    case 'n':
                        unescaped = '\n';
                        break;
                    case 't':
                        unescaped = '\t';
                        break;
                    case '"':
                        unescaped = '"';
                        break;
                    case '\\':
                        unescaped = '\\';
                        break;
                    default:
                        break;
                }
                if (unescaped != '\0') {
                    *out++ = unescaped;
                    in += 2;
                    continue;
                }
            }
            *out++ = *in++;
        }
    }
    *out = '\0';
}
