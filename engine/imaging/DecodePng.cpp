// PNG through libpng's classic interface, which keeps palettes and 16-bit samples as
// they are (the simplified interface would expand or reduce them).
//
// libpng reports errors by longjmp. Everything that can longjmp happens inside
// runPng, a C-style function with nothing to destroy; the pixel memory is handed to
// it through a callback that catches its own exceptions.
#include "Codecs.h"
#include "DecodeSupport.h"
#include "PngChunks.h"

#include <png.h>

#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace folimo::imaging {

namespace {
using detail::Chunk;
using detail::ChunkWalk;
using detail::kIDAT;
using detail::pngDamaged;
using detail::walkChunks;
using Bytes = std::span<const std::uint8_t>;

// Far above any real profile or text chunk.
constexpr png_alloc_size_t kMaxPngChunkBytes = 64u << 20;

// libpng allocates a text chunk's declared length before reading it, whatever limit it
// is given, so a 100-byte file claiming a 2 GB chunk would exhaust memory. The whole
// file is at hand: a chunk longer than what is left ends the data libpng sees there.
// Before the first image data that is a damaged file; after it, only a damaged tail.
std::size_t usablePngSize(Bytes bytes) {
    bool imageData = false;
    const ChunkWalk walk =
        walkChunks(bytes, [&](const Chunk& c) { imageData = imageData || c.type == kIDAT; });
    // A file too short for a chunk's length and type is libpng's to report.
    if (!walk.cut || !walk.framed)
        return bytes.size();
    const bool isIdat = walk.type == kIDAT;
    if (!imageData && !isIdat)
        throw ImagingError(ImagingError::Damaged,
                           "the PNG file is damaged: a chunk runs past its end");
    return isIdat ? bytes.size() : walk.end;
}

// Shared with runPng and libpng's callbacks, so plain data only.
struct PngJob {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t position;
    char message[256];
    png_uint_32 width;
    png_uint_32 height;
    int colorType; // as in the file
    int bitDepth;  // as in the file
    PixelFormat format;
    int imageDone;
    png_structp png;
    png_infop info;
    // Makes the bitmap and returns one pointer a row, or null (then failure is set).
    png_bytepp (*allocate)(PngJob* job);
    // In bands: rows come this many at a time, each band handed to `band` (0: whole).
    png_uint_32 bandRows;
    int interlaced;                             // set when bands cannot be had
    int (*band)(PngJob* job, png_uint_32 rows); // 0 to stop (then failure is set)
    void* owner;
    // Samples as the file stores them (decodePngStoredRows); an interlaced file then
    // comes whole, in one band.
    int stored;
    int transparencyToAlpha;
};

void pngError(png_structp png, png_const_charp message) {
    auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
    std::snprintf(job->message, sizeof job->message, "%s", message);
    png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp) {}

void pngRead(png_structp png, png_bytep out, png_size_t count) {
    auto* job = static_cast<PngJob*>(png_get_io_ptr(png));
    if (count > job->size - job->position)
        png_error(png, "the file ends too early");
    std::memcpy(out, job->data + job->position, count);
    job->position += count;
}

// Chooses the transforms that give `job->format`. Palette stays palette (1 and 4 bits
// packed as they are, 2 bits unpacked to bytes); 1-bit grey becomes a two-entry
// palette, which keeps scans small; a tRNS colour key becomes an alpha channel.
void setTransforms(png_structp png, png_infop info, PngJob* job) {
    if (job->stored) {
        if (job->transparencyToAlpha) {
            png_set_palette_to_rgb(png); // only acts on palette images
            png_set_tRNS_to_alpha(png);
        }
        png_set_interlace_handling(png);
        return;
    }
    const int type = job->colorType, depth = job->bitDepth;
    const bool key = type != PNG_COLOR_TYPE_PALETTE && png_get_valid(png, info, PNG_INFO_tRNS);
    const bool wide = depth == 16;
    if (type == PNG_COLOR_TYPE_PALETTE) {
        if (depth == 2)
            png_set_packing(png);
        job->format = depth == 1   ? PixelFormat::Indexed1
                      : depth == 4 ? PixelFormat::Indexed4
                                   : PixelFormat::Indexed8;
    } else if (type == PNG_COLOR_TYPE_GRAY && depth == 1) {
        job->format = PixelFormat::Indexed1;
    } else if (type == PNG_COLOR_TYPE_GRAY && !key) {
        if (depth < 8)
            png_set_expand_gray_1_2_4_to_8(png);
        job->format = wide ? PixelFormat::Gray16 : PixelFormat::Gray8;
    } else if (type == PNG_COLOR_TYPE_RGB && !key) {
        job->format = wide ? PixelFormat::Rgb48 : PixelFormat::Rgb24;
    } else {
        // Grey with a key, grey + alpha, RGB with a key, RGBA.
        if (key)
            png_set_tRNS_to_alpha(png);
        if (type == PNG_COLOR_TYPE_GRAY && depth < 8)
            png_set_expand_gray_1_2_4_to_8(png);
        if (!(type & PNG_COLOR_MASK_COLOR))
            png_set_gray_to_rgb(png);
        job->format = wide ? PixelFormat::Rgba64 : PixelFormat::Rgba32;
    }
    if (wide && std::endian::native == std::endian::little)
        png_set_swap(png);
    png_set_interlace_handling(png);
}

// The header and the transforms that follow from it. libpng may longjmp out of here to
// the caller's setjmp, which nothing here with a destructor stands in the way of.
void readHeader(png_structp png, png_infop info, PngJob* job) {
    png_read_info(png, info);
    job->width = png_get_image_width(png, info);
    job->height = png_get_image_height(png, info);
    job->colorType = png_get_color_type(png, info);
    job->bitDepth = png_get_bit_depth(png, info);
    setTransforms(png, info, job);
}

// Returns 1 when the image was read (a damaged tail after the last row does not
// matter, except to a caller of stored rows, who refuses a file it would not pass
// through whole), 0 with job->message set otherwise.
int runPng(png_structp png, png_infop info, PngJob* job) {
    if (setjmp(png_jmpbuf(png)))
        return job->stored ? 0 : job->imageDone;
    readHeader(png, info, job);
    png_read_update_info(png, info);
    // Each pass of an interlaced image fills in part of every row.
    if (job->bandRows && png_get_interlace_type(png, info) != PNG_INTERLACE_NONE) {
        if (!job->stored) {
            job->interlaced = 1;
            return 0;
        }
        job->bandRows = 0;
    }
    png_bytepp rows = job->allocate(job);
    if (!rows)
        return 0;
    if (!job->bandRows) {
        png_read_image(png, rows);
        if (job->band && !job->band(job, job->height))
            return 0;
    } else {
        for (png_uint_32 y = 0; y < job->height;) {
            const png_uint_32 n = std::min(job->bandRows, job->height - y);
            png_read_rows(png, rows, nullptr, n);
            if (!job->band(job, n))
                return 0;
            y += n;
        }
    }
    job->imageDone = 1;
    png_read_end(png, nullptr);
    return 1;
}

struct PngOwner {
    const Limits* limits;
    Bitmap bitmap;
    std::vector<png_bytep> rows;
    std::exception_ptr failure;
    const std::function<void(const Bitmap&, int, int)>* onBand;
};

void describe(png_structp png, png_infop info, const PngJob& job, Bitmap& b);

png_bytepp allocateRows(PngJob* job) {
    auto* owner = static_cast<PngOwner*>(job->owner);
    try {
        const int width = int(std::min<png_uint_32>(job->width, 0x7FFFFFFF));
        const int height = int(std::min<png_uint_32>(job->height, 0x7FFFFFFF));
        // A band is judged by the whole picture's pixels, and by its own memory.
        if (job->bandRows &&
            std::uint64_t(width) * std::uint64_t(height) > owner->limits->maxPixels)
            throw ImagingError(ImagingError::TooLarge, "the image is too large (" +
                                                           std::to_string(width) + " x " +
                                                           std::to_string(height) + " pixels)");
        const int rows = job->bandRows ? int(std::min(job->bandRows, job->height)) : height;
        owner->bitmap = Bitmap::create(width, rows, job->format, *owner->limits);
        describe(job->png, job->info, *job, owner->bitmap);
        owner->rows.resize(std::size_t(owner->bitmap.height));
        for (int y = 0; y < owner->bitmap.height; ++y)
            owner->rows[std::size_t(y)] = owner->bitmap.row(y);
        return owner->rows.data();
    } catch (...) {
        owner->failure = std::current_exception();
        return nullptr;
    }
}

int handBand(PngJob* job, png_uint_32 rows) {
    auto* owner = static_cast<PngOwner*>(job->owner);
    try {
        (*owner->onBand)(owner->bitmap, int(rows), int(job->height));
        return 1;
    } catch (...) {
        owner->failure = std::current_exception();
        return 0;
    }
}

struct ReadStructDeleter {
    void operator()(png_struct* png) const noexcept {
        png_destroy_read_struct(&png, nullptr, nullptr);
    }
};
struct InfoDeleter {
    png_struct* png;
    void operator()(png_info* info) const noexcept { png_destroy_info_struct(png, &info); }
};

std::uint32_t grey(unsigned v) {
    return 0xFF000000u | v << 16 | v << 8 | v;
}

void readPalette(png_structp png, png_infop info, const PngJob& job, Bitmap& b) {
    if (job.colorType == PNG_COLOR_TYPE_GRAY) { // the 1-bit case
        b.palette = {grey(0), grey(255)};
        png_color_16p key = nullptr;
        if (png_get_tRNS(png, info, nullptr, nullptr, &key) && key && key->gray <= 1)
            b.palette[key->gray] &= 0x00FFFFFFu;
        return;
    }
    png_colorp colours = nullptr;
    int count = 0;
    if (!png_get_PLTE(png, info, &colours, &count) || !colours)
        throw ImagingError(ImagingError::Damaged, "the PNG file has no palette");
    png_bytep alphas = nullptr;
    int alphaCount = 0;
    png_get_tRNS(png, info, &alphas, &alphaCount, nullptr);
    for (int i = 0; i < count; ++i) {
        std::uint32_t a = alphas && i < alphaCount ? alphas[i] : 255;
        b.palette.push_back(a << 24 | std::uint32_t(colours[i].red) << 16 |
                            std::uint32_t(colours[i].green) << 8 | colours[i].blue);
    }
}

// What the file says of the picture beside its pixels: all of it comes before them.
void describe(png_structp png, png_infop info, const PngJob& job, Bitmap& b) {
    if (isIndexed(b.format))
        readPalette(png, info, job, b);
    png_uint_32 resX = 0, resY = 0;
    int unit = 0;
    if (png_get_pHYs(png, info, &resX, &resY, &unit) && unit == PNG_RESOLUTION_METER) {
        b.dpiX = support::dpiFromPixelsPerMetre(resX);
        b.dpiY = support::dpiFromPixelsPerMetre(resY);
    }
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 profileSize = 0;
    if (png_get_iCCP(png, info, &name, &compression, &profile, &profileSize) && profile)
        b.iccProfile.assign(reinterpret_cast<const char*>(profile), profileSize);
}

// libpng's reader over job's bytes, set up alike for decoding and for probing.
struct PngHandles {
    std::unique_ptr<png_struct, ReadStructDeleter> png;
    std::unique_ptr<png_info, InfoDeleter> info{nullptr, InfoDeleter{nullptr}};

