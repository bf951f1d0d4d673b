#include "Scanner.h"

#include "ScanImage.h"

#include <QDate>
#include <QDir>
#include <QStandardPaths>

#include <sane/sane.h>
#include <sane/saneopts.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>

namespace folimo::scan {

namespace {

// The resolutions a device offering a range is offered at: the steps scanning programs
// and drivers share, so that a choice carries over between devices.
constexpr int kCommonResolutions[] = {75, 100, 150, 200, 300, 400, 600, 1200};
// A read brings at most this much; stop() is looked at between reads.
constexpr SANE_Int kReadChunk = 64 * 1024;

Failure failureOf(SANE_Status status) {
    switch (status) {
    case SANE_STATUS_GOOD:
    case SANE_STATUS_EOF:
        return Failure::None;
    case SANE_STATUS_DEVICE_BUSY:
        return Failure::Busy;
    case SANE_STATUS_COVER_OPEN:
        return Failure::CoverOpen;
    case SANE_STATUS_JAMMED:
        return Failure::Jammed;
    case SANE_STATUS_NO_DOCS:
        return Failure::FeederEmpty;
    case SANE_STATUS_IO_ERROR:
        return Failure::Unplugged;
    case SANE_STATUS_ACCESS_DENIED:
        return Failure::AccessDenied;
    case SANE_STATUS_NO_MEM:
        return Failure::OutOfMemory;
    case SANE_STATUS_INVAL:
    case SANE_STATUS_UNSUPPORTED:
        return Failure::Unsupported;
    default:
        return Failure::Other;
    }
}

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}
bool has(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

bool sourceOf(const std::string& name, Source& source) {
    const std::string n = lower(name);
    if (has(n, "duplex")) {
        source = Source::Duplex;
        return true;
    }
    if (has(n, "adf") || has(n, "feeder") || has(n, "automatic document")) {
        source = Source::Feeder;
        return true;
    }
    if (has(n, "flatbed") || has(n, "platen") || n == "normal") {
        source = Source::Flatbed;
        return true;
    }
    return false;
}

bool colourOf(const std::string& mode, Colour& colour) {
    const std::string n = lower(mode);
    if (has(n, "color") || has(n, "colour")) {
        colour = Colour::Colour;
        return true;
    }
    if (has(n, "gray") || has(n, "grey")) {
        colour = Colour::Grey;
        return true;
    }
    if (has(n, "lineart") || has(n, "binary") || has(n, "halftone") || has(n, "black")) {
        colour = Colour::BlackAndWhite;
        return true;
    }
    return false;
}

struct Failed {
    Failure failure;
    std::string message;
};

// An open device and its options by name. Lives on the service's thread within one task.
class OpenDevice {
public:
    explicit OpenDevice(const std::string& name) {
        const SANE_Status status = sane_open(name.c_str(), &handle_);
        if (status != SANE_STATUS_GOOD) {
            handle_ = nullptr;
            // The dll backend answers a name no driver knows with INVAL.
            const Failure failure = status == SANE_STATUS_INVAL || status == SANE_STATUS_UNSUPPORTED
                                        ? Failure::NoDevice
                                        : failureOf(status);
            throw Failed{failure, std::string(sane_strstatus(status)) + ": " + name};
        }
        readOptions();
    }
    ~OpenDevice() {
        if (handle_ != nullptr) {
            if (scanning_)
                sane_cancel(handle_);
            sane_close(handle_);
        }
    }
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;

    SANE_Handle handle() const { return handle_; }
    void scanning(bool on) { scanning_ = on; }

    // An option that is there and active, or null.
    const SANE_Option_Descriptor* option(const std::string& name, SANE_Int* index = nullptr) const {
        const auto it = indexes_.find(name);
        if (it == indexes_.end())
            return nullptr;
        const SANE_Option_Descriptor* d = sane_get_option_descriptor(handle_, it->second);
        if (d == nullptr || !SANE_OPTION_IS_ACTIVE(d->cap))
            return nullptr;
        if (index != nullptr)
            *index = it->second;
        return d;
    }

    std::vector<std::string> strings(const std::string& name) const {
        std::vector<std::string> list;
        const SANE_Option_Descriptor* d = option(name);
        if (d != nullptr && d->constraint_type == SANE_CONSTRAINT_STRING_LIST)
            for (const SANE_String_Const* s = d->constraint.string_list; *s != nullptr; ++s)
                list.emplace_back(*s);
        return list;
    }

    // Numbers of a word list, or of a range as its min and max (in the option's unit,
    // fixed point turned into double).
    std::vector<double> numbers(const SANE_Option_Descriptor* d, bool& range) const {
        std::vector<double> list;
        range = false;
        if (d == nullptr)
            return list;
        const bool fixed = d->type == SANE_TYPE_FIXED;
        auto value = [fixed](SANE_Word w) {
            return fixed ? SANE_UNFIX(w) : static_cast<double>(w);
        };
        if (d->constraint_type == SANE_CONSTRAINT_WORD_LIST) {
            for (SANE_Int i = 1; i <= d->constraint.word_list[0]; ++i)
                list.push_back(value(d->constraint.word_list[i]));
        } else if (d->constraint_type == SANE_CONSTRAINT_RANGE) {
            range = true;
            list = {value(d->constraint.range->min), value(d->constraint.range->max)};
        }
        return list;
    }

    void setString(const std::string& name, const std::string& value) {
        SANE_Int index = 0;
        const SANE_Option_Descriptor* d = option(name, &index);
        if (d == nullptr)
            throw Failed{Failure::Unsupported, "the device has no option " + name};
        std::vector<char> buffer(
            std::max<std::size_t>(static_cast<std::size_t>(d->size), value.size() + 1));
        std::copy(value.begin(), value.end(), buffer.begin());
        control(name, index, buffer.data());
    }

    // Sets a number option (int or fixed, one value) and returns the value it took.
    double setNumber(const std::string& name, double value) {
        SANE_Int index = 0;
        const SANE_Option_Descriptor* d = option(name, &index);
        if (d == nullptr)
            throw Failed{Failure::Unsupported, "the device has no option " + name};
        const bool fixed = d->type == SANE_TYPE_FIXED;
        std::vector<SANE_Word> words(
            std::max<std::size_t>(1, static_cast<std::size_t>(d->size) / sizeof(SANE_Word)));
        std::fill(words.begin(), words.end(),
                  fixed ? SANE_FIX(value) : static_cast<SANE_Word>(std::lround(value)));
        if (d->type == SANE_TYPE_BOOL)
            words[0] = value != 0 ? SANE_TRUE : SANE_FALSE;
        control(name, index, words.data());
        return fixed ? SANE_UNFIX(words[0]) : words[0];
    }

    // Sets an option from text, as the user would write it for scanimage.
    void setText(const std::string& name, const std::string& text) {
        const SANE_Option_Descriptor* d = option(name);
        if (d == nullptr)
            throw Failed{Failure::Unsupported, "the device has no option " + name};
        switch (d->type) {
        case SANE_TYPE_STRING:
            setString(name, text);
            return;
        case SANE_TYPE_BOOL: {
            const std::string t = lower(text);
            setNumber(name, t == "yes" || t == "true" || t == "1" || t == "on" ? 1 : 0);
            return;
        }
        case SANE_TYPE_INT:
        case SANE_TYPE_FIXED: {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            if (end == text.c_str())
                throw Failed{Failure::Unsupported, name + " takes a number, not " + text};
            setNumber(name, value);
            return;
        }
        case SANE_TYPE_BUTTON: {
            SANE_Int index = 0;
            option(name, &index);
            control(name, index, nullptr);
            return;
        }
        default:
            throw Failed{Failure::Unsupported, name + " cannot be set"};
        }
    }

private:
    void readOptions() {
        for (SANE_Int i = 1;; ++i) {
            const SANE_Option_Descriptor* d = sane_get_option_descriptor(handle_, i);
            if (d == nullptr)
                break;
            if (d->name != nullptr && d->name[0] != '\0' && d->type != SANE_TYPE_GROUP)
                indexes_.emplace(d->name, i);
        }
    }

    void control(const std::string& name, SANE_Int index, void* value) {
        SANE_Int info = 0;
        const SANE_Status status =
            sane_control_option(handle_, index, SANE_ACTION_SET_VALUE, value, &info);
        if (status != SANE_STATUS_GOOD)
            throw Failed{failureOf(status), std::string(sane_strstatus(status)) + ": " + name};
        // A driver may round the value: what it took is read back.
        if ((info & SANE_INFO_INEXACT) != 0 && value != nullptr)
            sane_control_option(handle_, index, SANE_ACTION_GET_VALUE, value, nullptr);
        // Other options may have appeared or gone; the names stay, their activity is
        // asked each time.
    }

    SANE_Handle handle_ = nullptr;
    bool scanning_ = false;
    std::map<std::string, SANE_Int> indexes_;
};

// How a colour is asked of a device: its mode name and, where needed, a depth.
struct ModeChoice {
    std::string mode;
    int depth = 0; // 0: leave the device's
};

bool modeFor(const OpenDevice& device, Colour colour, ModeChoice& choice) {
    const std::vector<std::string> modes = device.strings(SANE_NAME_SCAN_MODE);
    std::string grey;
    for (const std::string& mode : modes) {
        Colour c{};
        if (!colourOf(mode, c))
            continue;
        if (c == colour) {
            choice = {mode, colour == Colour::BlackAndWhite ? 0 : 8};
            return true;
        }
        if (c == Colour::Grey && grey.empty())
            grey = mode;
    }
    if (colour == Colour::BlackAndWhite && !grey.empty()) {
        bool range = false;
        const std::vector<double> depths =
            device.numbers(device.option(SANE_NAME_BIT_DEPTH), range);
        if (!range && std::find(depths.begin(), depths.end(), 1.0) != depths.end()) {
            choice = {grey, 1};
            return true;
        }
    }
    return false;
}

Capabilities capabilitiesOf(const OpenDevice& device) {
    Capabilities caps;
    for (const std::string& name : device.strings(SANE_NAME_SCAN_SOURCE)) {
        Source s{};
        if (sourceOf(name, s) &&
            std::find(caps.sources.begin(), caps.sources.end(), s) == caps.sources.end())
            caps.sources.push_back(s);
    }
    if (caps.sources.empty())
        caps.sources.push_back(Source::Flatbed);

    for (Colour c : {Colour::Colour, Colour::Grey, Colour::BlackAndWhite}) {
        ModeChoice choice;
        if (modeFor(device, c, choice))
            caps.colours.push_back(c);
    }
    // A device without a mode option scans the way it scans; colour covers it.
    if (caps.colours.empty())
        caps.colours.push_back(Colour::Colour);

    bool range = false;
    const std::vector<double> dpis =
        device.numbers(device.option(SANE_NAME_SCAN_RESOLUTION), range);
    if (range) {
        for (int r : kCommonResolutions)
            if (r >= dpis[0] && r <= dpis[1])
                caps.resolutions.push_back(r);
    } else {
        for (double r : dpis)
            caps.resolutions.push_back(static_cast<int>(std::lround(r)));
    }
    std::sort(caps.resolutions.begin(), caps.resolutions.end());
    caps.resolutions.erase(std::unique(caps.resolutions.begin(), caps.resolutions.end()),
                           caps.resolutions.end());

    auto extent = [&device](const char* br, const char* tl) {
        const SANE_Option_Descriptor* d = device.option(br);
        if (d == nullptr || d->unit != SANE_UNIT_MM)
            return 0.0;
        bool isRange = false;
        const std::vector<double> ends = device.numbers(d, isRange);
        if (ends.empty())
            return 0.0;
        double start = 0;
        bool tlRange = false;
        const std::vector<double> starts = device.numbers(device.option(tl), tlRange);
        if (!starts.empty())
            start = *std::min_element(starts.begin(), starts.end());
        return *std::max_element(ends.begin(), ends.end()) - start;
    };
    caps.maxWidthMm = extent(SANE_NAME_SCAN_BR_X, SANE_NAME_SCAN_TL_X);
    caps.maxHeightMm = extent(SANE_NAME_SCAN_BR_Y, SANE_NAME_SCAN_TL_Y);
    if (caps.maxWidthMm <= 0 || caps.maxHeightMm <= 0)
        caps.maxWidthMm = caps.maxHeightMm = 0;
    return caps;
}

// The smallest and largest values an option allows, or both 0 when it has no range.
std::pair<double, double> limits(const OpenDevice& device, const char* name) {
    bool range = false;
    const std::vector<double> values = device.numbers(device.option(name), range);
    if (values.empty())
        return {0, 0};
    return {*std::min_element(values.begin(), values.end()),
            *std::max_element(values.begin(), values.end())};
}

void applyChoices(OpenDevice& device, const Choices& choices) {
    const std::vector<std::string> sources = device.strings(SANE_NAME_SCAN_SOURCE);
    if (sources.empty()) {
        if (choices.source != Source::Flatbed)
            throw Failed{Failure::Unsupported, "the device has no document feeder"};
    } else {
        const auto it = std::find_if(sources.begin(), sources.end(), [&](const std::string& n) {
            Source s{};
            return sourceOf(n, s) && s == choices.source;
        });
        if (it == sources.end())
            throw Failed{Failure::Unsupported, "the device has no such source"};
        device.setString(SANE_NAME_SCAN_SOURCE, *it);
    }

    if (device.option(SANE_NAME_SCAN_MODE) != nullptr) {
        ModeChoice mode;
        if (!modeFor(device, choices.colour, mode))
            throw Failed{Failure::Unsupported, "the device has no such colour mode"};
        device.setString(SANE_NAME_SCAN_MODE, mode.mode);
        if (mode.depth != 0 && device.option(SANE_NAME_BIT_DEPTH) != nullptr)
            device.setNumber(SANE_NAME_BIT_DEPTH, mode.depth);
    } else if (choices.colour != Colour::Colour) {
        throw Failed{Failure::Unsupported, "the device has no colour modes"};
    }

    if (device.option(SANE_NAME_SCAN_RESOLUTION) != nullptr)
        device.setNumber(SANE_NAME_SCAN_RESOLUTION, choices.resolution);

    // The area: its corner where the device's area starts, its far edges as chosen.
    const SANE_Option_Descriptor* brx = device.option(SANE_NAME_SCAN_BR_X);
    if (brx != nullptr && brx->unit == SANE_UNIT_MM) {
        const auto [left, rightMost] = limits(device, SANE_NAME_SCAN_TL_X);
        const auto [top, bottomMost] = limits(device, SANE_NAME_SCAN_TL_Y);
        (void)rightMost;
        (void)bottomMost;
        if (device.option(SANE_NAME_SCAN_TL_X) != nullptr)
            device.setNumber(SANE_NAME_SCAN_TL_X, left);
        if (device.option(SANE_NAME_SCAN_TL_Y) != nullptr)
            device.setNumber(SANE_NAME_SCAN_TL_Y, top);
        const auto xs = limits(device, SANE_NAME_SCAN_BR_X);
        const auto ys = limits(device, SANE_NAME_SCAN_BR_Y);
        const double right =
            choices.widthMm > 0 ? std::min(left + choices.widthMm, xs.second) : xs.second;
        device.setNumber(SANE_NAME_SCAN_BR_X, right);
        if (device.option(SANE_NAME_SCAN_BR_Y) != nullptr) {
            const double bottom =
                choices.heightMm > 0 ? std::min(top + choices.heightMm, ys.second) : ys.second;
            device.setNumber(SANE_NAME_SCAN_BR_Y, bottom);
        }
    }

    for (const auto& [name, value] : choices.deviceOptions)
        device.setText(name, value);
}

// Turns the bytes of a frame into the image Folimo saves: 1-bit grey stays packed,
// 16 bits become 8 (the high byte; SANE sends them in the host's order), 1-bit colour
// becomes 8-bit colour.
ScanImage imageOf(const SANE_Parameters& p, int lines, int resolution,
                  const std::vector<std::uint8_t>& bytes) {
    ScanImage image;
    image.width = p.pixels_per_line;
    image.height = lines;
    image.resolution = resolution;
    const bool rgb = p.format == SANE_FRAME_RGB;
    const auto bpl = static_cast<std::size_t>(p.bytes_per_line);
    if (!rgb && p.depth == 1) {
        image.kind = ScanImage::Kind::Bilevel;
        image.stride = (static_cast<std::size_t>(image.width) + 7) / 8;
        image.pixels.resize(image.stride * static_cast<std::size_t>(lines));
        const int tailBits = image.width % 8;
        const std::uint8_t tailMask =
            tailBits == 0 ? 0xff : static_cast<std::uint8_t>(0xff << (8 - tailBits));
        for (int y = 0; y < lines; ++y) {
            std::uint8_t* out = image.pixels.data() + y * image.stride;
            std::copy_n(bytes.data() + y * bpl, image.stride, out);
            out[image.stride - 1] &= tailMask;
        }
        return image;
    }
    const int channels = rgb ? 3 : 1;
    image.kind = rgb ? ScanImage::Kind::Rgb : ScanImage::Kind::Grey;
    image.stride = static_cast<std::size_t>(image.width) * channels;
    image.pixels.resize(image.stride * static_cast<std::size_t>(lines));
    for (int y = 0; y < lines; ++y) {
        const std::uint8_t* in = bytes.data() + y * bpl;
        std::uint8_t* out = image.pixels.data() + y * image.stride;
        for (std::size_t i = 0; i < image.stride; ++i) {
            if (p.depth == 16) {
                std::uint16_t v = 0;
                std::memcpy(&v, in + 2 * i, 2);
                out[i] = static_cast<std::uint8_t>(v >> 8);
            } else if (p.depth == 1) {
                out[i] = (in[i / 8] & (0x80 >> (i % 8))) != 0 ? 255 : 0;
            } else {
                out[i] = in[i];
            }
        }
    }
    return image;
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
            answer({}, failureOf(static_cast<SANE_Status>(initStatus_)));
            return;
        }
        const SANE_Device** list = nullptr;
        const SANE_Status status = sane_get_devices(&list, SANE_FALSE);
        std::vector<Device> devices;
        if (status == SANE_STATUS_GOOD && list != nullptr)
            for (const SANE_Device** d = list; *d != nullptr; ++d)
                devices.push_back({(*d)->name ? (*d)->name : "", (*d)->vendor ? (*d)->vendor : "",
                                   (*d)->model ? (*d)->model : "", (*d)->type ? (*d)->type : ""});
        answer(std::move(devices), failureOf(status));
    });
}

