// The screens of every state in every language at both window sizes, and the icons drawn beside them.
#include <gtest/gtest.h>
#include <ktrplatform/SystemFonts.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "ImageLoader.h"
#include "MainComponent.h"
#include "Table.h"
#include "TxtLoader.h"
#include "UiTestSupport.h"

struct MainComponentTestAccess {
    static void show(MainComponent& c, int state, int fileValid, int deviceVersion = 7, int fileVersion = 105) {
        c.m_state = state;
        c.m_fileValid = fileValid;
        c.m_deviceVersion = deviceVersion;
        c.m_fileVersion = fileVersion;
        c.updateCtrl();
    }
    // Not const: the framework gives glyphs out of a non-const arrangement only.
    static juce::GlyphArrangement& glyphs(MainComponent& c) { return c.m_glyphs; }
    static juce::ComboBox& langs(MainComponent& c) { return *c.m_langs; }
    static juce::ProgressBar& progressBar(MainComponent& c) { return *c.m_progressBar; }
    static AlineButton& button(MainComponent& c, int i) { return i == 0 ? *c.m_okButton : *c.m_cancelButton; }
};

namespace {

using Access = MainComponentTestAccess;
using uitest::colourDistance;

const juce::Colour kBackground(234, 234, 234);
const char* const kFirstLabel = "MONO SPLIT ON/OFF";
const char* const kSecondLabel = "MARBLETAP";

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

const Size kSizes[] = {{420, 170, {20, 75, 380, 20}, {300, 130}, {190, 130}},
                       {426, 176, {20, 78, 386, 20}, {306, 136}, {196, 136}}};

const juce::String& text(int index) { return TxtLoader::getInstance()->getString(static_cast<unsigned int>(index)); }

// Puts the arguments in place of the "%s" (or "% s") placeholders, in order.
juce::String fill(const juce::String& format, const std::vector<juce::String>& args) {
    juce::String out;
    size_t next = 0;
    for (int i = 0; i < format.length(); ++i) {
        const int s = format[i + 1] == ' ' ? i + 2 : i + 1;
        if (format[i] == '%' && next < args.size() && s < format.length() && format[s] == 's') {
            out += args[next++];
            i = s;
        } else {
            out += juce::String::charToString(format[i]);
        }
    }
    return out;
}

// What a text block must look like.
struct Block {
    juce::String text;
    float x, width;
    float top;  // or, with `follows`, the gap below the glyph before the block
    bool follows = false;
    float boxHeight = 0;  // 0: down to the component's bottom
    int maxLines = 0;     // 0: as many as fit
    float glyphHeight = 13;
    bool bold = false;
};

std::vector<Block> expectedBlocks(const ScreenCase& s, int locale, float W) {
    const bool smallScript = locale == 8 || locale == 9 || locale == 11;
    const float fh = smallScript ? 10.0f : 13.0f;
    const juce::String device = text(s.fileValid + 1);
    // Chinese, Korean and Japanese put the device after the two button names.
    const auto withButtons = [&](int index) {
        return locale >= 8 ? fill(text(index), {kFirstLabel, kSecondLabel, device})
                           : fill(text(index), {device, kFirstLabel, kSecondLabel});
    };
    const auto instructions = [&](bool headline) {
        std::array<float, 4> tops{20, 36, 52, 94};
        if (locale == 0) tops = {20, 36, 52, 81};
        if (locale == 2 || locale == 4) tops = {20, 36, 65, 107};
        if (smallScript) tops = {20, 36, 49, 82};
        const int connectLines = locale == 2 || locale == 4 ? 2 : 1, modeLines = locale == 0 ? 2 : 3;
        std::vector<Block> b;
        if (headline) b.push_back({fill(text(20), {device}), 105, W - 120, tops[0], false, 16, 1, 13, true});
        b.push_back({fill(text(21), {device}), 105, W - 120, tops[1], false, 32, connectLines, fh});
        b.push_back({withButtons(22), 105, W - 120, tops[2], false, 16.0f * modeLines, modeLines, fh});
        b.push_back({text(23), 105, W - 120, tops[3], false, 16, 1, fh});
        return b;
    };

    switch (s.screen) {
        case Screen::Language:
            return {{text(8) + "\n\n", 20, W - 40, 20, false, 0, 0, 13, true}, {text(9), 40, W - 60, 0, true}};
        case Screen::FileError:
            return {{text(10), 105, W - 125, 20}};
        case Screen::NotConnected:
            return instructions(true);
        case Screen::Ready: {
            const int lines = locale == 0 ? 2 : 3;
            const juce::String versions =
                text(13).replace("%d.%02d", s.deviceVersion) + "\n" + text(14).replace("%d.%02d", s.fileVersion);
            return {{fill(text(12), {device}) + "\n\n", 20, W - 40, 20, false, 0, 0, 13, true},
                    {withButtons(24), 40, W - 60, locale == 6 ? 51.0f : 36.0f, false, 16.0f * lines, lines, fh},
                    {versions, 60, W - 60, 5, true, 0, 0, fh}};
        }
        case Screen::Updating:
            return {{fill(text(15), {device}) + "\n\n", 20, W - 40, 20, false, 0, 0, 13, true},
                    {text(16), 40, W - 60, 0, true}};
        case Screen::Complete:
            return {{fill(text(17), {device}), 20, W - 40, 20}};
        case Screen::Error: {
            std::vector<Block> b = instructions(false);
            b.insert(b.begin(), {text(18) + "\n", 105, W - 125, 20});
            return b;
        }
    }
    return {};
}

bool isSpace(juce::juce_wchar c) {
    return juce::CharacterFunctions::isWhitespace(c) || c == 0x00a0 || c == 0x2007 || c == 0x202f || c == 0x2060;
}

juce::String shown(juce::juce_wchar c) { return c == '\n' ? juce::String("\\n") : juce::String::charToString(c); }

// The indices of each block's visible glyphs. Blocks come in order, character for character; only whitespace may
// go missing, as it does at line breaks.
std::vector<std::vector<int>> segment(juce::GlyphArrangement& glyphs, const std::vector<Block>& blocks) {
    std::vector<std::vector<int>> result;
    const int n = glyphs.getNumGlyphs();
    int g = 0;
    for (size_t k = 0; k < blocks.size(); ++k) {
        std::vector<int> indices;
        const juce::String& t = blocks[k].text;
        for (int i = 0; i < t.length(); ++i) {
            if (isSpace(t[i])) continue;
            while (g < n && glyphs.getGlyph(g).isWhitespace()) ++g;
            if (g >= n || glyphs.getGlyph(g).getCharacter() != t[i]) {
                ADD_FAILURE() << "block " << k << " \"" << t << "\": character " << i << " '" << shown(t[i]) << "' is "
                              << (g >= n ? "missing" : "'" + shown(glyphs.getGlyph(g).getCharacter()) + "'");
                return {};
            }
            indices.push_back(g++);
        }
        if (indices.empty()) {
            ADD_FAILURE() << "block " << k << " has no visible text";
            return {};
        }
        result.push_back(indices);
    }
    for (; g < n; ++g)
        if (!glyphs.getGlyph(g).isWhitespace()) {
            ADD_FAILURE() << "glyph " << g << " '" << shown(glyphs.getGlyph(g).getCharacter())
                          << "' belongs to no block";
            return {};
        }
    return result;
}

// Collects the first few faults of a block, so that one broken block does not flood the output.
struct Faults {
    std::string list;
    int count = 0;
    template <typename... T>
    void check(bool ok, const T&... what) {
        if (ok || ++count > 6) return;
        std::ostringstream s;
        s << "\n  ";
        (s << ... << what);
        list += s.str();
    }
};

void checkLayout(juce::GlyphArrangement& glyphs, const std::vector<Block>& blocks,
                 const std::vector<std::vector<int>>& segments, float H) {
    constexpr float eps = 0.01f;
    for (size_t k = 0; k < blocks.size(); ++k) {
        const Block& b = blocks[k];
        Faults faults;
        const float top = glyphs.getGlyph(segments[k].front()).getTop();
        const float expectedTop = b.follows ? glyphs.getGlyph(segments[k].front() - 1).getBottom() + b.top : b.top;
        faults.check(std::abs(top - expectedTop) < eps, "top ", top, ", expected ", expectedTop);
        float bottom = 0;
        std::map<long, float> lines;  // baseline in hundredths -> left edge
        for (int i : segments[k]) {
            const auto& pg = glyphs.getGlyph(i);
            // Of the block's glyph height, within its width (squeezing a line into it may overshoot by half a
            // pixel), its box and the component.
            faults.check(std::abs(pg.getBottom() - pg.getTop() - b.glyphHeight) < eps && pg.getLeft() >= b.x - eps &&
                             pg.getRight() <= b.x + b.width + 0.5f && pg.getBottom() <= H + eps &&
                             (b.boxHeight == 0 || pg.getBottom() <= top + b.boxHeight + eps),
                         "'", shown(pg.getCharacter()), "' at ", pg.getBounds().toString());
            bottom = std::max(bottom, pg.getBottom());
            const auto line = lines.emplace(std::lround(pg.getBaselineY() * 100), pg.getLeft()).first;
            line->second = std::min(line->second, pg.getLeft());
        }
        for (const auto& [baseline, left] : lines)
            faults.check(std::abs(left - b.x) < eps, "line at ", baseline / 100.0, " starts at ", left, ", not ", b.x);
        faults.check(b.maxLines == 0 || (int)lines.size() <= b.maxLines, lines.size(), " lines");
        if (k + 1 < blocks.size()) {
            const float nextTop = glyphs.getGlyph(segments[k + 1].front()).getTop();
            faults.check(nextTop >= bottom - eps, "the next block starts at ", nextTop, ", above this one's end at ",
                         bottom);
        }
        EXPECT_EQ(faults.count, 0) << "block " << k << " \"" << b.text << "\" at x " << b.x << ", width " << b.width
                                   << ", box height " << b.boxHeight << ", glyphs " << b.glyphHeight
                                   << " high:" << faults.list;
    }
}

void checkWidgets(MainComponent& c, Screen screen, int locale, const Size& size) {
    EXPECT_EQ(Access::langs(c).isVisible(), screen == Screen::Language);
    EXPECT_EQ(Access::langs(c).getBounds(), size.strip);
    if (screen == Screen::Language) {
        EXPECT_EQ(Access::langs(c).getSelectedId(), locale + 1);
    }
    EXPECT_EQ(Access::progressBar(c).isVisible(), screen == Screen::Updating);
    EXPECT_EQ(Access::progressBar(c).getBounds(), size.strip);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "first button" : "second button");
        const int expected = kButtons[static_cast<int>(screen)][i];
        AlineButton& button = Access::button(c, i);
        EXPECT_EQ(button.isVisible(), expected != 0);
        if (expected == 0) continue;
        EXPECT_EQ(button.getButtonText(), text(std::abs(expected)));
        const juce::Point<int> at = expected > 0 ? size.right : size.left;
        EXPECT_EQ(button.getBounds(), juce::Rectangle<int>(at.x, at.y, 100, 20));
    }
}

