#include "CImageToPDF.h"

#include "PageLayout.h"
#include "pdf/PdfOutput.h"

#include <folimo/WideText.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <memory>

namespace {

std::wstring lowerAscii(std::wstring s) {
    for (auto& c : s)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return s;
}

} // namespace

bool CImageToPDF::isPdfPath(const std::wstring& path) {
    auto slash = path.find_last_of(L"/\\");
    auto dot = path.find_last_of(L'.');
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash))
        return false;
    return lowerAscii(path.substr(dot)) == L".pdf";
}

namespace {

std::wstring trim(const std::wstring& s) {
    auto first = s.find_first_not_of(L" \t\r\n\f\v\u3000");
    if (first == std::wstring::npos)
        return L"";
    auto last = s.find_last_not_of(L" \t\r\n\f\v\u3000");
    return s.substr(first, last - first + 1);
}

} // namespace

CImageToPDF::CImageToPDF() {
    for (const wchar_t* ext :
         {L"bmp", L"dib", L"gif", L"png", L"psd", L"tif", L"tiff", L"mng", L"raw", L"jbig", L"jpeg",
          L"jpg", L"jpe", L"ico", L"webp", L"exif", L"pdf", L"heic", L"heif", L"avif"})
        supportedExtensions_[ext] = 1;
}

CImageToPDF::~CImageToPDF() = default;

