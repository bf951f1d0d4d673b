#include "ImageFixtures.h"
#include "pdf/ImagePlan.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <memory>
#include <random>
#include <stdexcept>

namespace {

using folimo::pdf::ImageError;
using folimo::pdf::ImagePlan;
using folimo::pdf::ImageStreamPlan;
using folimo::pdf::planImage;
using namespace folimo::test;

ImagePlan plan(const std::string& bytes) {
    return planImage(bytesOf(bytes));
}

// Runs the planner on a copy of exactly `size` bytes in its own allocation, so that
// AddressSanitizer sees any read past the end.
void planExactCopy(std::string_view bytes) {
    const std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
    planImage(std::span<const std::uint8_t>(copy.data(), copy.size()));
}

// Accepts success or ImageError; any other exception (or a crash) fails the test.
bool plansOrRefuses(std::string_view bytes) {
    try {
        planExactCopy(bytes);
        return true;
    } catch (const ImageError&) {
        return true;
    } catch (const std::exception& e) {
        ADD_FAILURE() << "unexpected exception: " << e.what();
        return false;
    }
}

std::string joined(const ImageStreamPlan& stream) {
    std::string out;
    for (std::string_view piece : stream.data)
        out += piece;
    return out;
}

bool viewsPointInto(const ImageStreamPlan& stream, const std::string& input) {
    for (std::string_view piece : stream.data)
        if (piece.data() < input.data() ||
            piece.data() + piece.size() > input.data() + input.size())
            return false;
    return true;
}

struct EndInflate {
    void operator()(z_stream* z) const noexcept { inflateEnd(z); }
};

std::string inflateAll(std::string_view packed) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        throw std::runtime_error("inflateInit");
    std::unique_ptr<z_stream, EndInflate> owner(&z);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    z.avail_in = uInt(packed.size());
    std::string out;
    int rc = Z_OK;
    while (rc == Z_OK) {
        char buffer[65536];
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - z.avail_out);
    }
    if (rc != Z_STREAM_END)
        throw std::runtime_error("bad zlib data");
    return out;
}

std::string deflateAll(std::string_view data) {
    uLongf size = compressBound(uLong(data.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(data.data()), uLong(data.size()), 9) != Z_OK)
        throw std::runtime_error("compress2");
    out.resize(size);
    return out;
}

// Undoes the PNG row filters, as a viewer does for /Predictor 15.
std::string unpredict(std::string_view filtered, int colors, int bits, int columns, int rows) {
    const std::size_t rowBytes = (std::size_t(columns) * colors * bits + 7) / 8;
    const std::size_t bpp = std::max<std::size_t>(1, std::size_t(colors) * bits / 8);
    if (filtered.size() != (rowBytes + 1) * rows)
        throw std::runtime_error("filtered data has the wrong size");
    std::string out, prev(rowBytes, '\0');
    for (int y = 0; y < rows; ++y) {
        const int type = std::uint8_t(filtered[y * (rowBytes + 1)]);
        std::string row(filtered.substr(y * (rowBytes + 1) + 1, rowBytes));
        for (std::size_t i = 0; i < rowBytes; ++i) {
            const int a = i >= bpp ? std::uint8_t(row[i - bpp]) : 0;
            const int b = std::uint8_t(prev[i]);
            const int c = i >= bpp ? std::uint8_t(prev[i - bpp]) : 0;
            int predicted = 0;
            switch (type) {
            case 0:
                break;
            case 1:
                predicted = a;
                break;
            case 2:
                predicted = b;
                break;
            case 3:
                predicted = (a + b) / 2;
                break;
            case 4: {
                const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b),
                          pc = std::abs(p - c);
                predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
                break;
            }
            default:
                throw std::runtime_error("bad filter type");
            }
            row[i] = char(std::uint8_t(row[i]) + predicted);
        }
        out += row;
        prev = row;
    }
    return out;
}

// The colour samples of a fixture PNG (alpha left out) packed as PDF wants them: at
// the file's depth, rows padded to whole bytes, 16 bits big-endian.
std::string colourSamples(const PngParams& p) {
    const int channels = p.color == PngColor::Rgb || p.color == PngColor::RgbAlpha ? 3 : 1;
    const std::size_t rowBytes = (std::size_t(p.width) * channels * p.bitDepth + 7) / 8;
    std::string out(rowBytes * p.height, '\0');
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            for (int c = 0; c < channels; ++c) {
                const unsigned v = pngSample(p, x, y, c);
                const std::size_t bit = (std::size_t(x) * channels + c) * p.bitDepth;
                char* at = &out[y * rowBytes + bit / 8];
                if (p.bitDepth == 16) {
                    at[0] = char(v >> 8);
                    at[1] = char(v);
                } else {
                    *at = char(std::uint8_t(*at) | v << (8 - p.bitDepth - bit % 8));
                }
            }
        }
    }
    return out;
}

std::string rgbSamples(const PngParams& p) {
    std::string out;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            const Rgb c = expectedPngRgb(p, x, y);
            out += {char(c.r), char(c.g), char(c.b)};
        }
    return out;
}

std::string alphaSamples(const PngParams& p) {
    std::string out;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            out += char(expectedPngAlpha(p, x, y));
    return out;
}

// The samples a viewer gets from a stream of a PNG plan.
std::string viewerSamples(const ImageStreamPlan& s) {
    const std::string raw = inflateAll(joined(s));
    if (s.decodeParms.empty())
        return raw;
    const int colors = s.colorSpace.device == "/DeviceRGB" && s.colorSpace.palette.empty() ? 3 : 1;
    return unpredict(raw, colors, s.bitsPerComponent, s.width, s.height);
}

std::string idatData(const std::string& png) {
    std::string out;
    for (const PngChunk& c : splitPng(png))
        if (c.type == "IDAT")
            out += c.data;
    return out;
}

int idatCount(const std::string& png) {
    int n = 0;
    for (const PngChunk& c : splitPng(png))
        n += c.type == "IDAT";
    return n;
}

std::string withoutChunks(const std::string& png, std::string_view type) {
    std::vector<PngChunk> chunks = splitPng(png);
    std::erase_if(chunks, [&](const PngChunk& c) { return c.type == type; });
    return joinPng(chunks);
}

// Rewrites the IHDR through `edit`, CRC kept valid.
template <class Edit>
std::string withHeader(const std::string& png, Edit edit) {
    std::vector<PngChunk> chunks = splitPng(png);
    edit(chunks.at(0).data);
    return joinPng(chunks);
}

void putBe32(std::string& data, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        data[at + i] = char(v >> (24 - 8 * i));
}

std::string be32(std::uint32_t v) {
    std::string s(4, '\0');
    putBe32(s, 0, v);
    return s;
}

std::string pngThrowsMessage(const std::string& png) {
    try {
        plan(png);
    } catch (const ImageError& e) {
        return e.what();
    }
    return "(no error)";
}

// ---------------------------------------------------------------------------------------
// Recognition

TEST(ImagePlanRecognition, DispatchesByContentNotByName) {
    const std::string jpeg = makeJpeg({.width = 8, .height = 8});
    const std::string png = makePng({.width = 8, .height = 8});
    EXPECT_EQ(plan(jpeg).format, "jpeg");
    EXPECT_EQ(plan(png).format, "png");
}

TEST(ImagePlanRecognition, OtherFormatsAreRefusedWithAPlainMessage) {
    for (std::string bytes : {std::string("GIF89a\x01\0\x01\0\0\0\0", 13), std::string("BM6\0\0\0"),
                              std::string("II*\0\x08\0\0\0", 8), std::string(),
                              std::string("\xFF\xD8", 2), std::string("\x89PNG", 4)}) {
        try {
            planExactCopy(bytes);
            ADD_FAILURE() << "accepted " << bytes.size() << " bytes";
        } catch (const ImageError& e) {
            EXPECT_STREQ(e.what(), "not a JPEG or PNG image");
        }
    }
}

