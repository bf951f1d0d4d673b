// TIFF through libtiff, one directory (page) at a time.
//
// The common layouts (bilevel, grey, palette, RGB and CMYK at their usual depths,
// contiguous or planar, strips or tiles) are read sample by sample, so that 16-bit
// samples, palettes and bilevel scans keep what they are. Everything else (YCbCr
// outside JPEG, old-style JPEG, LogLuv, Lab, odd depths) goes through libtiff's
// TIFFRGBAImage, which knows them all but gives 8-bit RGBA. The Orientation tag is
// applied on both paths.
//
// libtiff's messages are collected per handle (TIFFOpenOptions), never printed, and
// the first error becomes the ImagingError's text.
//
// Bilevel fax pages can also be handed out as the CCITT data they hold (tiffFaxPage),
// on the terms tiff2pdf passes Group 4 through: one strip, so that the data is one
// coded image whose first line refers to a white line, as PDF's decoder expects.
#include "Codecs.h"
#include "DecodeSupport.h"
#include "Transform.h"

#include <tiffio.h>

#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace folimo::imaging {

namespace {

using support::Release;

// ---------------------------------------------------------------------------------------
// libtiff over memory

struct MemoryFile {
    std::span<const std::uint8_t> bytes;
    std::uint64_t position = 0;
    char error[512] = {};
};

tmsize_t readProc(thandle_t handle, void* out, tmsize_t count) {
    auto* f = static_cast<MemoryFile*>(handle);
    if (count <= 0 || f->position >= f->bytes.size())
        return 0;
    std::uint64_t n = std::min<std::uint64_t>(std::uint64_t(count), f->bytes.size() - f->position);
    std::memcpy(out, f->bytes.data() + f->position, std::size_t(n));
    f->position += n;
    return tmsize_t(n);
}

tmsize_t writeProc(thandle_t, void*, tmsize_t) {
    return -1;
}

toff_t seekProc(thandle_t handle, toff_t offset, int whence) {
    auto* f = static_cast<MemoryFile*>(handle);
    std::uint64_t base = whence == SEEK_CUR   ? f->position
                         : whence == SEEK_END ? f->bytes.size()
                                              : 0;
    // libtiff passes negative offsets as their two's complement.
    std::uint64_t target = base + offset;
    if (target > (std::uint64_t(1) << 62))
        return toff_t(-1);
    f->position = target;
    return target;
}

int closeProc(thandle_t) {
    return 0;
}
toff_t sizeProc(thandle_t handle) {
    return static_cast<MemoryFile*>(handle)->bytes.size();
}
int mapProc(thandle_t, void**, toff_t*) {
    return 0;
}
void unmapProc(thandle_t, void*, toff_t) {}

int onError(TIFF*, void* user, const char*, const char* format, va_list args) {
    auto* f = static_cast<MemoryFile*>(user);
    if (f->error[0] == 0)
        std::vsnprintf(f->error, sizeof f->error, format, args);
    return 1;
}

int onWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

// ---------------------------------------------------------------------------------------
// Samples

using detail::load16;
using detail::store16;

// Sample `index` of a row of samples of `bits` each (1, 2, 4, 8 or 16).
inline unsigned sampleAt(const std::uint8_t* row, std::size_t index, int bits) {
    if (bits == 8)
        return row[index];
    if (bits == 16)
        return load16(row + 2 * index);
    std::size_t bit = index * std::size_t(bits);
    return (row[bit / 8] >> (8 - bits - int(bit % 8))) & ((1u << bits) - 1);
}

inline unsigned unpremultiply(unsigned c, unsigned a, unsigned max) {
    if (a == 0)
        return 0;
    return std::min(max, (c * max + a / 2) / a);
}

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

// One output row from a row of interleaved samples as the file stores them.
void convertRow(const Layout& l, const std::uint8_t* src, std::uint8_t* dst) {
    const std::size_t w = l.width, n = std::size_t(l.samples);
    const int bits = l.bits;
    switch (l.format) {
    case PixelFormat::Indexed1:
    case PixelFormat::Indexed4:
        std::memcpy(dst, src, (w * std::size_t(bits) + 7) / 8);
        break;
    case PixelFormat::Indexed8:
        for (std::size_t x = 0; x < w; ++x)
            dst[x] = std::uint8_t(sampleAt(src, x * n, bits));
        break;
    case PixelFormat::Gray8: {
        const unsigned max = (1u << bits) - 1;
        for (std::size_t x = 0; x < w; ++x) {
            unsigned v = sampleAt(src, x * n, bits) * 255 / max;
            dst[x] = std::uint8_t(l.minIsWhite ? 255 - v : v);
        }
        break;
    }
    case PixelFormat::Gray16:
        for (std::size_t x = 0; x < w; ++x) {
            unsigned v = sampleAt(src, x * n, 16);
            store16(dst + 2 * x, std::uint16_t(l.minIsWhite ? 65535 - v : v));
        }
        break;
    case PixelFormat::Rgb24:
    case PixelFormat::Rgba32:
    case PixelFormat::Rgb48:
    case PixelFormat::Rgba64: {
        const bool wide = bits == 16;
        const unsigned max = wide ? 65535 : 255;
        const int outChannels = hasAlpha(l.format) ? 4 : 3;
        for (std::size_t x = 0; x < w; ++x) {
            const std::size_t s = x * n;
            unsigned c[4];
            if (l.model == Model::Grey) {
                unsigned v = sampleAt(src, s, bits);
                c[0] = c[1] = c[2] = l.minIsWhite ? max - v : v;
            } else if (l.model == Model::Cmyk) {
                unsigned k = max - sampleAt(src, s + 3, bits);
                for (int i = 0; i < 3; ++i)
                    c[i] = ((max - sampleAt(src, s + std::size_t(i), bits)) * k + max / 2) / max;
            } else {
                for (int i = 0; i < 3; ++i)
                    c[i] = sampleAt(src, s + std::size_t(i), bits);
            }
            if (outChannels == 4) {
                c[3] = sampleAt(src, s + std::size_t(l.colours), bits);
                if (l.associated)
                    for (int i = 0; i < 3; ++i)
                        c[i] = unpremultiply(c[i], c[3], max);
            }
            for (int i = 0; i < outChannels; ++i) {
                if (wide)
                    store16(dst + (x * std::size_t(outChannels) + std::size_t(i)) * 2,
                            std::uint16_t(c[i]));
                else
                    dst[x * std::size_t(outChannels) + std::size_t(i)] = std::uint8_t(c[i]);
            }
        }
        break;
    }
    }
}

// ---------------------------------------------------------------------------------------
// The chain of directories

struct Chain {
    int count = 0;       // directories reached cleanly
    std::string problem; // what ended the chain otherwise
};

// Follows the directories' next pointers, at most `limit` of them, without libtiff:
// its own walk takes some loops for a warning and goes round them again.
Chain walkChain(std::span<const std::uint8_t> bytes, int limit) {
    Chain chain;
    if (bytes.size() < 8 || !(bytes[0] == bytes[1] && (bytes[0] == 'I' || bytes[0] == 'M')))
        return chain;
    const bool little = bytes[0] == 'I';
    auto load = [&](std::uint64_t at, int size) {
        std::uint64_t v = 0;
        for (int i = 0; i < size; ++i)
            v |= std::uint64_t(bytes[std::size_t(at) + std::size_t(i)])
                 << (8 * (little ? i : size - 1 - i));
        return v;
    };
    const bool big = load(2, 2) == 43;
    const int offsetSize = big ? 8 : 4, countSize = big ? 8 : 2, entrySize = big ? 20 : 12;
    if (big && bytes.size() < 16)
        return chain;
    std::uint64_t offset = load(big ? 8 : 4, offsetSize);
    std::set<std::uint64_t> seen;
    while (offset != 0 && chain.count < limit) {
        const std::string page = "page " + std::to_string(chain.count + 1);
        if (!seen.insert(offset).second) {
            chain.problem = "its pages loop back after page " + std::to_string(chain.count);
            break;
        }
        if (offset > bytes.size() || bytes.size() - offset < std::uint64_t(countSize)) {
            chain.problem = page + " lies beyond the end of the file";
            break;
        }
        const std::uint64_t entries = load(offset, countSize);
        const std::uint64_t room =
            (bytes.size() - offset - std::uint64_t(countSize)) / std::uint64_t(entrySize);
        if (entries > room || (bytes.size() - offset - std::uint64_t(countSize) -
                               entries * std::uint64_t(entrySize)) < std::uint64_t(offsetSize)) {
            chain.problem = page + " is cut short";
            break;
        }
        ++chain.count;
        offset = load(offset + std::uint64_t(countSize) + entries * std::uint64_t(entrySize),
                      offsetSize);
    }
    return chain;
}

// ---------------------------------------------------------------------------------------
// The reader

class TiffReader {
public:
    // At directory `page`, from 0.
    TiffReader(std::span<const std::uint8_t> bytes, const Limits& limits, int page = 0)
        : limits_(limits) {
        file_.bytes = bytes;
        std::unique_ptr<TIFFOpenOptions, Release<TIFFOpenOptionsFree>> options(
            TIFFOpenOptionsAlloc());
        if (!options)
            throw std::bad_alloc();
        TIFFOpenOptionsSetErrorHandlerExtR(options.get(), onError, &file_);
        TIFFOpenOptionsSetWarningHandlerExtR(options.get(), onWarning, &file_);
        // A hostile directory cannot make libtiff allocate more than one bitmap may take.
        auto cap = std::max<std::uint64_t>(limits.maxBytes, 64u << 20);
        TIFFOpenOptionsSetMaxSingleMemAlloc(
            options.get(), tmsize_t(std::min<std::uint64_t>(cap, std::uint64_t(1) << 62)));
        // "m": no memory mapping, so libtiff reads through readProc like any file.
        tif_.reset(TIFFClientOpenExt("TIFF", "rm", &file_, readProc, writeProc, seekProc, closeProc,
                                     sizeProc, mapProc, unmapProc, options.get()));
        if (!tif_)
            damaged("the file could not be opened");
        if (page < 0 || page >= kMaxTiffPages)
            throw ImagingError(ImagingError::Unsupported,
                               "the TIFF file has no page " + std::to_string(page + 1));
        if (page == 0)
            return;
        // libtiff is sent only down a chain known to reach the page.
        Chain chain = walkChain(bytes, page + 1);
        if (chain.count <= page && !chain.problem.empty())
            throw ImagingError(ImagingError::Damaged, "the TIFF file is damaged: " + chain.problem);
        if (chain.count <= page)
            throw ImagingError(ImagingError::Unsupported,
                               "the TIFF file has no page " + std::to_string(page + 1));
        if (!TIFFSetDirectory(tif_.get(), tdir_t(page)))
            damaged("the page could not be read");
    }

