#include "CustomLookAndFeel.h"

namespace {

constexpr unsigned int kLocaleCount = 12;

// Arcs join the current sub-path, so the outline is one closed shape; angles run clockwise from twelve o'clock.
void createRoundedPath(juce::Path& path, float x, float y, float w, float h, float cs, bool curveTopLeft,
                       bool curveTopRight, bool curveBottomLeft, bool curveBottomRight) {
    const float cs2 = 2.0f * cs;
    const float pi = juce::MathConstants<float>::pi;

    if (curveTopLeft) {
        path.startNewSubPath(x, y + cs);
        path.addArc(x, y, cs2, cs2, pi * 1.5f, pi * 2.0f);
    } else {
        path.startNewSubPath(x, y);
    }

    if (curveTopRight) {
        path.lineTo(x + w - cs, y);
        path.addArc(x + w - cs2, y, cs2, cs2, 0.0f, pi * 0.5f);
    } else {
        path.lineTo(x + w, y);
    }

    if (curveBottomRight) {
        path.lineTo(x + w, y + h - cs);
        path.addArc(x + w - cs2, y + h - cs2, cs2, cs2, pi * 0.5f, pi);
    } else {
        path.lineTo(x + w, y + h);
    }

    if (curveBottomLeft) {
        path.lineTo(x + cs, y + h);
        path.addArc(x, y + h - cs2, cs2, cs2, pi, pi * 1.5f);
    } else {
        path.lineTo(x, y + h);
    }

    path.closeSubPath();
}

}  // namespace

BtnLookAndFeel::BtnLookAndFeel() {}

BtnLookAndFeel::~BtnLookAndFeel() {}

void BtnLookAndFeel::drawButtonBackground(juce::Graphics& g, juce::Button& button, const juce::Colour& backgroundColour,
                                          bool /*isMouseOverButton*/, bool isButtonDown) {
    const int width = button.getWidth();
    const int height = button.getHeight();
    const float outlineThickness = 1.0f;

    // A side that touches a neighbour keeps almost no inset, so that the outlines of the two meet.
    const float leftIndent = button.isConnectedOnLeft() ? 0.1f : 0.5f;
    const float rightIndent = button.isConnectedOnRight() ? 0.1f : 0.5f;
    const float topIndent = button.isConnectedOnTop() ? 0.1f : 0.5f;
    const float bottomIndent = button.isConnectedOnBottom() ? 0.1f : 0.5f;

    drawBackground(g, leftIndent, topIndent, (float)width - leftIndent - rightIndent,
                   (float)height - topIndent - bottomIndent, backgroundColour, outlineThickness, -1.0f,
                   button.isConnectedOnLeft(), button.isConnectedOnRight(), button.isConnectedOnTop(),
                   button.isConnectedOnBottom(), isButtonDown);
}

void BtnLookAndFeel::drawBackground(juce::Graphics& g, float x, float y, float width, float height,
                                    const juce::Colour& colour, float outlineThickness, float cornerSize,
                                    bool isConnectedOnLeft, bool isConnectedOnRight, bool isConnectedOnTop,
                                    bool isConnectedOnBottom, bool isPressed) {
    if (width <= outlineThickness || height <= outlineThickness) return;

    const float cs = cornerSize >= 0.0f ? cornerSize : juce::jmin(width * 0.5f, height * 0.5f);

    juce::Path outline;
    createRoundedPath(outline, x, y, width, height, cs, !(isConnectedOnLeft || isConnectedOnTop),
                      !(isConnectedOnRight || isConnectedOnTop), !(isConnectedOnLeft || isConnectedOnBottom),
                      !(isConnectedOnRight || isConnectedOnBottom));

    const juce::Colour top = isPressed ? juce::Colour(0xFFB9C8F0) : juce::Colours::white;
    const juce::Colour middle = isPressed ? juce::Colour(0xFF529CE7) : colour.darker(0.2f);
    const juce::Colour bottom = isPressed ? juce::Colour(0xFF8CDEFD) : juce::Colours::white;

    juce::ColourGradient gradient(top, 0.0f, y, bottom, 0.0f, y + height, false);
    gradient.addColour(0.5, middle);
    g.setGradientFill(gradient);
    g.fillPath(outline);

    g.setColour(colour.darker(0.7f));
    g.strokePath(outline,
                 juce::PathStrokeType(outlineThickness, juce::PathStrokeType::mitered, juce::PathStrokeType::butt));
}

ProgressLookAndFeel::ProgressLookAndFeel() {}

ProgressLookAndFeel::~ProgressLookAndFeel() {}

