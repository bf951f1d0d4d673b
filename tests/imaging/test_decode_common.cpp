// Format detection and the JPEG, PNG, GIF and TIFF decoders. Most inputs are made at
// test time by ImageMagick (and libtiff's tiffcp), and what we decode is compared with
// ImageMagick's own decode of the same file: exactly for lossless formats, within a
// few levels for JPEG.
#include "ImageFixtures.h"
#include "TestSupport.h"
#include "imaging/Codecs.h"
#include "imaging/DecodeSupport.h"
#include "imaging/Transform.h"

#include <gif_lib.h>
#include <gtest/gtest.h>
#include <libraw/libraw.h>
#include <tiffio.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>

namespace {

namespace fi = folimo::imaging;
using fi::Bitmap;
using fi::ImageFormat;
using fi::ImagingError;
using fi::PixelFormat;
using namespace folimo::test;

// ---------------------------------------------------------------------------------------
// Helpers

// Decodes a copy of exactly the given bytes in its own allocation, so that
// AddressSanitizer sees any read past the end.
Bitmap decodeExact(std::string_view bytes, const fi::Limits& limits = {}) {
    const std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
    return fi::decode(std::span<const std::uint8_t>(copy.data(), copy.size()), limits);
}

ImageFormat detect(std::string_view bytes) {
    return fi::detectFormat(bytesOf(bytes));
}

// The kind of ImagingError decoding throws; -1 when it decodes.
int errorKind(std::string_view bytes, const fi::Limits& limits = {}) {
    try {
        decodeExact(bytes, limits);
        return -1;
    } catch (const ImagingError& e) {
        return e.kind();
    }
}

std::uint16_t load16(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

// A pixel as 16-bit RGBA, whatever the format.
std::array<unsigned, 4> pixel16(const Bitmap& b, int x, int y) {
    const std::uint8_t* row = b.row(y);
    auto fromPalette = [&](unsigned index) -> std::array<unsigned, 4> {
        std::uint32_t e = index < b.palette.size() ? b.palette[index] : 0xFF000000u;
        return {(e >> 16 & 255) * 257, (e >> 8 & 255) * 257, (e & 255) * 257, (e >> 24) * 257};
    };
    switch (b.format) {
    case PixelFormat::Indexed1:
        return fromPalette(row[x / 8] >> (7 - x % 8) & 1);
    case PixelFormat::Indexed4:
        return fromPalette(row[x / 2] >> (x % 2 ? 0 : 4) & 15);
    case PixelFormat::Indexed8:
        return fromPalette(row[x]);
    case PixelFormat::Gray8:
        return {row[x] * 257u, row[x] * 257u, row[x] * 257u, 65535};
    case PixelFormat::Rgb24:
        return {row[3 * x] * 257u, row[3 * x + 1] * 257u, row[3 * x + 2] * 257u, 65535};
    case PixelFormat::Rgba32:
        return {row[4 * x] * 257u, row[4 * x + 1] * 257u, row[4 * x + 2] * 257u,
                row[4 * x + 3] * 257u};
    case PixelFormat::Gray16: {
        unsigned v = load16(row + 2 * x);
        return {v, v, v, 65535};
    }
    case PixelFormat::Rgb48:
        return {load16(row + 6 * x), load16(row + 6 * x + 2), load16(row + 6 * x + 4), 65535};
    case PixelFormat::Rgba64:
        return {load16(row + 8 * x), load16(row + 8 * x + 2), load16(row + 8 * x + 4),
                load16(row + 8 * x + 6)};
    }
    return {};
}

// ImageMagick (6.9, Q16) truncates when it reduces a sample to 8 bits; the fixtures
// and our decoders round.
unsigned imTo8(unsigned v) {
    return v * 255 / 65535;
}
unsigned round8(unsigned v) {
    return (v * 255 + 32767) / 65535;
}

// The bitmap put over white as ImageMagick does for its reference decode.
Raster flatten(const Bitmap& b) {
    Raster r;
    r.width = b.width;
    r.height = b.height;
    r.rgb.reserve(std::size_t(b.width) * b.height * 3);
    for (int y = 0; y < b.height; ++y)
        for (int x = 0; x < b.width; ++x) {
            auto p = pixel16(b, x, y);
            double a = p[3] / 65535.0;
            for (int c = 0; c < 3; ++c)
                r.rgb.push_back(
                    std::uint8_t(imTo8(unsigned(std::lround(p[c] * a + 65535.0 * (1 - a))))));
        }
    return r;
}

// ImageMagick's decode of the first image, with extra operators (such as -auto-orient)
// applied before it is put over white.
Raster imageMagickDecode(const std::string& path, const std::string& operators = "") {
    if (operators.empty())
        return decodeReference(path);
    TempDir dir;
    std::string out = dir.file("ref.ppm");
    CommandResult r = runCommand("convert " + shellQuote(path) + "[0] " + operators +
                                 " -background white -alpha remove -alpha off "
                                 "-colorspace sRGB -depth 8 " +
                                 shellQuote("ppm:" + out));
    if (r.exitCode != 0)
        throw std::runtime_error("convert failed: " + r.output);
    std::string ppm = readFile(out);
    std::istringstream header(ppm);
    std::string magic;
    Raster raster;
    int maxval = 0;
    header >> magic >> raster.width >> raster.height >> maxval;
    raster.rgb.assign(ppm.begin() + static_cast<std::ptrdiff_t>(header.tellg()) + 1, ppm.end());
    return raster;
}

::testing::AssertionResult looksLike(const Bitmap& b, const Raster& reference, int maxDiff,
                                     double meanDiff = 256) {
    Raster ours = flatten(b);
    if (ours.width != reference.width || ours.height != reference.height)
        return ::testing::AssertionFailure()
               << "size " << ours.width << "x" << ours.height << ", ImageMagick " << reference.width
               << "x" << reference.height;
    RasterDifference d = compareRasters(ours, reference);
    if (d.max <= maxDiff && d.mean <= meanDiff)
        return ::testing::AssertionSuccess();
    auto result = ::testing::AssertionFailure();
    result << "max difference " << d.max << ", mean " << d.mean;
    for (std::size_t i = 0; i < ours.rgb.size(); ++i)
        if (std::abs(int(ours.rgb[i]) - int(reference.rgb[i])) > maxDiff) {
            std::size_t p = i / 3;
            result << "; first at (" << p % std::size_t(ours.width) << ","
                   << p / std::size_t(ours.width) << ") channel " << i % 3 << ": ours "
                   << int(ours.rgb[i]) << ", ImageMagick " << int(reference.rgb[i]);
            break;
        }
    return result;
}

// Makes `name` with convert ARGS, decodes it and compares it with ImageMagick's decode.
struct Made {
    std::string path;
    std::string bytes;
    Bitmap bitmap;
};
// `name` may start with ImageMagick's "format:" prefix.
Made makeAndDecode(const TempDir& dir, const std::string& args, const std::string& name) {
    Made m;
    std::size_t colon = name.find(':');
    m.path = dir.file(name.substr(colon + 1));
    makeImage(args, name.substr(0, colon + 1) + m.path);
    m.bytes = readFile(m.path);
    m.bitmap = decodeExact(m.bytes);
    return m;
}

std::string be16(unsigned v) {
    return {char(v >> 8), char(v & 255)};
}
std::string be32(std::uint32_t v) {
    return be16(v >> 16) + be16(v & 0xFFFF);
}

// A GIF written by giflib itself: for layouts ImageMagick does not produce.
struct GifLayout {
    int screenWidth = 8, screenHeight = 8;
    int left = 0, top = 0, width = 8, height = 8;
    std::vector<GifColorType> globalMap{{0, 0, 0}, {255, 255, 255}};
    std::vector<GifColorType> localMap;
    int transparent = -1;
    bool interlace = false;
    std::vector<std::uint8_t> pixels; // width x height indices in display order
    bool writePixels = true;
};

int appendToString(GifFileType* gif, const GifByteType* data, int length) {
    static_cast<std::string*>(gif->UserData)
        ->append(reinterpret_cast<const char*>(data), std::size_t(length));
    return length;
}

std::string makeGif(const GifLayout& s) {
    std::string out;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, appendToString, &error);
    if (!gif)
        throw std::runtime_error("EGifOpen failed");
    EGifSetGifVersion(gif, true);
    auto makeMap = [](const std::vector<GifColorType>& colours) -> ColorMapObject* {
        if (colours.empty())
            return nullptr;
        int n = 2;
        while (n < int(colours.size()))
            n *= 2;
        std::vector<GifColorType> padded = colours;
        padded.resize(std::size_t(n), GifColorType{0, 0, 0});
        return GifMakeMapObject(n, padded.data());
    };
    ColorMapObject* global = makeMap(s.globalMap);
    ColorMapObject* local = makeMap(s.localMap);
    bool ok = EGifPutScreenDesc(gif, s.screenWidth, s.screenHeight, 8, 0, global) == GIF_OK;
    if (s.transparent >= 0) {
        GraphicsControlBlock gcb{};
        gcb.TransparentColor = s.transparent;
        GifByteType ext[4];
        EGifGCBToExtension(&gcb, ext);
        ok = ok && EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext) == GIF_OK;
    }
    ok =
        ok && EGifPutImageDesc(gif, s.left, s.top, s.width, s.height, s.interlace, local) == GIF_OK;
    if (s.writePixels) {
        static constexpr int starts[] = {0, 4, 2, 1}, steps[] = {8, 8, 4, 2};
        std::vector<int> order;
        if (s.interlace) {
            for (int pass = 0; pass < 4; ++pass)
                for (int y = starts[pass]; y < s.height; y += steps[pass])
                    order.push_back(y);
        } else {
            for (int y = 0; y < s.height; ++y)
                order.push_back(y);
        }
        for (int y : order) {
            std::vector<GifPixelType> line(s.pixels.begin() + std::ptrdiff_t(y) * s.width,
                                           s.pixels.begin() + std::ptrdiff_t(y + 1) * s.width);
            ok = ok && EGifPutLine(gif, line.data(), s.width) == GIF_OK;
        }
    }
    EGifCloseFile(gif, &error);
    GifFreeMapObject(global);
    GifFreeMapObject(local);
    if (!ok)
        throw std::runtime_error("writing the GIF failed");
    return out;
}

