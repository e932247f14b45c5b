#include "UiTestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <memory>

namespace {

// Components, fonts and looks need the framework's message manager; no window is ever opened.
class JuceEnvironment : public ::testing::Environment {
public:
    void SetUp() override { m_juce = std::make_unique<juce::ScopedJuceInitialiser_GUI>(); }
    void TearDown() override { m_juce.reset(); }

private:
    std::unique_ptr<juce::ScopedJuceInitialiser_GUI> m_juce;
};

[[maybe_unused]] ::testing::Environment* const juceEnvironment =
    ::testing::AddGlobalTestEnvironment(new JuceEnvironment);

juce::Colour gradientAt(juce::Colour top, juce::Colour middle, juce::Colour bottom, double t) {
    t = juce::jlimit(0.0, 1.0, t);
    if (t <= 0.5) return top.interpolatedWith(middle, (float)(t / 0.5));
    return middle.interpolatedWith(bottom, (float)((t - 0.5) / 0.5));
}

}  // namespace

namespace uitest {

juce::Image render(juce::Component& component) {
    juce::Image image(juce::Image::ARGB, component.getWidth(), component.getHeight(), true);
    juce::Graphics g(image);
    component.paintEntireComponent(g, true);
    return image;
}

int colourDistance(juce::Colour a, juce::Colour b) {
    const int dr = std::abs((int)a.getRed() - (int)b.getRed());
    const int dg = std::abs((int)a.getGreen() - (int)b.getGreen());
    const int db = std::abs((int)a.getBlue() - (int)b.getBlue());
    const int da = std::abs((int)a.getAlpha() - (int)b.getAlpha());
    return std::max(std::max(dr, dg), std::max(db, da));
}

bool withinGradient(juce::Colour pixel, juce::Colour top, juce::Colour middle, juce::Colour bottom, double t0,
                    double t1) {
    constexpr int slack = 2;
    const juce::Colour samples[] = {gradientAt(top, middle, bottom, t0),
                                    gradientAt(top, middle, bottom, (t0 + t1) / 2.0),
                                    gradientAt(top, middle, bottom, t1)};
    const auto channels = [](juce::Colour c) {
        return std::array<int, 3>{(int)c.getRed(), (int)c.getGreen(), (int)c.getBlue()};
    };
    if (pixel.getAlpha() != 255) return false;
    const auto value = channels(pixel);
    for (size_t i = 0; i < 3; ++i) {
        int low = 255, high = 0;
        for (const auto& sample : samples) {
            low = std::min(low, channels(sample)[i]);
            high = std::max(high, channels(sample)[i]);
        }
        if (value[i] < low - slack || value[i] > high + slack) return false;
    }
    return true;
}

RecordingContext::RecordingContext(const juce::Image& image) : juce::LowLevelGraphicsSoftwareRenderer(image) {}

void RecordingContext::setFill(const juce::FillType& fill) {
    m_fill = fill;
    juce::LowLevelGraphicsSoftwareRenderer::setFill(fill);
}

void RecordingContext::setOpacity(float opacity) {
    m_fill.setOpacity(opacity);
    juce::LowLevelGraphicsSoftwareRenderer::setOpacity(opacity);
}

void RecordingContext::drawGlyph(int glyphNumber, const juce::AffineTransform& transform) {
    glyphs.push_back({getFont(),
                      m_fill.colour,
                      {transform.getTranslationX(), transform.getTranslationY()},
                      juce::Font::getFallbackFontName()});
    juce::LowLevelGraphicsSoftwareRenderer::drawGlyph(glyphNumber, transform);
}

}  // namespace uitest
