#include "AlineButton.h"
#include "UiTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

namespace {

using uitest::colourDistance;

const juce::Colour kBackground(234, 234, 234);
const juce::Colour kOutline(0xFF898989);
const juce::Colour kMiddle(0xFFC3C3C3);
const juce::Colour kTextColour(0xFF101010);

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
void expectColumnGradient(const juce::Image& image, juce::Colour top, juce::Colour middle, juce::Colour bottom,
                          juce::Colour outline) {
    EXPECT_LE(colourDistance(image.getPixelAt(50, 0), outline), 1);
    EXPECT_LE(colourDistance(image.getPixelAt(50, 19), outline), 1);
    for (int y = 1; y < 19; ++y)
        EXPECT_TRUE(
            uitest::withinGradient(image.getPixelAt(50, y), top, middle, bottom, (y - 0.5) / 19.0, (y + 0.5) / 19.0))
            << "row " << y << ": " << image.getPixelAt(50, y).toDisplayString(true);
}

bool sameImage(const juce::Image& a, const juce::Image& b) {
    for (int y = 0; y < a.getHeight(); ++y)
        for (int x = 0; x < a.getWidth(); ++x)
            if (a.getPixelAt(x, y) != b.getPixelAt(x, y)) return false;
    return true;
}

std::vector<uitest::RecordingContext::Glyph> recordGlyphs(juce::Component& component) {
    juce::Image image(juce::Image::ARGB, component.getWidth(), component.getHeight(), true);
    uitest::RecordingContext context(image);
    juce::Graphics g(context);
    component.paintEntireComponent(g, true);
    return context.glyphs;
}

// Counts the repaints that reach the component.
class RepaintCounter : public juce::CachedComponentImage {
public:
    explicit RepaintCounter(int& count) : m_count(count) {}
    void paint(juce::Graphics&) override {}
    bool invalidateAll() override { return ++m_count, false; }
    bool invalidate(const juce::Rectangle<int>&) override { return ++m_count, false; }
    void releaseResources() override {}

private:
    int& m_count;
};

class BackgroundSpy : public juce::LookAndFeel_V2 {
public:
    void drawButtonBackground(juce::Graphics&, juce::Button&, const juce::Colour& colour, bool over,
                              bool down) override {
        fill = colour;
        mouseOver = over;
        buttonDown = down;
    }
    juce::Colour fill;
    bool mouseOver = false;
    bool buttonDown = false;
};

}  // namespace

TEST(AlineButtonBackground, HundredByTwentyHasWhiteGreyWhiteGradientOutlineAndRoundEnds) {
    auto button = makeButton(100, 20);
    const juce::Image image = uitest::render(*button);

    expectColumnGradient(image, juce::Colours::white, kMiddle, juce::Colours::white, kOutline);
    // Half circles at both ends: the corners stay empty while the ends' middles carry the outline.
    for (auto corner : {juce::Point<int>(0, 0), {99, 0}, {0, 19}, {99, 19}, {2, 2}, {97, 17}})
        EXPECT_LT(image.getPixelAt(corner.x, corner.y).getAlpha(), 16) << corner.toString();
    for (int x : {0, 99}) {
        EXPECT_GT(image.getPixelAt(x, 9).getAlpha(), 200);
        EXPECT_LE(colourDistance(image.getPixelAt(x, 9).withAlpha(1.0f), kOutline), 8);
    }
}

TEST(AlineButtonBackground, PressedUsesFixedBlueGradientWhateverTheFillButKeepsTheOutline) {
    const juce::Colour top(0xFFB9C8F0), middle(0xFF529CE7), bottom(0xFF8CDEFD);
    for (juce::Colour fill : {kBackground, juce::Colour(0xFFC04020)}) {
        auto button = makeButton(100, 20);
        button->setColour(juce::TextButton::buttonColourId, fill);
        button->setState(juce::Button::buttonDown);
        expectColumnGradient(uitest::render(*button), top, middle, bottom, fill.darker(0.7f));
    }
}

