// The framework started once per test process: components, fonts, looks and the message manager need it; no
// window is opened.
#pragma once

#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

namespace uitest {

class JuceEnvironment : public ::testing::Environment {
public:
    void SetUp() override { m_juce = std::make_unique<juce::ScopedJuceInitialiser_GUI>(); }
    void TearDown() override { m_juce.reset(); }

private:
    std::unique_ptr<juce::ScopedJuceInitialiser_GUI> m_juce;
};

// Inline: registered once however many files of a test program include this.
inline ::testing::Environment* const juceEnvironment = ::testing::AddGlobalTestEnvironment(new JuceEnvironment);

}  // namespace uitest
