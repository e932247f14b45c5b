// Every screen in every language at the sizes the window gives the component, and the icons drawn beside them.
#include <gtest/gtest.h>
#include <ktrplatform/SystemFonts.h>

#include <cmath>
#include <memory>
#include <tuple>
#include <vector>

#include "ImageLoader.h"
#include "MainComponent.h"
#include "Table.h"
#include "TxtLoader.h"
#include "UiTestSupport.h"

struct MainComponentTestAccess {
    static void show(MainComponent& c, int state, int fileValid, int deviceVersion, int fileVersion) {
        c.m_state = state;
        c.m_fileValid = fileValid;
        c.m_deviceVersion = deviceVersion;
        c.m_fileVersion = fileVersion;
        c.updateCtrl();
    }
    static juce::ComboBox& langs(MainComponent& c) { return *c.m_langs; }
    static juce::ProgressBar& progressBar(MainComponent& c) { return *c.m_progressBar; }
    static AlineButton& button(MainComponent& c, int i) { return i == 0 ? *c.m_okButton : *c.m_cancelButton; }
};

namespace {

using Access = MainComponentTestAccess;

enum class Screen { Language, FileError, NotConnected, Ready, Updating, Complete, Error };

struct ScreenCase {
    Screen screen;
    int state, fileValid;
    const char* deviceVersion = "0.07";  // as shown; the component gets it in hundredths
    const char* fileVersion = "1.05";
};

// The update-file error overrides every state but the language choice; a validity of 2 names the program itself as
// the device, multi-byte in most languages.
// clang-format off
const ScreenCase kScreens[] = {
    {Screen::Language, 0, 1}, {Screen::Language, 0, 0}, {Screen::FileError, 1, 0}, {Screen::FileError, 2, 0},
    {Screen::FileError, 4, 0}, {Screen::FileError, 5, 0}, {Screen::NotConnected, 1, 1}, {Screen::Ready, 2, 1},
    {Screen::Updating, 3, 1}, {Screen::Complete, 4, 1}, {Screen::Error, 5, 1},
    {Screen::Ready, 2, 2}, {Screen::Updating, 3, 2}, {Screen::Complete, 4, 2},
    {Screen::Ready, 2, 1, "2.10", "0.07"}, {Screen::Ready, 2, 1, "10.00", "0.99"}, {Screen::Ready, 2, 1, "0.00", "1.00"},
};
// clang-format on

// Text index of the first and the second button on each screen: negative in the left slot, 0 hidden.
const int kButtons[][2] = {{4, -6}, {0, 4}, {0, 7}, {5, -7}, {0, 0}, {0, 4}, {0, 4}};

struct Size {
    int width, height;
    juce::Rectangle<int> strip;  // language list and progress bar
    juce::Point<int> right, left;
};

void PrintTo(const Size& size, std::ostream* os) { *os << size.width << "x" << size.height; }

// As the component asks, as this platform's window gives it, and as a larger window gives it.
const Size kSizes[] = {{420, 170, {20, 75, 380, 20}, {300, 130}, {190, 130}},
                       {422, 172, {20, 76, 382, 20}, {302, 132}, {192, 132}},
                       {426, 176, {20, 78, 386, 20}, {306, 136}, {196, 136}}};

const juce::String& text(int index) { return TxtLoader::getInstance()->getString(static_cast<unsigned int>(index)); }

// Puts the arguments in place of the "%s" (or "% s") placeholders, in order.
juce::String fill(juce::String format, const std::vector<juce::String>& args) {
    format = format.replace("% s", "%s");
    for (const juce::String& arg : args) format = format.replaceFirstOccurrenceOf("%s", arg);
    return format;
}

// The text of a screen as the layout rules place it.
juce::GlyphArrangement expectedText(const ScreenCase& s, int locale, float W, float H) {
    juce::GlyphArrangement g;
    const juce::String font = TxtLoader::getInstance()->getFont();
    const float fh = locale == 8 || locale == 9 || locale == 11 ? 10.0f : 13.0f;
    const auto add = [&](const juce::String& t, float x, float y, float w, float h, int lines, float size, bool bold) {
        g.addFittedText(juce::Font(font, size, bold ? juce::Font::bold : juce::Font::plain), t, x, y, w, h,
                        juce::Justification::topLeft, lines, 0.7f);
    };
    // A box down to the bottom, with as many lines as fit.
    const auto block = [&](const juce::String& t, float x, float y, float w, float size = 13, bool bold = false) {
        add(t, x, y, w, H - y, (int)((H - y) / 13), size, bold);
    };
    const auto below = [&] { return g.getGlyph(g.getNumGlyphs() - 1).getBounds().getBottom(); };
    const juce::String device = text(s.fileValid + 1);
    // Chinese, Korean and Japanese put the device after the two button names.
    const auto withButtons = [&](int index) {
        return locale >= 8 ? fill(text(index), {"MONO SPLIT ON/OFF", "MARBLETAP", device})
                           : fill(text(index), {device, "MONO SPLIT ON/OFF", "MARBLETAP"});
    };
    const int modeLines = locale == 0 ? 2 : 3;
    const auto steps = [&](bool headline) {
        if (headline) add(fill(text(20), {device}), 105, 20, W - 120, 16, 1, 13, true);
        const int connectLines = locale == 2 || locale == 4 ? 2 : 1;
        add(fill(text(21), {device}), 105, 36, W - 120, 32, connectLines, fh, false);
        const float y = 36 + fh * connectLines + 3;
        add(withButtons(22), 105, y, W - 120, 16.0f * modeLines, modeLines, fh, false);
        add(text(23), 105, y + fh * modeLines + 3, W - 120, 16, 1, fh, false);
    };
    const auto headed = [&](const juce::String& heading, const juce::String& body) {
        block(heading + "\n\n", 20, 20, W - 40, 13, true);
        block(body, 40, below(), W - 60);
    };
    if (s.screen == Screen::Language) headed(text(8), text(9));
    if (s.screen == Screen::Updating) headed(fill(text(15), {device}), text(16));
    if (s.screen == Screen::FileError) block(text(10), 105, 20, W - 125);
    if (s.screen == Screen::Complete) block(fill(text(17), {device}), 20, 20, W - 40);
    if (s.screen == Screen::NotConnected) steps(true);
    if (s.screen == Screen::Error) {
        block(text(18) + "\n", 105, 20, W - 125);
        steps(false);
    }
    if (s.screen == Screen::Ready) {
        block(fill(text(12), {device}) + "\n\n", 20, 20, W - 40, 13, true);
        add(withButtons(24), 40, locale == 6 ? 51 : 36, W - 60, 16.0f * modeLines, modeLines, fh, false);
        block(text(13).replace("%d.%02d", s.deviceVersion) + "\n" + text(14).replace("%d.%02d", s.fileVersion), 60,
              below() + 5, W - 60, fh);
    }
    return g;
}

void checkWidgets(MainComponent& c, Screen screen, int locale, const Size& size) {
    EXPECT_EQ(Access::langs(c).isVisible(), screen == Screen::Language);
    EXPECT_EQ(Access::progressBar(c).isVisible(), screen == Screen::Updating);
    EXPECT_EQ(Access::langs(c).getBounds(), size.strip);
    EXPECT_EQ(Access::progressBar(c).getBounds(), size.strip);
    EXPECT_TRUE(screen != Screen::Language || Access::langs(c).getSelectedId() == locale + 1);
    for (int i = 0; i < 2; ++i) {
        const int expected = kButtons[static_cast<int>(screen)][i];
        const AlineButton& button = Access::button(c, i);
        EXPECT_EQ(button.isVisible(), expected != 0) << "button " << i;
        if (expected == 0) continue;
        const juce::Point<int> at = expected > 0 ? size.right : size.left;
        EXPECT_EQ(button.getButtonText(), text(std::abs(expected))) << "button " << i;
        EXPECT_EQ(button.getBounds(), juce::Rectangle<int>(at.x, at.y, 100, 20)) << "button " << i;
    }
}

// Without the application's fonts the program's macOS family names match no face here, and every glyph would be
// empty. A fresh main component, 420 x 170 as it starts, in a window's place, for each case.
class Screens : public ::testing::TestWithParam<std::tuple<int, Size>> {
protected:
    static void SetUpTestSuite() {
        ktrplatform::installSystemFonts([] {
            const TxtLoader* txt = TxtLoader::existingInstance();
            const unsigned int locale = txt != nullptr ? txt->getLocale() : 0;
            return langList[locale < TxtLoader::kLocaleCount ? locale : 0].m_code;
        });
    }
    static void TearDownTestSuite() { ktrplatform::uninstallSystemFonts(); }
    void SetUp() override { window.addChildComponent(component.get()); }
    void TearDown() override { window.removeChildComponent(component.get()); }