TEST(AlineButtonBackground, HoverAndDisablingChangeNothing) {
    auto button = makeButton(100, 20, "Start");
    const juce::Image normal = uitest::render(*button);

    button->setState(juce::Button::buttonOver);
    EXPECT_TRUE(sameImage(uitest::render(*button), normal));
    button->setState(juce::Button::buttonNormal);
    button->setEnabled(false);
    EXPECT_TRUE(sameImage(uitest::render(*button), normal));
}

TEST(AlineButtonBackground, ToggledOnFillsWithTheOnColourWhichStartsBlack) {
    auto button = std::make_unique<AlineButton>("OK");
    button->setBounds(0, 0, 100, 20);
    button->setButtonText({});
    button->setColour(juce::TextButton::buttonColourId, kBackground);
    button->setToggleState(true, juce::dontSendNotification);
    expectColumnGradient(uitest::render(*button), juce::Colours::white, juce::Colours::black, juce::Colours::white,
                         juce::Colours::black);

    const juce::Colour on(0xFF3070D0);
    button->setColour(juce::TextButton::buttonOnColourId, on);
    expectColumnGradient(uitest::render(*button), juce::Colours::white, on.darker(0.2f), juce::Colours::white,
                         on.darker(0.7f));
}

TEST(AlineButtonBackground, ConnectedSidesHaveSquareCorners) {
    auto button = makeButton(100, 20);
    button->setConnectedEdges(juce::Button::ConnectedOnLeft);
    juce::Image image = uitest::render(*button);
    EXPECT_GT(image.getPixelAt(0, 0).getAlpha(), 200);
    EXPECT_GT(image.getPixelAt(0, 19).getAlpha(), 200);
    EXPECT_LT(image.getPixelAt(99, 0).getAlpha(), 16);
    EXPECT_LT(image.getPixelAt(99, 19).getAlpha(), 16);

    button->setConnectedEdges(juce::Button::ConnectedOnLeft | juce::Button::ConnectedOnRight |
                              juce::Button::ConnectedOnTop | juce::Button::ConnectedOnBottom);
    image = uitest::render(*button);
    for (auto corner : {juce::Point<int>(0, 0), {99, 0}, {0, 19}, {99, 19}})
        EXPECT_GT(image.getPixelAt(corner.x, corner.y).getAlpha(), 200) << corner.toString();
}

TEST(AlineButtonBackground, NoShapeWhenNoLargerThanItsOutline) {
    const auto anyInk = [](juce::Colour c) { return c.getAlpha() != 0; };
    for (auto size : {juce::Point<int>(2, 20), {100, 2}}) {
        auto button = makeButton(size.x, size.y);
        EXPECT_EQ(uitest::countPixels(uitest::render(*button), button->getLocalBounds(), anyInk), 0) << size.toString();
    }
    auto button = makeButton(3, 20);
    EXPECT_GT(uitest::countPixels(uitest::render(*button), button->getLocalBounds(), anyInk), 0);
}

TEST(AlineButtonBackground, HandsFillAndStatesToTheLookInEffect) {
    BackgroundSpy spy;
    auto button = makeButton(100, 20);
    button->setLookAndFeel(&spy);
    button->setColour(juce::TextButton::buttonOnColourId, juce::Colours::red);

    button->setState(juce::Button::buttonOver);
    uitest::render(*button);
    EXPECT_EQ(spy.fill, kBackground);
    EXPECT_TRUE(spy.mouseOver);
    EXPECT_FALSE(spy.buttonDown);

    button->setToggleState(true, juce::dontSendNotification);
    button->setState(juce::Button::buttonDown);
    uitest::render(*button);
    EXPECT_EQ(spy.fill, juce::Colours::red);
    EXPECT_TRUE(spy.buttonDown);
    button.reset();  // before the spy look goes
}

TEST(AlineButtonText, HeightIsFourFifthsOfTheButtonUpToThirteen) {
    for (auto [height, expected] : {std::pair{20, 13.0f}, {17, 13.0f}, {40, 13.0f}, {16, 12.8f}, {10, 8.0f}}) {
        auto button = makeButton(100, height, "OK");
        const auto glyphs = recordGlyphs(*button);
        ASSERT_EQ(glyphs.size(), 2u) << height;
        for (const auto& glyph : glyphs) EXPECT_NEAR(glyph.font.getHeight(), expected, 1e-4) << height;
    }
}