bool isYellow(juce::Colour c) { return c.getRed() > 160 && c.getGreen() > 150 && c.getBlue() < 120; }

// The built-in icon scaled into (20, 15, 64, 64) over the background, and nothing of it around that box.
void checkWarningIcon(const juce::Image& screen) {
    const juce::Image icon = ImageLoader::getInstance()->getImage(0);
    const juce::Image expected = uitest::draw(85, 80, [&](juce::Graphics& g) {
                                     g.fillAll(kBackground);
                                     g.drawImage(icon, 20, 15, 64, 64, 0, 0, icon.getWidth(), icon.getHeight());
                                 }).image;
    EXPECT_GT(uitest::countPixels(expected, {20, 15, 64, 64}, isYellow), 500);
    int wrong = 0;
    juce::String firstWrong;
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 85; ++x)
            if (colourDistance(screen.getPixelAt(x, y), expected.getPixelAt(x, y)) > 3 && wrong++ == 0)
                firstWrong << "(" << x << ", " << y << ") " << screen.getPixelAt(x, y).toDisplayString(true)
                           << " instead of " << expected.getPixelAt(x, y).toDisplayString(true);
    EXPECT_EQ(wrong, 0) << firstWrong;
}

void checkPaint(MainComponent& c, Screen screen, const std::vector<Block>& blocks,
                const std::vector<std::vector<int>>& segments) {
    const int W = c.getWidth(), H = c.getHeight();
    const uitest::Drawn drawn = uitest::draw(c);
    juce::GlyphArrangement& glyphs = Access::glyphs(c);
    // The arrangement is drawn first, before any child, glyph by glyph in order, in black; headings in bold.
    size_t next = 0;
    for (size_t k = 0; k < blocks.size(); ++k) {
        juce::Rectangle<float> area;
        for (int i : segments[k]) {
            const auto& pg = glyphs.getGlyph(i);
            area = area.getUnion(pg.getBounds());
            ASSERT_LT(next, drawn.glyphs.size());
            const auto& d = drawn.glyphs[next++];
            ASSERT_TRUE(d.position == juce::Point<float>(pg.getLeft(), pg.getBaselineY()) &&
                        d.colour == juce::Colours::black && d.font.isBold() == blocks[k].bold)
                << "block " << k << ": glyph " << i << " drawn at " << d.position.toString() << " in "
                << d.colour.toDisplayString(true) << (d.font.isBold() ? ", bold" : "");
        }
        // Coarse: every block shows dark ink within its glyphs.
        const juce::Rectangle<int> pixels = area.getSmallestIntegerContainer().getIntersection({0, 0, W, H});
        const auto dark = [](juce::Colour p) {
            return p.getAlpha() == 255 && p.getRed() < 100 && p.getGreen() < 100 && p.getBlue() < 100;
        };
        EXPECT_GT(uitest::countPixels(drawn.image, pixels, dark), 0) << "no ink for block " << k;
    }

    for (juce::Point<int> corner : {juce::Point<int>(0, 0), {W - 1, 0}, {0, H - 1}, {W - 1, H - 1}})
        EXPECT_EQ(drawn.image.getPixelAt(corner.x, corner.y), kBackground) << corner.toString();
    if (screen == Screen::FileError || screen == Screen::NotConnected || screen == Screen::Error)
        checkWarningIcon(drawn.image);
    else
        EXPECT_EQ(uitest::countPixels(drawn.image, {20, 15, 64, 64}, isYellow), 0) << "warning icon on this screen";
}

