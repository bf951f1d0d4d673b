// JPEG to JPEG without a bitmap must give what the way through pixels gives: the same
// kind of file (sampling, components, quality, density, profile) and the same picture,
// or decline the file so that the caller takes the way through pixels. The files are
// read back by ImageMagick, which owes nothing to our decoders.
#include "ImageFixtures.h"
#include "TestSupport.h"
#include "imaging/Codecs.h"
#include "imaging/JpegMarkers.h"
#include "imaging/Transform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <malloc.h>
#include <optional>
#include <string>
#include <vector>

#include <jpeglib.h>

using namespace folimo::imaging;
using folimo::test::bytesOf;
using folimo::test::decodeReference;
using folimo::test::identify;
using folimo::test::JpegColor;
using folimo::test::JpegParams;
using folimo::test::makeJpeg;
using folimo::test::psnr;
using folimo::test::Raster;
using folimo::test::runCommand;
using folimo::test::shellQuote;
using folimo::test::TempDir;

namespace {

// A photograph-like JPEG: smooth gradients and waves, at an odd size so that partial
// blocks and MCUs at the edges are covered.
std::string photoJpeg(int quality, bool subsample420, bool progressive = false) {
    JpegParams p;
    p.width = 203;
    p.height = 141;
    p.quality = quality;
    p.subsample420 = subsample420;
    p.progressive = progressive;
    p.densityUnit = 1;
    p.densityX = p.densityY = 300;
    return makeJpeg(p);
}

// libjpeg's encoder on an RGB picture: `setUp` changes its defaults, `write` gives it
// the picture, as rows or as coefficients, and finishes.
std::string encodeWith(int width, int height,
                       const std::function<void(jpeg_compress_struct&)>& setUp,
                       const std::function<void(jpeg_compress_struct&)>& write) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr errors{};
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    setUp(cinfo);
    write(cinfo);
    jpeg_destroy_compress(&cinfo);
    std::string bytes(reinterpret_cast<const char*>(out), size);
    std::free(out);
    return bytes;
}

// Writes the rows of the picture whose pixel at (x, y) `pixel` gives.
std::function<void(jpeg_compress_struct&)>
rowsOf(const std::function<void(int x, int y, JSAMPLE* rgb)>& pixel) {
    return [pixel](jpeg_compress_struct& cinfo) {
        jpeg_start_compress(&cinfo, TRUE);
        std::vector<JSAMPLE> row(std::size_t(cinfo.image_width) * 3);
        while (cinfo.next_scanline < cinfo.image_height) {
            for (int x = 0; x < int(cinfo.image_width); ++x)
                pixel(x, int(cinfo.next_scanline), &row[3 * std::size_t(x)]);
            JSAMPROW rows[1] = {row.data()};
            jpeg_write_scanlines(&cinfo, rows, 1);
        }
        jpeg_finish_compress(&cinfo);
    };
}

// A 4:4:4 photograph-like JPEG with a restart marker every `interval` MCUs, which
// TurboJPEG does not write.
std::string restartJpeg(int width, int height, unsigned interval) {
    return encodeWith(
        width, height,
        [&](jpeg_compress_struct& cinfo) {
            jpeg_set_quality(&cinfo, 92, TRUE);
            cinfo.comp_info[0].h_samp_factor = cinfo.comp_info[0].v_samp_factor = 1;
            cinfo.restart_interval = interval;
        },
        rowsOf([width](int x, int y, JSAMPLE* rgb) {
            rgb[0] = JSAMPLE(128 + 100 * std::sin(x * 0.05 + y * 0.02));
            rgb[1] = JSAMPLE((x * 255) / width);
            rgb[2] = JSAMPLE(128 + 90 * std::cos(y * 0.07));
        }));
}

