#include "AlineButton.h"

#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <utility>

#include "UiTestSupport.h"

namespace {

using uitest::colourDistance;

const juce::Colour kBackground(234, 234, 234);

// Set up as the main component sets up its buttons.
std::unique_ptr<AlineButton> makeButton(int width, int height, const juce::String& text = {}) {
    auto button = std::make_unique<AlineButton>("OK");
    button->setButtonText(text);
    button->setColour(juce::TextButton::buttonColourId, kBackground);
    button->setColour(juce::TextButton::buttonOnColourId, kBackground);
    button->setBounds(0, 0, width, height);
    return button;
}

// The shape of a 100 x 20 button spans y 0.5 to 19.5; checks the column through its middle against the stops.
void expectColumn(AlineButton& button, juce::Colour top, juce::Colour middle, juce::Colour bottom,
                  juce::Colour outline) {
    const juce::Image image = uitest::draw(button).image;
    EXPECT_LE(colourDistance(image.getPixelAt(50, 0), outline), 1);
    EXPECT_LE(colourDistance(image.getPixelAt(50, 19), outline), 1);
    for (int y = 1; y < 19; ++y)
        EXPECT_TRUE(
            uitest::withinGradient(image.getPixelAt(50, y), top, middle, bottom, (y - 0.5) / 19.0, (y + 0.5) / 19.0))
            << "row " << y << ": " << image.getPixelAt(50, y).toDisplayString(true);
}

}  // namespace

TEST(AlineButtonBackground, WhiteGreyWhiteWithOutlineAndRoundEndsHoveredOrNot) {
    auto button = makeButton(100, 20);
    expectColumn(*button, juce::Colours::white, juce::Colour(0xFFC3C3C3), juce::Colours::white,
                 juce::Colour(0xFF898989));
    // Half circles at both ends: the corners stay empty while the ends' middles carry the outline.
    const juce::Image normal = uitest::draw(*button).image;
    for (auto p : {juce::Point<int>(0, 0), {99, 0}, {0, 19}, {99, 19}, {2, 2}, {97, 17}})
        EXPECT_LT(normal.getPixelAt(p.x, p.y).getAlpha(), 16) << p.toString();
    for (int x : {0, 99}) {
        EXPECT_GT(normal.getPixelAt(x, 9).getAlpha(), 200);
        EXPECT_LE(colourDistance(normal.getPixelAt(x, 9).withAlpha(1.0f), juce::Colour(0xFF898989)), 8);
    }
    button->setState(juce::Button::buttonOver);
    EXPECT_TRUE(uitest::sameImage(uitest::draw(*button).image, normal));

    // No shape at all when no larger than its outline.
    for (auto [width, height, drawn] : {std::tuple{2, 20, false}, {100, 2, false}, {3, 20, true}}) {
        button = makeButton(width, height);
        EXPECT_EQ(uitest::countPixels(uitest::draw(*button).image, button->getLocalBounds(), uitest::anyInk) > 0, drawn)
            << width << " x " << height;
    }
}

TEST(AlineButtonBackground, PressedIsAFixedBlueGradientWhateverTheFill) {
    for (juce::Colour fill : {kBackground, juce::Colour(0xFFC04020)}) {
        auto button = makeButton(100, 20);
        button->setColour(juce::TextButton::buttonColourId, fill);
        button->setState(juce::Button::buttonDown);
        expectColumn(*button, juce::Colour(0xFFB9C8F0), juce::Colour(0xFF529CE7), juce::Colour(0xFF8CDEFD),
                     fill.darker(0.7f));
    }
}

TEST(AlineButtonText, HeightIsFourFifthsOfTheButtonUpToThirteen) {
    for (auto [height, expected] : {std::pair{20, 13.0f}, {17, 13.0f}, {40, 13.0f}, {16, 12.8f}, {10, 8.0f}}) {
        auto button = makeButton(100, height, "OK");
        const auto glyphs = uitest::draw(*button).glyphs;
        ASSERT_EQ(glyphs.size(), 2u) << height;
        for (const auto& glyph : glyphs) EXPECT_NEAR(glyph.font.getHeight(), expected, 1e-4) << height;
    }
}

