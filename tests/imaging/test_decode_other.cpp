// The readers of BMP/DIB, ICO/CUR, PSD/PSB, MNG/JNG, WebP, camera raw and JBIG. Files come
// from ImageMagick, pbmtojbg and libtiff, or are written byte by byte where a variant
// has no ready writer; ImageMagick's own decode is the reference picture. Damaged,
// truncated and oversized files must end in ImagingError, never in a crash or a huge
// allocation (the sanitizer build watches the second half of that).
#include "ImageFixtures.h"
#include "TestSupport.h"
#include "imaging/Codecs.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace folimo::imaging;
using namespace folimo::test;

using Decoder = Bitmap (*)(std::span<const std::uint8_t>, const Limits&);

// Decodes a copy of exactly these bytes in its own allocation, so that AddressSanitizer
// sees any read past the end.
Bitmap decodeWith(Decoder decoder, std::string_view bytes, const Limits& limits = {}) {
    const std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
    return decoder(std::span<const std::uint8_t>(copy.data(), copy.size()), limits);
}

// Success or ImagingError; any other exception fails the test. Returns true on success.
bool decodesOrRefuses(Decoder decoder, std::string_view bytes) {
    try {
        decodeWith(decoder, bytes);
        return true;
    } catch (const ImagingError&) {
        return false;
    } catch (const std::exception& e) {
        ADD_FAILURE() << "unexpected exception: " << e.what();
        return false;
    }
}

ImagingError::Kind errorKind(Decoder decoder, std::string_view bytes, const Limits& limits = {}) {
    try {
        decodeWith(decoder, bytes, limits);
    } catch (const ImagingError& e) {
        return e.kind();
    }
    ADD_FAILURE() << "decoded without error";
    return ImagingError::Io;
}

// Every prefix shorter than `mayDecodeFrom` bytes must be refused; longer ones may
// decode (trailing bytes some formats can do without). Every prefix for small files,
// a spread of them for large ones.
void expectTruncationsRefused(Decoder decoder, const std::string& bytes,
                              std::size_t mayDecodeFrom) {
    const std::size_t step = std::max<std::size_t>(1, bytes.size() / 3000);
    for (std::size_t cut = 0; cut < bytes.size(); cut += step) {
        const bool decoded = decodesOrRefuses(decoder, std::string_view(bytes).substr(0, cut));
        if (cut < mayDecodeFrom) {
            EXPECT_FALSE(decoded) << "a file cut to " << cut << " of " << bytes.size()
                                  << " bytes decoded";
        }
    }
}

// Random bytes, and the file with its tail (or a stretch of it) overwritten: refused or
// decoded, never a crash.
void expectGarbageHandled(Decoder decoder, const std::string& valid) {
    std::mt19937 random(1234);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int size : {0, 1, 2, 7, 16, 40, 100, 1000}) {
        std::string junk(std::size_t(size), '\0');
        for (char& c : junk)
            c = char(byte(random));
        decodesOrRefuses(decoder, junk);
    }
    for (int round = 0; round < 300; ++round) {
        std::string damaged = valid;
        const std::size_t keep = random() % damaged.size();
        const std::size_t length = 1 + random() % 16;
        for (std::size_t i = keep; i < std::min(damaged.size(), keep + length); ++i)
            damaged[i] = char(byte(random));
        decodesOrRefuses(decoder, damaged);
    }
}

