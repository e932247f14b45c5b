// The images built into the program, decoded once and handed out by index.
#pragma once

#include <juce_graphics/juce_graphics.h>

bool IsLittleEndian();
short LittleEndian16(short value);
long LittleEndian32(long value);
void ByteShift(char* bytes, int count);

class ImageLoader {
public:
    static constexpr unsigned int kImageCount = 1;

    static void createInstance();
    static ImageLoader* getInstance();
    static void releaseInstance();

    // A null image for an index without one.
    juce::Image getImage(unsigned int index) const;

    static void Load(unsigned int index, juce::Image* out);
    // The fallback for data the framework cannot decode: an uncompressed 24- or 32-bit Windows
    // bitmap, rows from byte 54, whose pixels it reverses in place. Null for anything else, for
    // non-positive or oversized dimensions, and when the data is shorter than the rows it claims.
    static juce::Image DecodeBitmap(char* data, int size);

private:
    ImageLoader();
    virtual ~ImageLoader();
    ImageLoader(const ImageLoader&) = delete;
    ImageLoader& operator=(const ImageLoader&) = delete;

    static ImageLoader* m_pinstance;

    juce::Image m_image[kImageCount];
};