// A classic little-endian TIFF written entry by entry: for headers no writer would
// produce. Entries are (tag, type, count, value or offset).
struct RawEntry {
    std::uint16_t tag, type;
    std::uint32_t count, value;
};
std::string makeTiffBytes(std::vector<RawEntry> entries, const std::string& tail = "") {
    std::sort(entries.begin(), entries.end(),
              [](const RawEntry& a, const RawEntry& b) { return a.tag < b.tag; });
    std::string s = "II*";
    s += '\0';
    auto le16 = [&](unsigned v) {
        s += char(v & 255);
        s += char(v >> 8);
    };
    auto le32 = [&](std::uint32_t v) {
        le16(v & 0xFFFF);
        le16(v >> 16);
    };
    le32(8);
    le16(unsigned(entries.size()));
    for (const RawEntry& e : entries) {
        le16(e.tag);
        le16(e.type);
        le32(e.count);
        le32(e.value);
    }
    le32(0);
    return s + tail;
}
// Where makeTiffBytes puts `tail`.
std::uint32_t tiffTailOffset(std::size_t entryCount) {
    return std::uint32_t(8 + 2 + 12 * entryCount + 4);
}

// A DNG-like file through libtiff: CFA sensor data in IFD0, or (preview = true) an
// 8-bit RGB preview in IFD0 with the sensor data in a SubIFD, as cameras write it.
std::string makeDng(const std::string& path, bool preview, bool dngTags) {
    std::unique_ptr<TIFF, decltype(&TIFFClose)> tif(TIFFOpen(path.c_str(), "w"), TIFFClose);
    if (!tif)
        throw std::runtime_error("TIFFOpen failed");
    const int w = 64, h = 48;
    auto common = [&](int width, int height) {
        TIFFSetField(tif.get(), TIFFTAG_IMAGEWIDTH, width);
        TIFFSetField(tif.get(), TIFFTAG_IMAGELENGTH, height);
        TIFFSetField(tif.get(), TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        TIFFSetField(tif.get(), TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif.get(), TIFFTAG_ROWSPERSTRIP, height);
    };
    auto sensor = [&]() {
        common(w, h);
        TIFFSetField(tif.get(), TIFFTAG_SUBFILETYPE, 0);
        TIFFSetField(tif.get(), TIFFTAG_BITSPERSAMPLE, 16);
        TIFFSetField(tif.get(), TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif.get(), TIFFTAG_PHOTOMETRIC, 32803);
        static const std::uint16_t dim[] = {2, 2};
        static const std::uint8_t pattern[] = {0, 1, 1, 2};
        TIFFSetField(tif.get(), TIFFTAG_CFAREPEATPATTERNDIM, dim);
        TIFFSetField(tif.get(), TIFFTAG_CFAPATTERN, 4, pattern);
        std::vector<std::uint16_t> row(w);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x)
                row[std::size_t(x)] = std::uint16_t((x * 997 + y * 131) % 4096);
            TIFFWriteScanline(tif.get(), row.data(), std::uint32_t(y), 0);
        }
    };
    auto dng = [&]() {
        if (!dngTags)
            return;
        static const std::uint8_t version[] = {1, 4, 0, 0};
        TIFFSetField(tif.get(), TIFFTAG_DNGVERSION, version);
        TIFFSetField(tif.get(), TIFFTAG_DNGBACKWARDVERSION, version);
        TIFFSetField(tif.get(), TIFFTAG_UNIQUECAMERAMODEL, "Folimo Test");
        static const float matrix[] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
        TIFFSetField(tif.get(), TIFFTAG_COLORMATRIX1, 9, matrix);
        TIFFSetField(tif.get(), TIFFTAG_CALIBRATIONILLUMINANT1, 21);
    };
    TIFFSetField(tif.get(), TIFFTAG_MAKE, "Canon");
    TIFFSetField(tif.get(), TIFFTAG_MODEL, "Folimo Test");
    if (!preview) {
        dng();
        sensor();
        TIFFWriteDirectory(tif.get());
    } else {
        const int pw = 16, ph = 12;
        common(pw, ph);
        TIFFSetField(tif.get(), TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE);
        TIFFSetField(tif.get(), TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif.get(), TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tif.get(), TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        dng();
        std::uint64_t subifd = 0;
        TIFFSetField(tif.get(), TIFFTAG_SUBIFD, 1, &subifd);
        std::vector<std::uint8_t> row(pw * 3, 128);
        for (int y = 0; y < ph; ++y)
            TIFFWriteScanline(tif.get(), row.data(), std::uint32_t(y), 0);
        TIFFWriteDirectory(tif.get());
        sensor();
        TIFFWriteDirectory(tif.get());
    }
    tif.reset();
    return readFile(path);
}

// ---------------------------------------------------------------------------------------
// Shared helpers of the decoders

TEST(DecodeSupport, ByteReaderStopsAtTheEnd) {
    const std::uint8_t data[] = {1, 2, 3, 4, 5, 6};
    fi::support::ByteReader r({data, 6}, "the test file");
    EXPECT_EQ(r.u16le(), 0x0201);
    EXPECT_EQ(r.u32be(), 0x03040506u);
    EXPECT_EQ(r.remaining(), 0u);
    try {
        r.u8();
        FAIL() << "read past the end";
    } catch (const ImagingError& e) {
        EXPECT_EQ(e.kind(), ImagingError::Damaged);
        EXPECT_STREQ(e.what(), "the test file ends too early");
    }
    EXPECT_THROW(r.seek(7), ImagingError);
    r.seek(6);
    EXPECT_THROW(r.skip(1), ImagingError);
    EXPECT_THROW(r.bytes(std::size_t(-1)), ImagingError);
}

TEST(DecodeSupport, DimensionsAndSizesAreChecked) {
    using fi::support::checkDimensions;
    fi::Limits limits{1000, 1'000'000};
    EXPECT_NO_THROW(checkDimensions(10, 100, limits));
    EXPECT_THROW(checkDimensions(10, 101, limits), ImagingError);
    EXPECT_THROW(checkDimensions(0, 5, limits), ImagingError);
    EXPECT_THROW(checkDimensions(std::uint64_t(1) << 33, 1, fi::Limits{~0ull, ~0ull}),
                 ImagingError);
    EXPECT_THROW(checkDimensions(std::uint64_t(1) << 31, std::uint64_t(1) << 31, fi::Limits{}),
                 ImagingError);
    EXPECT_THROW(fi::support::checkedMul(std::size_t(1) << 40, std::size_t(1) << 40), ImagingError);
}

TEST(DecodeSupport, ResolutionSnapsToTheWholeDpiItWasMadeFrom) {
    using fi::support::dpiFromPixelsPerMetre;
    EXPECT_EQ(dpiFromPixelsPerMetre(5669), 144);
    EXPECT_EQ(dpiFromPixelsPerMetre(5670), 144);
    EXPECT_EQ(dpiFromPixelsPerMetre(2835), 72);
    EXPECT_EQ(dpiFromPixelsPerMetre(2834), 72);
    EXPECT_EQ(dpiFromPixelsPerMetre(11811), 300);
    EXPECT_NEAR(dpiFromPixelsPerMetre(1000), 25.4, 1e-9);
    EXPECT_EQ(dpiFromPixelsPerMetre(0), 0);
    EXPECT_EQ(fi::support::dpiFromPixelsPerCentimetre(118.11), 300);
}

TEST(DecodeSupport, CmykFollowsTheAdobeConventionWhenAsked) {
    // Cyan ink only, in both conventions.
    const std::uint8_t plain[] = {255, 0, 0, 0}, adobe[] = {0, 255, 255, 255};
    std::uint8_t rgb[3];
    fi::support::cmykToRgb(plain, rgb, 1, false);
    EXPECT_EQ((std::array<int, 3>{rgb[0], rgb[1], rgb[2]}), (std::array<int, 3>{0, 255, 255}));
    fi::support::cmykToRgb(adobe, rgb, 1, true);
    EXPECT_EQ((std::array<int, 3>{rgb[0], rgb[1], rgb[2]}), (std::array<int, 3>{0, 255, 255}));
    // Half black over no colour, and the conversion in place.
    std::uint8_t inPlace[] = {0, 0, 0, 128, 0, 0, 0, 0};
    fi::support::cmykToRgb(inPlace, inPlace, 2, false);
    EXPECT_EQ((std::array<int, 6>{inPlace[0], inPlace[1], inPlace[2], inPlace[3], inPlace[4],
                                  inPlace[5]}),
              (std::array<int, 6>{127, 127, 127, 255, 255, 255}));
}

TEST(DecodeSupport, TiffDirectoryReaderSurvivesEveryCut) {
    std::string tiff =
        makeTiffBytes({{256, 4, 1, 640}, {257, 3, 1, 480}, {282, 5, 1, 0}, {296, 3, 1, 3}}, "");
    // The rational's value lives after the directory.
    std::uint32_t at = tiffTailOffset(4);
    tiff.replace(8 + 2 + 12 * 2 + 8, 4, std::string{char(at), char(at >> 8), 0, 0});
    tiff += std::string{char(150), 0, 0, 0, 2, 0, 0, 0};
    auto fields = fi::support::readFirstTiffDirectory(bytesOf(tiff));
    ASSERT_EQ(fields.size(), 4u);
    EXPECT_EQ(fields[0].value, 640);
    EXPECT_EQ(fields[1].value, 480);
    EXPECT_EQ(fields[2].value, 75);
    EXPECT_EQ(fields[3].value, 3);
    for (std::size_t cut = 0; cut < tiff.size(); ++cut) {
        std::vector<std::uint8_t> copy(tiff.begin(), tiff.begin() + std::ptrdiff_t(cut));
        auto partial = fi::support::readFirstTiffDirectory(copy);
        EXPECT_LE(partial.size(), 4u);
    }
}

