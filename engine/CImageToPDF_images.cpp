// How an input image becomes a library image: unchanged, or decoded and re-encoded in
// memory as JPEG, grey JPEG, PNG, GIF or TIFF and handed over as a virtual file.
#include "CImageToPDF.h"

#include "ReencodeJob.h"
#include "pdf/PdfOutput.h"

#include <folimo/WideText.h>

#include <optional>
#include <utility>

namespace {

struct EncodePlan {
    const wchar_t* type; // image type text, also the virtual file's extension
    int encoder;         // of CGDIPLUSImage::SaveToMemory
    int grey;
};

// Codes 1 to 5 of the settings.
const EncodePlan kEncodePlans[6] = {{L"", 0, 0},    {L"jpeg", 1, 0}, {L"jpeg", 1, 1},
                                    {L"png", 2, 0}, {L"gif", 3, 0},  {L"tiff", 4, 0}};

// What a message calls the image: a page of it only where the file has several.
std::wstring imageName(const wchar_t* path, int page) {
    std::wstring name = L"the image '" + std::wstring(path) + L"'";
    return page == 0 ? name : L"page " + std::to_wstring(page + 1) + L" of " + name;
}

} // namespace

int CImageToPDF::loadImageFile(ConversionRun& run, PdfOutput& pdf, const wchar_t* path, int code,
                               int page) {
    run.beginLoad();
    return loadImageOnce(run, pdf, path, code, page);
}

int CImageToPDF::loadImageOnce(ConversionRun& run, PdfOutput& pdf, const wchar_t* path, int code,
                               int page) {
    code = effectiveEncode(code);
    if (!run.firstAttempt(code))
        return -1;

    if (code == FOLIMO_ENCODE_UNCHANGED) {
        std::wstring options = page == 0 ? L"" : L"page=" + std::to_wstring(page + 1);
        int image = pdf.load_image(L"auto", path, options);
        if (image != -1) {
            run.setLoadedPages(static_cast<int>(pdf.info_image(image, L"pagecount", L"")));
            return image;
        }
        run.setLoadError(pdf.get_errmsg());
        return loadImageOnce(run, pdf, path,
                             FolimoUsableDefaultEncode(settings_.GetDefaultImageEncode()), page);
    }
    const EncodePlan& plan = kEncodePlans[code];
    return reencodeImage(run, pdf, path, plan.encoder, plan.type, plan.grey, page);
}

int CImageToPDF::effectiveEncode(int code) {
    int maxWidth = 0, maxHeight = 0;
    settings_.GetImageMaxSize(&maxWidth, &maxHeight);
    return FolimoEffectiveEncode(code, maxWidth, maxHeight, settings_.GetDefaultImageEncode());
}

ReencodeParams CImageToPDF::reencodeParams(const wchar_t* path, int page, int format, int grey) {
    ReencodeParams p;
    p.path = path;
    p.page = page;
    p.encoder = format;
    p.grey = grey;
    settings_.GetImageMaxSize(&p.maxWidth, &p.maxHeight);
    p.dpi = settings_.GetDpi();
    p.quality = format == 1 ? settings_.GetJpegQuality() : 0;
    return p;
}

void CImageToPDF::prepareAhead(ConversionRun& run) {
    // Keep the next few images being decoded and encoded on other threads while this
    // one is written; the work is the same as reencodeImage would do, so the pages and
    // their order do not change, only when the work happens.
    const int code = effectiveEncode(settings_.GetImageEncode());
    if (code < FOLIMO_ENCODE_JPEG || code > FOLIMO_ENCODE_TIFF || run.atEnd())
        return;
    const EncodePlan& plan = kEncodePlans[code];
    // The next images: the rest of this file's pages, then the first pages of the
    // files after it (how many pages they have is not known yet).
    constexpr int kAhead = 2;
    const std::vector<InputFile>& files = run.files();
    std::size_t file = run.fileIndex();
    int page = run.page();
    for (int n = 0; n < kAhead; ++n) {
        if (++page >= (file == run.fileIndex() ? run.pageCount() : 1)) {
            ++file;
            page = 0;
        }
        if (file >= files.size())
            break;
        if (isPdfPath(files[file].path))
            continue;
        ReencodeParams params =
            reencodeParams(files[file].path.c_str(), page, plan.encoder, plan.grey);
        if (run.isPrepared(params))
            continue;
        if (!run.prepare(params, file, page))
            break;
    }
    run.dropPassedPrepared();
}