    juce::Component window;
    std::unique_ptr<MainComponent> component = std::make_unique<MainComponent>();
};

// The text, the background and the warning icon scaled into (20, 15, 64, 64) where the screen has it, pixel for
// pixel as the layout rules draw them; the widgets by their state; the title in the current language.
TEST_P(Screens, TextWidgetsAndPaint) {
    const auto& [locale, size] = GetParam();
    // As the user picks a language from the list.
    Access::langs(*component).setSelectedId(locale + 1, juce::sendNotificationSync);
    ASSERT_EQ(TxtLoader::getInstance()->getLocale(), static_cast<unsigned int>(locale));
    component->setSize(size.width, size.height);
    const juce::Image icon = ImageLoader::getInstance()->getImage(0);
    const auto hundredths = [](const char* v) { return (int)std::lround(juce::String(v).getDoubleValue() * 100); };
    for (const ScreenCase& s : kScreens) {
        SCOPED_TRACE(::testing::Message() << "state " << s.state << ", file " << s.fileValid << ", versions "
                                          << s.deviceVersion << " " << s.fileVersion);
        Access::show(*component, s.state, s.fileValid, hundredths(s.deviceVersion), hundredths(s.fileVersion));
        EXPECT_EQ(window.getName(), text(3));
        checkWidgets(*component, s.screen, locale, size);
        const juce::GlyphArrangement glyphs =
            expectedText(s, locale, static_cast<float>(size.width), static_cast<float>(size.height));
        const bool warning =
            s.screen == Screen::FileError || s.screen == Screen::NotConnected || s.screen == Screen::Error;
        const juce::Image expected = uitest::draw(size.width, size.height, [&](juce::Graphics& g) {
                                         g.fillAll(juce::Colour(234, 234, 234));
                                         if (warning) g.drawImage(icon, 20, 15, 64, 64, 0, 0, 56, 55);
                                         g.setColour(juce::Colours::black);
                                         glyphs.draw(g);
                                     }).image;
        const juce::Image shown =
            uitest::draw(size.width, size.height, [&](juce::Graphics& g) { component->paint(g); }).image;
        EXPECT_EQ(uitest::difference(shown, expected), "");
    }
}

INSTANTIATE_TEST_SUITE_P(AllLanguages, Screens,
                         ::testing::Combine(::testing::Range(0, 12), ::testing::ValuesIn(kSizes)),
                         [](const auto& info) {
                             return langList[std::get<0>(info.param)].m_code.replace("-", "").toStdString() + "_" +
                                    std::to_string(std::get<1>(info.param).height);
                         });

// The icons, drawn on a canvas larger than their box (20, 15, 64, 64) so that anything outside it shows: a rounded
// warning triangle with "!" set lower, an information circle with "i", a question circle with "?" for any other kind.
TEST(Icons, EveryKind) {
    MainComponent component;
    for (int kind : {0, 1, 2, 3, 4, -1, 1000}) {
        const juce::Image expected =
            uitest::draw(110, 100, [&](juce::Graphics& g) {
                if (kind == 0) return;
                juce::Path shape;
                if (kind == 2) shape.addTriangle(52, 15, 84, 79, 20, 79);
                shape = kind == 2 ? shape.createPathWithRoundedCorners(5) : shape;
                if (kind != 2) shape.addEllipse(20, 15, 64, 64);
                g.setColour(juce::Colour(kind == 2 ? 0x99FFFF00 : 0x99FFFFFF));
                g.fillPath(shape);
                g.setColour(juce::Colour(0x99000000));
                g.strokePath(shape, juce::PathStrokeType(4));
                g.setColour(juce::Colour(kind == 2 ? 0x99000000 : 0x990000FF));
                g.setFont(juce::Font(57.6f, juce::Font::bold));
                const char* mark = kind == 2 ? "!" : kind == 3 ? "i" : "?";
                g.drawFittedText(mark, 20, kind == 2 ? 22 : 15, 64, 64, juce::Justification::centred, 0, 0.7f);
            }).image;
        const juce::Image shown = uitest::draw(110, 100, [&](juce::Graphics& g) { component.drawIcon(g, kind); }).image;
        EXPECT_EQ(uitest::difference(shown, expected), "") << kind;
    }
}

}  // namespace
