#include "CustomLookAndFeel.h"
#include "UiTestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using uitest::colourDistance;

const juce::Colour kBarBackground(0xFF080808);
const juce::Colour kBarTop(0xFFA7A7A7), kBarMiddle(0xFF646464), kBarEnd(0xFF6C6C6C);
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

    // Draws straight through the look, for values and texts that the framework's bar would not hand over.
    juce::Image draw(double value, const juce::String& text) {
        juce::Image image(juce::Image::ARGB, 380, 20, true);
        juce::Graphics g(image);
        look.drawProgressBar(g, bar, 380, 20, value, text);
        return image;
    }

    ProgressLookAndFeel look;
    double progress;
    juce::ProgressBar bar;
};

// Bar rows lie between y 2 and 18; the gradient runs from y 2 to y 16 and keeps its end colour below.
void expectBarColumn(const juce::Image& image, int x) {
    for (int y = 2; y < 18; ++y)
        EXPECT_TRUE(uitest::withinGradient(image.getPixelAt(x, y), kBarTop, kBarMiddle, kBarEnd, (y - 2) / 14.0,
                                           (y - 1) / 14.0))
            << "(" << x << ", " << y << "): " << image.getPixelAt(x, y).toDisplayString(true);
}

void expectBackground(const juce::Image& image, std::initializer_list<juce::Point<int>> points) {
    for (auto p : points) EXPECT_EQ(image.getPixelAt(p.x, p.y), kBarBackground) << p.toString();
}

const std::array<const char*, 12> kLangs = {"English", "Français",  "Deutsch",  "Español",  "Italiano", "Nederlands",
                                            "Русский", "Português", "简体中文", "繁體中文", "한국어",   "日本語"};

LangLookAndFeel makeLangLook(std::array<const char*, 12> langs = kLangs) {
    return LangLookAndFeel([langs](unsigned int i) { return juce::String::fromUTF8(langs.at(i)); },
                           [](unsigned int i) { return "LangFont" + juce::String(i); });
}

struct Item {
    juce::String text = "English";
    int width = 200;
    int height = 20;
    bool separator = false, active = true, highlighted = false, ticked = false;
    const juce::Colour* colour = nullptr;
};

struct DrawnItem {
    juce::Image image;
    std::vector<uitest::RecordingContext::Glyph> glyphs;
};

DrawnItem drawItem(LangLookAndFeel& look, const Item& item) {
    DrawnItem drawn{juce::Image(juce::Image::ARGB, item.width, item.height, true), {}};
    uitest::RecordingContext context(drawn.image);
    {
        juce::Graphics g(context);
        look.drawPopupMenuItem(g, {0, 0, item.width, item.height}, item.separator, item.active, item.highlighted,
                               item.ticked, false, item.text, {}, nullptr, item.colour);
    }
    drawn.glyphs = context.glyphs;
    return drawn;
}

// Keeps the process-wide fallback font name of the other tests.
class LangLookAndFeelTest : public ::testing::Test {
protected:
    void SetUp() override { juce::Font::setFallbackFontName("SavedFallback"); }
    void TearDown() override { juce::Font::setFallbackFontName(m_saved); }

private:
    juce::String m_saved = juce::Font::getFallbackFontName();
};

}  // namespace

