#include "CustomLookAndFeel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <utility>

#include "ExpectedTexts.h"
#include "UiTestSupport.h"

namespace {

using uitest::anyInk;
using uitest::countPixels;

const juce::Colour kBarBackground(0xFF080808);
const juce::Colour kHighlight(0xFF000040);

bool isPureWhite(juce::Colour c) { return c.getARGB() == 0xFFFFFFFF; }

// A progress bar set up as the main component sets up its own.
struct Bar {
    explicit Bar(double value) : progress(value), bar(progress) {
        bar.setLookAndFeel(&look);
        bar.setColour(juce::ProgressBar::foregroundColourId, juce::Colour(61, 61, 61));
        bar.setColour(juce::ProgressBar::backgroundColourId, kBarBackground);
        bar.setBounds(0, 0, 380, 20);
    }
    ~Bar() { bar.setLookAndFeel(nullptr); }

    ProgressLookAndFeel look;
    double progress;
    juce::ProgressBar bar;
};

// Bar rows lie between y 2 and 18; the gradient runs from y 2 to y 16 and keeps its end colour below.
void expectBarColumn(const juce::Image& image, int x) {
    for (int y = 2; y < 18; ++y)
        EXPECT_TRUE(uitest::withinGradient(image.getPixelAt(x, y), juce::Colour(0xFFA7A7A7), juce::Colour(0xFF646464),
                                           juce::Colour(0xFF6C6C6C), (y - 2) / 14.0, (y - 1) / 14.0))
            << "(" << x << ", " << y << "): " << image.getPixelAt(x, y).toDisplayString(true);
}

void expectBackground(const juce::Image& image, std::initializer_list<juce::Point<int>> points) {
    for (auto p : points) EXPECT_EQ(image.getPixelAt(p.x, p.y), kBarBackground) << p.toString();
}

// The language names of the resources; `repeated` names English a second time.
LangLookAndFeel makeLangLook(unsigned int repeated = 99) {
    return LangLookAndFeel(
        [repeated](unsigned int i) { return juce::String::fromUTF8(i == repeated ? "English" : expected::kLang[i]); },
        [](unsigned int i) { return "LangFont" + juce::String(i); });
}

struct Item {
    juce::String text = "English";
    int height = 20;
    bool highlighted = false, ticked = false;
    juce::Point<int> at;
};

uitest::Drawn drawItem(LangLookAndFeel& look, const Item& item) {
    return uitest::draw(item.at.x + 200, item.at.y + item.height, [&](juce::Graphics& g) {
        look.drawPopupMenuItem(g, {item.at.x, item.at.y, 200, item.height}, false, true, item.highlighted, item.ticked,
                               false, item.text, {}, nullptr, nullptr);
    });
}

// Keeps the process-wide fallback font name of the other tests.
class LangLookAndFeelTest : public ::testing::Test {
protected:
    void SetUp() override { juce::Font::setFallbackFontName("SavedFallback"); }
    void TearDown() override { juce::Font::setFallbackFontName(m_saved); }
    LangLookAndFeel look = makeLangLook();

private:
    juce::String m_saved = juce::Font::getFallbackFontName();
};

}  // namespace

TEST(ProgressLookAndFeel, HalfwayBarOf380By20) {
    Bar bar(0.5);
    const juce::Image image = uitest::draw(bar.bar).image;

    // Background from the bar's own colour, a two-pixel margin, a bar of 188 by 16 at (2, 2).
    expectBackground(image, {{0, 0}, {1, 10}, {100, 0}, {100, 1}, {100, 18}, {100, 19}, {379, 19}, {250, 10}});
    expectBackground(image, {{190, 2}, {190, 17}});
    expectBarColumn(image, 2);
    expectBarColumn(image, 100);
    // Column 189, the bar's last, lies under the text but for its first and last rows.
    const juce::Colour top(0xFFA7A7A7), middle(0xFF646464), end(0xFF6C6C6C);
    EXPECT_TRUE(uitest::withinGradient(image.getPixelAt(189, 2), top, middle, end, 0.0, 1 / 14.0));
    EXPECT_TRUE(uitest::withinGradient(image.getPixelAt(189, 17), top, middle, end, 1.0, 1.0));

    // "50%" in white, 16 pixels high, centred over the whole bar.
    const juce::Image expected = uitest::draw(380, 20, [](juce::Graphics& g) {
                                     g.setColour(juce::Colours::white);
                                     g.setFont(juce::Font(16.0f));
                                     g.drawText("50%", 0, 0, 380, 20, juce::Justification::centred, false);
                                 }).image;
    EXPECT_GT(countPixels(expected, {0, 0, 380, 20}, isPureWhite), 20);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 380; ++x)
            ASSERT_EQ(isPureWhite(image.getPixelAt(x, y)), isPureWhite(expected.getPixelAt(x, y))) << x << ", " << y;
}

