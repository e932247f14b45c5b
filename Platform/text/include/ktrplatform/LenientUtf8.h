// UTF-8 decoding that takes malformed input: the texts of the resources and the command lines handed over by a
// second start both come from outside the program.
#pragma once

#include <juce_core/juce_core.h>

#include <cstddef>
#include <string>

namespace ktrtext {

// Length of the well-formed UTF-8 sequence at `p`, 0 when it is malformed or runs past `left` bytes.
inline size_t utf8SequenceLength(const unsigned char* p, size_t left) {
    const unsigned char lead = p[0];
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // excludes overlong forms, surrogates and code points past U+10FFFF
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (left < length || p[1] < low || p[1] > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    return length;
}

// The framework's UTF-8 conversion reads past malformed input, so every malformed byte becomes U+FFFD first.
inline juce::String fromUtf8Leniently(const char* data, size_t size) {
    std::string clean;
    clean.reserve(size);
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    while (size > 0) {
        size_t n = utf8SequenceLength(p, size);
        if (n == 0) {
            clean += "\xEF\xBF\xBD";
            n = 1;
        } else {
            clean.append(reinterpret_cast<const char*>(p), n);
        }
        p += n;
        size -= n;
    }
    return juce::String::fromUTF8(clean.data(), static_cast<int>(clean.size()));
}

}  // namespace ktrtext
