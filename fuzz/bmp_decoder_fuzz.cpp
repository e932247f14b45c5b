// The bitmap fallback decoder on arbitrary bytes; it reverses pixels in place, so it gets a copy.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ImageLoader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 24) return 0;
    std::vector<char> bytes(data, data + size);
    const juce::Image image = ImageLoader::DecodeBitmap(bytes.data(), static_cast<int>(size));
    if (image.isValid()) (void)image.getPixelAt(image.getWidth() - 1, 0);
    return 0;
}