TEST(AlineButtonText, TypefaceStyleAndColourInEveryState) {
    auto button = makeButton(100, 20, "Cancel");
    auto glyphs = recordGlyphs(*button);
    ASSERT_FALSE(glyphs.empty());
    EXPECT_EQ(glyphs[0].font.getTypefaceName(), juce::Font::getDefaultSansSerifFontName());
    EXPECT_FALSE(glyphs[0].font.isBold());

    button->setStyle(1);
    button->setFont("DejaVu Serif");
    for (int state = 0; state < 4; ++state) {
        button->setState(state == 1 ? juce::Button::buttonDown : juce::Button::buttonNormal);
        button->setToggleState(state == 2, juce::dontSendNotification);
        button->setEnabled(state != 3);
        glyphs = recordGlyphs(*button);
        ASSERT_EQ(glyphs.size(), 6u);
        for (const auto& glyph : glyphs) {
            EXPECT_EQ(glyph.font.getTypefaceName(), "DejaVu Serif");
            EXPECT_TRUE(glyph.font.isBold());
            EXPECT_EQ(glyph.colour, kTextColour) << state;
        }
    }
}

TEST(AlineButtonText, BoldTextInkIsHeavierAndNeverDarkerThanTheTextColour) {
    const auto textInk = [](juce::Colour c) { return c.getBrightness() < 0.35f; };
    const juce::Rectangle<int> inside(4, 4, 92, 12);

    auto plain = makeButton(100, 20, "Start");
    auto bold = makeButton(100, 20, "Start");
    bold->setStyle(1);
    const juce::Image plainImage = uitest::render(*plain);
    const juce::Image boldImage = uitest::render(*bold);

    const int plainInk = uitest::countPixels(plainImage, inside, textInk);
    EXPECT_GT(plainInk, 10);
    EXPECT_GT(uitest::countPixels(boldImage, inside, textInk), plainInk * 5 / 4);
    const auto darkest = [&](const juce::Image& image) {
        int low = 255;
        for (int y = inside.getY(); y < inside.getBottom(); ++y)
            for (int x = inside.getX(); x < inside.getRight(); ++x)
                low = juce::jmin(low, (int)image.getPixelAt(x, y).getRed());
        return low;
    };
    EXPECT_EQ(darkest(boldImage), 0x10);
}

TEST(AlineButtonText, CentredOnOneLineUnlessAlignedOtherwise) {
    auto button = makeButton(100, 40, "OK");
    auto glyphs = recordGlyphs(*button);
    const float centred = glyphs.front().position.x;
    const juce::Font font(juce::Font::getDefaultSansSerifFontName(), 13.0f, 0);
    EXPECT_NEAR(centred, 50.0f - font.getStringWidthFloat("OK") / 2.0f, 1.0f);

    button->setAline(juce::Justification::centredLeft);
    EXPECT_FLOAT_EQ(recordGlyphs(*button).front().position.x, 4.0f);

    // Two lines would fit in the height, yet the text is squeezed onto one, down to 70 %, and then shortened.
    button->setAline(juce::Justification::centred);
    for (auto [text, squeezed] :
         {std::pair{"Updates the firmware", false}, {"Updates the version of your firmware", true}}) {
        button->setButtonText(text);
        glyphs = recordGlyphs(*button);
        ASSERT_FALSE(glyphs.empty());
        const float scale = glyphs.front().font.getHorizontalScale();
        if (squeezed)
            EXPECT_FLOAT_EQ(scale, 0.7f);
        else
            EXPECT_TRUE(scale > 0.7f && scale < 1.0f) << scale;
        for (const auto& glyph : glyphs) {
            EXPECT_FLOAT_EQ(glyph.position.y, glyphs.front().position.y) << text;
            EXPECT_GE(glyph.position.x, 4.0f) << text;
            EXPECT_LT(glyph.position.x, 96.0f) << text;
        }
    }
}

TEST(AlineButtonText, OnlySetButtonTextRepaintsAndAlwaysDoes) {
    // Declared first: the button's destructor still reports a repaint to the counter.
    int repaints = 0;
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
