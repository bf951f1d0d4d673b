#include "Codecs.h"
#include "Quantize.h"
#include "Transform.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>

namespace folimo::imaging {

namespace {

// The file grows in memory as libtiff writes and seeks; it may seek past the end and
// write there, and the gap reads as zeros.
struct MemoryFile {
    std::string bytes;
    std::size_t position = 0;
    bool outOfMemory = false;
    char message[256] = {};
};

MemoryFile& fileOf(thandle_t handle) {
    return *static_cast<MemoryFile*>(handle);
}

tmsize_t readMemory(thandle_t handle, void* buffer, tmsize_t size) {
    MemoryFile& f = fileOf(handle);
    if (size < 0 || f.position >= f.bytes.size())
        return 0;
    const std::size_t n = std::min(std::size_t(size), f.bytes.size() - f.position);
    std::memcpy(buffer, f.bytes.data() + f.position, n);
    f.position += n;
    return tmsize_t(n);
}

tmsize_t writeMemory(thandle_t handle, void* buffer, tmsize_t size) {
    MemoryFile& f = fileOf(handle);
    if (size < 0)
        return -1;
    try {
        const std::size_t end = f.position + std::size_t(size);
        if (end < f.position)
            return -1;
        if (end > f.bytes.size())
            f.bytes.resize(end); // std::string grows its capacity geometrically
        std::memcpy(f.bytes.data() + f.position, buffer, std::size_t(size));
        f.position = end;
        return size;
    } catch (...) {
        f.outOfMemory = true;
        return -1;
    }
}

toff_t seekMemory(thandle_t handle, toff_t offset, int whence) {
    MemoryFile& f = fileOf(handle);
    std::uint64_t base = whence == SEEK_CUR ? f.position : whence == SEEK_END ? f.bytes.size() : 0;
    std::uint64_t target = 0;
    if (__builtin_add_overflow(base, std::uint64_t(offset), &target) || target > (1ull << 62))
        return toff_t(-1);
    f.position = std::size_t(target);
    return target;
}

int closeMemory(thandle_t) {
    return 0;
}

toff_t sizeOfMemory(thandle_t handle) {
    return fileOf(handle).bytes.size();
}

int mapNothing(thandle_t, void**, toff_t*) {
    return 0;
}

void unmapNothing(thandle_t, void*, toff_t) {}

// Errors are kept for the exception, per file, rather than printed by libtiff's global
// handler; warnings are dropped.
int onTiffError(TIFF*, void* user, const char* module, const char* format, va_list args) {
    MemoryFile& f = *static_cast<MemoryFile*>(user);
    if (!f.message[0]) {
        const int n = std::snprintf(f.message, sizeof f.message, "%s: ", module ? module : "");
        if (n >= 0 && std::size_t(n) < sizeof f.message)
            std::vsnprintf(f.message + n, sizeof f.message - std::size_t(n), format, args);
    }
    return 1;
}

int onTiffWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

struct FreeOptions {
    void operator()(TIFFOpenOptions* options) const noexcept { TIFFOpenOptionsFree(options); }
};

struct CloseTiff {
    void operator()(TIFF* tiff) const noexcept { TIFFClose(tiff); }
};

[[noreturn]] void tiffFailed(const MemoryFile& file) {
    if (file.outOfMemory)
        throw std::bad_alloc();
    throw ImagingError(ImagingError::Io, std::string("the TIFF file could not be written (") +
                                             (file.message[0] ? file.message : "unknown error") +
                                             ")");
}

// A TIFF being written into `file`. Classic TIFF addresses 4 GiB; a picture whose
// samples might not fit goes to BigTIFF.
std::unique_ptr<TIFF, CloseTiff> openMemory(MemoryFile& file, std::uint64_t rawBytes) {
    std::unique_ptr<TIFFOpenOptions, FreeOptions> options(TIFFOpenOptionsAlloc());
    if (!options)
        throw std::bad_alloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), onTiffError, &file);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), onTiffWarning, &file);
    const char* mode = rawBytes > 0xC0000000ull ? "w8" : "w";
    std::unique_ptr<TIFF, CloseTiff> tiff(
        TIFFClientOpenExt("memory", mode, &file, readMemory, writeMemory, seekMemory, closeMemory,
                          sizeOfMemory, mapNothing, unmapNothing, options.get()));
    if (!tiff)
        tiffFailed(file);
    return tiff;
}

