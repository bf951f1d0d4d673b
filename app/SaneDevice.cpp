#include "SaneDevice.h"

#include <sane/saneopts.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace folimo::scan {

namespace {

// The resolutions a device offering a range is offered at: the steps scanning programs
// and drivers share, so that a choice carries over between devices.
constexpr int kCommonResolutions[] = {75, 100, 150, 200, 300, 400, 600, 1200};

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}
bool has(const std::string& text, const char* piece) {
    return text.find(piece) != std::string::npos;
}

// Drivers name their sources freely ("ADF Duplex", "Automatic Document Feeder(left
// aligned)", "FlatBed"); what the names share decides.
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
    if (has(n, "lineart") || has(n, "binary") || has(n, "halftone")) {
        colour = Colour::BlackAndWhite;
        return true;
    }
    return false;
}

} // namespace

Failure FailureOf(SANE_Status status) {
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

SaneDevice::SaneDevice(const std::string& name) {
    const SANE_Status status = sane_open(name.c_str(), &handle_);
    if (status != SANE_STATUS_GOOD) {
        handle_ = nullptr;
        // The dll backend answers a name no driver knows with INVAL.
        const Failure failure = status == SANE_STATUS_INVAL || status == SANE_STATUS_UNSUPPORTED
                                    ? Failure::NoDevice
                                    : FailureOf(status);
        throw ScanError{failure, std::string(sane_strstatus(status)) + ": " + name};
    }
    for (SANE_Int i = 1;; ++i) {
        const SANE_Option_Descriptor* d = sane_get_option_descriptor(handle_, i);
        if (d == nullptr)
            break;
        if (d->name != nullptr && d->name[0] != '\0' && d->type != SANE_TYPE_GROUP)
            indexes_.emplace(d->name, i);
    }
}

SaneDevice::~SaneDevice() {
    if (handle_ == nullptr)
        return;
    if (scanning_)
        sane_cancel(handle_);
    sane_close(handle_);
}

const SANE_Option_Descriptor* SaneDevice::option(const std::string& name, SANE_Int* index) const {
    const auto it = indexes_.find(name);
    if (it == indexes_.end())
        return nullptr;
    // Asked each time: setting one option may switch others on or off.
    const SANE_Option_Descriptor* d = sane_get_option_descriptor(handle_, it->second);
    if (d == nullptr || !SANE_OPTION_IS_ACTIVE(d->cap))
        return nullptr;
    if (index != nullptr)
        *index = it->second;
    return d;
}

std::vector<std::string> SaneDevice::strings(const std::string& name) const {
    std::vector<std::string> list;
    const SANE_Option_Descriptor* d = option(name);
    if (d != nullptr && d->constraint_type == SANE_CONSTRAINT_STRING_LIST)
        for (const SANE_String_Const* s = d->constraint.string_list; *s != nullptr; ++s)
            list.emplace_back(*s);
    return list;
}

std::vector<double> SaneDevice::numbers(const std::string& name, bool& range) const {
    std::vector<double> list;
    range = false;
    const SANE_Option_Descriptor* d = option(name);
    if (d == nullptr)
        return list;
    const bool fixed = d->type == SANE_TYPE_FIXED;
    auto value = [fixed](SANE_Word w) { return fixed ? SANE_UNFIX(w) : static_cast<double>(w); };
    if (d->constraint_type == SANE_CONSTRAINT_WORD_LIST) {
        for (SANE_Int i = 1; i <= d->constraint.word_list[0]; ++i)
            list.push_back(value(d->constraint.word_list[i]));
    } else if (d->constraint_type == SANE_CONSTRAINT_RANGE) {
        range = true;
        list = {value(d->constraint.range->min), value(d->constraint.range->max)};
    }
    return list;
}

std::pair<double, double> SaneDevice::limits(const std::string& name) const {
    bool range = false;
    const std::vector<double> values = numbers(name, range);
    if (values.empty())
        return {0, 0};
    return {*std::min_element(values.begin(), values.end()),
            *std::max_element(values.begin(), values.end())};
}

bool SaneDevice::modeFor(Colour colour, std::string& mode, int& depth) const {
    bool range = false;
    const std::vector<double> depths = numbers(SANE_NAME_BIT_DEPTH, range);
    auto offers = [&](double d) {
        return range ? d >= depths[0] && d <= depths[1]
                     : std::find(depths.begin(), depths.end(), d) != depths.end();
    };
    std::string grey;
    for (const std::string& name : strings(SANE_NAME_SCAN_MODE)) {
        Colour c{};
        if (!colourOf(name, c))
            continue;
        if (c == colour) {
            mode = name;
            // 8 bits a sample where the device offers more (or less) too: a saved page
            // holds 8.
            depth = colour != Colour::BlackAndWhite && offers(8) ? 8 : 0;
            return true;
        }
        if (c == Colour::Grey && grey.empty())
            grey = name;
    }
    // Without a lineart mode, black and white is grey at one bit a sample.
    if (colour == Colour::BlackAndWhite && !grey.empty() && offers(1)) {
        mode = grey;
        depth = 1;
        return true;
    }
    return false;
}

double SaneDevice::extentMm(const char* farEdge, const char* nearEdge) const {
    const SANE_Option_Descriptor* d = option(farEdge);
    if (d == nullptr || d->unit != SANE_UNIT_MM)
        return 0;
    return limits(farEdge).second - limits(nearEdge).first;
}

Capabilities SaneDevice::capabilities() const {
    Capabilities caps;
    for (const std::string& name : strings(SANE_NAME_SCAN_SOURCE)) {
        Source s{};
        if (sourceOf(name, s) &&
            std::find(caps.sources.begin(), caps.sources.end(), s) == caps.sources.end())
            caps.sources.push_back(s);
    }
    if (caps.sources.empty())
        caps.sources.push_back(Source::Flatbed);

    for (Colour c : {Colour::Colour, Colour::Grey, Colour::BlackAndWhite}) {
        std::string mode;
        int depth = 0;
        if (modeFor(c, mode, depth))
            caps.colours.push_back(c);
    }
    // A device without a mode option scans the way it scans; colour covers it.
    if (caps.colours.empty())
        caps.colours.push_back(Colour::Colour);

    bool range = false;
    const std::vector<double> dpis = numbers(SANE_NAME_SCAN_RESOLUTION, range);
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

    caps.maxWidthMm = extentMm(SANE_NAME_SCAN_BR_X, SANE_NAME_SCAN_TL_X);
    caps.maxHeightMm = extentMm(SANE_NAME_SCAN_BR_Y, SANE_NAME_SCAN_TL_Y);
    if (caps.maxWidthMm <= 0 || caps.maxHeightMm <= 0)
        caps.maxWidthMm = caps.maxHeightMm = 0;
    return caps;
}

void SaneDevice::apply(const Choices& choices) {
    const std::vector<std::string> sources = strings(SANE_NAME_SCAN_SOURCE);
    if (sources.empty()) {
        if (choices.source != Source::Flatbed)
            throw ScanError{Failure::Unsupported, "the device has no document feeder"};
    } else {
        const auto it = std::find_if(sources.begin(), sources.end(), [&](const std::string& n) {
            Source s{};
            return sourceOf(n, s) && s == choices.source;
        });
        if (it == sources.end())
            throw ScanError{Failure::Unsupported, "the device has no such source"};
        setString(SANE_NAME_SCAN_SOURCE, *it);
    }

    if (option(SANE_NAME_SCAN_MODE) != nullptr) {
        std::string mode;
        int depth = 0;
        if (!modeFor(choices.colour, mode, depth))
            throw ScanError{Failure::Unsupported, "the device has no such colour mode"};
        setString(SANE_NAME_SCAN_MODE, mode);
        if (depth != 0 && option(SANE_NAME_BIT_DEPTH) != nullptr)
            setNumber(SANE_NAME_BIT_DEPTH, depth);
    } else if (choices.colour != Colour::Colour) {
        throw ScanError{Failure::Unsupported, "the device has no colour modes"};
    }

    if (option(SANE_NAME_SCAN_RESOLUTION) != nullptr)
        setNumber(SANE_NAME_SCAN_RESOLUTION, choices.resolution);

    // The area: its corner where the device's area starts, its far edges as chosen
    // (the whole extent for 0). Devices that count the area in pixels keep theirs.
    const SANE_Option_Descriptor* brx = option(SANE_NAME_SCAN_BR_X);
    if (brx != nullptr && brx->unit == SANE_UNIT_MM) {
        const double left = limits(SANE_NAME_SCAN_TL_X).first;
        const double top = limits(SANE_NAME_SCAN_TL_Y).first;
        if (option(SANE_NAME_SCAN_TL_X) != nullptr)
            setNumber(SANE_NAME_SCAN_TL_X, left);
        if (option(SANE_NAME_SCAN_TL_Y) != nullptr)
            setNumber(SANE_NAME_SCAN_TL_Y, top);
        const double right = limits(SANE_NAME_SCAN_BR_X).second;
        setNumber(SANE_NAME_SCAN_BR_X,
                  choices.widthMm > 0 ? std::min(left + choices.widthMm, right) : right);
        if (option(SANE_NAME_SCAN_BR_Y) != nullptr) {
            const double bottom = limits(SANE_NAME_SCAN_BR_Y).second;
            setNumber(SANE_NAME_SCAN_BR_Y,
                      choices.heightMm > 0 ? std::min(top + choices.heightMm, bottom) : bottom);
        }
    }

    for (const auto& [name, value] : choices.deviceOptions)
        setText(name, value);
}

int SaneDevice::resolution(int fallback) const {
    SANE_Int index = 0;
    const SANE_Option_Descriptor* d = option(SANE_NAME_SCAN_RESOLUTION, &index);
    SANE_Word word = 0;
    if (d == nullptr || d->size != sizeof(SANE_Word) ||
        sane_control_option(handle_, index, SANE_ACTION_GET_VALUE, &word, nullptr) !=
            SANE_STATUS_GOOD)
        return fallback;
    return static_cast<int>(std::lround(d->type == SANE_TYPE_FIXED ? SANE_UNFIX(word) : word));
}

void SaneDevice::setString(const std::string& name, const std::string& value) {
    SANE_Int index = 0;
    const SANE_Option_Descriptor* d = option(name, &index);
    if (d == nullptr)
        throw ScanError{Failure::Unsupported, "the device has no option " + name};
    std::vector<char> buffer(
        std::max<std::size_t>(static_cast<std::size_t>(d->size), value.size() + 1));
    std::copy(value.begin(), value.end(), buffer.begin());
    control(name, index, buffer.data());
}

void SaneDevice::setNumber(const std::string& name, double value) {
    SANE_Int index = 0;
    const SANE_Option_Descriptor* d = option(name, &index);
    if (d == nullptr)
        throw ScanError{Failure::Unsupported, "the device has no option " + name};
    // An option of several values (a gamma table) takes the one value in each.
    std::vector<SANE_Word> words(
        std::max<std::size_t>(1, static_cast<std::size_t>(d->size) / sizeof(SANE_Word)));
    const SANE_Word word = d->type == SANE_TYPE_FIXED  ? SANE_FIX(value)
                           : d->type == SANE_TYPE_BOOL ? (value != 0 ? SANE_TRUE : SANE_FALSE)
                                                       : static_cast<SANE_Word>(std::lround(value));
    std::fill(words.begin(), words.end(), word);
    control(name, index, words.data());
}

void SaneDevice::setText(const std::string& name, const std::string& text) {
    SANE_Int index = 0;
    const SANE_Option_Descriptor* d = option(name, &index);
    if (d == nullptr)
        throw ScanError{Failure::Unsupported, "the device has no option " + name};
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
        if (end == text.c_str() || *end != '\0')
            throw ScanError{Failure::Unsupported, name + " takes a number, not " + text};
        setNumber(name, value);
        return;
    }
    case SANE_TYPE_BUTTON:
        control(name, index, nullptr);
        return;
    default:
        throw ScanError{Failure::Unsupported, name + " cannot be set"};
    }
}

void SaneDevice::control(const std::string& name, SANE_Int index, void* value) {
    SANE_Int info = 0;
    const SANE_Status status =
        sane_control_option(handle_, index, SANE_ACTION_SET_VALUE, value, &info);
    if (status != SANE_STATUS_GOOD)
        throw ScanError{FailureOf(status), std::string(sane_strstatus(status)) + ": " + name};
}

} // namespace folimo::scan