// ---------------------------------------------------------------------------------------
// Detection

TEST(Detection, EveryFormatIsRecognisedByContentWhateverItsName) {
    TempDir dir;
    struct Case {
        std::string args, output;
        ImageFormat expected;
    };
    const std::string rgb = "-size 24x16 gradient:red-blue ";
    const std::vector<Case> cases = {
        {rgb, "bmp:picture.png", ImageFormat::Bmp},
        {rgb, "bmp3:picture.gif", ImageFormat::Bmp},
        {rgb, "bmp2:picture.gif", ImageFormat::Bmp},
        {rgb, "gif:picture.png", ImageFormat::Gif},
        {rgb, "gif87:picture.png", ImageFormat::Gif},
        {rgb, "png:picture.jpg", ImageFormat::Png},
        {rgb, "mng:picture.png", ImageFormat::Mng},
        {rgb, "jpeg:picture.png", ImageFormat::Jpeg},
        {rgb, "tiff:picture.jpg", ImageFormat::Tiff},
        {rgb + "-endian MSB", "tiff:picture.bmp", ImageFormat::Tiff},
        {rgb, "tiff64:picture.bmp", ImageFormat::Tiff},
        {rgb, "webp:picture.png", ImageFormat::WebP},
        {rgb, "psd:picture.tif", ImageFormat::Psd},
        {rgb, "ico:picture.png", ImageFormat::Ico},
        {rgb, "cur:picture.png", ImageFormat::Ico},
        {"-size 64x48 pattern:checkerboard -monochrome", "jbig:picture.png", ImageFormat::Jbig},
        {"-size 2000x3 pattern:checkerboard -monochrome", "jbig:wide.png", ImageFormat::Jbig},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        std::string output = c.output;
        std::string path = dir.file(std::to_string(i) + "-" + output.substr(output.find(':') + 1));
        makeImage(c.args, output.substr(0, output.find(':') + 1) + path);
        std::string bytes = readFile(path);
        EXPECT_EQ(detect(bytes), c.expected) << c.output;
        if (c.expected == ImageFormat::Bmp && c.output.rfind("bmp2:", 0) != 0) {
            // The same picture without the 14-byte file header, as clipboards hold it.
            EXPECT_EQ(detect(bytes.substr(14)), ImageFormat::Bmp) << c.output << " as a DIB";
        }
    }
}

TEST(Detection, AMisnamedFileDecodesAsWhatItIs) {
    TempDir dir;
    std::string path = dir.file("photo.jpg");
    makeImage("-size 20x10 xc:red", "png:" + path);
    Bitmap b = decodeExact(readFile(path));
    EXPECT_EQ(b.width, 20);
    EXPECT_EQ(b.height, 10);
    EXPECT_TRUE(looksLike(b, decodeReference(path), 0));
}

TEST(Detection, FormatNames) {
    const std::pair<ImageFormat, const char*> names[] = {
        {ImageFormat::Unknown, "unknown"}, {ImageFormat::Bmp, "BMP"},
        {ImageFormat::Gif, "GIF"},         {ImageFormat::Png, "PNG"},
        {ImageFormat::Jpeg, "JPEG"},       {ImageFormat::Tiff, "TIFF"},
        {ImageFormat::WebP, "WebP"},       {ImageFormat::Psd, "PSD"},
        {ImageFormat::Ico, "ICO"},         {ImageFormat::Mng, "MNG"},
        {ImageFormat::Jbig, "JBIG"},       {ImageFormat::Raw, "camera raw"},
        {ImageFormat::Heif, "HEIF"},       {ImageFormat::Avif, "AVIF"},
    };
    for (auto [format, name] : names)
        EXPECT_STREQ(fi::formatName(format), name);
}

TEST(Detection, WhatIsNoImageIsUnknown) {
    std::mt19937 random(7);
    std::string noise(4096, '\0');
    for (char& c : noise)
        c = char(random());
    const std::vector<std::string> samples = {
        "",
        "Hello, world\n",
        std::string(4096, '\0'),
        noise,
        "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n",
        "BM is not a bitmap on its own",
        "RIFF\x24\0\0\0WAVEfmt ",
        "GIF90a",
        "8BPS\0\x07",
        std::string("\0\0\1\0\0\0", 6) + std::string(32, 'x'), // an icon with no images
        std::string("\x89PNG\r\n", 6),
    };
    for (const std::string& s : samples) {
        EXPECT_EQ(detect(s), ImageFormat::Unknown) << "sample of " << s.size() << " bytes";
        try {
            decodeExact(s);
            ADD_FAILURE() << "decoded a sample of " << s.size() << " bytes";
        } catch (const ImagingError& e) {
            if (s.empty())
                continue;
            EXPECT_EQ(e.kind(), ImagingError::Unsupported);
            EXPECT_STREQ(e.what(), "not an image file in a known format");
        }
    }
}

TEST(Detection, IconDirectoriesAndJbigHeadersAreToldApart) {
    // A one-plane JBIG header starts 00 00 01 00 like an icon file; one wider than
    // 65535 pixels even gives a non-zero "icon count".
    std::string jbig = std::string("\0\0\1\0", 4) + be32(70000) + be32(10) + be32(128) +
                       std::string("\0\0\x03\x08", 4) + std::string(20, '\0');
    EXPECT_EQ(detect(jbig), ImageFormat::Jbig);
    jbig[18] = char(0x13); // an order field with bits JBIG does not define
    EXPECT_EQ(detect(jbig), ImageFormat::Unknown);

    // Sixteen icon entries put 00 00 00 06 at bytes 16..19, which a JBIG check would take.
    std::string ico = std::string("\0\0\1\0\x10\0", 6);
    for (int i = 0; i < 16; ++i) {
        std::uint32_t offset = 6 + 16 * 16 + std::uint32_t(i) * 40;
        ico += std::string{16, 16, 0, 0, 1, 0, 32, 0, 40, 0, 0, 0};
        ico += std::string{char(offset), char(offset >> 8), 0, 0};
    }
    ico += std::string(16 * 40, '\0');
    EXPECT_EQ(detect(ico), ImageFormat::Ico);
    // An entry pointing into the directory is no icon.
    ico[6 + 12] = 8;
    ico[6 + 13] = 0;
    EXPECT_NE(detect(ico), ImageFormat::Ico);
}

