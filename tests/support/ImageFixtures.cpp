#include "ImageFixtures.h"

#include "TestSupport.h"

#include <tiffio.h>

#include <png.h>
#include <turbojpeg.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace folimo::test {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("image fixture: " + what);
}

// JPEG ends at 65535 pixels a side; PNG goes further, as long banner scans do.
void checkSize(int width, int height, int limit = 1 << 16) {
    if (width < 1 || height < 1 || width > limit || height > limit)
        fail("size out of range");
}

// Rounds a 16-bit value to `depth` bits.
unsigned scale16(unsigned v16, int depth) {
    const unsigned max = (1u << depth) - 1;
    return (v16 * max + 32767) / 65535;
}

std::uint8_t to8(unsigned sample, int depth) {
    const unsigned max = (1u << depth) - 1;
    return std::uint8_t((sample * 255 + max / 2) / max);
}

void putBe16(std::string& s, unsigned v) {
    s += char(v >> 8);
    s += char(v);
}

void putBe32(std::string& s, std::uint32_t v) {
    putBe16(s, v >> 16);
    putBe16(s, v & 0xFFFF);
}

std::uint32_t getBe32(std::string_view s, std::size_t at) {
    auto b = [&](std::size_t i) { return std::uint32_t(std::uint8_t(s[at + i])); };
    return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
}

bool inTopLeft(int x, int y, int width, int height) {
    return x < width / 2 && y < height / 2;
}

} // namespace

std::uint16_t patternSample16(int x, int y, int width, int height, int channel) {
    const unsigned red = unsigned(x) * 65535u / unsigned(std::max(1, width - 1));
    const unsigned green = unsigned(y) * 65535u / unsigned(std::max(1, height - 1));
    switch (channel) {
    case 0:
        return std::uint16_t(red);
    case 1:
        return std::uint16_t(green);
    case 2:
        return (x < width / 2) == (y < height / 2) ? 12000 : 52000;
    default:
        return std::uint16_t((red + green) / 2);
    }
}

// ---------------------------------------------------------------------------------------
// JPEG

namespace {

struct TjDestroy {
    void operator()(void* handle) const noexcept { tjDestroy(handle); }
};

struct TjFree {
    void operator()(unsigned char* buffer) const noexcept { tjFree(buffer); }
};

std::string jfifPayload(int unit, int x, int y) {
    std::string p("JFIF\0\x01\x02", 7);
    p += char(unit);
    putBe16(p, unsigned(x));
    putBe16(p, unsigned(y));
    p += '\0'; // no thumbnail
    p += '\0';
    return p;
}

} // namespace

Rgb expectedJpegRgb(const JpegParams& params, int x, int y) {
    const int w = params.width, h = params.height;
    if (params.color == JpegColor::Gray) {
        const auto g = std::uint8_t(scale16(patternSample16(x, y, w, h, 3), 8));
        return {g, g, g};
    }
    return {std::uint8_t(scale16(patternSample16(x, y, w, h, 0), 8)),
            std::uint8_t(scale16(patternSample16(x, y, w, h, 1), 8)),
            std::uint8_t(scale16(patternSample16(x, y, w, h, 2), 8))};
}