// A 4:4:4 JPEG of 256 x 64 written as coefficients: every step 255, every AC coefficient
// +-`ac`. Requantised to fine steps, large ones need more bits than baseline JPEG has.
std::string coarseJpeg(int ac) {
    return encodeWith(
        256, 64,
        [](jpeg_compress_struct& cinfo) {
            unsigned steps[DCTSIZE2];
            std::fill(std::begin(steps), std::end(steps), 255u);
            jpeg_add_quant_table(&cinfo, 0, steps, 100, TRUE);
            jpeg_add_quant_table(&cinfo, 1, steps, 100, TRUE);
            cinfo.comp_info[0].h_samp_factor = cinfo.comp_info[0].v_samp_factor = 1;
        },
        [ac](jpeg_compress_struct& cinfo) {
            auto* common = reinterpret_cast<j_common_ptr>(&cinfo);
            jvirt_barray_ptr arrays[3];
            for (jvirt_barray_ptr& array : arrays)
                array = (*cinfo.mem->request_virt_barray)(common, JPOOL_IMAGE, TRUE, 32, 8, 8);
            (*cinfo.mem->realize_virt_arrays)(common);
            for (jvirt_barray_ptr array : arrays) {
                JBLOCKARRAY rows = (*cinfo.mem->access_virt_barray)(common, array, 0, 8, TRUE);
                for (int y = 0; y < 8; ++y)
                    for (int x = 0; x < 32; ++x)
                        for (int k = 1; k < DCTSIZE2; ++k)
                            rows[y][x][k] = JCOEF((k + x) % 2 ? ac : -ac);
            }
            jpeg_write_coefficients(&cinfo, arrays); // read until the end
            jpeg_finish_compress(&cinfo);
        });
}

// A photograph-like JPEG with the luminance sampled `h` x `v` against the colour.
std::string sampledJpeg(int width, int height, int h, int v, bool progressive) {
    return encodeWith(
        width, height,
        [&](jpeg_compress_struct& cinfo) {
            jpeg_set_quality(&cinfo, 90, TRUE);
            cinfo.comp_info[0].h_samp_factor = h;
            cinfo.comp_info[0].v_samp_factor = v;
            if (progressive)
                jpeg_simple_progression(&cinfo);
        },
        rowsOf([](int x, int y, JSAMPLE* rgb) {
            rgb[0] = JSAMPLE(128 + 100 * std::sin(x * 0.03 + y * 0.011));
            rgb[1] = JSAMPLE(128 + 90 * std::cos(x * 0.007 - y * 0.05));
            rgb[2] = JSAMPLE((x ^ y) & 0xFF);
        }));
}

#if defined(__SANITIZE_ADDRESS__)
#define FOLIMO_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FOLIMO_TEST_SANITIZED 1
#endif
#endif

std::uint64_t statusKb(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0)
            return std::stoull(line.substr(field.size() + 1));
    return 0;
}

// How far this process's resident memory rose above where it stood while `work` ran;
// nothing where that cannot be told (a sanitizer's own memory, no resettable peak).
std::optional<std::uint64_t> residentGrowth(const std::function<void()>& work) {
#ifdef FOLIMO_TEST_SANITIZED
    work();
    return std::nullopt;
#else
    malloc_trim(0);
    std::ofstream reset("/proc/self/clear_refs");
    if (!(reset << "5" << std::flush)) {
        work();
        return std::nullopt;
    }
    const std::uint64_t before = statusKb("VmRSS");
    work();
    const std::uint64_t peak = statusKb("VmHWM");
    return peak > before ? (peak - before) << 10 : 0;
#endif
}

class TranscodeTest : public ::testing::Test {
protected:
    std::string save(const std::string& bytes, const std::string& name) {
        const std::string path = dir_.file(name);
        folimo::test::writeFile(path, bytes);
        return path;
    }

    // What the way through pixels writes for the same request.
    static std::string throughPixels(const std::string& source, const JpegTranscode& job) {
        Bitmap b = decode(bytesOf(source));
        if (job.grey)
            b = toGrey(b);
        if (job.dpi != 0)
            b.dpiX = b.dpiY = job.dpi;
        return encodeJpeg(b, job.quality);
    }

    // Both ways give the same kind of file and the same picture.
    void expectLikePixels(const std::string& source, const JpegTranscode& job,
                          const std::string& label) {
        SCOPED_TRACE(label);
        const std::string fast = transcodeJpeg(bytesOf(source), job);
        ASSERT_FALSE(fast.empty());
        const std::string slow = throughPixels(source, job);
        const std::string fastPath = save(fast, label + "-fast.jpg");
        const std::string slowPath = save(slow, label + "-slow.jpg");
        const std::string facts = "%w %h %[jpeg:sampling-factor] %[colorspace] %Q %x %y %U";
        EXPECT_EQ(identify(facts, fastPath), identify(facts, slowPath));
        EXPECT_GT(psnr(decodeReference(fastPath), decodeReference(slowPath)), 36.0);
        const double ratio = double(fast.size()) / double(slow.size());
        EXPECT_GT(ratio, 0.8);
        EXPECT_LT(ratio, 1.2);
    }

    TempDir dir_;
};