TEST(ProgressLookAndFeel, HalfwayBarOf380By20) {
    Bar bar(0.5);
    const juce::Image image = uitest::render(bar.bar);

    // Background from the bar's own colour, a two-pixel margin, a bar of 188 by 16 at (2, 2).
    expectBackground(image, {{0, 0}, {1, 10}, {100, 0}, {100, 1}, {100, 18}, {100, 19}, {379, 19}, {250, 10}});
    expectBarColumn(image, 2);
    expectBarColumn(image, 100);
    EXPECT_TRUE(uitest::withinGradient(image.getPixelAt(189, 2), kBarTop, kBarMiddle, kBarEnd, 0.0, 1 / 14.0));
    EXPECT_TRUE(uitest::withinGradient(image.getPixelAt(189, 17), kBarTop, kBarMiddle, kBarEnd, 1.0, 1.0));
    expectBackground(image, {{190, 2}, {190, 17}});

    // "50%" in white, 16 pixels high, centred over the whole bar.
    juce::Image expected(juce::Image::ARGB, 380, 20, true);
    {
        juce::Graphics g(expected);
        g.setColour(juce::Colours::white);
        g.setFont(juce::Font(16.0f));
        g.drawText("50%", 0, 0, 380, 20, juce::Justification::centred, false);
    }
    EXPECT_GT(uitest::countPixels(expected, {0, 0, 380, 20}, isPureWhite), 20);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 380; ++x)
            ASSERT_EQ(isPureWhite(image.getPixelAt(x, y)), isPureWhite(expected.getPixelAt(x, y)))
                << "(" << x << ", " << y << ")";
}

TEST(ProgressLookAndFeel, BarWidthIsLimitedAndNoTextDrawsNoText) {
    Bar bar(0.0);
    const auto barPixels = [](juce::Colour c) { return c != kBarBackground; };

    for (double value : {0.0, -0.25}) {
        const juce::Image image = bar.draw(value, {});
        EXPECT_EQ(uitest::countPixels(image, {0, 0, 380, 20}, barPixels), 0) << value;
    }

    const juce::Image full = bar.draw(1.5, {});
    expectBarColumn(full, 377);
    expectBackground(full, {{378, 10}, {379, 10}, {1, 10}});
    EXPECT_EQ(uitest::countPixels(full, {0, 0, 380, 20}, isPureWhite), 0);
}

TEST_F(LangLookAndFeelTest, FontAndLeftBorderFollowTheItemHeight) {
    auto look = makeLangLook();
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
    }
}

TEST_F(LangLookAndFeelTest, HighlightAndTextColours) {
    auto look = makeLangLook();
    const juce::Colour red(0xFFD02020);
    const auto highlightPixel = [](juce::Colour c) { return c == kHighlight; };

    Item item;
    auto drawn = drawItem(look, item);
    EXPECT_EQ(drawn.glyphs.front().colour, juce::Colours::black);
    EXPECT_EQ(uitest::countPixels(drawn.image, {0, 0, 200, 20}, highlightPixel), 0);
    EXPECT_EQ(drawn.image.getPixelAt(1, 1).getAlpha(), 0);

    item.colour = &red;
    EXPECT_EQ(drawItem(look, item).glyphs.front().colour, red);

    item.highlighted = true;
    drawn = drawItem(look, item);
    EXPECT_EQ(drawn.glyphs.front().colour, juce::Colours::white);
    for (auto p : {juce::Point<int>(1, 1), {198, 1}, {1, 18}, {198, 18}, {150, 10}})
        EXPECT_EQ(drawn.image.getPixelAt(p.x, p.y), kHighlight) << p.toString();
    for (auto p : {juce::Point<int>(0, 0), {0, 10}, {199, 10}, {100, 0}, {100, 19}, {199, 19}})
        EXPECT_EQ(drawn.image.getPixelAt(p.x, p.y).getAlpha(), 0) << p.toString();
    EXPECT_GT(uitest::countPixels(drawn.image, {25, 0, 100, 20}, isPureWhite), 5);

    // An inactive item fades its text but not the highlight behind it.
    item.active = false;
    drawn = drawItem(look, item);
    EXPECT_EQ(drawn.image.getPixelAt(1, 1), kHighlight);
    EXPECT_EQ(drawn.glyphs.front().colour, juce::Colours::white.withAlpha(0.3f));
}