// Without the application's fonts the program's macOS family names match no face here, and every glyph would be
// empty. A fresh main component, 420 x 170 as it starts, for each case.
template <typename Base = ::testing::Test>
class WithMainComponent : public Base {
protected:
    static void SetUpTestSuite() {
        ktrplatform::installSystemFonts([] {
            const TxtLoader* txt = TxtLoader::existingInstance();
            const unsigned int locale = txt != nullptr ? txt->getLocale() : 0;
            return langList[locale < TxtLoader::kLocaleCount ? locale : 0].m_code;
        });
    }
    static void TearDownTestSuite() { ktrplatform::uninstallSystemFonts(); }
    void SetUp() override { component = std::make_unique<MainComponent>(); }
    void TearDown() override { component.reset(); }
    void setLocale(int locale) {
        TxtLoader::getInstance()->setLocale(static_cast<unsigned int>(locale));
        ASSERT_EQ(TxtLoader::getInstance()->getLocale(), static_cast<unsigned int>(locale));
    }

    std::unique_ptr<MainComponent> component;
};

using ScreenParam = std::tuple<int, Size>;

class Screens : public WithMainComponent<::testing::TestWithParam<ScreenParam>> {};

TEST_P(Screens, LayoutWidgetsAndPaint) {
    const auto& [locale, size] = GetParam();
    setLocale(locale);
    component->setSize(size.width, size.height);
    const auto hundredths = [](const char* v) { return (int)std::lround(juce::String(v).getDoubleValue() * 100); };
    for (const ScreenCase& s : kScreens) {
        SCOPED_TRACE(::testing::Message() << "state " << s.state << ", file " << s.fileValid << ", versions "
                                          << s.deviceVersion << " " << s.fileVersion);
        Access::show(*component, s.state, s.fileValid, hundredths(s.deviceVersion), hundredths(s.fileVersion));
        checkWidgets(*component, s.screen, locale, size);
        const auto blocks = expectedBlocks(s, locale, static_cast<float>(size.width));
        const auto segments = segment(Access::glyphs(*component), blocks);
        if (segments.empty()) continue;
        checkLayout(Access::glyphs(*component), blocks, segments, static_cast<float>(size.height));
        checkPaint(*component, s.screen, blocks, segments);
    }
}

