// Canonical locale identifiers in the form language[-Script][_REGION][_VARIANT...], from either
// an identifier of that kind or a POSIX locale name (language_REGION.codeset@modifier).
#include <string>
#include <vector>

#include "CFRuntime.h"

namespace {

bool allOf(const std::string& part, bool (*test)(char)) {
    for (char c : part)
        if (!test(c)) return false;
    return true;
}
bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isAlnum(char c) { return isAlpha(c) || isDigit(c); }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string mapped(const std::string& part, char (*convert)(char)) {
    std::string out(part);
    for (char& c : out) c = convert(c);
    return out;
}

// Empty when the text names no language.
std::string canonical(std::string text) {
    // The codeset and the modifier of a POSIX name say nothing about the language.
    const size_t cut = text.find_first_of(".@");
    if (cut != std::string::npos) text.erase(cut);

    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t next = text.find_first_of("-_", start);
        parts.push_back(text.substr(start, next == std::string::npos ? std::string::npos : next - start));
        if (next == std::string::npos) break;
        start = next + 1;
    }

    const std::string& language = parts[0];
    if (language.size() < 2 || language.size() > 8 || !allOf(language, isAlpha)) return {};
    std::string script, region;
    std::vector<std::string> variants;
    for (size_t i = 1; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        if (part.empty() || part.size() > 8 || !allOf(part, isAlnum)) return {};
        if (script.empty() && region.empty() && variants.empty() && part.size() == 4 && allOf(part, isAlpha)) {
            script = mapped(part, lower);
            script[0] = upper(script[0]);
        } else if (region.empty() && variants.empty() &&
                   ((part.size() == 2 && allOf(part, isAlpha)) || (part.size() == 3 && allOf(part, isDigit)))) {
            region = mapped(part, upper);
        } else {
            variants.push_back(mapped(part, upper));
        }
    }

    std::string result = mapped(language, lower);
    // The region decides the script of written Chinese.
    if (result == "zh" && script.empty()) {
        if (region == "CN" || region == "SG") script = "Hans";
        if (region == "TW" || region == "HK" || region == "MO") script = "Hant";
    }
    if (!script.empty()) result += "-" + script;
    if (!region.empty()) result += "_" + region;
    for (const std::string& variant : variants) result += "_" + variant;
    return result;
}

}  // namespace

CFStringRef CFLocaleCreateCanonicalLocaleIdentifierFromString(CFAllocatorRef, CFStringRef localeIdentifier) {
    if (!ktrcf::isa(localeIdentifier, ktrcf::kTypeIDString)) return nullptr;
    const std::string result = canonical(ktrcf::stdString(localeIdentifier));
    return result.empty() ? nullptr : ktrcf::makeString(result);
}
