#include "CliScan.h"
#include "ConsoleProcess.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <unistd.h>

namespace {

using folimo::scan::Failure;

// Collects a batch told on the service's thread, and tells its pages as they come:
// the main thread only waits, so the lines never interleave with its own.
class BatchReport : public folimo::scan::ScanListener {
public:
    BatchReport(bool quiet, bool json)
        : quiet_(quiet), json_(json), bar_(!quiet && !json && ::isatty(STDERR_FILENO)) {}

    void pageStarted(int) override {}

    // A page takes seconds on a real scanner: a terminal shows how far it is.
    void pageProgress(int number, int permille) override {
        if (!bar_)
            return;
        std::fprintf(stderr, "\r\033[K[scan %d] %d%%", number, permille / 10);
        std::fflush(stderr);
        barShown_ = true;
    }

    void pageScanned(const folimo::scan::Page& page) override {
        endBar();
        if (json_)
            ConsoleProcess::emit("{\"event\":\"scanned\",\"page\":" + std::to_string(page.number) +
                                 ",\"path\":" + jsonString(page.path) + "}");
        else if (!quiet_)
            std::fprintf(stderr, "[scan %d] %s\n", page.number, page.path.c_str());
        std::lock_guard<std::mutex> lock(mutex_);
        outcome_.pages.push_back(page.path);
    }

    void pageSkipped(int number, int inkPermille) override {
        endBar();
        if (json_)
            ConsoleProcess::emit("{\"event\":\"skipped\",\"page\":" + std::to_string(number) +
                                 ",\"ink\":" + std::to_string(inkPermille) + "}");
        else if (!quiet_)
            std::fprintf(stderr, "[scan %d] blank (%d per mille of ink), left out\n", number,
                         inkPermille);
    }

    void batchEnded(Failure failure, bool stopped, const std::string& message) override {
        endBar();
        std::lock_guard<std::mutex> lock(mutex_);
        outcome_.failure = failure;
        outcome_.stopped = stopped;
        outcome_.message = message;
        ended_ = true;
        endedSignal_.notify_all();
    }

    // Waits for the batch's end, asking the service to stop once `stopAsked` says so.
    ScanOutcome wait(folimo::scan::ScannerService& service, bool (*stopAsked)()) {
        std::unique_lock<std::mutex> lock(mutex_);
        bool stopSent = false;
        while (!ended_) {
            // A signal handler cannot wake a condition variable: the flag it sets is
            // looked at often enough for a stop to feel immediate.
            endedSignal_.wait_for(lock, std::chrono::milliseconds(50));
            if (!stopSent && !ended_ && stopAsked()) {
                stopSent = true;
                service.stop();
            }
        }
        return outcome_;
    }

private:
    void endBar() {
        if (barShown_)
            std::fputs("\r\033[K", stderr);
        barShown_ = false;
    }

    bool quiet_, json_, bar_;
    bool barShown_ = false; // touched on the service's thread only
    std::mutex mutex_;
    std::condition_variable endedSignal_;
    bool ended_ = false;
    ScanOutcome outcome_;
};

std::string temporaryFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/folimo-scan-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary folder for the scans in " +
                                 pattern.substr(0, pattern.rfind('/')) + ": " +
                                 std::generic_category().message(errno));
    return pattern;
}

} // namespace

ScanFolder::ScanFolder(const std::string& keep) {
    if (keep.empty()) {
        path_ = temporaryFolder();
        temporary_ = true;
        return;
    }
    std::error_code ec;
    std::filesystem::create_directories(keep, ec);
    if (ec || !std::filesystem::is_directory(keep))
        throw std::runtime_error("cannot create the folder " + keep + " for the scans" +
                                 (ec ? ": " + ec.message() : std::string()));
    path_ = keep;
}