INSTANTIATE_TEST_SUITE_P(AllLanguages, Screens,
                         ::testing::Combine(::testing::Range(0, 12), ::testing::ValuesIn(kSizes)),
                         [](const ::testing::TestParamInfo<ScreenParam>& info) {
                             const Size& size = std::get<1>(info.param);
                             return (langList[std::get<0>(info.param)].m_code.replace("-", "") + "_" +
                                     juce::String(size.width) + "x" + juce::String(size.height))
                                 .toStdString();
                         });

class ScreenDetails : public WithMainComponent<> {
protected:
    juce::String glyphText() {
        juce::String all;
        for (int i = 0; i < Access::glyphs(*component).getNumGlyphs(); ++i)
            all += juce::String::charToString(Access::glyphs(*component).getGlyph(i).getCharacter());
        return all;
    }
};

// Exact, spaces included, where the layout check lets whitespace go: one-line texts only.
TEST_F(ScreenDetails, SpacedPlaceholderAndTextsWithoutPlaceholder) {
    setLocale(7);
    Access::show(*component, 3, 1);
    EXPECT_TRUE(glyphText().startsWith(juce::String::fromUTF8("Atualizando o firmware do seuKTR-Q7.\n\n")))
        << glyphText();
    for (int locale : {7, 10}) {
        setLocale(locale);
        ASSERT_FALSE(text(17).contains("%"));
        Access::show(*component, 4, 1);
        EXPECT_EQ(glyphText(), text(17));
    }
}

