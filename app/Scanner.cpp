#include "Scanner.h"

#include "SaneDevice.h"
#include "ScanImage.h"

#include <QDate>
#include <QDir>
#include <QStandardPaths>

#include <sane/sane.h>

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace folimo::scan {

namespace {

// A read brings at most this much; stop() is looked at between reads.
constexpr SANE_Int kReadChunk = 64 * 1024;

// A frame as it came: its parameters, and where its bytes start in the page's buffer.
struct Frame {
    SANE_Parameters params{};
    std::size_t offset = 0;
    int lines = 0;
};

// Sample `i` of a row at 8 bits: 16 bits keep their high byte (SANE sends them in the
// host's order), a set bit is full intensity.
std::uint8_t sample8(const SANE_Parameters& p, const std::uint8_t* row, std::size_t i) {
    if (p.depth == 16) {
        std::uint16_t v = 0;
        std::memcpy(&v, row + 2 * i, 2);
        return static_cast<std::uint8_t>(v >> 8);
    }
    if (p.depth == 1)
        return (row[i / 8] & (0x80 >> (i % 8))) != 0 ? 255 : 0;
    return row[i];
}

// The page Folimo saves out of the frames of a scan: one grey or RGB frame, or a red,
// a green and a blue one (a three-pass scanner). 1-bit grey stays packed, as black and
// white; every other depth becomes 8 bits.
ScanImage imageOf(const std::vector<Frame>& frames, int resolution,
                  const std::vector<std::uint8_t>& bytes) {
    const SANE_Parameters& p = frames.front().params;
    ScanImage image;
    image.width = p.pixels_per_line;
    image.resolution = resolution;
    image.height = frames.front().lines;
    for (const Frame& f : frames)
        image.height = std::min(image.height, f.lines);
    const auto rows = static_cast<std::size_t>(image.height);
    auto rowOf = [&bytes](const Frame& f, std::size_t y) {
        return bytes.data() + f.offset + y * static_cast<std::size_t>(f.params.bytes_per_line);
    };
    if (p.format == SANE_FRAME_GRAY && p.depth == 1) {
        image.kind = ScanImage::Kind::Bilevel;
        image.stride = (static_cast<std::size_t>(image.width) + 7) / 8;
        image.pixels.resize(image.stride * rows);
        // The bits past the width may hold anything; a G4 coder would see them as ink.
        const int tailBits = image.width % 8;
        const auto tailMask =
            static_cast<std::uint8_t>(tailBits == 0 ? 0xff : 0xff << (8 - tailBits));
        for (std::size_t y = 0; y < rows; ++y) {
            std::uint8_t* out = image.pixels.data() + y * image.stride;
            std::copy_n(rowOf(frames.front(), y), image.stride, out);
            out[image.stride - 1] &= tailMask;
        }
        return image;
    }
    const bool grey = p.format == SANE_FRAME_GRAY;
    image.kind = grey ? ScanImage::Kind::Grey : ScanImage::Kind::Rgb;
    image.stride = static_cast<std::size_t>(image.width) * (grey ? 1 : 3);
    image.pixels.resize(image.stride * rows);
    for (const Frame& f : frames) {
        // Where this frame's samples go in a pixel, and how far apart.
        std::size_t channel = 0, step = 1;
        if (f.params.format == SANE_FRAME_RED || f.params.format == SANE_FRAME_GREEN ||
            f.params.format == SANE_FRAME_BLUE) {
            channel = f.params.format == SANE_FRAME_RED     ? 0
                      : f.params.format == SANE_FRAME_GREEN ? 1
                                                            : 2;
            step = 3;
        }
        const std::size_t count = image.stride / step;
        for (std::size_t y = 0; y < rows; ++y) {
            const std::uint8_t* in = rowOf(f, y);
            std::uint8_t* out = image.pixels.data() + y * image.stride + channel;
            for (std::size_t i = 0; i < count; ++i)
                out[i * step] = sample8(f.params, in, i);
        }
    }
    return image;
}

enum class PageRead { Complete, Stopped, NoDocument };

// SANE's thread helper, which many drivers (the test driver among them) read their
// device with, cancels its reader thread asynchronously when the page is let go. Cut
// down inside the allocator, that thread keeps the allocator's lock, and the whole
// process hangs at its next allocation or exit. A cancel is safe while the reader waits
// in a read or a write, so a page is let go only once its reader has reached one.
//
// A page stopped part-way is read out first: a page reads out in a few seconds, and
// one that takes longer is cancelled all the same.
void readOut(SANE_Handle handle) {
    constexpr auto kLimit = std::chrono::seconds(10);
    const auto until = std::chrono::steady_clock::now() + kLimit;
    std::vector<SANE_Byte> scratch(static_cast<std::size_t>(kReadChunk));
    SANE_Int got = 0;
    while (std::chrono::steady_clock::now() < until &&
           sane_read(handle, scratch.data(), kReadChunk, &got) == SANE_STATUS_GOOD) {
    }
}

// A page that ended before its end of data may have a reader that has only just begun,
// still allocating its buffer: it is given a moment to reach its first write before the
// page is let go.
void letReaderStart() {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
}

// Reads the frames of a page begun into `bytes`, telling the listener the progress.
PageRead readFrames(SANE_Handle handle, int number, const std::function<bool()>& stopped,
                    std::vector<std::uint8_t>& bytes, std::vector<Frame>& frames,
                    ScanListener& listener) {
    bytes.clear();
    int reported = -1;
    for (bool lastFrame = false; !lastFrame;) {
        Frame frame;
        frame.offset = bytes.size();
        // Each frame after the first is begun on its own.
        SANE_Status status = frames.empty() ? SANE_STATUS_GOOD : sane_start(handle);
        if (status != SANE_STATUS_GOOD)
            throw ScanError{FailureOf(status), sane_strstatus(status)};
        status = sane_get_parameters(handle, &frame.params);
        if (status != SANE_STATUS_GOOD)
            throw ScanError{FailureOf(status), sane_strstatus(status)};
        const SANE_Parameters& p = frame.params;
        lastFrame = p.last_frame != SANE_FALSE;
        const bool separate = p.format == SANE_FRAME_RED || p.format == SANE_FRAME_GREEN ||
                              p.format == SANE_FRAME_BLUE;
        const std::int64_t rowBits =
            std::int64_t{p.pixels_per_line} * (p.format == SANE_FRAME_RGB ? 3 : 1) * p.depth;
        if ((p.format != SANE_FRAME_GRAY && p.format != SANE_FRAME_RGB && !separate) ||
            (p.depth != 1 && p.depth != 8 && p.depth != 16) || p.pixels_per_line <= 0 ||
            p.bytes_per_line < (rowBits + 7) / 8)
            throw ScanError{Failure::Unsupported,
                            "the device sends a kind of image Folimo does not read"};
        if (!frames.empty() && (!separate || p.pixels_per_line != frames[0].params.pixels_per_line))
            throw ScanError{Failure::Unsupported, "the device's frames do not match"};
        const auto bpl = static_cast<std::size_t>(p.bytes_per_line);
        // The whole page's bytes, for the progress; unknown for a hand scanner, whose
        // lines grow the buffer as they come.
        const std::size_t expected = p.lines > 0 ? bpl * static_cast<std::size_t>(p.lines) : 0;
        const std::size_t frameCount = separate ? 3 : 1;
        bytes.reserve(frame.offset + (expected > 0 ? expected : bpl * 1024));
        for (;;) {
            if (stopped()) {
                readOut(handle);
                return PageRead::Stopped;
            }
            const std::size_t at = bytes.size();
            bytes.resize(at + static_cast<std::size_t>(kReadChunk));
            SANE_Int got = 0;
            status = sane_read(handle, bytes.data() + at, kReadChunk, &got);
            bytes.resize(at + static_cast<std::size_t>(status == SANE_STATUS_GOOD ? got : 0));
            if (status == SANE_STATUS_EOF)
                break;
            if (status == SANE_STATUS_NO_DOCS && bytes.empty())
                return PageRead::NoDocument;
            if (status != SANE_STATUS_GOOD) {
                // A feeder that runs dry mid-page lost the page: that is no empty feeder.
                const Failure failure =
                    status == SANE_STATUS_NO_DOCS ? Failure::Jammed : FailureOf(status);
                throw ScanError{failure, sane_strstatus(status)};
            }
            if (expected > 0) {
                const std::size_t done = frames.size() * expected + (bytes.size() - frame.offset);
                const auto permille = static_cast<int>(
                    std::min<std::size_t>(1000, done * 1000 / (frameCount * expected)));
                if (permille != reported) {
                    reported = permille;
                    listener.pageProgress(number, permille);
                }
            }
        }
        frame.lines = static_cast<int>((bytes.size() - frame.offset) / bpl);
        // A page that ends before its first line: the device went away under it.
        if (frame.lines == 0)
            throw ScanError{Failure::Unplugged, "the device sent no image"};
        frames.push_back(frame);
    }
    return PageRead::Complete;
}

PageRead readPage(SANE_Handle handle, int number, const std::function<bool()>& stopped,
                  std::vector<std::uint8_t>& bytes, std::vector<Frame>& frames,
                  ScanListener& listener) {
    PageRead read = PageRead::Complete;
    try {
        read = readFrames(handle, number, stopped, bytes, frames, listener);
    } catch (...) {
        letReaderStart();
        throw;
    }
    if (read == PageRead::NoDocument)
        letReaderStart();
    return read;
}

} // namespace

ScannerService::ScannerService(std::string configDir) : configDir_(std::move(configDir)) {
    thread_ = std::thread([this] { run(); });
}

ScannerService::~ScannerService() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quitting_ = true;
    }
    stopBatch_ = true;
    wake_.notify_all();
    thread_.join();
}