std::uint16_t sample16(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

struct Rgba {
    unsigned r, g, b, a; // 16-bit scale
};

Rgba pixel16(const Bitmap& b, int x, int y) {
    const std::uint8_t* row = b.row(y);
    auto scale8 = [](unsigned v) { return v * 257; };
    auto fromPalette = [&](unsigned i) {
        const std::uint32_t c = i < b.palette.size() ? b.palette[i] : 0xFF000000;
        return Rgba{scale8((c >> 16) & 255), scale8((c >> 8) & 255), scale8(c & 255),
                    scale8(c >> 24)};
    };
    switch (b.format) {
    case PixelFormat::Indexed1:
        return fromPalette((row[x / 8] >> (7 - x % 8)) & 1);
    case PixelFormat::Indexed4:
        return fromPalette((row[x / 2] >> (x % 2 ? 0 : 4)) & 15);
    case PixelFormat::Indexed8:
        return fromPalette(row[x]);
    case PixelFormat::Gray8:
        return {scale8(row[x]), scale8(row[x]), scale8(row[x]), 65535};
    case PixelFormat::Rgb24: {
        const std::uint8_t* p = row + 3 * x;
        return {scale8(p[0]), scale8(p[1]), scale8(p[2]), 65535};
    }
    case PixelFormat::Rgba32: {
        const std::uint8_t* p = row + 4 * x;
        return {scale8(p[0]), scale8(p[1]), scale8(p[2]), scale8(p[3])};
    }
    case PixelFormat::Gray16: {
        const unsigned v = sample16(row + 2 * x);
        return {v, v, v, 65535};
    }
    case PixelFormat::Rgb48: {
        const std::uint8_t* p = row + 6 * x;
        return {sample16(p), sample16(p + 2), sample16(p + 4), 65535};
    }
    case PixelFormat::Rgba64: {
        const std::uint8_t* p = row + 8 * x;
        return {sample16(p), sample16(p + 2), sample16(p + 4), sample16(p + 6)};
    }
    }
    return {};
}

unsigned indexAt(const Bitmap& b, int x, int y) {
    const std::uint8_t* row = b.row(y);
    switch (b.format) {
    case PixelFormat::Indexed1:
        return (row[x / 8] >> (7 - x % 8)) & 1;
    case PixelFormat::Indexed4:
        return (row[x / 2] >> (x % 2 ? 0 : 4)) & 15;
    default:
        return row[x];
    }
}

// Our decode as decodeReference shows a file: flattened onto white, 8-bit RGB.
Raster flatten(const Bitmap& b) {
    Raster r;
    r.width = b.width;
    r.height = b.height;
    r.rgb.resize(std::size_t(b.width) * b.height * 3);
    for (int y = 0; y < b.height; ++y)
        for (int x = 0; x < b.width; ++x) {
            const Rgba p = pixel16(b, x, y);
            unsigned char* out = &r.rgb[(std::size_t(y) * b.width + x) * 3];
            const unsigned c[3] = {p.r, p.g, p.b};
            for (int k = 0; k < 3; ++k) {
                const std::uint64_t over =
                    (std::uint64_t(c[k]) * p.a + 65535ull * (65535 - p.a) + 32767) / 65535;
                out[k] = static_cast<unsigned char>((over * 255 + 32767) / 65535);
            }
        }
    return r;
}

::testing::AssertionResult matchesReference(const Bitmap& b, const std::string& path,
                                            int tolerance) {
    const Raster ours = flatten(b);
    const Raster reference = decodeReference(path);
    if (ours.width != reference.width || ours.height != reference.height)
        return ::testing::AssertionFailure()
               << "size " << ours.width << " x " << ours.height << ", ImageMagick says "
               << reference.width << " x " << reference.height;
    const RasterDifference d = compareRasters(ours, reference);
    if (d.max > tolerance)
        return ::testing::AssertionFailure()
               << "differs from ImageMagick by up to " << d.max << " (mean " << d.mean << ")";
    return ::testing::AssertionSuccess();
}

// A photograph-like pattern with every colour different, as a PNG for ImageMagick to
// convert: the fixtures' gradients, 8-bit, optionally with an alpha ramp.
std::string writePattern(const TempDir& dir, int width, int height, bool alpha = false,
                         int bitDepth = 8) {
    PngParams params;
    params.width = width;
    params.height = height;
    params.bitDepth = bitDepth;
    params.color = alpha ? PngColor::RgbAlpha : PngColor::Rgb;
    params.alpha = alpha ? PngAlpha::Partial : PngAlpha::None;
    const std::string path = dir.file(alpha ? "pattern-alpha.png" : "pattern.png");
    writeFile(path, makePng(params));
    return path;
}

void put16le(std::string& s, std::size_t at, unsigned v) {
    s[at] = char(v & 255);
    s[at + 1] = char((v >> 8) & 255);
}
void put32le(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[at + i] = char((v >> (8 * i)) & 255);
}
void put32be(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[at + i] = char((v >> (24 - 8 * i)) & 255);
}
std::uint32_t get32le(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | std::uint8_t(s[at + i]);
    return v;
}
std::uint32_t get32be(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = v << 8 | std::uint8_t(s[at + i]);
    return v;
}

// ---------------------------------------------------------------------------------------
// BMP written byte by byte

struct BmpFields {
    std::int32_t width = 4;
    std::int32_t height = 2;
    unsigned bits = 8;
    std::uint32_t compression = 0;
    std::uint32_t headerSize = 40;
    std::vector<std::uint32_t> palette; // 0x00RRGGBB
    std::uint32_t colorsUsed = 0;       // palette.size() when 0
    std::vector<std::uint32_t> masks;   // after a 40-byte header, inside a larger one
    std::int32_t pixelsPerMetreX = 0;
    std::int32_t pixelsPerMetreY = 0;
    std::string pixels;
    std::string profile; // embedded after the pixels by a 124-byte header
};

std::string makeDib(const BmpFields& s) {
    // Filled as the largest header, then cut to the size asked for (OS/2 2.x headers
    // may stop after any field).
    std::string h(std::max<std::size_t>(s.headerSize, 124), '\0');
    put32le(h, 0, s.headerSize);
    if (s.headerSize == 12) {
        put16le(h, 4, unsigned(s.width));
        put16le(h, 6, unsigned(s.height));
        put16le(h, 8, 1);
        put16le(h, 10, s.bits);
    } else {
        put32le(h, 4, std::uint32_t(s.width));
        put32le(h, 8, std::uint32_t(s.height));
        put16le(h, 12, 1);
        put16le(h, 14, s.bits);
        put32le(h, 16, s.compression);
        put32le(h, 20, std::uint32_t(s.pixels.size()));
        put32le(h, 24, std::uint32_t(s.pixelsPerMetreX));
        put32le(h, 28, std::uint32_t(s.pixelsPerMetreY));
        put32le(h, 32, s.colorsUsed ? s.colorsUsed : std::uint32_t(s.palette.size()));
    }
    std::string after;
    for (std::size_t i = 0; i < s.masks.size(); ++i) {
        if (s.headerSize >= 52) {
            put32le(h, 40 + 4 * i, s.masks[i]);
        } else {
            after.resize(after.size() + 4);
            put32le(after, after.size() - 4, s.masks[i]);
        }
    }
    std::string palette;
    for (std::uint32_t c : s.palette) {
        palette += char(c & 255);
        palette += char((c >> 8) & 255);
        palette += char((c >> 16) & 255);
        if (s.headerSize != 12)
            palette += '\0';
    }
    if (s.headerSize >= 108)
        put32le(h, 56, s.profile.empty() ? 0x73524742 : 0x4D424544); // 'sRGB' or 'MBED'
    if (s.headerSize >= 124 && !s.profile.empty()) {
        put32le(h, 112, std::uint32_t(h.size() + after.size() + palette.size() + s.pixels.size()));
        put32le(h, 116, std::uint32_t(s.profile.size()));
    }
    h.resize(s.headerSize);
    return h + after + palette + s.pixels + s.profile;
}

std::string makeBmp(const BmpFields& s) {
    const std::string dib = makeDib(s);
    const std::size_t pixelStart = dib.size() - s.pixels.size() - s.profile.size();
    std::string file(14, '\0');
    file[0] = 'B';
    file[1] = 'M';
    put32le(file, 2, std::uint32_t(14 + dib.size()));
    put32le(file, 10, std::uint32_t(14 + pixelStart));
    return file + dib;
}

std::string rows(std::initializer_list<std::initializer_list<int>> lines) {
    std::string out;
    for (auto line : lines)
        for (int b : line)
            out += char(b);
    return out;
}

TEST(BmpDecode, ImageMagickVariantsMatchItsOwnDecode) {
    TempDir dir;
    const std::string rgb = writePattern(dir, 37, 23);
    const std::string rgba = writePattern(dir, 37, 23, true);
    struct Case {
        std::string source;
        std::string args;
        PixelFormat format;
        std::uint32_t headerSize;
        unsigned bits;
        std::uint32_t compression;
        int tolerance;
    };
    const Case cases[] = {
        {rgb, "BMP3:%", PixelFormat::Rgb24, 40, 24, 0, 0},
        {rgb, "BMP:%", PixelFormat::Rgb24, 124, 24, 0, 0},
        {rgb, "BMP2:%", PixelFormat::Rgb24, 12, 24, 0, 0},
        {rgb, "-type Palette -compress None BMP3:%", PixelFormat::Indexed8, 40, 8, 0, 0},
        {rgb, "-type Palette -compress RLE BMP3:%", PixelFormat::Indexed8, 40, 8, 1, 0},
        {rgb, "-colors 16 -compress None BMP3:%", PixelFormat::Indexed4, 40, 4, 0, 0},
        {rgb, "-monochrome BMP3:%", PixelFormat::Indexed1, 40, 1, 0, 0},
        {rgb, "-type Palette BMP2:%", PixelFormat::Indexed8, 12, 8, 0, 0},
        {rgb, "-define bmp:subtype=RGB565 BMP:%", PixelFormat::Rgb24, 124, 16, 3, 1},
        {rgb, "-define bmp:subtype=RGB555 BMP:%", PixelFormat::Rgb24, 124, 16, 3, 1},
        {rgba, "BMP:%", PixelFormat::Rgba32, 124, 32, 3, 1},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        std::string args = c.args;
        const std::string name = "v" + std::to_string(n++) + ".bmp";
        args.replace(args.find('%'), 1, shellQuote(dir.file(name)));
        ASSERT_EQ(runCommand("convert " + shellQuote(c.source) + " " + args).exitCode, 0);
        const std::string bytes = readFile(dir.file(name));
        // The variant is what we meant to test.
        ASSERT_EQ(get32le(bytes, 14), c.headerSize);
        if (c.headerSize == 12) {
            ASSERT_EQ(std::uint8_t(bytes[24]), c.bits);
        } else {
            ASSERT_EQ(std::uint8_t(bytes[28]), c.bits);
            ASSERT_EQ(get32le(bytes, 30), c.compression);
        }
        const Bitmap b = decodeWith(decodeBmp, bytes);
        EXPECT_EQ(b.width, 37);
        EXPECT_EQ(b.height, 23);
        EXPECT_EQ(b.format, c.format);
        EXPECT_TRUE(matchesReference(b, dir.file(name), c.tolerance));
        EXPECT_EQ(b.dpiX, 0);
        EXPECT_EQ(b.dpiY, 0);
        if (isIndexed(b.format)) {
            EXPECT_LE(b.palette.size(), std::size_t(1) << bitsPerPixel(b.format));
        }
    }

    // ImageMagick writes only v5 headers for alpha; a v4 header is the same less the
    // last 16 bytes.
    const std::string v5path = dir.file("v5.bmp");
    makeImage(shellQuote(rgba), "BMP:" + v5path);
    const std::string v5 = readFile(v5path);
    ASSERT_EQ(get32le(v5, 14), 124u);
    std::string v4 = v5.substr(0, 14 + 108) + v5.substr(14 + 124);
    put32le(v4, 2, std::uint32_t(v4.size()));
    put32le(v4, 10, get32le(v5, 10) - 16);
    put32le(v4, 14, 108);
    const Bitmap b4 = decodeWith(decodeBmp, v4);
    EXPECT_EQ(b4.format, PixelFormat::Rgba32);
    EXPECT_TRUE(matchesReference(b4, v5path, 1));
}

TEST(BmpDecode, TopDownRowsAndHeaderlessDibs) {
    TempDir dir;
    const std::string source = writePattern(dir, 37, 23);
    for (const std::string& args : {std::string("BMP3:"), std::string("-type Palette "
                                                                      "-compress None BMP3:")}) {
        SCOPED_TRACE(args);
        const std::string path = dir.file("a.bmp");
        ASSERT_EQ(
            runCommand("convert " + shellQuote(source) + " " + args + shellQuote(path)).exitCode,
            0);
        const std::string bottomUp = readFile(path);
        const Bitmap expected = decodeWith(decodeBmp, bottomUp);
        ASSERT_TRUE(matchesReference(expected, path, 0));

        // Rows reversed and the height negated show the same picture.
        const std::uint32_t offset = get32le(bottomUp, 10);
        const std::size_t stride = (std::size_t(37) * std::uint8_t(bottomUp[28]) + 31) / 32 * 4;
        std::string topDown = bottomUp.substr(0, offset);
        for (int y = 22; y >= 0; --y)
            topDown += bottomUp.substr(offset + std::size_t(y) * stride, stride);
        put32le(topDown, 22, std::uint32_t(-23));
        const Bitmap flipped = decodeWith(decodeBmp, topDown);
        EXPECT_EQ(flipped.height, 23);
        EXPECT_EQ(flipped.pixels, expected.pixels);
        EXPECT_EQ(flipped.palette, expected.palette);

        // Without the file header the pixels follow the colour table.
        const Bitmap dib = decodeWith(decodeBmp, bottomUp.substr(14));
        EXPECT_EQ(dib.pixels, expected.pixels);
        EXPECT_EQ(dib.palette, expected.palette);
    }
}

TEST(BmpDecode, ResolutionAndEmbeddedProfile) {
    TempDir dir;
    const std::string source = writePattern(dir, 8, 8);
    const std::string path = dir.file("d.bmp");
    makeImage(shellQuote(source) + " -units PixelsPerInch -density 300", "BMP3:" + path);
    Bitmap b = decodeWith(decodeBmp, readFile(path));
    EXPECT_EQ(b.dpiX, 300); // stored as 11811 pixels per metre
    EXPECT_EQ(b.dpiY, 300);

    BmpFields s;
    s.width = 2;
    s.height = 1;
    s.bits = 24;
    s.pixels = rows({{0, 0, 255, 0, 255, 0, 0, 0}});
    s.pixelsPerMetreX = 5669; // 143.99 dpi: 144 meant
    s.pixelsPerMetreY = 2000; // 50.8 dpi
    b = decodeWith(decodeBmp, makeBmp(s));
    EXPECT_EQ(b.dpiX, 144);
    EXPECT_NEAR(b.dpiY, 50.8, 0.01);
    s.pixelsPerMetreY = 0; // one missing: none
    b = decodeWith(decodeBmp, makeBmp(s));
    EXPECT_EQ(b.dpiX, 0);
    EXPECT_EQ(b.dpiY, 0);

    s.headerSize = 124;
    s.profile = makeIccProfile(IccModel::Rgb, "BMP profile");
    b = decodeWith(decodeBmp, makeBmp(s));
    EXPECT_EQ(b.iccProfile, s.profile);
    EXPECT_EQ(pixel16(b, 0, 0).r, 65535u);
    EXPECT_EQ(pixel16(b, 1, 0).g, 65535u);
    // A profile said to lie beyond the end is ignored.
    std::string bytes = makeBmp(s);
    put32le(bytes, 14 + 112, 1000000);
    b = decodeWith(decodeBmp, bytes);
    EXPECT_TRUE(b.iccProfile.empty());
}

TEST(BmpDecode, RunLengthCodesDeltasAndUndefinedPixels) {
    // RLE8, 6 x 4, bottom-up: row 0 (bottom) a run and a literal, then a delta, then an
    // early end of line, then end of bitmap with the top row never written.
    BmpFields s;
    s.width = 6;
    s.height = 4;
    s.bits = 8;
    s.compression = 1;
    s.palette = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF};
    s.pixels = rows({{3, 1},             // 1 1 1
                     {0, 3, 2, 3, 4, 0}, // literal 2 3 4, padded to an even length
                     {0, 0},             // end of line
                     {0, 2, 2, 1},       // delta: right 2, up 1 (row 1 never written)
                     {2, 4},             // row 2: x 2..3 = 4
                     {0, 0},             // end of line: row 3
                     {1, 3},             // x 0 = 3
                     {0, 1}});           // end of bitmap
    Bitmap b = decodeWith(decodeBmp, makeBmp(s));
    ASSERT_EQ(b.format, PixelFormat::Indexed8);
    auto row = [&](int fileRow) {
        std::vector<unsigned> v;
        for (int x = 0; x < 6; ++x)
            v.push_back(indexAt(b, x, 3 - fileRow));
        return v;
    };
    EXPECT_EQ(row(0), (std::vector<unsigned>{1, 1, 1, 2, 3, 4}));
    EXPECT_EQ(row(1), (std::vector<unsigned>{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(row(2), (std::vector<unsigned>{0, 0, 4, 4, 0, 0}));
    EXPECT_EQ(row(3), (std::vector<unsigned>{3, 0, 0, 0, 0, 0}));
    EXPECT_EQ(b.palette.size(), 5u);

    // RLE4: runs alternate two nibbles; literals pack two a byte.
    s.bits = 4;
    s.compression = 2;
    s.height = 2;
    s.pixels = rows({{5, 0x12},          // 1 2 1 2 1
                     {0, 0},             // end of line
                     {0, 3, 0x34, 0x10}, // literal 3 4 1 (two bytes, even: no pad)
                     {3, 0x22},          // 2 2 2
                     {0, 1}});
    b = decodeWith(decodeBmp, makeBmp(s));
    ASSERT_EQ(b.format, PixelFormat::Indexed4);
    std::vector<unsigned> bottom, top;
    for (int x = 0; x < 6; ++x) {
        bottom.push_back(indexAt(b, x, 1));
        top.push_back(indexAt(b, x, 0));
    }
    EXPECT_EQ(bottom, (std::vector<unsigned>{1, 2, 1, 2, 1, 0}));
    EXPECT_EQ(top, (std::vector<unsigned>{3, 4, 1, 2, 2, 2}));

    // Runs past the end of a row are cut; a file that ends right after its last row
    // needs no end-of-bitmap code.
    s.pixels = rows({{9, 0x12}, {0, 0}, {6, 0x33}});
    b = decodeWith(decodeBmp, makeBmp(s));
    EXPECT_EQ(indexAt(b, 5, 1), 2u);
    EXPECT_EQ(indexAt(b, 5, 0), 3u);

    // Ending in the middle of the picture is damage.
    s.pixels = rows({{6, 0x12}, {0, 0}, {2, 0x33}});
    EXPECT_EQ(errorKind(decodeBmp, makeBmp(s)), ImagingError::Damaged);
    // RLE8 with 4 bits per pixel does not fit.
    s.compression = 1;
    EXPECT_EQ(errorKind(decodeBmp, makeBmp(s)), ImagingError::Damaged);
}

TEST(BmpDecode, HandWrittenDepthsAndMasks) {
    // 2 bits per pixel: kept as Indexed4.
    BmpFields s;
    s.width = 5;
    s.height = 1;
    s.bits = 2;
    s.palette = {0x000000, 0x555555, 0xAAAAAA, 0xFFFFFF};
    s.pixels = rows({{0b00011011, 0b10000000, 0, 0}});
    Bitmap b = decodeWith(decodeBmp, makeBmp(s));
    ASSERT_EQ(b.format, PixelFormat::Indexed4);
    for (int x = 0; x < 5; ++x)
        EXPECT_EQ(indexAt(b, x, 0), std::vector<unsigned>({0, 1, 2, 3, 2})[std::size_t(x)]);

    // A colour table shorter than the indices used: the rest show black.
    s.bits = 4;
    s.palette = {0xFF0000, 0x00FF00};
    s.pixels = rows({{0x01, 0x5F, 0x10, 0}});
    b = decodeWith(decodeBmp, makeBmp(s));
    ASSERT_EQ(b.format, PixelFormat::Indexed4);
    ASSERT_EQ(b.palette.size(), 16u);
    EXPECT_EQ(b.palette[1], 0xFF00FF00u);
    EXPECT_EQ(b.palette[15], 0xFF000000u);
    // Only the colours the file has and the pixels need: biClrUsed larger than the
    // depth allows is cut to it.
    s.bits = 1;
    s.colorsUsed = 300;
    s.palette = {0x102030, 0x405060};
    s.pixels = rows({{0b10100000, 0, 0, 0}});
    b = decodeWith(decodeBmp, makeBmp(s));
    ASSERT_EQ(b.format, PixelFormat::Indexed1);
    EXPECT_EQ(b.palette, (std::vector<std::uint32_t>{0xFF102030, 0xFF405060}));
    EXPECT_EQ(b.row(0)[0], 0b10100000); // bits past the width are cleared
    s.colorsUsed = 0;

    // 16 bits with BITFIELDS 5-6-5 after a 40-byte header.
    s.bits = 16;
    s.width = 3;
    s.compression = 3;
    s.palette.clear();
    s.masks = {0xF800, 0x07E0, 0x001F};
    s.pixels = rows({{0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0, 0}});
    b = decodeWith(decodeBmp, makeBmp(s));
    ASSERT_EQ(b.format, PixelFormat::Rgb24);
    EXPECT_EQ(std::vector<std::uint8_t>(b.row(0), b.row(0) + 9),
              (std::vector<std::uint8_t>{255, 0, 0, 0, 255, 0, 0, 0, 255}));
    // 16 bits without masks: 5-5-5.
    s.compression = 0;
    s.masks.clear();
    s.pixels = rows({{0x00, 0x7C, 0xE0, 0x03, 0x10, 0x00, 0, 0}});
    b = decodeWith(decodeBmp, makeBmp(s));
    EXPECT_EQ(std::vector<std::uint8_t>(b.row(0), b.row(0) + 9),
              (std::vector<std::uint8_t>{255, 0, 0, 0, 255, 0, 0, 0, 132}));

    // 32 bits: BI_RGB's fourth byte is padding, even when it is not zero.
    s.bits = 32;
    s.width = 2;
    s.pixels = rows({{10, 20, 30, 40, 50, 60, 70, 0}});
    b = decodeWith(decodeBmp, makeBmp(s));
    ASSERT_EQ(b.format, PixelFormat::Rgb24);
    EXPECT_EQ(std::vector<std::uint8_t>(b.row(0), b.row(0) + 6),
              (std::vector<std::uint8_t>{30, 20, 10, 70, 60, 50}));
    // ALPHABITFIELDS with a 40-byte header carries alpha.
    s.compression = 6;
    s.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
    b = decodeWith(decodeBmp, makeBmp(s));
    ASSERT_EQ(b.format, PixelFormat::Rgba32);
    EXPECT_EQ(std::vector<std::uint8_t>(b.row(0), b.row(0) + 8),
              (std::vector<std::uint8_t>{30, 20, 10, 40, 70, 60, 50, 0}));
    // A v5 header's alpha mask, with alpha zero everywhere: opaque, not invisible.
    s.compression = 3;
    s.headerSize = 124;
    s.pixels = rows({{10, 20, 30, 0, 50, 60, 70, 0}});
    b = decodeWith(decodeBmp, makeBmp(s));
    EXPECT_EQ(b.format, PixelFormat::Rgb24);
    // Unusual channel widths: 10-bit red, green and blue masks (2-10-10-10 layout).
    s.masks = {0x3FF00000, 0x000FFC00, 0x000003FF, 0xC0000000};
    s.pixels = rows({{0xFF, 0x03, 0x00, 0xC0, 0x00, 0x00, 0xF0, 0x3F}});
    b = decodeWith(decodeBmp, makeBmp(s));
    ASSERT_EQ(b.format, PixelFormat::Rgba32);
    EXPECT_EQ(std::vector<std::uint8_t>(b.row(0), b.row(0) + 8),
              (std::vector<std::uint8_t>{0, 0, 255, 255, 255, 0, 0, 0}));
    // Masks with holes are refused.
    s.masks = {0x00FF00FF, 0x0000FF00, 0, 0};
    EXPECT_EQ(errorKind(decodeBmp, makeBmp(s)), ImagingError::Unsupported);

    // OS/2 2.x header of 16 bytes: just the size and depth.
    BmpFields os2;
    os2.headerSize = 16;
    os2.width = 2;
    os2.height = 1;
    os2.bits = 24;
    os2.pixels = rows({{1, 2, 3, 4, 5, 6, 0, 0}});
    std::string bytes = makeBmp(os2);
    b = decodeWith(decodeBmp, bytes);
    EXPECT_EQ(std::vector<std::uint8_t>(b.row(0), b.row(0) + 6),
              (std::vector<std::uint8_t>{3, 2, 1, 6, 5, 4}));
    // A 64-byte OS/2 header saying Huffman compression (which Windows numbers as
    // BITFIELDS).
    os2.headerSize = 64;
    os2.compression = 3;
    EXPECT_EQ(errorKind(decodeBmp, makeBmp(os2)), ImagingError::Unsupported);
}

TEST(BmpDecode, RefusesWhatItCannotShow) {
    BmpFields s;
    s.width = 2;
    s.height = 2;
    s.bits = 24;
    s.pixels = std::string(16, '\x7F');
    const std::string valid = makeBmp(s);
    ASSERT_NO_THROW(decodeWith(decodeBmp, valid));

    auto patched = [&](std::size_t at, std::uint32_t value) {
        std::string b = valid;
        put32le(b, at, value);
        return b;
    };
    EXPECT_EQ(errorKind(decodeBmp, patched(22, 0x80000000)), ImagingError::Damaged); // INT_MIN
    EXPECT_EQ(errorKind(decodeBmp, patched(22, 0)), ImagingError::Damaged);
    EXPECT_EQ(errorKind(decodeBmp, patched(18, 0)), ImagingError::Damaged);
    EXPECT_EQ(errorKind(decodeBmp, patched(18, std::uint32_t(-5))), ImagingError::Damaged);
    EXPECT_EQ(errorKind(decodeBmp, patched(30, 4)), ImagingError::Unsupported); // JPEG
    EXPECT_EQ(errorKind(decodeBmp, patched(30, 5)), ImagingError::Unsupported); // PNG
    EXPECT_EQ(errorKind(decodeBmp, patched(30, 11)), ImagingError::Unsupported);
    EXPECT_EQ(errorKind(decodeBmp, patched(14, 65)), ImagingError::Unsupported);
    EXPECT_EQ(errorKind(decodeBmp, patched(14, 13)), ImagingError::Unsupported);
    EXPECT_EQ(errorKind(decodeBmp, patched(14, 200)), ImagingError::Unsupported);
    std::string bits64 = valid;
    put16le(bits64, 28, 64);
    EXPECT_EQ(errorKind(decodeBmp, bits64), ImagingError::Unsupported);
    // Pixel data said to start beyond the end.
    EXPECT_EQ(errorKind(decodeBmp, patched(10, 5000)), ImagingError::Damaged);
    // No colour table for a palette image.
    BmpFields p;
    p.width = 2;
    p.height = 1;
    p.bits = 8;
    p.pixels = std::string(4, '\0');
    EXPECT_EQ(errorKind(decodeBmp, makeBmp(p)), ImagingError::Damaged);

    // Claimed sizes beyond the limits are refused before anything is allocated or the
    // file is found too short for them.
    EXPECT_EQ(errorKind(decodeBmp, patched(18, 100000).replace(22, 4, "\xA0\x86\x01\x00", 4)),
              ImagingError::TooLarge);
    s.compression = 1;
    s.bits = 8;
    s.width = 60000;
    s.height = 60000;
    s.palette = {0, 0xFFFFFF};
    s.pixels = rows({{0, 1}});
    EXPECT_EQ(errorKind(decodeBmp, makeBmp(s)), ImagingError::TooLarge);
    Limits small;
    small.maxPixels = 3;
    EXPECT_EQ(errorKind(decodeBmp, valid, small), ImagingError::TooLarge);
}

TEST(BmpDecode, TruncatedAndGarbageFilesAreRefused) {
    TempDir dir;
    const std::string source = writePattern(dir, 37, 23);
    const std::string rgba = writePattern(dir, 37, 23, true);
    for (const auto& [src, args] : std::vector<std::pair<std::string, std::string>>{
             {source, "BMP3:"},
             {source, "-type Palette -compress RLE BMP3:"},
             {source, "-colors 16 -compress None BMP3:"},
             {source, "-type Palette BMP2:"},
             {rgba, "BMP:"}}) {
        SCOPED_TRACE(args);
        const std::string path = dir.file("t.bmp");
        ASSERT_EQ(runCommand("convert " + shellQuote(src) + " " + args + shellQuote(path)).exitCode,
                  0);
        const std::string bytes = readFile(path);
        // The last row's padding may be missing.
        const std::uint32_t compression = get32le(bytes, 14) == 12 ? 0 : get32le(bytes, 30);
        std::size_t mayDecodeFrom = bytes.size() - 3;
        // ImageMagick pads each compressed row to a multiple of 4 pixels with a short
        // run, so the picture is complete before that run, the end of line and the end
        // of bitmap.
        if (compression == 1)
            mayDecodeFrom = bytes.size() - 6;
        expectTruncationsRefused(decodeBmp, bytes, mayDecodeFrom);
        expectGarbageHandled(decodeBmp, bytes);
    }
}

// ---------------------------------------------------------------------------------------
// ICO and CUR

// An icon file around these images (DIBs or PNG files), in this order.
std::string makeIco(const std::vector<std::string>& images, int type = 1) {
    std::string out(6 + 16 * images.size(), '\0');
    put16le(out, 2, unsigned(type));
    put16le(out, 4, unsigned(images.size()));
    for (std::size_t i = 0; i < images.size(); ++i) {
        const std::size_t e = 6 + 16 * i;
        put16le(out, e + 4, 1);
        put16le(out, e + 6, 32);
        put32le(out, e + 8, std::uint32_t(images[i].size()));
        put32le(out, e + 12, std::uint32_t(out.size()));
        out += images[i];
    }
    return out;
}

// An icon DIB: the colour rows given (bottom-up, padded), then the AND mask rows.
std::string iconDib(BmpFields s, const std::string& andMask) {
    s.height *= 2;
    s.pixels += andMask;
    return makeDib(s);
}

TEST(IcoDecode, LargestImageIsShown) {
    TempDir dir;
    const std::string rgba = writePattern(dir, 64, 64, true);
    // ImageMagick writes the 256-pixel image as PNG, the others as 32-bit DIBs.
    const std::string mixed = dir.file("mixed.ico");
    makeImage(shellQuote(rgba) + " -define icon:auto-resize=256,48,16", mixed);
    Bitmap b = decodeWith(decodeIco, readFile(mixed));
    EXPECT_EQ(b.width, 256);
    EXPECT_EQ(b.height, 256);
    EXPECT_EQ(b.format, PixelFormat::Rgba32);
    EXPECT_TRUE(matchesReference(b, mixed, 1));
    // Order does not matter: the largest is found wherever it is.
    const std::string reordered = dir.file("reordered.ico");
    makeImage(shellQuote(rgba) + " -define icon:auto-resize=16,256,48", reordered);
    b = decodeWith(decodeIco, readFile(reordered));
    EXPECT_EQ(b.width, 256);

    const std::string dibs = dir.file("dibs.ico");
    makeImage(shellQuote(rgba) + " -define icon:auto-resize=48,16", dibs);
    b = decodeWith(decodeIco, readFile(dibs));
    EXPECT_EQ(b.width, 48);
    EXPECT_EQ(b.format, PixelFormat::Rgba32);
    EXPECT_TRUE(matchesReference(b, dibs, 1));

    // An opaque picture in 32-bit DIBs stays opaque (its AND mask is clear).
    const std::string opaque = dir.file("opaque.ico");
    makeImage(shellQuote(writePattern(dir, 32, 32)) + " -define icon:auto-resize=32", opaque);
    b = decodeWith(decodeIco, readFile(opaque));
    EXPECT_TRUE(matchesReference(b, opaque, 0));
    for (int y = 0; y < b.height; ++y)
        for (int x = 0; x < b.width; ++x)
            ASSERT_EQ(pixel16(b, x, y).a, 65535u);
}

TEST(IcoDecode, MasksDepthsAndCursors) {
    // 4 x 2, 4 bits, with the AND mask making the top-left pixel transparent.
    BmpFields s;
    s.width = 4;
    s.height = 2;
    s.bits = 4;
    s.palette = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
    s.colorsUsed = 16;
    s.palette.resize(16, 0x808080);
    const std::string colours = rows({{0x12, 0x30, 0, 0}, {0x32, 0x10, 0, 0}});
    const std::string clearMask(8, '\0');
    const std::string mask = rows({{0, 0, 0, 0}, {0x80, 0, 0, 0}}); // bottom row first
    Bitmap b = decodeWith(decodeIco, makeIco({iconDib(s, colours + clearMask)}));
    EXPECT_EQ(b.format, PixelFormat::Indexed4); // nothing transparent: still indexed
    EXPECT_EQ(indexAt(b, 0, 0), 3u);

    b = decodeWith(decodeIco, makeIco({iconDib(s, colours + mask)}));
    ASSERT_EQ(b.format, PixelFormat::Rgba32);
    EXPECT_EQ(pixel16(b, 0, 0).a, 0u);
    EXPECT_EQ(pixel16(b, 1, 0).a, 65535u);
    EXPECT_EQ(pixel16(b, 1, 0).g, 65535u); // top row: 3 2 1 0
    EXPECT_EQ(pixel16(b, 0, 1).r, 65535u); // bottom row: 1 2 3 0
    EXPECT_EQ(pixel16(b, 2, 1).b, 65535u);

    // The same as a cursor.
    b = decodeWith(decodeIco, makeIco({iconDib(s, colours + mask)}, 2));
    EXPECT_EQ(b.format, PixelFormat::Rgba32);

    // A 32-bit image with alpha of its own ignores the mask; one with alpha zero
    // everywhere uses it.
    BmpFields t;
    t.width = 2;
    t.height = 1;
    t.bits = 32;
    const std::string setMask = rows({{0x40, 0, 0, 0}});
    b = decodeWith(decodeIco,
                   makeIco({iconDib(t, rows({{1, 2, 3, 128, 4, 5, 6, 255}}) + setMask)}));
    ASSERT_EQ(b.format, PixelFormat::Rgba32);
    EXPECT_EQ(std::vector<std::uint8_t>(b.row(0), b.row(0) + 8),
              (std::vector<std::uint8_t>{3, 2, 1, 128, 6, 5, 4, 255}));
    b = decodeWith(decodeIco, makeIco({iconDib(t, rows({{1, 2, 3, 0, 4, 5, 6, 0}}) + setMask)}));
    ASSERT_EQ(b.format, PixelFormat::Rgba32);
    EXPECT_EQ(std::vector<std::uint8_t>(b.row(0), b.row(0) + 8),
              (std::vector<std::uint8_t>{3, 2, 1, 255, 6, 5, 4, 0}));
    // 32-bit with its own alpha may lack the mask; others may not.
    b = decodeWith(decodeIco, makeIco({iconDib(t, rows({{1, 2, 3, 9, 4, 5, 6, 9}}))}));
    EXPECT_EQ(b.format, PixelFormat::Rgba32);
    EXPECT_EQ(errorKind(decodeIco, makeIco({iconDib(t, rows({{1, 2, 3, 0, 4, 5, 6, 0}}))})),
              ImagingError::Damaged);

    // Of two images of the same size the deeper wins: the 1-bit one comes first here.
    BmpFields mono;
    mono.width = 4;
    mono.height = 2;
    mono.bits = 1;
    mono.palette = {0x000000, 0xFFFFFF};
    const std::string monoImage =
        iconDib(mono, rows({{0xF0, 0, 0, 0}, {0xF0, 0, 0, 0}}) + clearMask);
    b = decodeWith(decodeIco, makeIco({monoImage, iconDib(s, colours + clearMask)}));
    EXPECT_EQ(b.format, PixelFormat::Indexed4);
    b = decodeWith(decodeIco, makeIco({monoImage}));
    EXPECT_EQ(b.format, PixelFormat::Indexed1);

    // An embedded PNG image with a palette and tRNS becomes RGBA.
    PngParams png;
    png.width = 8;
    png.height = 8;
    png.color = PngColor::Palette;
    png.bitDepth = 4;
    png.alpha = PngAlpha::Binary;
    b = decodeWith(decodeIco, makeIco({makePng(png), monoImage}));
    ASSERT_EQ(b.width, 8);
    EXPECT_EQ(b.format, PixelFormat::Rgba32);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            EXPECT_EQ(pixel16(b, x, y).a / 257, expectedPngAlpha(png, x, y));
}

TEST(IcoDecode, DamagedAndOversizedIcons) {
    TempDir dir;
    const std::string rgba = writePattern(dir, 48, 48, true);
    const std::string path = dir.file("x.ico");
    makeImage(shellQuote(rgba) + " -define icon:auto-resize=32,16", path);
    const std::string bytes = readFile(path);
    expectTruncationsRefused(decodeIco, bytes, bytes.size());
    expectGarbageHandled(decodeIco, bytes);

    std::string beyond = bytes;
    put32le(beyond, 6 + 12, std::uint32_t(bytes.size()));
    EXPECT_EQ(errorKind(decodeIco, beyond), ImagingError::Damaged);
    EXPECT_EQ(errorKind(decodeIco, std::string("\0\0\3\0\1\0", 6)), ImagingError::Damaged);
    EXPECT_EQ(errorKind(decodeIco, std::string("\0\0\1\0\0\0", 6)), ImagingError::Damaged);

    BmpFields huge;
    huge.width = 40000;
    huge.height = 40000;
    huge.bits = 32;
    EXPECT_EQ(errorKind(decodeIco, makeIco({iconDib(huge, "")})), ImagingError::TooLarge);
    // An RLE icon image is not a thing.
    BmpFields rle;
    rle.bits = 8;
    rle.compression = 1;
    rle.palette = {0};
    EXPECT_EQ(errorKind(decodeIco, makeIco({iconDib(rle, rows({{0, 1}}))})),
              ImagingError::Unsupported);
}

// ---------------------------------------------------------------------------------------
// PSD and PSB

struct PsdLayout {
    std::size_t resources; // offset of the image resources section's length
    std::size_t layers;    // offset of the layer and mask section's length
    std::size_t imageData; // offset of the compression field
};

PsdLayout psdLayout(const std::string& psd) {
    PsdLayout l{};
    const bool big = psd[5] == 2;
    std::size_t p = 26;
    p += 4 + get32be(psd, p);
    l.resources = p;
    p += 4 + get32be(psd, p);
    l.layers = p;
    const std::uint64_t length =
        big ? (std::uint64_t(get32be(psd, p)) << 32 | get32be(psd, p + 4)) : get32be(psd, p);
    p += (big ? 8 : 4) + std::size_t(length);
    l.imageData = p;
    return l;
}

TEST(PsdDecode, ImageMagickDocumentsMatchItsOwnDecode) {
    TempDir dir;
    const std::string rgb = writePattern(dir, 37, 23);
    const std::string rgba = writePattern(dir, 37, 23, true);
    const std::string rgb16 = dir.file("p16.png");
    {
        PngParams p;
        p.width = 37;
        p.height = 23;
        p.bitDepth = 16;
        writeFile(rgb16, makePng(p));
    }
    // ImageMagick cannot read back its own indexed documents; the colours it reduced to
    // are the reference instead.
    const std::string reduced = dir.file("reduced.png");
    makeImage(shellQuote(rgb) + " -depth 8 -colors 64", reduced);
    struct Case {
        std::string source;
        std::string args;
        std::string name;
        PixelFormat format;
        int tolerance;
    };
    const Case cases[] = {
        {rgb, "-depth 8", "rgb.psd", PixelFormat::Rgb24, 0},
        {rgb, "-depth 8 -compress None", "raw.psd", PixelFormat::Rgb24, 0},
        {rgb, "-depth 8 -colorspace Gray", "grey.psd", PixelFormat::Gray8, 0},
        {rgb, "-depth 8 -colorspace CMYK", "cmyk.psd", PixelFormat::Rgb24, 1},
        {reduced, "-depth 8 -type Palette", "palette.psd", PixelFormat::Indexed8, 0},
        {rgb, "-depth 8 -monochrome -depth 1", "bitmap.psd", PixelFormat::Indexed1, 0},
        {rgb, "-depth 8", "big.psb", PixelFormat::Rgb24, 0},
        {rgb16, "-depth 16", "rgb16.psd", PixelFormat::Rgb48, 1},
        {rgb16, "-depth 16 -colorspace Gray", "grey16.psd", PixelFormat::Gray16, 1},
        {rgb16, "-depth 16 -colorspace CMYK -compress None", "cmyk16.psd", PixelFormat::Rgb48, 1},
        {rgb16, "-depth 16", "big16.psb", PixelFormat::Rgb48, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(c.name);
        makeImage(shellQuote(c.source) + " " + c.args, path);
        const std::string bytes = readFile(path);
        const Bitmap b = decodeWith(decodePsd, bytes);
        EXPECT_EQ(b.width, 37);
        EXPECT_EQ(b.height, 23);
        EXPECT_EQ(b.format, c.format);
        EXPECT_TRUE(matchesReference(b, c.name == "palette.psd" ? reduced : path, c.tolerance));
        EXPECT_EQ(b.dpiX, 0);
        if (c.format == PixelFormat::Indexed1) {
            EXPECT_EQ(b.palette, (std::vector<std::uint32_t>{0xFFFFFFFF, 0xFF000000}));
        }
        if (c.format == PixelFormat::Indexed8) {
            EXPECT_EQ(b.palette.size(), 256u);
        }
        // Truncated anywhere: refused.
        if (c.name == "rgb.psd" || c.name == "big16.psb" || c.name == "raw.psd") {
            expectTruncationsRefused(decodePsd, bytes, bytes.size());
            expectGarbageHandled(decodePsd, bytes);
        }
    }
}

// Photoshop's transparent composites are flattened onto white; ImageMagick writes its
// straight. These documents are ImageMagick's, uncompressed, with the white put in.
TEST(PsdDecode, TransparentCompositeIsTakenOffItsWhiteMatte) {
    TempDir dir;
    const std::string source = writePattern(dir, 37, 23, true);
    for (int depth : {8, 16}) {
        for (bool grey : {false, true}) {
            SCOPED_TRACE(std::to_string(depth) + (grey ? " grey" : " rgb"));
            const std::string path = dir.file("straight.psd");
            makeImage(shellQuote(source) + " -depth " + std::to_string(depth) +
                          (grey ? " -colorspace Gray" : "") + " -compress None",
                      path);
            const std::string straight = readFile(path);
            const PsdLayout l = psdLayout(straight);
            ASSERT_EQ(straight[l.imageData + 1], 0);
            const unsigned colours = grey ? 1 : 3;
            ASSERT_EQ(std::uint8_t(straight[13]), colours + 1);
            const std::size_t bytes = depth / 8;
            const std::size_t plane = 37 * 23 * bytes;
            const unsigned max = depth == 8 ? 255 : 65535;
            std::string matted = straight;
            auto at = [&](std::string& s, unsigned c, std::size_t i) -> unsigned {
                const std::size_t o = l.imageData + 2 + c * plane + i * bytes;
                return bytes == 1 ? std::uint8_t(s[o])
                                  : unsigned(std::uint8_t(s[o]) << 8 | std::uint8_t(s[o + 1]));
            };
            for (std::size_t i = 0; i < 37 * 23; ++i) {
                const unsigned a = at(matted, colours, i);
                for (unsigned c = 0; c < colours; ++c) {
                    const std::uint64_t v = at(matted, c, i);
                    const auto m =
                        unsigned((v * a + std::uint64_t(max) * (max - a) + max / 2) / max);
                    const std::size_t o = l.imageData + 2 + c * plane + i * bytes;
                    if (bytes == 1) {
                        matted[o] = char(m);
                    } else {
                        matted[o] = char(m >> 8);
                        matted[o + 1] = char(m & 255);
                    }
                }
            }
            const Bitmap b = decodeWith(decodePsd, matted);
            EXPECT_EQ(b.format, depth == 8 ? PixelFormat::Rgba32 : PixelFormat::Rgba64);
            // Flattened onto white again, it is what the straight picture looks like.
            EXPECT_TRUE(matchesReference(b, grey ? path : source, 1));
            // Where it is nearly opaque the colour itself comes back. (A positive layer
            // count gives the straight colours without transparency.)
            std::string opaque = straight;
            opaque[l.layers + 8] = 0;
            opaque[l.layers + 9] = 1;
            const Bitmap reference = decodeWith(decodePsd, opaque);
            for (int x = 30; x < 37; ++x) {
                const Rgba ours = pixel16(b, x, 22);
                const Rgba theirs = pixel16(reference, x, 22);
                ASSERT_GT(ours.a, 50000u);
                EXPECT_NEAR(double(ours.r), double(theirs.r), 3 * 257.0);
                EXPECT_NEAR(double(ours.b), double(theirs.b), 3 * 257.0);
            }
        }
    }
}

TEST(PsdDecode, ExtraChannelIsTransparencyOnlyWhenTheLayersSaySo) {
    TempDir dir;
    const std::string path = dir.file("a.psd");
    makeImage(shellQuote(writePattern(dir, 37, 23, true)) + " -depth 8", path);
    std::string bytes = readFile(path);
    const PsdLayout l = psdLayout(bytes);
    ASSERT_EQ(
        std::int16_t(std::uint8_t(bytes[l.layers + 8]) << 8 | std::uint8_t(bytes[l.layers + 9])),
        -1);
    Bitmap withAlpha = decodeWith(decodePsd, bytes);
    ASSERT_EQ(withAlpha.format, PixelFormat::Rgba32);
    // A positive count: the fourth channel is a saved selection, the image opaque.
    bytes[l.layers + 9] = 1;
    bytes[l.layers + 8] = 0;
    const Bitmap opaque = decodeWith(decodePsd, bytes);
    ASSERT_EQ(opaque.format, PixelFormat::Rgb24);
    // The colour channels as they are: the pattern without its transparency.
    EXPECT_TRUE(matchesReference(opaque, writePattern(dir, 37, 23), 0));
    // 16-bit documents keep their layers in an "Lr16" block after the global mask, with
    // an empty layer info before it.
    std::string lr16 = std::string(4, '\0') + std::string(4, '\0') + "8BIMLr16" +
                       std::string("\0\0\0\2\xFF\xFF", 6);
    std::string tagged = bytes.substr(0, l.layers) + std::string(3, '\0') + char(lr16.size()) +
                         lr16 + bytes.substr(l.imageData);
    EXPECT_EQ(decodeWith(decodePsd, tagged).format, PixelFormat::Rgba32);
    tagged[tagged.find("Lr16") + 8] = 0; // count 0x00FF: positive
    EXPECT_EQ(decodeWith(decodePsd, tagged).format, PixelFormat::Rgb24);
    // No layer section at all: opaque too.
    std::string flat = bytes.substr(0, l.layers) + std::string(4, '\0') + bytes.substr(l.imageData);
    EXPECT_EQ(decodeWith(decodePsd, flat).format, PixelFormat::Rgb24);
}

TEST(PsdDecode, ResolutionProfileAndOtherModes) {
    TempDir dir;
    const std::string source = writePattern(dir, 20, 10);
    const std::string iccPath = dir.file("rgb.icc");
    const std::string icc = makeIccProfile(IccModel::Rgb, "PSD profile");
    writeFile(iccPath, icc);
    const std::string path = dir.file("r.psd");
    makeImage(shellQuote(source) + " -depth 8 -units PixelsPerInch -density 300 -profile " +
                  shellQuote(iccPath),
              path);
    Bitmap b = decodeWith(decodePsd, readFile(path));
    EXPECT_EQ(b.dpiX, 300);
    EXPECT_EQ(b.dpiY, 300);
    EXPECT_EQ(b.iccProfile, icc);
    // Stored in pixels per inch even when the unit to show is centimetres.
    makeImage(shellQuote(source) + " -depth 8 -units PixelsPerCentimeter -density 40", path);
    b = decodeWith(decodePsd, readFile(path));
    EXPECT_NEAR(b.dpiX, 101.6, 0.01);

    // Duotone and multichannel documents show their first channel as grey.
    const std::string grey = dir.file("g.psd");
    makeImage(shellQuote(source) + " -depth 8 -colorspace Gray", grey);
    std::string bytes = readFile(grey);
    const Bitmap asGrey = decodeWith(decodePsd, bytes);
    for (int mode : {7, 8}) {
        bytes[25] = char(mode);
        b = decodeWith(decodePsd, bytes);
        EXPECT_EQ(b.format, PixelFormat::Gray8);
        EXPECT_EQ(b.pixels, asGrey.pixels);
    }
    bytes[25] = 9; // Lab
    EXPECT_EQ(errorKind(decodePsd, bytes), ImagingError::Unsupported);
    bytes[25] = 1;
    bytes[23] = 32; // 32-bit float
    EXPECT_EQ(errorKind(decodePsd, bytes), ImagingError::Unsupported);
    bytes[23] = 8;
    const PsdLayout l = psdLayout(bytes);
    bytes[l.imageData + 1] = 2; // ZIP
    EXPECT_EQ(errorKind(decodePsd, bytes), ImagingError::Unsupported);
    bytes[l.imageData + 1] = 7;
    EXPECT_EQ(errorKind(decodePsd, bytes), ImagingError::Damaged);
    bytes[l.imageData + 1] = 1;
    bytes[5] = 3; // version
    EXPECT_EQ(errorKind(decodePsd, bytes), ImagingError::Unsupported);
    bytes[5] = 1;

    // Sizes: beyond the format, beyond our limits.
    std::string huge = bytes;
    put32be(huge, 14, 29000);
    put32be(huge, 18, 29000);
    EXPECT_EQ(errorKind(decodePsd, huge), ImagingError::TooLarge);
    put32be(huge, 14, 30001);
    EXPECT_EQ(errorKind(decodePsd, huge), ImagingError::Damaged);
    Limits small;
    small.maxPixels = 100;
    EXPECT_EQ(errorKind(decodePsd, bytes, small), ImagingError::TooLarge);
}

// ---------------------------------------------------------------------------------------
// MNG and JNG

struct MngChunk {
    std::string type;
    std::string data;
};

std::string joinMng(const std::vector<MngChunk>& chunks) {
    std::string out("\x8AMNG\r\n\x1A\n", 8);
    for (const MngChunk& c : chunks)
        out += pngChunk(c.type, c.data);
    return out;
}

std::string mhdr(std::uint32_t width, std::uint32_t height) {
    std::string d(28, '\0');
    put32be(d, 0, width);
    put32be(d, 4, height);
    put32be(d, 8, 1);
    return d;
}

TEST(MngDecode, FirstFrameOfImageMagickAnimations) {
    TempDir dir;
    const std::string first = writePattern(dir, 37, 23);
    const std::string second = dir.file("second.png");
    makeImage(shellQuote(first) + " -negate", second);
    const std::string anim = dir.file("anim.mng");
    makeImage(shellQuote(first) + " " + shellQuote(second) + " -units PixelsPerInch -density 150",
              anim);
    const std::string bytes = readFile(anim);
    Bitmap b = decodeWith(decodeMng, bytes);
    EXPECT_EQ(b.width, 37);
    EXPECT_EQ(b.height, 23);
    EXPECT_TRUE(matchesReference(b, first, 0));
    EXPECT_EQ(b.dpiX, 150);
    EXPECT_EQ(b.dpiY, 150);
    // The image ends at its IEND; MEND and later frames may be missing.
    std::size_t iend = bytes.find("IEND");
    ASSERT_NE(iend, std::string::npos);
    expectTruncationsRefused(decodeMng, bytes, iend + 8);
    expectGarbageHandled(decodeMng, bytes);

    const std::string single = dir.file("single.mng");
    makeImage(shellQuote(first) + " -type Palette", single);
    b = decodeWith(decodeMng, readFile(single));
    EXPECT_EQ(b.format, PixelFormat::Indexed8);
    EXPECT_TRUE(matchesReference(b, single, 0));
}

TEST(MngDecode, TopLevelChunksAreInherited) {
    PngParams params;
    params.width = 16;
    params.height = 16;
    params.color = PngColor::Palette;
    params.bitDepth = 8;
    params.pixelsPerMetre = 3937; // 100 dpi
    std::vector<PngChunk> png = splitPng(makePng(params));
    std::vector<MngChunk> embedded;
    std::string palette;
    for (const PngChunk& c : png) {
        if (c.type == "PLTE") {
            palette = c.data;
            embedded.push_back({"PLTE", ""}); // empty: the top level's
        } else {
            embedded.push_back({c.type, c.data});
        }
    }
    ASSERT_FALSE(palette.empty());
    std::vector<MngChunk> mng = {{"MHDR", mhdr(16, 16)}, {"PLTE", palette}};
    mng.insert(mng.end(), embedded.begin(), embedded.end());
    mng.push_back({"MEND", ""});
    Bitmap b = decodeWith(decodeMng, joinMng(mng));
    ASSERT_EQ(b.format, PixelFormat::Indexed8);
    EXPECT_EQ(b.dpiX, 100);
    for (int y = 0; y < 16; y += 3)
        for (int x = 0; x < 16; x += 3) {
            const Rgba p = pixel16(b, x, y);
            const Rgb e = expectedPngRgb(params, x, y);
            EXPECT_EQ(p.r / 257, e.r);
            EXPECT_EQ(p.b / 257, e.b);
        }

    // A top-level pHYs applies when the image has none; the image's own one wins.
    const std::string phys300("\0\0\x2E\x23\0\0\x2E\x23\x01", 9); // 11811 per metre
    auto build = [&](bool globalPhys, bool ownPhys) {
        std::vector<MngChunk> m = {{"MHDR", mhdr(16, 16)}, {"PLTE", palette}};
        if (globalPhys)
            m.push_back({"pHYs", phys300});
        for (const MngChunk& c : embedded)
            if (ownPhys || c.type != "pHYs")
                m.push_back(c);
        m.push_back({"MEND", ""});
        return joinMng(m);
    };
    EXPECT_EQ(decodeWith(decodeMng, build(true, true)).dpiX, 100);
    EXPECT_EQ(decodeWith(decodeMng, build(true, false)).dpiX, 300);
    EXPECT_EQ(decodeWith(decodeMng, build(false, false)).dpiX, 0);

    // An empty PLTE with no palette at the top level is damage.
    mng.erase(mng.begin() + 1);
    EXPECT_EQ(errorKind(decodeMng, joinMng(mng)), ImagingError::Damaged);

    // No image at all, or a first image made of deltas: not something we show.
    EXPECT_EQ(errorKind(decodeMng, joinMng({{"MHDR", mhdr(1, 1)}, {"MEND", ""}})),
              ImagingError::Unsupported);
    EXPECT_EQ(errorKind(decodeMng, joinMng({{"MHDR", mhdr(1, 1)}})), ImagingError::Damaged);
    // MNG's own row filter method.
    std::vector<MngChunk> filtered = {{"MHDR", mhdr(16, 16)}, {"PLTE", palette}};
    for (MngChunk c : embedded) {
        if (c.type == "IHDR")
            c.data[11] = 64;
        filtered.push_back(c);
    }
    EXPECT_EQ(errorKind(decodeMng, joinMng(filtered)), ImagingError::Unsupported);
}

TEST(MngDecode, JngImagesDecodeAsJpeg) {
    TempDir dir;
    const std::string source = writePattern(dir, 37, 23);
    const std::string jng = dir.file("x.jng");
    makeImage(shellQuote(source) + " -quality 95", "JNG:" + jng);
    std::string bytes = readFile(jng);
    ASSERT_EQ(bytes.substr(1, 3), "JNG");
    Bitmap b = decodeWith(decodeMng, bytes);
    EXPECT_EQ(b.width, 37);
    EXPECT_EQ(b.format, PixelFormat::Rgb24);
    EXPECT_TRUE(matchesReference(b, jng, 2));
    expectTruncationsRefused(decodeMng, bytes, bytes.size());
    // The same JNG as an MNG's first image.
    std::string inMng("\x8AMNG\r\n\x1A\n", 8);
    inMng += pngChunk("MHDR", mhdr(37, 23));
    inMng += bytes.substr(8);
    inMng += pngChunk("MEND", "");
    b = decodeWith(decodeMng, inMng);
    EXPECT_EQ(b.width, 37);
}

// ---------------------------------------------------------------------------------------
// WebP

// Where the RIFF structure ends: ImageMagick 6 appends bytes to animations that readers
// ignore.
std::size_t riffEnd(const std::string& webp) {
    return std::min<std::size_t>(webp.size(), 8 + std::size_t(get32le(webp, 4)));
}

TEST(WebpDecode, LosslessLossyAlphaAndAnimation) {
    TempDir dir;
    const std::string rgb = writePattern(dir, 37, 23);
    const std::string rgba = writePattern(dir, 37, 23, true);
    struct Case {
        std::string source;
        std::string args;
        PixelFormat format;
        int tolerance;
    };
    const Case cases[] = {
        {rgb, "-define webp:lossless=true", PixelFormat::Rgb24, 0},
        {rgba, "-define webp:lossless=true", PixelFormat::Rgba32, 1},
        {rgb, "-quality 90", PixelFormat::Rgb24, 3},
        {rgba, "-quality 90", PixelFormat::Rgba32, 3},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const std::string path = dir.file("w" + std::to_string(n++) + ".webp");
        makeImage(shellQuote(c.source) + " " + c.args, path);
        const std::string bytes = readFile(path);
        const Bitmap b = decodeWith(decodeWebp, bytes);
        EXPECT_EQ(b.width, 37);
        EXPECT_EQ(b.height, 23);
        EXPECT_EQ(b.format, c.format);
        // ImageMagick decodes through the same library, so even lossy files agree.
        EXPECT_TRUE(matchesReference(b, path, c.tolerance));
        if (n == 1 || n == 3) {
            expectTruncationsRefused(decodeWebp, bytes, riffEnd(bytes));
            expectGarbageHandled(decodeWebp, bytes);
        }
    }

    const std::string second = dir.file("second.png");
    makeImage(shellQuote(rgb) + " -negate", second);
    const std::string anim = dir.file("anim.webp");
    makeImage(shellQuote(rgb) + " " + shellQuote(second) + " -define webp:lossless=true -loop 0",
              anim);
    const std::string bytes = readFile(anim);
    ASSERT_NE(bytes.find("ANMF"), std::string::npos);
    const Bitmap b = decodeWith(decodeWebp, bytes);
    EXPECT_EQ(b.format, PixelFormat::Rgb24);
    EXPECT_TRUE(matchesReference(b, rgb, 0));
    expectTruncationsRefused(decodeWebp, bytes, riffEnd(bytes));
}

TEST(WebpDecode, ProfileAndLimits) {
    TempDir dir;
    const std::string iccPath = dir.file("rgb.icc");
    const std::string icc = makeIccProfile(IccModel::Rgb, "WebP profile");
    writeFile(iccPath, icc);
    const std::string path = dir.file("p.webp");
    makeImage(shellQuote(writePattern(dir, 16, 16)) + " -profile " + shellQuote(iccPath) +
                  " -define webp:lossless=true",
              path);
    const std::string bytes = readFile(path);
    const Bitmap b = decodeWith(decodeWebp, bytes);
    EXPECT_EQ(b.iccProfile, icc);
    EXPECT_EQ(b.dpiX, 0);

    Limits small;
    small.maxPixels = 255;
    EXPECT_EQ(errorKind(decodeWebp, bytes, small), ImagingError::TooLarge);
    small.maxPixels = 256;
    EXPECT_NO_THROW(decodeWith(decodeWebp, bytes, small));
    small.maxBytes = 16 * 16 * 3;
    EXPECT_NO_THROW(decodeWith(decodeWebp, bytes, small));
    small.maxBytes = 16 * 16 * 3 - 1;
    EXPECT_EQ(errorKind(decodeWebp, bytes, small), ImagingError::TooLarge);
    EXPECT_EQ(errorKind(decodeWebp, std::string("RIFF\x10\0\0\0WEBPVP8 ", 16)),
              ImagingError::Damaged);
}

// ---------------------------------------------------------------------------------------
// Camera raw

TEST(RawDecode, DevelopsADng) {
    TempDir dir;
    const std::string dng = makeDng(dir.file("raw.dng"), 64, 48);
    const Bitmap b = decodeWith(decodeRaw, dng);
    ASSERT_EQ(b.format, PixelFormat::Rgb24);
    EXPECT_EQ(b.width, 64);
    EXPECT_EQ(b.height, 48);
    EXPECT_EQ(b.dpiX, 0);
    auto at = [&](int x, int y) {
        const std::uint8_t* p = b.row(y) + 3 * x;
        return std::array<int, 3>{p[0], p[1], p[2]};
    };
    // Away from the quadrants' edges, where demosaicing mixes them.
    const auto red = at(16, 12), green = at(48, 12), blue = at(16, 36), grey = at(48, 36);
    EXPECT_GT(red[0], red[1] + 80) << red[0] << " " << red[1] << " " << red[2];
    EXPECT_GT(red[0], red[2] + 80);
    EXPECT_GT(green[1], green[0] + 80) << green[0] << " " << green[1] << " " << green[2];
    EXPECT_GT(green[1], green[2] + 80);
    EXPECT_GT(blue[2], blue[0] + 80) << blue[0] << " " << blue[1] << " " << blue[2];
    EXPECT_GT(blue[2], blue[1] + 80);
    EXPECT_LT(std::abs(grey[0] - grey[1]), 12) << grey[0] << " " << grey[1] << " " << grey[2];
    EXPECT_LT(std::abs(grey[2] - grey[1]), 12);
    EXPECT_GT(grey[1], 60);

    Limits small;
    small.maxPixels = 64 * 48 - 1;
    EXPECT_EQ(errorKind(decodeRaw, dng, small), ImagingError::TooLarge);
}

// The value of a LONG or SHORT entry of a little-endian TIFF's first directory.
std::size_t tiffEntry(const std::string& tiff, unsigned tag) {
    const std::size_t ifd = get32le(tiff, 4);
    const unsigned count = std::uint8_t(tiff[ifd]) | std::uint8_t(tiff[ifd + 1]) << 8;
    for (unsigned i = 0; i < count; ++i) {
        const std::size_t e = ifd + 2 + 12 * i;
        if (unsigned(std::uint8_t(tiff[e]) | std::uint8_t(tiff[e + 1]) << 8) == tag)
            return e + 8;
    }
    throw std::runtime_error("tag not found");
}

TEST(RawDecode, OtherDataIsRefusedCleanly) {
    TempDir dir;
    const std::string dng = makeDng(dir.file("raw.dng"), 32, 32);
    ASSERT_EQ(dng.substr(0, 4), std::string("II*\0", 4));
    // libtiff writes the directory last: any cut loses it. LibRaw does without some
    // tags, so only cuts up to the directory must be refused.
    const std::size_t directory = get32le(dng, 4);
    for (std::size_t cut = 0; cut < dng.size(); cut += 7) {
        const bool decoded = decodesOrRefuses(decodeRaw, dng.substr(0, cut));
        if (cut <= directory + 2) {
            EXPECT_FALSE(decoded) << cut;
        }
    }
    // Sensor data said to lie at the very end, running past it.
    std::string shortData = dng;
    put32le(shortData, tiffEntry(dng, 273), std::uint32_t(dng.size() - 64));
    EXPECT_EQ(errorKind(decodeRaw, shortData), ImagingError::Damaged);
    expectGarbageHandled(decodeRaw, dng);
    PngParams png;
    EXPECT_EQ(errorKind(decodeRaw, makePng(png)), ImagingError::Unsupported);
    EXPECT_EQ(errorKind(decodeRaw, std::string(5000, 'x')), ImagingError::Unsupported);
}

// ---------------------------------------------------------------------------------------
// JBIG

TEST(JbigDecode, BiLevelAndGrey) {
    TempDir dir;
    const std::string source = writePattern(dir, 101, 37);
    const std::string pbm = dir.file("x.pbm");
    makeImage(shellQuote(source) + " -monochrome", pbm);
    for (const std::string& options : {std::string("-q"), std::string(""), std::string("-d 3 -s 4"),
                                       std::string("-r -p 0"), std::string("-C comment")}) {
        SCOPED_TRACE(options);
        const std::string jbg = dir.file("x.jbg");
        ASSERT_EQ(runCommand("pbmtojbg " + options + " " + shellQuote(pbm) + " " + shellQuote(jbg))
                      .exitCode,
                  0);
        const std::string bytes = readFile(jbg);
        const Bitmap b = decodeWith(decodeJbig, bytes);
        EXPECT_EQ(b.format, PixelFormat::Indexed1);
        EXPECT_EQ(b.palette, (std::vector<std::uint32_t>{0xFFFFFFFF, 0xFF000000}));
        EXPECT_TRUE(matchesReference(b, pbm, 0));
        expectTruncationsRefused(decodeJbig, bytes, bytes.size());
        expectGarbageHandled(decodeJbig, bytes);
    }

    // ImageMagick's own JBIG writer.
    const std::string imJbg = dir.file("im.jbg");
    makeImage(shellQuote(pbm), imJbg);
    EXPECT_TRUE(matchesReference(decodeWith(decodeJbig, readFile(imJbg)), pbm, 0));

    // Grey: several bit planes.
    for (int depth : {8, 4}) {
        SCOPED_TRACE(depth);
        const std::string pgm = dir.file("x.pgm");
        makeImage(shellQuote(source) + " -colorspace Gray -depth " + std::to_string(depth), pgm);
        const std::string jbg = dir.file("g.jbg");
        ASSERT_EQ(runCommand("pbmtojbg " + shellQuote(pgm) + " " + shellQuote(jbg)).exitCode, 0);
        const std::string bytes = readFile(jbg);
        ASSERT_EQ(int(std::uint8_t(bytes[2])), depth);
        const Bitmap b = decodeWith(decodeJbig, bytes);
        EXPECT_EQ(b.format, PixelFormat::Gray8);
        EXPECT_TRUE(matchesReference(b, pgm, 0));
        expectTruncationsRefused(decodeJbig, bytes, bytes.size());
    }
}

TEST(JbigDecode, HeaderIsCheckedBeforeJbigkitAllocates) {
    TempDir dir;
    const std::string source = writePattern(dir, 40, 30);
    const std::string pbm = dir.file("x.pbm");
    makeImage(shellQuote(source) + " -monochrome", pbm);
    const std::string jbg = dir.file("x.jbg");

    // A height announced as 0xFFFFFFFF and corrected by a NEWLEN marker.
    ASSERT_EQ(
        runCommand("pbmtojbg -q -p 60 -Y 4294967295 " + shellQuote(pbm) + " " + shellQuote(jbg))
            .exitCode,
        0);
    std::string bytes = readFile(jbg);
    ASSERT_EQ(get32be(bytes, 8), 0xFFFFFFFFu);
    Bitmap b = decodeWith(decodeJbig, bytes);
    EXPECT_EQ(b.height, 30);
    EXPECT_TRUE(matchesReference(b, pbm, 0));
    // Without the marker (cut off) the height stays unknown.
    const std::size_t newlen = bytes.rfind(std::string("\xFF\x05", 2));
    ASSERT_NE(newlen, std::string::npos);
    EXPECT_FALSE(decodesOrRefuses(decodeJbig, bytes.substr(0, newlen)));

    ASSERT_EQ(runCommand("pbmtojbg -q " + shellQuote(pbm) + " " + shellQuote(jbg)).exitCode, 0);
    bytes = readFile(jbg);
    std::string huge = bytes;
    put32be(huge, 4, 0x00FFFFFF);
    put32be(huge, 8, 0x00FFFFFF);
    EXPECT_EQ(errorKind(decodeJbig, huge), ImagingError::TooLarge);
    Limits small;
    small.maxPixels = 40 * 30 - 1;
    EXPECT_EQ(errorKind(decodeJbig, bytes, small), ImagingError::TooLarge);
    std::string planes = bytes;
    planes[2] = 9;
    EXPECT_EQ(errorKind(decodeJbig, planes), ImagingError::Unsupported);
    planes[2] = 0;
    EXPECT_EQ(errorKind(decodeJbig, planes), ImagingError::Damaged);
    std::string empty = bytes;
    put32be(empty, 4, 0);
    EXPECT_EQ(errorKind(decodeJbig, empty), ImagingError::Damaged);
    std::string layer = bytes;
    layer[0] = 1;
    layer[1] = 1;
    EXPECT_EQ(errorKind(decodeJbig, layer), ImagingError::Unsupported);
}

} // namespace
