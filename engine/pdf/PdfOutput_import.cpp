// Pages of other PDF files, copied in as form XObjects.
#include "PdfOutput.h"

#include "OptionList.h"
#include "PdfImport.h"
#include "PdfWriter.h"

#include <folimo/WideText.h>

#include <cstdio>
#include <cstring>

namespace folimo::pdf {

int PdfOutput::open_pdi_document(std::wstring_view filename, std::wstring_view optlist) {
    OptionList(optlist).allowOnly({}, "open_pdi_document");
    std::string name = toUtf8(filename);
    try {
        auto doc = std::make_unique<PdfImport>(name);
        // Nothing of an empty document can be placed, and asking for its first page's
        // size would end the whole run.
        if (doc->pageCount() == 0)
            return fail("open_pdi_document", "the PDF file '" + name + "' has no pages", kErrPdi);
        int handle = nextHandle_++;
        pdiDocuments_[handle] = std::move(doc);
        return handle;
    } catch (const ImportError& e) {
        return fail("open_pdi_document", "cannot open the PDF file '" + name + "': " + e.what(),
                    kErrPdi);
    }
}

double PdfOutput::pcos_get_number(int doc, std::wstring_view wpath) {
    auto it = pdiDocuments_.find(doc);
    if (it == pdiDocuments_.end())
        throw PdfError(kErrHandle, "pcos_get_number",
                       "no PDF document has the handle " + std::to_string(doc));
    std::string path = toUtf8(wpath);
    PdfImport& pdf = *it->second;
    if (path == "length:pages")
        return pdf.pageCount();
    int index = -1;
    char what[16] = {};
    if (std::sscanf(path.c_str(), "pages[%d]/%15s", &index, what) == 2 && index >= 0 &&
        index < pdf.pageCount()) {
        try {
            if (std::strcmp(what, "width") == 0)
                return pdf.pageWidth(index);
            if (std::strcmp(what, "height") == 0)
                return pdf.pageHeight(index);
        } catch (const ImportError& e) {
            throw PdfError(kErrPdi, "pcos_get_number", e.what());
        }
    }
    throw PdfError(kErrOption, "pcos_get_number", "unknown path '" + path + "'");
}

void PdfOutput::turn_pdi_document(int doc, int quarterTurns) {
    auto it = pdiDocuments_.find(doc);
    if (it == pdiDocuments_.end())
        throw PdfError(kErrHandle, "turn_pdi_document",
                       "no PDF document has the handle " + std::to_string(doc));
    it->second->turnPages(quarterTurns);
}

int PdfOutput::open_pdi_page(int doc, int pagenumber, std::wstring_view optlist) {
    OptionList(optlist).allowOnly({}, "open_pdi_page");
    requireDocument("open_pdi_page");
    auto it = pdiDocuments_.find(doc);
    if (it == pdiDocuments_.end())
        throw PdfError(kErrHandle, "open_pdi_page",
                       "no PDF document has the handle " + std::to_string(doc));
    PdfImport& pdf = *it->second;
    if (pagenumber < 1 || pagenumber > pdf.pageCount())
        return fail("open_pdi_page", "the document has no page " + std::to_string(pagenumber),
                    kErrPdi);
    try {
        PdfImport::Form form = pdf.writePage(*writer_, pagenumber - 1);
        int handle = nextHandle_++;
        pdiPages_[handle] = {form.objectNumber, form.width, form.height};
        return handle;
    } catch (const ImportError& e) {
        return fail("open_pdi_page",
                    "cannot read page " + std::to_string(pagenumber) + ": " + e.what(), kErrPdi);
    }
}

void PdfOutput::fit_pdi_page(int page, double x, double y, std::wstring_view optlist) {
    auto it = pdiPages_.find(page);
    if (it == pdiPages_.end())
        throw PdfError(kErrHandle, "fit_pdi_page",
                       "no page has the handle " + std::to_string(page));
    const ImportedPage& form = it->second;
    placeObject(form.width, form.height, form.width, form.height, x, y, optlist,
                "Fm" + std::to_string(form.object), form.object, "fit_pdi_page");
}

void PdfOutput::close_pdi_page(int page) {
    if (pdiPages_.erase(page) == 0)
        throw PdfError(kErrHandle, "close_pdi_page",
                       "no page has the handle " + std::to_string(page));
}

void PdfOutput::close_pdi_document(int doc) {
    if (pdiDocuments_.erase(doc) == 0)
        throw PdfError(kErrHandle, "close_pdi_document",
                       "no PDF document has the handle " + std::to_string(doc));
}

} // namespace folimo::pdf