TEST(Detection, CameraRawInsideTiffIsRawOnlyWhenItIsNoPlainPicture) {
    TempDir dir;
    EXPECT_EQ(detect(makeDng(dir.file("sensor.dng"), false, true)), ImageFormat::Raw);
    EXPECT_EQ(detect(makeDng(dir.file("preview.dng"), true, true)), ImageFormat::Raw);
    // Without DNG tags: LibRaw still knows the camera, and IFD0 is only a preview.
    EXPECT_EQ(detect(makeDng(dir.file("preview.tif"), true, false)), ImageFormat::Raw);

    // A scanner's 16-bit grey TIFF that names a camera maker: LibRaw takes it for a
    // sensor dump, but it is a picture libtiff shows as it is.
    for (int bits : {8, 16}) {
        std::string path = dir.file("plain" + std::to_string(bits) + ".tif");
        {
            std::unique_ptr<TIFF, decltype(&TIFFClose)> tif(TIFFOpen(path.c_str(), "w"), TIFFClose);
            ASSERT_TRUE(tif);
            TIFFSetField(tif.get(), TIFFTAG_IMAGEWIDTH, 64);
            TIFFSetField(tif.get(), TIFFTAG_IMAGELENGTH, 48);
            TIFFSetField(tif.get(), TIFFTAG_BITSPERSAMPLE, bits);
            TIFFSetField(tif.get(), TIFFTAG_SAMPLESPERPIXEL, 1);
            TIFFSetField(tif.get(), TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
            TIFFSetField(tif.get(), TIFFTAG_ROWSPERSTRIP, 48);
            TIFFSetField(tif.get(), TIFFTAG_MAKE, "Canon");
            TIFFSetField(tif.get(), TIFFTAG_MODEL, "Canon EOS 5D");
            std::vector<std::uint8_t> row(64 * 2, 0x55);
            for (std::uint32_t y = 0; y < 48; ++y)
                TIFFWriteScanline(tif.get(), row.data(), y, 0);
        }
        std::string bytes = readFile(path);
        if (bits == 16) {
            std::unique_ptr<libraw_data_t, decltype(&libraw_close)> raw(libraw_init(0),
                                                                        libraw_close);
            EXPECT_EQ(libraw_open_buffer(raw.get(), bytes.data(), bytes.size()), LIBRAW_SUCCESS)
                << "LibRaw no longer claims it; the case shows nothing";
        }
        EXPECT_EQ(detect(bytes), ImageFormat::Tiff) << bits;
        EXPECT_EQ(decodeExact(bytes).format, bits == 16 ? PixelFormat::Gray16 : PixelFormat::Gray8);
    }
}

TEST(Detection, DecodeDispatchesEveryFormatToItsDecoder) {
    TempDir dir;
    for (const char* type :
         {"bmp", "gif", "png", "mng", "jpeg", "tiff", "webp", "psd", "ico", "jbig"}) {
        std::string path = dir.file(std::string("picture.") + type);
        std::string args = std::string(type) == "jbig"
                               ? "-size 32x16 pattern:checkerboard -monochrome"
                               : "-size 32x16 gradient:red-blue";
        makeImage(args, std::string(type) + ":" + path);
        try {
            Bitmap b = decodeExact(readFile(path));
            EXPECT_EQ(b.width, 32) << type;
            EXPECT_EQ(b.height, 16) << type;
        } catch (const ImagingError& e) {
            // Another decoder's own failure is its business; reaching it is ours.
            EXPECT_STRNE(e.what(), "not an image file in a known format") << type;
        }
    }
    try {
        decodeExact(makeDng(dir.file("sensor.dng"), false, true));
    } catch (const ImagingError& e) {
        EXPECT_STRNE(e.what(), "not an image file in a known format");
    }
}

// ---------------------------------------------------------------------------------------
// PNG

TEST(Png, EveryColourTypeDepthAndInterlaceMatchesImageMagick) {
    TempDir dir;
    struct Kind {
        PngColor color;
        int depth;
        PngAlpha alpha;
        PixelFormat expected;
    };
    const std::vector<Kind> kinds = {
        {PngColor::Gray, 1, PngAlpha::None, PixelFormat::Indexed1},
        {PngColor::Gray, 1, PngAlpha::Binary, PixelFormat::Indexed1},
        {PngColor::Gray, 2, PngAlpha::None, PixelFormat::Gray8},
        {PngColor::Gray, 4, PngAlpha::None, PixelFormat::Gray8},
        {PngColor::Gray, 4, PngAlpha::Binary, PixelFormat::Rgba32},
        {PngColor::Gray, 8, PngAlpha::None, PixelFormat::Gray8},
        {PngColor::Gray, 8, PngAlpha::Binary, PixelFormat::Rgba32},
        {PngColor::Gray, 16, PngAlpha::None, PixelFormat::Gray16},
        {PngColor::Gray, 16, PngAlpha::Binary, PixelFormat::Rgba64},
        {PngColor::Rgb, 8, PngAlpha::None, PixelFormat::Rgb24},
        {PngColor::Rgb, 8, PngAlpha::Binary, PixelFormat::Rgba32},
        {PngColor::Rgb, 16, PngAlpha::None, PixelFormat::Rgb48},
        {PngColor::Rgb, 16, PngAlpha::Binary, PixelFormat::Rgba64},
        {PngColor::Palette, 1, PngAlpha::None, PixelFormat::Indexed1},
        {PngColor::Palette, 2, PngAlpha::Binary, PixelFormat::Indexed8},
        {PngColor::Palette, 4, PngAlpha::Partial, PixelFormat::Indexed4},
        {PngColor::Palette, 8, PngAlpha::None, PixelFormat::Indexed8},
        {PngColor::Palette, 8, PngAlpha::Partial, PixelFormat::Indexed8},
        {PngColor::GrayAlpha, 8, PngAlpha::Partial, PixelFormat::Rgba32},
        {PngColor::GrayAlpha, 16, PngAlpha::Partial, PixelFormat::Rgba64},
        {PngColor::RgbAlpha, 8, PngAlpha::Partial, PixelFormat::Rgba32},
        {PngColor::RgbAlpha, 8, PngAlpha::Binary, PixelFormat::Rgba32},
        {PngColor::RgbAlpha, 16, PngAlpha::Partial, PixelFormat::Rgba64},
    };
    int n = 0;
    for (const Kind& k : kinds)
        for (bool interlaced : {false, true}) {
            PngParams p;
            p.width = 37; // odd sizes exercise partial bytes and short interlace passes
            p.height = 21;
            p.color = k.color;
            p.bitDepth = k.depth;
            p.alpha = k.alpha;
            p.interlaced = interlaced;
            p.idatSize = interlaced ? 100 : 0;
            std::string png = makePng(p);
            std::string path = dir.file("k" + std::to_string(n++) + ".png");
            writeFile(path, png);
            SCOPED_TRACE(::testing::Message()
                         << "colour type " << int(k.color) << ", depth " << k.depth << ", alpha "
                         << int(k.alpha) << (interlaced ? ", interlaced" : ""));
            Bitmap b = decodeExact(png);
            EXPECT_EQ(b.format, k.expected);
            EXPECT_EQ(b.width, p.width);
            EXPECT_EQ(b.height, p.height);
            // Alpha is put over white in floating point by ImageMagick: one level.
            bool alpha = fi::hasAlpha(b.format) ||
                         std::any_of(b.palette.begin(), b.palette.end(),
                                     [](std::uint32_t e) { return (e >> 24) != 255; });
            EXPECT_TRUE(looksLike(b, decodeReference(path), alpha ? 1 : 0));
            // Against the fixture's own description, exactly.
            for (int y = 0; y < p.height; y += 5)
                for (int x = 0; x < p.width; x += 3) {
                    auto px = pixel16(b, x, y);
                    Rgb rgb = expectedPngRgb(p, x, y);
                    std::uint8_t a = expectedPngAlpha(p, x, y);
                    if (a != 0 || k.color == PngColor::Palette || k.color == PngColor::GrayAlpha ||
                        k.color == PngColor::RgbAlpha) {
                        ASSERT_EQ(round8(px[0]), rgb.r) << x << "," << y;
                        ASSERT_EQ(round8(px[1]), rgb.g) << x << "," << y;
                        ASSERT_EQ(round8(px[2]), rgb.b) << x << "," << y;
                    }
                    ASSERT_EQ(round8(px[3]), a) << x << "," << y;
                }
        }
}

TEST(Png, SixteenBitSamplesKeepFullPrecisionInNativeOrder) {
    for (PngColor color : {PngColor::Gray, PngColor::Rgb, PngColor::RgbAlpha}) {
        PngParams p;
        p.color = color;
        p.bitDepth = 16;
        p.alpha = color == PngColor::RgbAlpha ? PngAlpha::Partial : PngAlpha::None;
        Bitmap b = decodeExact(makePng(p));
        const int channels = color == PngColor::Gray ? 1 : color == PngColor::Rgb ? 3 : 4;
        for (int y = 0; y < p.height; ++y)
            for (int x = 0; x < p.width; ++x)
                for (int c = 0; c < channels; ++c)
                    ASSERT_EQ(load16(b.row(y) + 2 * (x * channels + c)), pngSample(p, x, y, c))
                        << "colour type " << int(color) << " at " << x << "," << y;
    }
}

TEST(Png, PalettesKeepTheirEntriesAndTransparency) {
    PngParams p;
    p.color = PngColor::Palette;
    p.bitDepth = 8;
    p.alpha = PngAlpha::Partial;
    Bitmap b = decodeExact(makePng(p));
    std::string plte = pngPalette(p), alphas = pngPaletteAlphas(p);
    ASSERT_EQ(b.palette.size(), plte.size() / 3);
    for (std::size_t i = 0; i < b.palette.size(); ++i) {
        std::uint32_t a = i < alphas.size() ? std::uint8_t(alphas[i]) : 255;
        std::uint32_t expected = a << 24 | std::uint32_t(std::uint8_t(plte[3 * i])) << 16 |
                                 std::uint32_t(std::uint8_t(plte[3 * i + 1])) << 8 |
                                 std::uint8_t(plte[3 * i + 2]);
        EXPECT_EQ(b.palette[i], expected) << "entry " << i;
    }
    // A tRNS chunk shorter than the palette leaves the rest opaque.
    p.alpha = PngAlpha::None;
    p.bitDepth = 4;
    std::string png = insertPngChunkBeforeData(makePng(p), "tRNS", std::string("\0\x80", 2));
    b = decodeExact(png);
    ASSERT_EQ(b.format, PixelFormat::Indexed4);
    EXPECT_EQ(b.palette[0] >> 24, 0u);
    EXPECT_EQ(b.palette[1] >> 24, 0x80u);
    EXPECT_EQ(b.palette[2] >> 24, 0xFFu);
}

TEST(Png, ResolutionAndProfileAreRead) {
    PngParams p;
    struct Case {
        std::uint32_t x, y;
        double dpiX, dpiY;
    };
    for (Case c : {Case{5669, 0, 144, 144}, Case{5670, 0, 144, 144}, Case{2835, 5669, 72, 144},
                   Case{11811, 0, 300, 300}, Case{1000, 0, 25.4, 25.4}}) {
        p.pixelsPerMetre = c.x;
        p.pixelsPerMetreY = c.y;
        Bitmap b = decodeExact(makePng(p));
        EXPECT_NEAR(b.dpiX, c.dpiX, 1e-9) << c.x;
        EXPECT_NEAR(b.dpiY, c.dpiY, 1e-9) << c.x;
    }
    p.pixelsPerMetre = 0;
    Bitmap none = decodeExact(makePng(p));
    EXPECT_EQ(none.dpiX, 0);
    EXPECT_EQ(none.dpiY, 0);
    // pHYs with unit 0 gives only the pixels' shape.
    std::string shapeOnly = insertPngChunkBeforeData(makePng(p), "pHYs", be32(3) + be32(2) + '\0');
    EXPECT_EQ(decodeExact(shapeOnly).dpiX, 0);

    p.iccProfile = makeIccProfile(IccModel::Rgb, "PNG test");
    EXPECT_EQ(decodeExact(makePng(p)).iccProfile, p.iccProfile);
    p.color = PngColor::Gray;
    p.iccProfile = makeIccProfile(IccModel::Gray);
    EXPECT_EQ(decodeExact(makePng(p)).iccProfile, p.iccProfile);
}

TEST(Png, ImageMagickVariantsMatch) {
    TempDir dir;
    const std::pair<std::string, std::string> variants[] = {
        {"-seed 3 -size 50x40 plasma:fractal", "png24:a.png"},
        {"-seed 3 -size 50x40 plasma:fractal -colors 200", "png8:b.png"},
        {"-size 50x40 gradient:red-blue -depth 16", "png48:c.png"},
        {"-size 50x40 gradient: -depth 16 -colorspace Gray", "d.png"},
        {"-size 50x40 xc:none -fill '#ff000080' -draw 'circle 25,20 25,5'", "png32:e.png"},
        {"-size 50x40 xc:white -fill black -draw 'line 0,0 49,39' -type Bilevel", "f.png"},
        {"-size 50x40 gradient:red-blue -interlace PNG", "g.png"},
        {"-seed 5 -size 50x40 plasma:fractal -density 300 -units PixelsPerInch", "h.png"},
    };
    for (const auto& [args, name] : variants) {
        Made m = makeAndDecode(dir, args, name);
        bool alpha = fi::hasAlpha(m.bitmap.format) ||
                     std::any_of(m.bitmap.palette.begin(), m.bitmap.palette.end(),
                                 [](std::uint32_t e) { return (e >> 24) != 255; });
        EXPECT_TRUE(looksLike(m.bitmap, decodeReference(m.path), alpha ? 1 : 0)) << args;
        if (name == "h.png") {
            EXPECT_EQ(m.bitmap.dpiX, 300);
            EXPECT_EQ(m.bitmap.dpiY, 300);
        }
    }
}

// ---------------------------------------------------------------------------------------
// JPEG

TEST(Jpeg, GreyColourAndCmykMatchImageMagick) {
    TempDir dir;
    struct Case {
        JpegParams params;
        PixelFormat expected;
    };
    std::vector<Case> cases;
    for (JpegColor color : {JpegColor::Gray, JpegColor::Rgb, JpegColor::Cmyk})
        for (bool progressive : {false, true})
            for (bool subsample : {false, true}) {
                if (subsample && color != JpegColor::Rgb)
                    continue;
                JpegParams p;
                p.width = 61;
                p.height = 35;
                p.color = color;
                p.progressive = progressive;
                p.subsample420 = subsample;
                cases.push_back(
                    {p, color == JpegColor::Gray ? PixelFormat::Gray8 : PixelFormat::Rgb24});
            }
    int n = 0;
    for (const Case& c : cases) {
        std::string jpeg = makeJpeg(c.params);
        std::string path = dir.file("j" + std::to_string(n++) + ".jpg");
        writeFile(path, jpeg);
        SCOPED_TRACE(::testing::Message() << "colour " << int(c.params.color)
                                          << (c.params.progressive ? ", progressive" : "")
                                          << (c.params.subsample420 ? ", 4:2:0" : ""));
        Bitmap b = decodeExact(jpeg);
        EXPECT_EQ(b.format, c.expected);
        EXPECT_EQ(b.width, c.params.width);
        EXPECT_EQ(b.height, c.params.height);
        // The same IDCT and upsampling as ImageMagick's libjpeg; CMYK adds rounding.
        EXPECT_TRUE(looksLike(b, decodeReference(path), 2, 0.5));
        // And what the pattern was before compression, away from its sharp edges.
        for (int y = 2; y < c.params.height; y += 7)
            for (int x = 2; x < c.params.width; x += 7) {
                if (std::abs(x - c.params.width / 2) < 3 || std::abs(y - c.params.height / 2) < 3)
                    continue;
                Rgb e = expectedJpegRgb(c.params, x, y);
                auto px = pixel16(b, x, y);
                EXPECT_NEAR(int(round8(px[0])), e.r, 6) << x << "," << y;
                EXPECT_NEAR(int(round8(px[1])), e.g, 6) << x << "," << y;
                EXPECT_NEAR(int(round8(px[2])), e.b, 6) << x << "," << y;
            }
    }
}

TEST(Jpeg, CmykWithoutAdobeSegmentIsTakenAsPlainInk) {
    TempDir dir;
    // ImageMagick writes Adobe's inverted CMYK with an APP14 segment.
    Made m = makeAndDecode(dir, "-size 40x30 gradient:red-blue -colorspace CMYK -quality 95",
                           "cmyk.jpg");
    EXPECT_EQ(m.bitmap.format, PixelFormat::Rgb24);
    EXPECT_TRUE(looksLike(m.bitmap, decodeReference(m.path), 3, 1.0));
    // The segment, not its place in the file, makes the samples Adobe's.
    std::size_t at = m.bytes.find("\xFF\xEE");
    ASSERT_NE(at, std::string::npos);
    std::size_t length = std::uint8_t(m.bytes[at + 2]) * 256u + std::uint8_t(m.bytes[at + 3]);
    std::string segment = m.bytes.substr(at + 4, length - 2);
    std::string moved = insertJpegSegment(removeJpegSegments(m.bytes, 0xEE), 0xEE, segment);
    EXPECT_EQ(decodeExact(moved).pixels, m.bitmap.pixels);
    Bitmap plain = decodeExact(removeJpegSegments(m.bytes, 0xEE));
    ASSERT_EQ(plain.pixels.size(), m.bitmap.pixels.size());
    EXPECT_NE(plain.pixels, m.bitmap.pixels);
}

TEST(Jpeg, ResolutionComesFromJfifOrElseExif) {
    auto exif = [](std::uint32_t x, std::uint32_t y, unsigned unit) {
        // A big-endian TIFF block: XResolution, YResolution, ResolutionUnit.
        std::string t = "MM";
        t += std::string("\0\x2a", 2) + be32(8) + be16(3);
        std::uint32_t values = 8 + 2 + 3 * 12 + 4;
        t += be16(0x011A) + be16(5) + be32(1) + be32(values);
        t += be16(0x011B) + be16(5) + be32(1) + be32(values + 8);
        t += be16(0x0128) + be16(3) + be32(1) + be16(unit) + be16(0);
        t += be32(0) + be32(x) + be32(1) + be32(y) + be32(1);
        return std::string("Exif\0\0", 6) + t;
    };
    struct Case {
        int unit, x, y;
        std::string exif;
        double dpiX, dpiY;
    };
    const Case cases[] = {
        {1, 300, 300, "", 300, 300},
        {1, 200, 100, "", 200, 100},
        {2, 118, 118, "", 118 * 2.54, 118 * 2.54},
        {0, 1, 1, "", 0, 0},
        {0, 1, 1, exif(240, 120, 2), 240, 120},
        {0, 1, 1, exif(100, 100, 3), 254, 254},
        {0, 1, 1, exif(100, 100, 1), 0, 0},
        {1, 96, 96, exif(240, 120, 2), 96, 96},
    };
    for (const Case& c : cases) {
        JpegParams p;
        p.densityUnit = c.unit;
        p.densityX = c.x;
        p.densityY = c.y;
        std::string jpeg = makeJpeg(p);
        if (!c.exif.empty())
            jpeg = insertJpegSegment(jpeg, 0xE1, c.exif);
        Bitmap b = decodeExact(jpeg);
        EXPECT_NEAR(b.dpiX, c.dpiX, 1e-9) << c.unit << " " << c.x;
        EXPECT_NEAR(b.dpiY, c.dpiY, 1e-9) << c.unit << " " << c.y;
    }
    TempDir dir;
    Made m = makeAndDecode(dir, "-size 20x20 xc:red -density 150 -units PixelsPerInch", "d.jpg");
    EXPECT_EQ(m.bitmap.dpiX, 150);
}

TEST(Jpeg, IccProfileIsReassembledFromItsChunks) {
    std::string profile = makeIccProfile(IccModel::Cmyk, "JPEG test"); // about 26 KB
    ASSERT_GT(profile.size(), 20000u);
    auto chunk = [&](int seq, int count, std::string_view data) {
        return std::string("ICC_PROFILE\0", 12) + char(seq) + char(count) + std::string(data);
    };
    JpegParams p;
    p.color = JpegColor::Cmyk;
    std::string base = makeJpeg(p);
    std::size_t half = profile.size() / 2;
    std::string first = chunk(1, 2, std::string_view(profile).substr(0, half));
    std::string second = chunk(2, 2, std::string_view(profile).substr(half));
    // Stored out of order on purpose: the sequence numbers decide.
    std::string jpeg = insertJpegSegment(insertJpegSegment(base, 0xE2, first), 0xE2, second);
    EXPECT_EQ(decodeExact(jpeg).iccProfile, profile);
    // A chunk missing: no profile rather than half of one.
    EXPECT_EQ(decodeExact(insertJpegSegment(base, 0xE2, first)).iccProfile, "");
    EXPECT_EQ(decodeExact(base).iccProfile, "");
}

TEST(Jpeg, StrayBytesBetweenSegmentsAreHarmlessButACutScanIsDamage) {
    JpegParams p;
    std::string jpeg = makeJpeg(p);
    // libjpeg warns of "extraneous bytes before marker" and decodes normally.
    std::size_t sof = jpeg.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    std::string stray = jpeg.substr(0, sof) + "\x01\x02\x03" + jpeg.substr(sof);
    EXPECT_EQ(decodeExact(stray).pixels, decodeExact(jpeg).pixels);

    std::size_t scan = jpeg.find("\xFF\xDA");
    for (std::size_t cut : {scan + 20, (scan + jpeg.size()) / 2, jpeg.size() - 3}) {
        try {
            decodeExact(jpeg.substr(0, cut));
            ADD_FAILURE() << "a JPEG cut at " << cut << " of " << jpeg.size() << " decoded";
        } catch (const ImagingError& e) {
            EXPECT_EQ(e.kind(), ImagingError::Damaged) << e.what();
        }
    }
}

// ---------------------------------------------------------------------------------------
// GIF

TEST(Gif, ImageMagickVariantsMatch) {
    TempDir dir;
    const std::pair<std::string, std::string> variants[] = {
        {"-seed 3 -size 50x40 plasma:fractal", "a.gif"},
        {"-seed 3 -size 50x40 plasma:fractal -colors 16", "b.gif"},
        {"-size 50x40 gradient:red-blue -colors 2", "c.gif"},
        {"-seed 4 -size 53x41 plasma:fractal -interlace GIF", "d.gif"},
        {"-seed 3 -size 50x40 plasma:fractal", "gif87:e.gif"},
        {"-size 50x40 xc:none -fill red -draw 'circle 25,20 25,5'", "f.gif"},
        {"-size 50x40 xc:red -size 50x40 xc:blue -size 50x40 xc:lime", "g.gif"},
    };
    for (const auto& [args, name] : variants) {
        Made m;
        m.path = dir.file(name.substr(name.find(':') + 1));
        makeImage(args, name.find(':') != std::string::npos ? "gif87:" + m.path : m.path);
        m.bytes = readFile(m.path);
        m.bitmap = decodeExact(m.bytes);
        EXPECT_EQ(m.bitmap.format, PixelFormat::Indexed8) << args;
        EXPECT_EQ(m.bitmap.dpiX, 0);
        EXPECT_TRUE(looksLike(m.bitmap, decodeReference(m.path), 0)) << args;
    }
    Made anim = makeAndDecode(dir, "-size 20x20 xc:red xc:blue", "anim.gif");
    EXPECT_EQ(pixel16(anim.bitmap, 10, 10), (std::array<unsigned, 4>{65535, 0, 0, 65535}));
    Made clear = makeAndDecode(dir, "-size 20x20 xc:none -fill blue -draw 'point 3,3'", "t.gif");
    EXPECT_EQ(pixel16(clear.bitmap, 0, 0)[3], 0u);
    EXPECT_EQ(pixel16(clear.bitmap, 3, 3), (std::array<unsigned, 4>{0, 0, 65535, 65535}));
}

TEST(Gif, FirstImageIsPlacedOnItsLogicalScreen) {
    GifLayout s;
    s.screenWidth = 20;
    s.screenHeight = 10;
    s.left = 4;
    s.top = 3;
    s.width = 5;
    s.height = 11; // runs past the screen's bottom: the canvas grows
    s.globalMap = {{255, 0, 0}, {0, 0, 255}, {0, 255, 0}};
    s.interlace = true;
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x)
            s.pixels.push_back(std::uint8_t((x + y) % 3));
    Bitmap b = decodeExact(makeGif(s));
    ASSERT_EQ(b.width, 20);
    ASSERT_EQ(b.height, 14);
    EXPECT_EQ(pixel16(b, 0, 0)[3], 0u) << "outside the image is transparent";
    EXPECT_EQ(pixel16(b, 19, 13)[3], 0u);
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x)
            ASSERT_EQ(b.row(s.top + y)[s.left + x], (x + y) % 3) << x << "," << y;

    // With a transparent index, the uncovered part uses it.
    s.transparent = 2;
    b = decodeExact(makeGif(s));
    EXPECT_EQ(b.row(0)[0], 2);
    EXPECT_EQ(b.palette[2] >> 24, 0u);
    EXPECT_EQ(b.palette[0], 0xFFFF0000u);
}

