// The encoders and the resize/grey transforms. Every file written is checked by tools
// that owe nothing to our own decoders: ImageMagick (identify, convert) for what a
// reader sees, and the file's bytes or libtiff's tag reader for what is stored.
#include "ImageFixtures.h"
#include "TestSupport.h"
#include "imaging/Codecs.h"
#include "imaging/Transform.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

using namespace folimo::imaging;
using folimo::test::compareRasters;
using folimo::test::decodeReference;
using folimo::test::identify;
using folimo::test::psnr;
using folimo::test::Raster;
using folimo::test::runCommand;
using folimo::test::shellQuote;
using folimo::test::TempDir;

namespace {

std::uint16_t get16(const Bitmap& b, int x, int y, int c) {
    const int channels = bitsPerPixel(b.format) / 16;
    std::uint16_t v;
    std::memcpy(&v, b.row(y) + 2 * (std::size_t(x) * channels + c), 2);
    return v;
}

void set16(Bitmap& b, int x, int y, int c, std::uint16_t v) {
    const int channels = bitsPerPixel(b.format) / 16;
    std::memcpy(b.row(y) + 2 * (std::size_t(x) * channels + c), &v, 2);
}

// A bitmap whose rows are padded beyond their pixels, as decoders may leave them, so
// that an encoder that ignores the stride is caught.
Bitmap padded(int w, int h, PixelFormat format) {
    Bitmap b = Bitmap::create(w, h, format);
    const std::size_t stride = b.stride + 5;
    b.stride = stride;
    b.pixels.assign(stride * std::size_t(h), 0xEE);
    return b;
}

// 8-bit samples, channel c of pixel (x, y).
using Pattern = std::function<std::uint8_t(int x, int y, int c)>;

Bitmap makeBitmap(int w, int h, PixelFormat format, const Pattern& pattern) {
    Bitmap b = padded(w, h, format);
    const int channels = bitsPerPixel(format) / 8;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < channels; ++c)
                b.row(y)[std::size_t(x) * channels + c] = pattern(x, y, c);
    return b;
}

// A smooth photo-like picture: gradients plus gentle waves, no flat areas.
std::uint8_t photo(int x, int y, int c, int w, int h) {
    const double u = double(x) / w, v = double(y) / h;
    double s = 0;
    if (c == 0)
        s = 0.5 + 0.4 * std::sin(6 * u + 2 * v);
    else if (c == 1)
        s = 0.3 + 0.6 * v * (0.6 + 0.4 * std::cos(5 * u));
    else
        s = 0.2 + 0.7 * u * v + 0.1 * std::sin(9 * v);
    return std::uint8_t(std::lround(std::clamp(s, 0.0, 1.0) * 255));
}

// What a bitmap looks like over white, as 8-bit RGB: computed here, independently of
// the encoders.
Raster overWhite(const Bitmap& b) {
    Raster r;
    r.width = b.width;
    r.height = b.height;
    r.rgb.resize(std::size_t(b.width) * b.height * 3);
    for (int y = 0; y < b.height; ++y) {
        for (int x = 0; x < b.width; ++x) {
            unsigned c[3] = {0, 0, 0}, a = 255;
            const std::uint8_t* row = b.row(y);
            switch (b.format) {
            case PixelFormat::Indexed1:
            case PixelFormat::Indexed4:
            case PixelFormat::Indexed8: {
                unsigned index = b.format == PixelFormat::Indexed8 ? row[x]
                                 : b.format == PixelFormat::Indexed4
                                     ? (x & 1 ? row[x / 2] & 15 : row[x / 2] >> 4)
                                     : (row[x / 8] >> (7 - x % 8)) & 1;
                const std::uint32_t e = b.palette.at(index);
                c[0] = e >> 16 & 255, c[1] = e >> 8 & 255, c[2] = e & 255, a = e >> 24;
                break;
            }
            case PixelFormat::Gray8:
                c[0] = c[1] = c[2] = row[x];
                break;
            case PixelFormat::Rgb24:
                for (int i = 0; i < 3; ++i)
                    c[i] = row[3 * x + i];
                break;
            case PixelFormat::Rgba32:
                for (int i = 0; i < 3; ++i)
                    c[i] = row[4 * x + i];
                a = row[4 * x + 3];
                break;
            case PixelFormat::Gray16:
                c[0] = c[1] = c[2] = unsigned(std::lround(get16(b, x, y, 0) / 257.0));
                break;
            case PixelFormat::Rgb48:
                for (int i = 0; i < 3; ++i)
                    c[i] = unsigned(std::lround(get16(b, x, y, i) / 257.0));
                break;
            case PixelFormat::Rgba64: {
                const double alpha = get16(b, x, y, 3) / 65535.0;
                for (int i = 0; i < 3; ++i)
                    c[i] = unsigned(
                        std::lround((get16(b, x, y, i) / 257.0) * alpha + 255 * (1 - alpha)));
                break;
            }
            }
            for (int i = 0; i < 3; ++i)
                r.rgb[(std::size_t(y) * b.width + x) * 3 + i] =
                    std::uint8_t(std::lround((c[i] * a + 255.0 * (255 - a)) / 255.0));
        }
    }
    return r;
}

class EncodeTest : public ::testing::Test {
protected:
    std::string save(const std::string& bytes, const std::string& name) {
        const std::string path = dir_.file(name);
        folimo::test::writeFile(path, bytes);
        return path;
    }
    // The file's samples as ImageMagick reads them at 16 bits, in the given map
    // ("gray", "rgb", "rgba"), back in native order.
    std::vector<std::uint16_t> samples16(const std::string& path, const std::string& map) {
        const std::string out = dir_.file("samples.raw");
        auto r = runCommand("convert " + shellQuote(path) + " -depth 16 -endian MSB " +
                            shellQuote(map + ":" + out));
        EXPECT_EQ(r.exitCode, 0) << r.output;
        const std::string raw = folimo::test::readFile(out);
        std::vector<std::uint16_t> v(raw.size() / 2);
        for (std::size_t i = 0; i < v.size(); ++i)
            v[i] = std::uint16_t(std::uint8_t(raw[2 * i]) << 8 | std::uint8_t(raw[2 * i + 1]));
        return v;
    }
    TempDir dir_;
};

// The number of colour components in a JPEG's frame header.
int jpegComponents(const std::string& jpeg) {
    for (std::size_t i = 2; i + 9 < jpeg.size();) {
        if (std::uint8_t(jpeg[i]) != 0xFF)
            return -1;
        const std::uint8_t marker = std::uint8_t(jpeg[i + 1]);
        const std::size_t length =
            std::size_t(std::uint8_t(jpeg[i + 2])) << 8 | std::uint8_t(jpeg[i + 3]);
        if (marker >= 0xC0 && marker <= 0xC2)
            return std::uint8_t(jpeg[i + 9]);
        i += 2 + length;
    }
    return -1;
}

struct TiffCloser {
    void operator()(TIFF* t) const { TIFFClose(t); }
};
using TiffFile = std::unique_ptr<TIFF, TiffCloser>;

template <class T>
T tiffTag(TIFF* t, ttag_t tag) {
    T value{};
    EXPECT_EQ(TIFFGetField(t, tag, &value), 1) << "tag " << tag;
    return value;
}

} // namespace

// ---------------------------------------------------------------------------------------
// Dispatch

TEST(EncoderLookup, NamesMatchExactly) {
    for (const char* mime : {"image/jpeg", "image/png", "image/gif", "image/tiff"})
        EXPECT_TRUE(hasEncoder(mime)) << mime;
    for (const char* mime : {"image/JPEG", "image/jpg", "image/tif", "image/png ", " image/png",
                             "image/gif\n", "IMAGE/PNG", "image/webp", "image/bmp", "", "png"})
        EXPECT_FALSE(hasEncoder(mime)) << mime;
    EXPECT_FALSE(hasEncoder(std::string_view("image/png\0", 10)));
}

TEST(EncoderLookup, UnknownTypeIsUnsupported) {
    const Bitmap b = Bitmap::create(2, 2, PixelFormat::Gray8);
    try {
        encode(b, "image/jpg");
        FAIL() << "no exception";
    } catch (const ImagingError& e) {
        EXPECT_EQ(e.kind(), ImagingError::Unsupported);
    }
}

