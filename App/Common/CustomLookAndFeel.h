// The looks of the updater's button, progress bar and language list.
#pragma once

#include "includes.h"

#include <functional>

// Outlined shape with curved corners, a vertical three-stop gradient and a fixed blue gradient while pressed.
class BtnLookAndFeel : public juce::LookAndFeel_V2 {
public:
    BtnLookAndFeel();
    ~BtnLookAndFeel() override;

    void drawButtonBackground(juce::Graphics& g, juce::Button& button, const juce::Colour& backgroundColour,
                              bool isMouseOverButton, bool isButtonDown) override;

    // A negative corner size makes the short sides half circles.
    static void drawBackground(juce::Graphics& g, float x, float y, float width, float height,
                               const juce::Colour& colour, float outlineThickness, float cornerSize,
                               bool isConnectedOnLeft, bool isConnectedOnRight, bool isConnectedOnTop,
                               bool isConnectedOnBottom, bool isPressed);
};

// Background colour of the bar, a grey gradient for the progress and the text in white.
class ProgressLookAndFeel : public juce::LookAndFeel_V2 {
public:
    ProgressLookAndFeel();
    ~ProgressLookAndFeel() override;

    void drawProgressBar(juce::Graphics& g, juce::ProgressBar& progressBar, int width, int height, double progress,
                         const juce::String& textToShow) override;
};

// Pop-up items of the language list: a dark-blue highlight, and each language's name drawn with that
// language's font as the fallback font, so that its script shows whatever the menu font lacks.
class LangLookAndFeel : public juce::LookAndFeel_V2 {
public:
    // Gives a text of the language with the locale index (0 to 11); the owner binds these to the text loader.
    using LocaleText = std::function<juce::String(unsigned int locale)>;

    LangLookAndFeel(LocaleText langName, LocaleText fontName);
    ~LangLookAndFeel() override;

    void drawPopupMenuItem(juce::Graphics& g, const juce::Rectangle<int>& area, bool isSeparator, bool isActive,
                           bool isHighlighted, bool isTicked, bool hasSubMenu, const juce::String& text,
                           const juce::String& shortcutKeyText, const juce::Drawable* icon,
                           const juce::Colour* textColour) override;

private:
    LocaleText m_langName;
    LocaleText m_fontName;
};