TEST_F(ScreenDetails, TitleGoesToTheParentInTheCurrentLanguage) {
    juce::Component parent;
    parent.setName("untitled");
    setLocale(0);
    component->updateCtrl();
    EXPECT_EQ(parent.getName(), "untitled");

    parent.addChildComponent(component.get());
    component->setSize(426, 176);
    EXPECT_EQ(parent.getName(), "Updater Program");

    // As the user picks a language from the list.
    Access::langs(*component).setSelectedId(7 + 1, juce::sendNotificationSync);
    EXPECT_EQ(TxtLoader::getInstance()->getLocale(), 7u);
    EXPECT_EQ(parent.getName(), juce::String::fromUTF8("Programa de Atualização"));
    EXPECT_TRUE(glyphText().startsWith(text(8))) << glyphText();
    parent.removeChildComponent(component.get());
}

// The icons, drawn on a canvas larger than their box (20, 15, 64, 64) so that anything outside it shows.
class DrawIcon : public WithMainComponent<> {
protected:
    juce::Image draw(int kind) {
        return uitest::draw(110, 100, [&](juce::Graphics& g) { component->drawIcon(g, kind); }).image;
    }
};

// The bounds of the character's pixels, darker than the fill, well inside the shape; `darkest` takes the darkest.
juce::Rectangle<int> inkOf(const juce::Image& image, bool triangle, juce::Colour& darkest) {
    juce::Rectangle<int> bounds;
    for (int y = 0; y < image.getHeight(); ++y)
        for (int x = 0; x < image.getWidth(); ++x) {
            const float cx = x + 0.5f, cy = y + 0.5f;
            // More than 4 pixels inside the triangle with apex (52, 15) and base y 79, or clear of the circle's stroke.
            const bool inside = triangle ? ((cy - 15) - 2 * std::abs(cx - 52)) / std::sqrt(5.0f) > 4 && cy < 75
                                         : std::hypot(cx - 52, cy - 47) < 27;
            const juce::Colour p = image.getPixelAt(x, y);
            if (!inside || p.getRed() >= 160) continue;
            bounds = bounds.isEmpty() ? juce::Rectangle<int>(x, y, 1, 1) : bounds.getUnion({x, y, 1, 1});
            if (p.getRed() < darkest.getRed()) darkest = p;
        }
    return bounds;
}

