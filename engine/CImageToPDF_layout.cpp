// The image layouts of a run: one image in the margin box of a fixed-size page, two
// images on one page, or a page cut to the image.
#include "CImageToPDF.h"

#include "PageLayout.h"
#include "pdf/PdfOutput.h"

#include <folimo/WideText.h>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

// Margins that leave the image no room would give pages of one point or pages without
// their picture, so the pages get none (writePages says so once).
layout::Margins marginsOf(IFolimoSettings& s) {
    if (!FolimoMarginsLeaveRoom(s))
        return {0, 0, 0, 0};
    return {s.GetMargin(FOLIMO_MARGIN_LEFT), s.GetMargin(FOLIMO_MARGIN_TOP),
            s.GetMargin(FOLIMO_MARGIN_RIGHT), s.GetMargin(FOLIMO_MARGIN_BOTTOM)};
}

using RecognizedWords = std::vector<folimo::ocr::RecognizedWord>;

bool blank(const folimo::ocr::RecognizedWord& word) {
    // Rules and frames come back as words of spaces, which nobody searches for and
    // which would stand as tall as the page among the words of their line.
    return word.text.find_first_not_of(L" \t\u00a0\u3000") == std::wstring::npos ||
           word.right <= word.left || word.bottom <= word.top;
}

// Adds the words [first, last) of one line to `out`, in PDF units of the picture `h`
// pixels high. A reader puts words on one line only when they share a baseline and a
// size, and on a scan turned by a fraction of a degree a line's baseline climbs by half a
// line's height across the page: such a line is set level, on its baseline at its
// middle, as tall as its words measured from there, each word still over its own
// columns, so that it reads as one line and still highlights over the picture's word.
// A line turned further than its own height stays on its words' pieces of baseline,
// where a level line would miss its words at the ends.
void appendLine(std::vector<folimo::pdf::LayerWord>& out, RecognizedWords::const_iterator first,
                RecognizedWords::const_iterator last, double h) {
    double left = 0, right = 0, top = 0, bottom = 0;
    bool any = false;
    for (auto it = first; it != last; ++it) {
        if (blank(*it))
            continue;
        left = any ? std::min(left, double(it->left)) : it->left;
        right = any ? std::max(right, double(it->right)) : it->right;
        any = true;
    }
    if (!any)
        return;
    const auto& line = *first;
    const bool fitted = line.line >= 0 && line.lineX2 != line.lineX1;
    const double slope =
        fitted ? double(line.lineY2 - line.lineY1) / (line.lineX2 - line.lineX1) : 0;
    const double middle = (left + right) / 2;
    any = false;
    for (auto it = first; it != last; ++it) {
        if (blank(*it))
            continue;
        // The word's box moved along the line to the line's middle.
        const double shift = slope * (middle - (it->left + it->right) / 2.0);
        top = any ? std::min(top, it->top + shift) : it->top + shift;
        bottom = any ? std::max(bottom, it->bottom + shift) : it->bottom + shift;
        any = true;
    }
    const bool level = fitted && std::abs(slope) * (right - left) < bottom - top;
    for (auto it = first; it != last; ++it) {
        const auto& word = *it;
        if (blank(word))
            continue;
        folimo::pdf::LayerWord layer{word.text, double(word.left), h - word.bottom,
                                     double(word.right), h - word.top};
        if (level) {
            layer.bottom = h - bottom;
            layer.top = h - top;
            const double baseline = line.lineY1 + slope * (middle - line.lineX1);
            layer.baseline = std::clamp(h - baseline, layer.bottom, layer.top);
        } else if (word.baselineX2 != word.baselineX1) {
            layer.baseline =
                std::clamp(h - (word.baselineY1 + word.baselineY2) / 2.0, layer.bottom, layer.top);
        }
        out.push_back(std::move(layer));
    }
}

} // namespace

int CImageToPDF::loadCurrentImage(ConversionRun& run, PdfOutput& pdf, bool nameTheFile) {
    const InputFile& file = run.currentFile();
    int image = loadImageFile(run, pdf, file.path.c_str(), settings_.GetImageEncode(), run.page());
    if (image == -1) {
        run.reportError(nameTheFile ? L"图片文件无法加载 " + file.path + L" :" + run.loadError()
                                    : run.loadError(),
                        FOLIMO_ERROR_INPUT, file.path, run.loadError());
        run.dropCurrentFile();
        return -1;
    }
    // The person's turn comes first; a turn upright by the text goes on top of it.
    if (file.quarterTurns != 0)
        pdf.turn_image(image, file.quarterTurns);
    run.imageLoaded();
    return image;
}

void CImageToPDF::layoutSinglePage(ConversionRun& run, PdfOutput& pdf, int image,
                                   layout::Size page) {
    placeImage(run, pdf, image, layout::singleBox(page, marginsOf(settings_)),
               layout::pageCell(page));
}