TEST(Gif, ColourTableOddities) {
    GifLayout s;
    s.width = s.height = s.screenWidth = s.screenHeight = 4;
    s.globalMap = {{10, 20, 30}, {40, 50, 60}};
    s.pixels = {0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0};
    // A local table wins over the global one.
    s.localMap = {{200, 0, 0}, {0, 200, 0}};
    Bitmap b = decodeExact(makeGif(s));
    EXPECT_EQ(b.palette.size(), 2u);
    EXPECT_EQ(b.palette[1], 0xFF00C800u);
    // A transparent index past the table's end still gets an entry.
    s.localMap.clear();
    s.transparent = 7;
    b = decodeExact(makeGif(s));
    ASSERT_GE(b.palette.size(), 8u);
    EXPECT_EQ(b.palette[7] >> 24, 0u);
    EXPECT_EQ(b.palette[0], 0xFF0A141Eu);
    // No colour table at all (giflib will not write that: the global one is cut out).
    s.transparent = -1;
    std::string gif = makeGif(s);
    ASSERT_EQ(std::uint8_t(gif[10]) & 0x87, 0x80); // a global table of two entries
    gif[10] = char(gif[10] & 0x7F);
    gif.erase(13, 6);
    b = decodeExact(gif);
    ASSERT_GE(b.palette.size(), 2u);
    EXPECT_EQ(pixel16(b, 1, 0), (std::array<unsigned, 4>{257, 257, 257, 65535}));
}