TEST(EncoderLookup, DispatchesToEachFormat) {
    const Bitmap b = Bitmap::create(3, 2, PixelFormat::Rgb24);
    EXPECT_EQ(encode(b, "image/jpeg").substr(0, 3), "\xFF\xD8\xFF");
    EXPECT_EQ(encode(b, "image/png").substr(0, 8), "\x89PNG\r\n\x1A\n");
    EXPECT_EQ(encode(b, "image/gif").substr(0, 6), "GIF89a");
    const std::string tiff = encode(b, "image/tiff");
    EXPECT_TRUE(tiff.substr(0, 4) == std::string("II*\0", 4) ||
                tiff.substr(0, 4) == std::string("MM\0*", 4));
}

TEST(EncoderLookup, InconsistentBitmapIsRefused) {
    Bitmap b = Bitmap::create(4, 4, PixelFormat::Rgb24);
    b.pixels.resize(b.pixels.size() - 1);
    EXPECT_THROW(encodePng(b), ImagingError);
    Bitmap c = Bitmap::create(4, 4, PixelFormat::Rgb24);
    c.stride = 11;
    EXPECT_THROW(encodeJpeg(c, 80), ImagingError);
    EXPECT_THROW(encodeGif(Bitmap{}), ImagingError);
    EXPECT_THROW(resize(Bitmap{}, 2, 2), ImagingError);
}

// ---------------------------------------------------------------------------------------
// JPEG

TEST_F(EncodeTest, JpegColourQualityAndSubsampling) {
    const int w = 240, h = 160;
    const Bitmap b = makeBitmap(w, h, PixelFormat::Rgb24,
                                [&](int x, int y, int c) { return photo(x, y, c, w, h); });
    const Raster expected = overWhite(b);

    const std::string high = save(encodeJpeg(b, 90), "q90.jpg");
    EXPECT_EQ(identify("%w %h %[jpeg:sampling-factor] %[colorspace]", high),
              "240 160 1x1,1x1,1x1 sRGB");
    EXPECT_EQ(identify("%Q", high), "90");
    EXPECT_GT(psnr(decodeReference(high), expected), 40.0);

    const std::string medium = save(encodeJpeg(b, 75), "q75.jpg");
    EXPECT_EQ(identify("%[jpeg:sampling-factor]", medium), "2x2,1x1,1x1");
    EXPECT_GT(psnr(decodeReference(medium), expected), 35.0);

    const std::string low = save(encodeJpeg(b, 30), "q30.jpg");
    EXPECT_EQ(identify("%Q", low), "30");
    EXPECT_GT(psnr(decodeReference(low), expected), 30.0);
    EXPECT_LT(folimo::test::readFile(low).size(), folimo::test::readFile(high).size());
}

TEST_F(EncodeTest, JpegQualityDefaultAndClamping) {
    const Bitmap b = makeBitmap(40, 30, PixelFormat::Rgb24,
                                [](int x, int y, int c) { return photo(x, y, c, 40, 30); });
    EXPECT_EQ(encodeJpeg(b, 0), encodeJpeg(b, 75));
    EXPECT_EQ(encodeJpeg(b, 150), encodeJpeg(b, 100));
    EXPECT_EQ(encodeJpeg(b, -7), encodeJpeg(b, 1));
    EXPECT_EQ(encode(b, "image/jpeg"), encodeJpeg(b, 75));
    EXPECT_EQ(identify("%Q", save(encodeJpeg(b, 150), "q.jpg")), "100");
}

TEST_F(EncodeTest, JpegDensity) {
    Bitmap b = makeBitmap(16, 16, PixelFormat::Rgb24, [](int x, int, int) { return x * 16; });
    b.dpiX = 299.6;
    b.dpiY = 150.4;
    EXPECT_EQ(identify("%x %y %U", save(encodeJpeg(b, 80), "dpi.jpg")), "300 150 PixelsPerInch");

    b.dpiX = b.dpiY = 0;
    const std::string none = encodeJpeg(b, 80);
    // JFIF APP0 right after SOI: units 0 and a 1:1 pixel ratio.
    ASSERT_EQ(none.substr(6, 5), std::string("JFIF\0", 5));
    EXPECT_EQ(std::uint8_t(none[13]), 0);
    EXPECT_EQ(none.substr(14, 4), std::string("\0\1\0\1", 4));
    EXPECT_EQ(identify("%U", save(none, "nodpi.jpg")), "Undefined");
}

TEST_F(EncodeTest, JpegGreySourcesMakeOneComponent) {
    const Bitmap grey =
        makeBitmap(64, 48, PixelFormat::Gray8, [](int x, int y, int) { return x * 2 + y; });
    const std::string jpeg = encodeJpeg(grey, 92);
    EXPECT_EQ(jpegComponents(jpeg), 1);
    const std::string path = save(jpeg, "grey.jpg");
    EXPECT_EQ(identify("%[colorspace]", path), "Gray");
    EXPECT_GT(psnr(decodeReference(path), overWhite(grey)), 42.0);

    // toGrey's output: a ramp palette, whose indices go in as they are.
    Bitmap ramp = makeBitmap(64, 48, PixelFormat::Indexed8,
                             [](int x, int y, int) { return std::uint8_t(x * 3 + y); });
    for (std::uint32_t i = 0; i < 256; ++i)
        ramp.palette.push_back(0xFF000000u | i * 0x010101u);
    EXPECT_EQ(jpegComponents(encodeJpeg(ramp, 92)), 1);
    EXPECT_EQ(encodeJpeg(ramp, 92), encodeJpeg(toGrey(ramp), 92));
    EXPECT_GT(psnr(decodeReference(save(encodeJpeg(ramp, 92), "ramp.jpg")), overWhite(ramp)), 40.0);

    // A palette of greys in another order is still grey.
    Bitmap shuffled = ramp;
    for (std::uint32_t i = 0; i < 256; ++i)
        shuffled.palette[i] = 0xFF000000u | (255 - i) * 0x010101u;
    EXPECT_EQ(jpegComponents(encodeJpeg(shuffled, 92)), 1);
    EXPECT_GT(psnr(decodeReference(save(encodeJpeg(shuffled, 92), "sh.jpg")), overWhite(shuffled)),
              40.0);

    // A ramp whose unused entries are coloured: only the entries used count.
    Bitmap partial = ramp;
    partial.palette[255] = 0xFFFF0000u;
    for (int y = 0; y < partial.height; ++y)
        for (int x = 0; x < partial.width; ++x)
            partial.row(y)[x] = std::min<std::uint8_t>(partial.row(y)[x], 200);
    EXPECT_EQ(jpegComponents(encodeJpeg(partial, 92)), 1);

    Bitmap deep = padded(50, 20, PixelFormat::Gray16);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 50; ++x)
            set16(deep, x, y, 0, std::uint16_t(x * 1300 + y * 7));
    const std::string deepJpeg = encodeJpeg(deep, 95);
    EXPECT_EQ(jpegComponents(deepJpeg), 1);
    EXPECT_GT(psnr(decodeReference(save(deepJpeg, "deep.jpg")), overWhite(deep)), 42.0);
}