    std::optional<TiffFax> fax() {
        TIFF* tif = tif_.get();
        std::uint16_t compression = COMPRESSION_NONE, bits = 1, samples = 1,
                      photometric = PHOTOMETRIC_MINISWHITE, fillOrder = FILLORDER_MSB2LSB,
                      orientation = ORIENTATION_TOPLEFT;
        TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
        TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &fillOrder);
        TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
        if (compression != COMPRESSION_CCITTFAX3 && compression != COMPRESSION_CCITTFAX4)
            return std::nullopt;
        if (bits != 1 || samples != 1 || orientation != ORIENTATION_TOPLEFT ||
            (photometric != PHOTOMETRIC_MINISWHITE && photometric != PHOTOMETRIC_MINISBLACK))
            return std::nullopt;
        // Strips are coded apart, each starting from a white reference line: joined,
        // they would not be one coded image.
        if (TIFFIsTiled(tif) || TIFFNumberOfStrips(tif) != 1)
            return std::nullopt;
        TiffFax fax;
        std::uint32_t options = 0;
        bool twoDimensional = false;
        if (compression == COMPRESSION_CCITTFAX3) {
            TIFFGetFieldDefaulted(tif, TIFFTAG_GROUP3OPTIONS, &options);
            if (options & GROUP3OPT_UNCOMPRESSED)
                return std::nullopt;
            twoDimensional = (options & GROUP3OPT_2DENCODING) != 0;
        } else {
            TIFFGetFieldDefaulted(tif, TIFFTAG_GROUP4OPTIONS, &options);
            if (options & GROUP4OPT_UNCOMPRESSED)
                return std::nullopt;
        }
        std::uint32_t width = 0, height = 0;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
        support::checkDimensions(width, height, limits_);
        // Decoders read each line's one- or two-dimensional tag bit, so K only has to
        // be positive; as large as the image, it bounds nothing.
        if (compression == COMPRESSION_CCITTFAX3)
            fax.k = twoDimensional ? int(std::min<std::uint32_t>(height, 0x7fffffff)) : 0;
        fax.width = int(width);
        fax.height = int(height);
        fax.blackIs1 = photometric == PHOTOMETRIC_MINISBLACK;

