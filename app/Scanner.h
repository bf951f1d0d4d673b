// Scanners through SANE, without windows: the desktop program and folimo-cli both scan
// through a ScannerService. Every SANE call runs on the service's own thread, so a
// window never waits for a device; sane_init is called when that thread starts and
// sane_exit when the service is destroyed. Answers come back on the service's thread
// through the listener of each request; a window forwards them with queued signals.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace folimo::scan {

enum class Source { Flatbed, Feeder, Duplex };
enum class Colour { Colour, Grey, BlackAndWhite };

struct Device {
    std::string name;   // SANE's device name, as `scanimage -L` shows it ("test:0")
    std::string vendor; // as the driver tells them
    std::string model;
    std::string type;
};

// What a device offers, read from its options.
struct Capabilities {
    std::vector<Source> sources;  // in the device's order; never empty
    std::vector<Colour> colours;  // never empty
    std::vector<int> resolutions; // dpi, ascending; a range is offered at common steps
    double maxWidthMm = 0;        // the scan area; 0 when the device cannot crop
    double maxHeightMm = 0;
};

struct Choices {
    Source source = Source::Flatbed;
    Colour colour = Colour::Colour;
    int resolution = 300;
    // The area from the top left corner; 0 for the device's whole area.
    double widthMm = 0;
    double heightMm = 0;
    bool skipBlank = false;
    // A page whose share of ink (dark pixels, per mille of the page, after a margin of
    // the page's edges is left out) is at most this is blank.
    int blankInkPermille = 5;
    // Options set by their SANE names after the choices above, for what only one driver
    // offers (the test driver's "test-picture" and "read-return-value").
    std::vector<std::pair<std::string, std::string>> deviceOptions;
};

// Why a device or a batch failed, in the terms the windows put in words.
enum class Failure {
    None,
    NoDevice, // the name is not (or no longer) a device
    Busy,     // another program holds it
    CoverOpen,
    Jammed,
    FeederEmpty,  // the feeder held no page when the batch began
    Unplugged,    // the device went away or stopped answering mid-page
    AccessDenied, // no permission to use it
    OutOfMemory,
    Unsupported, // the choices cannot be set on it
    Other,
};

// A page scanned and saved: black and white as CCITT G4 TIFF, grey and colour as PNG
// or JPEG (see ScannedPageFormat), the resolution recorded in the file.
struct Page {
    int number = 0; // from 1, in the batch, skipped pages included
    std::string path;
    int width = 0, height = 0; // pixels
    int resolution = 0;        // dpi
    Colour colour = Colour::Colour;
};

// Told on the service's thread, in this order for each page: pageStarted, then
// pageProgress any number of times, then one of pageScanned / pageSkipped; then, once,
// batchEnded.
class ScanListener {
public:
    virtual ~ScanListener() = default;
    virtual void pageStarted(int number) = 0;
    virtual void pageProgress(int number, int permille) = 0;
    virtual void pageScanned(const Page& page) = 0;
    virtual void pageSkipped(int number, int inkPermille) = 0;
    // `failure` None: the batch ended well (a flatbed page, an emptied feeder, or a stop
    // when `stopped`). Otherwise `message` holds SANE's own text for the record.
    virtual void batchEnded(Failure failure, bool stopped, const std::string& message) = 0;
};

class ScannerService {
public:
    // `configDir`: a SANE_CONFIG_DIR to use instead of the environment's (the tests' own
    // dll.conf); empty to leave the environment as it is.
    explicit ScannerService(std::string configDir = {});
    ~ScannerService(); // stops a batch at its next read, then sane_exit
    ScannerService(const ScannerService&) = delete;
    ScannerService& operator=(const ScannerService&) = delete;

    // Each answers once, on the service's thread.
    void listDevices(std::function<void(std::vector<Device>, Failure)> answer);
    void capabilities(const std::string& device,
                      std::function<void(Capabilities, Failure, std::string message)> answer);
    // Scans into `folder` (made when missing), naming the files after `stem` and the
    // page's number; never replaces a file. The listener must live until batchEnded.
    void scan(const std::string& device, const Choices& choices, const std::string& folder,
              const std::string& stem, ScanListener* listener);
    // Ends the batch being scanned at the device's next read; the page being read is
    // dropped, the pages before it stay. Any thread.
    void stop();

private:
    void post(std::function<void()> task);
    void run();

    std::string configDir_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool quitting_ = false;
    std::atomic<bool> stopBatch_{false};
    std::thread thread_;

    // stop() ends the batches asked for before it: a stop that comes before its batch's
    // task runs still counts, and one that comes when nothing scans does not end the
    // next batch. stopBatch_ ends every batch, when the service goes.
    void runBatch(unsigned batch, const std::string& device, const Choices& choices,
                  const std::string& folder, const std::string& stem, ScanListener& listener);
    bool stopped(unsigned batch) const;
    void started() const; // throws when sane_init failed
    std::atomic<unsigned> batchesAsked_{0};
    std::atomic<unsigned> batchesStopped_{0};
    int initStatus_ = 0; // sane_init's status; read and written on the service's thread
};

// The scan's file format for a page of this colour and size: "tiff" (G4) for black and
// white, "png" for a small grey or colour page, "jpeg" at a high quality above (the
// threshold and the quality are explained where they are set).
std::string ScannedPageFormat(Colour colour, int width, int height);

// The folder scans go to when the user chose none: the Pictures folder's "Scans"
// subfolder, one folder per day (YYYY-MM-DD).
std::string DefaultScanFolder();

} // namespace folimo::scan