TEST_F(EncodeTest, JpegColourPaletteAndAlphaOverWhite) {
    Bitmap indexed = makeBitmap(64, 64, PixelFormat::Indexed8, [](int x, int y, int) {
        return std::uint8_t(x / 16 + 4 * (y / 16));
    });
    for (std::uint32_t i = 0; i < 16; ++i)
        indexed.palette.push_back(0xFF000000u | (i * 16) << 16 | (255 - i * 12) << 8 | 90);
    indexed.palette[5] = 0x00123456u; // transparent: white
    const std::string jpeg = encodeJpeg(indexed, 95);
    EXPECT_EQ(jpegComponents(jpeg), 3);
    const Raster decoded = decodeReference(save(jpeg, "pal.jpg"));
    EXPECT_GT(psnr(decoded, overWhite(indexed)), 36.0);
    const unsigned char* white = decoded.at(16 + 8, 16 + 8); // block 5
    EXPECT_GE(white[0], 250);
    EXPECT_GE(white[1], 250);
    EXPECT_GE(white[2], 250);

    // Transparent on the left half, half-transparent red in the middle.
    const Bitmap rgba = makeBitmap(64, 32, PixelFormat::Rgba32, [](int x, int, int c) {
        if (x < 24)
            return std::uint8_t(c == 3 ? 0 : 40);
        if (x < 48)
            return std::uint8_t(c == 0 ? 255 : c == 3 ? 128 : 0);
        return std::uint8_t(c == 2 ? 200 : c == 3 ? 255 : 10);
    });
    const Raster r = decodeReference(save(encodeJpeg(rgba, 95), "rgba.jpg"));
    EXPECT_GT(psnr(r, overWhite(rgba)), 36.0);
    EXPECT_NEAR(r.at(8, 16)[0], 255, 3);
    EXPECT_NEAR(r.at(36, 16)[1], 127, 4);

    Bitmap deep = padded(40, 24, PixelFormat::Rgba64);
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 40; ++x) {
            set16(deep, x, y, 0, std::uint16_t(x * 1600));
            set16(deep, x, y, 1, std::uint16_t(y * 2700));
            set16(deep, x, y, 2, 30000);
            set16(deep, x, y, 3, std::uint16_t(65535 - x * 800));
        }
    EXPECT_GT(psnr(decodeReference(save(encodeJpeg(deep, 95), "deep.jpg")), overWhite(deep)), 38.0);

    Bitmap rgb48 = padded(40, 24, PixelFormat::Rgb48);
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 40; ++x)
            for (int c = 0; c < 3; ++c)
                set16(rgb48, x, y, c, std::uint16_t(x * 1500 + y * 900 * c + 77));
    EXPECT_GT(psnr(decodeReference(save(encodeJpeg(rgb48, 95), "48.jpg")), overWhite(rgb48)), 38.0);
}

TEST_F(EncodeTest, JpegLargerThanItsFirstBuffer) {
    // Noise at quality 100 compresses to more than the encoder's first guess at the
    // size, so the output buffer has to grow.
    std::uint32_t seed = 12345;
    const Bitmap noise = makeBitmap(300, 200, PixelFormat::Rgb24, [&](int, int, int) {
        seed = seed * 1664525u + 1013904223u;
        return std::uint8_t(seed >> 24);
    });
    const std::string jpeg = encodeJpeg(noise, 100);
    EXPECT_GT(jpeg.size(), 300u * 200 * 3 / 2 + 65536);
    const std::string path = save(jpeg, "noise.jpg");
    EXPECT_EQ(identify("%w %h", path), "300 200");
    EXPECT_GT(psnr(decodeReference(path), overWhite(noise)), 40.0);
}

// A picture too large to hold whole is encoded from bands of rows; the file must be
// the very one the whole bitmap gives, across band edges and a short last band.
TEST_F(EncodeTest, JpegFromBandsIsTheFileOfTheWholeBitmap) {
    const struct {
        const char* file;
        const char* convertArguments;
        int bands;
    } kinds[] = {
        {"rgba.png", "plasma: -alpha set -channel A -evaluate set 60% +channel", 3},
        {"grey16.png", "gradient: -depth 16 -colorspace Gray", 3},
        {"PNG8:palette.png", "plasma: -colors 12", 3},
        {"bilevel.png", "pattern:checkerboard -monochrome", 3},
        {"density.png", "plasma: -units PixelsPerInch -density 150", 3},
        {"strips.tif", "plasma: -define tiff:rows-per-strip=50 -compress lzw", 3},
        {"tiles.tif", "plasma: -define tiff:tile-geometry=32x32 -compress zip", 5},
        {"rgb16.tif", "plasma: -depth 16 -define tiff:rows-per-strip=64", 3},
        {"planar.tif", "plasma: -interlace plane -define tiff:rows-per-strip=64", 3},
        {"palette.tif", "plasma: -colors 7 -type Palette -define tiff:rows-per-strip=64", 3},
    };
    auto span = [](const std::string& s) {
        return std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.file);
        const std::string name = kind.file;
        const auto colon = name.find(':');
        const std::string path = dir_.file(name.substr(colon + 1));
        folimo::test::makeImage(std::string("-size 70x131 ") + kind.convertArguments,
                                name.substr(0, colon + 1) + path);
        const std::string file = folimo::test::readFile(path);
        const bool tiff = path.ends_with(".tif");
        std::optional<JpegEncoder> encoder;
        int bands = 0;
        const auto onBand = [&](const Bitmap& band, int rows, int height) {
            if (!encoder)
                encoder.emplace(band, height, 80);
            encoder->write(band, rows);
            ++bands;
        };
        ASSERT_TRUE(tiff ? decodeTiffInBands(span(file), 0, onBand)
                         : decodePngInBands(span(file), 64, onBand));
        ASSERT_TRUE(encoder);
        EXPECT_EQ(bands, kind.bands);
        const Bitmap whole = tiff ? decodeTiff(span(file), {}) : decodePng(span(file), {});
        EXPECT_EQ(encoder->finish(), encodeJpeg(whole, 80));
    }
    // What needs the whole picture gives no bands: each pass of an interlaced PNG fills
    // in part of every row; a turned TIFF page must be turned whole.
    const std::string interlaced = dir_.file("interlaced.png"), turned = dir_.file("turned.tif");
    folimo::test::makeImage("-size 20x20 plasma: -interlace PNG", interlaced);
    folimo::test::makeImage("-size 20x20 plasma: -orient RightTop", turned);
    const auto none = [](const Bitmap&, int, int) { FAIL(); };
    EXPECT_FALSE(decodePngInBands(span(folimo::test::readFile(interlaced)), 8, none));
    EXPECT_FALSE(decodeTiffInBands(span(folimo::test::readFile(turned)), 0, none));
}

TEST_F(EncodeTest, JpegIccProfileWhenItFits) {
    Bitmap b = makeBitmap(8, 8, PixelFormat::Rgb24, [](int x, int, int) { return x * 30; });
    b.iccProfile = folimo::test::makeIccProfile(folimo::test::IccModel::Rgb, "enc test");
    const std::string path = save(encodeJpeg(b, 80), "icc.jpg");
    const std::string out = dir_.file("out.icc");
    ASSERT_EQ(runCommand("convert " + shellQuote(path) + " " + shellQuote(out)).exitCode, 0);
    EXPECT_EQ(folimo::test::readFile(out), b.iccProfile);

    // A colour profile does not go with a grey JPEG.
    Bitmap g = makeBitmap(8, 8, PixelFormat::Gray8, [](int x, int, int) { return x * 30; });
    g.iccProfile = b.iccProfile;
    const std::string jpeg = encodeJpeg(g, 80);
    EXPECT_EQ(jpeg.find("ICC_PROFILE"), std::string::npos);
}

// ---------------------------------------------------------------------------------------
// PNG

TEST_F(EncodeTest, PngTrueColourIsExact) {
    const int w = 77, h = 41;
    const Bitmap rgb = makeBitmap(w, h, PixelFormat::Rgb24, [](int x, int y, int c) {
        return (x * 37 + y * 11 + c * 101) & 255;
    });
    const std::string path = save(encodePng(rgb), "rgb.png");
    EXPECT_EQ(identify("%w %h %z %[png:IHDR.color-type-orig]", path), "77 41 8 2");
    EXPECT_EQ(compareRasters(decodeReference(path), overWhite(rgb)).max, 0);

    const Bitmap grey = makeBitmap(w, h, PixelFormat::Gray8,
                                   [](int x, int y, int) { return (x * 5 + y * 3) & 255; });
    const std::string greyPath = save(encodePng(grey), "grey.png");
    EXPECT_EQ(identify("%[png:IHDR.color-type-orig] %[png:IHDR.bit-depth-orig]", greyPath), "0 8");
    EXPECT_EQ(compareRasters(decodeReference(greyPath), overWhite(grey)).max, 0);

    const Bitmap rgba = makeBitmap(w, h, PixelFormat::Rgba32, [](int x, int y, int c) {
        return c == 3 ? std::uint8_t(x * 3) : std::uint8_t((x * 13 + y * 7 + c * 50) & 255);
    });
    const std::string rgbaPath = save(encodePng(rgba), "rgba.png");
    EXPECT_EQ(identify("%[png:IHDR.color-type-orig]", rgbaPath), "6");
    EXPECT_LE(compareRasters(decodeReference(rgbaPath), overWhite(rgba)).max, 1);
    // The stored alpha, exactly.
    const auto stored = samples16(rgbaPath, "rgba");
    ASSERT_EQ(stored.size(), std::size_t(w) * h * 4);
    for (int x = 0; x < w; ++x)
        ASSERT_EQ(stored[std::size_t(x) * 4 + 3], rgba.row(0)[4 * x + 3] * 257) << x;
}