std::string makeJpeg(const JpegParams& params) {
    checkSize(params.width, params.height);
    const int w = params.width, h = params.height;
    int format = TJPF_RGB, subsampling = params.subsample420 ? TJSAMP_420 : TJSAMP_444;
    int channels = 3;
    if (params.color == JpegColor::Gray) {
        format = TJPF_GRAY;
        subsampling = TJSAMP_GRAY;
        channels = 1;
    } else if (params.color == JpegColor::Cmyk) {
        format = TJPF_CMYK;
        channels = 4;
    }
    std::vector<unsigned char> pixels(std::size_t(w) * h * channels);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const Rgb c = expectedJpegRgb(params, x, y);
            unsigned char* p = &pixels[(std::size_t(y) * w + x) * channels];
            p[0] = c.r;
            if (channels >= 3) {
                p[1] = c.g;
                p[2] = c.b;
            }
            if (channels == 4)
                p[3] = 255; // inverted: no black ink
        }
    }

    std::unique_ptr<void, TjDestroy> tj(tjInitCompress());
    if (!tj)
        fail("tjInitCompress failed");
    unsigned char* out = nullptr;
    unsigned long size = 0;
    const int flags = TJFLAG_ACCURATEDCT | (params.progressive ? TJFLAG_PROGRESSIVE : 0);
    const int rc = tjCompress2(tj.get(), pixels.data(), w, 0, h, format, &out, &size, subsampling,
                               params.quality, flags);
    std::unique_ptr<unsigned char, TjFree> owned(out);
    if (rc != 0)
        fail(std::string("tjCompress2: ") + tjGetErrorStr2(tj.get()));
    std::string jpeg(reinterpret_cast<const char*>(out), size);

    const bool defaultDensity =
        params.densityUnit == 0 && params.densityX == 1 && params.densityY == 1;
    const bool hasJfif = jpeg.size() > 11 && jpeg.compare(6, 5, std::string_view("JFIF\0", 5)) == 0;
    if (hasJfif) {
        jpeg[13] = char(params.densityUnit);
        jpeg[14] = char(params.densityX >> 8);
        jpeg[15] = char(params.densityX);
        jpeg[16] = char(params.densityY >> 8);
        jpeg[17] = char(params.densityY);
    } else if (!defaultDensity) {
        jpeg.insert(2, jpegSegment(0xE0, jfifPayload(params.densityUnit, params.densityX,
                                                     params.densityY)));
    }
    if (params.adobeMarker && params.color != JpegColor::Cmyk) {
        std::string adobe("Adobe\0\x64\0\0\0\0", 11);
        adobe += char(params.color == JpegColor::Rgb ? 1 : 0);
        jpeg = insertJpegSegment(jpeg, 0xEE, adobe);
    }
    return jpeg;
}

std::string jpegSegment(std::uint8_t marker, std::string_view payload) {
    if (payload.size() > 65533)
        fail("JPEG segment too long");
    std::string s;
    s += '\xFF';
    s += char(marker);
    putBe16(s, unsigned(payload.size() + 2));
    s += payload;
    return s;
}

namespace {

// The offset of each segment before the first scan, with its marker and total size.
struct SegmentPos {
    std::size_t offset;
    std::uint8_t marker;
    std::size_t size;
};

std::vector<SegmentPos> headerSegments(std::string_view jpeg) {
    if (jpeg.size() < 2 || std::uint8_t(jpeg[0]) != 0xFF || std::uint8_t(jpeg[1]) != 0xD8)
        fail("not a JPEG");
    std::vector<SegmentPos> out;
    std::size_t pos = 2;
    while (pos + 4 <= jpeg.size() && std::uint8_t(jpeg[pos]) == 0xFF) {
        const auto marker = std::uint8_t(jpeg[pos + 1]);
        const std::size_t size =
            2 + (std::size_t(std::uint8_t(jpeg[pos + 2])) << 8 | std::uint8_t(jpeg[pos + 3]));
        if (pos + size > jpeg.size())
            fail("JPEG segment past the end");
        out.push_back({pos, marker, size});
        if (marker == 0xDA)
            break;
        pos += size;
    }
    return out;
}

} // namespace

std::string insertJpegSegment(std::string_view jpeg, std::uint8_t marker,
                              std::string_view payload) {
    const std::vector<SegmentPos> segments = headerSegments(jpeg);
    std::size_t at = 2;
    if (!segments.empty() && segments[0].marker == 0xE0 && segments[0].size >= 9 &&
        jpeg.substr(6, 5) == std::string_view("JFIF\0", 5))
        at += segments[0].size;
    std::string out(jpeg.substr(0, at));
    out += jpegSegment(marker, payload);
    out += jpeg.substr(at);
    return out;
}

