#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>
#include <ktrplatform/SystemFonts.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ExpectedTexts.h"
#include "JuceEnvironment.h"
#include "OutlineTypeface.h"
#include "Table.h"
#include "TxtLoader.h"

using ktrplatform::fontHasCharacter;
using ktrplatform::ResolvedFont;
using ktrplatform::resolveFont;

namespace {

struct Language {
    juce::String code, font;
    juce::StringArray texts;  // the interface texts and the language's own name
};

const std::vector<Language>& languages() {
    static const std::vector<Language> all = [] {
        std::vector<Language> result;
        TxtLoader::createInstance();
        TxtLoader* loader = TxtLoader::getInstance();
        for (unsigned int i = 0; i < TxtLoader::kLocaleCount; ++i) {
            loader->setLocale(i);
            Language language{plangList[i].m_code, loader->getFont(), {}};
            for (unsigned int j = 0; j < TxtLoader::kStringCount; ++j) language.texts.add(loader->getString(j));
            language.texts.add(loader->getLang(i));
            result.push_back(language);
        }
        TxtLoader::releaseInstance();
        return result;
    }();
    return all;
}

bool isBlank(juce::juce_wchar c) { return c <= 0x20 || c == 0xA0 || c == 0x3000; }

juce::Typeface::Ptr typeface(juce::LookAndFeel& look, const juce::String& name, int style = 0) {
    return look.getTypefaceForFont(juce::Font(name, 13.0f, style));
}

}  // namespace

TEST(SystemFonts, EachLanguagesFontHasEveryCharacterOfItsTexts) {
    const auto& all = languages();
    ASSERT_EQ(all.size(), 12u);
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].font, juce::String(expected::kFontMac[i])) << all[i].code;
        for (const bool bold : {false, true}) {
            const ResolvedFont font = resolveFont(all[i].font, bold, false, all[i].code);
            ASSERT_TRUE(font.file.isNotEmpty()) << all[i].code;
            EXPECT_EQ(font.style.containsIgnoreCase("Bold"), bold) << font.file << " " << font.style;
            for (const auto& text : all[i].texts)
                for (auto p = text.getCharPointer(); !p.isEmpty();) {
                    const juce::juce_wchar c = p.getAndAdvance();
                    EXPECT_TRUE(isBlank(c) || fontHasCharacter(font, c))
                        << all[i].code << " U+" << juce::String::toHexString((int)c) << " in " << font.file;
                }
        }
    }
}

TEST(SystemFonts, InstalledFamiliesAndPlaceholdersResolveAsNamed) {
    for (const char* code : {"en", "ru", "zh-Hans", "ja"})
        for (const char* family : {"DejaVu Sans", "Noto Sans"}) {
            EXPECT_EQ(resolveFont(family, false, false, code).family, family) << code;
            EXPECT_EQ(resolveFont(family, true, true, code).family, family) << code;
        }
    const auto sans = juce::Font::getDefaultSansSerifFontName();
    EXPECT_TRUE(fontHasCharacter(resolveFont(sans, false, false, "ja"), 0x3042));  // あ
    EXPECT_TRUE(fontHasCharacter(resolveFont(sans, false, false, "ko"), 0xD55C));  // 한
    EXPECT_NE(resolveFont(sans, false, false, "zh-Hans").family, resolveFont(sans, false, false, "zh-Hant").family);
    EXPECT_TRUE(fontHasCharacter(resolveFont(juce::Font::getDefaultMonospacedFontName(), false, false, "en"), 'M'));
    EXPECT_TRUE(fontHasCharacter(resolveFont(juce::Font::getDefaultSerifFontName(), false, false, "en"), 'M'));
    // A script's own font stays that script's font in any interface language (the language list needs it).
    EXPECT_TRUE(fontHasCharacter(resolveFont("Heiti TC", false, false, "en"), 0x9AD4));  // 體
}

TEST(SystemFonts, OddNamesAndLanguagesResolveToTheBestMatch) {
    const char withNul[] = "Ari\0al";
    const juce::String names[] = {"",
                                  juce::String::repeatedString("x", 100000),
                                  juce::String::fromUTF8(withNul, (int)sizeof withNul - 1),
                                  "\x01\x02\x7f",
                                  "Arial:bold,Italic",
                                  "../../../etc/passwd",
                                  juce::String::fromUTF8("\xF0\x9F\x98\x80 \xE2\x80\xAE")};
    ktrplatform::SystemFontLookAndFeel look([] { return juce::String("\x7f\x7f"); });
    for (const auto& name : names) {
        for (const juce::String& code : {juce::String(), juce::String("xx"), juce::String("zh-Hans\n"),
                                         juce::String::repeatedString("zh", 500), juce::String("../fr")})
            EXPECT_TRUE(fontHasCharacter(resolveFont(name, true, true, code), 'A')) << name.substring(0, 20);
        const auto face = typeface(look, name);
        ASSERT_NE(face, nullptr);
        juce::Path outline;
        EXPECT_TRUE(face->getOutlineForGlyph('A', outline));
    }
    EXPECT_FALSE(fontHasCharacter({}, 'A'));
    EXPECT_FALSE(fontHasCharacter(resolveFont("Noto Sans", false, false, "en"), -5));
}