void CImageToPDF::recognizeAhead(ConversionRun& run) {
    if (!run.recognizing())
        return;
    // The current page and, in their order, as many after it as there are threads, so a
    // thread done with its page finds the next one waiting. Past this file's pages (their
    // count known once its first page is loaded) come the first pages of the next files.
    const std::vector<InputFile>& files = run.files();
    std::size_t file = run.fileIndex();
    int page = run.page();
    for (unsigned n = 0; n <= run.recognitionThreads() && file < files.size(); ++n) {
        if (!isPdfPath(files[file].path))
            run.recognize(file, page);
        if (++page >= (file == run.fileIndex() ? run.pageCount() : 1)) {
            ++file;
            page = 0;
        }
    }
}

int CImageToPDF::reencodeImage(ConversionRun& run, PdfOutput& pdf, const wchar_t* path, int format,
                               const wchar_t* type, int grey, int page) {
    ReencodeParams params = reencodeParams(path, page, format, grey);
    std::optional<ReencodeResult> prepared = run.takePrepared(params);
    ReencodeResult encoded = prepared ? std::move(*prepared) : reencode(params);
    if (encoded.size == 0) {
        // Messages name the file, as the PDF library's own do.
        run.setLoadError(L"cannot use " + imageName(path, page) + L": " +
                         folimo::fromUtf8(encoded.error));
        return -1;
    }
    run.setLoadedPages(encoded.pageCount);
    int handle = loadEncoded(pdf, encoded, type);
    if (handle == -1) {
        run.setLoadError(pdf.get_errmsg());
        handle = loadImageOnce(run, pdf, path, FOLIMO_ENCODE_UNCHANGED, page);
    }
    return handle;
}

int CImageToPDF::loadEncoded(PdfOutput& pdf, const ReencodeResult& encoded, const wchar_t* type) {
    std::wstring name = std::wstring(L"pvffilename.") + type;
    pdf.create_pvf(name, encoded.data.get(), static_cast<std::size_t>(encoded.size), L"");
    int handle = -1;
    try {
        handle = pdf.load_image(L"auto", name, L"");
    } catch (...) {
        pdf.delete_pvf(name);
        throw;
    }
    pdf.delete_pvf(name);
    return handle;
}

int CImageToPDF::loadWatermarkImage(PdfOutput& pdf, const std::wstring& path, std::wstring* why) {
    // A watermark keeps its own look whatever the pages are re-encoded to: re-encoded as
    // JPEG, a transparent logo became an opaque box. So it goes in as it stands (alpha
    // as a soft mask), and only a format the PDF cannot carry becomes a lossless PNG,
    // whole and at its own resolution.
    int handle = pdf.load_image(L"auto", path, L"");
    if (handle != -1)
        return handle;
    ReencodeParams params;
    params.path = path;
    params.encoder = kEncodePlans[FOLIMO_ENCODE_PNG].encoder;
    params.maxWidth = params.maxHeight = -1;
    ReencodeResult encoded = reencode(params);
    if (encoded.size == 0) {
        *why = folimo::fromUtf8(encoded.error);
        return -1;
    }
    handle = loadEncoded(pdf, encoded, kEncodePlans[FOLIMO_ENCODE_PNG].type);
    if (handle == -1)
        *why = pdf.get_errmsg();
    return handle;
}