TEST_F(EncodeTest, PngSixteenBitStaysSixteenBit) {
    const int w = 30, h = 9;
    Bitmap b = padded(w, h, PixelFormat::Rgb48);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                set16(b, x, y, c, std::uint16_t(x * 2111 + y * 31 + c * 7 + 0x0102));
    const std::string path = save(encodePng(b), "deep.png");
    EXPECT_EQ(identify("%z %[png:IHDR.bit-depth-orig] %[png:IHDR.color-type-orig]", path),
              "16 16 2");
    const auto samples = samples16(path, "rgb");
    ASSERT_EQ(samples.size(), std::size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(samples[(std::size_t(y) * w + x) * 3 + c], get16(b, x, y, c))
                    << x << "," << y << "," << c;

    Bitmap g = padded(w, h, PixelFormat::Gray16);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            set16(g, x, y, 0, std::uint16_t(x * 2000 + y + 0x0301));
    const std::string gPath = save(encodePng(g), "grey16.png");
    EXPECT_EQ(identify("%[png:IHDR.bit-depth-orig] %[png:IHDR.color-type-orig]", gPath), "16 0");
    const auto grey = samples16(gPath, "gray");
    ASSERT_EQ(grey.size(), std::size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            ASSERT_EQ(grey[std::size_t(y) * w + x], get16(g, x, y, 0));

    Bitmap a = padded(4, 2, PixelFormat::Rgba64);
    for (int x = 0; x < 4; ++x)
        for (int c = 0; c < 4; ++c)
            set16(a, x, 0, c, std::uint16_t(x * 10000 + c * 999 + 1)), set16(a, x, 1, c, 65535);
    const auto rgba = samples16(save(encodePng(a), "rgba16.png"), "rgba");
    ASSERT_EQ(rgba.size(), 32u);
    for (int x = 0; x < 4; ++x)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(rgba[std::size_t(x) * 4 + c], get16(a, x, 0, c));
}

TEST_F(EncodeTest, PngPaletteKeepsColoursAndTransparency) {
    Bitmap b = makeBitmap(37, 20, PixelFormat::Indexed8,
                          [](int x, int y, int) { return std::uint8_t((x + y) % 5); });
    b.palette = {0xFFFF0000u, 0x00000000u, 0x800000FFu, 0xFF00FF00u, 0xFF808080u};
    const std::string png = encodePng(b);
    const std::string path = save(png, "pal.png");
    EXPECT_EQ(identify("%[png:IHDR.color-type-orig] %[png:IHDR.bit-depth-orig]", path), "3 8");
    EXPECT_LE(compareRasters(decodeReference(path), overWhite(b)).max, 1);
    bool sawTrns = false;
    for (const auto& chunk : folimo::test::splitPng(png)) {
        if (chunk.type == "PLTE") {
            EXPECT_EQ(chunk.data, std::string("\xFF\0\0\0\0\0\0\0\xFF\0\xFF\0\x80\x80\x80", 15));
        }
        if (chunk.type == "tRNS") {
            sawTrns = true;
            EXPECT_EQ(chunk.data, std::string("\xFF\0\x80", 3)); // up to the last non-opaque
        }
    }
    EXPECT_TRUE(sawTrns);

    // 1- and 4-bit palettes keep their depth; indices past a short palette are black.
    Bitmap four = padded(9, 3, PixelFormat::Indexed4);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 9; ++x) {
            std::uint8_t& byte = four.row(y)[x / 2];
            const std::uint8_t v = std::uint8_t((x + y) % 4);
            byte = x % 2 ? std::uint8_t((byte & 0xF0) | v) : std::uint8_t((byte & 0x0F) | v << 4);
        }
    four.palette = {0xFF102030u, 0xFFFFFFFFu, 0xFFAA5500u};
    const std::string fourPath = save(encodePng(four), "four.png");
    EXPECT_EQ(identify("%[png:IHDR.bit-depth-orig] %[png:IHDR.color-type-orig]", fourPath), "4 3");
    Bitmap fourFull = four;
    fourFull.palette.push_back(0xFF000000u);
    EXPECT_EQ(compareRasters(decodeReference(fourPath), overWhite(fourFull)).max, 0);

    Bitmap one = padded(13, 2, PixelFormat::Indexed1);
    for (int x = 0; x < 13; ++x)
        if (x % 3 == 0)
            one.row(0)[x / 8] |= std::uint8_t(0x80 >> (x % 8));
        else
            one.row(0)[x / 8] &= std::uint8_t(~(0x80 >> (x % 8)));
    one.row(1)[0] = 0xF0, one.row(1)[1] = 0x0F;
    one.palette = {0xFF000080u, 0xFFFFFF00u};
    const std::string onePath = save(encodePng(one), "one.png");
    EXPECT_EQ(identify("%[png:IHDR.bit-depth-orig]", onePath), "1");
    EXPECT_EQ(compareRasters(decodeReference(onePath), overWhite(one)).max, 0);
}

TEST_F(EncodeTest, PngResolutionAndProfile) {
    Bitmap b = makeBitmap(10, 10, PixelFormat::Rgb24, [](int x, int, int) { return x * 20; });
    b.dpiX = 300;
    b.dpiY = 96;
    b.iccProfile = folimo::test::makeIccProfile(folimo::test::IccModel::Rgb, "png test");
    const std::string png = encodePng(b);
    bool sawPhys = false, sawIcc = false;
    for (const auto& chunk : folimo::test::splitPng(png)) {
        if (chunk.type == "pHYs") {
            sawPhys = true;
            // 300 dpi = 11811.02 per metre, 96 dpi = 3779.53: rounded.
            EXPECT_EQ(chunk.data, std::string("\0\0\x2E\x23\0\0\x0E\xC4\x01", 9));
        }
        sawIcc |= chunk.type == "iCCP";
    }
    EXPECT_TRUE(sawPhys);
    EXPECT_TRUE(sawIcc);
    const std::string path = save(png, "dpi.png");
    EXPECT_EQ(identify("%U", path), "PixelsPerCentimeter");
    EXPECT_NEAR(std::stod(identify("%x", path)), 118.11, 0.01);
    const std::string out = dir_.file("out.icc");
    ASSERT_EQ(runCommand("convert " + shellQuote(path) + " " + shellQuote(out)).exitCode, 0);
    EXPECT_EQ(folimo::test::readFile(out), b.iccProfile);

    // Without a resolution, no pHYs; a grey profile does not go with an RGB picture.
    b.dpiX = b.dpiY = 0;
    b.iccProfile = folimo::test::makeIccProfile(folimo::test::IccModel::Gray);
    for (const auto& chunk : folimo::test::splitPng(encodePng(b))) {
        EXPECT_NE(chunk.type, "pHYs");
        EXPECT_NE(chunk.type, "iCCP");
    }
}

// ---------------------------------------------------------------------------------------
// GIF

TEST_F(EncodeTest, GifPaletteKeepsColoursAndTransparency) {
    Bitmap b = makeBitmap(50, 30, PixelFormat::Indexed8,
                          [](int x, int y, int) { return std::uint8_t((x / 5 + y / 5) % 20); });
    for (std::uint32_t i = 0; i < 20; ++i)
        b.palette.push_back(0xFF000000u | (i * 12) << 16 | (250 - i * 9) << 8 | (i * 37 & 255));
    b.palette[3] = 0x00FF0000u; // transparent red: shows white
    b.palette[7] = 0x40112233u; // mostly transparent: also the transparent index
    b.palette[9] = 0xC0445566u; // mostly opaque: kept as an opaque colour
    const std::string gif = encodeGif(b);
    ASSERT_EQ(gif.substr(0, 6), "GIF89a");
    const std::string path = save(gif, "pal.gif");
    EXPECT_EQ(identify("%w %h", path), "50 30");
    Bitmap expected = b;
    expected.palette[7] = 0;
    expected.palette[9] |= 0xFF000000u;
    EXPECT_EQ(compareRasters(decodeReference(path), overWhite(expected)).max, 0);
    // The pixel-shape byte: 0, nothing said about the resolution.
    EXPECT_EQ(gif[12], 0);
}

TEST_F(EncodeTest, GifFewColoursAreExact) {
    const Bitmap rgb = makeBitmap(64, 40, PixelFormat::Rgb24, [](int x, int y, int c) {
        const int block = (x / 4) + 16 * (y / 4); // 160 blocks, 160 colours
        return std::uint8_t((block * (c + 3) * 41) & 255);
    });
    const std::string path = save(encodeGif(rgb), "few.gif");
    EXPECT_EQ(compareRasters(decodeReference(path), overWhite(rgb)).max, 0);

    const Bitmap grey =
        makeBitmap(70, 10, PixelFormat::Gray8, [](int x, int y, int) { return x * 3 + y; });
    EXPECT_EQ(
        compareRasters(decodeReference(save(encodeGif(grey), "grey.gif")), overWhite(grey)).max, 0);

    // Binary alpha: the transparent part is the GIF's transparent colour.
    const Bitmap rgba = makeBitmap(32, 32, PixelFormat::Rgba32, [](int x, int y, int c) {
        if (c == 3)
            return std::uint8_t(x < 10 ? 30 : 255);
        return std::uint8_t(((x / 8) * 60 + (y / 8) * 20 + c * 70) & 255);
    });
    const std::string alphaGif = encodeGif(rgba);
    Bitmap expected = rgba;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            expected.row(y)[4 * x + 3] = x < 10 ? 0 : 255;
    EXPECT_EQ(compareRasters(decodeReference(save(alphaGif, "alpha.gif")), overWhite(expected)).max,
              0);
}

TEST_F(EncodeTest, GifQuantizedGradientIsSmooth) {
    const int w = 256, h = 256;
    const Bitmap b = makeBitmap(w, h, PixelFormat::Rgb24, [](int x, int y, int c) {
        return std::uint8_t(c == 0 ? x : c == 1 ? y : (x + y) / 2);
    });
    const std::string path = save(encodeGif(b), "gradient.gif");
    const Raster decoded = decodeReference(path);
    const Raster expected = overWhite(b);
    const auto difference = compareRasters(decoded, expected);
    EXPECT_LT(difference.mean, 6.0);
    EXPECT_LT(difference.max, 48);
    // Dithering keeps the local average: 8x8 block means stay close, where plain
    // nearest-colour mapping leaves bands. Along the edges the gradient reaches the
    // limits of its colours, and no mix of palette colours (which are averages) goes
    // quite as far; ImageMagick's output has the same 8-level shortfall there.
    double inner = 0, edge = 0;
    for (int by = 0; by < h; by += 8)
        for (int bx = 0; bx < w; bx += 8)
            for (int c = 0; c < 3; ++c) {
                double got = 0, want = 0;
                for (int y = by; y < by + 8; ++y)
                    for (int x = bx; x < bx + 8; ++x)
                        got += decoded.at(x, y)[c], want += expected.at(x, y)[c];
                const double error = std::fabs(got - want) / 64;
                const bool border = bx < 16 || by < 16 || bx >= w - 16 || by >= h - 16;
                (border ? edge : inner) = std::max(border ? edge : inner, error);
            }
    EXPECT_LT(inner, 4.0);
    EXPECT_LT(edge, 10.0);
    EXPECT_LE(std::stoi(identify("%k", path)), 256);
}

TEST_F(EncodeTest, GifPhotoWithTransparencyAndDeepSources) {
    const int w = 120, h = 90;
    Bitmap b = padded(w, h, PixelFormat::Rgba64);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < 3; ++c)
                set16(b, x, y, c, std::uint16_t(photo(x, y, c, w, h) * 257 + 100));
            set16(b, x, y, 3, x < 20 ? 1000 : 65535);
        }
    const std::string gif = encodeGif(b);
    const Raster decoded = decodeReference(save(gif, "deep.gif"));
    Bitmap expected = b;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            set16(expected, x, y, 3, x < 20 ? 0 : 65535);
    const auto difference = compareRasters(decoded, overWhite(expected));
    EXPECT_LT(difference.mean, 4.0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < 20; ++x)
            ASSERT_EQ(decoded.at(x, y)[0] + decoded.at(x, y)[1] + decoded.at(x, y)[2], 765);

    Bitmap g = padded(40, 4, PixelFormat::Gray16);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 40; ++x)
            set16(g, x, y, 0, std::uint16_t(x * 1600 + y * 300));
    EXPECT_EQ(compareRasters(decodeReference(save(encodeGif(g), "g16.gif")), overWhite(g)).max, 0);
}

