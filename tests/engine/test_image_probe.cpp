// The image object reads only a file's headers at Load: the size and resolution it
// reports must be what decoding the file gives, for every format, turned pictures and
// odd resolutions included; damaged pixel data is reported when the pixels are needed.
#include "CGDIPLUSImage.h"
#include "ImageFixtures.h"
#include "TestSupport.h"
#include "imaging/Codecs.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace folimo::test;
namespace fi = folimo::imaging;

std::string exifWithOrientation(int orientation) {
    // "Exif\0\0", a little-endian TIFF header and a directory of one entry.
    std::string p("Exif\0\0II*\0\x08\0\0\0\x01\0", 16);
    p += std::string("\x12\x01\x03\0\x01\0\0\0", 8);
    p += static_cast<char>(orientation);
    p += std::string("\0\0\0\0\0\0\0", 7);
    return p;
}

struct Sample {
    const char* name;
    const char* convert;  // ImageMagick arguments, or "dng" for a camera raw file
    const char* output;   // the file to write, with ImageMagick's format prefix if any
    int exifOrientation;  // added to a JPEG's headers when not 0
    bool readFromHeaders; // false where only decoding can tell
};

const char* const kPicture = "-seed 3 -size 57x31 plasma: ";

const Sample kSamples[] = {
    {"JpegInches", "-units PixelsPerInch -density 300", "a.jpg", 0, true},
    {"JpegNonSquareCm", "-units PixelsPerCentimeter -density 40x20", "a.jpg", 0, true},
    {"JpegNoResolution", "-strip", "a.jpg", 0, true},
    {"JpegTurned6", "-units PixelsPerInch -density 300x150", "a.jpg", 6, true},
    {"JpegTurned8", "-units PixelsPerInch -density 96x200", "a.jpg", 8, true},
    {"JpegMirrored3", "", "a.jpg", 3, true},
    {"JpegCmykProgressive", "-colorspace CMYK -interlace Plane", "a.jpg", 0, true},
    {"JpegGrey", "-colorspace Gray", "a.jpg", 0, true},
    {"PngNonSquare", "-units PixelsPerCentimeter -density 100x50", "a.png", 0, true},
    {"PngNoResolution", "-strip", "a.png", 0, true},
    {"PngPaletteInterlaced", "-colors 12 -interlace PNG", "png8:a.png", 0, true},
    {"PngDeepAlpha", "-alpha set -depth 16", "png64:a.png", 0, true},
    {"Gif", "-colors 8", "a.gif", 0, true},
    {"GifOnLargerCanvas", "-set page 90x70+20+9", "a.gif", 0, true},
    {"Bmp", "-units PixelsPerInch -density 150x75", "bmp3:a.bmp", 0, true},
    {"BmpPalette", "-colors 16 -type Palette", "bmp3:a.bmp", 0, true},
    {"BmpOs2", "", "bmp2:a.bmp", 0, true},
    {"TiffTurned", "-units PixelsPerInch -density 200x100 -orient RightTop", "a.tif", 0, true},
    {"TiffLeftBottom", "-units PixelsPerCentimeter -density 30x60 -orient LeftBottom", "a.tif", 0,
     true},
    {"TiffUpsideDown", "-orient BottomRight -compress LZW", "a.tif", 0, true},
    {"TiffNoResolution", "-strip -compress Zip -type Palette", "a.tif", 0, true},
    {"TiffYCbCrJpeg", "-compress JPEG", "a.tif", 0, true},
    {"WebPLossy", "-quality 80", "a.webp", 0, true},
    {"WebPLosslessAlpha", "-alpha set -define webp:lossless=true", "a.webp", 0, true},
    {"Heic", "-quality 80", "a.heic", 0, true},
    {"Avif", "-quality 80", "a.avif", 0, true},
    {"Psd", "-units PixelsPerInch -density 240x120", "a.psd", 0, true},
    {"IcoLargestEntry", "-define icon:auto-resize=16,48,32", "a.ico", 0, true},
    {"IcoPng", "-resize 256x256! -define icon:auto-resize=256,16", "a.ico", 0, true},
    {"Jbig", "-monochrome", "jbig:a.jbg", 0, true},
    {"Mng", "-units PixelsPerInch -density 120", "a.mng", 0, true},
    {"CameraRaw", "dng", "a.dng", 0, false},
};

