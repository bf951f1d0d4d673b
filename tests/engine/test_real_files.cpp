// The engine and folimo-cli on what real users have: file names that are not UTF-8,
// missing files, pages larger than viewers take, imported pages of mixed sizes and
// transparent watermarks.
#include "ImageFixtures.h"
#include "TestSupport.h"

#include <folimo/WideText.h>
#include <gtest/gtest.h>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFOutlineDocumentHelper.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

#include <algorithm>
#include <sys/stat.h>

namespace {

using namespace folimo::test;

std::string jpegFile(const TempDir& dir, const std::string& name, int width = 40, int height = 30) {
    JpegParams p;
    p.width = width;
    p.height = height;
    writeFile(dir.file(name), makeJpeg(p));
    return dir.file(name);
}

int pageCount(const std::string& pdf) {
    return std::stoi(pdfInfoField(pdf, "Pages").empty() ? "0" : pdfInfoField(pdf, "Pages"));
}

TEST(WideText, EveryByteStringSurvivesTheWayThroughWideText) {
    const std::string cases[] = {
        "plain.jpg",         "caf\xe9.jpg",     "\xff\xfe",
        "中文.png",          "\xe4\xb8",        "a\xc3",
        "\xc0\xaf",          "\xed\xa0\x80",    "\xf4\x90\x80\x80",
        "\xe2\x82\xac\x80x", "end\xf0\x9f\x98", "\xf0\x9f\x98\x80",
    };
    for (const std::string& bytes : cases)
        EXPECT_EQ(folimo::toUtf8(folimo::fromUtf8(bytes)), bytes) << bytes;
    EXPECT_EQ(folimo::fromUtf8("\xe2\x82\xac"), L"€");
    EXPECT_EQ(folimo::displayText(folimo::fromUtf8("caf\xe9\x81.jpg")), L"café\xFFFD.jpg");
}

TEST(RealFiles, NamesThatAreNotUtf8AreConvertedAndShownReadably) {
    TempDir dir;
    std::string folder = dir.file("photos");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    jpegFile(dir, "photos/caf\xe9.jpg");
    jpegFile(dir, "photos/b.jpg");
    makeImage("-size 12x12 xc:blue", dir.file("logo\xe9.png"));
    std::string out = dir.file("r\xe9sum\xe9.pdf");
    CliResult r = runCli(dir, "-o " + shellQuote(out) + " --bookmarks --image-watermark " +
                                  shellQuote(dir.file("logo\xe9.png")) + " " + shellQuote(folder));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(fileExists(out)) << r.out;
    EXPECT_TRUE(qpdfCheckClean(out));
    EXPECT_EQ(pageCount(out), 2);

    QPDF pdf;
    pdf.processFile(out.c_str());
    auto outlines = QPDFOutlineDocumentHelper(pdf).getTopLevelOutlines();
    ASSERT_EQ(outlines.size(), 2u);
    EXPECT_EQ(outlines[1].getTitle(), "café");
    // The watermark image is on both pages beside the photo.
    for (auto& page : QPDFPageDocumentHelper(pdf).getAllPages())
        EXPECT_EQ(page.getImages().size(), 2u);

    // Scripts get the name back byte for byte, as surrogate escapes.
    r = runCli(dir, "--json -o " + shellQuote(dir.file("j.pdf")) + " " + shellQuote(folder));
    EXPECT_NE(r.out.find("photos/caf\\udce9.jpg\""), std::string::npos) << r.out;
}

TEST(RealFiles, AMissingInputIsReportedAndNeverTakenFromElsewhere) {
    // A file of the same name under ../data once stood in for a missing input.
    TempDir dir;
    for (const char* sub : {"work", "data"})
        ASSERT_EQ(::mkdir(dir.file(sub).c_str(), 0700), 0);
    jpegFile(dir, "data/gone.jpg");
    jpegFile(dir, "work/here.jpg");
    for (const char* encode : {"unchanged", "jpeg", "png"}) {
        SCOPED_TRACE(encode);
        std::string out = dir.file(std::string(encode) + ".pdf");
        CliResult r =
            runCli(dir, "-o " + shellQuote(out) + " --encode " + encode + " gone.jpg here.jpg",
                   "cd " + shellQuote(dir.file("work")) + " &&");
        EXPECT_EQ(r.exitCode, 3) << r.err;
        EXPECT_NE(r.err.find("gone.jpg"), std::string::npos) << r.err;
        EXPECT_EQ(pageCount(out), 1);
    }
}

TEST(RealFiles, APageTooLargeForViewersKeepsTheRunAndItsSize) {
    TempDir dir;
    jpegFile(dir, "a.jpg");
    PngParams banner;
    banner.width = 140000;
    banner.height = 2;
    banner.pixelsPerMetre = 40; // 1 dpi
    writeFile(dir.file("long.png"), makePng(banner));
    jpegFile(dir, "c.jpg");
    std::string out = dir.file("out.pdf");
    CliResult r =
        runCli(dir, "-o " + shellQuote(out) + " " + shellQuote(dir.file("a.jpg")) + " " +
                        shellQuote(dir.file("long.png")) + " " + shellQuote(dir.file("c.jpg")));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(qpdfCheckClean(out));
    ASSERT_EQ(pageCount(out), 3);

    QPDF pdf;
    pdf.processFile(out.c_str());
    auto pages = QPDFPageDocumentHelper(pdf).getAllPages();
    QPDFObjectHandle box = pages[1].getObjectHandle().getKey("/MediaBox");
    QPDFObjectHandle unit = pages[1].getObjectHandle().getKey("/UserUnit");
    ASSERT_TRUE(unit.isNumber());
    double width = box.getArrayItem(2).getNumericValue();
    EXPECT_LE(width, 14400);
    EXPECT_LE(box.getArrayItem(3).getNumericValue(), 14400);
    // 140000 pixels at 1 dpi are 10,080,000 points, and stay so.
    EXPECT_NEAR(width * unit.getNumericValue(), 140000 * 72.0, 140000 * 72.0 * 0.001);
    EXPECT_FALSE(pages[0].getObjectHandle().hasKey("/UserUnit"));
}

TEST(RealFiles, WatermarksLandOnEveryImportedPageWhateverItsSize) {
    TempDir dir;
    makePdf(dir.file("mixed.pdf"), {{612, 792}, {300, 200}, {792, 612}, {200, 1400}});
    std::string out = dir.file("out.pdf");
    CliResult r = runCli(dir, "-o " + shellQuote(out) + " --text-watermark STAMP " +
                                  shellQuote(dir.file("mixed.pdf")));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(qpdfCheckClean(out));
    for (int page = 1; page <= 4; ++page) {
        auto text = runCommand("pdftotext -f " + std::to_string(page) + " -l " +
                               std::to_string(page) + " " + shellQuote(out) + " -");
        EXPECT_NE(text.output.find("STAMP"), std::string::npos) << "page " << page;
        EXPECT_NE(text.output.find("Page " + std::to_string(page)), std::string::npos);
    }
}

TEST(RealFiles, ATransparentWatermarkShowsThePageThroughIt) {
    TempDir dir;
    makeImage("-size 200x200 xc:red", dir.file("page.png"));
    // Transparent but for a black square in its middle.
    makeImage("-size 60x60 xc:none -fill black -draw 'rectangle 20,20 39,39'",
              dir.file("mark.png"));
    std::string out = dir.file("out.pdf");
    // The default settings re-encode the pages as JPEG; the watermark must not follow.
    CliResult r = runCli(dir, "-o " + shellQuote(out) + " --image-watermark " +
                                  shellQuote(dir.file("mark.png")) + " --image-position 0,0 " +
                                  shellQuote(dir.file("page.png")));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(qpdfCheckClean(out));
    Raster page = renderPage(out, 1, 72);
    ASSERT_EQ(page.width, 200);
    const unsigned char* corner = page.at(5, 5);
    EXPECT_GT(corner[0], 200);
    EXPECT_LT(corner[1], 60) << "the page does not show through the watermark";
    const unsigned char* middle = page.at(30, 30);
    EXPECT_LT(middle[0] + middle[1] + middle[2], 60);
}

TEST(RealFiles, AnErrorIsToldOnceAndOnlyToWhoeverListens) {
    TempDir dir;
    auto engine = createEngine();
    engine->AddFile(wide(jpegFile(dir, "a.jpg")).c_str(), 0);
    std::wstring out = wide(dir.file("no/such/folder/out.pdf"));
    RecordingProcess process;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(engine->Convert(out.c_str(), &process), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(process.count("error Error: "), 1);

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(engine->Convert(out.c_str(), nullptr), 0);
    std::string line = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(line.rfind("Error: ", 0), 0u) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
}

} // namespace
