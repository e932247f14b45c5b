// A typeface whose glyphs are the outlines of one face of a font file, read through FreeType.
#pragma once

#include <juce_graphics/juce_graphics.h>

#include <memory>
#include <mutex>
#include <string>

namespace ktrplatform::detail {

// One opened face; thread-safe. A file that cannot be opened gives a face without glyphs.
class FontFace {
public:
    FontFace(const std::string& file, int index);
    ~FontFace();
    FontFace(const FontFace&) = delete;
    FontFace& operator=(const FontFace&) = delete;

    // The face opened for the file and index, shared for the life of the process.
    static std::shared_ptr<FontFace> acquire(const std::string& file, int index);

    bool isOpen() const { return m_handles != nullptr; }
    // Ascent as a proportion of the face's height (ascent plus descent).
    float ascent() const { return m_ascent; }
    bool hasCharacter(juce::juce_wchar character);
    // The outline and advance, normalised to a height of 1 with y pointing down; false when the face has no
    // glyph for the character or it has no outline.
    bool loadGlyph(juce::juce_wchar character, juce::Path& outline, float& advance);

private:
    struct Handles;
    std::mutex m_mutex;
    std::unique_ptr<Handles> m_handles;  // null when the file could not be opened
    float m_scale = 0.0f;
    float m_ascent = 0.8f;  // a usual proportion, for a face without metrics
};

class OutlineTypeface : public juce::CustomTypeface {
public:
    OutlineTypeface(std::shared_ptr<FontFace> face, const juce::String& family, const juce::String& style);

    const FontFace& face() const { return *m_face; }

protected:
    // False for a character the face lacks, so that the framework draws it with the fallback typeface.
    bool loadGlyphIfPossible(juce::juce_wchar character) override;

private:
    std::shared_ptr<FontFace> m_face;
};

}  // namespace ktrplatform::detail