TEST_F(LangLookAndFeelTest, LanguageFontIsTheFallbackOnlyWhileItsNameDraws) {
    auto look = makeLangLook();
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

    auto repeated = kLangs;
    repeated[7] = "English";
    auto firstWins = makeLangLook(repeated);
    EXPECT_EQ(drawItem(firstWins, Item{}).glyphs.front().fallbackFontName, "LangFont0");
}

TEST_F(LangLookAndFeelTest, SeparatorDrawsTwoLinesAndNothingElse) {
    auto look = makeLangLook();
    Item item;
    item.separator = true;
    item.width = 100;
    item.height = 21;  // the lines then fill whole pixel rows
    const auto drawn = drawItem(look, item);

    EXPECT_TRUE(drawn.glyphs.empty());
    EXPECT_LE(colourDistance(drawn.image.getPixelAt(50, 10), juce::Colour(0x33000000)), 1);
    EXPECT_LE(colourDistance(drawn.image.getPixelAt(50, 11), juce::Colour(0x66FFFFFF)), 2);
    const auto ink = [](juce::Colour c) { return c.getAlpha() != 0; };
    EXPECT_EQ(uitest::countPixels(drawn.image, {0, 0, 100, 10}, ink), 0);
    EXPECT_EQ(uitest::countPixels(drawn.image, {0, 12, 100, 9}, ink), 0);
    EXPECT_EQ(uitest::countPixels(drawn.image, {0, 10, 5, 2}, ink), 0);
    EXPECT_EQ(uitest::countPixels(drawn.image, {95, 10, 5, 2}, ink), 0);
    EXPECT_EQ(juce::Font::getFallbackFontName(), "SavedFallback");
}

TEST_F(LangLookAndFeelTest, TickInTheLeftBorder) {
    auto look = makeLangLook();
    const auto ink = [](juce::Colour c) { return c.getAlpha() != 0; };
    const juce::Rectangle<int> border(0, 0, 23, 20);  // left of the text, which starts at 25

    Item item;
    EXPECT_EQ(uitest::countPixels(drawItem(look, item).image, border, ink), 0);

    item.ticked = true;
    const juce::Image ticked = drawItem(look, item).image;
    EXPECT_GT(uitest::countPixels(ticked, border, ink), 10);
    EXPECT_EQ(uitest::countPixels(ticked, {0, 0, 2, 20}, ink), 0);

    // The tick is as high as the font's ascent, centred on the item's middle.
    item.height = 24;
    const float ascent = juce::Font(17.0f).getAscent();
    const int tickTop = (int)std::floor(12.0f - ascent / 2.0f), tickBottom = (int)std::ceil(12.0f + ascent / 2.0f);
    const juce::Image tall = drawItem(look, item).image;
    EXPECT_GT(uitest::countPixels(tall, {0, tickTop, 28, tickBottom - tickTop}, ink), 10);
    EXPECT_EQ(uitest::countPixels(tall, {0, 0, 28, tickTop}, ink), 0);
    EXPECT_EQ(uitest::countPixels(tall, {0, tickBottom, 28, 24 - tickBottom}, ink), 0);
}

TEST_F(LangLookAndFeelTest, ItemAreaIsWhereTheItemDraws) {
    auto look = makeLangLook();
    Item item;
    item.highlighted = true;
    item.ticked = true;
    const juce::Image atOrigin = drawItem(look, item).image;

    juce::Image moved(juce::Image::ARGB, 230, 50, true);
    {
        juce::Graphics g(moved);
        look.drawPopupMenuItem(g, {30, 25, 200, 20}, false, true, true, true, false, "English", {}, nullptr, nullptr);
    }
    for (int y = 0; y < 50; ++y)
        for (int x = 0; x < 230; ++x) {
            const bool inside = x >= 30 && y >= 25 && y < 45;
            const juce::Colour want = inside ? atOrigin.getPixelAt(x - 30, y - 25) : juce::Colour();
            ASSERT_EQ(moved.getPixelAt(x, y), want) << x << ", " << y;
        }
}
