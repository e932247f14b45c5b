#include "ImageLoader.h"

#include <cstdint>
#include <cstring>

#include "Binary.h"

namespace {

constexpr int kFileHeaderSize = 14;
constexpr int kInfoHeaderSize = 40;
constexpr int kRowsOffset = kFileHeaderSize + kInfoHeaderSize;
constexpr int kBitsOffset = 28;
constexpr int kWidthOffset = 18;
constexpr int kHeightOffset = 22;
// Beyond what any icon needs; keeps a forged header from asking for a giant image.
constexpr long kMaxDimension = 16384;

// The header fields lie at odd offsets, so they are copied out rather than cast in place.
short readShort(const char* at) {
    int16_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

long readLong(const char* at) {
    int32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

}  // namespace

bool IsLittleEndian() {
    const uint16_t one = 1;
    unsigned char first;
    std::memcpy(&first, &one, 1);
    return first != 0;
}

short LittleEndian16(short value) {
    if (IsLittleEndian()) return value;
    const auto bits = static_cast<uint16_t>(value);
    return static_cast<short>(static_cast<uint16_t>((bits >> 8) | (bits << 8)));
}

long LittleEndian32(long value) {
    if (IsLittleEndian()) return value;
    const auto bits = static_cast<uint32_t>(value);
    const uint32_t swapped = (bits >> 24) | ((bits >> 8) & 0x0000FF00u) | ((bits << 8) & 0x00FF0000u) | (bits << 24);
    return static_cast<int32_t>(swapped);
}

void ByteShift(char* bytes, int count) {
    for (int i = 0; i < count / 2; ++i) {
        const char held = bytes[i];
        bytes[i] = bytes[count - 1 - i];
        bytes[count - 1 - i] = held;
    }
}

ImageLoader* ImageLoader::m_pinstance = nullptr;

ImageLoader::ImageLoader() {
    for (unsigned int i = 0; i < kImageCount; ++i) Load(i, &m_image[i]);
}

ImageLoader::~ImageLoader() {
    // The cache cannot be handed one image back; dropping our reference and purging what
    // nobody else holds is the nearest thing.
    bool held = false;
    for (juce::Image& image : m_image) {
        held = held || image.isValid();
        image = juce::Image();
    }
    if (held) juce::ImageCache::releaseUnusedImages();
}

void ImageLoader::createInstance() {
    if (m_pinstance == nullptr) m_pinstance = new ImageLoader();
}

ImageLoader* ImageLoader::getInstance() {
    if (m_pinstance == nullptr) createInstance();
    return m_pinstance;
}

void ImageLoader::releaseInstance() {
    delete m_pinstance;
    m_pinstance = nullptr;
}

juce::Image ImageLoader::getImage(unsigned int index) const {
    return index < kImageCount ? m_image[index] : juce::Image();
}

void ImageLoader::Load(unsigned int index, juce::Image* out) {
    if (out == nullptr) return;
    *out = juce::Image();
    if (index >= kImageCount) return;
    const char* bytes = *pimageList[index].m_pointer;
    const int size = *pimageList[index].m_length;

    *out = juce::ImageCache::getFromMemory(bytes, size);
    if (out->isValid()) return;

    juce::HeapBlock<char> copy(static_cast<size_t>(size));
    std::memcpy(copy, bytes, static_cast<size_t>(size));
    *out = DecodeBitmap(copy, size);
    // Nothing looks the image up again; the cache only has to hold it like a decoded PNG.
    if (out->isValid())
        juce::ImageCache::addImageToCache(
            *out, static_cast<juce::int64>(reinterpret_cast<juce::pointer_sized_int>(copy.get() + kRowsOffset)));
}

juce::Image ImageLoader::DecodeBitmap(char* data, int size) {
    if (data == nullptr || size < kRowsOffset || data[0] != 'B' || data[1] != 'M') return {};
    const int bits = LittleEndian16(readShort(data + kBitsOffset));
    if (bits != 24 && bits != 32) return {};
    const long width = LittleEndian32(readLong(data + kWidthOffset));
    const long height = LittleEndian32(readLong(data + kHeightOffset));
    // Top-down bitmaps (negative height) are not handled: they give no image.
    if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension) return {};

    const int bytesPerPixel = bits / 8;
    const long stride = (bytesPerPixel * width + 3) & ~3L;
    if (stride * height > size - kRowsOffset) return {};

    const int w = static_cast<int>(width);
    const int h = static_cast<int>(height);
    juce::Image image(bits == 24 ? juce::Image::RGB : juce::Image::ARGB, w, h, true);
    juce::Image::BitmapData target(image, juce::Image::BitmapData::writeOnly);
    for (int r = 0; r < h; ++r) {
        char* row = data + kRowsOffset + r * stride;
        for (int x = 0; x < w; ++x) {
            char* pixel = row + x * bytesPerPixel;
            ByteShift(pixel, bytesPerPixel);
            // Reversed, a pixel reads alpha, red, green, blue (or red, green, blue); the framework's own memory
            // order differs between platforms, so the pixel goes in as a colour.
            const auto* c = reinterpret_cast<const juce::uint8*>(pixel);
            target.setPixelColour(x, h - 1 - r,
                                  bits == 32 ? juce::Colour(c[1], c[2], c[3], c[0]) : juce::Colour(c[0], c[1], c[2]));
        }
    }
    return image;
}
