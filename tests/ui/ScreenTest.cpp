#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "ImageLoader.h"
#include "MainComponentAccess.h"
#include "UiTestSupport.h"

namespace {

using Access = MainComponentTestAccess;
using uitest::colourDistance;

const juce::Colour kBackground(234, 234, 234);
const char* const kFirstLabel = "MONO SPLIT ON/OFF";
const char* const kSecondLabel = "MARBLETAP";
constexpr int kDeviceVersion = 7;
constexpr int kFileVersion = 105;

enum class Screen { Language, FileError, NotConnected, Ready, Updating, Complete, Error };

struct ScreenCase {
    Screen screen;
    int state;
    int fileValid;
    const char* name;
};

// The update-file error overrides every state but the language choice.
const ScreenCase kScreens[] = {
    {Screen::Language, 0, 1, "language"},
    {Screen::Language, 0, 0, "language-no-file"},
    {Screen::FileError, 1, 0, "file-error-1"},
    {Screen::FileError, 2, 0, "file-error-2"},
    {Screen::FileError, 4, 0, "file-error-4"},
    {Screen::FileError, 5, 0, "file-error-5"},
    {Screen::NotConnected, 1, 1, "not-connected"},
    {Screen::Ready, 2, 1, "ready"},
    {Screen::Updating, 3, 1, "updating"},
    {Screen::Complete, 4, 1, "complete"},
    {Screen::Error, 5, 1, "error"},
};

struct Size {
    int width, height;
    juce::Rectangle<int> strip;  // language list and progress bar
    juce::Point<int> right, left;
};

void PrintTo(const Size& size, std::ostream* os) { *os << size.width << "x" << size.height; }

const Size kSizes[] = {{420, 170, {20, 75, 380, 20}, {300, 130}, {190, 130}},
                       {426, 176, {20, 78, 386, 20}, {306, 136}, {196, 136}}};

const juce::String& text(unsigned int index) { return TxtLoader::getInstance()->getString(index); }

bool smallScript(int locale) { return locale == 8 || locale == 9 || locale == 11; }

// Puts the arguments in place of the "%s" (or "% s") placeholders, in order.
juce::String fill(const juce::String& format, const std::vector<juce::String>& args) {
    juce::String out;
    size_t next = 0;
    const int length = format.length();
    for (int i = 0; i < length; ++i) {
        if (format[i] == '%' && next < args.size()) {
            int j = i + 1;
            if (j < length && format[j] == ' ') ++j;
            if (j < length && format[j] == 's') {
                out += args[next++];
                i = j;
                continue;
            }
        }
        out += juce::String::charToString(format[i]);
    }
    return out;
}

juce::String versionText(int v) { return juce::String(v / 100) + "." + juce::String(v % 100).paddedLeft('0', 2); }

// What a text block must look like; its top is fixed, or follows the glyph before it.
struct Block {
    juce::String text;
    float x = 0, width = 0, top = 0;
    bool followsPrevious = false;
    float gap = 0;
    float boxHeight = 0;  // 0: down to the component's bottom
    int maxLines = 0;     // 0: as many as fit
    float glyphHeight = 13;
    bool bold = false;

