#include "Codecs.h"
#include "Quantize.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <new>

namespace folimo::imaging {

namespace {

// Plain data only: runWrite longjmps over nothing that has a destructor.
struct PngJob {
    const Bitmap* bitmap = nullptr;
    std::string* out = nullptr;
    int colorType = PNG_COLOR_TYPE_RGB;
    int bitDepth = 8;
    png_color palette[256] = {};
    int paletteSize = 0;
    png_byte alphas[256] = {};
    int alphaCount = 0;
    bool swap16 = false;
    bool physical = false;
    png_uint_32 pixelsPerMetreX = 0, pixelsPerMetreY = 0;
    const png_byte* icc = nullptr;
    png_uint_32 iccSize = 0;
    int filters = PNG_ALL_FILTERS;
    int level = Z_DEFAULT_COMPRESSION;
    int strategy = Z_DEFAULT_STRATEGY;
    char message[200] = {};
    bool outOfMemory = false;
};

void onPngError(png_structp png, png_const_charp message) {
    auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
    std::snprintf(job->message, sizeof job->message, "%s", message);
    png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

void appendToString(png_structp png, png_bytep data, png_size_t length) {
    auto* job = static_cast<PngJob*>(png_get_io_ptr(png));
    try {
        job->out->append(reinterpret_cast<const char*>(data), length);
        return;
    } catch (...) {
        job->outOfMemory = true;
    }
    png_error(png, "out of memory");
}

void flushNothing(png_structp) {}

// The one function that calls setjmp; nothing in it has a destructor.
bool runWrite(png_structp png, png_infop info, PngJob* job) {
    if (setjmp(png_jmpbuf(png)))
        return false;
    const Bitmap& b = *job->bitmap;
    png_set_write_fn(png, job, appendToString, flushNothing);
    // A profile libpng finds fault with is dropped with a warning, not the whole file.
    png_set_benign_errors(png, 1);
    png_set_IHDR(png, info, png_uint_32(b.width), png_uint_32(b.height), job->bitDepth,
                 job->colorType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (job->paletteSize > 0)
        png_set_PLTE(png, info, job->palette, job->paletteSize);
    if (job->alphaCount > 0)
        png_set_tRNS(png, info, job->alphas, job->alphaCount, nullptr);
    if (job->physical)
        png_set_pHYs(png, info, job->pixelsPerMetreX, job->pixelsPerMetreY, PNG_RESOLUTION_METER);
    if (job->icc)
        png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, job->icc, job->iccSize);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, job->filters);
    png_set_compression_level(png, job->level);
    png_set_compression_strategy(png, job->strategy);
    // Fewer, larger IDAT chunks and fewer calls into zlib than the 8 KiB default.
    png_set_compression_buffer_size(png, 1u << 16);
    png_write_info(png, info);
    if (job->swap16)
        png_set_swap(png);
    for (int y = 0; y < b.height; ++y)
        png_write_row(png, b.row(y)); // libpng transforms a copy, never the row itself
    png_write_end(png, info);
    return true;
}

struct PngWriteStructs {
    png_structp png = nullptr;
    png_infop info = nullptr;
};

struct DestroyPngWrite {
    void operator()(PngWriteStructs* s) const noexcept {
        png_destroy_write_struct(&s->png, &s->info);
        delete s;
    }
};

void plan(const Bitmap& b, PngJob& job) {
    const bool littleEndian = std::endian::native == std::endian::little;
    switch (b.format) {
    case PixelFormat::Indexed1:
    case PixelFormat::Indexed4:
    case PixelFormat::Indexed8: {
        job.colorType = PNG_COLOR_TYPE_PALETTE;
        job.bitDepth = b.format == PixelFormat::Indexed1   ? 1
                       : b.format == PixelFormat::Indexed4 ? 4
                                                           : 8;
        // The palette must cover every index the pixels use; missing entries are
        // black, as the other encoders show them.
        const auto used = detail::usedIndices(b);
        int count = int(std::max<std::size_t>(b.palette.size(), 1));
        for (int i = 0; i < 256; ++i)
            if (used[std::size_t(i)])
                count = std::max(count, i + 1);
        count = std::min(count, 1 << job.bitDepth);
        const auto palette = detail::fullPalette(b);
        job.paletteSize = count;
        for (int i = 0; i < count; ++i) {
            const std::uint32_t c = palette[std::size_t(i)];
            job.palette[i] = {png_byte(c >> 16), png_byte(c >> 8), png_byte(c)};
            job.alphas[i] = png_byte(c >> 24);
            if (job.alphas[i] != 255)
                job.alphaCount = i + 1;
        }
        break;
    }
    case PixelFormat::Gray8:
        job.colorType = PNG_COLOR_TYPE_GRAY;
        break;
    case PixelFormat::Rgb24:
        job.colorType = PNG_COLOR_TYPE_RGB;
        break;
    case PixelFormat::Rgba32:
        job.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
        break;
    case PixelFormat::Gray16:
        job.colorType = PNG_COLOR_TYPE_GRAY;
        job.bitDepth = 16;
        job.swap16 = littleEndian;
        break;
    case PixelFormat::Rgb48:
        job.colorType = PNG_COLOR_TYPE_RGB;
        job.bitDepth = 16;
        job.swap16 = littleEndian;
        break;
    case PixelFormat::Rgba64:
        job.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
        job.bitDepth = 16;
        job.swap16 = littleEndian;
        break;
    }
    // Contone: the Paeth filter on every row, then zlib's fastest level with run-length
    // matches only. Paeth predicts smooth pictures best of the five filters, and what
    // is left after it is mostly short runs of small values, in which long-distance
    // matching finds little more. Measured on a 12-megapixel photo: 0.6 s for a file 7%
    // larger than libpng's defaults give (adaptive filters, level 6: 4.2 s), as small as
    // the Sub filter at level 6 (2.3 s). Wallpaper-like graphics come out smaller than
    // with the defaults; a page of text on white loses most, a few dozen kilobytes.
    // Palette images (and bit depths below 8) gain nothing from filters, as libpng's own
    // rule says, and their repeated patterns are what dictionary matching is for:
    // level 6.
    if (job.colorType == PNG_COLOR_TYPE_PALETTE) {
        job.filters = PNG_FILTER_NONE;
    } else {
        job.filters = PNG_FILTER_PAETH;
        job.level = 1;
        job.strategy = Z_RLE;
    }
}

} // namespace

std::string encodePng(const Bitmap& bitmap) {
    detail::checkBitmap(bitmap);
    PngJob job;
    job.bitmap = &bitmap;
    plan(bitmap, job);
    double dpiX = 0, dpiY = 0;
    if (detail::resolutionOf(bitmap, dpiX, dpiY)) {
        job.physical = true;
        job.pixelsPerMetreX = png_uint_32(std::min(std::lround(dpiX / 0.0254), 0x7FFFFFFFL));
        job.pixelsPerMetreY = png_uint_32(std::min(std::lround(dpiY / 0.0254), 0x7FFFFFFFL));
    }
    const bool grey = job.colorType == PNG_COLOR_TYPE_GRAY;
    if (detail::iccProfileFits(bitmap.iccProfile, grey ? "GRAY" : "RGB ")) {
        job.icc = reinterpret_cast<const png_byte*>(bitmap.iccProfile.data());
        job.iccSize = png_uint_32(bitmap.iccProfile.size());
    }

    std::string out;
    job.out = &out;
    std::unique_ptr<PngWriteStructs, DestroyPngWrite> structs(new PngWriteStructs);
    structs->png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &job, onPngError, onPngWarning);
    if (!structs->png)
        throw std::bad_alloc();
    structs->info = png_create_info_struct(structs->png);
    if (!structs->info)
        throw std::bad_alloc();
    if (!runWrite(structs->png, structs->info, &job)) {
        if (job.outOfMemory || std::strcmp(job.message, "Insufficient memory") == 0)
            throw std::bad_alloc();
        throw ImagingError(ImagingError::Io,
                           std::string("the PNG file could not be written (") + job.message + ")");
    }
    return out;
}

} // namespace folimo::imaging