TEST(GifLimits, TooWideIsUnsupported) {
    const Bitmap b = Bitmap::create(70000, 1, PixelFormat::Gray8);
    try {
        encodeGif(b);
        FAIL() << "no exception";
    } catch (const ImagingError& e) {
        EXPECT_EQ(e.kind(), ImagingError::Unsupported);
    }
}

// ---------------------------------------------------------------------------------------
// TIFF

TEST_F(EncodeTest, TiffContoneDeflateWithPredictor) {
    const int w = 300, h = 500; // several strips
    Bitmap rgb = makeBitmap(w, h, PixelFormat::Rgb24,
                            [&](int x, int y, int c) { return photo(x, y, c, w, h); });
    rgb.dpiX = 300;
    rgb.dpiY = 600;
    rgb.iccProfile = folimo::test::makeIccProfile(folimo::test::IccModel::Rgb, "tiff test");
    const std::string path = save(encodeTiff(rgb), "rgb.tif");
    EXPECT_EQ(identify("%w %h %z %C %[tiff:photometric] %x %y %U", path),
              "300 500 8 Zip RGB 300 600 PixelsPerInch");
    EXPECT_EQ(compareRasters(decodeReference(path), overWhite(rgb)).max, 0);

    TiffFile t(TIFFOpen(path.c_str(), "r"));
    ASSERT_TRUE(t);
    EXPECT_EQ(tiffTag<std::uint16_t>(t.get(), TIFFTAG_COMPRESSION), COMPRESSION_ADOBE_DEFLATE);
    EXPECT_EQ(tiffTag<std::uint16_t>(t.get(), TIFFTAG_PREDICTOR), PREDICTOR_HORIZONTAL);
    const auto rows = tiffTag<std::uint32_t>(t.get(), TIFFTAG_ROWSPERSTRIP);
    EXPECT_GE(rows * w * 3, 48u << 10);
    EXPECT_LE(rows * w * 3, 64u << 10);
    std::uint32_t iccSize = 0;
    void* icc = nullptr;
    ASSERT_EQ(TIFFGetField(t.get(), TIFFTAG_ICCPROFILE, &iccSize, &icc), 1);
    EXPECT_EQ(std::string(static_cast<const char*>(icc), iccSize), rgb.iccProfile);
    EXPECT_EQ(TIFFNumberOfDirectories(t.get()), 1);

    const Bitmap grey =
        makeBitmap(33, 7, PixelFormat::Gray8, [](int x, int y, int) { return x * 7 + y; });
    const std::string greyPath = save(encodeTiff(grey), "grey.tif");
    EXPECT_EQ(identify("%[tiff:photometric] %C", greyPath), "min-is-black Zip");
    EXPECT_EQ(compareRasters(decodeReference(greyPath), overWhite(grey)).max, 0);
    TiffFile g(TIFFOpen(greyPath.c_str(), "r"));
    ASSERT_TRUE(g);
    float resolution = 0;
    EXPECT_EQ(TIFFGetField(g.get(), TIFFTAG_XRESOLUTION, &resolution), 0); // none given
}