TEST(ImagePlanRecognition, EachPlannerRefusesTheOtherFormat) {
    const std::string jpeg = makeJpeg({.width = 8, .height = 8});
    const std::string png = makePng({.width = 8, .height = 8});
    EXPECT_THROW(folimo::pdf::planPng(bytesOf(jpeg)), ImageError);
    EXPECT_THROW(folimo::pdf::planJpeg(bytesOf(png)), ImageError);
}

// ---------------------------------------------------------------------------------------
// The fixtures themselves: render checks elsewhere trust expectedJpegRgb.

struct TjDestroy {
    void operator()(void* handle) const noexcept { tjDestroy(handle); }
};

TEST(ImageFixtures, JpegPixelsFollowTheExpectedPattern) {
    for (JpegColor color : {JpegColor::Gray, JpegColor::Rgb, JpegColor::Cmyk}) {
        const JpegParams params{.width = 48, .height = 32, .color = color, .progressive = true};
        const std::string jpeg = makeJpeg(params);
        std::unique_ptr<void, TjDestroy> tj(tjInitDecompress());
        ASSERT_TRUE(tj);
        const int format = color == JpegColor::Gray  ? TJPF_GRAY
                           : color == JpegColor::Rgb ? TJPF_RGB
                                                     : TJPF_CMYK;
        const int channels = tjPixelSize[format];
        std::vector<unsigned char> pixels(std::size_t(params.width) * params.height * channels);
        ASSERT_EQ(tjDecompress2(tj.get(), reinterpret_cast<const unsigned char*>(jpeg.data()),
                                jpeg.size(), pixels.data(), params.width, 0, params.height, format,
                                TJFLAG_ACCURATEDCT),
                  0);
        int worst = 0;
        for (int y = 0; y < params.height; ++y) {
            for (int x = 0; x < params.width; ++x) {
                const unsigned char* p = &pixels[(std::size_t(y) * params.width + x) * channels];
                const Rgb want = expectedJpegRgb(params, x, y);
                // CMYK comes back as stored, inverted: C' = red and so on, K' = 255.
                const Rgb got = channels == 1 ? Rgb{p[0], p[0], p[0]} : Rgb{p[0], p[1], p[2]};
                if (channels == 4)
                    worst = std::max(worst, 255 - int(p[3]));
                // Blue jumps at the quadrant edges, where JPEG rings; look away from them.
                if (std::abs(x - params.width / 2) < 4 || std::abs(y - params.height / 2) < 4)
                    continue;
                worst = std::max({worst, std::abs(got.r - want.r), std::abs(got.g - want.g),
                                  std::abs(got.b - want.b)});
            }
        }
        EXPECT_LE(worst, 6) << "colour " << int(color);
    }
}

// ---------------------------------------------------------------------------------------
// JPEG

void expectWholeFilePassedThrough(const ImagePlan& p, const std::string& jpeg) {
    EXPECT_EQ(p.format, "jpeg");
    EXPECT_TRUE(p.image.passthrough);
    EXPECT_EQ(p.image.filter, "/DCTDecode");
    EXPECT_EQ(p.image.bitsPerComponent, 8);
    ASSERT_EQ(p.image.data.size(), 1u);
    EXPECT_EQ(static_cast<const void*>(p.image.data[0].data()), jpeg.data());
    EXPECT_EQ(p.image.data[0].size(), jpeg.size());
    EXPECT_TRUE(p.image.owned.empty());
    EXPECT_FALSE(p.softMask.has_value());
    EXPECT_TRUE(p.image.colorKeyMask.empty());
}

TEST(JpegPlan, GrayPassesThroughWhole) {
    const std::string jpeg = makeJpeg({.width = 33, .height = 17, .color = JpegColor::Gray});
    const ImagePlan p = plan(jpeg);
    expectWholeFilePassedThrough(p, jpeg);
    EXPECT_EQ(p.image.width, 33);
    EXPECT_EQ(p.image.height, 17);
    EXPECT_EQ(p.image.colorSpace.device, "/DeviceGray");
    EXPECT_TRUE(p.image.decode.empty());
    EXPECT_TRUE(p.image.decodeParms.empty());
    EXPECT_EQ(p.resx, 0);
    EXPECT_EQ(p.resy, 0);
}

TEST(JpegPlan, RgbPassesThroughWhole) {
    const std::string jpeg = makeJpeg({.width = 40, .height = 30, .subsample420 = true});
    const ImagePlan p = plan(jpeg);
    expectWholeFilePassedThrough(p, jpeg);
    EXPECT_EQ(p.image.width, 40);
    EXPECT_EQ(p.image.height, 30);
    EXPECT_EQ(p.image.colorSpace.device, "/DeviceRGB");
    EXPECT_TRUE(p.image.decode.empty());
    EXPECT_TRUE(p.image.decodeParms.empty());
}

TEST(JpegPlan, ProgressivePassesThroughWhole) {
    const std::string jpeg = makeJpeg({.width = 50, .height = 20, .progressive = true});
    ASSERT_NE(jpeg.find("\xFF\xC2"), std::string::npos) << "fixture is not progressive";
    const ImagePlan p = plan(jpeg);
    expectWholeFilePassedThrough(p, jpeg);
    EXPECT_EQ(p.image.width, 50);
    EXPECT_EQ(p.image.colorSpace.device, "/DeviceRGB");
}

TEST(JpegPlan, CmykWithAdobeMarkerIsDecodedInverted) {
    const std::string jpeg = makeJpeg({.width = 16, .height = 16, .color = JpegColor::Cmyk});
    ASSERT_NE(jpeg.find("Adobe"), std::string::npos) << "TurboJPEG wrote no Adobe marker";
    ASSERT_EQ(jpeg.find("JFIF"), std::string::npos);
    const ImagePlan p = plan(jpeg);
    expectWholeFilePassedThrough(p, jpeg);
    EXPECT_EQ(p.image.colorSpace.device, "/DeviceCMYK");
    EXPECT_EQ(p.image.decode, "[1 0 1 0 1 0 1 0]");
}

TEST(JpegPlan, CmykWithoutAdobeMarkerIsTakenAsItStands) {
    const std::string jpeg =
        removeJpegSegments(makeJpeg({.width = 16, .height = 16, .color = JpegColor::Cmyk}), 0xEE);
    ASSERT_EQ(jpeg.find("Adobe"), std::string::npos);
    const ImagePlan p = plan(jpeg);
    EXPECT_EQ(p.image.colorSpace.device, "/DeviceCMYK");
    EXPECT_TRUE(p.image.decode.empty());
}

TEST(JpegPlan, AdobeMarkerInvertsOnlyCmyk) {
    for (JpegColor color : {JpegColor::Gray, JpegColor::Rgb}) {
        const std::string jpeg =
            makeJpeg({.width = 16, .height = 16, .color = color, .adobeMarker = true});
        ASSERT_NE(jpeg.find("Adobe"), std::string::npos);
        const ImagePlan p = plan(jpeg);
        EXPECT_TRUE(p.image.decode.empty());
        EXPECT_TRUE(p.image.decodeParms.empty());
    }
}