TEST(ProgressLookAndFeel, BarWidthIsLimitedAndNoTextDrawsNoText) {
    Bar bar(0.0);
    // Straight through the look, for values that the framework's bar would not hand over.
    const auto draw = [&](double value) {
        return uitest::draw(380, 20,
                            [&](juce::Graphics& g) { bar.look.drawProgressBar(g, bar.bar, 380, 20, value, {}); })
            .image;
    };
    for (double value : {0.0, -0.25})
        EXPECT_EQ(countPixels(draw(value), {0, 0, 380, 20}, [](juce::Colour c) { return c != kBarBackground; }), 0)
            << value;
    const juce::Image full = draw(1.5);
    expectBarColumn(full, 377);
    expectBackground(full, {{378, 10}, {379, 10}, {1, 10}});
    EXPECT_EQ(countPixels(full, {0, 0, 380, 20}, isPureWhite), 0);
}

TEST_F(LangLookAndFeelTest, FontLeftBorderAndTickFollowTheItemHeight) {
    for (auto [height, fontHeight, border] :
         {std::tuple{20, 20.0f / 1.3f, 25.0f}, {22, 22.0f / 1.3f, 27.0f}, {24, 17.0f, 30.0f}}) {
        Item item;
        item.height = height;
        const auto drawn = drawItem(look, item);
        ASSERT_EQ(drawn.glyphs.size(), 7u);
        EXPECT_FLOAT_EQ(drawn.glyphs.front().position.x, border);
        for (const auto& glyph : drawn.glyphs) {
            EXPECT_NEAR(glyph.font.getHeight(), fontHeight, 1e-4);
            EXPECT_FALSE(glyph.font.isBold());
            EXPECT_EQ(glyph.font.getHorizontalScale(), 1.0f);
        }
        EXPECT_EQ(countPixels(drawn.image, {0, 0, 23, height}, anyInk), 0) << "no tick";
    }

    // The tick, in the left border, is as high as the font's ascent and centred on the item's middle.
    Item item;
    item.ticked = true;
    EXPECT_GT(countPixels(drawItem(look, item).image, {2, 0, 21, 20}, anyInk), 10);
    EXPECT_EQ(countPixels(drawItem(look, item).image, {0, 0, 2, 20}, anyInk), 0);
    item.height = 24;
    const float ascent = juce::Font(17.0f).getAscent();
    const int top = (int)std::floor(12.0f - ascent / 2.0f), bottom = (int)std::ceil(12.0f + ascent / 2.0f);
    const juce::Image tall = drawItem(look, item).image;
    EXPECT_GT(countPixels(tall, {0, top, 28, bottom - top}, anyInk), 10);
    EXPECT_EQ(countPixels(tall, {0, 0, 28, top}, anyInk), 0);
    EXPECT_EQ(countPixels(tall, {0, bottom, 28, 24 - bottom}, anyInk), 0);
}

TEST_F(LangLookAndFeelTest, HighlightAndTextColours) {
    Item item;
    auto drawn = drawItem(look, item);
    EXPECT_EQ(drawn.glyphs.front().colour, juce::Colours::black);
    EXPECT_EQ(countPixels(drawn.image, {0, 0, 200, 20}, [](juce::Colour c) { return c == kHighlight; }), 0);

    // A highlight one pixel inside the item, under white text.
    item.highlighted = true;
    drawn = drawItem(look, item);
    EXPECT_EQ(drawn.glyphs.front().colour, juce::Colours::white);
    for (auto p : {juce::Point<int>(1, 1), {198, 1}, {1, 18}, {198, 18}, {150, 10}})
        EXPECT_EQ(drawn.image.getPixelAt(p.x, p.y), kHighlight) << p.toString();
    for (auto p : {juce::Point<int>(0, 0), {0, 10}, {199, 10}, {100, 0}, {100, 19}, {199, 19}})
        EXPECT_EQ(drawn.image.getPixelAt(p.x, p.y).getAlpha(), 0) << p.toString();
    EXPECT_GT(countPixels(drawn.image, {25, 0, 100, 20}, isPureWhite), 5);

    // Drawn where its area lies.
    item.ticked = true;
    const juce::Image atOrigin = drawItem(look, item).image;
    item.at = {30, 25};
    const juce::Image moved = drawItem(look, item).image;
    for (int y = 0; y < 45; ++y)
        for (int x = 0; x < 230; ++x)
            ASSERT_EQ(moved.getPixelAt(x, y), x < 30 || y < 25 ? juce::Colour() : atOrigin.getPixelAt(x - 30, y - 25))
                << x << ", " << y;
}

TEST_F(LangLookAndFeelTest, LanguageFontIsTheFallbackOnlyWhileItsNameDraws) {
    for (auto [text, fallback] : {std::pair{"English", "LangFont0"},
                                  {"DEUTSCH", "LangFont2"},
                                  {"nederlands", "LangFont5"},
                                  {"日本語", "LangFont11"},
                                  {"Klingon", "SavedFallback"}}) {
        Item item;
        item.text = juce::String::fromUTF8(text);
        item.highlighted = item.text.startsWith("D");
        const auto drawn = drawItem(look, item);
        ASSERT_FALSE(drawn.glyphs.empty()) << text;
        for (const auto& glyph : drawn.glyphs) EXPECT_EQ(glyph.fallbackFontName, fallback) << text;
        EXPECT_EQ(juce::Font::getFallbackFontName(), "SavedFallback") << text;
    }
    auto firstWins = makeLangLook(7);
    EXPECT_EQ(drawItem(firstWins, Item{}).glyphs.front().fallbackFontName, "LangFont0");
}
