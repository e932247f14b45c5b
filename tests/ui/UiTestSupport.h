// Helpers of the drawing tests: off-screen rendering that records the fallback font of every glyph, and an image
// comparison.
#pragma once

#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>

#include "JuceEnvironment.h"

namespace uitest {

// Renders like the software renderer and remembers the fallback font name in effect for every glyph drawn.
class RecordingContext : public juce::LowLevelGraphicsSoftwareRenderer {
public:
    using juce::LowLevelGraphicsSoftwareRenderer::LowLevelGraphicsSoftwareRenderer;
    void drawGlyph(int glyphNumber, const juce::AffineTransform& transform) override {
        fallbackFonts.add(juce::Font::getFallbackFontName());
        juce::LowLevelGraphicsSoftwareRenderer::drawGlyph(glyphNumber, transform);
    }
    juce::StringArray fallbackFonts;
};

struct Drawn {
    juce::Image image;
    juce::StringArray fallbackFonts;
};

// Draws onto a transparent image of the size given.
inline Drawn draw(int width, int height, const std::function<void(juce::Graphics&)>& paint) {
    Drawn drawn{juce::Image(juce::Image::ARGB, width, height, true), {}};
    RecordingContext context(drawn.image);
    {
        juce::Graphics g(context);
        paint(g);
    }
    drawn.fallbackFonts = context.fallbackFonts;
    return drawn;
}

// Where two images first differ; empty when they are alike.
inline std::string difference(const juce::Image& a, const juce::Image& b) {
    if (a.getBounds() != b.getBounds()) return "size";
    for (int y = 0; y < a.getHeight(); ++y)
        for (int x = 0; x < a.getWidth(); ++x)
            if (a.getPixelAt(x, y) != b.getPixelAt(x, y))
                return (juce::String(x) + ", " + juce::String(y) + ": " + a.getPixelAt(x, y).toDisplayString(true) +
                        " instead of " + b.getPixelAt(x, y).toDisplayString(true))
                    .toStdString();
    return {};
}

}  // namespace uitest