TEST(JpegPlan, RgbComponentIdsWithoutMarkersAskForNoColourTransform) {
    std::string jpeg = removeJpegSegments(makeJpeg({.width = 16, .height = 16}), 0xE0);
    const std::size_t sof = jpeg.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    // Component ids follow the 10 bytes of marker, length, precision, size and count.
    for (int i = 0; i < 3; ++i)
        jpeg[sof + 10 + 3 * i] = "RGB"[i];
    EXPECT_EQ(plan(jpeg).image.decodeParms, "<< /ColorTransform 0 >>");

    // A JFIF marker says YCbCr whatever the ids are.
    const std::string withJfif =
        insertJpegSegment(jpeg, 0xE0, std::string("JFIF\0\x01\x02\0\0\x01\0\x01\0\0", 14));
    EXPECT_TRUE(plan(withJfif).image.decodeParms.empty());
}

std::string withFrameMarker(std::string jpeg, char marker) {
    const std::size_t sof = jpeg.find("\xFF\xC0");
    if (sof == std::string::npos)
        throw std::runtime_error("no SOF0");
    jpeg[sof + 1] = marker;
    return jpeg;
}

TEST(JpegPlan, ExtendedSequentialFramesAreAccepted) {
    const std::string jpeg = withFrameMarker(makeJpeg({.width = 16, .height = 16}), '\xC1');
    EXPECT_EQ(plan(jpeg).image.colorSpace.device, "/DeviceRGB");
}

TEST(JpegPlan, CodingsPdfViewersCannotDecodeAreRefused) {
    const std::string jpeg = makeJpeg({.width = 16, .height = 16});
    for (char marker :
         {'\xC3', '\xC5', '\xC6', '\xC7', '\xC9', '\xCA', '\xCB', '\xCD', '\xCE', '\xCF'}) {
        try {
            plan(withFrameMarker(jpeg, marker));
            ADD_FAILURE() << "accepted SOF marker " << int(std::uint8_t(marker));
        } catch (const ImageError& e) {
            EXPECT_NE(std::string(e.what()).find("unsupported JPEG coding"), std::string::npos);
        }
    }
}

TEST(JpegPlan, TwelveBitSamplesAreRefused) {
    std::string jpeg = makeJpeg({.width = 16, .height = 16});
    jpeg[jpeg.find("\xFF\xC0") + 4] = 12;
    EXPECT_THROW(plan(jpeg), ImageError);
}

TEST(JpegPlan, HeightDeferredToADnlMarkerIsRefused) {
    std::string jpeg = makeJpeg({.width = 16, .height = 16});
    const std::size_t sof = jpeg.find("\xFF\xC0");
    jpeg[sof + 5] = 0;
    jpeg[sof + 6] = 0;
    EXPECT_THROW(plan(jpeg), ImageError);
}

TEST(JpegPlan, ComponentCountsPdfCannotCarryAreRefused) {
    const std::string gray = makeJpeg({.width = 16, .height = 16, .color = JpegColor::Gray});
    // A frame header with two components (ids 1 and 2, 1x1 sampling, table 0).
    const std::string frame("\x08\0\x10\0\x10\x02\x01\x11\0\x02\x11\0", 12);
    const std::string twoComponents =
        insertJpegSegment(removeJpegSegments(gray, 0xC0), 0xC0, frame);
    EXPECT_THROW(plan(twoComponents), ImageError);
}

TEST(JpegPlan, JfifDotsPerInch) {
    const ImagePlan p = plan(
        makeJpeg({.width = 8, .height = 8, .densityUnit = 1, .densityX = 300, .densityY = 150}));
    EXPECT_DOUBLE_EQ(p.resx, 300);
    EXPECT_DOUBLE_EQ(p.resy, 150);
}

TEST(JpegPlan, JfifDotsPerCentimetreBecomeDotsPerInch) {
    const ImagePlan p = plan(
        makeJpeg({.width = 8, .height = 8, .densityUnit = 2, .densityX = 118, .densityY = 40}));
    EXPECT_DOUBLE_EQ(p.resx, 299.72);
    EXPECT_DOUBLE_EQ(p.resy, 101.6);
}

TEST(JpegPlan, JfifPixelRatioAloneGivesNoResolution) {
    const ImagePlan p =
        plan(makeJpeg({.width = 8, .height = 8, .densityUnit = 0, .densityX = 72, .densityY = 72}));
    EXPECT_EQ(p.resx, 0);
    EXPECT_EQ(p.resy, 0);
}

TEST(JpegPlan, CmykGetsResolutionFromAnAddedJfifSegment) {
    const ImagePlan p = plan(makeJpeg({.width = 8,
                                       .height = 8,
                                       .color = JpegColor::Cmyk,
                                       .densityUnit = 1,
                                       .densityX = 200,
                                       .densityY = 200}));
    EXPECT_DOUBLE_EQ(p.resx, 200);
    EXPECT_EQ(p.image.decode, "[1 0 1 0 1 0 1 0]");
}

// An APP1 EXIF payload whose first directory holds the orientation, the resolutions
// and (when unit >= 0) the resolution unit, in the byte order asked for.
std::string exifPayload(bool little, std::uint32_t xNum, std::uint32_t xDen, std::uint32_t yNum,
                        std::uint32_t yDen, int unit) {
    std::string t;
    auto u16 = [&](unsigned v) {
        t += little ? char(v) : char(v >> 8);
        t += little ? char(v >> 8) : char(v);
    };
    auto u32 = [&](std::uint32_t v) {
        if (little) {
            u16(v & 0xFFFF);
            u16(v >> 16);
        } else {
            u16(v >> 16);
            u16(v & 0xFFFF);
        }
    };
    const int entries = unit >= 0 ? 4 : 3;
    const std::uint32_t dataAt = 8 + 2 + 12 * entries + 4;
    t += little ? "II" : "MM";
    u16(42);
    u32(8);
    u16(unsigned(entries));
    u16(0x0112); // orientation: rotated, which the plan ignores
    u16(3);
    u32(1);
    u16(6);
    u16(0);
    u16(0x011A);
    u16(5);
    u32(1);
    u32(dataAt);
    u16(0x011B);
    u16(5);
    u32(1);
    u32(dataAt + 8);
    if (unit >= 0) {
        u16(0x0128);
        u16(3);
        u32(1);
        u16(unsigned(unit));
        u16(0);
    }
    u32(0); // no next directory
    u32(xNum);
    u32(xDen);
    u32(yNum);
    u32(yDen);
    return std::string("Exif\0\0", 6) + t;
}

std::string jpegWithExif(const std::string& exif) {
    return insertJpegSegment(makeJpeg({.width = 8, .height = 8}), 0xE1, exif);
}

TEST(JpegPlan, ExifResolutionInEitherByteOrder) {
    for (bool little : {true, false}) {
        const ImagePlan p = plan(jpegWithExif(exifPayload(little, 600, 2, 240, 1, 2)));
        EXPECT_DOUBLE_EQ(p.resx, 300) << (little ? "II" : "MM");
        EXPECT_DOUBLE_EQ(p.resy, 240) << (little ? "II" : "MM");
    }
}

TEST(JpegPlan, ExifResolutionUnitDefaultsToInchesAndHonoursCentimetres) {
    const ImagePlan inches = plan(jpegWithExif(exifPayload(false, 72, 1, 72, 1, -1)));
    EXPECT_DOUBLE_EQ(inches.resx, 72);
    const ImagePlan cm = plan(jpegWithExif(exifPayload(true, 100, 1, 50, 1, 3)));
    EXPECT_DOUBLE_EQ(cm.resx, 254);
    EXPECT_DOUBLE_EQ(cm.resy, 127);
    const ImagePlan none = plan(jpegWithExif(exifPayload(true, 100, 1, 50, 1, 1)));
    EXPECT_EQ(none.resx, 0);
}

