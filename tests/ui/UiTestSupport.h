// Helpers of the drawing tests: off-screen rendering that records every glyph, and pixel checks.
#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <vector>

#include "JuceEnvironment.h"

namespace uitest {

// Renders like the software renderer and remembers, for every glyph, the font, the colour, the position and
// the fallback font name in effect at that moment.
class RecordingContext : public juce::LowLevelGraphicsSoftwareRenderer {
public:
    struct Glyph {
        juce::Font font;
        juce::Colour colour;
        juce::Point<float> position;
        juce::String fallbackFontName;
    };
    std::vector<Glyph> glyphs;

    explicit RecordingContext(const juce::Image& image) : juce::LowLevelGraphicsSoftwareRenderer(image) {}
    void setFill(const juce::FillType& fill) override {
        m_fill = fill;
        juce::LowLevelGraphicsSoftwareRenderer::setFill(fill);
    }
    void setOpacity(float opacity) override {
        m_fill.setOpacity(opacity);
        juce::LowLevelGraphicsSoftwareRenderer::setOpacity(opacity);
    }
    void drawGlyph(int glyphNumber, const juce::AffineTransform& transform) override {
        glyphs.push_back({getFont(),
                          m_fill.colour,
                          {transform.getTranslationX(), transform.getTranslationY()},
                          juce::Font::getFallbackFontName()});
        juce::LowLevelGraphicsSoftwareRenderer::drawGlyph(glyphNumber, transform);
    }

private:
    juce::FillType m_fill;
};

struct Drawn {
    juce::Image image;
    std::vector<RecordingContext::Glyph> glyphs;
};

// Draws onto a transparent image of the size given.
inline Drawn draw(int width, int height, const std::function<void(juce::Graphics&)>& paint) {
    Drawn drawn{juce::Image(juce::Image::ARGB, width, height, true), {}};
    RecordingContext context(drawn.image);
    {
        juce::Graphics g(context);
        paint(g);
    }
    drawn.glyphs = context.glyphs;
    return drawn;
}

// The component and its children.
inline Drawn draw(juce::Component& component) {
    return draw(component.getWidth(), component.getHeight(),
                [&](juce::Graphics& g) { component.paintEntireComponent(g, true); });
}

// Number of pixels in the rectangle for which the predicate holds.
template <typename Predicate>
int countPixels(const juce::Image& image, juce::Rectangle<int> area, Predicate predicate) {
    int n = 0;
    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x) n += predicate(image.getPixelAt(x, y)) ? 1 : 0;
    return n;
}

inline bool anyInk(juce::Colour c) { return c.getAlpha() != 0; }

inline bool sameImage(const juce::Image& a, const juce::Image& b) {
    if (a.getBounds() != b.getBounds()) return false;
    for (int y = 0; y < a.getHeight(); ++y)
        for (int x = 0; x < a.getWidth(); ++x)
            if (a.getPixelAt(x, y) != b.getPixelAt(x, y)) return false;
    return true;
}

// Largest difference between the colour channels (alpha included) of two colours.
inline int colourDistance(juce::Colour a, juce::Colour b) {
    const auto d = [](int x, int y) { return std::abs(x - y); };
    return std::max({d(a.getRed(), b.getRed()), d(a.getGreen(), b.getGreen()), d(a.getBlue(), b.getBlue()),
                     d(a.getAlpha(), b.getAlpha())});
}

// Whether an opaque pixel shows the linear gradient with stops at 0, 0.5 and 1 somewhere between the proportions
// t0 and t1 (the pixel's row): the renderer may sample a gradient anywhere within a pixel.
inline bool withinGradient(juce::Colour pixel, juce::Colour top, juce::Colour middle, juce::Colour bottom, double t0,
                           double t1) {
    const auto at = [&](double t) {
        t = juce::jlimit(0.0, 1.0, t);
        return t <= 0.5 ? top.interpolatedWith(middle, (float)(t * 2))
                        : middle.interpolatedWith(bottom, (float)(t * 2 - 1));
    };
    const juce::Colour samples[] = {at(t0), at((t0 + t1) / 2), at(t1)};
    if (pixel.getAlpha() != 255) return false;
    for (const auto channel : {&juce::Colour::getRed, &juce::Colour::getGreen, &juce::Colour::getBlue}) {
        const auto [low, high] =
            std::minmax({(samples[0].*channel)(), (samples[1].*channel)(), (samples[2].*channel)()});
        if ((pixel.*channel)() + 2 < low || (pixel.*channel)() > high + 2) return false;
    }
    return true;
}

}  // namespace uitest
