// Inputs turned from the command line: each turn lands on its input's pages, a JPEG's
// data goes in as it stands, and a turn that is not a quarter is refused.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

using namespace folimo::test;

// Where the page's darkest corner is, as "top left", "bottom right", ...
std::string inkCorner(const Raster& r) {
    long left = 0, top = 0, count = 0;
    for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x)
            if (r.at(x, y)[0] < 128)
                left += x, top += y, ++count;
    if (count == 0)
        return "none";
    return std::string(top / count < r.height / 2 ? "top " : "bottom ") +
           (left / count < r.width / 2 ? "left" : "right");
}

TEST(CliRotate, EachTurnLandsOnItsInputsPagesAndJpegDataStaysAsItIs) {
    TempDir dir;
    // 4 x 3 inches, ink in the top left corner.
    const std::string photo = dir.file("photo.jpg");
    makeImage("-size 400x300 xc:white -fill black -draw 'rectangle 0,0 100,50' -density 100 "
              "-units PixelsPerInch",
              photo);
    makePdf(dir.file("doc.pdf"), {{200, 100}});
    ASSERT_EQ(::mkdir(dir.file("pics").c_str(), 0700), 0);
    writeFile(dir.file("pics/1.jpg"), readFile(photo));
    writeFile(dir.file("pics/2.jpg"), readFile(photo));
    const std::string out = dir.file("out.pdf");
    CliResult r = runCli(dir, "-q --encode unchanged -o " + shellQuote(out) +
                                  " --rotate 1=90 --rotate 2=90 --rotate 3=180 --rotate 4=270 " +
                                  shellQuote(photo) + " " + shellQuote(dir.file("doc.pdf")) + " " +
                                  shellQuote(dir.file("pics")) + " " + shellQuote(photo) + " " +
                                  shellQuote(photo));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(qpdfCheckClean(out));

    const struct {
        double width, height;
        const char* ink;
    } pages[] = {{216, 288, "top right"},    {100, 200, nullptr},       {288, 216, "bottom right"},
                 {288, 216, "bottom right"}, {216, 288, "bottom left"}, {288, 216, "top left"}};
    const std::vector<PageSize> sizes = pdfPageSizes(out);
    ASSERT_EQ(sizes.size(), std::size(pages));
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        SCOPED_TRACE("page " + std::to_string(i + 1));
        EXPECT_NEAR(sizes[i].width, pages[i].width, 1);
        EXPECT_NEAR(sizes[i].height, pages[i].height, 1);
        if (pages[i].ink) {
            EXPECT_EQ(inkCorner(renderPage(out, int(i) + 1, 20)), pages[i].ink);
        }
    }
    // The page turns, not the picture: every photo's data is the file's own.
    ASSERT_EQ(
        std::system(("cd " + shellQuote(dir.path()) + " && pdfimages -all out.pdf img").c_str()),
        0);
    for (int n = 0; n < 5; ++n)
        EXPECT_EQ(readFile(dir.file("img-00" + std::to_string(n) + ".jpg")), readFile(photo)) << n;

    // A document per image keeps its input's turn.
    r = runCli(dir, "-q --mode per-image -o " + shellQuote(dir.file("each/")) + " --rotate 1=90 " +
                        shellQuote(photo));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<PageSize> each = pdfPageSizes(dir.file("each/photo.pdf"));
    ASSERT_EQ(each.size(), 1u);
    EXPECT_NEAR(each[0].width, 216, 1);

    for (const char* wrong : {"1=45", "0=90", "1=-90", "1", "2=90"}) {
        r = runCli(dir, "-o " + shellQuote(dir.file("no.pdf")) + " --rotate " + wrong + " " +
                            shellQuote(photo));
        EXPECT_EQ(r.exitCode, 2) << wrong;
        EXPECT_NE(r.err.find("--rotate"), std::string::npos) << r.err;
        EXPECT_FALSE(fileExists(dir.file("no.pdf")));
    }
}

} // namespace