std::string removeJpegSegments(std::string_view jpeg, std::uint8_t marker) {
    std::string out(jpeg.substr(0, 2));
    std::size_t copied = 2;
    for (const SegmentPos& s : headerSegments(jpeg)) {
        if (s.marker == 0xDA)
            break;
        out += jpeg.substr(copied, s.offset - copied);
        if (s.marker != marker)
            out += jpeg.substr(s.offset, s.size);
        copied = s.offset + s.size;
    }
    out += jpeg.substr(copied);
    return out;
}

// ---------------------------------------------------------------------------------------
// PNG

namespace {

int paletteSize(const PngParams& p) {
    return std::min(1 << p.bitDepth, 256);
}

int paletteIndex(const PngParams& p, int x, int y) {
    const int n = paletteSize(p);
    const int grid = int(std::ceil(std::sqrt(double(n))));
    const int block = x * grid / p.width + y * grid / p.height * grid;
    return block % n;
}

int channelsOf(PngColor color) {
    switch (color) {
    case PngColor::Rgb:
        return 3;
    case PngColor::GrayAlpha:
        return 2;
    case PngColor::RgbAlpha:
        return 4;
    default:
        return 1;
    }
}

bool hasKeyColor(const PngParams& p) {
    return p.alpha != PngAlpha::None && (p.color == PngColor::Gray || p.color == PngColor::Rgb);
}

} // namespace

std::vector<unsigned> pngKeyColor(const PngParams& p) {
    if (p.color == PngColor::Gray)
        return {scale16(21846, p.bitDepth)};
    return {scale16(2571, p.bitDepth), scale16(5139, p.bitDepth), scale16(25701, p.bitDepth)};
}

std::string pngPalette(const PngParams& p) {
    const int n = paletteSize(p);
    std::string plte;
    for (int i = 0; i < n; ++i) {
        const int red = i * 255 / (n - 1);
        plte += char(red);
        plte += char(255 - red);
        plte += char(i % 2 ? 220 : 30);
    }
    return plte;
}

std::string pngPaletteAlphas(const PngParams& p) {
    const int n = paletteSize(p);
    if (p.alpha == PngAlpha::Binary)
        return std::string(1, '\0');
    std::string alphas;
    if (p.alpha == PngAlpha::Partial) {
        for (int i = 0; i < n; ++i)
            alphas += char(n == 2 ? (i ? 255 : 128) : i * 255 / (n - 1));
    }
    return alphas;
}

unsigned pngSample(const PngParams& p, int x, int y, int channel) {
    const int w = p.width, h = p.height;
    const int channels = channelsOf(p.color);
    const bool alphaChannel = (p.color == PngColor::GrayAlpha || p.color == PngColor::RgbAlpha) &&
                              channel == channels - 1;
    if (alphaChannel) {
        const unsigned max = (1u << p.bitDepth) - 1;
        switch (p.alpha) {
        case PngAlpha::None:
            return max;
        case PngAlpha::Binary:
            return inTopLeft(x, y, w, h) ? 0 : max;
        case PngAlpha::Partial:
            return scale16(unsigned(x + y) * 65535u / unsigned(std::max(1, w + h - 2)), p.bitDepth);
        }
    }
    if (p.color == PngColor::Palette)
        return unsigned(paletteIndex(p, x, y));
    if (hasKeyColor(p) && inTopLeft(x, y, w, h))
        return pngKeyColor(p)[channel];
    const bool gray = p.color == PngColor::Gray || p.color == PngColor::GrayAlpha;
    return scale16(patternSample16(x, y, w, h, gray ? 3 : channel), p.bitDepth);
}

Rgb expectedPngRgb(const PngParams& p, int x, int y) {
    if (p.color == PngColor::Palette) {
        const std::string plte = pngPalette(p);
        const std::size_t i = std::size_t(paletteIndex(p, x, y));
        return {std::uint8_t(plte[3 * i]), std::uint8_t(plte[3 * i + 1]),
                std::uint8_t(plte[3 * i + 2])};
    }
    if (p.color == PngColor::Gray || p.color == PngColor::GrayAlpha) {
        const std::uint8_t g = to8(pngSample(p, x, y, 0), p.bitDepth);
        return {g, g, g};
    }
    return {to8(pngSample(p, x, y, 0), p.bitDepth), to8(pngSample(p, x, y, 1), p.bitDepth),
            to8(pngSample(p, x, y, 2), p.bitDepth)};
}

