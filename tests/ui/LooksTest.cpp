// The updater's button and the looks of its button, progress bar and language list, each against a drawing made by
// the rules.
#include <gtest/gtest.h>

#include <algorithm>

#include "AlineButton.h"
#include "CustomLookAndFeel.h"
#include "ExpectedTexts.h"
#include "UiTestSupport.h"

namespace {

using juce::Colour;

// The language names of the resources; `repeated` names English a second time.
LangLookAndFeel makeLook(unsigned int repeated = 99) {
    return LangLookAndFeel(
        [repeated](unsigned int i) { return juce::String::fromUTF8(i == repeated ? "English" : expected::kLang[i]); },
        [](unsigned int i) { return "LangFont" + juce::String(i); });
}

uitest::Drawn drawItem(LangLookAndFeel& look, const juce::String& text, int height, bool highlighted, bool ticked,
                       juce::Point<int> at = {}) {
    return uitest::draw(at.x + 200, at.y + height, [&](juce::Graphics& g) {
        look.drawPopupMenuItem(g, {at.x, at.y, 200, height}, false, true, highlighted, ticked, false, text, {}, nullptr,
                               nullptr);
    });
}

}  // namespace

// The shape spans the button less half a pixel each side, its ends half circles, and is not drawn when no larger
// than its 1-pixel outline; filled from top to bottom with white, the fill darkened by 0.2 and white (fixed blues
// while pressed, whatever the fill); outlined in the fill darkened by 0.7. The text in the button's typeface and style,
// min(13, 4/5 of the height) high, 0xFF101010 in every state, fitted on one line into the button less 4 pixels each
// side, squeezed down to 70 %. Hovering and disabling change nothing.
TEST(AlineButton, DrawnByTheRules) {
    const Colour grey(234, 234, 234), red(0xFFC04020);
    const auto normal = juce::Button::buttonNormal, over = juce::Button::buttonOver, down = juce::Button::buttonDown;
    const struct {
        int width, height;
        const char* text;
        int style;
        juce::Justification aline;
        juce::Button::ButtonState state;
        Colour fill;
        float textHeight;
    } cases[] = {
        {100, 20, "Cancel", 0, juce::Justification::centred, normal, grey, 13.0f},
        {100, 20, "OK", 1, juce::Justification::centred, over, grey, 13.0f},
        {100, 20, "Start", 1, juce::Justification::centredLeft, down, red, 13.0f},
        {100, 16, "OK", 1, juce::Justification::centred, down, grey, 12.8f},
        {100, 10, "OK", 0, juce::Justification::centred, normal, grey, 8.0f},
        {100, 40, "Updates the firmware", 0, juce::Justification::centred, normal, grey, 13.0f},
        {100, 40, "Updates the version of your firmware", 1, juce::Justification::centred, normal, grey, 13.0f},
        {2, 20, "", 0, juce::Justification::centred, normal, grey, 13.0f},
        {100, 2, "", 0, juce::Justification::centred, normal, grey, 1.6f},
        {3, 20, "", 0, juce::Justification::centred, normal, grey, 13.0f},
    };
    for (const auto& c : cases) {
        AlineButton button("OK");
        button.setButtonText(c.text);
        button.setColour(juce::TextButton::buttonColourId, c.fill);
        button.setBounds(0, 0, c.width, c.height);
        const juce::String font =
            c.style == 0 && c.height == 20 ? juce::Font::getDefaultSansSerifFontName() : "DejaVu Serif";
        if (font != juce::Font::getDefaultSansSerifFontName()) button.setFont(font);
        button.setStyle(c.style);
        button.setAline(c.aline);
        button.setState(c.state);
        button.setEnabled(c.height != 10);
        const juce::Image expected =
            uitest::draw(c.width, c.height, [&](juce::Graphics& g) {
                const float x = 0.5f, y = 0.5f, w = c.width - 1.0f, h = c.height - 1.0f, r = std::min(w, h) / 2;
                const float pi = juce::MathConstants<float>::pi, d = 2 * r;
                juce::Path shape;
                shape.startNewSubPath(x, y + r);
                for (int i = 0; i < 4; ++i)  // the corners clockwise from the top left, each after a straight side
                    shape.addArc(i % 3 != 0 ? x + w - d : x, i < 2 ? y : y + h - d, d, d, (i + 3) % 4 * pi / 2,
                                 ((i + 3) % 4 + 1) * pi / 2);
                shape.closeSubPath();
                const bool pressed = c.state == down;
                juce::ColourGradient gradient(pressed ? Colour(0xFFB9C8F0) : juce::Colours::white, 0, y,
                                              pressed ? Colour(0xFF8CDEFD) : juce::Colours::white, 0, y + h, false);
                gradient.addColour(0.5, pressed ? Colour(0xFF529CE7) : c.fill.darker(0.2f));
                g.setGradientFill(gradient);
                if (w > 1 && h > 1) g.fillPath(shape);
                g.setColour(c.fill.darker(0.7f));
                if (w > 1 && h > 1) g.strokePath(shape, juce::PathStrokeType(1.0f));
                g.setFont(juce::Font(font, c.textHeight, c.style));
                g.setColour(Colour(0xFF101010));
                g.drawFittedText(c.text, 4, 4, c.width - 8, c.height - 8, c.aline, 1, 0.7f);
            }).image;
        const juce::Image shown =
            uitest::draw(c.width, c.height, [&](juce::Graphics& g) { button.paintEntireComponent(g, true); }).image;
        EXPECT_EQ(uitest::difference(shown, expected), "") << c.text << " " << c.width << " x " << c.height;
    }
}