void CImageToPDF::layoutDoublePage(ConversionRun& run, PdfOutput& pdf, int image,
                                   layout::Size page) {
    layout::Box first{}, second{};
    layout::doubleCells(page, settings_.GetRotatePage() != 0, &first, &second);
    const layout::Margins m = marginsOf(settings_);
    placeImage(run, pdf, image, layout::inset(first, m), first);
    // The second half takes the next image that loads: one that fails is skipped, so no
    // half stays empty while pictures are left. A PDF next in the list is left for the
    // run loop to import: as a picture it could only fail, and its pages would be lost.
    while (!run.atEnd() && !isPdfPath(run.currentFile().path)) {
        int next = loadCurrentImage(run, pdf, false);
        if (next != -1) {
            placeImage(run, pdf, next, layout::inset(second, m), second);
            break;
        }
    }
}

void CImageToPDF::placeImage(ConversionRun& run, PdfOutput& pdf, int image, layout::Box box,
                             layout::Box cell) {
    // A page turned upright by its text is laid out as turned.
    const std::optional<RecognitionResult> text = run.takeText();
    if (text && text->quarterTurns != 0)
        pdf.turn_image(image, text->quarterTurns);
    const layout::Picture picture{
        pdf.info_image(image, L"imagewidth", L""), pdf.info_image(image, L"imageheight", L""),
        pdf.info_image(image, L"width", L""), pdf.info_image(image, L"height", L"")};
    std::wstring options = layout::fitOptions(box, cell, picture, settings_.GetImageInPage() != 0,
                                              settings_.GetImageAutoRotate() != 0);
    pdf.fit_image(image, box.x, box.y, options);
    if (text)
        addTextLayer(run, pdf, image, *text);
    pdf.close_image(image);
    run.setContextFile(run.currentFile());
    run.nextImage();
}

void CImageToPDF::addImageSizedPage(ConversionRun& run, PdfOutput& pdf) {
    int image = loadCurrentImage(run, pdf, true);
    if (image == -1)
        return;
    const InputFile& file = run.currentFile();
    const std::optional<RecognitionResult> text = run.takeText();
    if (text && text->quarterTurns != 0)
        pdf.turn_image(image, text->quarterTurns);
    layout::Margins m = marginsOf(settings_);
    layout::Size page = layout::imageSizedPage(
        pdf.info_image(image, L"imagewidth", L""), pdf.info_image(image, L"imageheight", L""),
        pdf.info_image(image, L"resx", L""), pdf.info_image(image, L"resy", L""), m);
    // An image of a few pixels at a high resolution would give a page of 0 points,
    // which no PDF can have and which would end the whole run: keep one point.
    page.width = std::max(page.width, 1);
    page.height = std::max(page.height, 1);
    pdf.begin_page_ext(page.width, page.height, L"");
    run.setContextFile(file);
    addBookmark(run, pdf);
    pdf.fit_image(image, m.left, m.bottom, L"");
    if (text)
        addTextLayer(run, pdf, image, *text);
    run.nextImage();
    drawWatermarks(run, pdf, page.height);
    pdf.close_image(image);
    pdf.end_page_ext(L"");
}

void CImageToPDF::addTextLayer(ConversionRun& run, PdfOutput& pdf, int image,
                               const RecognitionResult& text) {
    // A stopped run says nothing of the pages it did not read.
    if (text.cancelled)
        return;
    const InputFile& file = run.currentFile();
    const int documentPage = pdf.pageCount();
    if (!text.error.empty()) {
        const std::wstring reason = folimo::fromUtf8(text.error);
        std::wstring name = L"the image '" + file.path + L"'";
        if (run.page() != 0)
            name = L"page " + std::to_wstring(run.page() + 1) + L" of " + name;
        run.reportError(L"cannot recognise the text of " + name + L": " + reason,
                        FOLIMO_ERROR_RECOGNITION, file.path, reason);
        run.notifyPageText(documentPage, file.path, run.page(), -1, 0);
        return;
    }
    // The words' pixels, row 0 at the top, become the unit square the image matrix
    // places: y turns upward, and both axes shrink by the recognised copy's size, so the
    // words land on the picture whatever size the PDF holds it at.
    const double w = text.width, h = text.height;
    std::vector<folimo::pdf::LayerWord> words;
    words.reserve(text.words.size());
    const auto& recognized = text.words;
    for (auto start = recognized.begin(); start != recognized.end();) {
        auto end = std::next(start);
        if (start->line >= 0)
            end = std::find_if(end, recognized.end(),
                               [&](const auto& word) { return word.line != start->line; });
        appendLine(words, start, end, h);
        start = end;
    }
    if (!words.empty() && w > 0 && h > 0) {
        const std::array<double, 6> m = pdf.image_matrix(image);
        pdf.add_text_layer(words, {m[0] / w, m[1] / w, m[2] / h, m[3] / h, m[4], m[5]});
    }
    run.notifyPageText(documentPage, file.path, run.page(), static_cast<int>(words.size()),
                       text.quarterTurns);
}
