#include "ImagePlan.h"

#include "imaging/DecodeSupport.h"

#include "Deflate.h"

#include <png.h>
#include <zlib.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <optional>

namespace folimo::pdf {

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// ICC profiles of real devices stay well below this; a larger one is not worth
// inflating on a hostile file's say-so.
constexpr std::size_t kMaxIccSize = 32u << 20;

enum ColorType { kGray = 0, kRgb = 2, kPalette = 3, kGrayAlpha = 4, kRgbAlpha = 6 };

[[noreturn]] void truncated() {
    throw ImageError("the PNG file is truncated");
}

[[noreturn]] void damaged(const std::string& why) {
    throw ImageError("the PNG file is damaged (" + why + ")");
}

std::uint32_t be32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

std::uint32_t be16(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 8 | p[1];
}

constexpr std::uint32_t chunkType(const char (&name)[5]) {
    return std::uint32_t(std::uint8_t(name[0])) << 24 | std::uint32_t(std::uint8_t(name[1])) << 16 |
           std::uint32_t(std::uint8_t(name[2])) << 8 | std::uint8_t(name[3]);
}

struct Header {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int depth = 0;
    int colorType = 0;
    bool interlaced = false;
};

int channelsOf(int colorType) {
    switch (colorType) {
    case kRgb:
        return 3;
    case kGrayAlpha:
        return 2;
    case kRgbAlpha:
        return 4;
    default:
        return 1;
    }
}

bool validDepth(int colorType, int depth) {
    switch (colorType) {
    case kGray:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case kPalette:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case kRgb:
    case kGrayAlpha:
    case kRgbAlpha:
        return depth == 8 || depth == 16;
    default:
        return false;
    }
}

Header parseHeader(Bytes data) {
    if (data.size() != 13)
        damaged("bad header length");
    Header h;
    h.width = be32(&data[0]);
    h.height = be32(&data[4]);
    h.depth = data[8];
    h.colorType = data[9];
    if (h.width == 0 || h.height == 0 || h.width > 0x7FFFFFFF || h.height > 0x7FFFFFFF)
        damaged("bad image size");
    if (!validDepth(h.colorType, h.depth))
        damaged("bit depth " + std::to_string(h.depth) + " with colour type " +
                std::to_string(h.colorType));
    if (data[10] != 0 || data[11] != 0 || data[12] > 1)
        damaged("unknown compression, filter or interlace method");
    h.interlaced = data[12] == 1;
    return h;
}

// What the planner needs from the chunks. Ancillary chunks after the image data are
// ignored as libpng ignores them, so that passing through and decoding agree.
struct PngChunks {
    Header header;
    std::optional<Bytes> palette;
    std::optional<Bytes> transparency;
    std::optional<Bytes> physical;
    std::optional<Bytes> icc;
    std::vector<std::string_view> idat;
};

PngChunks readChunks(Bytes b) {
    constexpr std::uint32_t IHDR = chunkType("IHDR"), PLTE = chunkType("PLTE"),
                            IDAT = chunkType("IDAT"), IEND = chunkType("IEND"),
                            tRNS = chunkType("tRNS"), pHYs = chunkType("pHYs"),
                            iCCP = chunkType("iCCP");
    PngChunks chunks;
    const std::size_t n = b.size();
    std::size_t pos = sizeof kSignature;
    bool first = true;
    for (;;) {
        if (n - pos < 12)
            truncated();
        const std::uint32_t length = be32(&b[pos]);
        const std::uint32_t type = be32(&b[pos + 4]);
        if (length > 0x7FFFFFFF)
            damaged("bad chunk length");
        if (n - pos - 12 < length)
            truncated();
        for (int shift = 0; shift < 32; shift += 8) {
            const std::uint8_t c = std::uint8_t(type >> shift);
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
                damaged("bad chunk name");
        }
        const Bytes data = b.subspan(pos + 8, length);
        const std::string name(reinterpret_cast<const char*>(&b[pos + 4]), 4);
        const bool critical = !(type & 0x20000000);
        const bool crcOk =
            crc32_z(0, &b[pos + 4], std::size_t(length) + 4) == be32(&b[pos + 8 + length]);
        pos += 12 + std::size_t(length);
        if (!crcOk) {
            if (critical)
                damaged("checksum mismatch in " + name);
            continue; // as libpng does: a damaged ancillary chunk is dropped
        }
        if (first != (type == IHDR))
            damaged(first ? "no header" : "second header");
        first = false;
        const bool beforeData = chunks.idat.empty();
        switch (type) {
        case IHDR:
            chunks.header = parseHeader(data);
            break;
        case PLTE:
            // Only a palette image uses it; elsewhere it is a hint that libpng ignores.
            if (chunks.header.colorType != kPalette)
                break;
            if (chunks.palette || !beforeData)
                damaged("misplaced palette");
            if (data.empty() || data.size() % 3 != 0 || data.size() > 3u * 256)
                damaged("bad palette length");
            chunks.palette = data;
            break;
        case IDAT:
            chunks.idat.emplace_back(reinterpret_cast<const char*>(data.data()), data.size());
            break;
        case IEND:
            return chunks;
        case tRNS:
            // For a palette image, libpng only takes the alphas after the palette.
            if (beforeData && !chunks.transparency &&
                (chunks.header.colorType != kPalette || chunks.palette))
                chunks.transparency = data;
            break;
        case pHYs:
            if (beforeData && !chunks.physical)
                chunks.physical = data;
            break;
        case iCCP:
            if (beforeData && !chunks.icc)
                chunks.icc = data;
            break;
        default:
            if (critical)
                throw ImageError("the PNG file uses an unknown critical chunk " + name);
            break;
        }
    }
}

// Cheap checks on the compressed data, which is not inflated here: data that does not
// start like zlib data, or too little of it to hold the image even at deflate's best
// ratio (1032:1), would only fail in the viewer. The second check also stops a small
// damaged file from making the decoder allocate for a huge image.
void checkImageData(const std::vector<std::string_view>& idat, const Header& h) {
    std::uint8_t head[2];
    std::size_t have = 0;
    std::uint64_t total = 0;
    for (std::string_view part : idat) {
        total += part.size();
        for (std::size_t i = 0; i < part.size() && have < 2; ++i)
            head[have++] = std::uint8_t(part[i]);
    }
    if (have < 2)
        damaged("no image data");
    if ((head[0] & 0x0F) != 8 || (head[0] >> 4) > 7 || (head[0] * 256 + head[1]) % 31 != 0 ||
        (head[1] & 0x20))
        damaged("bad image data");
    const std::uint64_t rowBits = std::uint64_t(h.width) * channelsOf(h.colorType) * h.depth;
    std::uint64_t samples = 0;
    if (__builtin_mul_overflow((rowBits + 7) / 8, std::uint64_t(h.height), &samples) ||
        samples / 1032 > total + 64)
        truncated();
}

struct EndInflate {
    void operator()(z_stream* z) const noexcept { inflateEnd(z); }
};

// An unreadable profile costs only colour fidelity, so it is dropped, never fatal.
std::string inflateIcc(Bytes chunk) {
    std::size_t nameEnd = 0;
    while (nameEnd < chunk.size() && nameEnd < 80 && chunk[nameEnd] != 0)
        ++nameEnd;
    if (nameEnd == 0 || nameEnd >= 80 || nameEnd + 2 > chunk.size() || chunk[nameEnd + 1] != 0)
        return {};
    const Bytes packed = chunk.subspan(nameEnd + 2);

    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return {};
    std::unique_ptr<z_stream, EndInflate> owner(&z);
    z.next_in = const_cast<Bytef*>(packed.data());
    z.avail_in = uInt(packed.size());
    std::string out;
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (out.size() >= kMaxIccSize)
            return {};
        const std::size_t had = out.size();
        out.resize(std::min(kMaxIccSize, std::max<std::size_t>(4096, had * 2)));
        z.next_out = reinterpret_cast<Bytef*>(out.data() + had);
        z.avail_out = uInt(out.size() - had);
        rc = inflate(&z, Z_NO_FLUSH);
        out.resize(out.size() - z.avail_out);
        if (rc == Z_BUF_ERROR && z.avail_out == 0)
            rc = Z_OK; // only the output was full
    }
    if (rc != Z_STREAM_END)
        return {};
    return out;
}

