// Text: fonts loaded once per document and embedded as subsets when it ends.
#include "PdfOutput.h"

#include "GlyphlessFont.h"
#include "OptionList.h"
#include "PdfFont.h"
#include "PdfSyntax.h"
#include "PdfWriter.h"

#include <folimo/WideText.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace folimo::pdf {

namespace {

// Scripts written without spaces between words: Chinese and Japanese. Korean has
// spaces and keeps them.
bool unspaced(wchar_t c) {
    const auto v = static_cast<char32_t>(c);
    return (v >= 0x2E80 && v <= 0x312F) || (v >= 0x3190 && v <= 0x4DBF) ||
           (v >= 0x4E00 && v <= 0x9FFF) || (v >= 0xF900 && v <= 0xFAFF) ||
           (v >= 0xFF00 && v <= 0xFF60) || (v >= 0x20000 && v <= 0x3FFFF);
}

bool unspaced(const std::wstring& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](wchar_t c) { return unspaced(c); });
}

// A reader tells lines apart by their glyphs' size and baseline, so a character of an
// unspaced script whose box is short (a full stop, a flat stroke) would start a line
// of its own: such words stand as tall as the line they are on, from the lowest to the
// highest box of the words in a row that share its height.
std::vector<LayerWord> lineHigh(const std::vector<LayerWord>& words,
                                const std::vector<std::wstring>& texts) {
    std::vector<LayerWord> placed = words;
    std::size_t start = 0;
    while (start < words.size()) {
        double bottom = words[start].bottom, top = words[start].top;
        std::size_t end = start + 1;
        for (; end < words.size(); ++end) {
            const LayerWord& next = words[end];
            const double overlap = std::min(top, next.top) - std::max(bottom, next.bottom);
            const bool along = next.left >= words[end - 1].left;
            if (!along || overlap < 0.5 * std::min(top - bottom, next.top - next.bottom))
                break;
            bottom = std::min(bottom, next.bottom);
            top = std::max(top, next.top);
        }
        for (std::size_t i = start; i < end; ++i)
            if (unspaced(texts[i])) {
                placed[i].bottom = bottom;
                placed[i].top = top;
            }
        start = end;
    }
    return placed;
}

// Where `word`'s run of glyphs ends: at its box's right edge, or, between two words
// of an unspaced script on one line, at the next one's left edge, since a reader
// takes a gap between glyphs for a space, and a recogniser sees words in such text
// wherever the characters stand apart.
double runEnd(const LayerWord& word, const std::wstring& text, const LayerWord* next,
              const std::wstring& nextText) {
    if (!next || nextText.empty() || !unspaced(text.back()) || !unspaced(nextText.front()))
        return word.right;
    const double size = word.top - word.bottom;
    const double overlap = std::min(word.top, next->top) - std::max(word.bottom, next->bottom);
    const double gap = next->left - word.right;
    const bool sameLine = overlap > 0.5 * std::min(size, next->top - next->bottom);
    // Boxes that overlap are cut back too: a reader takes glyphs that step back for a
    // new line.
    return sameLine && gap != 0 && gap < size && next->left > word.left ? next->left : word.right;
}

// A reader joins glyphs of one size on one baseline into a word unless a tenth of the
// size lies between them, and a recogniser's boxes can leave less than that between a
// short word and the next ("in a"): such a word's run ends that much before the next,
// giving up at most a quarter of its width.
double spacedEnd(const LayerWord& word, double end, const LayerWord* next) {
    if (!next || end != word.right)
        return end;
    const double size = word.top - word.bottom;
    const double overlap = std::min(word.top, next->top) - std::max(word.bottom, next->bottom);
    const bool sameLine = overlap > 0.5 * std::min(size, next->top - next->bottom);
    const double gap = 0.15 * size;
    if (!sameLine || next->left <= word.left || next->left - word.right >= gap)
        return end;
    return std::max(next->left - gap, word.right - 0.25 * (word.right - word.left));
}

} // namespace

int PdfOutput::load_font(std::wstring_view fontname, std::wstring_view encoding,
                         std::wstring_view optlist) {
    OptionList(optlist).allowOnly({}, "load_font");
    requireDocument("load_font");
    (void)encoding; // every text goes through Unicode and Identity-H
    std::string name = toUtf8(fontname);
    if (auto known = fontHandles_.find(name); known != fontHandles_.end())
        return known->second;
    // "gothic:0": a name bound by FontOutline, and a face in its file.
    std::string family = name, face;
    if (auto colon = name.find(':'); colon != std::string::npos) {
        family = name.substr(0, colon);
        face = name.substr(colon + 1);
    }
    std::string target = family;
    if (auto bound = fontOutlines_.find(family); bound != fontOutlines_.end())
        target = bound->second;
    try {
        FontLocation location = findFont(target);
        if (!face.empty() && face != "0" && location.faceIndex == 0)
            location.faceIndex = std::atoi(face.c_str());
        // The font is read before its object number is taken: one that cannot be read
        // must not leave a number the file never defines.
        auto outline = std::make_unique<PdfFont>(location);
        const int number = writer_->newObjectNumber();
        int handle = nextHandle_++;
        fonts_[handle] = Font{std::move(outline), number};
        fontHandles_[name] = handle;
        return handle;
    } catch (const PdfError& e) {
        if (e.number() != kErrFont)
            throw;
        return fail("load_font", "cannot load the font '" + name + "': " + e.what(), kErrFont);
    }
}