        // The coded data cannot be longer than the file that holds it.
        std::uint64_t* counts = nullptr;
        if (!TIFFGetField(tif, TIFFTAG_STRIPBYTECOUNTS, &counts) || !counts || counts[0] == 0 ||
            counts[0] > file_.bytes.size())
            return std::nullopt;
        fax.data.resize(std::size_t(counts[0]));
        if (TIFFReadRawStrip(tif, 0, fax.data.data(), tmsize_t(fax.data.size())) !=
            tmsize_t(fax.data.size()))
            return std::nullopt;
        if (fillOrder == FILLORDER_LSB2MSB)
            TIFFReverseBits(reinterpret_cast<std::uint8_t*>(fax.data.data()),
                            tmsize_t(fax.data.size()));

        // Damaged data would pass unnoticed: only what libtiff decodes cleanly goes
        // through, anything else takes the decoder's way, which says what is wrong.
        const std::uint64_t rowBytes = (std::uint64_t(width) + 7) / 8;
        if (rowBytes * height > limits_.maxBytes)
            return std::nullopt;
        std::vector<std::uint8_t> rows(std::size_t(rowBytes * height));
        if (TIFFReadEncodedStrip(tif, 0, rows.data(), tmsize_t(rows.size())) !=
                tmsize_t(rows.size()) ||
            file_.error[0] != 0)
            return std::nullopt;
        Bitmap resolution;
        readResolution(resolution);
        fax.dpiX = resolution.dpiX;
        fax.dpiY = resolution.dpiY;
        return fax;
    }