// libpng reports errors through callbacks that longjmp; everything they touch lives
// here, in plain memory the caller owns.
struct DecodeJob {
    const std::uint8_t* input = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
    bool transparencyToAlpha = false;
    int channels = 0; // what the caller expects of the decoded rows
    int depth = 0;
    std::vector<std::uint8_t>* pixels = nullptr;
    const std::function<void(std::uint8_t*)>* onRow = nullptr;
    char message[200] = {};
};

void onPngError(png_structp png, png_const_charp message) {
    auto* job = static_cast<DecodeJob*>(png_get_error_ptr(png));
    std::snprintf(job->message, sizeof job->message, "%s", message);
    png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

void readFromMemory(png_structp png, png_bytep out, png_size_t length) {
    auto* job = static_cast<DecodeJob*>(png_get_io_ptr(png));
    if (length > job->size - job->pos)
        png_error(png, "the file is truncated");
    std::memcpy(out, job->input + job->pos, length);
    job->pos += length;
}

// Grows the caller's buffer; nullptr tells the decoder to give up.
std::uint8_t* allocatePixels(DecodeJob* job, std::size_t bytes) noexcept {
    try {
        job->pixels->resize(bytes);
        return job->pixels->data();
    } catch (...) {
        return nullptr;
    }
}

// The one place that calls setjmp: nothing here has a destructor for a longjmp to skip.
// Rows go to onRow one at a time as they are decoded; only an interlaced image, whose
// passes each fill in part of every row, is held whole first.
bool runDecode(png_structp png, png_infop info, DecodeJob* job) {
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
    // libpng allocates an ancillary chunk's declared length before reading it: a tiny
    // file claiming a 2 GB text chunk must fail, not exhaust memory.
    png_set_chunk_malloc_max(png, 64u << 20);
    png_set_read_fn(png, job, readFromMemory);
    png_read_info(png, info);
    if (job->transparencyToAlpha) {
        png_set_palette_to_rgb(png); // only acts on palette images
        png_set_tRNS_to_alpha(png);
    }
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    // libpng's transforms were chosen by the caller; anything else is a confused file.
    if (png_get_channels(png, info) != job->channels || png_get_bit_depth(png, info) != job->depth)
        png_error(png, "unexpected decoded layout");
    const std::size_t rowBytes = png_get_rowbytes(png, info);
    const std::size_t height = png_get_image_height(png, info);
    const std::size_t rows = passes > 1 ? height : 1;
    std::size_t total = 0;
    if (__builtin_mul_overflow(rowBytes, rows, &total))
        png_error(png, "image too large");
    std::uint8_t* pixels = allocatePixels(job, total);
    if (!pixels)
        png_error(png, "out of memory");
    if (passes > 1) {
        for (int pass = 0; pass < passes; ++pass)
            for (std::size_t y = 0; y < height; ++y)
                png_read_row(png, pixels + y * rowBytes, nullptr);
        for (std::size_t y = 0; y < height; ++y)
            (*job->onRow)(pixels + y * rowBytes);
    } else {
        for (std::size_t y = 0; y < height; ++y) {
            png_read_row(png, pixels, nullptr);
            (*job->onRow)(pixels);
        }
    }
    png_read_end(png, nullptr);
    return true;
}

struct PngReadStructs {
    png_structp png = nullptr;
    png_infop info = nullptr;
};

struct DestroyPngRead {
    void operator()(PngReadStructs* s) const noexcept {
        png_destroy_read_struct(&s->png, &s->info, nullptr);
        delete s;
    }
};

// Decodes to rows of `channels` samples of `depth` bits, handed to onRow in order.
// transparencyToAlpha turns tRNS into an alpha channel, expanding a palette to RGB.
void decodeRows(Bytes bytes, bool transparencyToAlpha, int channels, int depth,
                const std::function<void(std::uint8_t*)>& onRow) {
    std::vector<std::uint8_t> pixels;
    DecodeJob job;
    job.input = bytes.data();
    job.size = bytes.size();
    job.transparencyToAlpha = transparencyToAlpha;
    job.channels = channels;
    job.depth = depth;
    job.pixels = &pixels;
    job.onRow = &onRow;

    std::unique_ptr<PngReadStructs, DestroyPngRead> structs(new PngReadStructs);
    structs->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &job, onPngError, onPngWarning);
    if (!structs->png)
        throw std::bad_alloc();
    structs->info = png_create_info_struct(structs->png);
    if (!structs->info)
        throw std::bad_alloc();
    if (!runDecode(structs->png, structs->info, &job)) {
        if (std::strcmp(job.message, "out of memory") == 0)
            throw std::bad_alloc();
        damaged(job.message);
    }
}