std::string makeSample(const Sample& s, const TempDir& dir) {
    const std::string output = s.output;
    const std::string path = dir.file(output.substr(output.find(':') + 1));
    if (std::string(s.convert) == "dng") {
        makeDng(path, 64, 48);
        return path;
    }
    makeImage(kPicture + std::string(s.convert), output.substr(0, output.find(':') + 1) + path);
    if (s.exifOrientation)
        writeFile(path,
                  insertJpegSegment(readFile(path), 0xE1, exifWithOrientation(s.exifOrientation)));
    return path;
}

class ImageProbe : public ::testing::TestWithParam<Sample> {};

TEST_P(ImageProbe, LoadReportsWhatDecodingGives) {
    TempDir dir;
    const Sample& s = GetParam();
    const std::string path = makeSample(s, dir);
    const std::string file = readFile(path);
    const auto format = fi::detectFormat(bytesOf(file));
    const fi::Bitmap decoded = fi::decode(bytesOf(file), format);
    const auto probed = fi::probe(bytesOf(file), format);
    ASSERT_EQ(probed.has_value(), s.readFromHeaders);
    if (probed) { // the object reports one resolution; the other must be right as well
        EXPECT_EQ(probed->dpiY, decoded.dpiY);
    }

    auto image = folimo::createObject<IXImage>(FOLIMO_IMAGE);
    ASSERT_EQ(image->Load(wide(path).c_str()), 0);
    int width = 0, height = 0;
    ASSERT_EQ(image->GetSize(&width, &height), 0);
    EXPECT_EQ(width, decoded.width);
    EXPECT_EQ(height, decoded.height);
    EXPECT_EQ(image->GetResolution(), decoded.dpiX > 0 ? int(decoded.dpiX) : 72);
    // The pixels, decoded now, are the same picture.
    void* data = nullptr;
    const int size = image->SaveToMemory(&data, 2, L"");
    ASSERT_GT(size, 0);
    image->FreeMemory(data);
    ASSERT_EQ(image->GetSize(&width, &height), 0);
    EXPECT_EQ(width, decoded.width);
    EXPECT_EQ(height, decoded.height);
}

INSTANTIATE_TEST_SUITE_P(Formats, ImageProbe, ::testing::ValuesIn(kSamples),
                         [](const auto& info) { return std::string(info.param.name); });

struct Damage {
    const char* name;
    const char* output;
    const char* convert;
    double from; // where the damage starts, as a share of the file
    bool cut;    // the file ends there; else a tenth of it is zeroed from there
};

// A TIFF keeps its directory at the end, so its strips are damaged in place.
const Damage kDamaged[] = {
    {"Jpeg", "a.jpg", "", 0.6, true},
    {"Png", "a.png", "", 0.6, true},
    {"Gif", "a.gif", "", 0.6, true},
    {"Bmp", "a.bmp", "", 0.6, true},
    {"Tiff", "a.tif", "-compress Zip", 0.4, false},
    {"Psd", "a.psd", "-compress None", 0.9, true},
    {"WebP", "a.webp", "", 0.7, true},
};

class DamagedPixels : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedPixels, LoadSucceedsAndSavingSaysWhatIsWrong) {
    TempDir dir;
    const Damage& d = GetParam();
    const std::string path = dir.file(d.output);
    makeImage("-seed 5 -size 300x200 plasma: " + std::string(d.convert), path);
    std::string file = readFile(path);
    const auto from = std::size_t(double(file.size()) * d.from);
    if (d.cut)
        file.resize(from);
    else
        file.replace(from, file.size() / 10, file.size() / 10, '\0');
    writeFile(path, file);