// The bar's own background, a bar of progress x (width - 4) by height - 4 at (2, 2) whose gradient ends two rows
// above the bar's lower edge, and the text in white, 4/5 of the height, centred over the whole bar.
TEST(ProgressLookAndFeel, BarAndText) {
    ProgressLookAndFeel look;
    double progress = 0;
    juce::ProgressBar bar(progress);
    bar.setColour(juce::ProgressBar::backgroundColourId, Colour(0xFF080808));
    const struct {
        double value;
        const char* text;
        float width;
    } cases[] = {{0.5, "50%", 188}, {0.0, "", 0}, {-0.25, "", 0}, {1.5, "", 376}, {0.25, "", 94}};
    for (const auto& c : cases) {
        const juce::Image expected =
            uitest::draw(380, 20, [&](juce::Graphics& g) {
                g.fillAll(Colour(0xFF080808));
                juce::ColourGradient gradient(Colour(0xFFA7A7A7), 2, 2, Colour(0xFF6C6C6C), 2, 16, false);
                gradient.addColour(0.5, Colour(0xFF646464));
                g.setGradientFill(gradient);
                g.fillRect(juce::Rectangle<float>(2, 2, c.width, 16));
                g.setColour(juce::Colours::white);
                g.setFont(16.0f);
                g.drawText(c.text, 0, 0, 380, 20, juce::Justification::centred, false);
            }).image;
        const juce::Image shown = uitest::draw(380, 20, [&](juce::Graphics& g) {
                                      look.drawProgressBar(g, bar, 380, 20, c.value, c.text);
                                  }).image;
        EXPECT_EQ(uitest::difference(shown, expected), "") << c.value;
    }
}

// The menu font, at most height / 1.3 high, after a left border of 5/4 of the height; black, or white on a dark blue
// highlight one pixel inside the item; the tick in the border, as high as the font's ascent, centred on the middle.
TEST(LangLookAndFeel, ItemsByTheirHeightHighlightAndTick) {
    auto look = makeLook();
    const struct {
        int height;
        float fontHeight;
        int border;
        bool highlighted, ticked;
        juce::Point<int> at;
    } cases[] = {
        {20, 20.0f / 1.3f, 25, false, false, {}},
        {22, 22.0f / 1.3f, 27, true, false, {}},
        {24, 17.0f, 30, false, true, {}},
        {20, 20.0f / 1.3f, 25, true, true, {30, 25}},
    };
    for (const auto& c : cases) {
        const juce::Image expected =
            uitest::draw(c.at.x + 200, c.at.y + c.height, [&](juce::Graphics& g) {
                g.setOrigin(c.at);
                g.setColour(Colour(0xFF000040));
                if (c.highlighted) g.fillRect(1, 1, 198, c.height - 2);
                g.setColour(c.highlighted ? juce::Colours::white : juce::Colours::black);
                g.setFont(c.fontHeight);
                const float ascent = juce::Font(c.fontHeight).getAscent();
                const juce::Path tick = look.getTickShape(1.0f);
                if (c.ticked)
                    g.fillPath(tick, tick.getTransformToScaleToFit(2.0f, c.height / 2.0f - ascent / 2, c.border - 4.0f,
                                                                   ascent, true, juce::Justification::centred));
                g.drawFittedText("English", c.border, 0, 196 - c.border, c.height, juce::Justification::centredLeft, 1,
                                 0.7f);
            }).image;
        EXPECT_EQ(
            uitest::difference(drawItem(look, "English", c.height, c.highlighted, c.ticked, c.at).image, expected), "")
            << c.height;
    }
}

// Matched by name, letter case ignored, the first match winning.
TEST(LangLookAndFeel, LanguageFontIsTheFallbackOnlyWhileItsNameDraws) {
    const juce::String saved = juce::Font::getFallbackFontName();
    juce::Font::setFallbackFontName("SavedFallback");
    auto look = makeLook(7);
    for (auto [text, fallback] : {std::pair{"English", "LangFont0"},
                                  {"DEUTSCH", "LangFont2"},
                                  {"nederlands", "LangFont5"},
                                  {"日本語", "LangFont11"},
                                  {"Klingon", "SavedFallback"}}) {
        const auto drawn = drawItem(look, juce::String::fromUTF8(text), 20, text[0] == 'D', false);
        ASSERT_FALSE(drawn.fallbackFonts.isEmpty()) << text;
        for (const auto& name : drawn.fallbackFonts) EXPECT_EQ(name, fallback) << text;
        EXPECT_EQ(juce::Font::getFallbackFontName(), "SavedFallback") << text;
    }
    juce::Font::setFallbackFontName(saved);
}
