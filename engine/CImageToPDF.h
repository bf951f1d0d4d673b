// The engine object: an ordered list of input files that Convert writes as one PDF
// document, image pages and imported PDF pages, reporting each step to the caller's
// IProcess. One thread at a time; Convert is synchronous and calls back on its thread.
#pragma once

#include "CBase.h"
#include "CImageToPDFSettings.h"
#include "ConversionRun.h"
#include "PageLayout.h"
#include "ReencodeJob.h"

#include <folimo/Folimo.h>

#include <map>
#include <string>
#include <vector>

namespace folimo::pdf {
class PdfOutput;
}

class CImageToPDF : public CBase<IFolimo> {
public:
    using PdfOutput = folimo::pdf::PdfOutput;

    CImageToPDF();
    ~CImageToPDF() override;
    CImageToPDF(const CImageToPDF&) = delete;
    CImageToPDF& operator=(const CImageToPDF&) = delete;

    int IsSupportedFile(const wchar_t* path) noexcept override;
    int AddFile(const wchar_t* path, int tag) noexcept override;
    int ClearFiles() noexcept override;
    IFolimoSettings* GetSettings() noexcept override { return &settings_; }
    int CopySettings(IFolimoSettings* from) noexcept override;
    int Convert(const wchar_t* outputPath, IProcess* callback) noexcept override;
    FolimoCallback* SetTextCallback(FolimoCallback* callback) noexcept override;
    const wchar_t* GetOutputPath() noexcept override { return writtenPath_.c_str(); }
    const wchar_t* GetTextData() noexcept override;
    int AddTurnedFile(const wchar_t* path, int tag, int clockwiseDegrees) noexcept override;

private:
    // The steps of a run. Each is handed the run and the document it works on; the object
    // itself only lends them the files, settings and text callback. The layout steps
    // consume the images they place (loaded or not) by moving the run past them: every
    // page of a multi-page TIFF is an image of its own, and a file whose page fails to
    // load is left whole.
    int runConversion(const wchar_t* outputPath, IProcess* callback);
    // True when the run was cancelled before its end.
    bool writePages(ConversionRun& run, PdfOutput& pdf);
    // The image at the run's position, or -1 after reporting why it failed (naming the
    // file when asked) and moving past its file.
    int loadCurrentImage(ConversionRun& run, PdfOutput& pdf, bool nameTheFile);
    // A fixed-size page holds only images that loaded, so a page is begun once its first
    // image is in hand; the layouts place that one and, on double pages, the next.
    void layoutSinglePage(ConversionRun& run, PdfOutput& pdf, int image, layout::Size page);
    void addImageSizedPage(ConversionRun& run, PdfOutput& pdf);
    void layoutDoublePage(ConversionRun& run, PdfOutput& pdf, int image, layout::Size page);
    void addBookmark(ConversionRun& run, PdfOutput& pdf);
    // Places a loaded image in `box`, the margin box of `cell`, closes it and moves past it.
    void placeImage(ConversionRun& run, PdfOutput& pdf, int image, layout::Box box,
                    layout::Box cell);
    void drawWatermarks(ConversionRun& run, PdfOutput& pdf, int height);
    void importPdfFile(ConversionRun& run, PdfOutput& pdf);
    static void closeWatermarkImages(ConversionRun& run, PdfOutput& pdf) noexcept;

    // Page `page` (from 0) of the input file as a library image handle, or -1; the run's
    // loadError() then says why. Code 0 hands the file over unchanged (only when both
    // maximum sizes are -1), codes 1 to 5 re-encode it; a refused attempt falls back to
    // the other way, and no attempt is made twice in one call.
    int loadImageFile(ConversionRun& run, PdfOutput& pdf, const wchar_t* path, int code, int page);
    int loadImageOnce(ConversionRun& run, PdfOutput& pdf, const wchar_t* path, int code, int page);
    int reencodeImage(ConversionRun& run, PdfOutput& pdf, const wchar_t* path, int format,
                      const wchar_t* type, int grey, int page);
    int effectiveEncode(int code);
    ReencodeParams reencodeParams(const wchar_t* path, int page, int format, int grey);
    // Hands re-encoded bytes to the library as a virtual file of that image type.
    static int loadEncoded(PdfOutput& pdf, const ReencodeResult& encoded, const wchar_t* type);
    // -1, with the reason in `why`, when the image cannot be used.
    static int loadWatermarkImage(PdfOutput& pdf, const std::wstring& path, std::wstring* why);
    void prepareAhead(ConversionRun& run);
    // Keeps the current image page's text and the next ones' being recognised.
    void recognizeAhead(ConversionRun& run);
    // Checks the languages' data before anything is made; false after reporting what is
    // missing.
    bool checkTextData(ConversionRun& run, const std::string& languages);
    // Lays the recognised words of the loaded image over where fit_image placed it, or
    // reports why there are none, for the image at the run's position.
    void addTextLayer(ConversionRun& run, PdfOutput& pdf, int image, const RecognitionResult& text);

    // Inputs whose name ends in ".pdf", in any case, have their pages imported.
    static bool isPdfPath(const std::wstring& path);

    std::vector<InputFile> files_;
    std::wstring writtenPath_;
    CImageToPDFSettings settings_;
    std::map<std::wstring, int> supportedExtensions_;
    FolimoCallback* textCallback_ = nullptr;
    std::wstring textData_;
};