TEST(SystemFonts, TypefacesAreSharedByFaceAndOutlinedInBothCurveKinds) {
    ktrplatform::SystemFontLookAndFeel look([] { return juce::String("en"); });
    const auto arial = typeface(look, "Arial");
    const ResolvedFont resolved = resolveFont("Arial", false, false, "en");
    EXPECT_EQ(arial->getName(), resolved.family);
    EXPECT_EQ(arial->getStyle(), resolved.style);
    // Another name for the same face, or the framework forgetting it, loads nothing again.
    if (resolveFont("Helvetica Neue", false, false, "en").file == resolved.file) {
        EXPECT_EQ(typeface(look, "Helvetica Neue"), arial);
    }
    juce::Typeface::clearTypefaceCache();
    EXPECT_EQ(typeface(look, "Arial"), arial);

    // 'O' of a TrueType face (quadratic) and 口 of a CFF face (cubic): the counter is a hole, the stroke is not.
    EXPECT_TRUE(resolveFont("Heiti SC", true, false, "en").file.endsWith(".ttc"));
    using Sample = std::pair<juce::Typeface::Ptr, juce::juce_wchar>;
    for (const auto& [face, character] : {Sample{arial, 'O'}, Sample{typeface(look, "Heiti SC", 1), 0x53E3}}) {
        juce::Path outline;
        ASSERT_TRUE(face->getOutlineForGlyph((int)character, outline));
        const auto bounds = outline.getBounds();
        const float ascent = face->getAscent();
        EXPECT_GT(bounds.getWidth(), 0.2f);
        EXPECT_LE(bounds.getRight(), face->getStringWidth(juce::String::charToString(character)));
        // Within the face's height, y down from the baseline.
        EXPECT_TRUE(bounds.getY() >= -ascent && bounds.getY() < -0.5f * ascent && bounds.getBottom() <= 1 - ascent);
        EXPECT_TRUE(ascent > 0.5f && ascent < 1.0f) << ascent;
        EXPECT_FALSE(outline.contains(bounds.getCentre()));
        EXPECT_TRUE(outline.contains(bounds.getX() + bounds.getWidth() * 0.03f, bounds.getCentreY()));
    }
    // Curves stay curves.
    const auto curves = [](const juce::Typeface::Ptr& face, juce::Path::Iterator::PathElementType kind) {
        juce::Path outline;
        face->getOutlineForGlyph('O', outline);
        for (juce::Path::Iterator it(outline); it.next();)
            if (it.elementType == kind) return true;
        return false;
    };
    EXPECT_TRUE(curves(arial, juce::Path::Iterator::quadraticTo));
    EXPECT_TRUE(curves(typeface(look, "Heiti SC", 1), juce::Path::Iterator::cubicTo));
}

TEST(SystemFonts, UnreadableFilesGiveFacesWithoutGlyphs) {
    const juce::TemporaryFile empty, garbage, cutTtf, cutTtc;
    const auto cut = [](const juce::String& font, const juce::TemporaryFile& to, size_t size) {
        juce::MemoryBlock head;
        juce::FileInputStream(juce::File(font)).readIntoMemoryBlock(head, (ssize_t)size);
        to.getFile().replaceWithData(head.getData(), head.getSize());
        return to.getFile().getFullPathName();
    };
    ASSERT_TRUE(empty.getFile().create());
    garbage.getFile().replaceWithText(juce::String::repeatedString("Z", 5000));
    const juce::String real = resolveFont("DejaVu Sans", false, false, "en").file;
    const std::pair<juce::String, int> files[] = {
        {"/nonexistent/font.ttf", 0},
        {"/tmp", 0},
        {empty.getFile().getFullPathName(), 0},
        {garbage.getFile().getFullPathName(), 0},
        {cut(real, cutTtf, 3000), 0},
        {cut(resolveFont("Heiti SC", false, false, "zh-Hans").file, cutTtc, 70000), 2},
        {real, 99},
        {real, -1}};
    for (const auto& [file, index] : files) {
        auto face = std::make_shared<ktrplatform::detail::FontFace>(file.toStdString(), index);
        for (const juce::juce_wchar c : {(juce::juce_wchar)'A', (juce::juce_wchar)'g', (juce::juce_wchar)0x53E3}) {
            juce::Path outline;
            float advance = 0.0f;
            // A cut file may still map some characters; reading their glyphs must fail cleanly.
            const bool loaded = face->loadGlyph(c, outline, advance);
            EXPECT_TRUE(face->hasCharacter(c) || !loaded) << file;
        }
        EXPECT_GE(ktrplatform::detail::OutlineTypeface(face, "Broken", "Regular").getStringWidth("Ag"), 0.0f);
    }
}

