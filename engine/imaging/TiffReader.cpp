// What a TIFF page is, before its pixels: the chain of directories that leads to it,
// its fields and resolution, and whether the sample reader can take it.
//
// libtiff's messages are collected per handle (TIFFOpenOptions), never printed, and
// the first error becomes the ImagingError's text.
//
// Bilevel fax pages can also be handed out as the CCITT data they hold (tiffFaxPage),
// on the terms tiff2pdf passes Group 4 through: one strip, so that the data is one
// coded image whose first line refers to a white line, as PDF's decoder expects.
#include "TiffReader.h"

#include "Codecs.h"
#include "DecodeSupport.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace folimo::imaging {

namespace tiff {

namespace {

using support::Release;

// ---------------------------------------------------------------------------------------
// libtiff over memory

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
// The layouts the sample reader takes

// The colour model of a photometric interpretation the sample reader takes, with
// l.bits and l.samples already set; false for any it leaves to TIFFRGBAImage.
bool readModel(std::uint16_t photometric, std::uint16_t inkset, Layout& l) {
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
        if (l.bits == 16 || l.samples != 1)
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
    return true;
}

// The bitmap a layout the sample reader takes becomes.
void chooseFormat(Layout& l) {
    const bool wide = l.bits == 16;
    switch (l.model) {
    case Model::Grey:
        l.format = l.alpha ? (wide ? PixelFormat::Rgba64 : PixelFormat::Rgba32)
                   : wide  ? PixelFormat::Gray16
                   : l.bits == 1 && l.samples == 1 ? PixelFormat::Indexed1
                                                   : PixelFormat::Gray8;
        break;
    case Model::Palette:
        l.format = l.bits == 1   ? PixelFormat::Indexed1
                   : l.bits == 4 ? PixelFormat::Indexed4
                                 : PixelFormat::Indexed8;
        break;
    case Model::Rgb:
    case Model::Cmyk:
        l.format = l.alpha ? (wide ? PixelFormat::Rgba64 : PixelFormat::Rgba32)
                           : (wide ? PixelFormat::Rgb48 : PixelFormat::Rgb24);
        break;
    }
}

} // namespace

TiffReader::TiffReader(std::span<const std::uint8_t> bytes, const Limits& limits, int page)
    : limits_(limits) {
    file_.bytes = bytes;
    std::unique_ptr<TIFFOpenOptions, Release<TIFFOpenOptionsFree>> options(TIFFOpenOptionsAlloc());
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

std::optional<TiffFax> TiffReader::fax() {
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
    if (TIFFReadEncodedStrip(tif, 0, rows.data(), tmsize_t(rows.size())) != tmsize_t(rows.size()) ||
        file_.error[0] != 0)
        return std::nullopt;
    Bitmap resolution;
    readResolution(resolution);
    fax.dpiX = resolution.dpiX;
    fax.dpiY = resolution.dpiY;
    return fax;
}

PictureInfo TiffReader::probe() {
    const Page p = page();
    if (!p.direct) {
        char message[1024] = {};
        if (!TIFFRGBAImageOK(tif_.get(), message))
            throw ImagingError(ImagingError::Unsupported,
                               std::string("this kind of TIFF image is not supported: ") + message);
    }
    const PixelFormat format = p.direct ? p.layout.format : PixelFormat::Rgba32;
    Bitmap::checkSize(int(p.width), int(p.height), format, limits_);
    Bitmap resolution;
    readResolution(resolution);
    PictureInfo info{int(p.width), int(p.height), resolution.dpiX, resolution.dpiY,
                     bitsPerPixel(format)};
    // As reorient() turns the picture and its resolution.
    if (p.orientation >= 5 && p.orientation <= 8) {
        std::swap(info.width, info.height);
        std::swap(info.dpiX, info.dpiY);
    }
    return info;
}

PictureSize TiffReader::size() {
    std::uint32_t width = 0, height = 0;
    TIFFGetField(tif_.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif_.get(), TIFFTAG_IMAGELENGTH, &height);
    return {int(std::min<std::uint32_t>(width, 0x7FFFFFFF)),
            int(std::min<std::uint32_t>(height, 0x7FFFFFFF))};
}

TiffReader::Page TiffReader::page() {
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

void TiffReader::damaged(const char* fallback) const {
    throw ImagingError(ImagingError::Damaged, std::string("the TIFF file is damaged: ") +
                                                  (file_.error[0] ? file_.error : fallback));
}

bool TiffReader::directLayout(std::uint32_t width, std::uint32_t height, std::uint16_t compression,
                              Layout& l) {
    TIFF* tif = tif_.get();
    std::uint16_t bits = 1, samples = 1, photometric = PHOTOMETRIC_MINISWHITE,
                  planar = PLANARCONFIG_CONTIG, format = SAMPLEFORMAT_UINT, inkset = INKSET_CMYK;
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
    if (!readModel(photometric, inkset, l))
        return false;
    if (samples < l.colours)
        return false;
    if (samples > l.colours) {
        // An extra sample without an ExtraSamples tag is taken as alpha, as libtiff
        // and other readers do; one declared to be of no known kind (0) is not.
        std::uint16_t type =
            extraCount > 0 && extraTypes ? extraTypes[0] : std::uint16_t(EXTRASAMPLE_UNASSALPHA);
        l.alpha = type == EXTRASAMPLE_ASSOCALPHA || type == EXTRASAMPLE_UNASSALPHA;
        l.associated = type == EXTRASAMPLE_ASSOCALPHA;
    }
    if (l.model != Model::Palette && l.model != Model::Grey && bits < 8)
        return false;
    if (l.alpha && bits < 8)
        return false;

    chooseFormat(l);
    return true;
}

void TiffReader::describe(Bitmap& b) {
    readResolution(b);
    std::uint32_t iccSize = 0;
    void* icc = nullptr;
    if (TIFFGetField(tif_.get(), TIFFTAG_ICCPROFILE, &iccSize, &icc) && icc && iccSize)
        b.iccProfile.assign(static_cast<const char*>(icc), iccSize);
}

void TiffReader::readResolution(Bitmap& b) {
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

} // namespace tiff

using tiff::TiffReader;

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
    tiff::Chain chain = tiff::walkChain(bytes, kMaxTiffPages);
    return std::min(kMaxTiffPages, chain.count + (chain.problem.empty() ? 0 : 1));
}

std::optional<TiffFax> tiffFaxPage(std::span<const std::uint8_t> bytes, int page,
                                   const Limits& limits) {
    TiffReader reader(bytes, limits, page);
    return reader.fax();
}

} // namespace folimo::imaging