void ScannerService::capabilities(
    const std::string& device,
    std::function<void(Capabilities, Failure, std::string message)> answer) {
    post([device, answer = std::move(answer)] {
        try {
            OpenDevice open(device);
            answer(capabilitiesOf(open), Failure::None, {});
        } catch (const Failed& failed) {
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

void ScannerService::runBatch(unsigned batch, const std::string& deviceName, const Choices& choices,
                              const std::string& folder, const std::string& stem,
                              ScanListener& listener) {
    int number = 0;
    try {
        if (stopped(batch)) {
            listener.batchEnded(Failure::None, true, {});
            return;
        }
        OpenDevice device(deviceName);
        applyChoices(device, choices);
        int resolution = choices.resolution;
        if (const SANE_Option_Descriptor* d = device.option(SANE_NAME_SCAN_RESOLUTION)) {
            SANE_Int index = 0;
            device.option(SANE_NAME_SCAN_RESOLUTION, &index);
            SANE_Word word = 0;
            if (d->size == sizeof(SANE_Word) &&
                sane_control_option(device.handle(), index, SANE_ACTION_GET_VALUE, &word,
                                    nullptr) == SANE_STATUS_GOOD)
                resolution = static_cast<int>(
                    std::lround(d->type == SANE_TYPE_FIXED ? SANE_UNFIX(word) : word));
        }
        const bool onePage = choices.source == Source::Flatbed;
        std::vector<std::uint8_t> bytes;
        for (number = 1;; ++number) {
            if (stopped(batch)) {
                listener.batchEnded(Failure::None, true, {});
                return;
            }
            device.scanning(true);
            SANE_Status status = sane_start(device.handle());
            if (status == SANE_STATUS_NO_DOCS && number > 1) {
                listener.batchEnded(Failure::None, false, {});
                return;
            }
            if (status != SANE_STATUS_GOOD)
                throw Failed{failureOf(status), sane_strstatus(status)};
            listener.pageStarted(number);

            SANE_Parameters params{};
            bytes.clear();
            std::size_t frameStart = 0;
            int lines = 0;
            for (bool lastFrame = false; !lastFrame;) {
                status = sane_get_parameters(device.handle(), &params);
                if (status != SANE_STATUS_GOOD)
                    throw Failed{failureOf(status), sane_strstatus(status)};
                lastFrame = params.last_frame != SANE_FALSE;
                if (params.format != SANE_FRAME_GRAY && params.format != SANE_FRAME_RGB)
                    throw Failed{Failure::Unsupported,
                                 "the device sends colours in separate frames"};
                const auto bpl = static_cast<std::size_t>(params.bytes_per_line);
                const std::size_t expected =
                    params.lines > 0 ? bpl * static_cast<std::size_t>(params.lines) : 0;
                if (bpl == 0)
                    throw Failed{Failure::Other, "the device sends lines of no bytes"};
                // An unknown height (a hand scanner) grows the buffer as lines come.
                bytes.reserve(frameStart + (expected > 0 ? expected : bpl * 1024));
                int reported = -1;
                for (;;) {
                    if (stopped(batch)) {
                        listener.batchEnded(Failure::None, true, {});
                        return;
                    }
                    const std::size_t at = bytes.size();
                    bytes.resize(at + static_cast<std::size_t>(kReadChunk));
                    SANE_Int got = 0;
                    status = sane_read(device.handle(), bytes.data() + at, kReadChunk, &got);
                    bytes.resize(at +
                                 static_cast<std::size_t>(status == SANE_STATUS_GOOD ? got : 0));
                    if (status == SANE_STATUS_EOF)
                        break;
                    if (status == SANE_STATUS_NO_DOCS && bytes.size() == frameStart) {
                        if (number == 1)
                            throw Failed{Failure::FeederEmpty, sane_strstatus(status)};
                        listener.batchEnded(Failure::None, false, {});
                        return;
                    }
                    if (status != SANE_STATUS_GOOD)
                        throw Failed{failureOf(status) == Failure::FeederEmpty ? Failure::Other
                                                                               : failureOf(status),
                                     sane_strstatus(status)};
                    if (expected > 0) {
                        const auto permille = static_cast<int>(std::min<std::size_t>(
                            1000, (bytes.size() - frameStart) * 1000 / expected));
                        if (permille != reported) {
                            reported = permille;
                            listener.pageProgress(number, permille);
                        }
                    }
                }
                lines = static_cast<int>((bytes.size() - frameStart) / bpl);
                if (expected > 0 && bytes.size() - frameStart < expected && lines == 0)
                    throw Failed{Failure::Unplugged, "the device sent no lines"};
                frameStart = bytes.size();
            }
            if (lines == 0)
                throw Failed{Failure::Unplugged, "the device sent no lines"};

            const ScanImage image = imageOf(params, lines, resolution, bytes);
            const int ink = InkPermille(image);
            if (choices.skipBlank && ink <= choices.blankInkPermille) {
                listener.pageSkipped(number, ink);
            } else {
                std::string error;
                const std::string path = SaveScannedPage(image, folder, stem, error);
                if (path.empty())
                    throw Failed{Failure::Other, error};
                listener.pageScanned(
                    {number, path, image.width, image.height, resolution, image.colour()});
            }
            if (onePage)
                break;
        }
        listener.batchEnded(Failure::None, false, {});
    } catch (const Failed& failed) {
        listener.batchEnded(failed.failure, false, failed.message);
    } catch (const std::bad_alloc&) {
        listener.batchEnded(Failure::OutOfMemory, false, "out of memory");
    }
}

std::string ScannedPageFormat(Colour colour, int width, int height) {
    if (colour == Colour::BlackAndWhite)
        return "tiff";
    // Up to 2 megapixels a page stays lossless: small scans (receipts, cards, photos at
    // low resolution) cost a few hundred kilobytes to a few megabytes as PNG, and JPEG's
    // ringing shows most on text scanned at few pixels per letter. Above it, a full page
    // grows fast: A4 in colour at 300 dpi (8.7 megapixels) is about 25 MB as PNG
    // against about 1.5 MB as JPEG at quality 92, with no loss one sees in print.
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