TEST(JpegPlan, JfifDensityWinsOverExifButRatioOnlyJfifDoesNot) {
    const std::string exif = exifPayload(true, 200, 1, 200, 1, 2);
    const std::string withDpi = insertJpegSegment(
        makeJpeg({.width = 8, .height = 8, .densityUnit = 1, .densityX = 96, .densityY = 96}), 0xE1,
        exif);
    EXPECT_DOUBLE_EQ(plan(withDpi).resx, 96);
    EXPECT_DOUBLE_EQ(plan(jpegWithExif(exif)).resx, 200); // TurboJPEG's JFIF gives only a ratio
}

TEST(JpegPlan, DamagedExifGivesNoResolutionButKeepsTheImage) {
    std::vector<std::string> broken;
    broken.push_back(exifPayload(true, 300, 0, 300, 0, 2)); // zero denominators
    std::string offsets = exifPayload(true, 300, 1, 300, 1, 2);
    putBe32(offsets, 6 + 4, 0xFFFFFFF0); // the first directory far past the end
    broken.push_back(offsets);
    broken.push_back(std::string("Exif\0\0MM\0*", 10));
    broken.push_back(std::string("Exif\0\0XX\0*\0\0\0\x08", 14));
    for (const std::string& exif : broken) {
        const std::string jpeg = jpegWithExif(exif);
        ImagePlan p;
        ASSERT_NO_THROW(p = plan(jpeg));
        EXPECT_EQ(p.resx, 0);
    }
    // A directory claiming more entries than the segment holds: the ones that are there
    // may be read, nothing past them.
    std::string count = exifPayload(false, 300, 1, 300, 1, 2);
    count[6 + 8] = '\xFF';
    count[6 + 9] = '\xFF';
    EXPECT_TRUE(plansOrRefuses(jpegWithExif(count)));
}

std::string iccSegment(int sequence, int count, std::string_view data) {
    std::string s("ICC_PROFILE\0", 12);
    s += char(sequence);
    s += char(count);
    s += data;
    return s;
}

// The profile split in three, the pieces stored in the order 2, 3, 1.
std::string jpegWithSplitIcc(const std::string& jpeg, const std::string& icc,
                             std::array<int, 3> sequences, std::array<int, 3> counts) {
    const std::size_t third = icc.size() / 3;
    const std::string pieces[3] = {icc.substr(0, third), icc.substr(third, third),
                                   icc.substr(2 * third)};
    // Each insertion goes right after JFIF, so the last inserted comes first.
    std::string out = jpeg;
    for (int i : {0, 2, 1})
        out = insertJpegSegment(out, 0xE2, iccSegment(sequences[i], counts[i], pieces[i]));
    return out;
}

TEST(JpegPlan, IccProfileIsReassembledInSequenceOrder) {
    const std::string icc = makeIccProfile(IccModel::Rgb);
    const std::string jpeg =
        jpegWithSplitIcc(makeJpeg({.width = 8, .height = 8}), icc, {1, 2, 3}, {3, 3, 3});
    ASSERT_LT(jpeg.find(icc.substr(icc.size() / 3, 16)), jpeg.find(icc.substr(0, 16)));
    EXPECT_EQ(plan(jpeg).image.colorSpace.icc, icc);
}

TEST(JpegPlan, CmykAndGrayProfilesAreKept) {
    const std::string cmykIcc = makeIccProfile(IccModel::Cmyk);
    const std::string cmyk =
        insertJpegSegment(makeJpeg({.width = 8, .height = 8, .color = JpegColor::Cmyk}), 0xE2,
                          iccSegment(1, 1, cmykIcc));
    EXPECT_EQ(plan(cmyk).image.colorSpace.icc, cmykIcc);
    const std::string grayIcc = makeIccProfile(IccModel::Gray);
    const std::string gray =
        insertJpegSegment(makeJpeg({.width = 8, .height = 8, .color = JpegColor::Gray}), 0xE2,
                          iccSegment(1, 1, grayIcc));
    EXPECT_EQ(plan(gray).image.colorSpace.icc, grayIcc);
}

TEST(JpegPlan, InconsistentIccPiecesAreIgnored) {
    const std::string icc = makeIccProfile(IccModel::Rgb);
    const std::string jpeg = makeJpeg({.width = 8, .height = 8});
    const std::array<std::array<int, 3>, 4> sequences = {
        {{1, 2, 2}, {1, 2, 4}, {0, 1, 2}, {1, 2, 3}}};
    const std::array<std::array<int, 3>, 4> counts = {{{3, 3, 3}, {3, 3, 3}, {3, 3, 3}, {3, 4, 3}}};
    for (std::size_t i = 0; i < sequences.size(); ++i) {
        const ImagePlan p = plan(jpegWithSplitIcc(jpeg, icc, sequences[i], counts[i]));
        EXPECT_TRUE(p.image.colorSpace.icc.empty()) << "case " << i;
    }
    // One piece missing.
    const std::string missing = insertJpegSegment(jpeg, 0xE2, iccSegment(1, 2, icc));
    EXPECT_TRUE(plan(missing).image.colorSpace.icc.empty());
}

TEST(JpegPlan, IccProfileOfAnotherColourModelIsIgnored) {
    const std::string jpeg = insertJpegSegment(makeJpeg({.width = 8, .height = 8}), 0xE2,
                                               iccSegment(1, 1, makeIccProfile(IccModel::Gray)));
    EXPECT_TRUE(plan(jpeg).image.colorSpace.icc.empty());
}

TEST(JpegPlan, BytesAfterTheEndMarkerAreCarriedAlong) {
    const std::string jpeg = makeJpeg({.width = 8, .height = 8}) + "trailing junk";
    expectWholeFilePassedThrough(plan(jpeg), jpeg);
}

TEST(JpegPlan, EveryTruncationIsRefused) {
    const std::string icc = makeIccProfile(IccModel::Rgb);
    const std::vector<std::string> files = {
        makeJpeg({.width = 24, .height = 16, .color = JpegColor::Gray}),
        jpegWithSplitIcc(
            insertJpegSegment(makeJpeg({.width = 24, .height = 16, .progressive = true}), 0xE1,
                              exifPayload(true, 300, 1, 300, 1, 2)),
            icc, {1, 2, 3}, {3, 3, 3}),
        makeJpeg({.width = 24, .height = 16, .color = JpegColor::Cmyk}),
    };
    for (const std::string& jpeg : files) {
        ASSERT_NO_THROW(planExactCopy(jpeg));
        for (std::size_t cut = 0; cut < jpeg.size(); ++cut)
            EXPECT_THROW(planExactCopy(std::string_view(jpeg).substr(0, cut)), ImageError)
                << "cut at " << cut << " of " << jpeg.size();
    }
}

TEST(JpegPlan, DamagedBytesNeverCrash) {
    const std::string jpeg =
        insertJpegSegment(makeJpeg({.width = 24, .height = 16, .progressive = true}), 0xE1,
                          exifPayload(false, 300, 1, 300, 1, 2));
    // Every byte of the headers and the first stretch of image data, set to values that
    // mean something to a marker parser.
    const std::size_t end = std::min(jpeg.size(), jpeg.find("\xFF\xDA") + 64);
    for (std::size_t at = 0; at < end; ++at) {
        for (char value : {'\x00', '\x01', '\xFF', '\xD9', '\xDA', '\x80', '\x7F'}) {
            std::string damaged = jpeg;
            damaged[at] = value;
            ASSERT_TRUE(plansOrRefuses(damaged)) << "byte " << at;
        }
    }
}

TEST(JpegPlan, GarbageAfterTheStartMarkerIsRefused) {
    std::mt19937 random(1234);
    for (int round = 0; round < 200; ++round) {
        std::string bytes("\xFF\xD8\xFF", 3);
        const int size = int(random() % 300);
        for (int i = 0; i < size; ++i)
            bytes += char(random());
        EXPECT_THROW(planExactCopy(bytes), ImageError);
    }
}