TEST(AlineButtonText, TypefaceStyleAndColourInEveryState) {
    auto button = makeButton(100, 20, "Cancel");
    auto glyphs = uitest::draw(*button).glyphs;
    ASSERT_FALSE(glyphs.empty());
    EXPECT_EQ(glyphs[0].font.getTypefaceName(), juce::Font::getDefaultSansSerifFontName());
    EXPECT_FALSE(glyphs[0].font.isBold());

    button->setStyle(1);
    button->setFont("DejaVu Serif");
    for (int state = 0; state < 4; ++state) {
        button->setState(state == 1 ? juce::Button::buttonDown : juce::Button::buttonNormal);
        button->setToggleState(state == 2, juce::dontSendNotification);
        button->setEnabled(state != 3);
        glyphs = uitest::draw(*button).glyphs;
        ASSERT_EQ(glyphs.size(), 6u);
        for (const auto& glyph : glyphs) {
            EXPECT_EQ(glyph.font.getTypefaceName(), "DejaVu Serif");
            EXPECT_TRUE(glyph.font.isBold());
            EXPECT_EQ(glyph.colour, juce::Colour(0xFF101010)) << state;
        }
    }
}

TEST(AlineButtonText, CentredOnOneLineUnlessAlignedOtherwise) {
    auto button = makeButton(100, 40, "OK");
    const juce::Font font(juce::Font::getDefaultSansSerifFontName(), 13.0f, 0);
    EXPECT_NEAR(uitest::draw(*button).glyphs.front().position.x, 50.0f - font.getStringWidthFloat("OK") / 2.0f, 1.0f);
    button->setAline(juce::Justification::centredLeft);
    EXPECT_FLOAT_EQ(uitest::draw(*button).glyphs.front().position.x, 4.0f);

    // Two lines would fit in the height, yet the text is squeezed onto one, down to 70 %, and then shortened.
    button->setAline(juce::Justification::centred);
    for (auto [text, squeezed] :
         {std::pair{"Updates the firmware", false}, {"Updates the version of your firmware", true}}) {
        button->setButtonText(text);
        const auto glyphs = uitest::draw(*button).glyphs;
        ASSERT_FALSE(glyphs.empty());
        const float scale = glyphs.front().font.getHorizontalScale();
        EXPECT_TRUE(squeezed ? scale == 0.7f : scale > 0.7f && scale < 1.0f) << scale;
        for (const auto& glyph : glyphs) {
            EXPECT_FLOAT_EQ(glyph.position.y, glyphs.front().position.y) << text;
            EXPECT_GE(glyph.position.x, 4.0f) << text;
            EXPECT_LT(glyph.position.x, 96.0f) << text;
        }
    }
}

namespace {

// Counts the repaints that reach the component.
struct RepaintCounter : juce::CachedComponentImage {
    explicit RepaintCounter(int& count) : m_count(count) {}
    void paint(juce::Graphics&) override {}
    bool invalidateAll() override { return ++m_count, false; }
    bool invalidate(const juce::Rectangle<int>&) override { return ++m_count, false; }
    void releaseResources() override {}
    int& m_count;
};

}  // namespace

TEST(AlineButtonText, OnlySetButtonTextRepaintsAndAlwaysDoes) {
    int repaints = 0;  // declared first: the button's destructor still reports a repaint to the counter
    auto button = makeButton(100, 20, "OK");
    button->setVisible(true);
    button->setCachedComponentImage(new RepaintCounter(repaints));
    repaints = 0;

    button->setFont("DejaVu Serif");
    button->setStyle(1);
    button->setAline(juce::Justification::centredLeft);
    EXPECT_EQ(repaints, 0);
    button->setButtonText("OK");
    EXPECT_EQ(repaints, 1);
    EXPECT_EQ(button->getButtonText(), "OK");
    button->setButtonText("Close");
    EXPECT_GE(repaints, 2);
    EXPECT_EQ(button->getButtonText(), "Close");
}