// ---------------------------------------------------------------------------------------
// TIFF

TEST(Tiff, ImageMagickVariantsMatch) {
    TempDir dir;
    struct Case {
        std::string args;
        PixelFormat expected;
    };
    const std::string photo = "-seed 9 -size 45x33 plasma:fractal -depth 8 ";
    const std::string grey = "-size 45x33 gradient:white-black -depth 8 ";
    const std::string bilevel = "-size 45x33 pattern:checkerboard -monochrome ";
    // ImageMagick truncates the 16-bit colour maps it writes, and its CMYK conversion,
    // to 8 bits; we round: one level apart.
    const std::vector<Case> cases = {
        {photo, PixelFormat::Rgb24},
        {photo + "-compress lzw", PixelFormat::Rgb24},
        {photo + "-compress zip -define tiff:predictor=2", PixelFormat::Rgb24},
        {photo + "-compress rle", PixelFormat::Rgb24},
        {photo + "-endian MSB", PixelFormat::Rgb24},
        {photo + "-interlace plane", PixelFormat::Rgb24},
        {photo + "-define tiff:tile-geometry=16x16", PixelFormat::Rgb24},
        {photo + "-define tiff:rows-per-strip=5", PixelFormat::Rgb24},
        {photo + "-depth 16", PixelFormat::Rgb48},
        {photo + "-depth 16 -endian MSB -interlace plane", PixelFormat::Rgb48},
        {photo + "-colorspace CMYK", PixelFormat::Rgb24},
        {photo + "-colorspace CMYK -depth 16", PixelFormat::Rgb48},
        {photo + "-colors 200 -type Palette", PixelFormat::Indexed8},
        {photo + "-colors 16 -type Palette", PixelFormat::Indexed4},
        {photo + "-colors 4 -type Palette", PixelFormat::Indexed8},
        {photo + "-colors 2 -type Palette", PixelFormat::Indexed1},
        {grey + "-colorspace Gray", PixelFormat::Gray8},
        {grey + "-colorspace Gray -depth 16", PixelFormat::Gray16},
        {grey + "-colorspace Gray -depth 4", PixelFormat::Gray8},
        {grey + "-colorspace Gray -depth 2", PixelFormat::Gray8},
        {grey + "-colorspace Gray -define quantum:polarity=min-is-white", PixelFormat::Gray8},
        {grey + "-colorspace Gray -depth 16 -define quantum:polarity=min-is-white",
         PixelFormat::Gray16},
        {bilevel + "-depth 1", PixelFormat::Indexed1},
        {bilevel + "-compress group4", PixelFormat::Indexed1},
        {bilevel + "-compress fax", PixelFormat::Indexed1},
        {bilevel + "-compress group4 -define quantum:polarity=min-is-black", PixelFormat::Indexed1},
        {"-size 45x33 xc:none -fill '#ff000080' -draw 'circle 22,16 22,2' -depth 8",
         PixelFormat::Rgba32},
        {"-size 45x33 xc:none -fill '#ff000080' -draw 'circle 22,16 22,2' -depth 16",
         PixelFormat::Rgba64},
        {"-size 45x33 xc:none -fill '#ff000080' -draw 'circle 22,16 22,2' -depth 8 "
         "-define tiff:alpha=associated",
         PixelFormat::Rgba32},
        {"-size 45x33 gradient:white-black -colorspace Gray -alpha set -channel A "
         "-evaluate set 40% +channel -depth 8",
         PixelFormat::Rgba32},
        {"-size 45x33 gradient:white-black -colorspace Gray -alpha set -channel A "
         "-evaluate set 40% +channel -depth 16",
         PixelFormat::Rgba64},
    };
    int n = 0;
    for (const Case& c : cases) {
        Made m = makeAndDecode(dir, c.args, "t" + std::to_string(n++) + ".tif");
        EXPECT_EQ(m.bitmap.format, c.expected) << c.args;
        bool rounded = fi::hasAlpha(c.expected) || c.args.find("Palette") != std::string::npos ||
                       c.args.find("CMYK") != std::string::npos;
        EXPECT_TRUE(looksLike(m.bitmap, decodeReference(m.path), rounded ? 1 : 0)) << c.args;
    }
}

TEST(Tiff, LibtiffToolVariantsMatch) {
    if (runCommand("tiffcp 2>&1 | head -1").output.empty())
        GTEST_SKIP() << "tiffcp is not installed";
    TempDir dir;
    std::string rgb = dir.file("rgb.tif"), bw = dir.file("bw.tif"), grey = dir.file("grey.tif");
    makeImage("-seed 9 -size 45x33 plasma:fractal -depth 8", rgb);
    makeImage("-size 45x33 pattern:checkerboard -monochrome -depth 1", bw);
    makeImage("-size 45x33 gradient: -colorspace Gray -depth 8", grey);
    struct Case {
        std::string source, options;
        int tolerance;
    };
    const Case cases[] = {
        {rgb, "-c lzw:2", 0},
        {rgb, "-c zip -t -w 16 -l 32", 0},
        {rgb, "-p separate -c packbits", 0},
        {rgb, "-p separate -t -w 32 -l 16", 0},
        {rgb, "-c jpeg:95", 6}, // YCbCr JPEG, converted to RGB by the codec
        {rgb, "-c jpeg:95:r", 6},
        {bw, "-c g3:2d", 0},
        {bw, "-c g4 -f lsb2msb", 0},
        {bw, "-c none -f lsb2msb -t -w 16 -l 16", 0},
        {grey, "-c jpeg:90", 3},
        {grey, "-c zip:2 -r 7", 0},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string out = dir.file("cp" + std::to_string(n++) + ".tif");
        CommandResult r =
            runCommand("tiffcp " + c.options + " " + shellQuote(c.source) + " " + shellQuote(out));
        ASSERT_EQ(r.exitCode, 0) << c.options << ": " << r.output;
        Bitmap b = decodeExact(readFile(out));
        EXPECT_TRUE(looksLike(b, decodeReference(out), c.tolerance, c.tolerance ? 1.5 : 0))
            << c.options;
    }
}