// ---------------------------------------------------------------------------------------
// PNG passed through

struct PassCase {
    PngColor color;
    int depth;
    const char* decodeParms; // for a 37 pixel wide image
};

class PngPassthrough : public testing::TestWithParam<PassCase> {};

std::string colorName(PngColor color) {
    switch (color) {
    case PngColor::Gray:
        return "Gray";
    case PngColor::Rgb:
        return "Rgb";
    case PngColor::Palette:
        return "Palette";
    case PngColor::GrayAlpha:
        return "GrayAlpha";
    case PngColor::RgbAlpha:
        return "RgbAlpha";
    }
    return "Unknown";
}

template <class Case>
std::string caseName(const testing::TestParamInfo<Case>& info) {
    return colorName(info.param.color) + std::to_string(info.param.depth);
}

TEST_P(PngPassthrough, IdatDataIsCarriedWithExactPredictorParameters) {
    const PassCase c = GetParam();
    const PngParams params{
        .width = 37, .height = 23, .color = c.color, .bitDepth = c.depth, .idatSize = 16};
    const std::string png = makePng(params);
    ASSERT_GT(idatCount(png), 1) << "fixture should spread the data over several IDATs";
    const ImagePlan p = plan(png);
    const ImageStreamPlan& s = p.image;
    EXPECT_EQ(p.format, "png");
    EXPECT_TRUE(s.passthrough);
    EXPECT_EQ(s.filter, "/FlateDecode");
    EXPECT_EQ(s.decodeParms, c.decodeParms);
    EXPECT_EQ(s.width, 37);
    EXPECT_EQ(s.height, 23);
    EXPECT_EQ(s.bitsPerComponent, c.depth);
    EXPECT_EQ(s.colorSpace.device, c.color == PngColor::Gray ? "/DeviceGray" : "/DeviceRGB");
    EXPECT_EQ(s.colorSpace.palette, c.color == PngColor::Palette ? pngPalette(params) : "");
    EXPECT_TRUE(s.decode.empty());
    EXPECT_TRUE(s.colorKeyMask.empty());
    EXPECT_FALSE(p.softMask.has_value());
    EXPECT_TRUE(s.owned.empty());
    EXPECT_EQ(int(s.data.size()), idatCount(png));
    EXPECT_TRUE(viewsPointInto(s, png));
    EXPECT_EQ(joined(s), idatData(png));
    EXPECT_EQ(viewerSamples(s), colourSamples(params));
}

INSTANTIATE_TEST_SUITE_P(
    CarryableTypes, PngPassthrough,
    testing::Values(PassCase{PngColor::Gray, 1,
                             "<< /Predictor 15 /Colors 1 /BitsPerComponent 1 /Columns 37 >>"},
                    PassCase{PngColor::Gray, 2,
                             "<< /Predictor 15 /Colors 1 /BitsPerComponent 2 /Columns 37 >>"},
                    PassCase{PngColor::Gray, 4,
                             "<< /Predictor 15 /Colors 1 /BitsPerComponent 4 /Columns 37 >>"},
                    PassCase{PngColor::Gray, 8,
                             "<< /Predictor 15 /Colors 1 /BitsPerComponent 8 /Columns 37 >>"},
                    PassCase{PngColor::Gray, 16,
                             "<< /Predictor 15 /Colors 1 /BitsPerComponent 16 /Columns 37 >>"},
                    PassCase{PngColor::Rgb, 8,
                             "<< /Predictor 15 /Colors 3 /BitsPerComponent 8 /Columns 37 >>"},
                    PassCase{PngColor::Rgb, 16,
                             "<< /Predictor 15 /Colors 3 /BitsPerComponent 16 /Columns 37 >>"},
                    PassCase{PngColor::Palette, 1,
                             "<< /Predictor 15 /Colors 1 /BitsPerComponent 1 /Columns 37 >>"},
                    PassCase{PngColor::Palette, 2,
                             "<< /Predictor 15 /Colors 1 /BitsPerComponent 2 /Columns 37 >>"},
                    PassCase{PngColor::Palette, 4,
                             "<< /Predictor 15 /Colors 1 /BitsPerComponent 4 /Columns 37 >>"},
                    PassCase{PngColor::Palette, 8,
                             "<< /Predictor 15 /Colors 1 /BitsPerComponent 8 /Columns 37 >>"}),
    caseName<PassCase>);

// Interlaced files cannot pass through (PDF has no interlacing); decoding must give
// exactly the samples of the same image stored without interlace.
TEST_P(PngPassthrough, InterlacedTwinDecodesToTheSameSamples) {
    const PassCase c = GetParam();
    const PngParams flat{.width = 37, .height = 23, .color = c.color, .bitDepth = c.depth};
    PngParams interlaced = flat;
    interlaced.interlaced = true;
    const std::string flatPng = makePng(flat), interlacedPng = makePng(interlaced);
    const ImagePlan a = plan(flatPng), b = plan(interlacedPng);
    EXPECT_FALSE(b.image.passthrough);
    EXPECT_EQ(b.image.filter, "/FlateDecode");
    EXPECT_TRUE(b.image.decodeParms.empty());
    EXPECT_EQ(b.image.bitsPerComponent, c.depth);
    EXPECT_EQ(b.image.colorSpace.device, a.image.colorSpace.device);
    EXPECT_EQ(b.image.colorSpace.palette, a.image.colorSpace.palette);
    EXPECT_FALSE(b.softMask.has_value());
    EXPECT_EQ(viewerSamples(b.image), viewerSamples(a.image));
    EXPECT_EQ(viewerSamples(b.image), colourSamples(flat));
}

// ---------------------------------------------------------------------------------------
// PNG transparency

TEST(PngTransparency, GreyAndRgbKeysBecomeColourKeyMasks) {
    struct Case {
        PngColor color;
        int depth;
        const char* mask;
    };
    for (const Case& c :
         {Case{PngColor::Gray, 1, "[0 0]"}, Case{PngColor::Gray, 4, "[5 5]"},
          Case{PngColor::Gray, 8, "[85 85]"}, Case{PngColor::Rgb, 8, "[10 10 20 20 100 100]"}}) {
        for (bool interlaced : {false, true}) {
            const PngParams params{.width = 20,
                                   .height = 10,
                                   .color = c.color,
                                   .bitDepth = c.depth,
                                   .interlaced = interlaced,
                                   .alpha = PngAlpha::Binary};
            const std::string png = makePng(params);
            const ImagePlan p = plan(png);
            EXPECT_EQ(p.image.colorKeyMask, c.mask) << c.depth << " interlaced " << interlaced;
            EXPECT_EQ(p.image.passthrough, !interlaced);
            EXPECT_FALSE(p.softMask.has_value());
            EXPECT_EQ(viewerSamples(p.image), colourSamples(params));
        }
    }
}

// Poppler ignores colour keys on 16-bit images, so those become soft masks.
TEST(PngTransparency, SixteenBitKeysBecomeSoftMasks) {
    for (PngColor color : {PngColor::Gray, PngColor::Rgb}) {
        for (bool interlaced : {false, true}) {
            const PngParams params{.width = 20,
                                   .height = 10,
                                   .color = color,
                                   .bitDepth = 16,
                                   .interlaced = interlaced,
                                   .alpha = PngAlpha::Binary};
            SCOPED_TRACE(testing::Message() << colorName(color) << " interlaced " << interlaced);
            const ImagePlan p = plan(makePng(params));
            EXPECT_FALSE(p.image.passthrough);
            EXPECT_TRUE(p.image.colorKeyMask.empty());
            EXPECT_EQ(p.image.bitsPerComponent, 16);
            EXPECT_EQ(viewerSamples(p.image), colourSamples(params));
            ASSERT_TRUE(p.softMask.has_value());
            EXPECT_EQ(viewerSamples(*p.softMask), alphaSamples(params));
        }
    }
    // A key no pixel has leaves nothing to mask.
    const std::string png = insertPngChunkBeforeData(
        makePng({.width = 8, .height = 8, .color = PngColor::Gray, .bitDepth = 16}), "tRNS",
        std::string("\x12\x35", 2));
    const ImagePlan p = plan(png);
    EXPECT_FALSE(p.softMask.has_value());
    EXPECT_TRUE(p.image.colorKeyMask.empty());
}