void ScannerService::post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
}

void ScannerService::run() {
    // Drivers read their device on threads of their own, started from this one, into a
    // pipe that a cancelled or failed page closes under them: the SIGPIPE of that write
    // would end the whole program. Threads inherit the blocked signals, and a blocked
    // SIGPIPE leaves the write failing with EPIPE.
    sigset_t brokenPipe;
    sigemptyset(&brokenPipe);
    sigaddset(&brokenPipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &brokenPipe, nullptr);
    if (!configDir_.empty())
        ::setenv("SANE_CONFIG_DIR", configDir_.c_str(), 1);
    SANE_Int version = 0;
    const SANE_Status init = sane_init(&version, nullptr);
    initStatus_ = init;
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return quitting_ || !tasks_.empty(); });
            // Requests still waiting are answered (a batch as stopped) so that no
            // listener waits for ever.
            if (tasks_.empty())
                break;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
    if (init == SANE_STATUS_GOOD)
        sane_exit();
}

void ScannerService::listDevices(std::function<void(std::vector<Device>, Failure)> answer) {
    post([this, answer = std::move(answer)] {
        if (initStatus_ != SANE_STATUS_GOOD) {
            answer({}, FailureOf(static_cast<SANE_Status>(initStatus_)));
            return;
        }
        const SANE_Device** list = nullptr;
        const SANE_Status status = sane_get_devices(&list, SANE_FALSE);
        std::vector<Device> devices;
        if (status == SANE_STATUS_GOOD && list != nullptr)
            for (const SANE_Device** d = list; *d != nullptr; ++d)
                devices.push_back({(*d)->name ? (*d)->name : "", (*d)->vendor ? (*d)->vendor : "",
                                   (*d)->model ? (*d)->model : "", (*d)->type ? (*d)->type : ""});
        answer(std::move(devices), FailureOf(status));
    });
}