TEST(Tiff, OrientationIsApplied) {
    TempDir dir;
    const char* names[] = {"",        "TopLeft",  "TopRight",    "BottomRight", "BottomLeft",
                           "LeftTop", "RightTop", "RightBottom", "LeftBottom"};
    for (int o = 1; o <= 8; ++o) {
        const std::string base = "-seed 2 -size 30x20 plasma:fractal -depth 8 ";
        std::string plain = dir.file("o" + std::to_string(o) + ".tif");
        makeImage(base + "-orient " + names[o], plain);
        Bitmap b = decodeExact(readFile(plain));
        EXPECT_EQ(b.width, o >= 5 ? 20 : 30) << names[o];
        const Raster upright = imageMagickDecode(plain, "-auto-orient");
        EXPECT_TRUE(looksLike(b, upright, 0)) << names[o];

        std::string palette = dir.file("p" + std::to_string(o) + ".tif");
        makeImage(base + "-colors 16 -type Palette -orient " + names[o], palette);
        EXPECT_TRUE(looksLike(decodeExact(readFile(palette)),
                              imageMagickDecode(palette, "-auto-orient"), 1))
            << names[o] << " palette";

        // ImageMagick reads JPEG-in-TIFF through TIFFRGBAImage, which already flips some
        // orientations, and -auto-orient then flips again; the uncompressed picture is
        // the reference instead.
        std::string jpeg = dir.file("j" + std::to_string(o) + ".tif");
        makeImage(base + "-compress jpeg -quality 95 -orient " + names[o], jpeg);
        EXPECT_TRUE(looksLike(decodeExact(readFile(jpeg)), upright, 40, 2.0))
            << names[o] << " JPEG";
    }
}

