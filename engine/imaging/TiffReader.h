// Private to the TIFF reader: one directory (page) of a file read through libtiff over
// memory. What a page is (its fields, its resolution, its fax data, how it can be
// read) is worked out in TiffReader.cpp; its pixels are decoded in DecodeTiff.cpp.
#pragma once

#include "DecodeSupport.h"
#include "imaging/Bitmap.h"
#include "imaging/Codecs.h"

#include <tiffio.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace folimo::imaging::tiff {

// The file libtiff reads, and the first error it reported.
struct MemoryFile {
    std::span<const std::uint8_t> bytes;
    std::uint64_t position = 0;
    char error[512] = {};
};

enum class Model { Grey, Palette, Rgb, Cmyk };

struct Layout {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int bits = 1;
    int samples = 1; // per pixel, extra samples included
    int colours = 1; // samples before the extra ones
    Model model = Model::Grey;
    bool minIsWhite = false;
    bool separate = false;
    bool alpha = false; // the first extra sample is alpha
    bool associated = false;
    PixelFormat format = PixelFormat::Gray8;
};

class TiffReader {
public:
    // At directory `page`, from 0.
    TiffReader(std::span<const std::uint8_t> bytes, const Limits& limits, int page = 0);

    std::optional<TiffFax> fax();

    Bitmap decode();

    // What decode() gives as size and resolution, refusing what it would refuse before
    // it reads a strip.
    PictureInfo probe();

    // The page in bands of its strips or rows of tiles, where the sample reader takes
    // it and no turn needs the whole picture; false otherwise, with nothing read.
    bool decodeInBands(const TiffBands& onBand);

    PictureSize size();

private:
    struct Page {
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        std::uint16_t orientation = ORIENTATION_TOPLEFT;
        bool direct = false; // read by the sample reader, else by TIFFRGBAImage
        Layout layout;
    };

    // The page's directory, checked as far as the decoder checks it before any strip.
    Page page();

    [[noreturn]] void damaged(const char* fallback) const;

    // Whether the sample reader handles this layout, and how.
    bool directLayout(std::uint32_t width, std::uint32_t height, std::uint16_t compression,
                      Layout& l);

    void readPalette(const Layout& l, Bitmap& b);

    // The whole page, or with onBand a bitmap of one band at a time, handed over as
    // each is read.
    Bitmap readDirect(const Layout& l, const TiffBands* onBand = nullptr);

    // Anything else, through TIFFRGBAImage, which gives 8-bit RGBA with colour
    // premultiplied by alpha. Asked for the file's own orientation, it flips nothing,
    // so reorient() can treat both paths alike.
    Bitmap readRgba(std::uint32_t width, std::uint32_t height, std::uint16_t orientation);

    // What the page says of the picture beside its pixels.
    void describe(Bitmap& b);

    void readResolution(Bitmap& b);

    const Limits& limits_;
    MemoryFile file_;
    std::unique_ptr<TIFF, support::Release<TIFFClose>> tif_;
};

} // namespace folimo::imaging::tiff