std::uint8_t expectedPngAlpha(const PngParams& p, int x, int y) {
    switch (p.color) {
    case PngColor::GrayAlpha:
        return to8(pngSample(p, x, y, 1), p.bitDepth);
    case PngColor::RgbAlpha:
        return to8(pngSample(p, x, y, 3), p.bitDepth);
    case PngColor::Palette: {
        const std::string alphas = pngPaletteAlphas(p);
        const std::size_t i = std::size_t(paletteIndex(p, x, y));
        return i < alphas.size() ? std::uint8_t(alphas[i]) : 255;
    }
    default:
        break;
    }
    if (!hasKeyColor(p))
        return 255;
    const std::vector<unsigned> key = pngKeyColor(p);
    for (std::size_t c = 0; c < key.size(); ++c)
        if (pngSample(p, x, y, int(c)) != key[c])
            return 255;
    return 0;
}

namespace {

// libpng's callbacks longjmp out; the state they touch is plain memory owned by the
// caller, and the setjmp lives in writePngRows alone.
struct PngWriteJob {
    std::string* out = nullptr;
    bool outOfMemory = false;
    char message[200] = {};
    const PngParams* params = nullptr;
    const std::uint8_t* rows = nullptr;
    std::size_t rowBytes = 0;
    const png_color* palette = nullptr;
    int paletteEntries = 0;
    const png_byte* alphas = nullptr;
    int alphaCount = 0;
    png_color_16 key{};
    bool withKey = false;
};

void onWriteError(png_structp png, png_const_charp message) {
    auto* job = static_cast<PngWriteJob*>(png_get_error_ptr(png));
    std::snprintf(job->message, sizeof job->message, "%s", message);
    png_longjmp(png, 1);
}

void onWriteWarning(png_structp, png_const_charp) {}

bool appendBytes(PngWriteJob* job, png_bytep data, png_size_t length) noexcept {
    try {
        job->out->append(reinterpret_cast<const char*>(data), length);
        return true;
    } catch (...) {
        return false;
    }
}

void writeToString(png_structp png, png_bytep data, png_size_t length) {
    if (!appendBytes(static_cast<PngWriteJob*>(png_get_io_ptr(png)), data, length))
        png_error(png, "out of memory");
}

void flushNothing(png_structp) {}

bool writePngRows(png_structp png, png_infop info, PngWriteJob* job) {
    if (setjmp(png_jmpbuf(png)))
        return false;
    const PngParams& p = *job->params;
    png_set_write_fn(png, job, writeToString, flushNothing);
    png_set_IHDR(png, info, png_uint_32(p.width), png_uint_32(p.height), p.bitDepth, int(p.color),
                 p.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (job->palette)
        png_set_PLTE(png, info, job->palette, job->paletteEntries);
    if (job->alphaCount > 0)
        png_set_tRNS(png, info, job->alphas, job->alphaCount, nullptr);
    if (job->withKey)
        png_set_tRNS(png, info, nullptr, 0, &job->key);
    if (p.pixelsPerMetre)
        png_set_pHYs(png, info, p.pixelsPerMetre,
                     p.pixelsPerMetreY ? p.pixelsPerMetreY : p.pixelsPerMetre,
                     PNG_RESOLUTION_METER);
    if (!p.iccProfile.empty())
        png_set_iCCP(png, info, "icc", PNG_COMPRESSION_TYPE_BASE,
                     reinterpret_cast<png_const_bytep>(p.iccProfile.data()),
                     png_uint_32(p.iccProfile.size()));
    if (p.idatSize)
        png_set_compression_buffer_size(png, p.idatSize);
    png_write_info(png, info);
    const int passes = png_set_interlace_handling(png);
    for (int pass = 0; pass < passes; ++pass)
        for (int y = 0; y < p.height; ++y)
            png_write_row(png, job->rows + std::size_t(y) * job->rowBytes);
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

} // namespace

std::string makePng(const PngParams& p) {
    checkSize(p.width, p.height, 1 << 20);
    const int channels = channelsOf(p.color);
    const int bitsPerPixel = channels * p.bitDepth;
    const std::size_t rowBytes = (std::size_t(p.width) * bitsPerPixel + 7) / 8;
    std::vector<std::uint8_t> rows(rowBytes * p.height);
    for (int y = 0; y < p.height; ++y) {
        std::uint8_t* row = &rows[std::size_t(y) * rowBytes];
        for (int x = 0; x < p.width; ++x) {
            for (int c = 0; c < channels; ++c) {
                const unsigned v = pngSample(p, x, y, c);
                const std::size_t bit = (std::size_t(x) * channels + c) * p.bitDepth;
                if (p.bitDepth == 16) {
                    row[bit / 8] = std::uint8_t(v >> 8);
                    row[bit / 8 + 1] = std::uint8_t(v);
                } else {
                    row[bit / 8] |= std::uint8_t(v << (8 - p.bitDepth - bit % 8));
                }
            }
        }
    }

    std::string out;
    PngWriteJob job;
    job.out = &out;
    job.params = &p;
    job.rows = rows.data();
    job.rowBytes = rowBytes;
    std::vector<png_color> palette;
    std::string alphas;
    if (p.color == PngColor::Palette) {
        const std::string plte = pngPalette(p);
        for (std::size_t i = 0; i + 2 < plte.size(); i += 3)
            palette.push_back({png_byte(plte[i]), png_byte(plte[i + 1]), png_byte(plte[i + 2])});
        job.palette = palette.data();
        job.paletteEntries = int(palette.size());
        alphas = pngPaletteAlphas(p);
        job.alphas = reinterpret_cast<const png_byte*>(alphas.data());
        job.alphaCount = int(alphas.size());
    } else if (hasKeyColor(p)) {
        const std::vector<unsigned> key = pngKeyColor(p);
        job.withKey = true;
        if (key.size() == 1) {
            job.key.gray = png_uint_16(key[0]);
        } else {
            job.key.red = png_uint_16(key[0]);
            job.key.green = png_uint_16(key[1]);
            job.key.blue = png_uint_16(key[2]);
        }
    }

    std::unique_ptr<PngWriteStructs, DestroyPngWrite> structs(new PngWriteStructs);
    structs->png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &job, onWriteError, onWriteWarning);
    if (!structs->png)
        fail("png_create_write_struct failed");
    structs->info = png_create_info_struct(structs->png);
    if (!structs->info)
        fail("png_create_info_struct failed");
    if (!writePngRows(structs->png, structs->info, &job))
        fail(std::string("libpng: ") + job.message);
    return out;
}

std::string pngChunk(std::string_view type, std::string_view data) {
    if (type.size() != 4)
        fail("chunk type must have four letters");
    std::string c;
    putBe32(c, std::uint32_t(data.size()));
    c += type;
    c += data;
    const auto* typeAndData = reinterpret_cast<const Bytef*>(c.data() + 4);
    putBe32(c, std::uint32_t(crc32_z(0, typeAndData, data.size() + 4)));
    return c;
}

std::vector<PngChunk> splitPng(std::string_view png) {
    if (png.size() < 8 || png.substr(0, 8) != std::string_view("\x89PNG\r\n\x1A\n", 8))
        fail("not a PNG");
    std::vector<PngChunk> chunks;
    std::size_t pos = 8;
    while (pos < png.size()) {
        if (png.size() - pos < 12)
            fail("PNG chunk past the end");
        const std::uint32_t length = getBe32(png, pos);
        if (png.size() - pos - 12 < length)
            fail("PNG chunk past the end");
        chunks.push_back(
            {std::string(png.substr(pos + 4, 4)), std::string(png.substr(pos + 8, length)), pos});
        pos += 12 + std::size_t(length);
    }
    return chunks;
}

std::string joinPng(const std::vector<PngChunk>& chunks) {
    std::string png("\x89PNG\r\n\x1A\n", 8);
    for (const PngChunk& c : chunks)
        png += pngChunk(c.type, c.data);
    return png;
}

std::string insertPngChunkBeforeData(std::string_view png, std::string_view type,
                                     std::string_view data) {
    for (const PngChunk& c : splitPng(png)) {
        if (c.type == "IDAT") {
            std::string out(png.substr(0, c.offset));
            out += pngChunk(type, data);
            out += png.substr(c.offset);
            return out;
        }
    }
    fail("PNG without IDAT");
}

// ---------------------------------------------------------------------------------------
// ICC profiles

namespace {

void putS15(std::string& s, double v) {
    putBe32(s, std::uint32_t(std::int32_t(std::lround(v * 65536))));
}

// The PCS illuminant as ICC writes it (libpng compares these exact bytes).
void putD50(std::string& s) {
    putBe32(s, 0xF6D6);
    putBe32(s, 0x10000);
    putBe32(s, 0xD32D);
}

void padTo4(std::string& s) {
    while (s.size() % 4)
        s += '\0';
}

std::string xyzTag(double x, double y, double z) {
    std::string t("XYZ \0\0\0\0", 8);
    putS15(t, x);
    putS15(t, y);
    putS15(t, z);
    return t;
}

std::string gammaTag(double gamma) {
    std::string t("curv\0\0\0\0", 8);
    putBe32(t, 1);
    putBe16(t, unsigned(std::lround(gamma * 256)));
    return t;
}

std::string descTag(std::string_view text) {
    std::string t("desc\0\0\0\0", 8);
    putBe32(t, std::uint32_t(text.size() + 1));
    t += text;
    t += '\0';
    putBe32(t, 0);              // Unicode language
    putBe32(t, 0);              // Unicode count
    putBe16(t, 0);              // ScriptCode code
    t += '\0';                  // ScriptCode count
    t += std::string(67, '\0'); // ScriptCode text
    return t;
}

std::string textTag(std::string_view text) {
    std::string t("text\0\0\0\0", 8);
    t += text;
    t += '\0';
    return t;
}

// sRGB (gamma-expanded) to CIE L*a*b* under D50, for the CMYK table.
void rgbToLab(double r, double g, double b, double lab[3]) {
    auto lin = [](double c) {
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    r = lin(r);
    g = lin(g);
    b = lin(b);
    const double x = 0.4361 * r + 0.3851 * g + 0.1431 * b;
    const double y = 0.2225 * r + 0.7169 * g + 0.0606 * b;
    const double z = 0.0139 * r + 0.0971 * g + 0.7141 * b;
    auto f = [](double t) {
        return t > 216.0 / 24389 ? std::cbrt(t) : (24389.0 / 27 * t + 16) / 116;
    };
    const double fx = f(x / 0.9642), fy = f(y), fz = f(z / 0.8249);
    lab[0] = 116 * fy - 16;
    lab[1] = 500 * (fx - fy);
    lab[2] = 200 * (fy - fz);
}

// CIE L*a*b* under D50 to sRGB (gamma-compressed, clamped to 0..1).
void labToRgb(double l, double a, double b, double rgb[3]) {
    auto finv = [](double t) { return t > 6.0 / 29 ? t * t * t : (116 * t - 16) * 27 / 24389; };
    const double fy = (l + 16) / 116;
    const double x = 0.9642 * finv(fy + a / 500), y = finv(fy), z = 0.8249 * finv(fy - b / 200);
    const double linear[3] = {3.1338561 * x - 1.6168667 * y - 0.4906146 * z,
                              -0.9787684 * x + 1.9161415 * y + 0.0334540 * z,
                              0.0719453 * x - 0.2289914 * y + 1.4052427 * z};
    for (int i = 0; i < 3; ++i) {
        const double c = std::clamp(linear[i], 0.0, 1.0);
        rgb[i] = c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1 / 2.4) - 0.055;
    }
}

// PCS to inks for colour management that wants both directions: the plain inversion
// of RGB, no black.
std::string cmykInverseTable() {
    constexpr int kGrid = 9;
    std::string t("mft1\0\0\0\0", 8);
    t += char(3);
    t += char(4);
    t += char(kGrid);
    t += '\0';
    for (int i = 0; i < 9; ++i)
        putS15(t, i % 4 == 0 ? 1.0 : 0.0);
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 256; ++i)
            t += char(i);
    for (int l = 0; l < kGrid; ++l)
        for (int a = 0; a < kGrid; ++a)
            for (int b = 0; b < kGrid; ++b) {
                double rgb[3];
                labToRgb(l * 100.0 / (kGrid - 1), a * 255.0 / (kGrid - 1) - 128,
                         b * 255.0 / (kGrid - 1) - 128, rgb);
                for (double v : rgb)
                    t += char(std::lround((1 - v) * 255));
                t += '\0';
            }
    for (int c = 0; c < 4; ++c)
        for (int i = 0; i < 256; ++i)
            t += char(i);
    return t;
}

std::string cmykTable() {
    constexpr int kGrid = 9;
    std::string t("mft1\0\0\0\0", 8);
    t += char(4); // input channels
    t += char(3); // output channels
    t += char(kGrid);
    t += '\0';
    for (int i = 0; i < 9; ++i) // identity matrix
        putS15(t, i % 4 == 0 ? 1.0 : 0.0);
    for (int c = 0; c < 4; ++c)
        for (int i = 0; i < 256; ++i)
            t += char(i);
    // Grid points in order, the first input channel varying slowest.
    for (int c = 0; c < kGrid; ++c)
        for (int m = 0; m < kGrid; ++m)
            for (int y = 0; y < kGrid; ++y)
                for (int k = 0; k < kGrid; ++k) {
                    const double white = 1 - double(k) / (kGrid - 1);
                    double lab[3];
                    rgbToLab((1 - double(c) / (kGrid - 1)) * white,
                             (1 - double(m) / (kGrid - 1)) * white,
                             (1 - double(y) / (kGrid - 1)) * white, lab);
                    t += char(std::clamp(std::lround(lab[0] * 255 / 100), 0L, 255L));
                    t += char(std::clamp(std::lround(lab[1] + 128), 0L, 255L));
                    t += char(std::clamp(std::lround(lab[2] + 128), 0L, 255L));
                }
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 256; ++i)
            t += char(i);
    return t;
}

} // namespace

