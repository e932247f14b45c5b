// The push button of the updater's window.
#pragma once

#include "CustomLookAndFeel.h"
#include "includes.h"

class AlineButton : public juce::Button {
public:
    explicit AlineButton(const juce::String& name);
    ~AlineButton() override;

    // Repaints even when the text is unchanged, so that font, style and justification set before take effect.
    void setButtonText(const juce::String& text);
    void setAline(const juce::Justification& justification);
    void setFont(const juce::String& typefaceName);
    void setStyle(const int& styleFlags);

    void paintButton(juce::Graphics& g, bool isMouseOverButton, bool isButtonDown) override;

private:
    BtnLookAndFeel* m_lnf;
    juce::Justification m_aline;
    juce::String m_font;
    int m_style;
};