// The file written: closed, and the first error it met, if any, thrown.
std::string finished(std::unique_ptr<TIFF, CloseTiff> tiff, MemoryFile& file) {
    if (!TIFFWriteDirectory(tiff.get()))
        tiffFailed(file);
    tiff.reset();
    if (file.message[0])
        tiffFailed(file);
    return std::move(file.bytes);
}

// The tags of a black-and-white page coded Group 4 in one strip: PDF's CCITTFaxDecode
// takes the data of a single coded image, and the coding restarts at every strip. The
// codes call runs of 0 bits white, so min-is-white puts the paper of a page coded
// anew in the white runs, whose codes are the short ones for long runs.
void setFaxTags(TIFF* t, MemoryFile& file, int width, int height, bool blackIs1, double dpiX,
                double dpiY) {
    bool ok = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, std::uint32_t(width)) &&
              TIFFSetField(t, TIFFTAG_IMAGELENGTH, std::uint32_t(height)) &&
              TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, std::uint16_t(1)) &&
              TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, std::uint16_t(1)) &&
              TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
                           blackIs1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_MINISWHITE) &&
              TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB) &&
              TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
              TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, std::uint32_t(height)) &&
              TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    Bitmap resolution;
    resolution.dpiX = dpiX;
    resolution.dpiY = dpiY;
    if (ok && detail::resolutionOf(resolution, dpiX, dpiY))
        ok = TIFFSetField(t, TIFFTAG_XRESOLUTION, dpiX) &&
             TIFFSetField(t, TIFFTAG_YRESOLUTION, dpiY) &&
             TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    if (!ok)
        tiffFailed(file);
}

// How the pixels go into the file: the samples of one row, and how to fill a row.
struct Layout {
    std::uint16_t photometric = PHOTOMETRIC_RGB;
    std::uint16_t bitsPerSample = 8;
    std::uint16_t samplesPerPixel = 3;
    bool alpha = false;
    bool palette = false;
    bool expandPalette = false; // a palette with transparency becomes RGBA
};

Layout layoutOf(const Bitmap& b) {
    Layout l;
    switch (b.format) {
    case PixelFormat::Indexed1:
    case PixelFormat::Indexed4:
    case PixelFormat::Indexed8: {
        const auto used = detail::usedIndices(b);
        const auto palette = detail::fullPalette(b);
        bool opaque = true;
        for (std::size_t i = 0; i < 256; ++i)
            opaque = opaque && (!used[i] || palette[i] >> 24 == 255);
        if (opaque) {
            l.photometric = PHOTOMETRIC_PALETTE;
            l.bitsPerSample = std::uint16_t(bitsPerPixel(b.format));
            l.samplesPerPixel = 1;
            l.palette = true;
        } else {
            // A TIFF colormap has no alpha; unassociated alpha keeps the transparency.
            l.samplesPerPixel = 4;
            l.alpha = true;
            l.expandPalette = true;
        }
        break;
    }
    case PixelFormat::Gray8:
    case PixelFormat::Gray16:
        l.photometric = PHOTOMETRIC_MINISBLACK;
        l.samplesPerPixel = 1;
        l.bitsPerSample = b.format == PixelFormat::Gray16 ? 16 : 8;
        break;
    case PixelFormat::Rgb24:
    case PixelFormat::Rgb48:
        l.bitsPerSample = b.format == PixelFormat::Rgb48 ? 16 : 8;
        break;
    case PixelFormat::Rgba32:
    case PixelFormat::Rgba64:
        l.samplesPerPixel = 4;
        l.alpha = true;
        l.bitsPerSample = b.format == PixelFormat::Rgba64 ? 16 : 8;
        break;
    }
    return l;
}

} // namespace

