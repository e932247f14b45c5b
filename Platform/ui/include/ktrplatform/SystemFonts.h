// Fonts by the family names the program was designed with (macOS names such as "Heiti SC"): fontconfig picks
// the installed face that best stands in for a name in the current language, and a character that face lacks
// is drawn from the framework's fallback font instead of as an empty box.
#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>
#include <map>
#include <mutex>
#include <tuple>
#include <utility>

namespace ktrplatform {

struct ResolvedFont {
    juce::String family, style, file;  // file is empty when no face matched at all
    int index = 0;                     // face within the file
};

class SystemFontLookAndFeel : public juce::LookAndFeel_V2 {
public:
    // Gives the current locale code ("en", "zh-Hans", ...); called on whichever thread asks for a typeface.
    using LanguageSource = std::function<juce::String()>;

    explicit SystemFontLookAndFeel(LanguageSource language);
    ~SystemFontLookAndFeel() override;

    // The framework asks the default look for every typeface it has not cached; it keeps only a few, so a
    // name resolves once per language and a face loads once for the life of the look.
    juce::Typeface::Ptr getTypefaceForFont(const juce::Font& font) override;

private:
    using Request = std::tuple<juce::String, bool, bool, juce::String>;  // family, bold, italic, locale code

    LanguageSource m_language;
    std::mutex m_mutex;
    std::map<Request, ResolvedFont> m_resolved;
    std::map<std::pair<juce::String, int>, juce::Typeface::Ptr> m_typefaces;
};

// Makes a look with these fonts the default one; on the message thread, after the framework has started.
// Later calls change nothing. The framework caches typefaces by name only: after the language changes, call
// juce::Typeface::clearTypefaceCache() so that names resolve again in the new language.
void installSystemFonts(SystemFontLookAndFeel::LanguageSource language);
// Gives the default look back to the framework and deletes the installed one.
void uninstallSystemFonts();

// The face that stands in for a family in a language (a locale code of the program, or empty).
ResolvedFont resolveFont(const juce::String& family, bool bold, bool italic, const juce::String& localeCode);
// Whether that face has a glyph of its own for the character.
bool fontHasCharacter(const ResolvedFont& font, juce::juce_wchar character);

}  // namespace ktrplatform
