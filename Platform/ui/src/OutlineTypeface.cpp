#include "OutlineTypeface.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H

#include <map>
#include <utility>

namespace ktrplatform::detail {

// A library of its own per face: FreeType objects of one library must not be used from two threads at once.
struct FontFace::Handles {
    FT_Library library = nullptr;
    FT_Face face = nullptr;

    Handles() = default;
    Handles(const Handles&) = delete;
    Handles& operator=(const Handles&) = delete;
    ~Handles() {
        if (face) FT_Done_Face(face);
        if (library) FT_Done_FreeType(library);
    }
};

namespace {

// Receives the segments of an outline in font units and draws them scaled, with y flipped.
struct OutlineSink {
    juce::Path& path;
    float scale;
    bool open = false;

    juce::Point<float> at(const FT_Vector* v) const { return {(float)v->x * scale, -(float)v->y * scale}; }

    static OutlineSink& of(void* user) { return *static_cast<OutlineSink*>(user); }

    static int moveTo(const FT_Vector* to, void* user) {
        auto& s = of(user);
        if (s.open) s.path.closeSubPath();
        s.path.startNewSubPath(s.at(to));
        s.open = true;
        return 0;
    }
    static int lineTo(const FT_Vector* to, void* user) {
        auto& s = of(user);
        s.path.lineTo(s.at(to));
        return 0;
    }
    static int conicTo(const FT_Vector* control, const FT_Vector* to, void* user) {
        auto& s = of(user);
        s.path.quadraticTo(s.at(control), s.at(to));
        return 0;
    }
    static int cubicTo(const FT_Vector* control1, const FT_Vector* control2, const FT_Vector* to, void* user) {
        auto& s = of(user);
        s.path.cubicTo(s.at(control1), s.at(control2), s.at(to));
        return 0;
    }
};

bool isCodePoint(juce::juce_wchar c) { return c > 0 && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF); }

}  // namespace

FontFace::FontFace(const std::string& file, int index) {
    if (file.empty() || index < 0) return;
    auto handles = std::make_unique<Handles>();
    if (FT_Init_FreeType(&handles->library) != 0) {
        handles->library = nullptr;
        return;
    }
    if (FT_New_Face(handles->library, file.c_str(), index, &handles->face) != 0) {
        handles->face = nullptr;
        return;
    }
    FT_Face face = handles->face;
    // Outlines are what the typeface draws; a face of bitmaps only would have none to give.
    if (!FT_IS_SCALABLE(face)) return;
    if (FT_Select_Charmap(face, FT_ENCODING_UNICODE) != 0) return;
    const long height = (long)face->ascender - (long)face->descender;
    if (height <= 0) return;
    m_scale = 1.0f / (float)height;
    m_ascent = (float)face->ascender * m_scale;
    m_handles = std::move(handles);
}

FontFace::~FontFace() = default;

std::shared_ptr<FontFace> FontFace::acquire(const std::string& file, int index) {
    static std::mutex mutex;
    static std::map<std::pair<std::string, int>, std::shared_ptr<FontFace>> faces;
    std::lock_guard<std::mutex> lock(mutex);
    auto& face = faces[{file, index}];
    if (!face) face = std::make_shared<FontFace>(file, index);
    return face;
}

bool FontFace::hasCharacter(juce::juce_wchar character) {
    if (!isOpen() || !isCodePoint(character)) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    return FT_Get_Char_Index(m_handles->face, (FT_ULong)character) != 0;
}

bool FontFace::loadGlyph(juce::juce_wchar character, juce::Path& outline, float& advance) {
    if (!isOpen() || !isCodePoint(character)) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    FT_Face face = m_handles->face;
    // Glyph 0 is the face's "missing" box; a character without a glyph of its own is left to the fallback.
    const FT_UInt glyph = FT_Get_Char_Index(face, (FT_ULong)character);
    if (glyph == 0) return false;
    const FT_Int32 flags = FT_LOAD_NO_SCALE | FT_LOAD_NO_BITMAP | FT_LOAD_NO_HINTING | FT_LOAD_IGNORE_TRANSFORM;
    if (FT_Load_Glyph(face, glyph, flags) != 0 || face->glyph->format != FT_GLYPH_FORMAT_OUTLINE) return false;

    juce::Path path;
    OutlineSink sink{path, m_scale};
    const FT_Outline_Funcs funcs{
        &OutlineSink::moveTo, &OutlineSink::lineTo, &OutlineSink::conicTo, &OutlineSink::cubicTo, 0, 0};
    if (FT_Outline_Decompose(&face->glyph->outline, &funcs, &sink) != 0) return false;
    if (sink.open) path.closeSubPath();
    outline = std::move(path);
    advance = (float)face->glyph->metrics.horiAdvance * m_scale;
    return true;
}

OutlineTypeface::OutlineTypeface(std::shared_ptr<FontFace> face, const juce::String& family, const juce::String& style)
    : m_face(std::move(face)) {
    setCharacteristics(family, style, m_face->ascent(), 0);
}

bool OutlineTypeface::loadGlyphIfPossible(juce::juce_wchar character) {
    juce::Path outline;
    float advance = 0.0f;
    if (!m_face->loadGlyph(character, outline, advance)) return false;
    addGlyph(character, outline, advance);
    return true;
}

}  // namespace ktrplatform::detail
