// How folimo-cli tells of a run: lines for people on standard error, or one JSON
// object per event on standard output for scripts.
#pragma once

#include <folimo/Folimo.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

// A JSON string literal. A byte of a file name that is not UTF-8 is written as the
// escape \udcXX, as Python's surrogate escapes read it back into that byte: a script
// gets back the very name it can open.
std::string jsonString(std::wstring_view text);
std::string jsonString(const std::string& utf8);

// Reports a run on the console: lines for people on standard error, or with --json one
// JSON object per event on standard output for scripts.
class ConsoleProcess : public IProcessEx, public IProcessText {
public:
    // `output` is the name reported: a replacement is written under another one first.
    // `stopped` tells whether the run is to stop after the current page.
    ConsoleProcess(bool quiet, bool json, std::size_t total, std::string output, bool (*stopped)());
    virtual ~ConsoleProcess();

    // Ends the bar's line, so that what follows starts on a line of its own.
    void EndBar();

    // With several documents, each names itself as it begins.
    int OnBegin(const wchar_t* path) noexcept override;
    int OnFile(const wchar_t* path, int loaded) noexcept override;
    int OnEnd() noexcept override;
    int OnProgress(std::int64_t, std::int64_t) noexcept override { return 1; }
    int OnError(const wchar_t* message) noexcept override;
    int IsCancelled() noexcept override { return stopped_() ? 1 : 0; }
    int OnNotify() noexcept override { return 1; }
    // The engine's failures in English, an unusable watermark once a run.
    int OnErrorCode(int code, const wchar_t* subject, const wchar_t* reason,
                    const wchar_t* message) noexcept override;
    int OnDocumentEnd(int, int, const wchar_t*) noexcept override { return 1; }
    // Each page's recognition as a JSON object; a page whose text could not be
    // recognised as an error in either form.
    int OnPageText(int documentPage, const wchar_t* path, int filePage, int words,
                   int quarterTurns) noexcept override;

    // One line each, flushed, so a reader sees events as they happen.
    static void emit(const std::string& line);

    std::size_t failed() const { return failed_; }
    std::size_t errors() const { return errors_; }
    // Image watermarks that could not be stamped.
    std::size_t watermarksLeftOut() const { return watermarksTold_.size(); }

private:
    // Writes the error held back with -q, if any.
    void sayHeld();

    // One line redrawn in place on a terminal: the share done, the count, the time
    // left by the pace so far, and the file, cut to fit.
    void drawBar(const wchar_t* path);

    bool quiet_;
    bool json_;
    std::size_t total_;
    std::string output_;
    bool (*stopped_)();
    bool bar_;
    bool barShown_ = false;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::size_t done_ = 0;
    std::size_t failed_ = 0;
    std::size_t errors_ = 0;
    std::size_t documentLoaded_ = 0, documentFailed_ = 0; // the inputs of this document
    std::set<std::wstring> watermarksTold_;
    std::string held_; // with -q, the last error until the next event tells its place
};