TEST_F(EncodeTest, TiffAlphaAndSixteenBit) {
    const int w = 21, h = 5;
    Bitmap b = padded(w, h, PixelFormat::Rgba64);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c)
                set16(b, x, y, c, std::uint16_t(x * 3000 + y * 11 + c * 5003 + 3));
    const std::string path = save(encodeTiff(b), "rgba16.tif");
    EXPECT_EQ(identify("%z %C %[tiff:photometric] %[tiff:alpha]", path), "16 Zip RGB unassociated");
    TiffFile t(TIFFOpen(path.c_str(), "r"));
    ASSERT_TRUE(t);
    EXPECT_EQ(tiffTag<std::uint16_t>(t.get(), TIFFTAG_SAMPLESPERPIXEL), 4);
    EXPECT_EQ(tiffTag<std::uint16_t>(t.get(), TIFFTAG_BITSPERSAMPLE), 16);
    std::uint16_t extraCount = 0;
    std::uint16_t* extra = nullptr;
    ASSERT_EQ(TIFFGetField(t.get(), TIFFTAG_EXTRASAMPLES, &extraCount, &extra), 1);
    ASSERT_EQ(extraCount, 1);
    EXPECT_EQ(extra[0], EXTRASAMPLE_UNASSALPHA);
    // Samples exactly as given, by ImageMagick's reading.
    const auto samples = samples16(path, "rgba");
    ASSERT_EQ(samples.size(), std::size_t(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(samples[(std::size_t(y) * w + x) * 4 + c], get16(b, x, y, c));

    const Bitmap rgba = makeBitmap(20, 6, PixelFormat::Rgba32, [](int x, int y, int c) {
        return std::uint8_t(c == 3 ? x * 13 : (x * 9 + y * 20 + c * 60) & 255);
    });
    const std::string rgbaPath = save(encodeTiff(rgba), "rgba.tif");
    EXPECT_EQ(identify("%z %[tiff:alpha]", rgbaPath), "8 unassociated");
    EXPECT_LE(compareRasters(decodeReference(rgbaPath), overWhite(rgba)).max, 1);
}

TEST_F(EncodeTest, TiffPaletteWithSixteenBitColormap) {
    Bitmap b = makeBitmap(40, 12, PixelFormat::Indexed8,
                          [](int x, int y, int) { return std::uint8_t((x + 3 * y) % 6); });
    b.palette = {0xFF000000u, 0xFFFF0000u, 0xFF00FF00u, 0xFF0000FFu, 0xFF123456u, 0xFFFFFFFFu};
    const std::string path = save(encodeTiff(b), "pal.tif");
    EXPECT_EQ(identify("%[tiff:photometric]", path), "palette");
    EXPECT_EQ(compareRasters(decodeReference(path), overWhite(b)).max, 0);
    TiffFile t(TIFFOpen(path.c_str(), "r"));
    ASSERT_TRUE(t);
    const auto compression = tiffTag<std::uint16_t>(t.get(), TIFFTAG_COMPRESSION);
    EXPECT_TRUE(compression == COMPRESSION_ADOBE_DEFLATE || compression == COMPRESSION_LZW);
    std::uint16_t *r = nullptr, *g = nullptr, *bl = nullptr;
    ASSERT_EQ(TIFFGetField(t.get(), TIFFTAG_COLORMAP, &r, &g, &bl), 1);
    EXPECT_EQ(r[4], 0x1212);
    EXPECT_EQ(g[4], 0x3434);
    EXPECT_EQ(bl[4], 0x5656);
    EXPECT_EQ(r[1], 0xFFFF);

    Bitmap one = padded(19, 3, PixelFormat::Indexed1);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 19; ++x) {
            std::uint8_t& byte = one.row(y)[x / 8];
            const std::uint8_t bit = std::uint8_t(0x80 >> (x % 8));
            byte = (x + y) % 3 ? std::uint8_t(byte | bit) : std::uint8_t(byte & ~bit);
        }
    one.palette = {0xFFFFFFFFu, 0xFF000000u};
    const std::string onePath = save(encodeTiff(one), "one.tif");
    EXPECT_EQ(identify("%z %[tiff:photometric]", onePath), "1 palette");
    EXPECT_EQ(compareRasters(decodeReference(onePath), overWhite(one)).max, 0);

    // A TIFF colormap has no alpha: a palette with transparency is written as RGBA.
    Bitmap clear = b;
    clear.palette[2] = 0x0000FF00u;
    const std::string clearPath = save(encodeTiff(clear), "clear.tif");
    EXPECT_EQ(identify("%[tiff:photometric] %[tiff:alpha]", clearPath), "RGB unassociated");
    EXPECT_EQ(compareRasters(decodeReference(clearPath), overWhite(clear)).max, 0);
}

TEST(EncodeThreads, ConcurrentEncodersAgreeWithSerialOnes) {
    const Bitmap b = makeBitmap(90, 70, PixelFormat::Rgba32, [](int x, int y, int c) {
        return c == 3 ? std::uint8_t(x < 8 ? 0 : 255) : photo(x, y, c, 90, 70);
    });
    const char* types[] = {"image/jpeg", "image/png", "image/gif", "image/tiff"};
    std::vector<std::string> serial;
    for (const char* type : types)
        serial.push_back(encode(b, type, 85));
    std::vector<std::string> results(16);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 4; ++i)
                results[std::size_t(t) * 4 + i] = encode(b, types[i], 85);
        });
    for (auto& thread : threads)
        thread.join();
    for (std::size_t i = 0; i < results.size(); ++i)
        EXPECT_EQ(results[i], serial[i % 4]) << types[i % 4];
}

// ---------------------------------------------------------------------------------------
// resize

TEST(Resize, ExactDimensionsAndFieldsKept) {
    Bitmap b = makeBitmap(37, 23, PixelFormat::Rgb24,
                          [](int x, int y, int c) { return std::uint8_t(x * 5 + y * 3 + c); });
    b.dpiX = 200;
    b.dpiY = 100;
    b.iccProfile = "profile bytes";
    for (auto [w, h] : std::vector<std::pair<int, int>>{
             {1, 1}, {10, 7}, {37, 23}, {74, 46}, {100, 5}, {3, 90}, {36, 24}, {38, 22}}) {
        const Bitmap r = resize(b, w, h);
        EXPECT_EQ(r.width, w);
        EXPECT_EQ(r.height, h);
        EXPECT_EQ(r.format, PixelFormat::Rgb24);
        EXPECT_EQ(r.dpiX, 200);
        EXPECT_EQ(r.dpiY, 100);
        EXPECT_EQ(r.iccProfile, "profile bytes");
        EXPECT_GE(r.stride, std::size_t(w) * 3);
    }
    EXPECT_THROW(resize(b, 0, 5), ImagingError);
    EXPECT_THROW(resize(b, 5, -1), ImagingError);
    Limits small;
    small.maxPixels = 100;
    EXPECT_THROW(resize(b, 20, 20, small), ImagingError);
    // Same size: the same pixels.
    const Bitmap same = resize(b, 37, 23);
    for (int y = 0; y < 23; ++y)
        ASSERT_EQ(std::memcmp(same.row(y), b.row(y), 37 * 3), 0);
}

TEST(Resize, AreaAverageOfWholePixels) {
    // 4x4 to 2x2: each output is the mean of a 2x2 block.
    const std::uint8_t v[4][4] = {{0, 10, 100, 200}, {20, 30, 0, 0}, {1, 2, 3, 4}, {5, 6, 7, 9}};
    const Bitmap b =
        makeBitmap(4, 4, PixelFormat::Gray8, [&](int x, int y, int) { return v[y][x]; });
    const Bitmap r = resize(b, 2, 2);
    EXPECT_EQ(r.row(0)[0], 15); // (0 + 10 + 20 + 30) / 4
    EXPECT_EQ(r.row(0)[1], 75); // (100 + 200 + 0 + 0) / 4
    EXPECT_EQ(r.row(1)[0], 4);  // (1 + 2 + 5 + 6) / 4 = 3.5, rounded up
    EXPECT_EQ(r.row(1)[1], 6);  // (3 + 4 + 7 + 9) / 4 = 5.75
    EXPECT_EQ(r.format, PixelFormat::Gray8);
}

TEST(Resize, AreaAverageWithFractionalEdges) {
    // 3x1 to 2x1: output 0 covers pixel 0 and half of pixel 1: (2 a + b) / 3.
    const std::uint8_t v[3] = {0, 90, 180};
    const Bitmap b = makeBitmap(3, 1, PixelFormat::Gray8, [&](int x, int, int) { return v[x]; });
    const Bitmap r = resize(b, 2, 1);
    EXPECT_EQ(r.row(0)[0], 30);
    EXPECT_EQ(r.row(0)[1], 150);

    // The same vertically, in colour: 1x5 to 1x2 covers 2.5 rows each.
    const std::uint8_t col[5] = {10, 20, 30, 40, 250};
    const Bitmap c = makeBitmap(1, 5, PixelFormat::Rgb24,
                                [&](int, int y, int ch) { return std::uint8_t(col[y] + ch); });
    const Bitmap s = resize(c, 1, 2);
    EXPECT_EQ(s.row(0)[0], 18);  // (10 + 20 + 30 / 2) / 2.5
    EXPECT_EQ(s.row(1)[0], 122); // (30 / 2 + 40 + 250) / 2.5
    EXPECT_EQ(s.row(1)[2], 124);
}