    Bitmap decode() {
        const Page p = page();
        Bitmap b = p.direct ? readDirect(p.layout) : readRgba(p.width, p.height, p.orientation);
        describe(b);
        return reorient(std::move(b), p.orientation, limits_);
    }

    // What decode() gives as size and resolution, refusing what it would refuse before
    // it reads a strip.
    PictureInfo probe() {
        const Page p = page();
        if (!p.direct) {
            char message[1024] = {};
            if (!TIFFRGBAImageOK(tif_.get(), message))
                throw ImagingError(ImagingError::Unsupported,
                                   std::string("this kind of TIFF image is not supported: ") +
                                       message);
        }
        Bitmap::checkSize(int(p.width), int(p.height),
                          p.direct ? p.layout.format : PixelFormat::Rgba32, limits_);
        Bitmap resolution;
        readResolution(resolution);
        PictureInfo info{int(p.width), int(p.height), resolution.dpiX, resolution.dpiY};
        // As reorient() turns the picture and its resolution.
        if (p.orientation >= 5 && p.orientation <= 8) {
            std::swap(info.width, info.height);
            std::swap(info.dpiX, info.dpiY);
        }
        return info;
    }

    // The page in bands of its strips or rows of tiles, where the sample reader takes
    // it and no turn needs the whole picture; false otherwise, with nothing read.
    bool decodeInBands(const TiffBands& onBand) {
        TIFF* tif = tif_.get();
        std::uint32_t width = 0, height = 0;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
        support::checkDimensions(width, height, limits_);
        std::uint16_t compression = COMPRESSION_NONE, orientation = ORIENTATION_TOPLEFT;
        TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
        TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
        Layout layout;
        if (!TIFFIsCODECConfigured(compression) || orientation != ORIENTATION_TOPLEFT ||
            !directLayout(width, height, compression, layout))
            return false;
        readDirect(layout, &onBand);
        return true;
    }

