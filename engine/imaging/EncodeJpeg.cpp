#include "Codecs.h"
#include "Quantize.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include <jerror.h>
#include <jpeglib.h>

namespace folimo::imaging {

namespace {

using detail::load16;
using detail::overWhite;
using detail::to8;

// libjpeg rather than TurboJPEG: TurboJPEG 2.1 cannot write the JFIF density. Both run
// the same SIMD code, and jpeg_write_scanlines takes row pointers, so rows that need no
// conversion go in straight from the bitmap.
constexpr int kBatchRows = 16; // two MCU rows at 4:2:0

struct JpegJob;
using ConvertRows = void (*)(const JpegJob& job, int y, int rows);

// Plain data only: runCompress longjmps over nothing that has a destructor.
struct JpegJob {
    std::jmp_buf jump;
    jpeg_error_mgr errors;
    char message[JMSG_LENGTH_MAX];

    const Bitmap* bitmap = nullptr;
    int components = 3;
    int quality = 75;
    bool densityInInches = false;
    unsigned densityX = 1, densityY = 1;
    const std::uint8_t* icc = nullptr;
    unsigned iccSize = 0;

    ConvertRows convert = nullptr;   // null: the bitmap's rows are used as they are
    std::uint8_t* scratch = nullptr; // kBatchRows rows of width * components bytes
    std::uint8_t* indices = nullptr; // width bytes, for unpacking indexed rows
    std::uint8_t lut[256 * 3] = {};  // palette over white, grey or RGB by `components`