    explicit PngHandles(PngJob& job) {
        png.reset(png_create_read_struct(PNG_LIBPNG_VER_STRING, &job, pngError, pngWarning));
        if (!png)
            throw std::bad_alloc();
        info = std::unique_ptr<png_info, InfoDeleter>(png_create_info_struct(png.get()),
                                                      InfoDeleter{png.get()});
        if (!info)
            throw std::bad_alloc();
        job.png = png.get();
        job.info = info.get();
        png_set_read_fn(png.get(), &job, pngRead);
        // Size is for Limits to judge, with the message that goes with it.
        png_set_user_limits(png.get(), 0x7FFFFFFF, 0x7FFFFFFF);
        // libpng allocates an ancillary chunk's declared length before reading it: a
        // 100-byte file claiming a 2 GB text chunk must fail, not exhaust memory.
        png_set_chunk_malloc_max(png.get(), kMaxPngChunkBytes);
        png_set_crc_action(png.get(), PNG_CRC_DEFAULT, PNG_CRC_WARN_DISCARD);
    }
};

// The chunks before the image data only, as runPng reads them; 1 when they were read,
// 0 with job->message set otherwise.
int runPngHeader(png_structp png, png_infop info, PngJob* job) {
    if (setjmp(png_jmpbuf(png)))
        return 0;
    readHeader(png, info, job);
    return 1;
}

// Whole (bandRows 0) or in bands; false when bands were asked of an interlaced file.
bool readPng(std::span<const std::uint8_t> bytes, const Limits& limits, png_uint_32 bandRows,
             const std::function<void(const Bitmap&, int, int)>* onBand, Bitmap* whole) {
    PngOwner owner{&limits, {}, {}, nullptr, onBand};
    PngJob job{};
    job.data = bytes.data();
    job.size = usablePngSize(bytes);
    job.allocate = allocateRows;
    job.bandRows = bandRows;
    job.band = bandRows ? handBand : nullptr;
    job.owner = &owner;

    PngHandles handles(job);
    if (!runPng(job.png, job.info, &job)) {
        if (job.interlaced)
            return false;
        if (owner.failure)
            std::rethrow_exception(owner.failure);
        throw ImagingError(ImagingError::Damaged,
                           std::string("the PNG file is damaged: ") + job.message);
    }
    if (whole)
        *whole = std::move(owner.bitmap);
    return true;
}

// Splits a row of interleaved colour+alpha pixels: the colour stays at the front of
// `row` at its own depth, the alpha goes to `alpha` as 8-bit samples.
void splitAlpha(std::uint8_t* row, std::size_t width, int channels, int depth, std::uint8_t* alpha,
                bool& translucent) {
    const std::size_t sampleBytes = depth / 8;
    const std::size_t pixelBytes = sampleBytes * channels;
    const std::size_t colorBytes = pixelBytes - sampleBytes;
    if (sampleBytes == 1) {
        // The common case, a byte at a time: a call per pixel would cost more than the
        // split itself.
        unsigned all = 0xFF;
        for (std::size_t i = 0; i < width; ++i) {
            const std::uint8_t* src = row + i * pixelBytes;
            std::uint8_t* dst = row + i * colorBytes;
            for (std::size_t c = 0; c < colorBytes; ++c)
                dst[c] = src[c];
            alpha[i] = src[colorBytes];
            all &= src[colorBytes];
        }
        translucent |= all != 0xFF;
        return;
    }
    for (std::size_t i = 0; i < width; ++i) {
        const std::uint8_t* src = row + i * pixelBytes;
        const unsigned a16 = unsigned(src[colorBytes]) << 8 | src[colorBytes + 1];
        translucent |= a16 != 0xFFFF;
        alpha[i] = std::uint8_t((a16 * 255 + 32767) / 65535);
        // Forward order never overwrites a pixel not yet read: colorBytes < pixelBytes.
        std::memmove(row + i * colorBytes, src, colorBytes);
    }
}

struct StoredOwner {
    const Limits* limits;
    const PngStoredRows* shape;
    const PngRowSink* onRow;
    std::vector<std::uint8_t> pixels;
    std::vector<png_bytep> rows;
    std::vector<std::uint8_t> alpha;
    bool split = false;
    bool translucent = false;
    std::exception_ptr failure;
};

png_bytepp allocateStoredRows(PngJob* job) {
    auto* owner = static_cast<StoredOwner*>(job->owner);
    try {
        // The caller chose the transforms for the layout it expects from the header it
        // read; a file that decodes otherwise is confused.
        if (png_get_channels(job->png, job->info) != owner->shape->channels ||
            png_get_bit_depth(job->png, job->info) != owner->shape->bitDepth)
            pngDamaged("unexpected decoded layout");
        const std::size_t rowBytes = png_get_rowbytes(job->png, job->info);
        const std::size_t count =
            job->bandRows ? std::min(job->bandRows, job->height) : job->height;
        std::size_t total = 0;
        if (__builtin_mul_overflow(rowBytes, count, &total) || total > owner->limits->maxBytes)
            throw ImagingError(ImagingError::TooLarge,
                               "the image of " + std::to_string(job->width) + " x " +
                                   std::to_string(job->height) + " pixels needs more than the " +
                                   byteCount(owner->limits->maxBytes) +
                                   " of memory allowed for one image");
        owner->pixels.resize(total);
        owner->rows.resize(count);
        for (std::size_t y = 0; y < count; ++y)
            owner->rows[y] = owner->pixels.data() + y * rowBytes;
        owner->split = png_get_color_type(job->png, job->info) & PNG_COLOR_MASK_ALPHA;
        owner->alpha.resize(owner->split ? job->width : 0);
        return owner->rows.data();
    } catch (...) {
        owner->failure = std::current_exception();
        return nullptr;
    }
}

int handStoredRows(PngJob* job, png_uint_32 count) {
    auto* owner = static_cast<StoredOwner*>(job->owner);
    try {
        std::uint8_t* alpha = owner->split ? owner->alpha.data() : nullptr;
        for (png_uint_32 y = 0; y < count; ++y) {
            if (alpha)
                splitAlpha(owner->rows[y], job->width, owner->shape->channels,
                           owner->shape->bitDepth, alpha, owner->translucent);
            (*owner->onRow)(owner->rows[y], alpha);
        }
        return 1;
    } catch (...) {
        owner->failure = std::current_exception();
        return 0;
    }
}

} // namespace

