// Errors of the PDF library, and of the input files read for it and for the engine
// (MappedFile). A PdfError is the library's exception: an error number, the name of
// the failing operation and a message. Operations that may fail under
// "errorpolicy=return" catch it themselves and return -1 instead.
#pragma once

#include <stdexcept>
#include <string>

namespace folimo::pdf {

enum PdfErrorNumber {
    kErrInternal = 1000,
    kErrIo = 1001,       // the output could not be written
    kErrScope = 1002,    // an operation called at the wrong time
    kErrHandle = 1003,   // an unknown or closed handle
    kErrOption = 1004,   // an option list or parameter that cannot be understood
    kErrOpenFile = 1010, // an input or output file could not be opened
    kErrImage = 1020,    // an image that is damaged or not supported
    kErrPdi = 1030,      // an input PDF that is damaged or not supported
    kErrFont = 1040,     // a font that cannot be found or used
};

class PdfError : public std::runtime_error {
public:
    PdfError(int number, std::string apiName, const std::string& message)
        : std::runtime_error(message), number_(number), apiName_(std::move(apiName)) {}

    int number() const noexcept { return number_; }
    const std::string& apiName() const noexcept { return apiName_; }
    void setApiName(std::string name) { apiName_ = std::move(name); }

private:
    int number_;
    std::string apiName_;
};

} // namespace folimo::pdf
