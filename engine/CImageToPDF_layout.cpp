// The image layouts of a run: one image in the margin box of a fixed-size page, two
// images on one page, or a page cut to the image.
#include "CImageToPDF.h"

#include "PageLayout.h"
#include "pdf/PdfOutput.h"

#include <algorithm>

namespace {

layout::Margins marginsOf(IFolimoSettings& s) {
    return {s.GetMargin(FOLIMO_MARGIN_LEFT), s.GetMargin(FOLIMO_MARGIN_TOP),
            s.GetMargin(FOLIMO_MARGIN_RIGHT), s.GetMargin(FOLIMO_MARGIN_BOTTOM)};
}

} // namespace

void CImageToPDF::layoutSinglePage(ConversionRun& run, PdfOutput& pdf, int width, int height) {
    run.setContextFile(run.currentFile());
    addBookmark(run, pdf);
    layout::Box box = layout::singleBox({width, height}, marginsOf(settings_));
    placeImageInBox(run, pdf, box.x, box.y, box.width, box.height);
    drawWatermarks(run, pdf, height);
}

void CImageToPDF::layoutDoublePage(ConversionRun& run, PdfOutput& pdf, int width, int height) {
    run.setContextFile(run.currentFile());
    addBookmark(run, pdf);
    layout::Box first{}, second{};
    layout::doubleBoxes({width, height}, marginsOf(settings_), settings_.GetRotatePage() != 0,
                        &first, &second);
    placeImageInBox(run, pdf, first.x, first.y, first.width, first.height);
    // A PDF next in the list is left for the run loop to import: as a picture in the
    // second box it could only fail, and its pages would be lost.
    if (!run.atEnd() && !isPdfPath(run.currentFile().path))
        placeImageInBox(run, pdf, second.x, second.y, second.width, second.height);
    drawWatermarks(run, pdf, height);
}

void CImageToPDF::placeImageInBox(ConversionRun& run, PdfOutput& pdf, int x, int y, int width,
                                  int height) {
    const InputFile& file = run.currentFile();
    int image = loadImageFile(run, pdf, file.path.c_str(), settings_.GetImageEncode(), run.page());
    if (image == -1) {
        run.reportError(run.loadError(), FOLIMO_ERROR_INPUT, file.path, run.loadError());
        run.dropCurrentFile();
        return;
    }
    run.imageLoaded();
    double imageWidth = pdf.info_image(image, L"imagewidth", L"");
    double imageHeight = pdf.info_image(image, L"imageheight", L"");
    std::wstring options =
        layout::fitOptions(width, height, imageWidth, imageHeight, settings_.GetImageInPage() != 0,
                           settings_.GetImageAutoRotate() != 0);
    pdf.fit_image(image, x, y, options);
    pdf.close_image(image);
    run.setContextFile(file);
    run.nextImage();
}

void CImageToPDF::addImageSizedPage(ConversionRun& run, PdfOutput& pdf) {
    const InputFile& file = run.currentFile();
    int image = loadImageFile(run, pdf, file.path.c_str(), settings_.GetImageEncode(), run.page());
    if (image == -1) {
        run.reportError(L"图片文件无法加载 " + file.path + L" :" + run.loadError(),
                        FOLIMO_ERROR_INPUT, file.path, run.loadError());
        run.dropCurrentFile();
        return;
    }
    run.imageLoaded();
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