ScanFolder::~ScanFolder() {
    if (temporary_) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

ScanOutcome scanPages(const CliOptions::Scan& scan, const std::string& folder, bool quiet,
                      bool json, bool (*stopAsked)()) {
    folimo::scan::ScannerService service;
    folimo::scan::Choices choices = scanChoices(scan);
    if (!scan.source) {
        // A scanner with only a feeder scans from it without being told.
        std::promise<ScanOutcome> answer;
        auto offered = answer.get_future();
        service.capabilities(scan.device, [&](folimo::scan::Capabilities capabilities,
                                              Failure failure, std::string message) {
            if (failure == Failure::None)
                choices.source = capabilities.sources.front();
            answer.set_value({{}, failure, false, std::move(message)});
        });
        ScanOutcome failed = offered.get();
        if (failed.failure != Failure::None)
            return failed;
    }
    BatchReport report(quiet, json);
    service.scan(scan.device, choices, folder, "scan", &report);
    return report.wait(service, stopAsked);
}

int listScanners(bool json) {
    std::promise<std::pair<std::vector<folimo::scan::Device>, Failure>> answer;
    auto listed = answer.get_future();
    {
        folimo::scan::ScannerService service;
        service.listDevices([&answer](std::vector<folimo::scan::Device> devices, Failure failure) {
            answer.set_value({std::move(devices), failure});
        });
        listed.wait();
    }
    const auto [devices, failure] = listed.get();
    if (failure != Failure::None) {
        const std::string text = scanFailureText(failure, std::string(), std::string());
        if (json)
            ConsoleProcess::emit("{\"event\":\"error\",\"message\":" + jsonString(text) + "}");
        else
            std::fprintf(stderr, "folimo-cli: Error: %s\n", text.c_str());
        return 1;
    }
    for (const auto& device : devices) {
        if (json)
            ConsoleProcess::emit("{\"event\":\"scanner\",\"name\":" + jsonString(device.name) +
                                 ",\"vendor\":" + jsonString(device.vendor) +
                                 ",\"model\":" + jsonString(device.model) +
                                 ",\"type\":" + jsonString(device.type) + "}");
        else
            std::printf("%s\t%s\t%s\t%s\n", device.name.c_str(), device.vendor.c_str(),
                        device.model.c_str(), device.type.c_str());
    }
    // An empty list is an answer, not a failure: a script tells it by the empty output.
    if (devices.empty() && !json)
        std::fprintf(stderr, "folimo-cli: no scanners found (is one plugged in and on, and "
                             "its SANE backend installed?)\n");
    return 0;
}

std::string scanFailureText(Failure failure, const std::string& device,
                            const std::string& message) {
    const std::string named = device.empty() ? "the scanner" : "the scanner " + device;
    std::string text;
    switch (failure) {
    case Failure::None:
        return std::string();
    case Failure::NoDevice:
        text =
            "there is no scanner " + device + " (folimo-cli --list-scanners lists those there are)";
        break;
    case Failure::Busy:
        text = named + " is busy: another program is using it";
        break;
    case Failure::CoverOpen:
        text = "the cover of " + named + " is open: close it and scan again";
        break;
    case Failure::Jammed:
        text = "the paper jammed in " + named + ": clear it and scan again";
        break;
    case Failure::FeederEmpty:
        text = "the document feeder of " + named + " is empty: put the pages in it";
        break;
    case Failure::Unplugged:
        text = named + " stopped answering: check that it is plugged in and switched on";
        break;
    case Failure::AccessDenied:
        text = "no permission to use " + named +
               " (on many systems the user must be in the group scanner)";
        break;
    case Failure::OutOfMemory:
        text = "out of memory while scanning";
        break;
    case Failure::Unsupported:
        text = named + " cannot scan with these choices of source, mode and resolution";
        break;
    case Failure::Other:
        text = "the scan failed";
        break;
    }
    // The driver's own words help where ours cannot say more.
    if (!message.empty() && (failure == Failure::Other || failure == Failure::Unsupported))
        text += " (" + message + ")";
    return text;
}
