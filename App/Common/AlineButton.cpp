#include "AlineButton.h"

AlineButton::AlineButton(const juce::String& name)
    : juce::Button(name),
      m_lnf(nullptr),
      m_aline(juce::Justification::centred),
      m_font(juce::Font::getDefaultSansSerifFontName()),
      m_style(juce::Font::plain) {
    m_lnf = new BtnLookAndFeel();
    setLookAndFeel(m_lnf);
    setColour(juce::TextButton::buttonColourId, juce::Colours::black);
    setColour(juce::TextButton::buttonOnColourId, juce::Colours::black);
}

AlineButton::~AlineButton() {
    if (m_lnf != nullptr) {
        // A look may not be deleted while a component still refers to it.
        setLookAndFeel(nullptr);
        delete m_lnf;
        m_lnf = nullptr;
    }
}

void AlineButton::setButtonText(const juce::String& text) {
    if (text == getButtonText())
        repaint();
    else
        juce::Button::setButtonText(text);
}

void AlineButton::setAline(const juce::Justification& justification) { m_aline = justification; }

void AlineButton::setFont(const juce::String& typefaceName) { m_font = typefaceName; }

void AlineButton::setStyle(const int& styleFlags) { m_style = styleFlags; }

void AlineButton::paintButton(juce::Graphics& g, bool isMouseOverButton, bool isButtonDown) {
    juce::LookAndFeel& lnf = getLookAndFeel();
    const juce::Colour fill =
        findColour(getToggleState() ? juce::TextButton::buttonOnColourId : juce::TextButton::buttonColourId, false);
    lnf.drawButtonBackground(g, *this, fill, isMouseOverButton, isButtonDown);

    g.setFont(juce::Font(m_font, juce::jmin(13.0f, (float)getHeight() * 0.8f), m_style));
    g.setColour(juce::Colour(0xFF101010));
    g.drawFittedText(getButtonText(), 4, 4, getWidth() - 8, getHeight() - 8, m_aline, 1, 0.7f);
}
