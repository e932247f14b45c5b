// The main component's private fields, for the screen tests, and the fonts the application runs with.
#pragma once

#include <gtest/gtest.h>
#include <ktrplatform/SystemFonts.h>

#include <memory>

#include "MainComponent.h"
#include "Table.h"
#include "TxtLoader.h"

struct MainComponentTestAccess {
    static int& state(MainComponent& c) { return c.m_state; }
    static int& fileValid(MainComponent& c) { return c.m_fileValid; }
    static int& fileVersion(MainComponent& c) { return c.m_fileVersion; }
    static int& deviceVersion(MainComponent& c) { return c.m_deviceVersion; }
    // Not const: the framework gives glyphs out of a non-const arrangement only.
    static juce::GlyphArrangement& glyphs(MainComponent& c) { return c.m_glyphs; }
    static juce::ComboBox& langs(MainComponent& c) { return *c.m_langs; }
    static juce::ProgressBar& progressBar(MainComponent& c) { return *c.m_progressBar; }
    static AlineButton& okButton(MainComponent& c) { return *c.m_okButton; }
    static AlineButton& cancelButton(MainComponent& c) { return *c.m_cancelButton; }
};

namespace screentest {

// Without them the program's macOS family names match no face here, and every glyph would be empty.
inline void installProgramFonts() {
    ktrplatform::installSystemFonts([] {
        const TxtLoader* txt = TxtLoader::existingInstance();
        const unsigned int locale = txt != nullptr ? txt->getLocale() : 0;
        return langList[locale < TxtLoader::kLocaleCount ? locale : 0].m_code;
    });
}

// A fresh main component for each case, with the application's fonts for the whole suite.
template <typename Base = ::testing::Test>
class WithMainComponent : public Base {
protected:
    static void SetUpTestSuite() { installProgramFonts(); }
    static void TearDownTestSuite() { ktrplatform::uninstallSystemFonts(); }
    void SetUp() override { component = std::make_unique<MainComponent>(); }
    void TearDown() override { component.reset(); }

    std::unique_ptr<MainComponent> component;
};

}  // namespace screentest