// The plan's views must survive moves of the plan, which a short string kept in the
// object itself would not.
void setOwned(ImageStreamPlan& stream, std::string encoded) {
    stream.owned = std::move(encoded);
    if (stream.owned.capacity() < 32)
        stream.owned.reserve(32);
    stream.data.assign(1, stream.owned);
}

// Samples gathered row by row and deflated: in one call when the picture fits the
// memory budget, which is fastest, or as they come when it does not, so that a
// picture far larger decoded than in its file is never whole in memory.
class Samples {
public:
    Samples(bool streaming, std::size_t expected) {
        if (streaming)
            stream_.emplace();
        else
            whole_.reserve(expected);
    }
    void append(const std::uint8_t* p, std::size_t n) {
        if (stream_)
            stream_->write(std::string_view(reinterpret_cast<const char*>(p), n));
        else
            whole_.append(reinterpret_cast<const char*>(p), n);
    }
    std::string deflated() { return stream_ ? stream_->finish() : deflateBytes(whole_); }

private:
    std::optional<DeflateStream> stream_;
    std::string whole_;
};

// Splits a row of interleaved colour+alpha pixels: the colour stays at the front of
// `row` at its own depth, the alpha goes to `alpha` as 8-bit samples.
void splitAlpha(std::uint8_t* row, std::size_t width, int channels, int depth,
                std::uint8_t* alpha, bool& translucent) {
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
        unsigned a = src[colorBytes];
        if (sampleBytes == 2) {
            const unsigned a16 = a << 8 | src[colorBytes + 1];
            translucent |= a16 != 0xFFFF;
            a = (a16 * 255 + 32767) / 65535;
        } else {
            translucent |= a != 0xFF;
        }
        alpha[i] = std::uint8_t(a);
        // Forward order never overwrites a pixel not yet read: colorBytes < pixelBytes.
        std::memmove(row + i * colorBytes, src, colorBytes);
    }
}