void ProgressLookAndFeel::drawProgressBar(juce::Graphics& g, juce::ProgressBar& progressBar, int width, int height,
                                          double progress, const juce::String& textToShow) {
    g.setColour(progressBar.findColour(juce::ProgressBar::backgroundColourId, false));
    g.fillRect(0, 0, width, height);

    // The gradient ends two rows above the bar's lower edge; those rows take the end colour.
    juce::ColourGradient gradient(juce::Colour(0xFFA7A7A7), 2.0f, 2.0f, juce::Colour(0xFF6C6C6C), 2.0f,
                                  (float)(height - 4), false);
    gradient.addColour(0.5, juce::Colour(0xFF646464));
    g.setGradientFill(gradient);

    // Guarding the upper limit keeps a bar narrower than its margins from inverting the range.
    const double fullWidth = (double)juce::jmax(0, width - 4);
    const double barWidth = juce::jlimit(0.0, fullWidth, progress * (double)(width - 4));
    g.fillRect(juce::Rectangle<float>(2.0f, 2.0f, (float)barWidth, (float)(height - 4)));

    if (textToShow.isNotEmpty()) {
        g.setColour(juce::Colours::white);
        juce::Font font(g.getCurrentFont());
        font.setSizeAndStyle((float)height * 0.8f, juce::Font::plain, 1.0f, 0.0f);
        g.setFont(font);
        g.drawText(textToShow, 0, 0, width, height, juce::Justification::centred, false);
    }
}

LangLookAndFeel::LangLookAndFeel(LocaleText langName, LocaleText fontName)
    : m_langName(std::move(langName)), m_fontName(std::move(fontName)) {}

LangLookAndFeel::~LangLookAndFeel() {}

void LangLookAndFeel::drawPopupMenuItem(juce::Graphics& g, const juce::Rectangle<int>& area, bool isSeparator,
                                        bool isActive, bool isHighlighted, bool isTicked, bool hasSubMenu,
                                        const juce::String& text, const juce::String& shortcutKeyText,
                                        const juce::Drawable* icon, const juce::Colour* textColour) {
    // Everything below is laid out from the item's top-left corner.
    const juce::Graphics::ScopedSaveState savedState(g);
    g.setOrigin(area.getPosition());

    const int width = area.getWidth();
    const int height = area.getHeight();
    const float halfH = (float)height * 0.5f;

    if (isSeparator) {
        g.setColour(juce::Colour(0x33000000));
        g.drawLine(5.5f, halfH, (float)width - 5.5f, halfH);
        g.setColour(juce::Colour(0x66FFFFFF));
        g.drawLine(5.5f, halfH + 1.0f, (float)width - 5.5f, halfH + 1.0f);
        return;
    }

    const juce::Colour itemColour = textColour != nullptr ? *textColour : findColour(juce::PopupMenu::textColourId);

    if (isHighlighted) {
        g.setColour(juce::Colour(0xFF000040));
        g.fillRect(1, 1, width - 2, height - 2);
        g.setColour(findColour(juce::PopupMenu::highlightedTextColourId));
    } else {
        g.setColour(itemColour);
    }

    if (!isActive) g.setOpacity(0.3f);

    // The fallback font is process-wide: it holds the item's language font only while this item draws.
    const juce::String savedFallback = juce::Font::getFallbackFontName();
    if (m_langName && m_fontName) {
        for (unsigned int locale = 0; locale < kLocaleCount; ++locale) {
            if (text.equalsIgnoreCase(m_langName(locale))) {
                juce::Font::setFallbackFontName(m_fontName(locale));
                break;
            }
        }
    }

    juce::Font font(getPopupMenuFont());
    if (font.getHeight() > (float)height / 1.3f) font.setHeight((float)height / 1.3f);
    g.setFont(font);

    const int leftBorder = (height * 5) / 4;
    const int rightBorder = 4;

    if (icon != nullptr) {
        icon->drawWithin(
            g, juce::Rectangle<int>(2, 1, leftBorder - 4, height - 2).toFloat(),
            juce::RectanglePlacement(juce::RectanglePlacement::centred | juce::RectanglePlacement::onlyReduceInSize),
            1.0f);
    } else if (isTicked) {
        const juce::Path tick(getTickShape(1.0f));
        const float th = font.getAscent();
        const float ty = halfH - th * 0.5f;
        g.fillPath(tick, tick.getTransformToScaleToFit(2.0f, ty, (float)(leftBorder - 4), th, true,
                                                       juce::Justification::centred));
    }

    g.drawFittedText(text, leftBorder, 0, width - (leftBorder + rightBorder), height, juce::Justification::centredLeft,
                     1, 0.7f);

    if (shortcutKeyText.isNotEmpty()) {
        juce::Font shortcutFont(g.getCurrentFont());
        shortcutFont.setHeight(shortcutFont.getHeight() * 0.75f);
        shortcutFont.setHorizontalScale(0.95f);
        g.setFont(shortcutFont);
        g.drawText(shortcutKeyText, leftBorder, 0, width - (leftBorder + 8), height, juce::Justification::centredRight,
                   true);
    }

    if (hasSubMenu) {
        const float arrowH = 0.6f * getPopupMenuFont().getAscent();
        const float x = (float)width - (float)height * 0.6f;

        juce::Path arrow;
        arrow.addTriangle(x, halfH - arrowH * 0.5f, x, halfH + arrowH * 0.5f, x + arrowH * 0.6f, halfH);
        g.fillPath(arrow);
    }

    juce::Font::setFallbackFontName(savedFallback);
}