// Uncompressed YCbCr (chroma at full resolution or subsampled 2x2), written with
// libtiff: the layout only TIFFRGBAImage reads.
std::string makeYCbCrTiff(const std::string& path, int subsampling, int orientation) {
    const int w = 24, h = 16;
    std::unique_ptr<TIFF, decltype(&TIFFClose)> tif(TIFFOpen(path.c_str(), "w"), TIFFClose);
    if (!tif)
        throw std::runtime_error("TIFFOpen failed");
    TIFFSetField(tif.get(), TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(tif.get(), TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(tif.get(), TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif.get(), TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif.get(), TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
    TIFFSetField(tif.get(), TIFFTAG_YCBCRSUBSAMPLING, subsampling, subsampling);
    TIFFSetField(tif.get(), TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif.get(), TIFFTAG_ROWSPERSTRIP, h);
    TIFFSetField(tif.get(), TIFFTAG_ORIENTATION, orientation);
    TIFFSetField(tif.get(), TIFFTAG_XRESOLUTION, 200.0);
    TIFFSetField(tif.get(), TIFFTAG_YRESOLUTION, 100.0);
    TIFFSetField(tif.get(), TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    auto ycc = [&](int x, int y) {
        double r = x * 255.0 / (w - 1), g = y * 255.0 / (h - 1), b = (x / 4 + y / 4) % 2 ? 40 : 200;
        double Y = 0.299 * r + 0.587 * g + 0.114 * b;
        return std::array<double, 3>{Y, (b - Y) / 1.772 + 128, (r - Y) / 1.402 + 128};
    };
    auto byte = [](double v) { return std::uint8_t(std::clamp(std::lround(v), 0L, 255L)); };
    std::vector<std::uint8_t> data;
    const int s = subsampling;
    for (int by = 0; by < h; by += s)
        for (int bx = 0; bx < w; bx += s) {
            double cb = 0, cr = 0;
            for (int dy = 0; dy < s; ++dy)
                for (int dx = 0; dx < s; ++dx) {
                    auto c = ycc(bx + dx, by + dy);
                    data.push_back(byte(c[0]));
                    cb += c[1] / (s * s);
                    cr += c[2] / (s * s);
                }
            data.push_back(byte(cb));
            data.push_back(byte(cr));
        }
    TIFFWriteRawStrip(tif.get(), 0, data.data(), tmsize_t(data.size()));
    tif.reset();
    return readFile(path);
}

TEST(Tiff, YCbCrWithoutJpegGoesThroughLibtiffsConverter) {
    TempDir dir;
    for (int subsampling : {1, 2}) {
        std::string path = dir.file("ycbcr" + std::to_string(subsampling) + ".tif");
        Bitmap b = decodeExact(makeYCbCrTiff(path, subsampling, ORIENTATION_TOPLEFT));
        EXPECT_EQ(b.format, PixelFormat::Rgb24);
        // ImageMagick misreads subsampled YCbCr (it takes the data units for pixels);
        // libtiff's tiff2rgba is the reference then.
        std::string reference = path;
        if (subsampling != 1) {
            reference = dir.file("rgba.tif");
            CommandResult r =
                runCommand("tiff2rgba " + shellQuote(path) + " " + shellQuote(reference));
            if (r.exitCode != 0)
                GTEST_SKIP() << "tiff2rgba is not available: " << r.output;
        }
        EXPECT_TRUE(looksLike(b, decodeReference(reference), 3, 1.0)) << subsampling;
        auto px = pixel16(b, b.width - 1, 0);
        EXPECT_NEAR(int(round8(px[0])), 255, subsampling == 1 ? 4 : 40);
        EXPECT_NEAR(int(round8(px[1])), 0, subsampling == 1 ? 4 : 40);
        EXPECT_EQ(b.dpiX, 200);
        EXPECT_EQ(b.dpiY, 100);
    }
}

TEST(Tiff, OrientationIsAppliedOnLibtiffsConverterToo) {
    TempDir dir;
    const Bitmap upright = decodeExact(makeYCbCrTiff(dir.file("o1.tif"), 1, 1));
    const int w = upright.width, h = upright.height;
    for (int o = 2; o <= 8; ++o) {
        // Stored so that applying orientation o gives the upright picture back: the
        // file's pixel (x, y) is the upright pixel the orientation maps it to.
        Bitmap b = decodeExact(makeYCbCrTiff(dir.file("o.tif"), 1, o));
        const bool transposed = o >= 5;
        ASSERT_EQ(b.width, transposed ? h : w) << o;
        ASSERT_EQ(b.height, transposed ? w : h) << o;
        EXPECT_EQ(b.dpiX, transposed ? 100 : 200) << o;
        // Decoded picture point (X, Y) shows stored pixel (x, y), which the writer took
        // from the upright picture's (x, y).
        for (int Y = 0; Y < b.height; ++Y)
            for (int X = 0; X < b.width; ++X) {
                int x = X, y = Y;
                switch (o) {
                case 2:
                    x = w - 1 - X;
                    break;
                case 3:
                    x = w - 1 - X;
                    y = h - 1 - Y;
                    break;
                case 4:
                    y = h - 1 - Y;
                    break;
                case 5:
                    x = Y;
                    y = X;
                    break;
                case 6:
                    x = Y;
                    y = h - 1 - X;
                    break;
                case 7:
                    x = w - 1 - Y;
                    y = h - 1 - X;
                    break;
                case 8:
                    x = w - 1 - Y;
                    y = X;
                    break;
                }
                ASSERT_EQ(pixel16(b, X, Y), pixel16(upright, x, y))
                    << "orientation " << o << " at " << X << "," << Y;
            }
    }
}

TEST(Tiff, ResolutionProfileAndFirstPage) {
    TempDir dir;
    Made inch =
        makeAndDecode(dir, "-size 8x8 xc:red -density 300x150 -units PixelsPerInch", "inch.tif");
    EXPECT_EQ(inch.bitmap.dpiX, 300);
    EXPECT_EQ(inch.bitmap.dpiY, 150);
    Made cm =
        makeAndDecode(dir, "-size 8x8 xc:red -density 118.11 -units PixelsPerCentimeter", "cm.tif");
    EXPECT_EQ(cm.bitmap.dpiX, 300);
    Made none = makeAndDecode(dir, "-size 8x8 xc:red -density 300 -units Undefined", "none.tif");
    EXPECT_EQ(none.bitmap.dpiX, 0);
    Made absent = makeAndDecode(dir, "-size 8x8 xc:red", "absent.tif");
    EXPECT_EQ(absent.bitmap.dpiX, 0);

    std::string icc = dir.file("rgb.icc");
    writeFile(icc, makeIccProfile(IccModel::Rgb, "TIFF test"));
    Made profiled = makeAndDecode(dir, "-size 8x8 xc:red -profile " + shellQuote(icc), "p.tif");
    EXPECT_EQ(profiled.bitmap.iccProfile, makeIccProfile(IccModel::Rgb, "TIFF test"));

    Made pages = makeAndDecode(dir, "-size 8x6 xc:red -size 5x5 xc:blue", "pages.tif");
    EXPECT_EQ(pages.bitmap.width, 8);
    EXPECT_EQ(pixel16(pages.bitmap, 0, 0), (std::array<unsigned, 4>{65535, 0, 0, 65535}));
}

TEST(Tiff, PaletteMapsAreScaledFrom16Bits) {
    // A two-entry map written by hand: 16-bit values, and (second file) old-style
    // 8-bit values stored in the 16-bit fields.
    for (bool oldStyle : {false, true}) {
        std::uint16_t scale = oldStyle ? 1 : 257;
        std::string tail = std::string(1, char(0x40)); // pixels 0,1,0,0 ,... one row of 2
        std::vector<std::uint16_t> map = {std::uint16_t(255 * scale), std::uint16_t(10 * scale),
                                          std::uint16_t(0),           std::uint16_t(20 * scale),
                                          std::uint16_t(0),           std::uint16_t(30 * scale)};
        const std::size_t entries = 10;
        std::uint32_t data = tiffTailOffset(entries);
        std::uint32_t mapAt = data + 2;
        std::string tailBytes = tail + '\0';
        for (std::uint16_t v : map)
            tailBytes += std::string{char(v & 255), char(v >> 8)};
        std::string tiff = makeTiffBytes({{256, 3, 1, 2},
                                          {257, 3, 1, 1},
                                          {258, 3, 1, 1},
                                          {259, 3, 1, 1},
                                          {262, 3, 1, 3},
                                          {273, 4, 1, data},
                                          {277, 3, 1, 1},
                                          {278, 3, 1, 1},
                                          {279, 4, 1, 1},
                                          {320, 3, 6, mapAt}},
                                         tailBytes);
        Bitmap b = decodeExact(tiff);
        ASSERT_EQ(b.format, PixelFormat::Indexed1);
        ASSERT_EQ(b.palette.size(), 2u);
        EXPECT_EQ(b.palette[0], 0xFFFF0000u) << oldStyle;
        EXPECT_EQ(b.palette[1], 0xFF0A141Eu) << oldStyle;
        EXPECT_EQ(pixel16(b, 1, 0)[2], 30u * 257);
    }
}

TEST(Tiff, FloatingPointSamplesAreUnsupportedNotDamaged) {
    TempDir dir;
    std::string path = dir.file("float.tif");
    {
        std::unique_ptr<TIFF, decltype(&TIFFClose)> tif(TIFFOpen(path.c_str(), "w"), TIFFClose);
        ASSERT_TRUE(tif);
        TIFFSetField(tif.get(), TIFFTAG_IMAGEWIDTH, 8);
        TIFFSetField(tif.get(), TIFFTAG_IMAGELENGTH, 8);
        TIFFSetField(tif.get(), TIFFTAG_BITSPERSAMPLE, 32);
        TIFFSetField(tif.get(), TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
        TIFFSetField(tif.get(), TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif.get(), TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tif.get(), TIFFTAG_ROWSPERSTRIP, 8);
        std::vector<float> row(8, 0.5f);
        for (std::uint32_t y = 0; y < 8; ++y)
            TIFFWriteScanline(tif.get(), row.data(), y, 0);
    }
    EXPECT_EQ(errorKind(readFile(path)), ImagingError::Unsupported);
}

// ---------------------------------------------------------------------------------------
// Damage, limits

struct Sample {
    std::string name;
    std::string bytes;
};

std::vector<Sample> damageSamples(const TempDir& dir) {
    std::vector<Sample> s;
    JpegParams jp;
    s.push_back({"baseline JPEG", makeJpeg(jp)});
    jp.progressive = true;
    jp.color = JpegColor::Cmyk;
    s.push_back({"progressive CMYK JPEG", makeJpeg(jp)});
    PngParams pp;
    pp.idatSize = 300;
    s.push_back({"PNG", makePng(pp)});
    pp.interlaced = true;
    pp.color = PngColor::Palette;
    pp.alpha = PngAlpha::Partial;
    s.push_back({"interlaced palette PNG", makePng(pp)});
    const std::pair<std::string, std::string> made[] = {
        {"-seed 1 -size 40x30 plasma:fractal", "a.gif"},
        {"-seed 1 -size 40x30 plasma:fractal -interlace GIF", "b.gif"},
        {"-seed 1 -size 40x30 plasma:fractal -depth 8 -compress lzw", "c.tif"},
        {"-seed 1 -size 40x30 plasma:fractal -depth 16 -define tiff:tile-geometry=16x16 "
         "-compress zip",
         "d.tif"},
        {"-size 40x30 pattern:checkerboard -monochrome -compress group4", "e.tif"},
        {"-seed 1 -size 40x30 plasma:fractal -depth 8 -compress jpeg", "f.tif"},
        {"-seed 1 -size 40x30 plasma:fractal -colorspace CMYK -interlace plane", "g.tif"},
    };
    for (const auto& [args, name] : made) {
        makeImage(args, dir.file(name));
        s.push_back({name + " (" + args + ")", readFile(dir.file(name))});
    }
    return s;
}

TEST(Damage, CutFilesFailCleanly) {
    TempDir dir;
    for (const Sample& sample : damageSamples(dir)) {
        ASSERT_EQ(errorKind(sample.bytes), -1) << sample.name << " does not decode whole";
        const std::size_t size = sample.bytes.size();
        std::size_t step = std::max<std::size_t>(1, size / 150);
        int failures = 0;
        for (std::size_t cut = 0; cut < size; cut += (cut < 64 ? 1 : step)) {
            int kind = errorKind(std::string_view(sample.bytes).substr(0, cut));
            failures += kind != -1;
            EXPECT_NE(kind, ImagingError::TooLarge) << sample.name << " cut at " << cut;
        }
        EXPECT_GT(failures, 0) << sample.name;
    }
    // Cut inside the pixel data, the file is reported, not shown half grey.
    for (const Sample& sample : damageSamples(dir))
        EXPECT_EQ(errorKind(std::string_view(sample.bytes).substr(0, sample.bytes.size() * 2 / 3)),
                  ImagingError::Damaged)
            << sample.name;
}

TEST(Damage, CorruptedBytesNeverCrash) {
    TempDir dir;
    std::mt19937 random(12345);
    for (const Sample& sample : damageSamples(dir)) {
        for (int round = 0; round < 120; ++round) {
            std::string bytes = sample.bytes;
            int flips = 1 + int(random() % 4);
            for (int i = 0; i < flips; ++i) {
                // Headers are where parsers go wrong: aim there more often.
                std::size_t limit =
                    round % 2 ? bytes.size() : std::min<std::size_t>(bytes.size(), 200);
                bytes[random() % limit] = char(random());
            }
            try {
                decodeExact(bytes);
            } catch (const ImagingError&) {
            } catch (const std::exception& e) {
                ADD_FAILURE() << sample.name << ": " << e.what();
            }
        }
    }
}

TEST(Limits, HeadersClaimingHugeImagesAreRefusedBeforeAllocating) {
    // Every one of these claims about 10^10 pixels; allocating that would take
    // minutes or abort the test, so a quick TooLarge shows nothing was allocated.
    std::vector<Sample> huge;
    {
        std::string ihdr = be32(100000) + be32(100000) + std::string("\x08\x02\0\0\0", 5);
        std::string idat = pngChunk("IDAT", std::string("\x78\x9c\x03\0\0\0\0\x01", 8));
        huge.push_back({"PNG", std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", ihdr) + idat +
                                   pngChunk("IEND", "")});
    }
    {
        std::string jpeg = makeJpeg(JpegParams{});
        std::size_t sof = jpeg.find("\xFF\xC0");
        jpeg.replace(sof + 5, 4, be16(65000) + be16(65000));
        huge.push_back({"JPEG", jpeg});
    }
    {
        GifLayout s;
        s.screenWidth = s.screenHeight = s.width = s.height = 65535;
        s.writePixels = false;
        huge.push_back({"GIF", makeGif(s)});
    }
    huge.push_back({"TIFF", makeTiffBytes({{256, 4, 1, 100000},
                                           {257, 4, 1, 100000},
                                           {258, 3, 1, 8},
                                           {259, 3, 1, 1},
                                           {262, 3, 1, 1},
                                           {273, 4, 1, 8},
                                           {277, 3, 1, 1},
                                           {278, 4, 1, 100000},
                                           {279, 4, 1, 0xFFFFFFF0u}})});
    huge.push_back({"tiled TIFF", makeTiffBytes({{256, 4, 1, 100000},
                                                 {257, 4, 1, 100000},
                                                 {258, 3, 1, 16},
                                                 {259, 3, 1, 8},
                                                 {262, 3, 1, 2},
                                                 {277, 3, 1, 3},
                                                 {322, 4, 1, 100000},
                                                 {323, 4, 1, 100000},
                                                 {324, 4, 1, 8},
                                                 {325, 4, 1, 100}})});
    for (const Sample& s : huge) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(errorKind(s.bytes), ImagingError::TooLarge) << s.name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << s.name;
    }
}

TEST(Limits, AreHonouredExactly) {
    TempDir dir;
    std::vector<Sample> samples = {{"JPEG", makeJpeg(JpegParams{})}, {"PNG", makePng(PngParams{})}};
    makeImage("-size 64x48 plasma:fractal", dir.file("a.gif"));
    makeImage("-size 64x48 plasma:fractal -depth 8", dir.file("a.tif"));
    samples.push_back({"GIF", readFile(dir.file("a.gif"))});
    samples.push_back({"TIFF", readFile(dir.file("a.tif"))});
    for (const Sample& s : samples) {
        const std::uint64_t pixels = 64 * 48;
        EXPECT_EQ(errorKind(s.bytes, fi::Limits{pixels, ~0ull}), -1) << s.name;
        EXPECT_EQ(errorKind(s.bytes, fi::Limits{pixels - 1, ~0ull}), ImagingError::TooLarge)
            << s.name;
        EXPECT_EQ(errorKind(s.bytes, fi::Limits{pixels, 64 * 48 - 1}), ImagingError::TooLarge)
            << s.name;
    }
}

// The grey picture a reader of text gets is the picture's luminance, upright, at its size
// and resolution, whether the JPEG decoder gives its luminance alone or the picture is
// made grey after decoding.
TEST(DecodeGrey, IsTheLuminanceOfThePictureUpright) {
    JpegParams rgb;
    rgb.densityUnit = 1;
    rgb.densityX = rgb.densityY = 150;
    JpegParams grey = rgb, cmyk = rgb;
    grey.color = JpegColor::Gray;
    cmyk.color = JpegColor::Cmyk;
    std::string exif("Exif\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0\x06\0\0\0\0\0\0\0", 30);
    const struct {
        const char* name;
        std::string file;
        int tolerance; // JPEG's luminance against the one of its decoded colours
    } cases[] = {
        {"RGB JPEG", makeJpeg(rgb), 3},
        {"grey JPEG", makeJpeg(grey), 0},
        {"CMYK JPEG", makeJpeg(cmyk), 0},
        {"JPEG turned by EXIF", insertJpegSegment(makeJpeg(rgb), 0xE1, exif), 3},
        {"PNG", makePng({}), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::span<const std::uint8_t> bytes(
            reinterpret_cast<const std::uint8_t*>(c.file.data()), c.file.size());
        const Bitmap whole = fi::toGrey(fi::decode(bytes));
        const Bitmap g = fi::decodeGrey(bytes, fi::detectFormat(bytes));
        ASSERT_EQ(g.format, PixelFormat::Gray8);
        ASSERT_EQ(g.width, whole.width);
        ASSERT_EQ(g.height, whole.height);
        EXPECT_EQ(g.dpiX, whole.dpiX);
        int worst = 0;
        for (int y = 0; y < g.height; ++y)
            for (int x = 0; x < g.width; ++x)
                worst = std::max(worst, std::abs(int(g.row(y)[x]) - int(whole.row(y)[x])));
        EXPECT_LE(worst, c.tolerance);
    }
}

} // namespace