    Owned<CGDIPLUSImage> image(new CGDIPLUSImage);
    ASSERT_EQ(image->Load(wide(path).c_str()), 0) << image->LastError();
    int width = 0, height = 0;
    image->GetSize(&width, &height);
    EXPECT_EQ(width, 300);
    EXPECT_EQ(height, 200);
    void* data = nullptr;
    EXPECT_EQ(image->SaveToMemory(&data, 1, L""), 0);
    EXPECT_EQ(data, nullptr);
    EXPECT_NE(image->LastError().find("damaged"), std::string::npos) << image->LastError();
}

INSTANTIATE_TEST_SUITE_P(Formats, DamagedPixels, ::testing::ValuesIn(kDamaged),
                         [](const auto& info) { return std::string(info.param.name); });

class CutHeader : public ::testing::TestWithParam<Sample> {};

// Cut inside its headers, a file fails at Load, in the words decoding would use.
TEST_P(CutHeader, LoadFailsAsDecodingWould) {
    TempDir dir;
    const Sample& s = GetParam();
    const std::string path = makeSample(s, dir);
    // Shorter than any format's main header (a JBIG header is 20 bytes).
    const std::string head = readFile(path).substr(0, 16);
    writeFile(path, head);
    std::string expected;
    try {
        fi::decode(bytesOf(head));
    } catch (const fi::ImagingError& e) {
        expected = e.what();
    }
    ASSERT_FALSE(expected.empty());

    Owned<CGDIPLUSImage> image(new CGDIPLUSImage);
    EXPECT_EQ(image->Load(wide(path).c_str()), E_FAIL);
    EXPECT_EQ(image->LastError(), expected);
    int width = 0, height = 0;
    EXPECT_EQ(image->GetSize(&width, &height), E_FAIL);
}

INSTANTIATE_TEST_SUITE_P(Formats, CutHeader, ::testing::ValuesIn(kSamples),
                         [](const auto& info) { return std::string(info.param.name); });

struct Claim {
    const char* name;
    const char* output;
    std::size_t widthAt; // where the header keeps the width and the height
    std::size_t heightAt;
    std::string side; // a large side, stored as the header stores it
};

// Headers claiming pictures far beyond the limits, with a few pixels' data behind them.
const Claim kClaims[] = {
    {"Png", "a.png", 16, 20, std::string("\0\x01\x86\xA0", 4)},
    {"Bmp", "bmp3:a.bmp", 18, 22, std::string("\xA0\x86\x01\0", 4)},
    {"Gif", "a.gif", 6, 8, std::string("\xFF\xFF", 2)},
    {"Psd", "a.psd", 18, 14, std::string("\0\0\x75\x30", 4)},
};

class ClaimedSize : public ::testing::TestWithParam<Claim> {};

TEST_P(ClaimedSize, BeyondTheLimitsFailsAtLoad) {
    TempDir dir;
    const Claim& c = GetParam();
    const std::string output = c.output;
    const std::string path = dir.file(output.substr(output.find(':') + 1));
    makeImage("-size 8x8 xc:red", output.substr(0, output.find(':') + 1) + path);
    std::string file = readFile(path);
    file.replace(c.widthAt, c.side.size(), c.side);
    file.replace(c.heightAt, c.side.size(), c.side);
    if (std::string(c.name) == "Png") // libpng checks the header's CRC first
        file = joinPng(splitPng(file));
    writeFile(path, file);

    Owned<CGDIPLUSImage> image(new CGDIPLUSImage);
    EXPECT_EQ(image->Load(wide(path).c_str()), E_FAIL);
    EXPECT_NE(image->LastError().find("too large"), std::string::npos) << image->LastError();
}

INSTANTIATE_TEST_SUITE_P(Formats, ClaimedSize, ::testing::ValuesIn(kClaims),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