    Block& after(float g) {
        followsPrevious = true;
        gap = g;
        return *this;
    }
    Block& box(float height, int lines) {
        boxHeight = height;
        maxLines = lines;
        return *this;
    }
    Block& height(float h) {
        glyphHeight = h;
        return *this;
    }
    Block& heading() {
        bold = true;
        return *this;
    }
};

Block block(const juce::String& t, float x, float width, float top = 0) {
    Block b;
    b.text = t;
    b.x = x;
    b.width = width;
    b.top = top;
    return b;
}

std::array<float, 4> instructionTops(int locale) {
    switch (locale) {
        case 0:
            return {20, 36, 52, 81};
        case 2:
        case 4:
            return {20, 36, 65, 107};
        case 8:
        case 9:
        case 11:
            return {20, 36, 49, 82};
        default:
            return {20, 36, 52, 94};
    }
}

std::vector<Block> expectedBlocks(Screen screen, int locale, float W, int fileValid) {
    const float fh = smallScript(locale) ? 10.0f : 13.0f;
    const juce::String device = text(static_cast<unsigned int>(fileValid + 1));
    // Chinese and Korean put the device after the two button names.
    const auto withButtons = [&](unsigned int index) {
        return locale >= 8 && locale <= 11 ? fill(text(index), {kFirstLabel, kSecondLabel, device})
                                           : fill(text(index), {device, kFirstLabel, kSecondLabel});
    };
    const auto instructions = [&](bool headline) {
        const auto tops = instructionTops(locale);
        const float width = W - 120;
        const int connectLines = locale == 2 || locale == 4 ? 2 : 1;
        const int modeLines = locale == 0 ? 2 : 3;
        std::vector<Block> b;
        if (headline) b.push_back(block(fill(text(20), {device}), 105, width, tops[0]).box(16, 1).heading());
        b.push_back(block(fill(text(21), {device}), 105, width, tops[1]).box(32, connectLines).height(fh));
        b.push_back(block(withButtons(22), 105, width, tops[2]).box(16.0f * modeLines, modeLines).height(fh));
        b.push_back(block(text(23), 105, width, tops[3]).box(16, 1).height(fh));
        return b;
    };

    switch (screen) {
        case Screen::Language:
            return {block(text(8) + "\n\n", 20, W - 40, 20).heading(), block(text(9), 40, W - 60).after(0)};
        case Screen::FileError:
            return {block(text(10), 105, W - 125, 20)};
        case Screen::NotConnected:
            return instructions(true);
        case Screen::Ready: {
            const int lines = locale == 0 ? 2 : 3;
            const juce::String versions = text(13).replace("%d.%02d", versionText(kDeviceVersion)) + "\n" +
                                          text(14).replace("%d.%02d", versionText(kFileVersion));
            return {block(fill(text(12), {device}) + "\n\n", 20, W - 40, 20).heading(),
                    block(withButtons(24), 40, W - 60, locale == 6 ? 51 : 36).box(16.0f * lines, lines).height(fh),
                    block(versions, 60, W - 60).after(5).height(fh)};
        }
        case Screen::Updating:
            return {block(fill(text(15), {device}) + "\n\n", 20, W - 40, 20).heading(),
                    block(text(16), 40, W - 60).after(0)};
        case Screen::Complete:
            return {block(fill(text(17), {device}), 20, W - 40, 20)};
        case Screen::Error: {
            std::vector<Block> b{block(text(18) + "\n", 105, W - 125, 20)};
            for (const Block& i : instructions(false)) b.push_back(i);
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
                              << (g >= n ? juce::String("missing")
                                         : "'" + shown(glyphs.getGlyph(g).getCharacter()) + "'");
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

std::map<long, float> linesOf(juce::GlyphArrangement& glyphs, const std::vector<int>& indices) {
    std::map<long, float> lines;  // baseline in hundredths -> left edge
    for (int i : indices) {
        const auto& pg = glyphs.getGlyph(i);
        const long key = std::lround(pg.getBaselineY() * 100);
        const auto it = lines.find(key);
        lines[key] = it == lines.end() ? pg.getLeft() : std::min(it->second, pg.getLeft());
    }
    return lines;
}

// Collects the first few faults of a block, so that one broken block does not flood the output.
class Faults {
public:
    template <typename... T>
    void check(bool ok, const T&... what) {
        if (ok || m_list.size() >= 6) return;
        std::ostringstream s;
        (s << ... << what);
        m_list.push_back(s.str());
    }
    std::string str() const {
        std::string all;
        for (const auto& f : m_list) all += "\n  " + f;
        return all;
    }
    bool empty() const { return m_list.empty(); }

private:
    std::vector<std::string> m_list;
};

void checkLayout(juce::GlyphArrangement& glyphs, const std::vector<Block>& blocks,
                 const std::vector<std::vector<int>>& segments, float H) {
    constexpr float eps = 0.01f;
    for (size_t k = 0; k < blocks.size(); ++k) {
        const Block& b = blocks[k];
        const auto& indices = segments[k];
        Faults faults;
        const float top = glyphs.getGlyph(indices.front()).getTop();
        const float expectedTop = b.followsPrevious ? glyphs.getGlyph(indices.front() - 1).getBottom() + b.gap : b.top;
        faults.check(std::abs(top - expectedTop) < eps, "top ", top, ", expected ", expectedTop);
        float bottom = 0;
        for (int i : indices) {
            const auto& pg = glyphs.getGlyph(i);
            const juce::String c = shown(pg.getCharacter());
            faults.check(std::abs(pg.getBottom() - pg.getTop() - b.glyphHeight) < eps, "'", c, "' is ",
                         pg.getBottom() - pg.getTop(), " high, expected ", b.glyphHeight);
            faults.check(pg.getLeft() >= b.x - eps, "'", c, "' starts at ", pg.getLeft(), ", left of ", b.x);
            // Squeezing a line into its box may overshoot by half a pixel.
            faults.check(pg.getRight() <= b.x + b.width + 0.5f, "'", c, "' ends at ", pg.getRight(), ", right of ",
                         b.x + b.width);
            faults.check(pg.getBottom() <= H + eps, "'", c, "' reaches ", pg.getBottom(), ", below ", H);
            if (b.boxHeight > 0)
                faults.check(pg.getBottom() <= top + b.boxHeight + eps, "'", c, "' reaches ", pg.getBottom(),
                             ", below its box ending at ", top + b.boxHeight);
            bottom = std::max(bottom, pg.getBottom());
        }
        const auto lines = linesOf(glyphs, indices);
        for (const auto& [baseline, left] : lines)
            faults.check(std::abs(left - b.x) < eps, "line at ", baseline / 100.0, " starts at ", left, ", not ", b.x);
        if (b.maxLines > 0) faults.check(static_cast<int>(lines.size()) <= b.maxLines, lines.size(), " lines");
        if (k + 1 < blocks.size()) {
            const float nextTop = glyphs.getGlyph(segments[k + 1].front()).getTop();
            faults.check(nextTop >= bottom - eps, "the next block starts at ", nextTop, ", above this one's end at ",
                         bottom);
        }
        EXPECT_TRUE(faults.empty()) << "block " << k << " \"" << b.text << "\":" << faults.str();
    }
}

struct ButtonExpectation {
    unsigned int text;  // 0: hidden
    bool rightSlot;
};

void checkButton(AlineButton& button, ButtonExpectation expected, const Size& size, const char* which) {
    SCOPED_TRACE(which);
    EXPECT_EQ(button.isVisible(), expected.text != 0);
    if (expected.text == 0) return;
    EXPECT_EQ(button.getButtonText(), text(expected.text));
    const juce::Point<int> at = expected.rightSlot ? size.right : size.left;
    EXPECT_EQ(button.getBounds(), juce::Rectangle<int>(at.x, at.y, 100, 20));
}

void checkWidgets(MainComponent& c, Screen screen, int locale, const Size& size) {
    juce::ComboBox& list = Access::langs(c);
    EXPECT_EQ(list.isVisible(), screen == Screen::Language);
    EXPECT_EQ(list.getBounds(), size.strip);
    if (screen == Screen::Language) {
        EXPECT_EQ(list.getSelectedId(), locale + 1);
    }
    EXPECT_EQ(Access::progressBar(c).isVisible(), screen == Screen::Updating);
    EXPECT_EQ(Access::progressBar(c).getBounds(), size.strip);

    ButtonExpectation ok{0, true}, cancel{0, true};
    switch (screen) {
        case Screen::Language:
            ok = {4, true};
            cancel = {6, false};
            break;
        case Screen::FileError:
        case Screen::Complete:
        case Screen::Error:
            cancel = {4, true};
            break;
        case Screen::NotConnected:
            cancel = {7, true};
            break;
        case Screen::Ready:
            ok = {5, true};
            cancel = {7, false};
            break;
        case Screen::Updating:
            break;
    }
    checkButton(Access::okButton(c), ok, size, "first button");
    checkButton(Access::cancelButton(c), cancel, size, "second button");
}

bool hasWarningIcon(Screen screen) {
    return screen == Screen::FileError || screen == Screen::NotConnected || screen == Screen::Error;
}

bool isYellow(juce::Colour c) { return c.getRed() > 160 && c.getGreen() > 150 && c.getBlue() < 120; }

// Where the icon's pixels are locally uniform, the screen must show them composited over the background at the
// place they map to in (20, 15, 64, 64): this pins position and scale without depending on the resampling.
void checkWarningIcon(const juce::Image& screen) {
    const juce::Image icon = ImageLoader::getInstance()->getImage(0);
    ASSERT_TRUE(icon.isValid());
    ASSERT_EQ(icon.getWidth(), 56);
    ASSERT_EQ(icon.getHeight(), 55);
    int compared = 0, yellow = 0, wrong = 0;
    juce::String firstWrong;
    for (int y = 15; y < 79; ++y) {
        for (int x = 20; x < 84; ++x) {
            const int sx = static_cast<int>((static_cast<float>(x - 20) + 0.5f) * 56.0f / 64.0f);
            const int sy = static_cast<int>((static_cast<float>(y - 15) + 0.5f) * 55.0f / 64.0f);
            if (sx < 1 || sy < 1 || sx >= 55 || sy >= 54) continue;
            const juce::Colour source = icon.getPixelAt(sx, sy);
            bool uniform = true;
            for (int dy = -1; dy <= 1 && uniform; ++dy)
                for (int dx = -1; dx <= 1 && uniform; ++dx) uniform = icon.getPixelAt(sx + dx, sy + dy) == source;
            if (!uniform) continue;
            const juce::Colour expected = kBackground.overlaidWith(source);
            ++compared;
            if (isYellow(expected)) ++yellow;
            if (colourDistance(screen.getPixelAt(x, y), expected) > 3 && wrong++ == 0)
                firstWrong << "(" << x << ", " << y << ") " << screen.getPixelAt(x, y).toDisplayString(true)
                           << " instead of " << expected.toDisplayString(true);
        }
    }
    EXPECT_GT(compared, 1500);
    EXPECT_GT(yellow, 500);
    EXPECT_EQ(wrong, 0) << firstWrong;
    for (int i = 15; i < 79; ++i)
        for (juce::Point<int> p : {juce::Point<int>(19, i), {84, i}, {i + 5, 14}, {i + 5, 79}})
            EXPECT_EQ(screen.getPixelAt(p.x, p.y), kBackground) << "outside the icon at " << p.toString();
}

void checkPaint(MainComponent& c, Screen screen, const std::vector<Block>& blocks,
                const std::vector<std::vector<int>>& segments) {
    const int W = c.getWidth(), H = c.getHeight();
    juce::Image image(juce::Image::ARGB, W, H, true);
    uitest::RecordingContext context(image);
    {
        juce::Graphics g(context);
        c.paintEntireComponent(g, true);
    }

    // The arrangement is drawn first, before any child, glyph by glyph in order.
    juce::GlyphArrangement& glyphs = Access::glyphs(c);
    size_t drawn = 0;
    for (size_t k = 0; k < blocks.size(); ++k) {
        Faults faults;
        for (int i : segments[k]) {
            if (drawn >= context.glyphs.size()) {
                faults.check(false, "glyph ", i, " not drawn");
                break;
            }
            const auto& recorded = context.glyphs[drawn++];
            const auto& pg = glyphs.getGlyph(i);
            faults.check(recorded.position == juce::Point<float>(pg.getLeft(), pg.getBaselineY()), "glyph ", i,
                         " drawn at ", recorded.position.toString());
            faults.check(recorded.colour == juce::Colour(0xFF000000), "glyph ", i, " in ",
                         recorded.colour.toDisplayString(true));
            faults.check(recorded.font.isBold() == blocks[k].bold, "glyph ", i, blocks[k].bold ? " not" : "", " bold");
        }
        EXPECT_TRUE(faults.empty()) << "block " << k << ":" << faults.str();
    }

    for (juce::Point<int> corner : {juce::Point<int>(0, 0), {W - 1, 0}, {0, H - 1}, {W - 1, H - 1}})
        EXPECT_EQ(image.getPixelAt(corner.x, corner.y), kBackground) << corner.toString();

    // Coarse: every block shows dark ink within its glyphs.
    for (size_t k = 0; k < blocks.size(); ++k) {
        juce::Rectangle<float> area;
        for (int i : segments[k]) area = area.getUnion(glyphs.getGlyph(i).getBounds());
        const juce::Rectangle<int> pixels = area.getSmallestIntegerContainer().getIntersection({0, 0, W, H});
        const int dark = uitest::countPixels(image, pixels, [](juce::Colour p) {
            return p.getAlpha() == 255 && p.getRed() < 100 && p.getGreen() < 100 && p.getBlue() < 100;
        });
        EXPECT_GT(dark, 0) << "no ink for block " << k << " in " << pixels.toString();
    }

    if (hasWarningIcon(screen))
        checkWarningIcon(image);
    else
        EXPECT_EQ(uitest::countPixels(image, {20, 15, 64, 64}, isYellow), 0) << "warning icon on this screen";
}

void show(MainComponent& c, const ScreenCase& s) {
    Access::state(c) = s.state;
    Access::fileValid(c) = s.fileValid;
    Access::fileVersion(c) = kFileVersion;
    Access::deviceVersion(c) = kDeviceVersion;
    c.updateCtrl();
}

// Lays out, checks and paints one screen; the blocks' indices when the text matched.
void checkScreen(MainComponent& c, const ScreenCase& s, int locale, const Size& size) {
    SCOPED_TRACE(s.name);
    show(c, s);
    checkWidgets(c, s.screen, locale, size);
    const auto blocks = expectedBlocks(s.screen, locale, static_cast<float>(size.width), s.fileValid);
    const auto segments = segment(Access::glyphs(c), blocks);
    if (segments.empty()) return;
    checkLayout(Access::glyphs(c), blocks, segments, static_cast<float>(size.height));
    checkPaint(c, s.screen, blocks, segments);
}

void dump(MainComponent& c, const juce::String& folder, int locale, const char* name) {
    const juce::File file = juce::File(folder).getChildFile(langList[locale].m_code + "-" + name + ".png");
    file.deleteFile();
    juce::FileOutputStream out(file);
    ASSERT_TRUE(out.openedOk()) << file.getFullPathName();
    EXPECT_TRUE(juce::PNGImageFormat().writeImageToStream(uitest::render(c), out));
}

using ScreenParam = std::tuple<int, Size>;

class Screens : public screentest::WithMainComponent<::testing::TestWithParam<ScreenParam>> {};

TEST_P(Screens, LayoutWidgetsAndPaint) {
    const auto& [locale, size] = GetParam();
    TxtLoader::getInstance()->setLocale(static_cast<unsigned int>(locale));
    ASSERT_EQ(TxtLoader::getInstance()->getLocale(), static_cast<unsigned int>(locale));
    component->setSize(size.width, size.height);

    const char* folder = std::getenv("KTR_SCREEN_DUMP");
    for (const ScreenCase& s : kScreens) {
        checkScreen(*component, s, locale, size);
        if (folder != nullptr && *folder != '\0' && size.width == 420) dump(*component, folder, locale, s.name);
    }
}

std::string paramName(const ::testing::TestParamInfo<ScreenParam>& info) {
    const int locale = std::get<0>(info.param);
    const Size& size = std::get<1>(info.param);
    return (langList[locale].m_code.replace("-", "") + "_" + juce::String(size.width) + "x" + juce::String(size.height))
        .toStdString();
}

INSTANTIATE_TEST_SUITE_P(AllLanguages, Screens,
                         ::testing::Combine(::testing::Range(0, 12), ::testing::ValuesIn(kSizes)), paramName);

class ScreenDetails : public screentest::WithMainComponent<> {};

TEST_F(ScreenDetails, VersionsShowHundredthsWithTwoDigits) {
    for (int locale : {0, 9, 11}) {
        TxtLoader::getInstance()->setLocale(static_cast<unsigned int>(locale));
        for (auto [device, file, deviceText, fileText] :
             {std::tuple{210, 7, "2.10", "0.07"}, {1000, 99, "10.00", "0.99"}, {0, 100, "0.00", "1.00"}}) {
            SCOPED_TRACE(juce::String(locale) + ": " + juce::String(device) + ", " + juce::String(file));
            show(*component, {Screen::Ready, 2, 1, "ready"});
            Access::deviceVersion(*component) = device;
            Access::fileVersion(*component) = file;
            component->updateCtrl();
            auto blocks = expectedBlocks(Screen::Ready, locale, 420, 1);
            blocks.back().text = text(13).replace("%d.%02d", deviceText) + "\n" + text(14).replace("%d.%02d", fileText);
            const auto segments = segment(Access::glyphs(*component), blocks);
            if (!segments.empty()) checkLayout(Access::glyphs(*component), blocks, segments, 170);
        }
    }
}

juce::String glyphText(juce::GlyphArrangement& glyphs) {
    juce::String all;
    for (int i = 0; i < glyphs.getNumGlyphs(); ++i)
        all += juce::String::charToString(glyphs.getGlyph(i).getCharacter());
    return all;
}

// Exact, spaces included, where the layout check lets whitespace go: one-line texts only.
TEST_F(ScreenDetails, SpacedPlaceholderAndTextsWithoutPlaceholder) {
    TxtLoader::getInstance()->setLocale(7);
    show(*component, {Screen::Updating, 3, 1, "updating"});
    EXPECT_TRUE(glyphText(Access::glyphs(*component))
                    .startsWith(juce::String::fromUTF8("Atualizando o firmware do seuKTR-Q7.\n\n")))
        << glyphText(Access::glyphs(*component));

    for (int locale : {7, 10}) {
        TxtLoader::getInstance()->setLocale(static_cast<unsigned int>(locale));
        ASSERT_FALSE(text(17).contains("%"));
        show(*component, {Screen::Complete, 4, 1, "complete"});
        EXPECT_EQ(glyphText(Access::glyphs(*component)), text(17));
    }
}

// A validity of 2 names the program itself as the device: multi-byte in most languages.
TEST_F(ScreenDetails, MultiByteDeviceNamesPassThrough) {
    for (int locale : {1, 6, 8, 10, 11}) {
        TxtLoader::getInstance()->setLocale(static_cast<unsigned int>(locale));
        for (const ScreenCase& s : {ScreenCase{Screen::Ready, 2, 2, "ready"},
                                    {Screen::Updating, 3, 2, "updating"},
                                    {Screen::Complete, 4, 2, "complete"}}) {
            SCOPED_TRACE(juce::String(locale) + " " + s.name);
            show(*component, s);
            EXPECT_FALSE(segment(Access::glyphs(*component), expectedBlocks(s.screen, locale, 420, 2)).empty());
        }
    }
}

TEST_F(ScreenDetails, TitleGoesToTheParentInTheCurrentLanguage) {
    juce::Component parent;
    parent.setName("untitled");
    TxtLoader::getInstance()->setLocale(0);
    component->updateCtrl();
    EXPECT_EQ(parent.getName(), "untitled");

    parent.addChildComponent(component.get());
    component->setSize(426, 176);
    EXPECT_EQ(parent.getName(), text(3));
    EXPECT_EQ(parent.getName(), "Updater Program");

    // As the user picks a language from the list.
    Access::langs(*component).setSelectedId(7 + 1, juce::sendNotificationSync);
    EXPECT_EQ(TxtLoader::getInstance()->getLocale(), 7u);
    EXPECT_EQ(parent.getName(), juce::String::fromUTF8("Programa de Atualização"));
    EXPECT_FALSE(segment(Access::glyphs(*component), expectedBlocks(Screen::Language, 7, 426, 0)).empty());
    parent.removeChildComponent(component.get());
}

}  // namespace
