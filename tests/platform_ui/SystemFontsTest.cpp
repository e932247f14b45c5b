#include <gtest/gtest.h>
#include <ktrplatform/SystemFonts.h>

#include "JuceEnvironment.h"
#include "OutlineTypeface.h"
#include "Table.h"
#include "TxtLoader.h"

using namespace ktrplatform;

namespace {

struct Language {
    juce::String code, font;
    std::set<juce::juce_wchar> characters;  // of its texts and its own name, blanks left out
};

const std::vector<Language>& languages() {
    static const std::vector<Language> all = [] {
        std::vector<Language> result;
        TxtLoader::createInstance();
        TxtLoader* loader = TxtLoader::getInstance();
        for (unsigned int i = 0; i < TxtLoader::kLocaleCount; ++i) {
            loader->setLocale(i);
            juce::String texts = loader->getLang(i);
            for (unsigned int j = 0; j < TxtLoader::kStringCount; ++j) texts += loader->getString(j);
            result.push_back({plangList[i].m_code, loader->getFont(i), {}});
            for (auto p = texts.getCharPointer(); !p.isEmpty();)
                if (const juce::juce_wchar c = p.getAndAdvance(); c > 0x20 && c != 0xA0 && c != 0x3000)
                    result.back().characters.insert(c);
        }
        TxtLoader::releaseInstance();
        return result;
    }();
    return all;
}

// The language the tests' looks ask for; per thread, as the framework asks on any.
thread_local juce::String lookLanguage = "en";

juce::Typeface* typeface(juce::LookAndFeel& look, const juce::String& name, int style = juce::Font::plain) {
    return look.getTypefaceForFont(juce::Font(name, 13.0f, style)).get();
}

}  // namespace

// Asked from many threads at once, each language's typeface, plain and bold, is the face resolved for it, which has
// every character of the language's texts; all threads get the same typefaces, and another name of a face shares it.
// The 'O' of each (TrueType: quadratic curves, CFF: cubic) lies within the face's height, y down from the baseline,
// and inside its advance; its counter is a hole, its stroke is not.
TEST(SystemFonts, EachLanguagesTypefaceHasItsCharactersOnEveryThread) {
    SystemFontLookAndFeel look([] { return lookLanguage; });
    std::vector<std::vector<juce::Typeface*>> seen(8);
    std::vector<std::thread> threads;
    for (auto& faces : seen)
        threads.emplace_back([&look, &faces] {
            for (const auto& language : languages())
                for (const bool bold : {false, true}) {
                    lookLanguage = language.code;
                    faces.push_back(typeface(look, language.font, bold ? juce::Font::bold : 0));
                    const ResolvedFont font = resolveFont(language.font, bold, false, language.code);
                    EXPECT_EQ(faces.back()->getName() + "/" + faces.back()->getStyle(), font.family + "/" + font.style);
                    EXPECT_EQ(font.style.containsIgnoreCase("Bold"), bold) << font.file;
                    for (const juce::juce_wchar c : language.characters)
                        EXPECT_TRUE(fontHasCharacter(font, c)) << language.code << " U+" << std::hex << (int)c;
                }
        });
    for (auto& thread : threads) thread.join();
    for (const auto& faces : seen) EXPECT_EQ(faces, seen[0]);
    const bool sameFile =
        resolveFont("Helvetica Neue", false, false, "en").file == resolveFont("Arial", false, false, "en").file;
    EXPECT_EQ(typeface(look, "Helvetica Neue") == typeface(look, "Arial"), sameFile);

    for (juce::Typeface* face : seen[0]) {
        juce::Path glyph;
        ASSERT_TRUE(face->getOutlineForGlyph('O', glyph));
        const auto box = glyph.getBounds();
        const float ascent = face->getAscent();
        EXPECT_TRUE(ascent > 0.5 && ascent < 1 && box.getWidth() > 0.2 && box.getRight() <= face->getStringWidth("O"));
        EXPECT_TRUE(box.getY() >= -ascent && box.getY() < -0.5f * ascent && box.getBottom() <= 1 - ascent);
        EXPECT_TRUE(!glyph.contains(box.getCentre()) && glyph.contains(box.getX() + 0.01f, box.getCentreY()));
        EXPECT_TRUE(glyph.toString().containsAnyOf("qc")) << "no curves in " << face->getName();
    }
}

// Installed families keep their name, each Chinese has a face of its own. Odd names and locale codes (empty,
// fontconfig's syntax, a NUL, huge) still give a face with glyphs.
TEST(SystemFonts, NamesResolveToAFittingFaceAndBadInputToNoBrokenOne) {
    EXPECT_EQ(resolveFont("DejaVu Sans", true, true, "ja").family, "DejaVu Sans");
    EXPECT_NE(resolveFont("", false, false, "zh-Hans").family, resolveFont("", false, false, "zh-Hant").family);

    const juce::String odd[] = {"", "Arial:bold,Italic\n../", juce::String::repeatedString("zh", 50000),
                                juce::String::fromUTF8("Ari\0al \xF0\x9F\x98\x80\xE2\x80\xAE", 14)};
    for (const auto& name : odd)
        for (const auto& code : odd)
            EXPECT_TRUE(fontHasCharacter(resolveFont(name, true, true, code), 'A')) << name.substring(0, 20);

    // No file, a folder or a face out of range gives a face without characters, whose typeface still measures text.
    for (const auto& file : {juce::String(), juce::String("/"), resolveFont("DejaVu Sans", false, false, "").file})
        for (const int index : {-1, 0, 99}) {
            const auto face = std::make_shared<detail::FontFace>(file.toStdString(), index);
            EXPECT_EQ(face->hasCharacter('A'), file.endsWith(".ttf") && index == 0) << file << index;
            EXPECT_GE(detail::OutlineTypeface(face, "Broken", "Regular").getStringWidth("Ag"), 0.0f);
        }
}

// Installed, the look asks the current language for each face. With one language's font and another's as the
// fallback, each character of the other's texts has an outline: the font's own, else the fallback's, never the
// font's "missing" box; a character neither has draws as nothing.
TEST(SystemFonts, InstalledLookDrawsMixedScriptsFromTheFontOrTheFallback) {
    installSystemFonts([] { return lookLanguage; });
    auto* look = &juce::LookAndFeel::getDefaultLookAndFeel();
    installSystemFonts([] { return juce::String("ja"); });
    ASSERT_TRUE(dynamic_cast<SystemFontLookAndFeel*>(look) && &juce::LookAndFeel::getDefaultLookAndFeel() == look);

    const auto outline = [](const juce::String& font, juce::juce_wchar c) {
        juce::Path path;
        juce::Font(font, 13.0f, juce::Font::plain).getTypefacePtr()->getOutlineForGlyph((int)c, path);
        return path;
    };
    EXPECT_TRUE(outline("Arial", 0x10FFFD).isEmpty());
    for (const auto& language : languages()) {
        lookLanguage = language.code;
        juce::Typeface::clearTypefaceCache();
        const ResolvedFont own = resolveFont(language.font, false, false, language.code);
        for (const auto& other : languages()) {
            juce::Font::setFallbackFontName(other.font);
            for (const juce::juce_wchar c : other.characters) {
                const juce::Path path = outline(language.font, c);
                EXPECT_TRUE(!path.isEmpty() &&
                            (fontHasCharacter(own, c) || path.getBounds() == outline(other.font, c).getBounds()))
                    << language.code << "+" << other.code << " U+" << std::hex << (int)c;
            }
        }
    }
    uninstallSystemFonts();
    juce::Font::setFallbackFontName({});
}
