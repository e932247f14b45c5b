#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

#include "ImageLoader.h"

namespace {

struct Images : ::testing::Test {
    void TearDown() override { ImageLoader::releaseInstance(); }
};

void put(std::vector<char>& data, size_t at, int32_t value, size_t bytes = 4) { std::memcpy(&data[at], &value, bytes); }

// A bitmap header and rows of `rowBytes` bytes; pixel bytes count up in tens from 10 so each one is known.
std::vector<char> bitmap(int32_t width, int32_t height, int16_t bits, size_t rowBytes) {
    std::vector<char> data(54 + static_cast<size_t>(height > 0 ? height : -height) * rowBytes, 0);
    data[0] = 'B';
    data[1] = 'M';
    put(data, 18, width);
    put(data, 22, height);
    put(data, 28, bits, 2);
    for (size_t i = 54; i < data.size(); ++i) data[i] = static_cast<char>((i - 53) * 10);
    return data;
}

juce::Image decode(std::vector<char> data, int less = 0) {
    return ImageLoader::DecodeBitmap(data.data(), static_cast<int>(data.size()) - less);
}

// Largest difference between the channels, alpha included.
int distance(juce::Colour a, juce::Colour b) {
    return std::max({std::abs(a.getRed() - b.getRed()), std::abs(a.getGreen() - b.getGreen()),
                     std::abs(a.getBlue() - b.getBlue()), std::abs(a.getAlpha() - b.getAlpha())});
}

TEST_F(Images, BuiltInWarningIcon) {
    ImageLoader::createInstance();
    ImageLoader* loader = ImageLoader::getInstance();
    const juce::Image icon = loader->getImage(0);
    EXPECT_TRUE(icon.hasAlphaChannel() && icon.getBounds() == juce::Rectangle<int>(0, 0, 56, 55));
    EXPECT_EQ(icon.getPixelAt(0, 0).getAlpha(), 0);
    EXPECT_EQ(icon.getPixelAt(18, 46), juce::Colour(225, 208, 64));
    EXPECT_EQ(icon.getPixelAt(28, 30), juce::Colour(0, 0, 0));
    EXPECT_TRUE(loader->getImage(1).isNull() && loader->getImage(UINT_MAX).isNull());

    ImageLoader::createInstance();  // decodes nothing
    EXPECT_EQ(ImageLoader::getInstance(), loader);
    EXPECT_EQ(loader->getImage(0).getPixelData(), icon.getPixelData());
    ImageLoader::releaseInstance();
    ImageLoader::releaseInstance();
    EXPECT_TRUE(ImageLoader::getInstance()->getImage(0).isValid());
}

// Stored bottom-up, each pixel blue, green, red (and alpha with 32 bits), rows padded to 4 bytes.
TEST_F(Images, BitmapPixelsKeepTheirStoredColours) {
    std::vector<char> argb = bitmap(3, 1, 32, 12);
    const unsigned char stored[] = {0, 0, 255, 255, 255, 0, 0, 0x80, 0x30, 0x60, 0x90, 0xC0};
    std::memcpy(&argb[54], stored, sizeof stored);
    // Width 3 at 24 bits: 9 bytes of pixels and 3 of padding a row.
    const juce::Image rgb = decode(bitmap(3, 2, 24, 12)), decoded = decode(argb);
    ASSERT_TRUE(rgb.isValid() && decoded.isValid());
    EXPECT_TRUE(rgb.getFormat() == juce::Image::RGB && decoded.getFormat() == juce::Image::ARGB);
    const std::tuple<const juce::Image&, int, int, juce::Colour> pixels[] = {
        {rgb, 0, 1, juce::Colour(30, 20, 10)},     {rgb, 2, 1, juce::Colour(90, 80, 70)},
        {rgb, 0, 0, juce::Colour(150, 140, 130)},  {rgb, 2, 0, juce::Colour(210, 200, 190)},
        {decoded, 0, 0, juce::Colour(0xFFFF0000)}, {decoded, 1, 0, juce::Colour(0x800000FF)},
        {decoded, 2, 0, juce::Colour(0xC0906030)},
    };
    for (const auto& [image, x, y, colour] : pixels)  // partly transparent pixels are kept premultiplied
        EXPECT_LE(distance(image.getPixelAt(x, y), colour), 3)
            << x << ", " << y << ": " << image.getPixelAt(x, y).toDisplayString(true);

    // Width 4 fills its 12 bytes exactly; one byte short of the rows it claims gives no image.
    EXPECT_TRUE(decode(bitmap(4, 1, 24, 12)).isValid());
    EXPECT_TRUE(decode(bitmap(4, 1, 24, 12), 1).isNull());
}

TEST_F(Images, BitmapsOutsideTheFormatGiveNoImage) {
    // clang-format off
    std::vector<std::pair<const char*, std::vector<char>>> cases = {
        {"16 bits", bitmap(1, 1, 16, 4)}, {"zero width", bitmap(0, 1, 24, 4)}, {"zero height", bitmap(1, 0, 24, 4)},
        {"top-down", bitmap(1, -1, 24, 4)}, {"negative width", bitmap(-1, 1, 24, 4)},
        {"huge width", bitmap(INT32_MAX, 1, 24, 4)}, {"huge height", bitmap(1, INT32_MAX / 2, 24, 0)},
        {"no BM", bitmap(1, 1, 24, 4)}, {"header cut", bitmap(1, 1, 24, 4)}};
    // clang-format on
    cases[7].second[1] = 'X';
    cases[8].second.resize(53);
    for (const auto& [what, data] : cases) EXPECT_TRUE(decode(data).isNull()) << what;
    EXPECT_TRUE(ImageLoader::DecodeBitmap(nullptr, 100).isNull());
}

}  // namespace