TEST(PngTransparency, KeyOutsideTheSampleRangeIsDropped) {
    const std::string png = insertPngChunkBeforeData(
        makePng({.width = 8, .height = 8, .color = PngColor::Gray, .bitDepth = 4}), "tRNS",
        std::string("\0\x10", 2));
    const ImagePlan p = plan(png);
    EXPECT_TRUE(p.image.colorKeyMask.empty());
    EXPECT_TRUE(p.image.passthrough);
}

TEST(PngTransparency, PaletteWithOneRangeOfClearEntriesKeepsItsIndices) {
    const PngParams params{.width = 20,
                           .height = 20,
                           .color = PngColor::Palette,
                           .bitDepth = 4,
                           .alpha = PngAlpha::Binary};
    const ImagePlan p = plan(makePng(params));
    EXPECT_TRUE(p.image.passthrough);
    EXPECT_EQ(p.image.colorKeyMask, "[0 0]");
    EXPECT_EQ(p.image.colorSpace.palette, pngPalette(params));
    EXPECT_FALSE(p.softMask.has_value());

    const std::string png = insertPngChunkBeforeData(
        makePng({.width = 20, .height = 20, .color = PngColor::Palette, .bitDepth = 4}), "tRNS",
        std::string("\xFF\0\0\xFF", 4));
    EXPECT_EQ(plan(png).image.colorKeyMask, "[1 2]");
}

TEST(PngTransparency, OpaqueTrnsOnPaletteChangesNothing) {
    const std::string png = insertPngChunkBeforeData(
        makePng({.width = 20, .height = 20, .color = PngColor::Palette, .bitDepth = 2}), "tRNS",
        std::string("\xFF\xFF\xFF", 3));
    const ImagePlan p = plan(png);
    EXPECT_TRUE(p.image.passthrough);
    EXPECT_TRUE(p.image.colorKeyMask.empty());
    EXPECT_FALSE(p.softMask.has_value());
}

TEST(PngTransparency, PaletteTrnsLongerThanThePaletteIsIgnoredAsLibpngDoes) {
    const std::string png = insertPngChunkBeforeData(
        makePng({.width = 20, .height = 20, .color = PngColor::Palette, .bitDepth = 1}), "tRNS",
        std::string("\0\0\0", 3));
    const ImagePlan p = plan(png);
    EXPECT_TRUE(p.image.passthrough);
    EXPECT_TRUE(p.image.colorKeyMask.empty());
}

// A colour-key mask on an indexed image can name only one range of indices.
TEST(PngTransparency, ScatteredClearPaletteEntriesBecomeASoftMask) {
    PngParams params{.width = 20, .height = 20, .color = PngColor::Palette, .bitDepth = 2};
    const std::string png =
        insertPngChunkBeforeData(makePng(params), "tRNS", std::string("\0\xFF\0", 3));
    const ImagePlan p = plan(png);
    EXPECT_FALSE(p.image.passthrough);
    EXPECT_TRUE(p.image.colorKeyMask.empty());
    EXPECT_EQ(p.image.colorSpace.device, "/DeviceRGB");
    EXPECT_TRUE(p.image.colorSpace.palette.empty());
    EXPECT_EQ(p.image.bitsPerComponent, 8);
    EXPECT_EQ(viewerSamples(p.image), rgbSamples(params));
    ASSERT_TRUE(p.softMask.has_value());
    std::string expectedAlpha;
    for (int y = 0; y < params.height; ++y)
        for (int x = 0; x < params.width; ++x)
            expectedAlpha += pngSample(params, x, y, 0) % 2 ? '\xFF' : '\0';
    EXPECT_EQ(viewerSamples(*p.softMask), expectedAlpha);
}

TEST(PngTransparency, PartialPaletteAlphaIsDecodedToRgbWithSoftMask) {
    for (int depth : {1, 4, 8}) {
        for (bool interlaced : {false, true}) {
            const PngParams params{.width = 33,
                                   .height = 17,
                                   .color = PngColor::Palette,
                                   .bitDepth = depth,
                                   .interlaced = interlaced,
                                   .alpha = PngAlpha::Partial,
                                   .iccProfile = makeIccProfile(IccModel::Rgb)};
            const ImagePlan p = plan(makePng(params));
            SCOPED_TRACE(testing::Message() << "depth " << depth << " interlaced " << interlaced);
            EXPECT_FALSE(p.image.passthrough);
            EXPECT_EQ(p.image.colorSpace.device, "/DeviceRGB");
            EXPECT_TRUE(p.image.colorSpace.palette.empty());
            EXPECT_TRUE(p.image.colorSpace.icc.empty());
            EXPECT_EQ(p.image.bitsPerComponent, 8);
            EXPECT_EQ(viewerSamples(p.image), rgbSamples(params));
            ASSERT_TRUE(p.softMask.has_value());
            EXPECT_EQ(viewerSamples(*p.softMask), alphaSamples(params));
        }
    }
}

struct AlphaCase {
    PngColor color;
    int depth;
};

class PngAlphaChannel : public testing::TestWithParam<AlphaCase> {};

TEST_P(PngAlphaChannel, ColourKeepsItsDepthAndAlphaBecomesAnEightBitSoftMask) {
    const AlphaCase c = GetParam();
    for (PngAlpha alpha : {PngAlpha::Partial, PngAlpha::Binary}) {
        for (bool interlaced : {false, true}) {
            const PngParams params{.width = 29,
                                   .height = 19,
                                   .color = c.color,
                                   .bitDepth = c.depth,
                                   .interlaced = interlaced,
                                   .alpha = alpha};
            SCOPED_TRACE(testing::Message()
                         << "alpha " << int(alpha) << " interlaced " << interlaced);
            const ImagePlan p = plan(makePng(params));
            const ImageStreamPlan& s = p.image;
            EXPECT_FALSE(s.passthrough);
            EXPECT_EQ(s.filter, "/FlateDecode");
            EXPECT_TRUE(s.decodeParms.empty());
            EXPECT_EQ(s.colorSpace.device,
                      c.color == PngColor::GrayAlpha ? "/DeviceGray" : "/DeviceRGB");
            EXPECT_EQ(s.bitsPerComponent, c.depth);
            EXPECT_EQ(viewerSamples(s), colourSamples(params));
            ASSERT_TRUE(p.softMask.has_value());
            const ImageStreamPlan& m = *p.softMask;
            EXPECT_EQ(m.width, 29);
            EXPECT_EQ(m.height, 19);
            EXPECT_EQ(m.bitsPerComponent, 8);
            EXPECT_EQ(m.colorSpace.device, "/DeviceGray");
            EXPECT_EQ(m.filter, "/FlateDecode");
            EXPECT_FALSE(m.passthrough);
            EXPECT_EQ(viewerSamples(m), alphaSamples(params));
        }
    }
}