std::string encodeTiff(const Bitmap& bitmap) {
    detail::checkBitmap(bitmap);
    const Layout layout = layoutOf(bitmap);
    const std::size_t rowBytes =
        (std::size_t(bitmap.width) * layout.bitsPerSample * layout.samplesPerPixel + 7) / 8;
    const std::uint64_t rawBytes = std::uint64_t(rowBytes) * std::uint64_t(bitmap.height);

    MemoryFile file;
    std::unique_ptr<TIFF, CloseTiff> tiff = openMemory(file, rawBytes);
    TIFF* t = tiff.get();

    // About 64 KiB a strip: big enough that Deflate and the per-strip overhead work
    // well, small enough for readers that load a strip at a time.
    const std::uint32_t rowsPerStrip = std::uint32_t(
        std::clamp<std::size_t>((64u << 10) / rowBytes, 1, std::size_t(bitmap.height)));
    bool ok = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, std::uint32_t(bitmap.width)) &&
              TIFFSetField(t, TIFFTAG_IMAGELENGTH, std::uint32_t(bitmap.height)) &&
              TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, layout.bitsPerSample) &&
              TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, layout.samplesPerPixel) &&
              TIFFSetField(t, TIFFTAG_PHOTOMETRIC, layout.photometric) &&
              TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
              TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip) &&
              TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    // The horizontal predictor turns smooth contone into small differences that
    // Deflate packs well; for palette indices and packed bits it would only add noise.
    if (ok && !layout.palette)
        ok = TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    // Deflate's fastest level: on a 12-megapixel photo about 0.5 s against 2.3 s at the
    // default level 6, for a file 16% larger (libtiff hands whole strips to libdeflate).
    if (ok)
        ok = TIFFSetField(t, TIFFTAG_ZIPQUALITY, 1);
    if (ok && layout.alpha) {
        const std::uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
        ok = TIFFSetField(t, TIFFTAG_EXTRASAMPLES, std::uint16_t(1), extra);
    }
    std::vector<std::uint16_t> colormap;
    if (ok && layout.palette) {
        const std::size_t n = std::size_t(1) << layout.bitsPerSample;
        const auto palette = detail::fullPalette(bitmap);
        colormap.resize(3 * n);
        for (std::size_t i = 0; i < n; ++i) {
            colormap[i] = std::uint16_t((palette[i] >> 16 & 255) * 257);
            colormap[n + i] = std::uint16_t((palette[i] >> 8 & 255) * 257);
            colormap[2 * n + i] = std::uint16_t((palette[i] & 255) * 257);
        }
        ok = TIFFSetField(t, TIFFTAG_COLORMAP, colormap.data(), colormap.data() + n,
                          colormap.data() + 2 * n);
    }
    double dpiX = 0, dpiY = 0;
    if (ok && detail::resolutionOf(bitmap, dpiX, dpiY))
        ok = TIFFSetField(t, TIFFTAG_XRESOLUTION, dpiX) &&
             TIFFSetField(t, TIFFTAG_YRESOLUTION, dpiY) &&
             TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    const bool grey = layout.photometric == PHOTOMETRIC_MINISBLACK;
    if (ok && detail::iccProfileFits(bitmap.iccProfile, grey ? "GRAY" : "RGB "))
        ok = TIFFSetField(t, TIFFTAG_ICCPROFILE, std::uint32_t(bitmap.iccProfile.size()),
                          bitmap.iccProfile.data());
    if (!ok)
        tiffFailed(file);

    // Rows are copied into a strip buffer: libtiff applies the predictor in place, and
    // the bitmap's rows may be padded.
    std::vector<std::uint8_t> strip(rowBytes * rowsPerStrip);
    std::vector<std::uint8_t> indices;
    std::array<std::uint32_t, 256> palette{};
    if (layout.expandPalette) {
        indices.resize(std::size_t(bitmap.width));
        palette = detail::fullPalette(bitmap);
    }
    for (std::uint32_t first = 0, index = 0; first < std::uint32_t(bitmap.height);
         first += rowsPerStrip, ++index) {
        const std::uint32_t rows = std::min(rowsPerStrip, std::uint32_t(bitmap.height) - first);
        for (std::uint32_t i = 0; i < rows; ++i) {
            std::uint8_t* out = strip.data() + std::size_t(i) * rowBytes;
            const int y = int(first + i);
            if (layout.expandPalette) {
                detail::unpackIndices(bitmap, y, indices.data());
                for (std::size_t x = 0; x < indices.size(); ++x) {
                    const std::uint32_t c = palette[indices[x]];
                    out[4 * x] = std::uint8_t(c >> 16);
                    out[4 * x + 1] = std::uint8_t(c >> 8);
                    out[4 * x + 2] = std::uint8_t(c);
                    out[4 * x + 3] = std::uint8_t(c >> 24);
                }
            } else {
                std::memcpy(out, bitmap.row(y), rowBytes);
            }
        }
        if (TIFFWriteEncodedStrip(t, index, strip.data(), tmsize_t(rows * rowBytes)) < 0)
            tiffFailed(file);
    }
    return finished(std::move(tiff), file);
}