TEST_F(TranscodeTest, KeptSamplingRequantisesLikePixels) {
    expectLikePixels(photoJpeg(92, true), {30}, "420-to-q30");
    expectLikePixels(photoJpeg(92, true, true), {30}, "progressive-420-to-q30");
    expectLikePixels(photoJpeg(80, false), {95}, "444-to-q95");
    JpegParams grey;
    grey.width = 99;
    grey.height = 77;
    grey.color = JpegColor::Gray;
    expectLikePixels(makeJpeg(grey), {30}, "grey-to-q30");
}

TEST_F(TranscodeTest, ChangedSamplingStreamsLikePixels) {
    expectLikePixels(photoJpeg(95, false), {30}, "444-to-q30");
    expectLikePixels(photoJpeg(95, false, true), {50}, "progressive-444-to-q50");
    expectLikePixels(photoJpeg(75, true), {90}, "420-to-q90");
}

// Full-resolution colour halved among the coefficients where the quality asks for 4:2:0:
// narrow pictures and progressive ones read whole, the rest a few rows at a time; sizes
// that end in part of a block or of a 2 x 2 group at either edge.
TEST_F(TranscodeTest, HalvedColourLikePixels) {
    struct Case {
        int width, height, quality;
        bool progressive;
    };
    const Case cases[] = {
        {33, 17, 30, false},  {33, 17, 30, true},   {1, 1, 30, false},    {8, 8, 50, false},
        {17, 9, 75, true},    {16, 16, 30, false},  {128, 8, 30, false},  {129, 17, 89, false},
        {130, 31, 30, true},  {250, 7, 50, false},  {160, 96, 30, false}, {203, 141, 60, false},
        {311, 200, 1, false}, {144, 250, 30, true},
    };
    for (const Case& c : cases) {
        JpegParams p;
        p.width = c.width;
        p.height = c.height;
        p.quality = 95;
        p.progressive = c.progressive;
        const std::string label = std::to_string(c.width) + "x" + std::to_string(c.height) +
                                  (c.progressive ? "-progressive" : "") + "-to-q" +
                                  std::to_string(c.quality);
        const std::string source = makeJpeg(p);
        ASSERT_EQ(identify("%[jpeg:sampling-factor]", save(source, label + "-in.jpg")),
                  "1x1,1x1,1x1");
        expectLikePixels(source, {c.quality}, label);
        const std::string fast = transcodeJpeg(bytesOf(source), {c.quality});
        EXPECT_EQ(identify("%[jpeg:sampling-factor] %[interlace]", save(fast, label + ".jpg")),
                  "2x2,1x1,1x1 None");
    }
}

TEST_F(TranscodeTest, HalvedColourAcrossRestartMarkers) {
    for (unsigned interval : {1u, 7u}) {
        const std::string label = "restart-" + std::to_string(interval);
        expectLikePixels(restartJpeg(301, 77, interval), {30}, label);
    }
}

TEST_F(TranscodeTest, HalvedColourKeepsWhatTheFileCarries) {
    // Resolution and profile, as the way through pixels writes them.
    JpegParams p;
    p.width = 150;
    p.height = 90;
    p.densityUnit = 1;
    p.densityX = p.densityY = 200;
    const std::string profile = folimo::test::makeIccProfile(folimo::test::IccModel::Rgb);
    const std::string tagged = folimo::test::insertJpegSegment(
        makeJpeg(p), 0xE2, std::string("ICC_PROFILE\0\x01\x01", 14) + profile);
    const std::string fast = transcodeJpeg(bytesOf(tagged), {30});
    EXPECT_NE(fast.find(profile), std::string::npos);
    EXPECT_EQ(identify("%x %y %U %[jpeg:sampling-factor]", save(fast, "tagged.jpg")),
              "200 200 PixelsPerInch 2x2,1x1,1x1");
    // Grey stays grey, asked for or as the file is.
    JpegTranscode grey{30};
    grey.grey = true;
    expectLikePixels(makeJpeg(p), grey, "grey-of-444-150x90");
    JpegParams greyFile = p;
    greyFile.color = JpegColor::Gray;
    expectLikePixels(makeJpeg(greyFile), {30}, "grey-150x90");
    // CMYK still needs the way through pixels, and so does a damaged file.
    JpegParams cmyk = p;
    cmyk.color = JpegColor::Cmyk;
    EXPECT_TRUE(transcodeJpeg(bytesOf(makeJpeg(cmyk)), {30}).empty());
    for (bool progressive : {false, true}) {
        p.progressive = progressive;
        const std::string whole = makeJpeg(p);
        EXPECT_TRUE(transcodeJpeg(bytesOf(whole.substr(0, whole.size() / 2)), {30}).empty());
    }
}