void ScannerService::capabilities(
    const std::string& device,
    std::function<void(Capabilities, Failure, std::string message)> answer) {
    post([this, device, answer = std::move(answer)] {
        try {
            started();
            answer(SaneDevice(device).capabilities(), Failure::None, {});
        } catch (const ScanError& failed) {
            answer({}, failed.failure, failed.message);
        }
    });
}

void ScannerService::scan(const std::string& device, const Choices& choices,
                          const std::string& folder, const std::string& stem,
                          ScanListener* listener) {
    const unsigned batch = ++batchesAsked_;
    post([this, batch, device, choices, folder, stem, listener] {
        runBatch(batch, device, choices, folder, stem, *listener);
    });
}

void ScannerService::stop() {
    batchesStopped_ = batchesAsked_.load();
}

bool ScannerService::stopped(unsigned batch) const {
    return stopBatch_ || batch <= batchesStopped_.load();
}

void ScannerService::started() const {
    if (initStatus_ != SANE_STATUS_GOOD)
        throw ScanError{FailureOf(static_cast<SANE_Status>(initStatus_)),
                        std::string("SANE did not start: ") +
                            sane_strstatus(static_cast<SANE_Status>(initStatus_))};
}

void ScannerService::runBatch(unsigned batch, const std::string& deviceName, const Choices& choices,
                              const std::string& folder, const std::string& stem,
                              ScanListener& listener) {
    try {
        if (stopped(batch)) {
            listener.batchEnded(Failure::None, true, {});
            return;
        }
        started();
        SaneDevice device(deviceName);
        device.apply(choices);
        const int resolution = device.resolution(choices.resolution);
        const std::function<bool()> isStopped = [this, batch] { return stopped(batch); };
        std::vector<std::uint8_t> bytes;
        for (int number = 1;; ++number) {
            if (stopped(batch)) {
                listener.batchEnded(Failure::None, true, {});
                return;
            }
            device.scanning();
            const SANE_Status status = sane_start(device.handle());
            // The feeder ran out: the batch is complete, unless it held nothing at all.
            if (status == SANE_STATUS_NO_DOCS && number > 1)
                break;
            if (status != SANE_STATUS_GOOD)
                throw ScanError{FailureOf(status), sane_strstatus(status)};
            listener.pageStarted(number);
            std::vector<Frame> frames;
            switch (readPage(device.handle(), number, isStopped, bytes, frames, listener)) {
            case PageRead::Complete:
                break;
            case PageRead::Stopped:
                listener.batchEnded(Failure::None, true, {});
                return;
            case PageRead::NoDocument:
                if (number == 1)
                    throw ScanError{Failure::FeederEmpty, sane_strstatus(SANE_STATUS_NO_DOCS)};
                listener.batchEnded(Failure::None, false, {});
                return;
            }
            const ScanImage image = imageOf(frames, resolution, bytes);
            const int ink = InkPermille(image);
            if (choices.skipBlank && ink <= choices.blankInkPermille) {
                listener.pageSkipped(number, ink);
            } else {
                std::string error;
                const std::string path = SaveScannedPage(image, folder, stem, error);
                if (path.empty())
                    throw ScanError{Failure::Other, error};
                listener.pageScanned(
                    {number, path, image.width, image.height, resolution, image.colour()});
            }
            if (choices.source == Source::Flatbed)
                break;
        }
        listener.batchEnded(Failure::None, false, {});
    } catch (const ScanError& failed) {
        listener.batchEnded(failed.failure, false, failed.message);
    } catch (const std::bad_alloc&) {
        listener.batchEnded(Failure::OutOfMemory, false, "out of memory");
    } catch (const std::length_error&) {
        // A page size no buffer can hold, as a broken driver may claim.
        listener.batchEnded(Failure::OutOfMemory, false, "the page is too large");
    }
}

std::string ScannedPageFormat(Colour colour, int width, int height) {
    if (colour == Colour::BlackAndWhite)
        return "tiff";
    // Up to 2 megapixels a page stays lossless: small scans (receipts, cards, an A4
    // page up to about 140 dpi) cost at most about 2 MB as PNG, and JPEG's ringing shows most on
    // text scanned at few pixels per letter. Above it PNG grows with the scanner's
    // noise: an A4 text page in colour at 300 dpi (8.7 megapixels) measured 11.3 MB as
    // PNG against 0.9 MB as JPEG at quality 92 with light noise, 16.9 MB against 4.4 MB
    // with heavy noise, the JPEG showing no loss one sees in print.
    constexpr long long kLosslessPixels = 2'000'000;
    return static_cast<long long>(width) * height <= kLosslessPixels ? "png" : "jpeg";
}

std::string DefaultScanFolder() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (base.isEmpty())
        base = QDir::homePath();
    return (base + QStringLiteral("/Scans/") +
            QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")))
        .toStdString();
}

} // namespace folimo::scan