TEST_P(PngAlphaChannel, FullyOpaqueAlphaGivesNoSoftMask) {
    const AlphaCase c = GetParam();
    const PngParams params{.width = 29, .height = 19, .color = c.color, .bitDepth = c.depth};
    const ImagePlan p = plan(makePng(params));
    EXPECT_FALSE(p.softMask.has_value());
    EXPECT_EQ(viewerSamples(p.image), colourSamples(params));
}

INSTANTIATE_TEST_SUITE_P(AlphaTypes, PngAlphaChannel,
                         testing::Values(AlphaCase{PngColor::GrayAlpha, 8},
                                         AlphaCase{PngColor::GrayAlpha, 16},
                                         AlphaCase{PngColor::RgbAlpha, 8},
                                         AlphaCase{PngColor::RgbAlpha, 16}),
                         caseName<AlphaCase>);

TEST(PngTransparency, SixteenBitAlphaJustShortOfOpaqueStillGivesAMask) {
    // One pixel of a 16-bit grey+alpha image with alpha 65534: not opaque, though it
    // rounds to 255 at 8 bits.
    std::string raw("\0\x12\x34\xFF\xFE", 5);
    const std::string png = joinPng({{"IHDR", std::string("\0\0\0\1\0\0\0\1\x10\x04\0\0\0", 13)},
                                     {"IDAT", deflateAll(raw)},
                                     {"IEND", ""}});
    const ImagePlan p = plan(png);
    ASSERT_TRUE(p.softMask.has_value());
    EXPECT_EQ(viewerSamples(*p.softMask), "\xFF");
    EXPECT_EQ(viewerSamples(p.image), "\x12\x34");
}

// The plan's views into its own buffers must survive the plan being moved, even for
// data short enough to sit inside a std::string object.
TEST(PngTransparency, DecodedDataSurvivesMovingThePlan) {
    const PngParams params{
        .width = 1, .height = 1, .color = PngColor::RgbAlpha, .alpha = PngAlpha::Partial};
    ImagePlan first = plan(makePng(params));
    ImagePlan moved = std::move(first);
    ASSERT_EQ(moved.image.data.size(), 1u);
    EXPECT_EQ(moved.image.data[0].data(), moved.image.owned.data());
    ASSERT_TRUE(moved.softMask.has_value());
    EXPECT_EQ(moved.softMask->data[0].data(), moved.softMask->owned.data());
    EXPECT_EQ(viewerSamples(moved.image), colourSamples(params));
    EXPECT_EQ(viewerSamples(*moved.softMask), alphaSamples(params));
}

// ---------------------------------------------------------------------------------------
// PNG metadata

TEST(PngMetadata, PhysInMetresBecomesDotsPerInch) {
    const ImagePlan a = plan(makePng({.width = 4, .height = 4, .pixelsPerMetre = 11811}));
    EXPECT_DOUBLE_EQ(a.resx, 300);
    EXPECT_DOUBLE_EQ(a.resy, 300);
    const ImagePlan b =
        plan(makePng({.width = 4, .height = 4, .pixelsPerMetre = 3780, .pixelsPerMetreY = 5670}));
    // 3780 and 5670 per metre are how 96 and 144 dpi are stored.
    EXPECT_DOUBLE_EQ(b.resx, 96);
    EXPECT_DOUBLE_EQ(b.resy, 144);
    const ImagePlan c = plan(makePng({.width = 4, .height = 4, .pixelsPerMetre = 3000}));
    EXPECT_DOUBLE_EQ(c.resx, 76.2);
}

TEST(PngMetadata, PhysWithoutUnitGivesNoResolution) {
    std::string phys = be32(3000) + be32(3000) + std::string(1, '\0');
    const ImagePlan p =
        plan(insertPngChunkBeforeData(makePng({.width = 4, .height = 4}), "pHYs", phys));
    EXPECT_EQ(p.resx, 0);
    EXPECT_EQ(p.resy, 0);
}

TEST(PngMetadata, PhysWithBadChecksumIsIgnoredNotFatal) {
    std::vector<PngChunk> chunks =
        splitPng(makePng({.width = 4, .height = 4, .pixelsPerMetre = 11811}));
    std::string png = joinPng(chunks);
    for (const PngChunk& c : chunks)
        if (c.type == "pHYs")
            png[c.offset + 8 + c.data.size()] ^= 1;
    ImagePlan p;
    ASSERT_NO_THROW(p = plan(png));
    EXPECT_EQ(p.resx, 0);
}

TEST(PngMetadata, IccProfileIsInflatedWhenItFitsTheImage) {
    const std::string rgb = makeIccProfile(IccModel::Rgb), gray = makeIccProfile(IccModel::Gray);
    EXPECT_EQ(plan(makePng({.width = 4, .height = 4, .iccProfile = rgb})).image.colorSpace.icc,
              rgb);
    EXPECT_EQ(plan(makePng({.width = 4, .height = 4, .color = PngColor::Gray, .iccProfile = gray}))
                  .image.colorSpace.icc,
              gray);
    // Decoded images keep it too.
    EXPECT_EQ(plan(makePng({.width = 4,
                            .height = 4,
                            .color = PngColor::RgbAlpha,
                            .alpha = PngAlpha::Partial,
                            .iccProfile = rgb}))
                  .image.colorSpace.icc,
              rgb);
}

std::string iccpData(const std::string& profile) {
    return std::string("x\0\0", 3) + deflateAll(profile);
}

TEST(PngMetadata, IccProfileThatCannotApplyIsDropped) {
    // A grey profile in a colour image (libpng refuses to write that, so by hand).
    const std::string mismatch = insertPngChunkBeforeData(
        makePng({.width = 4, .height = 4}), "iCCP", iccpData(makeIccProfile(IccModel::Gray)));
    EXPECT_TRUE(plan(mismatch).image.colorSpace.icc.empty());
    // PDF allows no profile on an indexed colour space's base.
    const std::string palette = makePng({.width = 4,
                                         .height = 4,
                                         .color = PngColor::Palette,
                                         .iccProfile = makeIccProfile(IccModel::Rgb)});
    EXPECT_TRUE(plan(palette).image.colorSpace.icc.empty());
}

TEST(PngMetadata, DamagedIccProfileIsDroppedNotFatal) {
    std::string broken = iccpData(makeIccProfile(IccModel::Rgb));
    broken.resize(broken.size() / 2);
    const std::vector<std::string> bad = {broken, std::string("x\0\0garbage", 10),
                                          std::string("no terminator"), std::string("\0\0", 2)};
    for (const std::string& data : bad) {
        const std::string png =
            insertPngChunkBeforeData(makePng({.width = 4, .height = 4}), "iCCP", data);
        ImagePlan p;
        ASSERT_NO_THROW(p = plan(png));
        EXPECT_TRUE(p.image.colorSpace.icc.empty());
    }
}

// ---------------------------------------------------------------------------------------
// PNG files refused

TEST(PngRefused, NoImageDataOrNoPalette) {
    EXPECT_THROW(plan(withoutChunks(makePng({.width = 4, .height = 4}), "IDAT")), ImageError);
    EXPECT_THROW(
        plan(withoutChunks(makePng({.width = 4, .height = 4, .color = PngColor::Palette}), "PLTE")),
        ImageError);
    EXPECT_THROW(plan(withoutChunks(makePng({.width = 4, .height = 4}), "IEND")), ImageError);
}

