// Drawing on the open page: placing XObjects with the fitting options, graphics
// states and colours.
#include "PdfOutput.h"

#include "OptionList.h"
#include "PdfSyntax.h"
#include "PdfWriter.h"

#include <folimo/WideText.h>

#include <algorithm>

namespace folimo::pdf {

std::array<double, 6> PdfOutput::placeObject(double w, double h, double unitW, double unitH,
                                             double x, double y, std::wstring_view optlist,
                                             const std::string& name, int object, const char* api,
                                             const std::string& inner) {
    Page& page = requirePage(api);
    OptionList options(optlist);
    options.allowOnly({"boxsize", "position", "fitmethod", "scale", "orientate", "adjustpage"},
                      api);
    if (options.has("scale")) {
        auto s = options.numbers("scale", {1, 2});
        w *= s[0];
        h *= s.size() == 2 ? s[1] : s[0];
    }
    std::string orientate = lowerAscii(options.text("orientate"));
    if (orientate.empty())
        orientate = "north";
    if (orientate != "north" && orientate != "east" && orientate != "south" && orientate != "west")
        throw PdfError(kErrOption, api, "unknown orientate '" + orientate + "'");
    bool quarter = orientate == "east" || orientate == "west";
    // The extent on the page: a quarter turn exchanges width and height.
    double ow = quarter ? h : w;
    double oh = quarter ? w : h;

    double bw = 0, bh = 0;
    if (options.has("boxsize")) {
        auto box = options.numbers("boxsize", {2});
        bw = box[0];
        bh = box[1];
    }
    std::string fit = lowerAscii(options.text("fitmethod"));
    if (fit.empty())
        fit = "nofit";
    if (fit != "nofit" && fit != "auto" && fit != "meet" && fit != "entire")
        throw PdfError(kErrOption, api, "unsupported fitmethod '" + fit + "'");
    if (bw > 0 && bh > 0 && ow > 0 && oh > 0) {
        bool fits = ow <= bw && oh <= bh;
        if (fit == "meet" || (fit == "auto" && !fits)) {
            double f = std::min(bw / ow, bh / oh);
            ow *= f;
            oh *= f;
        } else if (fit == "entire") {
            ow = bw;
            oh = bh;
        }
    }
    double px = 0, py = 0;
    std::string position = lowerAscii(options.text("position"));
    if (position == "center") {
        px = py = 50;
    } else if (!position.empty()) {
        auto p = options.numbers("position", {1, 2});
        px = p[0];
        py = p.size() == 2 ? p[1] : p[0];
    }
    double x0 = x + (bw - ow) * px / 100;
    double y0 = y + (bh - oh) * py / 100;
    if (!options.has("boxsize")) {
        x0 = x;
        y0 = y;
    }
    // The object's own extent, unitW x unitH (an image's unit square, a form's size),
    // mapped onto the page area ow x oh at x0, y0.
    double a = 0, b = 0, c = 0, d = 0, e = x0, f = y0;
    if (orientate == "north") {
        a = ow;
        d = oh;
    } else if (orientate == "east") { // top edge to the right: a quarter turn clockwise
        b = -oh;
        c = ow;
        f = y0 + oh;
    } else if (orientate == "west") {
        b = oh;
        c = -ow;
        e = x0 + ow;
    } else {
        a = -ow;
        d = -oh;
        e = x0 + ow;
        f = y0 + oh;
    }
    const std::array<double, 6> matrix{a / unitW, b / unitW, c / unitH, d / unitH, e, f};
    page.content += "q " + pdfReal(matrix[0]) + " " + pdfReal(matrix[1]) + " " +
                    pdfReal(matrix[2]) + " " + pdfReal(matrix[3]) + " " + pdfReal(e) + " " +
                    pdfReal(f) + " cm " + inner + "/" + name + " Do Q\n";
    page.xobjects[name] = object;

    if (options.has("adjustpage")) {
        page.width = x0 + ow;
        page.height = y0 + oh;
        if (!(page.width > 0) || !(page.height > 0))
            throw PdfError(kErrOption, api, "adjustpage gives an empty page");
    }
    return matrix;
}

int PdfOutput::create_gstate(std::wstring_view optlist) {
    requireDocument("create_gstate");
    OptionList options(optlist);
    options.allowOnly({"opacityfill"}, "create_gstate");
    std::string key = toUtf8(optlist);
    if (auto known = gstateHandles_.find(key); known != gstateHandles_.end())
        return known->second;
    std::string dict = "<< /Type /ExtGState";
    if (options.has("opacityfill")) {
        double opacity = options.numbers("opacityfill", {1})[0];
        dict += " /ca " + pdfReal(std::clamp(opacity, 0.0, 1.0));
    }
    int object = writer_->beginNewObject();
    writer_->write(dict + " >>");
    writer_->endObject();
    int handle = nextHandle_++;
    gstates_[handle] = object;
    gstateHandles_[key] = handle;
    return handle;
}

void PdfOutput::set_gstate(int gstate) {
    Page& page = requirePage("set_gstate");
    auto it = gstates_.find(gstate);
    if (it == gstates_.end())
        throw PdfError(kErrHandle, "set_gstate",
                       "no graphics state has the handle " + std::to_string(gstate));
    std::string name = "GS" + std::to_string(it->second);
    page.extGStates[name] = it->second;
    page.content += "/" + name + " gs\n";
}

void PdfOutput::setcolor(std::wstring_view fstype, std::wstring_view colorspace, double c1,
                         double c2, double c3, double) {
    Page& page = requirePage("setcolor");
    std::string type = lowerAscii(toUtf8(fstype)), space = lowerAscii(toUtf8(colorspace));
    if (space != "rgb")
        throw PdfError(kErrOption, "setcolor", "unsupported colour space '" + space + "'");
    std::string rgb = pdfReal(std::clamp(c1, 0.0, 1.0)) + " " + pdfReal(std::clamp(c2, 0.0, 1.0)) +
                      " " + pdfReal(std::clamp(c3, 0.0, 1.0));
    if (type == "fill" || type == "fillstroke")
        page.content += rgb + " rg\n";
    if (type == "stroke" || type == "fillstroke")
        page.content += rgb + " RG\n";
    if (type != "fill" && type != "stroke" && type != "fillstroke")
        throw PdfError(kErrOption, "setcolor", "unknown fstype '" + type + "'");
}

} // namespace folimo::pdf
