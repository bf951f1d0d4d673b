// How an input image becomes a library image: unchanged, or decoded and re-encoded in
// memory as JPEG, grey JPEG, PNG, GIF or TIFF and handed over as a virtual file.
#include "CImageToPDF.h"

#include "ReencodeJob.h"
#include "pdf/PdfOutput.h"

#include <folimo/WideText.h>

#include <algorithm>
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

// What a message calls the image: a page of it only where the file has several.
std::wstring imageName(const wchar_t* path, int page) {
    std::wstring name = L"the image '" + std::wstring(path) + L"'";
    return page == 0 ? name : L"page " + std::to_wstring(page + 1) + L" of " + name;
}

} // namespace

int CImageToPDF::LoadImageFile(PdfOutput& pdf, const wchar_t* path, int code, int page) {
    attempts_ = 0;
    loadError_.clear();
    return loadImageOnce(pdf, path, code, page);
}

int CImageToPDF::loadImageOnce(PdfOutput& pdf, const wchar_t* path, int code, int page) {
    code = effectiveEncode(code);
    if (code < FOLIMO_ENCODE_UNCHANGED || code > FOLIMO_ENCODE_TIFF) {
        if (loadError_.empty())
            loadError_ = L"unknown image encoding " + std::to_wstring(code);
        return -1;
    }
    if (attempts_ & (1u << code))
        return -1;
    attempts_ |= 1u << code;

    if (code == FOLIMO_ENCODE_UNCHANGED) {
        std::wstring options = page == 0 ? L"" : L"page=" + std::to_wstring(page + 1);
        int image = pdf.load_image(L"auto", path, options);
        if (image != -1) {
            loadedPages_ = static_cast<int>(pdf.info_image(image, L"pagecount", L""));
            return image;
        }
        loadError_ = pdf.get_errmsg();
        return loadImageOnce(pdf, path, settings_.GetDefaultImageEncode(), page);
    }
    const EncodePlan& plan = kEncodePlans[code];
    return ReencodeImage(pdf, path, plan.encoder, plan.type, plan.grey, page);
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

void CImageToPDF::prepareAhead() {
    // Keep the next few images being decoded and encoded on other threads while this
    // one is written; the work is the same as ReencodeImage would do, so the pages and
    // their order do not change, only when the work happens.
    const int code = effectiveEncode(settings_.GetImageEncode());
    if (code < FOLIMO_ENCODE_JPEG || code > FOLIMO_ENCODE_TIFF || atEnd())
        return;
    const EncodePlan& plan = kEncodePlans[code];
    // The next images: the rest of this file's pages, then the first pages of the
    // files after it (how many pages they have is not known yet).
    constexpr int kAhead = 2;
    std::size_t file = current_;
    int page = page_;
    for (int n = 0; n < kAhead; ++n) {
        if (++page >= (file == current_ ? pageCount_ : 1)) {
            ++file;
            page = 0;
        }
        if (file >= files_.size())
            break;
        if (isPdfPath(files_[file].path))
            continue;
        ReencodeParams params =
            reencodeParams(files_[file].path.c_str(), page, plan.encoder, plan.grey);
        bool known = false;
        for (const auto& job : prepared_)
            known = known || job.params == params;
        if (known)
            continue;
        try {
            prepared_.push_back({params, file, page, std::async(std::launch::async, [params] {
                                     return reencode(params);
                                 })});
        } catch (const std::exception&) {
            // No thread to be had (a process limit, little memory): the image is made
            // on this thread when its turn comes, as without preparing ahead.
            break;
        }
    }
    // Images passed by unused, the pages after a damaged one, would only hold memory.
    prepared_.remove_if([&](const PreparedImage& job) {
        return job.file < current_ || (job.file == current_ && job.page < page_);
    });
}

void CImageToPDF::dropPrepared() noexcept {
    // Waits for jobs still running: they hold nothing of the run but their own data.
    prepared_.clear();
}

int CImageToPDF::ReencodeImage(PdfOutput& pdf, const wchar_t* path, int format, const wchar_t* type,
                               int grey, int page) {
    ReencodeParams params = reencodeParams(path, page, format, grey);
    ReencodeResult encoded;
    auto job = std::find_if(prepared_.begin(), prepared_.end(),
                            [&](const PreparedImage& p) { return p.params == params; });
    if (job != prepared_.end()) {
        encoded = job->result.get();
        prepared_.erase(job);
    } else {
        encoded = reencode(params);
    }
    if (encoded.size == 0) {
        // Messages name the file, as the PDF library's own do.
        loadError_ =
            L"cannot use " + imageName(path, page) + L": " + folimo::fromUtf8(encoded.error);
        return -1;
    }
    loadedPages_ = encoded.pageCount;
    int handle = loadEncoded(pdf, encoded, type);
    if (handle == -1) {
        loadError_ = pdf.get_errmsg();
        handle = loadImageOnce(pdf, path, FOLIMO_ENCODE_UNCHANGED, page);
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

int CImageToPDF::loadWatermarkImage(PdfOutput& pdf, const std::wstring& path) {
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
    return encoded.size == 0 ? -1 : loadEncoded(pdf, encoded, kEncodePlans[FOLIMO_ENCODE_PNG].type);
}