// Coefficients beyond what the encoder's tables code would make a corrupt file: such a
// file goes the way through pixels, whether its sampling is kept or its colour halved.
TEST_F(TranscodeTest, DeclinesCoefficientsBeyondBaseline) {
    const std::string coarse = coarseJpeg(1023);
    EXPECT_TRUE(transcodeJpeg(bytesOf(coarse), {100}).empty());
    EXPECT_TRUE(transcodeJpeg(bytesOf(coarse), {95}).empty());
    EXPECT_TRUE(transcodeJpeg(bytesOf(coarse), {30}).empty());
    const std::string fits = transcodeJpeg(bytesOf(coarseJpeg(3)), {100});
    ASSERT_FALSE(fits.empty());
    EXPECT_EQ(identify("%w %h %Q", save(fits, "fits.jpg")), "256 64 100");
}

TEST_F(TranscodeTest, GreyKeepsTheLuminanceOnly) {
    JpegTranscode job{30};
    job.grey = true;
    expectLikePixels(photoJpeg(92, true), job, "grey-of-420");
    expectLikePixels(photoJpeg(92, false), job, "grey-of-444");
    EXPECT_EQ(
        identify("%[channels]", save(transcodeJpeg(bytesOf(photoJpeg(92, true)), job), "grey.jpg")),
        "gray");
}

TEST_F(TranscodeTest, QualityFollowsTheEncodersRules) {
    const std::string source = photoJpeg(92, true);
    EXPECT_EQ(transcodeJpeg(bytesOf(source), {0}), transcodeJpeg(bytesOf(source), {75}));
    EXPECT_EQ(transcodeJpeg(bytesOf(source), {150}), transcodeJpeg(bytesOf(source), {100}));
    EXPECT_EQ(identify("%Q", save(transcodeJpeg(bytesOf(source), {-3}), "q1.jpg")), "1");
}

TEST_F(TranscodeTest, ResolutionAndProfileAsThePixelsWayWritesThem) {
    const std::string source = photoJpeg(92, true);
    JpegTranscode job{30};
    EXPECT_EQ(identify("%x %y %U", save(transcodeJpeg(bytesOf(source), job), "own.jpg")),
              "300 300 PixelsPerInch");
    job.dpi = 150;
    expectLikePixels(source, job, "dpi-150");
    EXPECT_EQ(identify("%x %y %U", save(transcodeJpeg(bytesOf(source), job), "150.jpg")),
              "150 150 PixelsPerInch");

    const std::string rgbProfile = folimo::test::makeIccProfile(folimo::test::IccModel::Rgb);
    std::string chunk("ICC_PROFILE\0\x01\x01", 14);
    const std::string tagged = folimo::test::insertJpegSegment(source, 0xE2, chunk + rgbProfile);
    const std::string colour = transcodeJpeg(bytesOf(tagged), {30});
    EXPECT_NE(colour.find(rgbProfile), std::string::npos);
    JpegTranscode grey{30};
    grey.grey = true;
    const std::string greyed = transcodeJpeg(bytesOf(tagged), grey);
    ASSERT_FALSE(greyed.empty());
    EXPECT_EQ(greyed.find("ICC_PROFILE"), std::string::npos);
}

TEST_F(TranscodeTest, DeclinesWhatNeedsABitmap) {
    const std::string source = photoJpeg(92, true);
    // An EXIF turn: the picture must be turned in pixels.
    std::string exif("Exif\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0\x06\0\0\0\0\0\0\0", 30);
    EXPECT_TRUE(
        transcodeJpeg(bytesOf(folimo::test::insertJpegSegment(source, 0xE1, exif)), {30}).empty());
    // Larger than the limits: it must be shrunk. Equal to them is fine.
    JpegTranscode limited{30};
    limited.maxWidth = 202;
    EXPECT_TRUE(transcodeJpeg(bytesOf(source), limited).empty());
    limited.maxWidth = 203;
    limited.maxHeight = 141;
    EXPECT_FALSE(transcodeJpeg(bytesOf(source), limited).empty());
    // CMYK is converted to RGB on the way through pixels.
    JpegParams cmyk;
    cmyk.color = JpegColor::Cmyk;
    EXPECT_TRUE(transcodeJpeg(bytesOf(makeJpeg(cmyk)), {30}).empty());
    // Damaged files are left to the decoder to report, in both branches.
    for (const std::string& whole : {source, photoJpeg(95, false)}) {
        const std::string cut = whole.substr(0, whole.size() * 2 / 3);
        EXPECT_TRUE(transcodeJpeg(bytesOf(cut), {30}).empty());
    }
    EXPECT_TRUE(transcodeJpeg(bytesOf(std::string("\xFF\xD8\xFF", 3)), {30}).empty());
    EXPECT_TRUE(transcodeJpeg({}, {30}).empty());
}