std::string makeIccProfile(IccModel model, std::string_view name) {
    struct Tag {
        const char* signature;
        std::string data;
    };
    std::vector<Tag> tags;
    tags.push_back({"desc", descTag(name)});
    tags.push_back({"cprt", textTag("No copyright, use freely")});
    std::string white("XYZ \0\0\0\0", 8);
    putD50(white);
    tags.push_back({"wtpt", white});
    if (model == IccModel::Gray) {
        tags.push_back({"kTRC", gammaTag(2.2)});
    } else if (model == IccModel::Rgb) {
        tags.push_back({"rXYZ", xyzTag(0.4361, 0.2225, 0.0139)});
        tags.push_back({"gXYZ", xyzTag(0.3851, 0.7169, 0.0971)});
        tags.push_back({"bXYZ", xyzTag(0.1431, 0.0606, 0.7141)});
        tags.push_back({"rTRC", gammaTag(2.2)});
        tags.push_back({"gTRC", gammaTag(2.2)});
        tags.push_back({"bTRC", gammaTag(2.2)});
    } else {
        tags.push_back({"A2B0", cmykTable()});
        tags.push_back({"B2A0", cmykInverseTable()});
    }

    std::string table, data;
    putBe32(table, std::uint32_t(tags.size()));
    const std::size_t dataStart = 128 + 4 + 12 * tags.size();
    for (const Tag& tag : tags) {
        padTo4(data);
        table += tag.signature;
        putBe32(table, std::uint32_t(dataStart + data.size()));
        putBe32(table, std::uint32_t(tag.data.size()));
        data += tag.data;
    }
    padTo4(data);

    std::string h;
    putBe32(h, std::uint32_t(128 + table.size() + data.size()));
    h += std::string(4, '\0');           // preferred CMM
    h += std::string("\x02\x10\0\0", 4); // version 2.1
    h += model == IccModel::Cmyk ? "prtr" : "mntr";
    h += model == IccModel::Gray ? "GRAY" : model == IccModel::Rgb ? "RGB " : "CMYK";
    h += model == IccModel::Cmyk ? "Lab " : "XYZ ";
    for (unsigned v : {2024u, 1u, 1u, 0u, 0u, 0u}) // creation date
        putBe16(h, v);
    h += "acsp";
    h += std::string(4 + 4 + 4 + 4 + 8, '\0'); // platform, flags, maker, model, attributes
    putBe32(h, 0);                             // perceptual intent
    putD50(h);
    h.resize(128, '\0'); // creator, ID and reserved bytes
    return h + table + data;
}