std::string range(unsigned low, unsigned high) {
    return std::to_string(low) + " " + std::to_string(high);
}

} // namespace

ImagePlan planPng(Bytes bytes) {
    if (bytes.size() < sizeof kSignature || std::memcmp(bytes.data(), kSignature, 8) != 0)
        throw ImageError("not a PNG file");
    const PngChunks chunks = readChunks(bytes);
    const Header& h = chunks.header;
    checkImageData(chunks.idat, h);
    if (h.colorType == kPalette && !chunks.palette)
        throw ImageError("the PNG file has no palette for its colours");

    ImagePlan plan;
    plan.format = "png";
    ImageStreamPlan& image = plan.image;
    image.width = int(h.width);
    image.height = int(h.height);
    image.bitsPerComponent = h.depth;
    image.filter = "/FlateDecode";
    const bool gray = h.colorType == kGray || h.colorType == kGrayAlpha;
    image.colorSpace.device = gray ? "/DeviceGray" : "/DeviceRGB";

    const unsigned maxSample = (1u << h.depth) - 1;
    bool expandPalette = false;
    bool keyToAlpha = false;
    if (h.colorType == kPalette) {
        // Indices past 2^depth cannot occur, so neither can their entries.
        const std::size_t entries =
            std::min<std::size_t>(chunks.palette->size() / 3, 1u << h.depth);
        image.colorSpace.palette.assign(reinterpret_cast<const char*>(chunks.palette->data()),
                                        entries * 3);
        // A colour-key mask on an indexed image holds a single range of indices; any
        // other set of transparent entries, or partial alpha, needs a soft mask.
        if (chunks.transparency && chunks.transparency->size() <= entries) {
            const Bytes alphas = *chunks.transparency;
            int first = -1, last = -1;
            bool contiguous = true;
            for (std::size_t i = 0; i < alphas.size(); ++i) {
                if (alphas[i] == 0) {
                    if (first < 0)
                        first = int(i);
                    else if (last != int(i) - 1)
                        contiguous = false;
                    last = int(i);
                } else if (alphas[i] != 255) {
                    contiguous = false;
                }
            }
            if (!contiguous)
                expandPalette = true;
            else if (first >= 0)
                image.colorKeyMask = "[" + range(first, last) + "]";
        }
    } else if (h.colorType == kGray && chunks.transparency && chunks.transparency->size() == 2) {
        const unsigned v = be16(chunks.transparency->data());
        if (v <= maxSample)
            image.colorKeyMask = "[" + range(v, v) + "]";
    } else if (h.colorType == kRgb && chunks.transparency && chunks.transparency->size() == 6) {
        const std::uint8_t* t = chunks.transparency->data();
        const unsigned r = be16(t), g = be16(t + 2), b = be16(t + 4);
        if (r <= maxSample && g <= maxSample && b <= maxSample)
            image.colorKeyMask = "[" + range(r, r) + " " + range(g, g) + " " + range(b, b) + "]";
    }

    if (chunks.physical && chunks.physical->size() == 9 && (*chunks.physical)[8] == 1) {
        const std::uint32_t x = be32(chunks.physical->data());
        const std::uint32_t y = be32(chunks.physical->data() + 4);
        if (x > 0 && y > 0) {
            // The imaging service's reading, so both paths agree on a page's size.
            plan.resx = imaging::support::dpiFromPixelsPerMetre(x);
            plan.resy = imaging::support::dpiFromPixelsPerMetre(y);
        }
    }

    // PDF does not allow an ICC profile under an indexed colour space's base.
    if (chunks.icc && h.colorType != kPalette) {
        std::string icc = inflateIcc(*chunks.icc);
        if (icc.size() >= 128 && icc.compare(16, 4, gray ? "GRAY" : "RGB ") == 0)
            image.colorSpace.icc = std::move(icc);
    }

    // Poppler compares colour keys with samples cut down to 8 bits, so a 16-bit key
    // never matches there; a soft mask shows the same everywhere.
    if (h.depth == 16 && !image.colorKeyMask.empty()) {
        image.colorKeyMask.clear();
        keyToAlpha = true;
    }

    // Checked before the data passes through too: every viewer would have to decode it.
    const std::uint64_t pixelCount = std::uint64_t(h.width) * h.height;
    if (pixelCount > kMaxImagePixels)
        throw ImageError("the PNG image is too large to decode (" + std::to_string(h.width) +
                         " x " + std::to_string(h.height) + " pixels)");
    const bool hasAlpha = h.colorType == kGrayAlpha || h.colorType == kRgbAlpha;
    if (!h.interlaced && !hasAlpha && !expandPalette && !keyToAlpha) {
        const int colors = channelsOf(h.colorType);
        image.decodeParms = "<< /Predictor 15 /Colors " + std::to_string(colors) +
                            " /BitsPerComponent " + std::to_string(h.depth) + " /Columns " +
                            std::to_string(h.width) + " >>";
        image.data = chunks.idat;
        image.passthrough = true;
        return plan;
    }

    const bool toAlpha = expandPalette || keyToAlpha;
    const bool split = hasAlpha || toAlpha;
    const int channels = expandPalette ? 4 : channelsOf(h.colorType) + (keyToAlpha ? 1 : 0);
    const int depth = expandPalette ? 8 : h.depth;
    // Samples below 8 bits come only without alpha, packed as the file has them.
    const std::uint64_t rowBytes = (std::uint64_t(h.width) * channels * depth + 7) / 8;
    const std::size_t colorRowBytes = split ? h.width * (depth / 8) * (channels - 1) : rowBytes;
    const std::uint64_t decodedBytes = rowBytes * h.height;
    const std::uint64_t budget = imaging::Limits{}.maxBytes;
    // An interlaced image is decoded whole first, so its samples are compressed as they
    // are split off rather than copied whole a second time.
    const bool streaming = decodedBytes > budget || h.interlaced;
    if (decodedBytes > budget && h.interlaced)
        throw ImageError("the interlaced PNG image of " + std::to_string(h.width) + " x " +
                         std::to_string(h.height) + " pixels needs " +
                         imaging::byteCount(decodedBytes) + " of memory, more than the " +
                         imaging::byteCount(budget) + " allowed for one image");

    Samples color(streaming, colorRowBytes * h.height);
    Samples alpha(streaming, split ? pixelCount : 0);
    std::vector<std::uint8_t> alphaRow(split ? h.width : 0);
    bool translucent = false;
    decodeRows(bytes, toAlpha, channels, depth, [&](std::uint8_t* row) {
        if (split) {
            splitAlpha(row, h.width, channels, depth, alphaRow.data(), translucent);
            alpha.append(alphaRow.data(), alphaRow.size());
        }
        color.append(row, colorRowBytes);
    });
    setOwned(image, color.deflated());
    if (expandPalette) {
        image.colorSpace.palette.clear();
        image.bitsPerComponent = 8;
    }
    if (translucent) {
        ImageStreamPlan& mask = plan.softMask.emplace();
        mask.width = image.width;
        mask.height = image.height;
        mask.bitsPerComponent = 8;
        mask.colorSpace.device = "/DeviceGray";
        mask.filter = "/FlateDecode";
        setOwned(mask, alpha.deflated());
    }
    return plan;
}

} // namespace folimo::pdf
