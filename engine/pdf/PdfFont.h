// An outline font embedded in the output: glyphs are looked up as text is shown, and
// at the end of the document the font is subset to the glyphs used and written as a
// Type 0 font (Identity-H) with a ToUnicode map, so every Unicode text shows and can
// be copied out of the PDF. Not thread-safe; one object per font per document.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace folimo::pdf {

class PdfWriter;

// Where an outline font lives: a file and the face index inside it (.ttc collections).
struct FontLocation {
    std::string path;
    int faceIndex = 0;
};

// A font file path is taken as it is (an optional ",N" suffix picks face N);
// anything else is a family name looked up with fontconfig, preferring fonts that
// cover Chinese text. Throws PdfError(kErrFont) when nothing usable is found.
FontLocation findFont(const std::string& familyOrPath);

class PdfFont {
public:
    // Opens the font. Throws PdfError(kErrFont) for a file that is missing or not an
    // outline font (TrueType or OpenType/CFF, in a .ttf, .otf or .ttc).
    explicit PdfFont(const FontLocation& location);
    ~PdfFont();
    PdfFont(const PdfFont&) = delete;
    PdfFont& operator=(const PdfFont&) = delete;

    // The operand bytes of a Tj that shows `text` in this font: two-byte glyph ids,
    // the glyphs recorded as used. Characters the font lacks show as its .notdef.
    std::string encode(std::u32string_view text);

    // Writes the font as object `number` (a Type 0 font, reserved earlier by the
    // caller) and its descendant, descriptor, subset font file and ToUnicode map.
    void write(PdfWriter& writer, int number);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace folimo::pdf
