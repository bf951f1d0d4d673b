// JPEG to JPEG without a bitmap must give what the way through pixels gives: the same
// kind of file (sampling, components, quality, density, profile) and the same picture,
// or decline the file so that the caller takes the way through pixels. The files are
// read back by ImageMagick, which owes nothing to our decoders.
#include "ImageFixtures.h"
#include "TestSupport.h"
#include "imaging/Codecs.h"
#include "imaging/Transform.h"

#include <gtest/gtest.h>

#include <cmath>

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

} // namespace