std::string wrapFax(const TiffFax& fax) {
    if (fax.k != -1 || fax.width <= 0 || fax.height <= 0 || fax.data.empty())
        throw ImagingError(ImagingError::Unsupported, "only Group 4 data can be wrapped");
    MemoryFile file;
    std::unique_ptr<TIFF, CloseTiff> tiff = openMemory(file, fax.data.size());
    setFaxTags(tiff.get(), file, fax.width, fax.height, fax.blackIs1, fax.dpiX, fax.dpiY);
    if (TIFFWriteRawStrip(tiff.get(), 0, const_cast<char*>(fax.data.data()),
                          tmsize_t(fax.data.size())) < 0)
        tiffFailed(file);
    return finished(std::move(tiff), file);
}

std::string encodeFax(const Bitmap& bitmap) {
    detail::checkBitmap(bitmap);
    if (!isBlackAndWhite(bitmap))
        throw ImagingError(ImagingError::Unsupported,
                           "only a black-and-white picture can be coded as a fax");
    const std::size_t rowBytes = (std::size_t(bitmap.width) + 7) / 8;
    MemoryFile file;
    std::unique_ptr<TIFF, CloseTiff> tiff =
        openMemory(file, std::uint64_t(rowBytes) * std::uint64_t(bitmap.height));
    TIFF* t = tiff.get();
    setFaxTags(t, file, bitmap.width, bitmap.height, false, bitmap.dpiX, bitmap.dpiY);
    // A row at a time, so the picture is never held twice: a bit set for black.
    const auto palette = detail::fullPalette(bitmap);
    const bool packed = bitmap.format == PixelFormat::Indexed1 && palette[0] != palette[1];
    const bool invert = packed && palette[0] == 0xFF000000u;
    std::vector<std::uint8_t> row(rowBytes), indices(packed ? 0 : std::size_t(bitmap.width));
    for (int y = 0; y < bitmap.height; ++y) {
        if (packed) {
            std::memcpy(row.data(), bitmap.row(y), rowBytes);
            if (invert)
                for (std::uint8_t& byte : row)
                    byte = std::uint8_t(~byte);
        } else {
            detail::unpackIndices(bitmap, y, indices.data());
            std::fill(row.begin(), row.end(), 0);
            for (std::size_t x = 0; x < indices.size(); ++x)
                if (palette[indices[x]] == 0xFF000000u)
                    row[x / 8] |= std::uint8_t(0x80u >> (x % 8));
        }
        if (TIFFWriteScanline(t, row.data(), std::uint32_t(y), 0) < 0)
            tiffFailed(file);
    }
    return finished(std::move(tiff), file);
}

} // namespace folimo::imaging