    unsigned char* out = nullptr;
    unsigned long outSize = 0;
};

void onJpegError(j_common_ptr cinfo) {
    auto* job = static_cast<JpegJob*>(cinfo->client_data);
    (*cinfo->err->format_message)(cinfo, job->message);
    std::longjmp(job->jump, 1);
}

void onJpegMessage(j_common_ptr, int) {}

std::uint8_t* scratchRow(const JpegJob& job, int i) {
    return job.scratch +
           std::size_t(i) * std::size_t(job.bitmap->width) * std::size_t(job.components);
}

void convertGrey16(const JpegJob& job, int y, int rows) {
    const Bitmap& b = *job.bitmap;
    for (int i = 0; i < rows; ++i) {
        const std::uint8_t* in = b.row(y + i);
        std::uint8_t* out = scratchRow(job, i);
        for (int x = 0; x < b.width; ++x)
            out[x] = to8(load16(in + 2 * std::size_t(x)));
    }
}

void convertIndexed(const JpegJob& job, int y, int rows) {
    const Bitmap& b = *job.bitmap;
    for (int i = 0; i < rows; ++i) {
        detail::unpackIndices(b, y + i, job.indices);
        std::uint8_t* out = scratchRow(job, i);
        if (job.components == 1) {
            for (int x = 0; x < b.width; ++x)
                out[x] = job.lut[job.indices[x]];
        } else {
            for (std::size_t x = 0; x < std::size_t(b.width); ++x)
                std::memcpy(out + 3 * x, job.lut + 3 * std::size_t(job.indices[x]), 3);
        }
    }
}

void convertRgba32(const JpegJob& job, int y, int rows) {
    const Bitmap& b = *job.bitmap;
    for (int i = 0; i < rows; ++i) {
        const std::uint8_t* in = b.row(y + i);
        std::uint8_t* out = scratchRow(job, i);
        for (std::size_t x = 0; x < std::size_t(b.width); ++x, in += 4, out += 3) {
            const unsigned a = in[3];
            if (a == 255) {
                out[0] = in[0], out[1] = in[1], out[2] = in[2];
            } else {
                out[0] = overWhite(in[0], a);
                out[1] = overWhite(in[1], a);
                out[2] = overWhite(in[2], a);
            }
        }
    }
}

void convertRgb48(const JpegJob& job, int y, int rows) {
    const Bitmap& b = *job.bitmap;
    for (int i = 0; i < rows; ++i) {
        const std::uint8_t* in = b.row(y + i);
        std::uint8_t* out = scratchRow(job, i);
        for (std::size_t s = 0; s < 3 * std::size_t(b.width); ++s)
            out[s] = to8(load16(in + 2 * s));
    }
}

void convertRgba64(const JpegJob& job, int y, int rows) {
    const Bitmap& b = *job.bitmap;
    constexpr std::uint64_t kFull = 65535;
    for (int i = 0; i < rows; ++i) {
        const std::uint8_t* in = b.row(y + i);
        std::uint8_t* out = scratchRow(job, i);
        for (std::size_t x = 0; x < std::size_t(b.width); ++x, in += 8, out += 3) {
            const std::uint64_t a = load16(in + 6);
            for (int c = 0; c < 3; ++c) {
                // Composited and reduced in one rounding: c a + white (1 - a), to 0..255.
                const std::uint64_t over = load16(in + 2 * c) * a + kFull * (kFull - a);
                out[c] = std::uint8_t((over * 255 + kFull * kFull / 2) / (kFull * kFull));
            }
        }
    }
}

// The three functions that call setjmp; nothing in them has a destructor.
bool startCompress(jpeg_compress_struct* cinfo, JpegJob* job, int width, int height) {
    if (setjmp(job->jump))
        return false;
    jpeg_create_compress(cinfo);
    jpeg_mem_dest(cinfo, &job->out, &job->outSize);
    cinfo->image_width = JDIMENSION(width);
    cinfo->image_height = JDIMENSION(height);
    cinfo->input_components = job->components;
    cinfo->in_color_space = job->components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, job->quality, TRUE);
    if (job->components == 3) {
        const int factor = jpegSubsamplesColour(job->quality) ? 2 : 1;
        cinfo->comp_info[0].h_samp_factor = factor;
        cinfo->comp_info[0].v_samp_factor = factor;
    }
    // Huffman tables stay the standard ones, as TurboJPEG leaves them: optimised tables
    // save about 8% but take a second pass that triples the time.
    cinfo->write_JFIF_header = TRUE;
    cinfo->density_unit = job->densityInInches ? 1 : 0;
    cinfo->X_density = UINT16(job->densityX);
    cinfo->Y_density = UINT16(job->densityY);
    jpeg_start_compress(cinfo, TRUE);
    if (job->icc)
        jpeg_write_icc_profile(cinfo, job->icc, job->iccSize);
    return true;
}

// Rows 0 to count of job->bitmap, the next ones of the picture.
bool writeRows(jpeg_compress_struct* cinfo, JpegJob* job, int count) {
    if (setjmp(job->jump))
        return false;
    const Bitmap& b = *job->bitmap;
    JSAMPROW rows[kBatchRows];
    for (int y = 0; y < count; y += kBatchRows) {
        const int n = std::min(kBatchRows, count - y);
        if (job->convert) {
            job->convert(*job, y, n);
            for (int i = 0; i < n; ++i)
                rows[i] = scratchRow(*job, i);
        } else {
            for (int i = 0; i < n; ++i)
                rows[i] = const_cast<JSAMPROW>(b.row(y + i)); // libjpeg only reads them
        }
        jpeg_write_scanlines(cinfo, rows, JDIMENSION(n));
    }
    return true;
}

bool finishCompress(jpeg_compress_struct* cinfo, JpegJob* job) {
    if (setjmp(job->jump))
        return false;
    jpeg_finish_compress(cinfo);
    return true;
}

struct DestroyCompress {
    void operator()(jpeg_compress_struct* cinfo) const noexcept {
        jpeg_destroy_compress(cinfo);
        delete cinfo;
    }
};

struct Free {
    void operator()(void* p) const noexcept { std::free(p); }
};

// Chooses how rows reach libjpeg: straight from the bitmap, or through a converter.
// Without the whole picture at hand every palette entry counts as used.
void plan(const Bitmap& b, JpegJob& job, bool wholePicture) {
    switch (b.format) {
    case PixelFormat::Gray8:
        job.components = 1;
        break;
    case PixelFormat::Gray16:
        job.components = 1;
        job.convert = convertGrey16;
        break;
    case PixelFormat::Rgb24:
        job.components = 3;
        break;
    case PixelFormat::Rgba32:
        job.components = 3;
        job.convert = convertRgba32;
        break;
    case PixelFormat::Rgb48:
        job.components = 3;
        job.convert = convertRgb48;
        break;
    case PixelFormat::Rgba64:
        job.components = 3;
        job.convert = convertRgba64;
        break;
    case PixelFormat::Indexed1:
    case PixelFormat::Indexed4:
    case PixelFormat::Indexed8: {
        std::array<bool, 256> used;
        used.fill(true);
        if (wholePicture)
            used = detail::usedIndices(b);
        const auto palette = detail::fullPalette(b);
        bool grey = true, ramp = true;
        for (unsigned i = 0; i < 256; ++i) {
            const std::uint32_t c = palette[i];
            const unsigned a = c >> 24;
            const std::uint8_t r = overWhite(c >> 16 & 255, a), g = overWhite(c >> 8 & 255, a),
                               bl = overWhite(c & 255, a);
            job.lut[3 * i] = r, job.lut[3 * i + 1] = g, job.lut[3 * i + 2] = bl;
            if (used[i]) {
                grey = grey && r == g && g == bl;
                ramp = ramp && grey && r == i;
            }
        }
        // Any palette of greys (not only a ramp) makes a one-component JPEG: a third of
        // the samples, and no chance of a colour cast.
        job.components = grey ? 1 : 3;
        if (grey) {
            for (unsigned i = 0; i < 256; ++i)
                job.lut[i] = job.lut[3 * i];
        }
        if (!(grey && ramp && b.format == PixelFormat::Indexed8))
            job.convert = convertIndexed;
        break;
    }
    }
}

} // namespace

