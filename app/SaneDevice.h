// One SANE device opened for a task of the scanner service: its options by name, what
// they offer as Capabilities, and Choices set on them. Lives on the service's thread
// within one task; SANE's handles are not shared between threads.
#pragma once

#include "Scanner.h"

#include <sane/sane.h>

#include <map>
#include <string>
#include <vector>

namespace folimo::scan {

// Thrown inside the service's thread and turned into the answer of the task.
struct ScanError {
    Failure failure;
    std::string message;
};

Failure FailureOf(SANE_Status status);

class SaneDevice {
public:
    // Throws ScanError (NoDevice for a name no driver knows).
    explicit SaneDevice(const std::string& name);
    ~SaneDevice(); // cancels a scan begun, then closes
    SaneDevice(const SaneDevice&) = delete;
    SaneDevice& operator=(const SaneDevice&) = delete;

    SANE_Handle handle() const { return handle_; }
    // Marks that sane_start was called, so that closing cancels first.
    void scanning() { scanning_ = true; }

    Capabilities capabilities() const;
    // Sets source, colour (mode and depth), resolution, area and the device's own
    // options, in this order; throws ScanError (Unsupported for a choice it lacks).
    void apply(const Choices& choices);
    // The resolution the device took, which a driver may have rounded.
    int resolution(int fallback) const;

private:
    // An option that is there and active, or null.
    const SANE_Option_Descriptor* option(const std::string& name, SANE_Int* index = nullptr) const;
    std::vector<std::string> strings(const std::string& name) const;
    // The numbers of a word list, or a range's min and max; fixed point as double.
    std::vector<double> numbers(const std::string& name, bool& range) const;
    std::pair<double, double> limits(const std::string& name) const;
    bool modeFor(Colour colour, std::string& mode, int& depth) const;
    double extentMm(const char* farEdge, const char* nearEdge) const;

    void setString(const std::string& name, const std::string& value);
    void setNumber(const std::string& name, double value);
    // As the user would write it for scanimage: text, a number, yes or no.
    void setText(const std::string& name, const std::string& text);
    void control(const std::string& name, SANE_Int index, void* value);

    SANE_Handle handle_ = nullptr;
    bool scanning_ = false;
    std::map<std::string, SANE_Int> indexes_;
};

} // namespace folimo::scan
