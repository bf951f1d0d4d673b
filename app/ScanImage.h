// A scanned page as the device delivered it, reduced to what Folimo saves (1-bit, 8-bit
// grey, 8-bit RGB), and its way into a file. Used by the scanner service's thread only;
// nothing here is shared between threads.
#pragma once

#include "Scanner.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace folimo::scan {

struct ScanImage {
    enum class Kind { Bilevel, Grey, Rgb };
    Kind kind = Kind::Grey;
    int width = 0, height = 0;
    int resolution = 0;
    // Rows of `stride` bytes. Bilevel rows are packed most significant bit first with
    // 1 for black, as SANE sends them; the bits past the width are white (0).
    std::size_t stride = 0;
    std::vector<std::uint8_t> pixels;

    Colour colour() const;
};

// Dark pixels (grey below 128, or black) per mille of the page without a margin of 5 %
// at each edge, where a scanner's lid, shadows and punched holes show.
int InkPermille(const ScanImage& image);

// Writes the page as ScannedPageFormat chooses into `folder` as `stem`-NNN with the
// first number above every number the folder's `stem`-NNN files hold, so that a batch
// sorts after the ones before it and no file is replaced. The bytes go to a hidden
// temporary name first, which becomes the page only when complete. Returns the path,
// or empty with `error` set.
std::string SaveScannedPage(const ScanImage& image, const std::string& folder,
                            const std::string& stem, std::string& error);

} // namespace folimo::scan