bool jpegSubsamplesColour(int quality) {
    // Below 90 the quantisation already costs more detail than halving the colour
    // resolution does, and 4:2:0 saves about a third of the data and the time. At 90
    // and above the caller asks for fidelity, and subsampling would smear coloured
    // edges (text, line art) far more than the quantisation.
    return quality < 90;
}

struct JpegEncoder::State {
    JpegJob job;
    std::vector<std::uint8_t> scratch, indices;
    std::unique_ptr<unsigned char, Free> initial;
    std::unique_ptr<jpeg_compress_struct, DestroyCompress> cinfo;
    std::string iccProfile;

    [[noreturn]] void fail() {
        if (job.errors.msg_code == JERR_OUT_OF_MEMORY)
            throw std::bad_alloc();
        throw ImagingError(ImagingError::Io,
                           std::string("the JPEG file could not be written (") + job.message + ")");
    }
    // libjpeg leaves a buffer it grew for the caller to free.
    ~State() {
        if (job.out != initial.get())
            std::free(job.out);
    }
};

JpegEncoder::JpegEncoder(const Bitmap& shape, int height, int quality)
    : state_(std::make_unique<State>()) {
    if (shape.width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION)
        throw ImagingError(ImagingError::Unsupported,
                           "a JPEG image cannot be larger than 65500 x 65500 pixels");
    JpegJob& job = state_->job;
    height_ = height;
    job.quality = quality == 0 ? 75 : std::clamp(quality, 1, 100);
    double dpiX = 0, dpiY = 0;
    if (detail::resolutionOf(shape, dpiX, dpiY)) {
        job.densityInInches = true;
        job.densityX = unsigned(std::clamp(std::lround(dpiX), 1L, 65535L));
        job.densityY = unsigned(std::clamp(std::lround(dpiY), 1L, 65535L));
    }
    job.bitmap = &shape;
    plan(shape, job, shape.height == height);
    job.bitmap = nullptr;
    // APP2 markers carry a profile in at most 255 pieces of 65519 bytes.
    constexpr std::size_t kMaxIcc = 255 * std::size_t(65519);
    if (detail::iccProfileFits(shape.iccProfile, job.components == 1 ? "GRAY" : "RGB ") &&
        shape.iccProfile.size() <= kMaxIcc) {
        state_->iccProfile = shape.iccProfile;
        job.icc = reinterpret_cast<const std::uint8_t*>(state_->iccProfile.data());
        job.iccSize = unsigned(state_->iccProfile.size());
    }

    const std::size_t rowBytes = std::size_t(shape.width) * std::size_t(job.components);
    if (job.convert) {
        state_->scratch.resize(rowBytes * kBatchRows);
        job.scratch = state_->scratch.data();
    }
    if (isIndexed(shape.format)) {
        state_->indices.resize(std::size_t(shape.width));
        job.indices = state_->indices.data();
    }

    // A first guess at the output size spares libjpeg growing its buffer step by step;
    // pages never written to cost nothing.
    const std::size_t guess =
        std::min<std::size_t>(rowBytes * std::size_t(height) / 2 + 65536, 1u << 30);
    state_->initial.reset(static_cast<unsigned char*>(std::malloc(guess)));
    job.out = state_->initial.get();
    job.outSize = state_->initial ? guess : 0;

    state_->cinfo.reset(new jpeg_compress_struct{});
    jpeg_compress_struct* cinfo = state_->cinfo.get();
    cinfo->err = jpeg_std_error(&job.errors);
    job.errors.error_exit = onJpegError;
    job.errors.emit_message = onJpegMessage;
    cinfo->client_data = &job;
    if (!startCompress(cinfo, &job, shape.width, height))
        state_->fail();
}

JpegEncoder::~JpegEncoder() = default;

void JpegEncoder::write(const Bitmap& rows, int count) {
    JpegJob& job = state_->job;
    count = std::min(count, height_ - written_);
    job.bitmap = &rows;
    const bool ok = writeRows(state_->cinfo.get(), &job, count);
    job.bitmap = nullptr;
    if (!ok)
        state_->fail();
    written_ += count;
}

std::string JpegEncoder::finish() {
    JpegJob& job = state_->job;
    if (written_ != height_ || !finishCompress(state_->cinfo.get(), &job))
        state_->fail();
    return std::string(reinterpret_cast<const char*>(job.out), job.outSize);
}

std::string encodeJpeg(const Bitmap& bitmap, int quality) {
    detail::checkBitmap(bitmap);
    JpegEncoder encoder(bitmap, bitmap.height, quality);
    encoder.write(bitmap, bitmap.height);
    return encoder.finish();
}

} // namespace folimo::imaging
