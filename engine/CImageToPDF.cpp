#include "CImageToPDF.h"

#include "PageLayout.h"
#include "ocr/TextRecognizer.h"
#include "pdf/PdfOutput.h"

#include <folimo/WideText.h>

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
         {L"bmp",  L"dib", L"gif", L"png", L"psd",  L"tif",  L"tiff", L"mng",  L"raw",  L"jbig",
          L"jpeg", L"jpg", L"jpe", L"ico", L"webp", L"exif", L"pdf",  L"heic", L"heif", L"avif"})
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

int CImageToPDF::AddTurnedFile(const wchar_t* path, int tag, int clockwiseDegrees) noexcept {
    if (clockwiseDegrees % 90 != 0)
        return 0;
    try {
        files_.push_back({path ? path : L"", tag, ((clockwiseDegrees / 90) % 4 + 4) % 4});
    } catch (...) {
        return 0;
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

const wchar_t* CImageToPDF::GetTextData() noexcept {
    try {
        std::string joined;
        for (const std::string& language : folimo::ocr::installedLanguages())
            joined += (joined.empty() ? "" : "+") + language;
        textData_ = folimo::fromUtf8(joined);
    } catch (...) {
        textData_.clear();
    }
    return textData_.c_str();
}

bool CImageToPDF::checkTextData(ConversionRun& run, const std::string& languages) {
    try {
        folimo::ocr::checkLanguages(languages);
        return true;
    } catch (const folimo::ocr::MissingLanguageData& e) {
        const std::wstring message = folimo::fromUtf8(e.what());
        run.diagnostic(std::string("Error: ") + e.what());
        run.reportError(message, FOLIMO_ERROR_TEXT_DATA, folimo::fromUtf8(e.language),
                        folimo::fromUtf8(e.package));
    } catch (const std::exception& e) {
        // Not a language the data folder could hold: there is no package to name.
        const std::wstring message = folimo::fromUtf8(e.what());
        run.diagnostic(std::string("Error: ") + e.what());
        run.reportError(message, FOLIMO_ERROR_TEXT_DATA, folimo::fromUtf8(languages), message);
    }
    return false;
}

int CImageToPDF::Convert(const wchar_t* outputPath, IProcess* callback) noexcept {
    try {
        return runConversion(outputPath ? outputPath : L"", callback);
    } catch (...) {
        // The run reports everything it can; this keeps the boundary free of exceptions
        // even when reporting itself failed (out of memory).
        return 0;
    }
}

int CImageToPDF::runConversion(const wchar_t* outputPath, IProcess* callback) {
    ConversionRun run(files_, callback);
    run.notifyBegin(outputPath);

    auto pdf = std::make_unique<PdfOutput>();
    run.setOutputPath(outputPath);
    writtenPath_.clear();
    try {
        pdf->set_option(L"errorpolicy=return");
        pdf->set_parameter(L"FontOutline", L"gothic=SimSun");
        pdf->set_parameter(L"compatibility", L"1.7");

        // Missing language data would fail every page: the run does not begin, and no
        // file is made.
        const std::string languages = folimo::toUtf8(settings_.GetTextLanguages());
        if (!languages.empty()) {
            if (!checkTextData(run, languages)) {
                run.notifyDocumentEnd(FOLIMO_DOCUMENT_FAILED, 0, {});
                run.notifyEnd();
                return 0;
            }
            run.startRecognition(languages, settings_.GetUprightByText() != 0);
        }
        if (pdf->begin_document(run.outputPath(), L"") == -1) {
            std::wstring errmsg = pdf->get_errmsg();
            run.diagnostic("Error: " + folimo::toUtf8(folimo::displayText(errmsg)));
            run.reportError(errmsg, FOLIMO_ERROR_OUTPUT, run.outputPath(), errmsg);
            run.notifyDocumentEnd(FOLIMO_DOCUMENT_FAILED, 0, {});
            run.notifyEnd();
            return 0;
        }
        pdf->set_info(L"Creator", settings_.GetInfo(FOLIMO_INFO_CREATOR));
        pdf->set_info(L"Author", settings_.GetInfo(FOLIMO_INFO_AUTHOR));
        pdf->set_info(L"Title", settings_.GetInfo(FOLIMO_INFO_TITLE));
        pdf->set_info(L"Subject", settings_.GetInfo(FOLIMO_INFO_SUBJECT));
        pdf->set_info(L"Keywords", settings_.GetInfo(FOLIMO_INFO_KEYWORDS));

        const bool stopped = writePages(run, *pdf);

        run.stopRecognition();
        run.dropPrepared();
        closeWatermarkImages(run, *pdf);
        const int pages = pdf->pageCount();
        // Stopped before its first page the run has nothing to keep, which is no failure:
        // the unnamed document goes with the library, and no file is left.
        if (stopped && pages == 0) {
            pdf.reset();
            run.notifyDocumentEnd(FOLIMO_DOCUMENT_STOPPED, 0, {});
            run.notifyEnd();
            return 0;
        }
        pdf->end_document(L"");
        writtenPath_ = folimo::fromUtf8(pdf->writtenPath());
        run.notifyDocumentEnd(stopped ? FOLIMO_DOCUMENT_STOPPED : FOLIMO_DOCUMENT_WRITTEN, pages,
                              writtenPath_);
        run.notifyEnd();
        return 1;
    } catch (const folimo::pdf::PdfError& e) {
        run.diagnostic("folimo: PDF library error " + std::to_string(e.number()) + " in " +
                       e.apiName() + ": " + e.what());
        // Only a failed write is the output's fault; a document left without pages has
        // its inputs' errors to say why.
        run.reportError(folimo::fromUtf8(e.what()),
                        e.number() == folimo::pdf::kErrIo ? FOLIMO_ERROR_OUTPUT
                                                          : FOLIMO_ERROR_OTHER,
                        run.outputPath(), folimo::fromUtf8(e.what()));
    } catch (const std::exception& e) {
        run.reportError(folimo::fromUtf8(e.what()));
    }
    // The document is abandoned: destroying the library removes its unfinished file.
    run.stopRecognition();
    run.dropPrepared();
    closeWatermarkImages(run, *pdf);
    pdf.reset();
    run.notifyDocumentEnd(FOLIMO_DOCUMENT_FAILED, 0, {});
    run.notifyEnd();
    return 0;
}

bool CImageToPDF::writePages(ConversionRun& run, PdfOutput& pdf) {
    int customWidth = 0, customHeight = 0;
    settings_.GetCustomPageSize(&customWidth, &customHeight);
    if (!FolimoMarginsLeaveRoom(settings_))
        run.reportError(L"margins of " + std::to_wstring(settings_.GetMargin(FOLIMO_MARGIN_LEFT)) +
                        L"," + std::to_wstring(settings_.GetMargin(FOLIMO_MARGIN_TOP)) + L"," +
                        std::to_wstring(settings_.GetMargin(FOLIMO_MARGIN_RIGHT)) + L"," +
                        std::to_wstring(settings_.GetMargin(FOLIMO_MARGIN_BOTTOM)) +
                        L" points leave the images no room on their pages; the pages have "
                        L"no margins");

    while (!run.atEnd()) {
        if (run.cancelled())
            return true;
        prepareAhead(run);
        recognizeAhead(run);
        if (isPdfPath(run.currentFile().path)) {
            importPdfFile(run, pdf);
            continue;
        }
        // A stop heard while the page's text is recognised leaves the page unmade, as a
        // stop between pages does.
        if (!run.awaitText(run.fileIndex(), run.page()))
            return true;
        layout::Size page;
        if (customWidth != 0 && customHeight != 0) {
            page = {customWidth, customHeight};
        } else {
            page = layout::pageSizeForCode(settings_.GetPageSize(), settings_.GetRotatePage() != 0);
            if (page.width == 0) {
                addImageSizedPage(run, pdf);
                run.pageWritten();
                continue;
            }
        }
        // An input that cannot be read makes no page, as on image-sized pages: a blank
        // sheet in its place would only have to be found and taken out again.
        int image = loadCurrentImage(run, pdf, false);
        if (image == -1)
            continue;
        pdf.begin_page_ext(page.width, page.height, L"");
        run.setContextFile(run.currentFile());
        addBookmark(run, pdf);
        if (settings_.GetDoublePage())
            layoutDoublePage(run, pdf, image, page);
        else
            layoutSinglePage(run, pdf, image, page);
        drawWatermarks(run, pdf, page.height);
        pdf.end_page_ext(L"");
        run.pageWritten();
    }
    return false;
}

void CImageToPDF::closeWatermarkImages(ConversionRun& run, PdfOutput& pdf) noexcept {
    for (const auto& [path, handle] : run.watermarkImages())
        if (handle != -1) {
            try {
                pdf.close_image(handle);
            } catch (...) {
            }
        }
    run.watermarkImages().clear();
}

void CImageToPDF::addBookmark(ConversionRun& run, PdfOutput& pdf) {
    if (!settings_.GetCreateBookmark())
        return;
    run.context().kind = 1;
    std::wstring text = settings_.GetBookmarkText();
    if (textCallback_) {
        const wchar_t* expanded = textCallback_->ExpandText(text.c_str(), &run.context());
        text = expanded ? expanded : L"";
    }
    text = trim(text);
    if (!text.empty())
        pdf.create_bookmark(text, L"");
}

void CImageToPDF::importPdfFile(ConversionRun& run, PdfOutput& pdf) {
    const InputFile& file = run.currentFile();
    int doc = pdf.open_pdi_document(file.path, L"");
    if (doc == -1) {
        run.reportError(pdf.get_errmsg(), FOLIMO_ERROR_INPUT, file.path, pdf.get_errmsg());
        run.notifyFile(file.path.c_str(), 0);
        run.nextFile();
        return;
    }
    run.notifyFile(file.path.c_str(), 1);
    int pages = static_cast<int>(pdf.pcos_get_number(doc, L"length:pages"));
    for (int n = 1; n <= pages; ++n) {
        if (n == 1 && file.quarterTurns != 0)
            pdf.turn_pdi_document(doc, file.quarterTurns);
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
            run.nextFile();
            pdf.close_pdi_document(doc);
            run.reportError(errmsg, FOLIMO_ERROR_INPUT, file.path, errmsg);
            return;
        }
        pdf.begin_page_ext(w, h, L"");
        pdf.fit_pdi_page(page, 0, 0, L"adjustpage");
        run.setContextFile(file);
        drawWatermarks(run, pdf, static_cast<int>(h));
        pdf.close_pdi_page(page);
        pdf.end_page_ext(L"");
        run.pageWritten();
    }
    pdf.close_pdi_document(doc);
    run.nextFile();
}
