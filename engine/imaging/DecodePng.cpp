// PNG through libpng's classic interface, which keeps palettes and 16-bit samples as
// they are (the simplified interface would expand or reduce them).
//
// libpng reports errors by longjmp. Everything that can longjmp happens inside
// runPng, a C-style function with nothing to destroy; the pixel memory is handed to
// it through a callback that catches its own exceptions.
#include "Codecs.h"
#include "DecodeSupport.h"

#include <png.h>

#include <bit>
#include <csetjmp>
#include <cstring>
#include <algorithm>
#include <exception>
#include <functional>
#include <string>
#include <memory>
#include <vector>

namespace folimo::imaging {

namespace {
// Far above any real profile or text chunk.
constexpr png_alloc_size_t kMaxPngChunkBytes = 64u << 20;

std::uint32_t chunkLength(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           p[3];
}

// libpng allocates a text chunk's declared length before reading it, whatever limit it
// is given, so a 100-byte file claiming a 2 GB chunk would exhaust memory. The whole
// file is at hand: a chunk longer than what is left ends the data libpng sees there.
// Before the first image data that is a damaged file; after it, only a damaged tail.
std::size_t usablePngSize(std::span<const std::uint8_t> bytes) {
    std::size_t pos = 8;
    bool imageData = false;
    while (pos + 8 <= bytes.size()) {
        std::uint32_t length = chunkLength(bytes.data() + pos);
        bool isIdat = std::memcmp(bytes.data() + pos + 4, "IDAT", 4) == 0;
        if (length > bytes.size() - pos - 8) {
            if (!imageData && !isIdat)
                throw ImagingError(ImagingError::Damaged,
                                   "the PNG file is damaged: a chunk runs past its end");
            return isIdat ? bytes.size() : pos;
        }
        imageData = imageData || isIdat;
        if (std::memcmp(bytes.data() + pos + 4, "IEND", 4) == 0)
            break;
        pos += std::size_t(length) + 12;
    }
    return bytes.size();
}
} // namespace

namespace {

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
    int interlaced;                                       // set when bands cannot be had
    int (*band)(PngJob* job, png_uint_32 rows); // 0 to stop (then failure is set)
    void* owner;
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
// matter), 0 with job->message set otherwise.
int runPng(png_structp png, png_infop info, PngJob* job) {
    if (setjmp(png_jmpbuf(png)))
        return job->imageDone;
    readHeader(png, info, job);
    png_read_update_info(png, info);
    // Each pass of an interlaced image fills in part of every row.
    if (job->bandRows && png_get_interlace_type(png, info) != PNG_INTERLACE_NONE) {
        job->interlaced = 1;
        return 0;
    }
    png_bytepp rows = job->allocate(job);
    if (!rows)
        return 0;
    if (!job->bandRows) {
        png_read_image(png, rows);
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
        if (job->bandRows && std::uint64_t(width) * std::uint64_t(height) > owner->limits->maxPixels)
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
    job.band = handBand;
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
    PictureInfo info{width, height, 0, 0};
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

} // namespace folimo::imaging