TEST(Resize, FinePatternsBecomeUniformGrey) {
    // One-pixel checkerboard and stripes: an area average gives mid-grey everywhere,
    // where point sampling would give black, white or moire.
    const Bitmap checker = makeBitmap(1000, 700, PixelFormat::Gray8,
                                      [](int x, int y, int) { return (x + y) % 2 ? 255 : 0; });
    // Whole footprints of 4 x 4 pixels: exactly half white.
    const Bitmap quarter = resize(checker, 250, 175);
    for (int y = 0; y < quarter.height; ++y)
        for (int x = 0; x < quarter.width; ++x)
            ASSERT_EQ(quarter.row(y)[x], 128) << x << "," << y;
    // Footprints of about 3 x 3.3 pixels hold one white pixel more or less than black
    // ones: within 127.5 / 9 of mid-grey, and mid-grey on average.
    const Bitmap small = resize(checker, 333, 211);
    int lo = 255, hi = 0;
    double sum = 0;
    for (int y = 0; y < small.height; ++y)
        for (int x = 0; x < small.width; ++x) {
            lo = std::min<int>(lo, small.row(y)[x]), hi = std::max<int>(hi, small.row(y)[x]);
            sum += small.row(y)[x];
        }
    EXPECT_GE(lo, 113);
    EXPECT_LE(hi, 142);
    EXPECT_NEAR(sum / (333 * 211), 127.5, 0.5);

    const Bitmap stripes = makeBitmap(900, 60, PixelFormat::Rgb24, [](int x, int, int c) {
        return std::uint8_t(x % 2 ? (c == 0 ? 255 : 0) : (c == 2 ? 255 : 0));
    });
    const Bitmap narrow = resize(stripes, 600, 40); // 1.5 : 1
    for (int y = 0; y < narrow.height; ++y)
        for (int x = 0; x < narrow.width; ++x) {
            const std::uint8_t* p = narrow.row(y) + 3 * x;
            ASSERT_NEAR(p[0], 127, 43) << x; // 1/3 .. 2/3 at worst where 1.5 pixels meet
            ASSERT_EQ(p[1], 0);
            ASSERT_EQ(p[0] + p[2], 255);
        }
    // Averaged over a few pixels, the balance is exact.
    int red = 0, blue = 0;
    for (int x = 0; x < 600; ++x)
        red += narrow.row(5)[3 * x], blue += narrow.row(5)[3 * x + 2];
    EXPECT_NEAR(red, blue, 600);
}

TEST(Resize, TransparentColourDoesNotBleed) {
    // Left half fully transparent red, right half opaque blue.
    const Bitmap b = makeBitmap(40, 10, PixelFormat::Rgba32, [](int x, int, int c) {
        if (x < 20)
            return std::uint8_t(c == 0 ? 255 : 0);
        return std::uint8_t(c == 2 || c == 3 ? 255 : 0);
    });
    for (auto [w, h] : std::vector<std::pair<int, int>>{{7, 3}, {13, 10}, {80, 20}}) {
        const Bitmap r = resize(b, w, h);
        ASSERT_EQ(r.format, PixelFormat::Rgba32);
        bool sawPartial = false;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const std::uint8_t* p = r.row(y) + 4 * x;
                if (p[3] == 0)
                    continue;
                sawPartial |= p[3] < 255;
                EXPECT_EQ(p[0], 0) << w << " " << x;
                EXPECT_EQ(p[2], 255) << w << " " << x;
            }
        EXPECT_TRUE(sawPartial) << w;
    }
}

TEST(Resize, EnlargingInterpolatesBetweenCentres) {
    const Bitmap b =
        makeBitmap(2, 1, PixelFormat::Gray8, [](int x, int, int) { return x ? 255 : 0; });
    const Bitmap r = resize(b, 4, 3);
    const std::uint8_t expected[4] = {0, 64, 191, 255};
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(r.row(y)[x], expected[x]) << x << "," << y;

    // Wider but lower: rows averaged in pairs (to 1 and 254), then interpolated across.
    const Bitmap tall = makeBitmap(2, 4, PixelFormat::Gray8, [](int x, int y, int) {
        return std::uint8_t(x ? 255 - 2 * (y % 2) : 2 * (y % 2));
    });
    const Bitmap wide = resize(tall, 4, 2);
    const std::uint8_t between[4] = {1, 64, 191, 254}; // 1 + 253 x (0, 1/4, 3/4, 1)
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(wide.row(y)[x], between[x]) << x << "," << y;

    // Narrower but taller: pairs averaged across, rows repeated.
    const std::uint8_t v[4] = {0, 100, 200, 255};
    const Bitmap flat = makeBitmap(4, 1, PixelFormat::Gray8, [&](int x, int, int) { return v[x]; });
    const Bitmap narrow = resize(flat, 2, 3);
    for (int y = 0; y < 3; ++y) {
        EXPECT_EQ(narrow.row(y)[0], 50);
        EXPECT_EQ(narrow.row(y)[1], 228); // 227.5
    }
}

TEST(Resize, SixteenBitFormats) {
    Bitmap b = padded(4, 2, PixelFormat::Rgb48);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x)
            for (int c = 0; c < 3; ++c)
                set16(b, x, y, c, std::uint16_t(1000 * (x + 1) + 10000 * y + c));
    const Bitmap r = resize(b, 2, 1);
    ASSERT_EQ(r.format, PixelFormat::Rgb48);
    // Mean of 1000, 2000, 11000, 12000 (+c): 6500.
    EXPECT_EQ(get16(r, 0, 0, 0), 6500);
    EXPECT_EQ(get16(r, 0, 0, 2), 6502);
    EXPECT_EQ(get16(r, 1, 0, 1), 8501);

    Bitmap a = padded(2, 1, PixelFormat::Rgba64);
    set16(a, 0, 0, 0, 65535), set16(a, 0, 0, 1, 65535), set16(a, 0, 0, 2, 65535);
    set16(a, 0, 0, 3, 0); // transparent white
    set16(a, 1, 0, 0, 1234), set16(a, 1, 0, 1, 40000), set16(a, 1, 0, 2, 7);
    set16(a, 1, 0, 3, 65535);
    const Bitmap s = resize(a, 1, 1);
    EXPECT_EQ(get16(s, 0, 0, 0), 1234);
    EXPECT_EQ(get16(s, 0, 0, 1), 40000);
    EXPECT_EQ(get16(s, 0, 0, 2), 7);
    EXPECT_EQ(get16(s, 0, 0, 3), 32768);

    Bitmap g = padded(3, 1, PixelFormat::Gray16);
    set16(g, 0, 0, 0, 0), set16(g, 1, 0, 0, 30000), set16(g, 2, 0, 0, 60000);
    const Bitmap gs = resize(g, 2, 1);
    EXPECT_EQ(get16(gs, 0, 0, 0), 10000);
    EXPECT_EQ(get16(gs, 1, 0, 0), 50000);
}

TEST(Resize, IndexedSourcesAreExpanded) {
    Bitmap ramp = makeBitmap(4, 2, PixelFormat::Indexed8,
                             [](int x, int y, int) { return std::uint8_t(x * 40 + y * 2); });
    for (std::uint32_t i = 0; i < 256; ++i)
        ramp.palette.push_back(0xFF000000u | i * 0x010101u);
    const Bitmap grey = resize(ramp, 2, 1);
    EXPECT_EQ(grey.format, PixelFormat::Gray8);
    EXPECT_EQ(grey.row(0)[0], 21); // (0 + 40 + 2 + 42) / 4
    EXPECT_EQ(grey.row(0)[1], 101);

    Bitmap colour = ramp;
    colour.palette[0] = 0xFFFF0000u;
    const Bitmap rgb = resize(colour, 4, 2);
    EXPECT_EQ(rgb.format, PixelFormat::Rgb24);
    EXPECT_EQ(rgb.row(0)[0], 255);
    EXPECT_EQ(rgb.row(0)[1], 0);
    EXPECT_EQ(rgb.row(0)[3], 40);

    Bitmap clear = ramp;
    clear.palette[0] = 0x00FF0000u;
    EXPECT_EQ(resize(clear, 3, 3).format, PixelFormat::Rgba32);

    Bitmap bits = padded(16, 1, PixelFormat::Indexed1);
    bits.row(0)[0] = 0xAA, bits.row(0)[1] = 0xFF;
    bits.palette = {0xFF000000u, 0xFFFFFFFFu};
    const Bitmap half = resize(bits, 2, 1);
    EXPECT_EQ(half.format, PixelFormat::Gray8);
    EXPECT_EQ(half.row(0)[0], 128);
    EXPECT_EQ(half.row(0)[1], 255);
}

