#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "ImageLoader.h"

namespace {

class Images : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_juce = new juce::ScopedJuceInitialiser_GUI; }
    static void TearDownTestSuite() {
        delete s_juce;
        s_juce = nullptr;
    }
    void TearDown() override { ImageLoader::releaseInstance(); }

    static juce::ScopedJuceInitialiser_GUI* s_juce;
};
juce::ScopedJuceInitialiser_GUI* Images::s_juce = nullptr;

void put32(std::vector<char>& data, size_t at, int32_t value) { std::memcpy(&data[at], &value, 4); }

// A bitmap header and rows of `stride` bytes; pixel bytes count up from 1 so each one is known.
std::vector<char> bitmap(int32_t width, int32_t height, int16_t bits, size_t rowBytes) {
    const size_t rows = static_cast<size_t>(height > 0 ? height : -height);
    std::vector<char> data(54 + rows * rowBytes, 0);
    data[0] = 'B';
    data[1] = 'M';
    put32(data, 18, width);
    put32(data, 22, height);
    std::memcpy(&data[28], &bits, 2);
    for (size_t i = 54; i < data.size(); ++i) data[i] = static_cast<char>(i - 53);
    return data;
}

TEST_F(Images, BuiltInWarningIcon) {
    ImageLoader::createInstance();
    ImageLoader* loader = ImageLoader::getInstance();
    const juce::Image icon = loader->getImage(0);
    ASSERT_TRUE(icon.isValid());
    EXPECT_EQ(icon.getWidth(), 56);
    EXPECT_EQ(icon.getHeight(), 55);
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
    // Width 3 at 24 bits: 9 bytes of pixels and 3 of padding a row.
    std::vector<char> data = bitmap(3, 2, 24, 12);
    const juce::Image image = ImageLoader::DecodeBitmap(data.data(), static_cast<int>(data.size()));
    ASSERT_TRUE(image.isValid());
    EXPECT_EQ(image.getFormat(), juce::Image::RGB);
    const juce::Image::BitmapData pixels(image, juce::Image::BitmapData::readOnly);
    const unsigned char firstRow[] = {3, 2, 1, 6, 5, 4, 9, 8, 7};  // each pixel's bytes reversed
    const unsigned char secondRow[] = {15, 14, 13, 18, 17, 16, 21, 20, 19};
    for (int x = 0; x < 3; ++x) {
        EXPECT_EQ(std::memcmp(pixels.getPixelPointer(x, 1), firstRow + 3 * x, 3), 0) << x;
        EXPECT_EQ(std::memcmp(pixels.getPixelPointer(x, 0), secondRow + 3 * x, 3), 0) << x;
    }

    // Width 4 fills its 12 bytes exactly; one byte short of the rows it claims gives no image.
    data = bitmap(4, 1, 24, 12);
    EXPECT_TRUE(ImageLoader::DecodeBitmap(data.data(), static_cast<int>(data.size())).isValid());
    EXPECT_TRUE(ImageLoader::DecodeBitmap(data.data(), static_cast<int>(data.size()) - 1).isNull());

    data = bitmap(2, 1, 32, 8);
    const juce::Image argb = ImageLoader::DecodeBitmap(data.data(), static_cast<int>(data.size()));
    ASSERT_TRUE(argb.isValid());
    EXPECT_EQ(argb.getFormat(), juce::Image::ARGB);
    const juce::Image::BitmapData argbPixels(argb, juce::Image::BitmapData::readOnly);
    const unsigned char reversed[] = {8, 7, 6, 5};
    EXPECT_EQ(std::memcmp(argbPixels.getPixelPointer(1, 0), reversed, 4), 0);
}

TEST_F(Images, BitmapsOutsideTheFormatGiveNoImage) {
    struct Case {
        const char* what;
        std::vector<char> data;
    };
    std::vector<Case> cases = {
        {"16 bits", bitmap(1, 1, 16, 4)},
        {"zero width", bitmap(0, 1, 24, 4)},
        {"zero height", bitmap(1, 0, 24, 4)},
        {"top-down", bitmap(1, -1, 24, 4)},
        {"negative width", bitmap(-1, 1, 24, 4)},
        {"huge width", bitmap(INT32_MAX, 1, 24, 4)},
        {"huge height", bitmap(1, INT32_MAX / 2, 24, 0)},
    };
    cases.push_back({"no BM", bitmap(1, 1, 24, 4)});
    cases.back().data[1] = 'X';
    cases.push_back({"header cut", bitmap(1, 1, 24, 4)});
    cases.back().data.resize(53);
    for (Case& c : cases)
        EXPECT_TRUE(ImageLoader::DecodeBitmap(c.data.data(), static_cast<int>(c.data.size())).isNull()) << c.what;
    EXPECT_TRUE(ImageLoader::DecodeBitmap(nullptr, 100).isNull());
}

TEST(ByteOrder, ShiftReversesTheFirstBytes) {
    char one[] = {1};
    ByteShift(one, 1);
    EXPECT_EQ(one[0], 1);
    char three[] = {1, 2, 3};
    ByteShift(three, 3);
    EXPECT_EQ(std::memcmp(three, "\3\2\1", 3), 0);
    char four[] = {1, 2, 3, 4};
    ByteShift(four, 4);
    EXPECT_EQ(std::memcmp(four, "\4\3\2\1", 4), 0);
}

}  // namespace