Bitmap decodePng(std::span<const std::uint8_t> bytes, const Limits& limits) {
    Bitmap b;
    readPng(bytes, limits, 0, nullptr, &b);
    return b;
}

std::optional<PictureInfo> probePng(std::span<const std::uint8_t> bytes, const Limits& limits) {
    PngJob job{};
    job.data = bytes.data();
    job.size = usablePngSize(bytes);
    PngHandles handles(job);
    if (!runPngHeader(job.png, job.info, &job))
        throw ImagingError(ImagingError::Damaged,
                           std::string("the PNG file is damaged: ") + job.message);
    const int width = int(std::min<png_uint_32>(job.width, 0x7FFFFFFF));
    const int height = int(std::min<png_uint_32>(job.height, 0x7FFFFFFF));
    Bitmap::checkSize(width, height, job.format, limits);
    // describe() without the palette and profile, which only decoding needs.
    PictureInfo info{width, height, 0, 0, bitsPerPixel(job.format)};
    png_uint_32 resX = 0, resY = 0;
    int unit = 0;
    if (png_get_pHYs(job.png, job.info, &resX, &resY, &unit) && unit == PNG_RESOLUTION_METER) {
        info.dpiX = support::dpiFromPixelsPerMetre(resX);
        info.dpiY = support::dpiFromPixelsPerMetre(resY);
    }
    return info;
}

bool decodePngInBands(std::span<const std::uint8_t> bytes, int bandRows,
                      const std::function<void(const Bitmap& band, int rows, int height)>& onBand,
                      const Limits& limits) {
    return readPng(bytes, limits, png_uint_32(std::max(bandRows, 1)), &onBand, nullptr);
}

bool decodePngStoredRows(std::span<const std::uint8_t> bytes, const PngStoredRows& shape,
                         const PngRowSink& onRow, const Limits& limits) {
    StoredOwner owner{&limits, &shape, &onRow, {}, {}, {}, false, false, nullptr};
    PngJob job{};
    job.data = bytes.data();
    job.size = usablePngSize(bytes);
    job.allocate = allocateStoredRows;
    job.bandRows = 16;
    job.band = handStoredRows;
    job.owner = &owner;
    job.stored = 1;
    job.transparencyToAlpha = shape.transparencyToAlpha;

    PngHandles handles(job);
    if (!runPng(job.png, job.info, &job)) {
        if (owner.failure)
            std::rethrow_exception(owner.failure);
        pngDamaged(job.message);
    }
    return owner.translucent;
}

} // namespace folimo::imaging
