// How an input image becomes a library image: unchanged, or decoded and re-encoded in
// memory as JPEG, grey JPEG, PNG, GIF or TIFF and handed over as a virtual file.
#include "CImageToPDF.h"

#include "CGDIPLUSImage.h"
#include "pdf/PdfOutput.h"

#include <folimo/WideText.h>

#include <memory>

namespace {

struct EncodePlan {
    int encoder;         // of CGDIPLUSImage::SaveToMemory
    const wchar_t* type; // image type text, also the virtual file's extension
    int grey;
};

// Codes 1 to 5 of the settings.
const EncodePlan kEncodePlans[6] = {{0, L"", 0},    {1, L"jpeg", 0}, {1, L"jpeg", 1},
                                    {2, L"png", 0}, {3, L"gif", 0},  {4, L"tiff", 0}};

struct ReleaseImage {
    void operator()(CGDIPLUSImage* image) const { image->Release(); }
};

} // namespace

int CImageToPDF::LoadImageFile(PDFlib& pdf, const wchar_t* path, int code) {
    attempts_ = 0;
    loadError_.clear();
    return loadImageOnce(pdf, path, code);
}

int CImageToPDF::loadImageOnce(PDFlib& pdf, const wchar_t* path, int code) {
    int maxWidth = 0, maxHeight = 0;
    settings_.GetImageMaxSize(&maxWidth, &maxHeight);
    // The file goes in unchanged only when both limits are switched off.
    if (code == 0 && !(maxWidth == -1 && maxHeight == -1))
        code = settings_.GetDefaultImageEncode();
    if (code < 0 || code > 5) {
        if (loadError_.empty())
            loadError_ = L"unknown image encoding " + std::to_wstring(code);
        return -1;
    }
    if (attempts_ & (1u << code))
        return -1;
    attempts_ |= 1u << code;

    if (code == 0) {
        int image = pdf.load_image(L"auto", path, L"");
        if (image != -1)
            return image;
        loadError_ = pdf.get_errmsg();
        return loadImageOnce(pdf, path, settings_.GetDefaultImageEncode());
    }
    const EncodePlan& plan = kEncodePlans[code];
    return ReencodeImage(pdf, path, plan.encoder, plan.type, plan.grey);
}

int CImageToPDF::ReencodeImage(PDFlib& pdf, const wchar_t* path, int format, const wchar_t* type,
                               int grey) {
    auto* created = new (std::nothrow) CGDIPLUSImage;
    if (!created) {
        loadError_ = L"out of memory";
        return -1;
    }
    std::unique_ptr<CGDIPLUSImage, ReleaseImage> image(created);
    // Messages name the file, as the PDF library's own do.
    auto describe = [&](const std::string& why) {
        return L"cannot use the image '" + std::wstring(path) + L"': " + folimo::fromUtf8(why);
    };
    if (image->Load(path) != 0) {
        loadError_ = describe(image->LastError());
        return -1;
    }
    if (grey)
        image->SetGrayscale();

    int maxWidth = 0, maxHeight = 0;
    settings_.GetImageMaxSize(&maxWidth, &maxHeight);
    if (!(maxWidth == -1 && maxHeight == -1)) {
        int w = 0, h = 0;
        image->GetSize(&w, &h);
        if ((maxWidth != 0 && maxWidth < w) || (maxHeight != 0 && maxHeight < h)) {
            double fx = maxWidth > 0 ? double(w) / maxWidth : 1;
            double fy = maxHeight > 0 ? double(h) / maxHeight : 1;
            double f = fx > fy ? fx : fy;
            image->SetTargetSize(static_cast<int>(w / f), static_cast<int>(h / f));
        }
    }
    int dpi = settings_.GetDpi();
    if (dpi != 0 && dpi != -1)
        image->SetResolution(dpi);
    if (format == 1)
        image->SetQuality(settings_.GetJpegQuality());

    void* data = nullptr;
    int size = image->SaveToMemory(&data, format, type);
    if (size == 0) {
        loadError_ = describe(image->LastError());
        return -1;
    }
    std::wstring name = std::wstring(L"pvffilename.") + type;
    int handle = -1;
    try {
        pdf.create_pvf(name, data, static_cast<std::size_t>(size), L"");
        handle = pdf.load_image(L"auto", name, L"");
        pdf.delete_pvf(name);
    } catch (...) {
        pdf.delete_pvf(name);
        image->FreeMemory(data);
        throw;
    }
    if (handle == -1) {
        loadError_ = pdf.get_errmsg();
        handle = loadImageOnce(pdf, path, 0);
    }
    image->FreeMemory(data);
    return handle;
}
