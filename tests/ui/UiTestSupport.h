// Helpers of the drawing tests: off-screen rendering and a graphics context that records what is drawn.
#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <vector>

namespace uitest {

// Paints the component and its children into a transparent image of its size.
juce::Image render(juce::Component& component);

// Largest difference between the colour channels (alpha included) of two colours.
int colourDistance(juce::Colour a, juce::Colour b);

// Whether an opaque pixel shows the linear three-stop gradient (stops at 0, 0.5 and 1) somewhere between the
// proportions t0 and t1 (the pixel's row): the renderer may sample a gradient anywhere within a pixel.
bool withinGradient(juce::Colour pixel, juce::Colour top, juce::Colour middle, juce::Colour bottom, double t0,
                    double t1);

// Number of pixels in the rectangle for which the predicate holds.
template <typename Predicate>
int countPixels(const juce::Image& image, juce::Rectangle<int> area, Predicate predicate) {
    int n = 0;
    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
            if (predicate(image.getPixelAt(x, y))) ++n;
    return n;
}

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

    explicit RecordingContext(const juce::Image& image);

    void setFill(const juce::FillType& fill) override;
    void setOpacity(float opacity) override;
    void drawGlyph(int glyphNumber, const juce::AffineTransform& transform) override;

    std::vector<Glyph> glyphs;

private:
    juce::FillType m_fill;
};

}  // namespace uitest