TEST(PngRefused, InvalidHeaderFields) {
    const std::string png = makePng({.width = 4, .height = 4});
    auto depthAndType = [&](int depth, int type) {
        return withHeader(png, [&](std::string& h) {
            h[8] = char(depth);
            h[9] = char(type);
        });
    };
    const std::pair<int, int> bad[] = {{4, 2}, {16, 3}, {4, 4}, {1, 6}, {8, 5}, {3, 0}, {8, 1}};
    for (auto [depth, type] : bad)
        EXPECT_THROW(plan(depthAndType(depth, type)), ImageError) << depth << "/" << type;
    EXPECT_THROW(plan(withHeader(png, [](std::string& h) { putBe32(h, 0, 0); })), ImageError);
    EXPECT_THROW(plan(withHeader(png, [](std::string& h) { putBe32(h, 4, 0); })), ImageError);
    EXPECT_THROW(plan(withHeader(png, [](std::string& h) { putBe32(h, 0, 0x80000000); })),
                 ImageError);
    EXPECT_THROW(plan(withHeader(png, [](std::string& h) { h[12] = 2; })), ImageError);
    EXPECT_THROW(plan(withHeader(png, [](std::string& h) { h[10] = 1; })), ImageError);
    EXPECT_THROW(plan(withHeader(png, [](std::string& h) { h += '\0'; })), ImageError);
}

TEST(PngRefused, DamagedCriticalChunks) {
    const std::string png = makePng({.width = 4, .height = 4, .color = PngColor::Palette});
    for (const PngChunk& c : splitPng(png)) {
        if (c.type != "IHDR" && c.type != "PLTE" && c.type != "IDAT")
            continue;
        std::string damaged = png;
        damaged[c.offset + 8 + c.data.size()] ^= 0x40; // CRC
        EXPECT_THROW(plan(damaged), ImageError) << c.type;
    }
}

TEST(PngRefused, UnknownCriticalChunkButNotUnknownAncillary) {
    const std::string png = makePng({.width = 4, .height = 4});
    EXPECT_THROW(plan(insertPngChunkBeforeData(png, "ABCD", "x")), ImageError);
    EXPECT_NO_THROW(plan(insertPngChunkBeforeData(png, "abCd", "x")));
}

// Data that starts like zlib data, big enough to pass the planner's size check; the
// planner does not inflate what it passes through.
std::string hugeFile(int colorType, std::uint32_t width, std::uint32_t height,
                     std::size_t dataSize) {
    std::string header = be32(width) + be32(height) + std::string(1, '\x08') +
                         std::string(1, char(colorType)) + std::string(3, '\0');
    std::string data(dataSize, '\0');
    data[0] = '\x78';
    data[1] = '\x9C';
    return joinPng({{"IHDR", header}, {"IDAT", data}, {"IEND", ""}});
}

TEST(PngRefused, HugeImagesAreRefusedBeforeDecodingOrPassingThrough) {
    // Alpha must be decoded: 30000 x 30000 pixels are over the limit, and the planner
    // must say so without trying to allocate them.
    const std::string message = pngThrowsMessage(hugeFile(6, 30000, 30000, 4u << 20));
    EXPECT_NE(message.find("too large"), std::string::npos) << message;
    // Passing through would cost nothing here, but every viewer would have to decode it.
    EXPECT_NE(pngThrowsMessage(hugeFile(0, 0x7FFFFFFF, 1, 3u << 20)).find("too large"),
              std::string::npos);
}

// A header changed to a huge size with the original small data cannot hold the
// image; decoding must not allocate for it.
TEST(PngRefused, DataTooShortForTheImageSizeIsRefused) {
    const std::string rgba = withHeader(
        makePng({.width = 4, .height = 4, .color = PngColor::RgbAlpha, .alpha = PngAlpha::Partial}),
        [](std::string& h) {
            putBe32(h, 0, 10000);
            putBe32(h, 4, 10000);
        });
    EXPECT_NE(pngThrowsMessage(rgba).find("truncated"), std::string::npos);
    const std::string gray = withHeader(makePng({.width = 4, .height = 4}), [](std::string& h) {
        putBe32(h, 0, 0x7FFFFFFF);
        putBe32(h, 4, 0x7FFFFFFF);
    });
    EXPECT_THROW(plan(gray), ImageError);
}

TEST(PngRefused, DamagedImageDataIsRefusedWhenDecoding) {
    const std::string png = makePng(
        {.width = 29, .height = 19, .color = PngColor::RgbAlpha, .alpha = PngAlpha::Partial});
    std::vector<PngChunk> chunks = splitPng(png);
    std::vector<PngChunk> shortData = chunks, garbage = chunks;
    for (PngChunk& c : shortData)
        if (c.type == "IDAT")
            c.data.resize(c.data.size() / 2);
    for (PngChunk& c : garbage)
        if (c.type == "IDAT")
            std::fill(c.data.begin() + 2, c.data.end(), '\xFF');
    EXPECT_THROW(plan(joinPng(shortData)), ImageError);
    EXPECT_THROW(plan(joinPng(garbage)), ImageError);
}

TEST(PngRefused, ImageDataThatIsNotZlibIsRefusedEvenWhenPassingThrough) {
    std::vector<PngChunk> chunks = splitPng(makePng({.width = 4, .height = 4}));
    for (PngChunk& c : chunks)
        if (c.type == "IDAT")
            c.data[0] = '\x07';
    EXPECT_THROW(plan(joinPng(chunks)), ImageError);
}

TEST(PngRefused, EveryTruncationIsRefused) {
    const std::vector<std::string> files = {
        makePng({.width = 23,
                 .height = 9,
                 .color = PngColor::Palette,
                 .bitDepth = 4,
                 .alpha = PngAlpha::Binary,
                 .pixelsPerMetre = 2835,
                 .iccProfile = makeIccProfile(IccModel::Rgb),
                 .idatSize = 32}),
        makePng({.width = 23,
                 .height = 9,
                 .color = PngColor::RgbAlpha,
                 .bitDepth = 16,
                 .interlaced = true,
                 .alpha = PngAlpha::Partial}),
    };
    for (const std::string& png : files) {
        ASSERT_NO_THROW(planExactCopy(png));
        for (std::size_t cut = 0; cut < png.size(); ++cut)
            EXPECT_THROW(planExactCopy(std::string_view(png).substr(0, cut)), ImageError)
                << "cut at " << cut << " of " << png.size();
    }
}

// Damage that keeps the checksums right reaches the deepest code: header fields, the
// palette, transparency and compressed data.
TEST(PngRefused, DamagedChunkContentsNeverCrash) {
    const std::vector<PngParams> sources = {
        {.width = 13,
         .height = 7,
         .color = PngColor::Palette,
         .bitDepth = 2,
         .interlaced = true,
         .alpha = PngAlpha::Partial},
        {.width = 13,
         .height = 7,
         .color = PngColor::GrayAlpha,
         .bitDepth = 16,
         .alpha = PngAlpha::Partial,
         .pixelsPerMetre = 100,
         .iccProfile = makeIccProfile(IccModel::Gray)},
    };
    for (const PngParams& params : sources) {
        const std::vector<PngChunk> chunks = splitPng(makePng(params));
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            for (std::size_t at = 0; at < std::min<std::size_t>(chunks[i].data.size(), 300); ++at) {
                for (char value : {'\x00', '\x01', '\x10', '\xFF', '\x7F'}) {
                    std::vector<PngChunk> damaged = chunks;
                    damaged[i].data[at] = value;
                    ASSERT_TRUE(plansOrRefuses(joinPng(damaged)))
                        << chunks[i].type << " byte " << at;
                }
            }
        }
    }
}

TEST(PngRefused, GarbageAfterTheSignatureIsRefused) {
    std::mt19937 random(99);
    for (int round = 0; round < 200; ++round) {
        std::string bytes("\x89PNG\r\n\x1A\n", 8);
        const int size = int(random() % 200);
        for (int i = 0; i < size; ++i)
            bytes += char(random());
        EXPECT_THROW(planExactCopy(bytes), ImageError);
    }
}

} // namespace