void PdfOutput::setfont(int font, double fontsize) {
    Page& page = requirePage("setfont");
    if (!fonts_.count(font))
        throw PdfError(kErrHandle, "setfont", "no font has the handle " + std::to_string(font));
    if (!(fontsize > 0))
        throw PdfError(kErrOption, "setfont", "the font size must be above 0");
    page.font = font;
    page.fontSize = fontsize;
}

void PdfOutput::show_xy(std::wstring_view text, double x, double y) {
    Page& page = requirePage("show_xy");
    auto it = fonts_.find(page.font);
    if (it == fonts_.end())
        throw PdfError(kErrScope, "show_xy", "no font was set");
    const std::wstring shown = displayText(text);
    std::u32string codepoints(shown.begin(), shown.end());
    std::string name = "F" + std::to_string(it->second.object);
    page.fonts[name] = it->second.object;
    page.content += "BT /" + name + " " + pdfReal(page.fontSize) + " Tf " + pdfReal(x) + " " +
                    pdfReal(y) + " Td " + pdfHexString(it->second.font->encode(codepoints)) +
                    " Tj ET\n";
}

void PdfOutput::add_text_layer(const std::vector<LayerWord>& words,
                               const std::array<double, 6>& cm) {
    Page& page = requirePage("add_text_layer");
    const double determinant = cm[0] * cm[3] - cm[1] * cm[2];
    if (!std::all_of(cm.begin(), cm.end(), [](double v) { return std::isfinite(v); }) ||
        !std::isnormal(determinant))
        throw PdfError(kErrOption, "add_text_layer",
                       "the matrix [" + matrixOperator(cm, 6) + "] cannot be inverted");
    // Checked whole first, so a bad word leaves the page as it was.
    for (std::size_t i = 0; i < words.size(); ++i) {
        const LayerWord& word = words[i];
        const bool finite = std::isfinite(word.left) && std::isfinite(word.bottom) &&
                            std::isfinite(word.right) && std::isfinite(word.top) &&
                            (std::isnan(word.baseline) || std::isfinite(word.baseline));
        if (!finite || !(word.right > word.left) || !(word.top > word.bottom))
            throw PdfError(kErrOption, "add_text_layer",
                           "word " + std::to_string(i + 1) + " has an empty or invalid box [" +
                               pdfReal(word.left) + " " + pdfReal(word.bottom) + " " +
                               pdfReal(word.right) + " " + pdfReal(word.top) + "]");
    }
    if (!layerFont_) {
        layerFont_ = std::make_unique<GlyphlessFont>();
        layerFontObject_ = writer_->newObjectNumber();
    }
    // Word coordinates to a hundredth of a page point: finer where the matrix shrinks
    // them (a scan's pixels), coarser where it grows them.
    const double scale = std::sqrt(std::abs(determinant));
    const int decimals = std::clamp(static_cast<int>(std::ceil(std::log10(100 * scale))), 0, 6);
    auto number = [decimals](double v) { return pdfReal(v, decimals); };
    const std::string name = "F" + std::to_string(layerFontObject_);
    // Render mode 3 and the matrix belong to the graphics state, which q and Q keep
    // from what is drawn after the layer.
    std::string layer = "q ";
    if (cm != Matrix{1, 0, 0, 1, 0, 0})
        layer += matrixOperator(cm, 8) + " ";
    layer += "BT 3 Tr /" + name + " 1 Tf\n";
    bool shown = false;
    std::vector<std::wstring> texts;
    texts.reserve(words.size());
    for (const LayerWord& word : words)
        texts.push_back(displayText(word.text));
    const std::vector<LayerWord> placed = lineHigh(words, texts);
    for (std::size_t i = 0; i < placed.size(); ++i) {
        const LayerWord& word = placed[i];
        const std::wstring& text = texts[i];
        if (text.empty())
            continue;
        const bool last = i + 1 == placed.size();
        const LayerWord* next = last ? nullptr : &placed[i + 1];
        const double right =
            spacedEnd(word, runEnd(word, text, next, last ? std::wstring() : texts[i + 1]), next);
        const double size = word.top - word.bottom;
        const double baseline = std::isnan(word.baseline)
                                    ? word.bottom + size * GlyphlessFont::kDescent / 1000.0
                                    : word.baseline;
        const double natural = static_cast<double>(text.size()) * GlyphlessFont::kAdvance / 1000.0;
        const double stretch = (right - word.left) / natural;
        layer += pdfReal(stretch, std::max(decimals, 2)) + " 0 0 " + number(size) + " " +
                 number(word.left) + " " + number(baseline) + " Tm " +
                 pdfHexString(layerFont_->encode(std::u32string(text.begin(), text.end()))) +
                 "Tj\n";
        shown = true;
    }
    if (!shown)
        return;
    page.fonts[name] = layerFontObject_;
    page.content += layer + "ET Q\n";
}

} // namespace folimo::pdf
