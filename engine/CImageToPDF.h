// The engine object: an ordered list of input files that Convert writes as one PDF
// document, image pages and imported PDF pages, reporting each step to the caller's
// IProcess. One thread at a time; Convert is synchronous and calls back on its thread.
#pragma once

#include "CBase.h"
#include "CImageToPDFSettings.h"
#include "ReencodeJob.h"

#include <folimo/Folimo.h>

#include <future>
#include <list>
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

    // The steps of a run. The layout steps consume the images they place (loaded or
    // not) by moving the current position past them: every page of a multi-page TIFF
    // is an image of its own, and a file whose page fails to load is left whole.
    virtual int Run(const wchar_t* outputPath, IProcess* callback);
    virtual int LayoutSinglePage(PdfOutput& pdf, int width, int height);
    virtual int AddImageSizedPage(PdfOutput& pdf);
    virtual int LayoutDoublePage(PdfOutput& pdf, int width, int height);
    virtual int AddBookmark(PdfOutput& pdf);
    virtual int PlaceImageInBox(PdfOutput& pdf, int x, int y, int width, int height);
    virtual int DrawWatermarks(PdfOutput& pdf, int width, int height);
    virtual int ImportPdfFile(PdfOutput& pdf, int width, int height);
    virtual int NotifyBegin(const wchar_t* path);
    virtual int NotifyFile(const wchar_t* path, int loaded);
    virtual int NotifyEnd();
    virtual int NotifyError(const wchar_t* message);
    virtual int QueryCancel();

    // Page `page` (from 0) of the input file as a library image handle, or -1;
    // LoadError() then says why. Code 0 hands the file over unchanged (only when both
    // maximum sizes are -1), codes 1 to 5 re-encode it; a refused attempt falls back to
    // the other way, and no attempt is made twice in one call.
    int LoadImageFile(PdfOutput& pdf, const wchar_t* path, int code, int page = 0);
    int ReencodeImage(PdfOutput& pdf, const wchar_t* path, int format, const wchar_t* type,
                      int grey, int page = 0);
    // The message of the last failed attempt of the last LoadImageFile.
    const std::wstring& LoadError() const { return loadError_; }

private:
    struct FileEntry {
        std::wstring path;
        int tag;
    };

    // Inputs whose name ends in ".pdf", in any case, have their pages imported.
    static bool isPdfPath(const std::wstring& path);
    bool atEnd() const { return current_ >= files_.size(); }
    // The position moves a page at a time through a multi-page file, else a file.
    void advance();
    void nextFile();
    // After the current image is loaded or has failed: the file is reported once, at
    // its first page, and its page count is learnt there.
    void imageLoaded();
    void dropCurrentFile();
    // Entries stay where they are for the whole run, so the text context may point
    // into them.
    const FileEntry& currentFile() const { return files_[current_]; }
    void setContextFile(const FileEntry& file);
    void closeWatermarkImages(PdfOutput& pdf) noexcept;
    void reportError(const std::wstring& message);
    void diagnostic(const std::string& line);

    std::vector<FileEntry> files_;
    std::size_t current_ = 0;
    int page_ = 0;      // of the current file, from 0
    int pageCount_ = 1; // of the current file, once its first page is loaded
    IProcess* callback_ = nullptr;
    TextContext context_{};
    std::wstring outputPath_;
    std::wstring writtenPath_;
    CImageToPDFSettings settings_;
    std::map<std::wstring, int> supportedExtensions_;
    FolimoCallback* textCallback_ = nullptr;
    std::map<std::wstring, int> watermarkImages_;
    unsigned attempts_ = 0; // bit n: code n tried in the current LoadImageFile
    std::wstring loadError_;
    int loadedPages_ = 1; // the page count the last successful LoadImageFile found

    int loadImageOnce(PdfOutput& pdf, const wchar_t* path, int code, int page);
    int effectiveEncode(int code);
    ReencodeParams reencodeParams(const wchar_t* path, int page, int format, int grey);
    // Hands re-encoded bytes to the library as a virtual file of that image type.
    int loadEncoded(PdfOutput& pdf, const ReencodeResult& encoded, const wchar_t* type);
    int loadWatermarkImage(PdfOutput& pdf, const std::wstring& path);
    void prepareAhead();
    void dropPrepared() noexcept;

    struct PreparedImage {
        ReencodeParams params;
        std::size_t file; // its position in the run
        int page;
        std::future<ReencodeResult> result;
    };
    std::list<PreparedImage> prepared_; // the next images, being re-encoded elsewhere
};
