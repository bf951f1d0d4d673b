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

int CImageToPDF::LayoutSinglePage(PdfOutput& pdf, int width, int height) {
    setContextFile(currentFile());
    AddBookmark(pdf);
    layout::Box box = layout::singleBox({width, height}, marginsOf(settings_));
    PlaceImageInBox(pdf, box.x, box.y, box.width, box.height);
    DrawWatermarks(pdf, width, height);
    return 0;
}

int CImageToPDF::LayoutDoublePage(PdfOutput& pdf, int width, int height) {
    setContextFile(currentFile());
    AddBookmark(pdf);
    layout::Box first{}, second{};
    layout::doubleBoxes({width, height}, marginsOf(settings_), settings_.GetRotatePage() != 0,
                        &first, &second);
    PlaceImageInBox(pdf, first.x, first.y, first.width, first.height);
    // A PDF next in the list is left for the run loop to import: as a picture in the
    // second box it could only fail, and its pages would be lost.
    if (!atEnd() && !isPdfPath(currentFile().path))
        PlaceImageInBox(pdf, second.x, second.y, second.width, second.height);
    DrawWatermarks(pdf, width, height);
    return 0;
}

int CImageToPDF::PlaceImageInBox(PdfOutput& pdf, int x, int y, int width, int height) {
    const FileEntry& file = currentFile();
    int image = LoadImageFile(pdf, file.path.c_str(), settings_.GetImageEncode(), page_);
    if (image == -1) {
        reportError(LoadError());
        dropCurrentFile();
        return 1;
    }
    imageLoaded();
    pdf.info_image(image, L"resx", L"");
    pdf.info_image(image, L"resy", L"");
    double imageWidth = pdf.info_image(image, L"imagewidth", L"");
    double imageHeight = pdf.info_image(image, L"imageheight", L"");
    std::wstring options =
        layout::fitOptions(width, height, imageWidth, imageHeight, settings_.GetImageInPage() != 0,
                           settings_.GetImageAutoRotate() != 0);
    pdf.fit_image(image, x, y, options);
    pdf.close_image(image);
    setContextFile(file);
    advance();
    return 0;
}

int CImageToPDF::AddImageSizedPage(PdfOutput& pdf) {
    const FileEntry& file = currentFile();
    int image = LoadImageFile(pdf, file.path.c_str(), settings_.GetImageEncode(), page_);
    if (image == -1) {
        reportError(L"图片文件无法加载 " + file.path + L" :" + LoadError());
        dropCurrentFile();
        return 0;
    }
    imageLoaded();
    layout::Margins m = marginsOf(settings_);
    layout::Size page = layout::imageSizedPage(
        pdf.info_image(image, L"imagewidth", L""), pdf.info_image(image, L"imageheight", L""),
        pdf.info_image(image, L"resx", L""), pdf.info_image(image, L"resy", L""), m);
    // An image of a few pixels at a high resolution would give a page of 0 points,
    // which no PDF can have and which would end the whole run: keep one point.
    page.width = std::max(page.width, 1);
    page.height = std::max(page.height, 1);
    pdf.begin_page_ext(page.width, page.height, L"");
    setContextFile(file);
    AddBookmark(pdf);
    pdf.fit_image(image, m.left, m.bottom, L"");
    advance();
    DrawWatermarks(pdf, page.width, page.height);
    pdf.close_image(image);
    pdf.end_page_ext(L"");
    return 1;
}