// A progressive file holds its coefficients whole, packed when they are many; a
// baseline file of the same picture has the same coefficients and streams them. Either
// way, each change of sampling writes the same file.
TEST_F(TranscodeTest, ProgressiveFilesGiveWhatTheirBaselineTwinsGive) {
    const struct {
        const char* label;
        int width, h, v;
    } cases[] = {
        {"kept-sampling-packed", 2048, 2, 2},
        {"kept-sampling-whole", 512, 2, 2},
        {"colour-halved-packed", 2048, 1, 1},
        {"rows-packed", 2048, 2, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string baseline = sampledJpeg(c.width, 1536, c.h, c.v, false);
        const std::string progressive = sampledJpeg(c.width, 1536, c.h, c.v, true);
        const std::string expected = transcodeJpeg(bytesOf(baseline), {30});
        ASSERT_FALSE(expected.empty());
        EXPECT_TRUE(transcodeJpeg(bytesOf(progressive), {30}) == expected);
    }
}

// The memory the transcoder is charged with, read from the header, covers what each of
// its ways holds, and where it streams it is far below the coefficients of the picture.
TEST_F(TranscodeTest, PeakEstimateCoversEachWay) {
    enum Held { Whole, Packed, Streamed, Some, Declined };
    struct Case {
        const char* label;
        std::string jpeg;
        JpegTranscode job;
        Held held;
    };
    JpegTranscode grey{30};
    grey.grey = true;
    JpegTranscode shrunk{30};
    shrunk.maxWidth = 1000;
    JpegParams cmyk;
    cmyk.color = JpegColor::Cmyk;
    const Case cases[] = {
        {"kept-sampling", sampledJpeg(2048, 1536, 2, 2, false), {30}, Streamed},
        {"kept-sampling-grey", sampledJpeg(2048, 1536, 2, 2, false), grey, Streamed},
        {"kept-sampling-narrow", sampledJpeg(120, 9000, 2, 2, false), {30}, Whole},
        {"kept-sampling-progressive", sampledJpeg(1024, 768, 2, 2, true), {30}, Whole},
        {"kept-sampling-progressive-packed", sampledJpeg(2048, 1536, 2, 2, true), {30}, Packed},
        {"colour-halved", sampledJpeg(2048, 1536, 1, 1, false), {30}, Streamed},
        {"colour-halved-progressive", sampledJpeg(1024, 768, 1, 1, true), {30}, Whole},
        {"colour-halved-progressive-packed", sampledJpeg(2048, 1536, 1, 1, true), {30}, Packed},
        {"rows", sampledJpeg(2048, 1536, 2, 1, false), {30}, Streamed},
        {"rows-progressive", sampledJpeg(1024, 1536, 2, 1, true), {30}, Whole},
        {"rows-progressive-packed", sampledJpeg(2048, 1536, 2, 1, true), {30}, Packed},
        {"rows-fine", sampledJpeg(2048, 1536, 2, 2, false), {95}, Some},
        {"declined-too-wide", sampledJpeg(2048, 1536, 2, 2, false), shrunk, Declined},
        {"declined-cmyk", makeJpeg(cmyk), {30}, Declined},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const auto bytes = bytesOf(c.jpeg);
        const std::uint64_t coefficients = readJpegMarkers(bytes).coefficientBytes;
        const std::size_t estimate = transcodePeakBytes(bytes, c.job);
        std::string made;
        const auto growth = residentGrowth([&] { made = transcodeJpeg(bytes, c.job); });
        if (c.held == Declined) {
            EXPECT_TRUE(made.empty());
            EXPECT_EQ(estimate, 0u);
            continue;
        }
        ASSERT_FALSE(made.empty());
        EXPECT_GT(estimate, made.size());
        if (growth) {
            EXPECT_GE(estimate, *growth);
        }
        if (c.held == Streamed) {
            EXPECT_LT(estimate, coefficients / 2);
        } else if (c.held == Whole) {
            EXPECT_GE(estimate, coefficients);
        } else if (c.held == Packed) {
            EXPECT_LT(estimate, coefficients);
        }
    }
}

} // namespace
