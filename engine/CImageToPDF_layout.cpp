// The image layouts of a run: one image in the margin box of a fixed-size page, two
// images on one page, or a page cut to the image.
#include "CImageToPDF.h"

#include "PageLayout.h"
#include "pdf/PdfOutput.h"

#include <algorithm>

namespace {

// Margins that leave the image no room would give pages of one point or pages without
// their picture, so the pages get none (writePages says so once).
layout::Margins marginsOf(IFolimoSettings& s) {
    if (!FolimoMarginsLeaveRoom(s))
        return {0, 0, 0, 0};
    return {s.GetMargin(FOLIMO_MARGIN_LEFT), s.GetMargin(FOLIMO_MARGIN_TOP),
            s.GetMargin(FOLIMO_MARGIN_RIGHT), s.GetMargin(FOLIMO_MARGIN_BOTTOM)};
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
    const layout::Picture picture{
        pdf.info_image(image, L"imagewidth", L""), pdf.info_image(image, L"imageheight", L""),
        pdf.info_image(image, L"width", L""), pdf.info_image(image, L"height", L"")};
    std::wstring options = layout::fitOptions(box, cell, picture, settings_.GetImageInPage() != 0,
                                              settings_.GetImageAutoRotate() != 0);
    pdf.fit_image(image, box.x, box.y, options);
    pdf.close_image(image);
    run.setContextFile(run.currentFile());
    run.nextImage();
}

void CImageToPDF::addImageSizedPage(ConversionRun& run, PdfOutput& pdf) {
    int image = loadCurrentImage(run, pdf, true);
    if (image == -1)
        return;
    const InputFile& file = run.currentFile();
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
    run.nextImage();
    drawWatermarks(run, pdf, page.height);
    pdf.close_image(image);
    pdf.end_page_ext(L"");
}
