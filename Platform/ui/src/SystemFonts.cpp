#include <fontconfig/fontconfig.h>
#include <ktrplatform/SystemFonts.h>

#include <memory>

#include "OutlineTypeface.h"

namespace ktrplatform {

namespace {

constexpr size_t kMaxResolvedNames = 256;

// The fontconfig language of a locale code; empty for a code fontconfig could not take.
juce::String fontconfigLanguage(const juce::String& localeCode) {
    if (localeCode == "zh-Hans") return "zh-cn";
    if (localeCode == "zh-Hant") return "zh-tw";
    if (localeCode.length() > 32 || !localeCode.containsOnly("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_"))
        return {};
    return localeCode;
}

// The program names some faces for the script they are made for. When such a name is asked for in another
// language (the language list draws each language's name with that language's font), the face must still
// be one for that script.
juce::String languageOfFamily(const juce::String& family) {
    static const std::pair<const char*, const char*> kScriptFamilies[] = {
        {"Heiti SC", "zh-cn"},
        {"Heiti TC", "zh-tw"},
        {"AppleGothic", "ko"},
        {"Hiragino Maru Gothic", "ja"},
    };
    for (const auto& [prefix, language] : kScriptFamilies)
        if (family.startsWithIgnoreCase(prefix)) return language;
    return {};
}

juce::String fontconfigFamily(const juce::String& family) {
    if (family.isEmpty() || family == juce::Font::getDefaultSansSerifFontName()) return "sans-serif";
    if (family == juce::Font::getDefaultSerifFontName()) return "serif";
    if (family == juce::Font::getDefaultMonospacedFontName()) return "monospace";
    return family;
}

juce::String firstString(FcPattern* pattern, const char* object) {
    FcChar8* value = nullptr;
    if (FcPatternGetString(pattern, object, 0, &value) != FcResultMatch || value == nullptr) return {};
    return juce::String::fromUTF8(reinterpret_cast<const char*>(value));
}

struct PatternDeleter {
    void operator()(FcPattern* p) const { FcPatternDestroy(p); }
};
using Pattern = std::unique_ptr<FcPattern, PatternDeleter>;

std::mutex& fontconfigMutex() {
    static std::mutex mutex;
    return mutex;
}

// Lives until uninstallSystemFonts(): the framework holds only a weak reference to its default look.
std::unique_ptr<SystemFontLookAndFeel>& installedLook() {
    static std::unique_ptr<SystemFontLookAndFeel> look;
    return look;
}

}  // namespace

ResolvedFont resolveFont(const juce::String& family, bool bold, bool italic, const juce::String& localeCode) {
    juce::String language = languageOfFamily(family);
    if (language.isEmpty()) language = fontconfigLanguage(localeCode);

    // fontconfig's matching is not documented as thread-safe before its configuration is loaded.
    std::lock_guard<std::mutex> lock(fontconfigMutex());
    Pattern pattern(FcPatternCreate());
    if (!pattern) return {};
    FcPatternAddString(pattern.get(), FC_FAMILY,
                       reinterpret_cast<const FcChar8*>(fontconfigFamily(family).toRawUTF8()));
    if (language.isNotEmpty()) {
        if (FcLangSet* languages = FcLangSetCreate()) {
            FcLangSetAdd(languages, reinterpret_cast<const FcChar8*>(language.toRawUTF8()));
            FcPatternAddLangSet(pattern.get(), FC_LANG, languages);
            FcLangSetDestroy(languages);
        }
    }
    FcPatternAddInteger(pattern.get(), FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    FcPatternAddInteger(pattern.get(), FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    if (!FcConfigSubstitute(nullptr, pattern.get(), FcMatchPattern)) return {};
    FcDefaultSubstitute(pattern.get());

    FcResult result = FcResultNoMatch;
    Pattern match(FcFontMatch(nullptr, pattern.get(), &result));
    if (!match) return {};
    ResolvedFont font;
    font.family = firstString(match.get(), FC_FAMILY);
    font.style = firstString(match.get(), FC_STYLE);
    font.file = firstString(match.get(), FC_FILE);
    if (FcPatternGetInteger(match.get(), FC_INDEX, 0, &font.index) != FcResultMatch) font.index = 0;
    return font;
}

bool fontHasCharacter(const ResolvedFont& font, juce::juce_wchar character) {
    return detail::FontFace::acquire(font.file.toStdString(), font.index)->hasCharacter(character);
}

SystemFontLookAndFeel::SystemFontLookAndFeel(LanguageSource language) : m_language(std::move(language)) {}

SystemFontLookAndFeel::~SystemFontLookAndFeel() = default;

juce::Typeface::Ptr SystemFontLookAndFeel::getTypefaceForFont(const juce::Font& font) {
    // Asked outside the lock: the source belongs to the program and may take locks of its own.
    const juce::String localeCode = m_language ? m_language() : juce::String();
    Request request{font.getTypefaceName(), font.isBold(), font.isItalic(), localeCode};

    ResolvedFont resolved;
    bool known = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto entry = m_resolved.find(request);
        known = entry != m_resolved.end();
        if (known) resolved = entry->second;
    }
    if (!known) {
        resolved = resolveFont(std::get<0>(request), std::get<1>(request), std::get<2>(request), localeCode);
        std::lock_guard<std::mutex> lock(m_mutex);
        // Names come from the program's resources, so few; a stream of odd ones must not grow this forever.
        if (m_resolved.size() >= kMaxResolvedNames) m_resolved.clear();
        m_resolved.emplace(request, resolved);
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    auto& typeface = m_typefaces[{resolved.file, resolved.index}];
    if (typeface == nullptr) {
        const juce::String name = resolved.family.isNotEmpty() ? resolved.family : std::get<0>(request);
        typeface = new detail::OutlineTypeface(detail::FontFace::acquire(resolved.file.toStdString(), resolved.index),
                                               name.isNotEmpty() ? name : juce::String("sans-serif"), resolved.style);
    }
    return typeface;
}

void installSystemFonts(SystemFontLookAndFeel::LanguageSource language) {
    auto& look = installedLook();
    if (look) return;
    look = std::make_unique<SystemFontLookAndFeel>(std::move(language));
    juce::LookAndFeel::setDefaultLookAndFeel(look.get());
    juce::Typeface::clearTypefaceCache();
}

void uninstallSystemFonts() {
    auto& look = installedLook();
    if (!look) return;
    // After the framework has shut down there is neither a default look to reset nor a cache to clear.
    if (juce::MessageManager::getInstanceWithoutCreating() != nullptr) {
        if (&juce::LookAndFeel::getDefaultLookAndFeel() == look.get())
            juce::LookAndFeel::setDefaultLookAndFeel(nullptr);
        juce::Typeface::clearTypefaceCache();
    }
    look.reset();
}

}  // namespace ktrplatform
