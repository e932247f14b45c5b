// The user-interface texts, font names and language names, parsed from the built-in resources.
#pragma once

#include <juce_core/juce_core.h>

#include <cstdint>

// Section of a resource, as its marker line selects it; ":FONT_WIN" selects none.
enum FlgTable { FLG_NONE = 0, FLG_FONT_MAC = 2, FLG_LANG = 3, FLG_STR = 4 };

class TxtLoader {
public:
    static constexpr unsigned int kLocaleCount = 12;
    static constexpr unsigned int kStringCount = 25;

    static void createInstance();
    static TxtLoader* getInstance();
    static void releaseInstance();
    // The instance if there is one; never creates it.
    static TxtLoader* existingInstance() { return m_pinstance; }

    void setLocale(unsigned int locale);
    unsigned int getLocale() const { return m_locale; }
    bool isLocale(unsigned int locale) const;
    unsigned int chkLocale();

    const juce::String& getString(unsigned int index) const;
    const juce::String& getFont() const;
    const juce::String& getFont(unsigned int locale) const;
    const juce::String& getLang(unsigned int locale) const;

    // Static: parsing touches no loader state, so tests and fuzzers need no instance.
    static void Load(char const** pointer, int const* length, FlgTable table, juce::String* out, int maxCount);
    static void Load(unsigned int locale, FlgTable table, juce::String* out, int maxCount);
    // Writes the text of a string line, unquoted and unescaped, and a NUL; `out` needs the line's size.
    static void Read(char* line, char* out);

private:
    TxtLoader();
    virtual ~TxtLoader();
    TxtLoader(const TxtLoader&) = delete;
    TxtLoader& operator=(const TxtLoader&) = delete;

    static TxtLoader* m_pinstance;

    uint32_t m_locale;
    juce::String m_empty;
    bool m_available[kLocaleCount];
    juce::String m_font[kLocaleCount];
    juce::String m_lang[kLocaleCount];
    juce::String m_string[kStringCount];
};