// ---------------------------------------------------------------------------------------
// toGrey

namespace {
void expectGreyRamp(const Bitmap& g) {
    ASSERT_EQ(g.format, PixelFormat::Indexed8);
    ASSERT_EQ(g.palette.size(), 256u);
    for (std::uint32_t i = 0; i < 256; ++i)
        ASSERT_EQ(g.palette[i], 0xFF000000u | i * 0x010101u);
}
} // namespace

TEST(ToGrey, ColourPixelsUseIntegerWeights) {
    // (R, G, B) -> (29 B + 150 G + 77 R) >> 8, worked out by hand.
    const std::uint8_t colours[6][3] = {{255, 0, 0},  {0, 255, 0},     {0, 0, 255},
                                        {10, 20, 30}, {255, 255, 255}, {200, 100, 50}};
    const std::uint8_t expected[6] = {76, 149, 28, 18, 255, 124};
    Bitmap rgb =
        makeBitmap(6, 1, PixelFormat::Rgb24, [&](int x, int, int c) { return colours[x][c]; });
    rgb.dpiX = 150;
    const Bitmap g = toGrey(rgb);
    expectGreyRamp(g);
    EXPECT_EQ(g.dpiX, 150);
    for (int x = 0; x < 6; ++x)
        EXPECT_EQ(g.row(0)[x], expected[x]) << x;

    const Bitmap rgba = makeBitmap(6, 1, PixelFormat::Rgba32, [&](int x, int, int c) {
        return c == 3 ? std::uint8_t(x * 40) : colours[x][c]; // alpha ignored
    });
    const Bitmap ga = toGrey(rgba);
    expectGreyRamp(ga);
    for (int x = 0; x < 6; ++x)
        EXPECT_EQ(ga.row(0)[x], expected[x]) << x;

    Bitmap deep = padded(6, 1, PixelFormat::Rgba64);
    for (int x = 0; x < 6; ++x)
        for (int c = 0; c < 4; ++c)
            set16(deep, x, 0, c, std::uint16_t(c == 3 ? 0 : colours[x][c] << 8 | 0xFF));
    const Bitmap gd = toGrey(deep);
    for (int x = 0; x < 6; ++x)
        EXPECT_EQ(gd.row(0)[x], expected[x]) << x;
    Bitmap rgb48 = padded(6, 1, PixelFormat::Rgb48);
    for (int x = 0; x < 6; ++x)
        for (int c = 0; c < 3; ++c)
            set16(rgb48, x, 0, c, std::uint16_t(colours[x][c] << 8 | 0x80));
    const Bitmap g48 = toGrey(rgb48);
    for (int x = 0; x < 6; ++x)
        EXPECT_EQ(g48.row(0)[x], expected[x]) << x;
}

TEST(ToGrey, GreySourcesAndPalettes) {
    const Bitmap grey =
        makeBitmap(9, 2, PixelFormat::Gray8, [](int x, int y, int) { return x * 25 + y; });
    const Bitmap g = toGrey(grey);
    expectGreyRamp(g);
    for (int y = 0; y < 2; ++y)
        EXPECT_EQ(std::memcmp(g.row(y), grey.row(y), 9), 0);

    Bitmap g16 = padded(3, 1, PixelFormat::Gray16);
    set16(g16, 0, 0, 0, 0x12FF), set16(g16, 1, 0, 0, 0xFF00), set16(g16, 2, 0, 0, 0x00FF);
    const Bitmap h = toGrey(g16);
    EXPECT_EQ(h.row(0)[0], 0x12);
    EXPECT_EQ(h.row(0)[1], 0xFF);
    EXPECT_EQ(h.row(0)[2], 0x00);

    // A grey ramp palette: the indices as they are.
    Bitmap ramp = makeBitmap(16, 16, PixelFormat::Indexed8,
                             [](int x, int y, int) { return std::uint8_t(y * 16 + x); });
    for (std::uint32_t i = 0; i < 256; ++i)
        ramp.palette.push_back(0xFF000000u | i * 0x010101u);
    const Bitmap r = toGrey(ramp);
    expectGreyRamp(r);
    for (int y = 0; y < 16; ++y)
        EXPECT_EQ(std::memcmp(r.row(y), ramp.row(y), 16), 0);

    // Any other palette: each index through the weights applied to its colour.
    Bitmap colour = makeBitmap(4, 1, PixelFormat::Indexed8,
                               [](int x, int, int) { return std::uint8_t(3 - x); });
    colour.palette = {0xFFFF0000u, 0x0000FF00u, 0xFF0A141Eu, 0xFF808080u};
    const Bitmap c = toGrey(colour);
    expectGreyRamp(c);
    EXPECT_EQ(c.row(0)[0], 128);
    EXPECT_EQ(c.row(0)[1], 18);
    EXPECT_EQ(c.row(0)[2], 149);
    EXPECT_EQ(c.row(0)[3], 76);

    Bitmap four = padded(3, 1, PixelFormat::Indexed4);
    four.row(0)[0] = 0x21, four.row(0)[1] = 0x00;
    four.palette = {0xFF000000u, 0xFF0000FFu, 0xFFFFFFFFu};
    const Bitmap f = toGrey(four);
    EXPECT_EQ(f.row(0)[0], 255);
    EXPECT_EQ(f.row(0)[1], 28);
    EXPECT_EQ(f.row(0)[2], 0);
}

// ---------------------------------------------------------------------------------------
// turnClockwise

TEST(TurnClockwise, TurnsByQuarterTurnsAndSwapsTheResolutions) {
    // 3 wide, 2 high:  1 2 3
    //                  4 5 6
    const Bitmap b = makeBitmap(3, 2, PixelFormat::Gray8,
                                [](int x, int y, int) { return std::uint8_t(1 + x + 3 * y); });
    struct Case {
        int turns;
        int width;
        std::vector<std::uint8_t> rows; // the result's pixels, row by row
    } cases[] = {
        {0, 3, {1, 2, 3, 4, 5, 6}}, {1, 2, {4, 1, 5, 2, 6, 3}},  {2, 3, {6, 5, 4, 3, 2, 1}},
        {3, 2, {3, 6, 2, 5, 1, 4}}, {-1, 2, {3, 6, 2, 5, 1, 4}}, {5, 2, {4, 1, 5, 2, 6, 3}},
    };
    for (const auto& c : cases) {
        Bitmap in = b;
        in.dpiX = 300;
        in.dpiY = 150;
        const Bitmap out = turnClockwise(in, c.turns);
        ASSERT_EQ(out.width, c.width) << c.turns;
        ASSERT_EQ(out.height, 6 / c.width) << c.turns;
        std::vector<std::uint8_t> got;
        for (int y = 0; y < out.height; ++y)
            got.insert(got.end(), out.row(y), out.row(y) + out.width);
        EXPECT_EQ(got, c.rows) << c.turns;
        EXPECT_EQ(out.dpiX, c.width == 3 ? 300 : 150) << c.turns;
        EXPECT_EQ(out.dpiY, c.width == 3 ? 150 : 300) << c.turns;
    }
    // Packed pixels turn too: one black pixel in the top left corner of a 1-bit picture
    // ends in the top right corner after a clockwise quarter turn.
    Bitmap bits = Bitmap::create(9, 4, PixelFormat::Indexed1);
    bits.palette = {0xFFFFFFFFu, 0xFF000000u};
    bits.row(0)[0] = 0x80;
    const Bitmap turned = turnClockwise(bits, 1);
    ASSERT_EQ(turned.width, 4);
    ASSERT_EQ(turned.height, 9);
    EXPECT_EQ(turned.row(0)[0], 0x10);
    EXPECT_EQ(turned.palette, bits.palette);
}
