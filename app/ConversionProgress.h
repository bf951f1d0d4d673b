// What a conversion run tells the person waiting for it: the run's side of the engine's
// progress and text callbacks. The worker thread reports through it; the window's timer
// reads a snapshot. The texts are the program's own log lines.
#pragma once

#include "ConversionJob.h"

#include <folimo/Folimo.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace folimo {

class ConversionProgress : public IProcessEx, public IProcessText, public FolimoCallback {
public:
    // `totalFiles`: the inputs of the whole run, for "done of total" and the time left.
    // `mode`: with a document per folder or per image, "open" opens their folder.
    explicit ConversionProgress(int totalFiles = 0, ConversionMode mode = ConversionMode::Single);
    virtual ~ConversionProgress() = default;

    int OnBegin(const wchar_t* outputPath) noexcept override;
    int OnFile(const wchar_t* path, int loaded) noexcept override;
    int OnEnd() noexcept override;
    int OnProgress(std::int64_t total, std::int64_t done) noexcept override;
    int OnError(const wchar_t* message) noexcept override;
    int IsCancelled() noexcept override { return stop_.load() ? 1 : 0; }
    int OnNotify() noexcept override;
    int OnErrorCode(int code, const wchar_t* subject, const wchar_t* reason,
                    const wchar_t* message) noexcept override;
    int OnDocumentEnd(int how, int pages, const wchar_t* writtenPath) noexcept override;
    // The status names the page whose text the run waits for.
    int OnPageTextBegin(int documentPage, const wchar_t* path, int filePage) noexcept override;
    // A page whose text could not be recognised is an error line naming the page.
    int OnPageText(int documentPage, const wchar_t* path, int filePage, int words,
                   int quarterTurns) noexcept override;
    // Placeholders of bookmark and watermark texts; worker thread only.
    const wchar_t* ExpandText(const wchar_t* text, TextContext* context) noexcept override;

    void Stop() { stop_.store(true); }
    bool Finished() const { return finished_.load(); }

    struct Snapshot {
        std::wstring status;
        std::wstring log;
        // Where each error line of the log starts and how long it is.
        std::vector<std::pair<std::size_t, std::size_t>> errorLines;
        std::wstring firstOutput; // the first document written; empty when none was
        std::wstring openPath;    // what "open" opens: that document, or its folder
        int permille = 0;         // 0 to 1000
        int filesDone = 0;
        int filesFailed = 0;
        int totalFiles = 0;
        int secondsLeft = -1; // -1 until it can be told
        bool finished = false;
    };
    Snapshot Read() const;

private:
    void logLine(const std::wstring& line);
    void logError(const std::wstring& text);
    // An input's error waits for the line that names the input.
    void sayHeldError();
    std::wstring endOfRun() const;

    mutable std::mutex mutex_;
    std::wstring status_;
    std::wstring log_;
    std::vector<std::pair<std::size_t, std::size_t>> errorLines_;
    std::wstring heldError_, heldFor_;
    std::wstring beganAt_; // the output path of the document being made
    std::vector<std::wstring> written_;
    std::set<std::wstring> watermarksTold_;
    int pagesKept_ = 0;
    bool stoppedDocument_ = false;
    int failedDocuments_ = 0;
    int counter_ = 1;
    int permille_ = 0;
    int filesDone_ = 0;
    int filesFailed_ = 0;
    const int totalFiles_;
    const ConversionMode mode_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::wstring expanded_;
};

// The main window's side of a run: counts the files reported and passes every call on
// to the progress it is given, or answers as if all went well when there is none (the
// window was closed: the run goes on to its end unheard).
class ConversionForwarder : public IProcessEx, public IProcessText, public FolimoCallback {
public:
    virtual ~ConversionForwarder() = default;
    void SetTarget(ConversionProgress* target, int totalFiles);

    int OnBegin(const wchar_t* outputPath) noexcept override;
    int OnFile(const wchar_t* path, int loaded) noexcept override;
    int OnEnd() noexcept override;
    int OnProgress(std::int64_t, std::int64_t) noexcept override;
    int OnError(const wchar_t* message) noexcept override;
    int IsCancelled() noexcept override;
    int OnNotify() noexcept override;
    int OnErrorCode(int code, const wchar_t* subject, const wchar_t* reason,
                    const wchar_t* message) noexcept override;
    int OnDocumentEnd(int how, int pages, const wchar_t* writtenPath) noexcept override;
    int OnPageTextBegin(int documentPage, const wchar_t* path, int filePage) noexcept override;
    int OnPageText(int documentPage, const wchar_t* path, int filePage, int words,
                   int quarterTurns) noexcept override;
    const wchar_t* ExpandText(const wchar_t* text, TextContext* context) noexcept override;

private:
    std::atomic<ConversionProgress*> target_{nullptr};
    std::atomic<int> total_{0};
    std::atomic<int> reported_{0};
};

} // namespace folimo
