// One input PDF document read with libqpdf, whose pages are written into the output
// as form XObjects. Objects a page needs (fonts, images, shared resources) are
// copied into the output once per input document however many of its pages use them.
// Not thread-safe.
#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace folimo::pdf {

class PdfWriter;

// An input PDF that cannot be opened or read; what() says why.
class ImportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class PdfImport {
public:
    // Opens and parses the file (an encrypted file only when its user password is
    // empty). Throws ImportError.
    explicit PdfImport(const std::string& utf8Path);
    ~PdfImport();
    PdfImport(const PdfImport&) = delete;
    PdfImport& operator=(const PdfImport&) = delete;

    int pageCount() const;

    // Turns every page by `quarterTurns` clockwise (any number, taken mod 4) on top of
    // its own /Rotate, for the sizes below and the pages written after.
    void turnPages(int quarterTurns);

    // The size of page `index` (from 0) as a viewer shows it: its crop box, with width
    // and height exchanged for a /Rotate of 90 or 270. Throws ImportError.
    double pageWidth(int index) const;
    double pageHeight(int index) const;

    struct Form {
        int objectNumber; // a form XObject in the output
        double width;     // its visible area is (0, 0) to (width, height)
        double height;
    };

    // Writes page `index` as a form XObject through `writer`, which must be the same for
    // every call on this object. Annotation appearances are drawn into the form, the
    // page's rotation is kept. Throws ImportError for a page that cannot be read.
    Form writePage(PdfWriter& writer, int index);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace folimo::pdf
