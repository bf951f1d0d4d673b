// The font of an invisible text layer: every character has a code and a width but no
// outline, so text shown in it costs no glyph data in any script and can only be
// found, selected and copied out. It is a Type 0 font (Identity-H) over a TrueType
// CID font whose glyphs are all empty, with a ToUnicode map of every character used.
// Codes are handed out as characters first appear, so one font serves the whole
// document. Not thread-safe; one object per document.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace folimo::pdf {

class PdfWriter;

class GlyphlessFont {
public:
    // Every glyph advances this much per 1000 units of the font size; a text matrix
    // stretches a word to its width.
    static constexpr int kAdvance = 500;
    // The glyph box spans this much below and above the baseline, per 1000: a word
    // whose box is the font size tall has its baseline this far above the box bottom.
    static constexpr int kDescent = 200;
    static constexpr int kAscent = 800;

    // The operand bytes of a Tj that shows `text`: two bytes a character. Beyond the
    // 65,535 codes a font has, characters keep code 0, which copies out as nothing.
    std::string encode(std::u32string_view text);
    bool empty() const { return codes_.empty(); }

    // Writes the font as object `number` with its descendant, descriptor, font
    // program and ToUnicode map.
    void write(PdfWriter& writer, int number) const;

    // The embedded TrueType program: `glyphs` empty glyphs of one advance, and only
    // the tables a PDF reader needs to use them.
    static std::string fontProgram(unsigned glyphs);

private:
    std::string toUnicodeCMap() const;

    std::map<char32_t, unsigned> codes_; // character -> CID, which is also its glyph
};

} // namespace folimo::pdf