TEST(SystemFonts, ManyThreadsAskForTypefacesAtOnce) {
    ktrplatform::SystemFontLookAndFeel look([] { return juce::String("en"); });
    std::vector<std::thread> threads;
    std::vector<std::vector<const juce::Typeface*>> seen(8);
    for (size_t t = 0; t < seen.size(); ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round)
                for (const auto& language : languages()) {
                    const auto face = typeface(look, language.font, juce::Font::bold);
                    if (round == 0) seen[t].push_back(face.get());
                    EXPECT_TRUE(fontHasCharacter(resolveFont(language.font, true, false, language.code), 'K'));
                }
        });
    for (auto& thread : threads) thread.join();
    for (const auto& faces : seen) EXPECT_EQ(faces, seen[0]);
}

namespace {

// The current language of the installed look.
std::atomic<size_t> currentLanguage{0};

class InstalledFonts : public ::testing::Test {
protected:
    void SetUp() override {
        ktrplatform::installSystemFonts([] { return languages()[currentLanguage].code; });
    }
    void TearDown() override {
        ktrplatform::uninstallSystemFonts();
        juce::Font::setFallbackFontName({});
    }
};

}  // namespace

TEST_F(InstalledFonts, InstallingTwiceKeepsOneLookAndUninstallingGivesTheDefaultBack) {
    auto* look = dynamic_cast<ktrplatform::SystemFontLookAndFeel*>(&juce::LookAndFeel::getDefaultLookAndFeel());
    ASSERT_NE(look, nullptr);
    ktrplatform::installSystemFonts([] { return juce::String("ja"); });
    EXPECT_EQ(&juce::LookAndFeel::getDefaultLookAndFeel(), look);
    ktrplatform::uninstallSystemFonts();
    EXPECT_EQ(dynamic_cast<ktrplatform::SystemFontLookAndFeel*>(&juce::LookAndFeel::getDefaultLookAndFeel()), nullptr);
    ktrplatform::uninstallSystemFonts();
}

// With a font of one language and another language's font as the fallback, every visible character of a text
// mixing the two draws with an outline of its own (never the empty "missing" box), from a face that has it.
TEST_F(InstalledFonts, MixedScriptsDrawFromTheFontOrTheFallback) {
    const auto& all = languages();
    for (size_t i = 0; i < all.size(); ++i) {
        currentLanguage = i;
        juce::Typeface::clearTypefaceCache();
        const ResolvedFont primary = resolveFont(all[i].font, false, false, all[i].code);
        for (size_t j = 0; j < all.size(); ++j) {
            if (j == i) continue;
            juce::Font::setFallbackFontName(all[j].font);
            const ResolvedFont fallback = resolveFont(all[j].font, false, false, all[i].code);
            const juce::String text = all[i].texts[3] + " " + all[j].texts.strings.getLast() + " " + all[j].texts[9];
            juce::GlyphArrangement glyphs;
            glyphs.addLineOfText(juce::Font(all[i].font, 13.0f, juce::Font::plain), text, 0.0f, 0.0f);
            ASSERT_EQ(glyphs.getNumGlyphs(), text.length());
            for (int g = 0; g < glyphs.getNumGlyphs(); ++g) {
                const juce::juce_wchar c = glyphs.getGlyph(g).getCharacter();
                if (isBlank(c)) continue;
                juce::Path outline;
                glyphs.getGlyph(g).createPath(outline);
                EXPECT_FALSE(outline.isEmpty())
                    << all[i].code << "+" << all[j].code << " U+" << juce::String::toHexString((int)c);
                if (fontHasCharacter(primary, c)) continue;
                // What the font lacks is the fallback's glyph, not the font's own "missing" box.
                EXPECT_TRUE(fontHasCharacter(fallback, c));
                juce::Path own, substitute;
                juce::Font(all[i].font, 13.0f, 0).getTypefacePtr()->getOutlineForGlyph((int)c, own);
                juce::Font(all[j].font, 13.0f, 0).getTypefacePtr()->getOutlineForGlyph((int)c, substitute);
                EXPECT_EQ(own.getBounds(), substitute.getBounds());
            }
        }
    }
    // A character neither face has draws as nothing rather than as a box.
    juce::GlyphArrangement missing;
    missing.addLineOfText(juce::Font("Arial", 13.0f, juce::Font::plain), juce::String::charToString(0x10FFFD), 0, 0);
    ASSERT_EQ(missing.getNumGlyphs(), 1);
    juce::Path outline;
    missing.getGlyph(0).createPath(outline);
    EXPECT_TRUE(outline.isEmpty());
}
