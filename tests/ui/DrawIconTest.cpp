#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "MainComponentAccess.h"
#include "UiTestSupport.h"

namespace {

using uitest::colourDistance;

// Room around the icon's box (20, 15, 64, 64), so that anything drawn outside it shows.
constexpr int kCanvasWidth = 110, kCanvasHeight = 100;
// The box grown by half the stroke's width.
const juce::Rectangle<int> kStrokeBounds(18, 13, 68, 68);

const juce::Colour kYellow(0x99FFFF00), kWhite(0x99FFFFFF), kStroke(0x99000000), kBlue(0x990000FF);

using Interior = std::function<bool(float x, float y)>;

// Well inside the circle, clear of its stroke.
bool insideCircle(float x, float y) { return std::hypot(x - 52, y - 47) < 27; }

// Well inside the triangle with apex (52, 15) and base y 79: more than 4 pixels from every side.
bool insideTriangle(float x, float y) {
    const float dx = std::abs(x - 52), dy = y - 15;
    return (dy - 2 * dx) / std::sqrt(5.0f) > 4 && y < 75;
}

class DrawIcon : public screentest::WithMainComponent<> {
protected:
    juce::Image draw(int kind) {
        juce::Image image(juce::Image::ARGB, kCanvasWidth, kCanvasHeight, true);
        juce::Graphics g(image);
        component->drawIcon(g, kind);
        return image;
    }
};

int drawnOutside(const juce::Image& image) {
    int n = 0;
    for (int y = 0; y < image.getHeight(); ++y)
        for (int x = 0; x < image.getWidth(); ++x)
            if (!kStrokeBounds.contains(x, y) && image.getPixelAt(x, y).getAlpha() != 0) ++n;
    return n;
}

// The character's pixels: darker than the fill, within the shape's interior.
struct Ink {
    juce::Rectangle<int> bounds;
    juce::Colour darkest;
};

Ink inkOf(const juce::Image& image, const Interior& interior) {
    Ink ink;
    int darkestRed = 256;
    for (int y = 0; y < image.getHeight(); ++y) {
        for (int x = 0; x < image.getWidth(); ++x) {
            const juce::Colour p = image.getPixelAt(x, y);
            if (!interior(x + 0.5f, y + 0.5f) || p.getRed() >= 160) continue;
            ink.bounds = ink.bounds.isEmpty() ? juce::Rectangle<int>(x, y, 1, 1)
                                              : ink.bounds.getUnion(juce::Rectangle<int>(x, y, 1, 1));
            if (p.getRed() < darkestRed) {
                darkestRed = p.getRed();
                ink.darkest = p;
            }
        }
    }
    return ink;
}

bool sameImage(const juce::Image& a, const juce::Image& b) {
    for (int y = 0; y < a.getHeight(); ++y)
        for (int x = 0; x < a.getWidth(); ++x)
            if (a.getPixelAt(x, y) != b.getPixelAt(x, y)) return false;
    return true;
}

TEST_F(DrawIcon, NoneDrawsNothing) {
    const juce::Image image = draw(0);
    EXPECT_EQ(uitest::countPixels(image, image.getBounds(), [](juce::Colour c) { return c.getAlpha() != 0; }), 0);
}

TEST_F(DrawIcon, WarningIsAYellowTriangleWithABlackExclamationMark) {
    const juce::Image image = draw(2);
    EXPECT_EQ(drawnOutside(image), 0);
    EXPECT_LE(colourDistance(image.getPixelAt(35, 70), kYellow), 3) << image.getPixelAt(35, 70).toDisplayString(true);
    EXPECT_LE(colourDistance(image.getPixelAt(52, 80), kStroke), 3) << "the outline below the base";
    // The apex is rounded off: nothing at the sharp corner's tip.
    EXPECT_EQ(image.getPixelAt(52, 13).getAlpha(), 0);
    EXPECT_EQ(image.getPixelAt(20, 80).getAlpha(), 0);

    const Ink ink = inkOf(image, insideTriangle);
    ASSERT_FALSE(ink.bounds.isEmpty());
    EXPECT_LE(colourDistance(ink.darkest, kYellow.overlaidWith(kStroke)), 3) << ink.darkest.toDisplayString(true);
    EXPECT_LT(ink.bounds.getWidth(), 12) << ink.bounds.toString();
    EXPECT_NEAR(ink.bounds.getCentreX(), 52, 3) << ink.bounds.toString();
    EXPECT_GT(ink.bounds.getHeight(), 24) << ink.bounds.toString();

    // Set lower than the question mark, into the wider part of the triangle.
    const Ink question = inkOf(draw(1), insideCircle);
    EXPECT_GE(ink.bounds.getY() - question.bounds.getY(), 4)
        << ink.bounds.toString() << " against " << question.bounds.toString();
}

TEST_F(DrawIcon, InformationIsAWhiteCircleWithABlueI) {
    const juce::Image image = draw(3);
    EXPECT_EQ(drawnOutside(image), 0);
    EXPECT_LE(colourDistance(image.getPixelAt(28, 47), kWhite), 3) << image.getPixelAt(28, 47).toDisplayString(true);
    EXPECT_LE(colourDistance(image.getPixelAt(52, 14), kStroke), 3) << "the outline above the circle";
    EXPECT_EQ(image.getPixelAt(21, 16).getAlpha(), 0) << "the box's corner lies outside the circle";

    const Ink ink = inkOf(image, insideCircle);
    ASSERT_FALSE(ink.bounds.isEmpty());
    EXPECT_LE(colourDistance(ink.darkest, kWhite.overlaidWith(kBlue)), 3) << ink.darkest.toDisplayString(true);
    EXPECT_LT(ink.bounds.getWidth(), 12) << ink.bounds.toString();
    EXPECT_NEAR(ink.bounds.getCentreX(), 52, 3) << ink.bounds.toString();
}

TEST_F(DrawIcon, AnyOtherKindIsAQuestion) {
    const juce::Image question = draw(1);
    EXPECT_EQ(drawnOutside(question), 0);
    EXPECT_LE(colourDistance(question.getPixelAt(28, 47), kWhite), 3);
    const Ink ink = inkOf(question, insideCircle);
    ASSERT_FALSE(ink.bounds.isEmpty());
    EXPECT_LE(colourDistance(ink.darkest, kWhite.overlaidWith(kBlue)), 3) << ink.darkest.toDisplayString(true);
    EXPECT_GT(ink.bounds.getWidth(), 14) << "wider than an i: " << ink.bounds.toString();

    for (int kind : {4, -1, 1000}) EXPECT_TRUE(sameImage(draw(kind), question)) << kind;
    EXPECT_FALSE(sameImage(draw(3), question));
}

}  // namespace