TEST_F(DrawIcon, KindsShapesColoursAndCharacters) {
    EXPECT_EQ(uitest::countPixels(draw(0), {0, 0, 110, 100}, uitest::anyInk), 0) << "none draws nothing";

    const juce::Colour yellow(0x99FFFF00), white(0x99FFFFFF), stroke(0x99000000), blue(0x990000FF);
    // Kind, a point of the fill, of the outline and outside the shape (the warning's apex is rounded off, the
    // box's corner lies outside the circle), the fill and the character's colour.
    const std::tuple<int, juce::Point<int>, juce::Point<int>, juce::Point<int>, juce::Colour, juce::Colour> kinds[] = {
        {2, {35, 70}, {52, 80}, {52, 13}, yellow, stroke},
        {3, {28, 47}, {52, 14}, {21, 16}, white, blue},
        {1, {28, 47}, {52, 14}, {21, 16}, white, blue},
    };
    juce::Rectangle<int> ink[4];
    for (const auto& [kind, fillAt, outlineAt, emptyAt, fill, character] : kinds) {
        SCOPED_TRACE(kind);
        const juce::Image image = draw(kind);
        // Nothing beyond the box grown by half the stroke's width.
        EXPECT_EQ(uitest::countPixels(image, image.getBounds(), uitest::anyInk),
                  uitest::countPixels(image, {18, 13, 68, 68}, uitest::anyInk));
        EXPECT_LE(colourDistance(image.getPixelAt(fillAt.x, fillAt.y), fill), 3);
        EXPECT_LE(colourDistance(image.getPixelAt(outlineAt.x, outlineAt.y), stroke), 3);
        EXPECT_EQ(image.getPixelAt(emptyAt.x, emptyAt.y).getAlpha(), 0);
        juce::Colour darkest = juce::Colours::white;
        ink[kind] = inkOf(image, kind == 2, darkest);
        EXPECT_LE(colourDistance(darkest, fill.overlaidWith(character)), 3);
        EXPECT_NEAR(ink[kind].getCentreX(), 52, 3) << ink[kind].toString();
    }
    EXPECT_EQ(draw(2).getPixelAt(20, 80).getAlpha(), 0);
    // "!" and "i" are narrow, "?" is wider; the "!" is tall and set lower, into the wider part of the triangle.
    EXPECT_TRUE(ink[2].getWidth() < 12 && ink[3].getWidth() < 12 && ink[1].getWidth() > 14);
    EXPECT_TRUE(ink[2].getHeight() > 24 && ink[2].getY() - ink[1].getY() >= 4) << ink[2].toString();

    // Any other kind is the question.
    const juce::Image question = draw(1);
    for (int kind : {4, -1, 1000}) EXPECT_TRUE(uitest::sameImage(draw(kind), question)) << kind;
    EXPECT_FALSE(uitest::sameImage(draw(3), question));
}

}  // namespace
