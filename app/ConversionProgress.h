// What a conversion run tells the person waiting for it: the run's side of the engine's
// progress and text callbacks. The worker thread reports through it; the window's timer
// reads a snapshot. The texts are the program's own log lines.
#pragma once

#include <folimo/Folimo.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace folimo {

class ConversionProgress : public IProcess, public FolimoCallback {
public:
    // `totalFiles`: the inputs of the whole run, for "done of total" and the time left.
    explicit ConversionProgress(int totalFiles = 0);
    virtual ~ConversionProgress() = default;

    int OnBegin(const wchar_t* outputPath) noexcept override;
    int OnFile(const wchar_t* path, int loaded) noexcept override;
    int OnEnd() noexcept override;
    int OnProgress(std::int64_t total, std::int64_t done) noexcept override;
    int OnError(const wchar_t* message) noexcept override;
    int IsCancelled() noexcept override { return stop_.load() ? 1 : 0; }
    int OnNotify() noexcept override;
    // Placeholders of bookmark and watermark texts; worker thread only.
    const wchar_t* ExpandText(const wchar_t* text, TextContext* context) noexcept override;

    void Stop() { stop_.store(true); }
    // The name the first document really got (another run may have taken the one it
    // began with), for the open buttons.
    void SetFirstOutput(const std::wstring& path);
    bool Finished() const { return finished_.load(); }

    struct Snapshot {
        std::wstring status;
        std::wstring log;
        std::wstring firstOutput; // what the open buttons open
        int permille = 0;         // 0 to 1000
        int filesDone = 0;
        int totalFiles = 0;
        int secondsLeft = -1; // -1 until it can be told
        bool finished = false;
    };
    Snapshot Read() const;

private:
    void logLine(const std::wstring& line);

    mutable std::mutex mutex_;
    std::wstring status_;
    std::wstring log_;
    std::wstring firstOutput_;
    int counter_ = 1;
    int permille_ = 0;
    int filesDone_ = 0;
    const int totalFiles_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::wstring expanded_;
};

// The main window's side of a run: counts the files reported and passes every call on
// to the progress it is given, or answers as if all went well when there is none (the
// window was closed: the run goes on to its end unheard).
class ConversionForwarder : public IProcess, public FolimoCallback {
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
    const wchar_t* ExpandText(const wchar_t* text, TextContext* context) noexcept override;

private:
    std::atomic<ConversionProgress*> target_{nullptr};
    std::atomic<int> total_{0};
    std::atomic<int> reported_{0};
};

} // namespace folimo
