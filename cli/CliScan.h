// Scanning for folimo-cli: the pages of one batch become the run's inputs.
#pragma once

#include "CliOptions.h"

#include <Scanner.h>

#include <string>
#include <vector>

// Where a run's scans go: the folder of --keep-scans, or a private one of its own in
// the temporary folder, removed with its files when the run ends.
class ScanFolder {
public:
    // Throws std::runtime_error when the folder cannot be made.
    explicit ScanFolder(const std::string& keep);
    ~ScanFolder();
    ScanFolder(const ScanFolder&) = delete;
    ScanFolder& operator=(const ScanFolder&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    bool temporary_ = false;
};

struct ScanOutcome {
    std::vector<std::string> pages; // the files, in the batch's order
    folimo::scan::Failure failure = folimo::scan::Failure::None;
    bool stopped = false;
    std::string message; // SANE's own words, for the record
};

// Scans a batch into `folder`, telling each page on standard error (or as JSON events).
// `stopAsked` is polled while the batch runs: once it answers true the batch ends at
// the device's next read, with the pages scanned before.
ScanOutcome scanPages(const CliOptions::Scan& scan, const std::string& folder, bool quiet,
                      bool json, bool (*stopAsked)());

// Lists the scanners on standard output; the status for the shell.
int listScanners(bool json);

// What went wrong, in words that say what to do about it.
std::string scanFailureText(folimo::scan::Failure failure, const std::string& device,
                            const std::string& message);