int CImageToPDF::IsSupportedFile(const wchar_t* path) noexcept {
    if (!path)
        return 0;
    try {
        std::wstring p = path;
        auto dot = p.find_last_of(L'.');
        std::wstring ext = dot == std::wstring::npos ? p : p.substr(dot + 1);
        return supportedExtensions_.count(lowerAscii(ext)) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int CImageToPDF::AddFile(const wchar_t* path, int tag) noexcept {
    try {
        files_.push_back({path ? path : L"", tag});
    } catch (...) {
    }
    return 1;
}

int CImageToPDF::ClearFiles() noexcept {
    files_.clear();
    return 1;
}

int CImageToPDF::CopySettings(IFolimoSettings* from) noexcept {
    return settings_.CopyFrom(from);
}

FolimoCallback* CImageToPDF::SetTextCallback(FolimoCallback* callback) noexcept {
    textCallback_ = callback;
    return callback;
}

int CImageToPDF::Convert(const wchar_t* outputPath, IProcess* callback) noexcept {
    try {
        return Run(outputPath ? outputPath : L"", callback);
    } catch (...) {
        // Run reports everything it can; this keeps the boundary free of exceptions
        // even when reporting itself failed (out of memory).
        return 0;
    }
}

void CImageToPDF::setContextFile(const FileEntry& file) {
    context_.currentFile = file.path.c_str();
    context_.tag = file.tag;
}

void CImageToPDF::reportError(const std::wstring& message) {
    NotifyError((L"Error: " + folimo::displayText(message)).c_str());
}

void CImageToPDF::diagnostic(const std::string& line) {
    // One line for a console, and only when no caller hears of the failure: a caller
    // with an IProcess reports it itself, and would otherwise show it twice.
    if (callback_) {
        return;
    }
    std::fputs((line + "\n").c_str(), stderr);
    std::fflush(stderr);
}

void CImageToPDF::advance() {
    if (++page_ >= pageCount_)
        nextFile();
}

void CImageToPDF::nextFile() {
    ++current_;
    page_ = 0;
    pageCount_ = 1;
}

void CImageToPDF::imageLoaded() {
    if (page_ != 0)
        return;
    pageCount_ = std::max(loadedPages_, 1);
    NotifyFile(currentFile().path.c_str(), 1);
}

void CImageToPDF::dropCurrentFile() {
    // A later page's failure is reported on its own; the file counted as loaded.
    if (page_ == 0)
        NotifyFile(currentFile().path.c_str(), 0);
    nextFile();
}

int CImageToPDF::Run(const wchar_t* outputPath, IProcess* callback) {
    callback_ = callback;
    NotifyBegin(outputPath);

    auto pdf = std::make_unique<PdfOutput>();
    outputPath_ = outputPath;
    writtenPath_.clear();
    context_.outputPath = outputPath_.c_str();
    context_.pageCount = 0;
    context_.currentFile = nullptr;
    context_.tag = 0;
    try {
        pdf->set_option(L"errorpolicy=return");
        pdf->set_parameter(L"FontOutline", L"gothic=SimSun");
        pdf->set_parameter(L"compatibility", L"1.7");

        if (pdf->begin_document(outputPath_, L"") == -1) {
            std::wstring errmsg = pdf->get_errmsg();
            diagnostic("Error: " + folimo::toUtf8(folimo::displayText(errmsg)));
            reportError(errmsg);
            NotifyEnd();
            return 0;
        }
        pdf->set_info(L"Creator", settings_.GetInfo(FOLIMO_INFO_CREATOR));
        pdf->set_info(L"Author", settings_.GetInfo(FOLIMO_INFO_AUTHOR));
        pdf->set_info(L"Title", settings_.GetInfo(FOLIMO_INFO_TITLE));
        pdf->set_info(L"Subject", settings_.GetInfo(FOLIMO_INFO_SUBJECT));
        pdf->set_info(L"Keywords", settings_.GetInfo(FOLIMO_INFO_KEYWORDS));

        current_ = 0;
        page_ = 0;
        pageCount_ = 1;
        int customWidth = 0, customHeight = 0;
        settings_.GetCustomPageSize(&customWidth, &customHeight);

        while (!atEnd() && !QueryCancel()) {
            prepareAhead();
            if (isPdfPath(currentFile().path)) {
                ImportPdfFile(*pdf, 0, 0);
                continue;
            }
            layout::Size page;
            if (customWidth != 0 && customHeight != 0) {
                page = {customWidth, customHeight};
            } else {
                page = layout::pageSizeForCode(settings_.GetPageSize(),
                                               settings_.GetRotatePage() != 0);
                if (page.width == 0) {
                    AddImageSizedPage(*pdf);
                    ++context_.pageCount;
                    continue;
                }
            }
            pdf->begin_page_ext(page.width, page.height, L"");
            if (settings_.GetDoublePage())
                LayoutDoublePage(*pdf, page.width, page.height);
            else
                LayoutSinglePage(*pdf, page.width, page.height);
            pdf->end_page_ext(L"");
            ++context_.pageCount;
        }

        dropPrepared();
        closeWatermarkImages(*pdf);
        pdf->end_document(L"");
        writtenPath_ = folimo::fromUtf8(pdf->writtenPath());
        NotifyEnd();
        return 1;
    } catch (const folimo::pdf::PdfError& e) {
        diagnostic("folimo: PDF library error " + std::to_string(e.number()) + " in " +
                   e.apiName() + ": " + e.what());
        reportError(folimo::fromUtf8(e.what()));
    } catch (const std::exception& e) {
        reportError(folimo::fromUtf8(e.what()));
    }
    // The document is abandoned: destroying the library removes its unfinished file.
    dropPrepared();
    closeWatermarkImages(*pdf);
    pdf.reset();
    NotifyEnd();
    return 0;
}

void CImageToPDF::closeWatermarkImages(PdfOutput& pdf) noexcept {
    for (const auto& [path, handle] : watermarkImages_)
        if (handle != -1) {
            try {
                pdf.close_image(handle);
            } catch (...) {
            }
        }
    watermarkImages_.clear();
}

int CImageToPDF::AddBookmark(PdfOutput& pdf) {
    if (!settings_.GetCreateBookmark())
        return 1;
    context_.kind = 1;
    std::wstring text = settings_.GetBookmarkText();
    if (textCallback_) {
        const wchar_t* expanded = textCallback_->ExpandText(text.c_str(), &context_);
        text = expanded ? expanded : L"";
    }
    text = trim(text);
    if (!text.empty())
        pdf.create_bookmark(text, L"");
    return 1;
}

int CImageToPDF::ImportPdfFile(PdfOutput& pdf, int, int) {
    const FileEntry& file = currentFile();
    int doc = pdf.open_pdi_document(file.path, L"");
    if (doc == -1) {
        reportError(pdf.get_errmsg());
        NotifyFile(file.path.c_str(), 0);
        ++current_;
        return 0;
    }
    NotifyFile(file.path.c_str(), 1);
    int pages = static_cast<int>(pdf.pcos_get_number(doc, L"length:pages"));
    for (int n = 1; n <= pages; ++n) {
        int page = pdf.open_pdi_page(doc, n, L"");
        double w = 0, h = 0;
        std::wstring errmsg;
        if (page == -1) {
            errmsg = pdf.get_errmsg();
        } else {
            // Each page keeps its own size, and its watermarks are placed from its own
            // top: with the first page's height they fell off pages of another size.
            std::wstring geometry = L"pages[" + std::to_wstring(n - 1) + L"]/";
            try {
                w = pdf.pcos_get_number(doc, geometry + L"width");
                h = pdf.pcos_get_number(doc, geometry + L"height");
            } catch (const folimo::pdf::PdfError& e) {
                errmsg = folimo::fromUtf8(e.what());
                pdf.close_pdi_page(page);
            }
        }
        if (!errmsg.empty()) {
            ++current_;
            pdf.close_pdi_document(doc);
            reportError(errmsg);
            return 0;
        }
        pdf.begin_page_ext(w, h, L"");
        pdf.fit_pdi_page(page, 0, 0, L"adjustpage");
        setContextFile(file);
        DrawWatermarks(pdf, static_cast<int>(w), static_cast<int>(h));
        pdf.close_pdi_page(page);
        pdf.end_page_ext(L"");
        ++context_.pageCount;
    }
    pdf.close_pdi_document(doc);
    ++current_;
    return 1;
}

int CImageToPDF::NotifyBegin(const wchar_t* path) {
    return callback_ ? callback_->OnBegin(path) : 1;
}

int CImageToPDF::NotifyFile(const wchar_t* path, int loaded) {
    return callback_ ? callback_->OnFile(path, loaded) : 1;
}

int CImageToPDF::NotifyEnd() {
    return callback_ ? callback_->OnEnd() : 1;
}

int CImageToPDF::NotifyError(const wchar_t* message) {
    return callback_ ? callback_->OnError(message) : 1;
}

int CImageToPDF::QueryCancel() {
    return callback_ ? callback_->IsCancelled() : 0;
}