// A small DNG with a Bayer (RGGB) mosaic written with libtiff: a red, a green, a blue
// and a grey quadrant, in a camera whose colour space is linear sRGB.
std::string makeDng(const std::string& path, int width, int height) {
    std::unique_ptr<TIFF, void (*)(TIFF*)> tif(TIFFOpen(path.c_str(), "w"), TIFFClose);
    if (!tif)
        throw std::runtime_error("TIFFOpen");
    TIFF* t = tif.get();
    TIFFSetField(t, TIFFTAG_SUBFILETYPE, 0);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_CFA);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, height);
    TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(t, TIFFTAG_MAKE, "Folimo");
    TIFFSetField(t, TIFFTAG_MODEL, "Test Camera");
    const std::uint16_t dims[2] = {2, 2};
    TIFFSetField(t, TIFFTAG_CFAREPEATPATTERNDIM, dims);
    const std::uint8_t pattern[4] = {0, 1, 1, 2};
    TIFFSetField(t, TIFFTAG_CFAPATTERN, 4, pattern);
    const std::uint8_t version[4] = {1, 4, 0, 0};
    TIFFSetField(t, TIFFTAG_DNGVERSION, version);
    TIFFSetField(t, TIFFTAG_DNGBACKWARDVERSION, version);
    TIFFSetField(t, TIFFTAG_UNIQUECAMERAMODEL, "Folimo Test Camera");
    // XYZ (D65) to linear sRGB.
    const float xyzToCamera[9] = {3.2406f, -1.5372f, -0.4986f, -0.9689f, 1.8758f,
                                  0.0415f, 0.0557f,  -0.2040f, 1.0570f};
    TIFFSetField(t, TIFFTAG_COLORMATRIX1, 9, xyzToCamera);
    TIFFSetField(t, TIFFTAG_CALIBRATIONILLUMINANT1, 21);
    const float neutral[3] = {1, 1, 1};
    TIFFSetField(t, TIFFTAG_ASSHOTNEUTRAL, 3, neutral);
    const std::uint32_t white = 65535;
    TIFFSetField(t, TIFFTAG_WHITELEVEL, 1, &white);

    std::vector<std::uint16_t> row(static_cast<std::size_t>(width));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int channel = (y % 2) + (x % 2); // 0 red, 1 green, 2 blue
            const bool top = y < height / 2;
            const bool left = x < width / 2;
            double v;
            if (top && left)
                v = channel == 0 ? 0.7 : 0.03; // red
            else if (top)
                v = channel == 1 ? 0.7 : 0.03; // green
            else if (left)
                v = channel == 2 ? 0.7 : 0.03; // blue
            else
                v = 0.3; // grey
            row[std::size_t(x)] = std::uint16_t(v * 65535);
        }
        if (TIFFWriteScanline(t, row.data(), std::uint32_t(y), 0) < 0)
            throw std::runtime_error("TIFFWriteScanline");
    }
    tif.reset();
    return readFile(path);
}

} // namespace folimo::test
