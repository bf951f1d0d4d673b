// The state of one conversion, from the start of Convert to its return: where it is in the
// file list, the caller it reports to, the context its expanded texts see, how the load of
// the current image went, the images being prepared ahead and the watermark images the
// document already holds. The steps of a run are handed it; nothing of it outlives the run.
#pragma once

#include "RecognitionJob.h"
#include "ReencodeJob.h"

#include <folimo/Folimo.h>

#include <cstddef>
#include <future>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct InputFile {
    std::wstring path;
    int tag;
    int quarterTurns = 0; // clockwise, as the person turned it: 0 to 3
};

class ConversionRun {
public:
    // The files stay where they are for the whole run, so the text context may point into
    // them.
    ConversionRun(const std::vector<InputFile>& files, IProcess* callback)
        : files_(files), callback_(callback), callbackEx_(dynamic_cast<IProcessEx*>(callback)),
          callbackText_(dynamic_cast<IProcessText*>(callback)) {}
    ConversionRun(const ConversionRun&) = delete;
    ConversionRun& operator=(const ConversionRun&) = delete;

    // The position: a page at a time through a multi-page file, else a file at a time.
    const std::vector<InputFile>& files() const { return files_; }
    bool atEnd() const { return file_ >= files_.size(); }
    std::size_t fileIndex() const { return file_; }
    const InputFile& currentFile() const { return files_[file_]; }
    int page() const { return page_; }           // of the current file, from 0
    int pageCount() const { return pageCount_; } // known once its first page is loaded
    // Past the current image: the next page of its file, or the next file.
    void nextImage();
    // Past the whole current file, whichever page it is at.
    void nextFile();
    // After the current image is loaded: the file is reported once, at its first page,
    // and its page count is learnt there from the load.
    void imageLoaded();
    // After the current image failed: a file failing at its first page is reported as not
    // loaded, one failing later counted as loaded already; the rest of it is skipped.
    void dropCurrentFile();

    // The caller, when there is one.
    void notifyBegin(const wchar_t* outputPath);
    void notifyFile(const wchar_t* path, int loaded);
    void notifyEnd();
    // A FolimoDocumentEnd; only a caller that implements IProcessEx hears of it.
    void notifyDocumentEnd(int how, int pages, const std::wstring& writtenPath);
    // Once true, true for the rest of the run.
    bool cancelled();
    // Only a caller that implements IProcessText hears of it.
    void notifyPageText(int documentPage, const std::wstring& path, int filePage, int words,
                        int quarterTurns);
    // `message` goes to OnError after "Error: "; a caller that implements IProcessEx gets
    // the code, the file and the reason with it instead, to word it itself.
    void reportError(const std::wstring& message, int code = FOLIMO_ERROR_OTHER,
                     const std::wstring& subject = {}, const std::wstring& reason = {});
    // One line for a console, and only when no caller hears of the failure.
    void diagnostic(const std::string& line);

    // What the text callback is told. The output path is kept here for the context's sake.
    void setOutputPath(const wchar_t* path);
    const std::wstring& outputPath() const { return outputPath_; }
    void setContextFile(const InputFile& file);
    TextContext& context() { return context_; }
    void pageWritten() { ++context_.pageCount; }

    // The attempts of one image load: each encoding code is tried at most once, and the
    // message of the last failure is kept.
    void beginLoad();
    // True, and remembered, the first time the current load tries `code`.
    bool firstAttempt(int code);
    void setLoadError(std::wstring message) { loadError_ = std::move(message); }
    const std::wstring& loadError() const { return loadError_; }
    void setLoadedPages(int pages) { loadedPages_ = pages; }

    // The next images, being re-encoded on other threads while the current one is written.
    bool isPrepared(const ReencodeParams& params) const;
    // False when no thread could be had: the image is then made when its turn comes.
    bool prepare(const ReencodeParams& params, std::size_t file, int page);
    // The prepared result for these parameters, waited for and taken from the list.
    std::optional<ReencodeResult> takePrepared(const ReencodeParams& params);
    // Images the position has passed unused (the pages after a damaged one) would only
    // hold memory.
    void dropPassedPrepared();
    // Waits for jobs still running: they hold nothing of the run but their own data.
    void dropPrepared() noexcept { prepared_.clear(); }

    // The text of the image pages, recognised on threads of the run's own, as many as the
    // machine has cores, which keep the next pages' recognitions running ahead of the
    // writer; the writer only takes their results, in page order.
    void startRecognition(const std::string& languages, bool upright);
    bool recognizing() const { return recognition_ != nullptr; }
    unsigned recognitionThreads() const { return recognition_ ? recognition_->threads() : 0; }
    // Asks for the text of page `page` of file `file` (its position in the run) unless
    // it was asked for already.
    void recognize(std::size_t file, int page);
    // Waits for that page's text, asking for it first when nobody has. False when the
    // run was cancelled meanwhile: the recognitions still running then stop within
    // their pages.
    bool awaitText(std::size_t file, int page);
    // The text of the page at the run's position, taken from the list (waited for as
    // awaitText does); nothing when the run does not recognise, or was cancelled.
    std::optional<RecognitionResult> takeText();
    // Cancels what is still being recognised and waits for the threads.
    void stopRecognition() noexcept;

    // Watermark image handles by path, loaded once per document.
    std::map<std::wstring, int>& watermarkImages() { return watermarkImages_; }

private:
    struct PreparedImage {
        ReencodeParams params;
        std::size_t file; // its position in the run
        int page;
        std::future<ReencodeResult> result;
    };

    struct PendingText {
        std::size_t file;
        int page;
        std::future<RecognitionResult> result;
    };
    std::list<PendingText>::iterator findText(std::size_t file, int page);

    const std::vector<InputFile>& files_;
    std::size_t file_ = 0;
    int page_ = 0;
    int pageCount_ = 1;
    IProcess* callback_;
    IProcessEx* callbackEx_;
    IProcessText* callbackText_;
    bool cancelled_ = false;
    std::wstring outputPath_;
    TextContext context_{};
    unsigned attempts_ = 0; // bit n: code n tried in the current load
    std::wstring loadError_;
    int loadedPages_ = 1; // the page count the last successful load found
    std::list<PreparedImage> prepared_;
    std::map<std::wstring, int> watermarkImages_;
    bool uprightByText_ = false;
    std::list<PendingText> texts_;
    // Last: its threads are done before anything else of the run goes.
    std::unique_ptr<RecognitionPool> recognition_;
};
