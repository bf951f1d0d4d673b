// Photographs whose EXIF Orientation says how the stored rows are turned come out
// upright, whether the JPEG goes in unchanged or re-encoded.
#include "ImageFixtures.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

using namespace folimo::test;

std::string exifWithOrientation(int orientation) {
    // "Exif\0\0", then a little-endian TIFF header and one directory of one entry.
    std::string p("Exif\0\0II*\0\x08\0\0\0\x01\0", 16);
    p += std::string("\x12\x01\x03\0\x01\0\0\0", 8);
    p += static_cast<char>(orientation);
    p += std::string("\0\0\0\0\0\0\0", 7);
    return p;
}

class Orientation : public ::testing::TestWithParam<int> {};

TEST_P(Orientation, PagesShowThePictureUpright) {
    TempDir dir;
    int orientation = GetParam();
    // A picture with a mark in one corner, so every turn and mirror tells apart.
    std::string plain = dir.file("plain.jpg");
    makeImage("-size 48x32 gradient:red-blue -fill yellow -draw \"rectangle 0,0 12,8\" "
              "-quality 95",
              plain);
    std::string tagged = dir.file("tagged.jpg");
    writeFile(tagged, insertJpegSegment(readFile(plain), 0xE1, exifWithOrientation(orientation)));
    std::string upright = dir.file("upright.png");
    makeImage(shellQuote(tagged) + " -auto-orient", upright);
    Raster reference = decodeReference(upright);

    for (int unchanged = 0; unchanged < 2; ++unchanged) {
        auto engine = createEngine();
        engine->GetSettings()->SetImageMaxSize(unchanged ? -1 : 0, unchanged ? -1 : 0);
        engine->GetSettings()->SetJpegQuality(95);
        engine->AddFile(wide(tagged).c_str(), 0);
        std::string out = dir.file("out" + std::to_string(unchanged) + ".pdf");
        ASSERT_EQ(engine->Convert(wide(out).c_str(), nullptr), 1);
        EXPECT_TRUE(qpdfCheckClean(out));
        Raster page = renderPage(out, 1, 72);
        SCOPED_TRACE(unchanged ? "unchanged" : "re-encoded");
        ASSERT_EQ(page.width, reference.width);
        ASSERT_EQ(page.height, reference.height);
        EXPECT_LT(compareRasters(page, reference).mean, 4.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Exif, Orientation, ::testing::Range(1, 9));

} // namespace
