// Text: fonts loaded once per document and embedded as subsets when it ends.
#include "PdfOutput.h"

#include "OptionList.h"
#include "PdfFont.h"
#include "PdfSyntax.h"
#include "PdfWriter.h"

#include <folimo/WideText.h>

#include <cstdlib>

namespace folimo::pdf {

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

} // namespace folimo::pdf
