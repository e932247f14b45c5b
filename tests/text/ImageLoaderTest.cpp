#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "ImageLoader.h"

namespace {

struct Images : ::testing::Test {
    void TearDown() override { ImageLoader::releaseInstance(); }
};

void put(std::vector<char>& data, size_t at, int32_t value, size_t bytes = 4) { std::memcpy(&data[at], &value, bytes); }

// A bitmap header and rows of `rowBytes` bytes; pixel bytes count up from 1 so each one is known.
std::vector<char> bitmap(int32_t width, int32_t height, int16_t bits, size_t rowBytes) {
    std::vector<char> data(54 + static_cast<size_t>(height > 0 ? height : -height) * rowBytes, 0);
    data[0] = 'B';
    data[1] = 'M';
    put(data, 18, width);
    put(data, 22, height);
    put(data, 28, bits, 2);
    for (size_t i = 54; i < data.size(); ++i) data[i] = static_cast<char>(i - 53);
    return data;
}

juce::Image decode(std::vector<char> data, int less = 0) {
    return ImageLoader::DecodeBitmap(data.data(), static_cast<int>(data.size()) - less);
}

// The pixel's bytes as stored, as many as the format has.
bool pixelIs(const juce::Image& image, int x, int y, std::vector<unsigned char> bytes) {
    const juce::Image::BitmapData pixels(image, juce::Image::BitmapData::readOnly);
    return std::memcmp(pixels.getPixelPointer(x, y), bytes.data(), bytes.size()) == 0;
}

TEST_F(Images, BuiltInWarningIcon) {
    ImageLoader::createInstance();
    ImageLoader* loader = ImageLoader::getInstance();
    const juce::Image icon = loader->getImage(0);
    ASSERT_TRUE(icon.isValid());
    EXPECT_EQ(icon.getBounds(), juce::Rectangle<int>(0, 0, 56, 55));
    EXPECT_TRUE(icon.hasAlphaChannel());
    EXPECT_EQ(icon.getPixelAt(0, 0).getAlpha(), 0);
    EXPECT_EQ(icon.getPixelAt(18, 46), juce::Colour(225, 208, 64));
    EXPECT_EQ(icon.getPixelAt(28, 30), juce::Colour(0, 0, 0));
    EXPECT_TRUE(loader->getImage(1).isNull());
    EXPECT_TRUE(loader->getImage(UINT_MAX).isNull());

    ImageLoader::createInstance();  // decodes nothing
    EXPECT_EQ(ImageLoader::getInstance(), loader);
    EXPECT_EQ(loader->getImage(0).getPixelData(), icon.getPixelData());
    ImageLoader::releaseInstance();
    ImageLoader::releaseInstance();
    EXPECT_TRUE(ImageLoader::getInstance()->getImage(0).isValid());
}

TEST_F(Images, BitmapRowsArePaddedAndStoredBottomUp) {
    // Width 3 at 24 bits: 9 bytes of pixels and 3 of padding a row; each pixel's bytes reversed.
    const juce::Image image = decode(bitmap(3, 2, 24, 12));
    ASSERT_TRUE(image.isValid());
    EXPECT_EQ(image.getFormat(), juce::Image::RGB);
    EXPECT_TRUE(pixelIs(image, 0, 1, {3, 2, 1}) && pixelIs(image, 1, 1, {6, 5, 4}) && pixelIs(image, 2, 1, {9, 8, 7}));
    EXPECT_TRUE(pixelIs(image, 0, 0, {15, 14, 13}) && pixelIs(image, 1, 0, {18, 17, 16}) &&
                pixelIs(image, 2, 0, {21, 20, 19}));

    // Width 4 fills its 12 bytes exactly; one byte short of the rows it claims gives no image.
    EXPECT_TRUE(decode(bitmap(4, 1, 24, 12)).isValid());
    EXPECT_TRUE(decode(bitmap(4, 1, 24, 12), 1).isNull());

    const juce::Image argb = decode(bitmap(2, 1, 32, 8));
    ASSERT_TRUE(argb.isValid());
    EXPECT_EQ(argb.getFormat(), juce::Image::ARGB);
    EXPECT_TRUE(pixelIs(argb, 1, 0, {8, 7, 6, 5}));
}

TEST_F(Images, BitmapsOutsideTheFormatGiveNoImage) {
    std::vector<std::pair<const char*, std::vector<char>>> cases = {
        {"16 bits", bitmap(1, 1, 16, 4)},
        {"zero width", bitmap(0, 1, 24, 4)},
        {"zero height", bitmap(1, 0, 24, 4)},
        {"top-down", bitmap(1, -1, 24, 4)},
        {"negative width", bitmap(-1, 1, 24, 4)},
        {"huge width", bitmap(INT32_MAX, 1, 24, 4)},
        {"huge height", bitmap(1, INT32_MAX / 2, 24, 0)},
        {"no BM", bitmap(1, 1, 24, 4)},
        {"header cut", bitmap(1, 1, 24, 4)},
    };
    cases[7].second[1] = 'X';
    cases[8].second.resize(53);
    for (const auto& [what, data] : cases) EXPECT_TRUE(decode(data).isNull()) << what;
    EXPECT_TRUE(ImageLoader::DecodeBitmap(nullptr, 100).isNull());
}

TEST(ByteOrder, ShiftReversesTheFirstBytes) {
    char one[] = {1}, three[] = {1, 2, 3}, four[] = {1, 2, 3, 4};
    ByteShift(one, 1);
    ByteShift(three, 3);
    ByteShift(four, 4);
    EXPECT_EQ(one[0], 1);
    EXPECT_EQ(std::memcmp(three, "\3\2\1", 3), 0);
    EXPECT_EQ(std::memcmp(four, "\4\3\2\1", 4), 0);
}

}  // namespace