    PictureSize size() {
        std::uint32_t width = 0, height = 0;
        TIFFGetField(tif_.get(), TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tif_.get(), TIFFTAG_IMAGELENGTH, &height);
        return {int(std::min<std::uint32_t>(width, 0x7FFFFFFF)),
                int(std::min<std::uint32_t>(height, 0x7FFFFFFF))};
    }

private:
    struct Page {
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        std::uint16_t orientation = ORIENTATION_TOPLEFT;
        bool direct = false; // read by the sample reader, else by TIFFRGBAImage
        Layout layout;
    };

    // The page's directory, checked as far as the decoder checks it before any strip.
    Page page() {
        TIFF* tif = tif_.get();
        Page p;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &p.width);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &p.height);
        support::checkDimensions(p.width, p.height, limits_);
        std::uint16_t compression = COMPRESSION_NONE;
        TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
        if (!TIFFIsCODECConfigured(compression))
            throw ImagingError(ImagingError::Unsupported, "the TIFF file's compression (" +
                                                              std::to_string(compression) +
                                                              ") is not supported");
        TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &p.orientation);
        p.direct = directLayout(p.width, p.height, compression, p.layout);
        return p;
    }

    [[noreturn]] void damaged(const char* fallback) const {
        throw ImagingError(ImagingError::Damaged, std::string("the TIFF file is damaged: ") +
                                                      (file_.error[0] ? file_.error : fallback));
    }

    // Whether the sample reader handles this layout, and how.
    bool directLayout(std::uint32_t width, std::uint32_t height, std::uint16_t compression,
                      Layout& l) {
        TIFF* tif = tif_.get();
        std::uint16_t bits = 1, samples = 1, photometric = PHOTOMETRIC_MINISWHITE,
                      planar = PLANARCONFIG_CONTIG, format = SAMPLEFORMAT_UINT,
                      inkset = INKSET_CMYK;
        TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
        TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
        TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkset);
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
        std::uint16_t extraCount = 0;
        std::uint16_t* extraTypes = nullptr;
        TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extraTypes);

        if (photometric == PHOTOMETRIC_YCBCR && compression == COMPRESSION_JPEG) {
            // The JPEG codec converts to RGB itself, subsampling included.
            if (!TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB))
                return false;
            photometric = PHOTOMETRIC_RGB;
        }
        // Old-style JPEG's codec is only dependable behind TIFFRGBAImage.
        if (compression == COMPRESSION_OJPEG)
            return false;
        if (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_VOID)
            return false;
        if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16)
            return false;
        l.width = width;
        l.height = height;
        l.bits = bits;
        l.samples = samples;
        l.separate = planar == PLANARCONFIG_SEPARATE && samples > 1;
        if (l.separate && bits < 8)
            return false;
        switch (photometric) {
        case PHOTOMETRIC_MINISWHITE:
        case PHOTOMETRIC_MINISBLACK:
            l.model = Model::Grey;
            l.colours = 1;
            l.minIsWhite = photometric == PHOTOMETRIC_MINISWHITE;
            break;
        case PHOTOMETRIC_PALETTE:
            l.model = Model::Palette;
            l.colours = 1;
            if (bits == 16 || samples != 1)
                return false;
            break;
        case PHOTOMETRIC_RGB:
            l.model = Model::Rgb;
            l.colours = 3;
            break;
        case PHOTOMETRIC_SEPARATED:
            if (inkset != INKSET_CMYK)
                return false;
            l.model = Model::Cmyk;
            l.colours = 4;
            break;
        default:
            return false;
        }
        if (samples < l.colours)
            return false;
        if (samples > l.colours) {
            // An extra sample without an ExtraSamples tag is taken as alpha, as libtiff
            // and other readers do; one declared to be of no known kind (0) is not.
            std::uint16_t type = extraCount > 0 && extraTypes
                                     ? extraTypes[0]
                                     : std::uint16_t(EXTRASAMPLE_UNASSALPHA);
            l.alpha = type == EXTRASAMPLE_ASSOCALPHA || type == EXTRASAMPLE_UNASSALPHA;
            l.associated = type == EXTRASAMPLE_ASSOCALPHA;
        }
        if (l.model != Model::Palette && l.model != Model::Grey && bits < 8)
            return false;
        if (l.alpha && bits < 8)
            return false;

        const bool wide = bits == 16;
        switch (l.model) {
        case Model::Grey:
            l.format = l.alpha ? (wide ? PixelFormat::Rgba64 : PixelFormat::Rgba32)
                       : wide  ? PixelFormat::Gray16
                       : bits == 1 && samples == 1 ? PixelFormat::Indexed1
                                                   : PixelFormat::Gray8;
            break;
        case Model::Palette:
            l.format = bits == 1   ? PixelFormat::Indexed1
                       : bits == 4 ? PixelFormat::Indexed4
                                   : PixelFormat::Indexed8;
            break;
        case Model::Rgb:
        case Model::Cmyk:
            l.format = l.alpha ? (wide ? PixelFormat::Rgba64 : PixelFormat::Rgba32)
                               : (wide ? PixelFormat::Rgb48 : PixelFormat::Rgb24);
            break;
        }
        return true;
    }

    void readPalette(const Layout& l, Bitmap& b) {
        if (l.model == Model::Grey) { // bilevel
            b.palette = l.minIsWhite ? std::vector<std::uint32_t>{0xFFFFFFFFu, 0xFF000000u}
                                     : std::vector<std::uint32_t>{0xFF000000u, 0xFFFFFFFFu};
            return;
        }
        std::uint16_t *r = nullptr, *g = nullptr, *bl = nullptr;
        if (!TIFFGetField(tif_.get(), TIFFTAG_COLORMAP, &r, &g, &bl) || !r || !g || !bl)
            damaged("the palette image has no colour map");
        const std::size_t n = std::size_t(1) << l.bits;
        // Old writers stored 8-bit values in the 16-bit map; libtiff's own reader
        // recognises them the same way.
        bool eightBit = true;
        for (std::size_t i = 0; i < n; ++i)
            eightBit = eightBit && r[i] < 256 && g[i] < 256 && bl[i] < 256;
        auto to8 = [eightBit](unsigned v) { return eightBit ? v : (v + 128) / 257; };
        for (std::size_t i = 0; i < n; ++i)
            b.palette.push_back(0xFF000000u | to8(r[i]) << 16 | to8(g[i]) << 8 | to8(bl[i]));
    }

    // The whole page, or with onBand a bitmap of one band at a time, handed over as
    // each is read.
    Bitmap readDirect(const Layout& l, const TiffBands* onBand = nullptr) {
        TIFF* tif = tif_.get();

        const int planes = l.separate ? l.samples : 1;
        const std::size_t planeSamples = l.separate ? 1 : std::size_t(l.samples);
        const std::size_t planeRowBytes =
            (support::checkedMul(l.width, planeSamples * std::size_t(l.bits)) + 7) / 8;
        if (std::uint64_t(TIFFScanlineSize64(tif)) != planeRowBytes)
            damaged("the image's row size does not match its fields");

        const bool tiled = TIFFIsTiled(tif);
        std::uint32_t bandRows = 0, tileWidth = 0;
        if (tiled) {
            TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth);
            TIFFGetField(tif, TIFFTAG_TILELENGTH, &bandRows);
            if (tileWidth == 0 || bandRows == 0 || tileWidth % 16 || bandRows % 16)
                damaged("the tile size is invalid");
        } else {
            TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &bandRows);
        }
        bandRows = std::clamp<std::uint32_t>(bandRows, 1, l.height);
        Bitmap b = Bitmap::create(int(l.width), int(onBand ? bandRows : l.height), l.format, limits_);
        if (isIndexed(l.format))
            readPalette(l, b);
        if (onBand)
            describe(b);
        const std::size_t bandBytes = support::checkedMul(planeRowBytes, bandRows);
        if (support::checkedMul(bandBytes, std::size_t(planes)) > limits_.maxBytes)
            throw ImagingError(ImagingError::TooLarge, "the TIFF file's strips are too large");

        std::vector<std::vector<std::uint8_t>> band(static_cast<std::size_t>(planes));
        for (auto& plane : band)
            plane.resize(bandBytes);
        std::vector<std::uint8_t> tile, interleaved;
        std::size_t tileRowBytes = 0;
        if (tiled) {
            tileRowBytes =
                (support::checkedMul(tileWidth, planeSamples * std::size_t(l.bits)) + 7) / 8;
            tmsize_t tileSize = TIFFTileSize(tif);
            if (tileSize <= 0 || std::uint64_t(tileSize) != std::uint64_t(tileRowBytes) * bandRows)
                damaged("the tile size is invalid");
            tile.resize(std::size_t(tileSize));
        }
        if (l.separate)
            interleaved.resize(std::size_t(l.width) * std::size_t(l.samples) *
                               std::size_t(l.bits / 8));

        for (std::uint32_t y0 = 0; y0 < l.height; y0 += bandRows) {
            const std::uint32_t rows = std::min(bandRows, l.height - y0);
            for (int p = 0; p < planes; ++p) {
                std::uint8_t* dst = band[std::size_t(p)].data();
                if (!tiled) {
                    std::uint32_t strip = TIFFComputeStrip(tif, y0, std::uint16_t(p));
                    tmsize_t want = tmsize_t(planeRowBytes * rows);
                    tmsize_t got = TIFFReadEncodedStrip(tif, strip, dst, want);
                    if (got < want)
                        damaged("a strip could not be read");
                    continue;
                }
                for (std::uint32_t x0 = 0; x0 < l.width; x0 += tileWidth) {
                    std::uint32_t index = TIFFComputeTile(tif, x0, y0, 0, std::uint16_t(p));
                    if (TIFFReadEncodedTile(tif, index, tile.data(), tmsize_t(tile.size())) < 0)
                        damaged("a tile could not be read");
                    std::size_t offset = std::size_t(x0) * planeSamples * std::size_t(l.bits) / 8;
                    std::size_t count = std::min(tileRowBytes, planeRowBytes - offset);
                    for (std::uint32_t r = 0; r < rows; ++r)
                        std::memcpy(dst + r * planeRowBytes + offset,
                                    tile.data() + r * tileRowBytes, count);
                }
            }
            for (std::uint32_t r = 0; r < rows; ++r) {
                const std::uint8_t* src = band[0].data() + r * planeRowBytes;
                if (l.separate) {
                    const std::size_t sampleBytes = std::size_t(l.bits / 8);
                    for (int p = 0; p < planes; ++p) {
                        const std::uint8_t* plane = band[std::size_t(p)].data() + r * planeRowBytes;
                        for (std::size_t x = 0; x < l.width; ++x)
                            std::memcpy(interleaved.data() +
                                            (x * std::size_t(l.samples) + std::size_t(p)) *
                                                sampleBytes,
                                        plane + x * sampleBytes, sampleBytes);
                    }
                    src = interleaved.data();
                }
                convertRow(l, src, b.row(int(onBand ? r : y0 + r)));
            }
            if (onBand)
                (*onBand)(b, int(rows), int(l.height));
        }
        return b;
    }

    // Anything else, through TIFFRGBAImage, which gives 8-bit RGBA with colour
    // premultiplied by alpha. Asked for the file's own orientation, it flips nothing,
    // so reorient() can treat both paths alike.
    Bitmap readRgba(std::uint32_t width, std::uint32_t height, std::uint16_t orientation) {
        TIFF* tif = tif_.get();
        char message[1024] = {};
        if (!TIFFRGBAImageOK(tif, message))
            throw ImagingError(ImagingError::Unsupported,
                               std::string("this kind of TIFF image is not supported: ") + message);
        Bitmap b = Bitmap::create(int(width), int(height), PixelFormat::Rgba32, limits_);
        // The pixel memory comes from operator new, aligned for uint32_t.
        auto* raster = reinterpret_cast<std::uint32_t*>(b.pixels.data());
        if (!TIFFReadRGBAImageOriented(tif, width, height, raster, orientation, 1))
            damaged("the image could not be read");

        std::uint16_t photometric = 0;
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
        // TIFFRGBAImage premultiplies colour, except for grey with alpha.
        const bool premultiplied =
            photometric != PHOTOMETRIC_MINISBLACK && photometric != PHOTOMETRIC_MINISWHITE;
        bool opaque = true;
        std::uint8_t* p = b.pixels.data();
        const std::size_t count = std::size_t(width) * height;
        for (std::size_t i = 0; i < count; ++i, p += 4) {
            std::uint32_t abgr;
            std::memcpy(&abgr, p, 4);
            unsigned r = TIFFGetR(abgr), g = TIFFGetG(abgr), bl = TIFFGetB(abgr),
                     a = TIFFGetA(abgr);
            if (a != 255 && premultiplied) {
                r = unpremultiply(r, a, 255);
                g = unpremultiply(g, a, 255);
                bl = unpremultiply(bl, a, 255);
            }
            opaque = opaque && a == 255;
            p[0] = std::uint8_t(r);
            p[1] = std::uint8_t(g);
            p[2] = std::uint8_t(bl);
            p[3] = std::uint8_t(a);
        }
        if (opaque) {
            // Compacted in place: rows are contiguous and each RGB pixel lands before
            // the RGBA pixel it came from.
            std::uint8_t* s = b.pixels.data();
            for (std::size_t i = 0; i < count; ++i)
                std::memmove(s + 3 * i, s + 4 * i, 3);
            b.format = PixelFormat::Rgb24;
            b.stride = std::size_t(width) * 3;
            b.pixels.resize(b.stride * height);
        }
        return b;
    }

    // What the page says of the picture beside its pixels.
    void describe(Bitmap& b) {
        readResolution(b);
        std::uint32_t iccSize = 0;
        void* icc = nullptr;
        if (TIFFGetField(tif_.get(), TIFFTAG_ICCPROFILE, &iccSize, &icc) && icc && iccSize)
            b.iccProfile.assign(static_cast<const char*>(icc), iccSize);
    }

    void readResolution(Bitmap& b) {
        TIFF* tif = tif_.get();
        float x = 0, y = 0;
        bool hasX = TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x) && x > 0;
        bool hasY = TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y) && y > 0;
        if (!hasX && !hasY)
            return;
        if (!hasX)
            x = y;
        if (!hasY)
            y = x;
        std::uint16_t unit = RESUNIT_INCH;
        TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
        if (unit == RESUNIT_INCH) {
            b.dpiX = x;
            b.dpiY = y;
        } else if (unit == RESUNIT_CENTIMETER) {
            b.dpiX = support::dpiFromPixelsPerCentimetre(x);
            b.dpiY = support::dpiFromPixelsPerCentimetre(y);
        }
    }

    const Limits& limits_;
    MemoryFile file_;
    std::unique_ptr<TIFF, Release<TIFFClose>> tif_;
};

} // namespace

Bitmap decodeTiff(std::span<const std::uint8_t> bytes, const Limits& limits, int page) {
    TiffReader reader(bytes, limits, page);
    return reader.decode();
}

bool decodeTiffInBands(std::span<const std::uint8_t> bytes, int page, const TiffBands& onBand,
                       const Limits& limits) {
    TiffReader reader(bytes, limits, page);
    return reader.decodeInBands(onBand);
}

PictureSize tiffPageSize(std::span<const std::uint8_t> bytes, int page) {
    TiffReader reader(bytes, Limits{}, page);
    return reader.size();
}

std::optional<PictureInfo> probeTiff(std::span<const std::uint8_t> bytes, const Limits& limits,
                                     int page) {
    TiffReader reader(bytes, limits, page);
    return reader.probe();
}

int tiffPageCount(std::span<const std::uint8_t> bytes) {
    Chain chain = walkChain(bytes, kMaxTiffPages);
    return std::min(kMaxTiffPages, chain.count + (chain.problem.empty() ? 0 : 1));
}

std::optional<TiffFax> tiffFaxPage(std::span<const std::uint8_t> bytes, int page,
                                   const Limits& limits) {
    TiffReader reader(bytes, limits, page);
    return reader.fax();
}

} // namespace folimo::imaging
