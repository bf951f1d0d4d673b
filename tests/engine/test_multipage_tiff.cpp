// Multi-page TIFF: every page becomes an image of its own in every layout and way, fax
// pages keep their CCITT coding, a damaged later page costs only itself and what
// follows it in its file; an animated GIF stays one picture.
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <memory>

namespace {

using namespace folimo::test;

void run(const std::string& commandLine) {
    auto r = runCommand(commandLine);
    ASSERT_EQ(r.exitCode, 0) << commandLine << "\n" << r.output;
}

struct TiffPage {
    const char* convertArguments; // the page alone, as ImageMagick makes it
    const char* tiffcpArguments;  // then rewritten by tiffcp with these
    int dpi;
};

// An RGB LZW page, a bilevel G4 page at 200 dpi in one strip, a grey Deflate page.
const TiffPage kPages[] = {
    {"-size 60x40 gradient:red-blue -density 72 -depth 8", "-c lzw", 72},
    {"-size 250x150 xc:white -fill black -draw 'circle 125,75 125,20' -draw 'rectangle "
     "10,10 60,140' -monochrome -density 200 -depth 1 -define quantum:polarity=min-is-white",
     "-c g4 -r 1000", 200},
    {"-size 50x70 gradient:white-black -colorspace Gray -density 72 -depth 8", "-c zip", 72},
};

class MultiPageTiff : public ::testing::Test {
protected:
    // The pages as files of their own, and the TIFF that holds them all.
    void SetUp() override {
        std::string all;
        for (int i = 0; i < 3; ++i) {
            pages.push_back(dir.file("page" + std::to_string(i) + ".tif"));
            makeImage(std::string(kPages[i].convertArguments) + " -units PixelsPerInch",
                      dir.file("made.tif"));
            run(std::string("tiffcp ") + kPages[i].tiffcpArguments + " " +
                shellQuote(dir.file("made.tif")) + " " + shellQuote(pages.back()));
            all += " " + shellQuote(pages.back());
        }
        tiff = dir.file("three.tif");
        run("tiffcp" + all + " " + shellQuote(tiff));
    }

    std::string convert(const std::vector<std::string>& inputs, RecordingProcess& process,
                        const std::string& name = "out.pdf") {
        for (const auto& input : inputs)
            engine->AddFile(wide(input).c_str(), 0);
        std::string out = dir.file(name);
        EXPECT_EQ(engine->Convert(wide(out).c_str(), &process), 1);
        EXPECT_TRUE(qpdfCheckClean(out));
        return out;
    }

    // Each directory's offset and where its pointer to the next one lies.
    std::vector<std::pair<std::size_t, std::size_t>> directories(const std::string& bytes) {
        std::unique_ptr<TIFF, decltype(&TIFFClose)> t(TIFFOpen(tiff.c_str(), "r"), TIFFClose);
        std::vector<std::pair<std::size_t, std::size_t>> found;
        do {
            std::size_t ifd = TIFFCurrentDirOffset(t.get());
            found.emplace_back(ifd,
                               ifd + 2 + 12 * (std::uint8_t(bytes[ifd]) | bytes[ifd + 1] << 8));
        } while (TIFFReadDirectory(t.get()));
        return found;
    }

    TempDir dir;
    Owned<IFolimo> engine = createEngine();
    std::vector<std::string> pages;
    std::string tiff;
};

TEST_F(MultiPageTiff, EveryPageRendersLikeItsOwnDecodeInEveryLayoutAndWay) {
    for (int fixed = 0; fixed < 2; ++fixed) {
        for (int unchanged = 0; unchanged < 2; ++unchanged) {
            SCOPED_TRACE((fixed ? "fixed page, " : "image-sized page, ") +
                         std::string(unchanged ? "unchanged" : "default JPEG"));
            engine->ClearFiles();
            IFolimoSettings* s = engine->GetSettings();
            // 234 points square puts each picture at whole pixels at its own resolution.
            s->SetCustomPageSize(fixed ? 234 : 0, fixed ? 234 : 0);
            s->SetImageMaxSize(unchanged ? -1 : 0, unchanged ? -1 : 0);
            s->SetJpegQuality(90);
            RecordingProcess process;
            std::string out = convert({tiff}, process, std::to_string(fixed * 2 + unchanged));
            EXPECT_EQ(process.events,
                      (std::vector<std::string>{"begin " + out, "file " + tiff + " 1", "end"}));
            ASSERT_EQ(pdfPageSizes(out).size(), 3u);
            // The fax page keeps CCITT coding whether it goes in unchanged or as JPEG.
            auto list = runCommand("pdfimages -list " + shellQuote(out)).output;
            EXPECT_NE(list.find(" ccitt "), std::string::npos) << list;
            for (int i = 0; i < 3; ++i) {
                Raster reference = decodeReference(pages[i]);
                Raster page = renderPage(out, i + 1, kPages[i].dpi);
                int top = fixed ? page.height - reference.height : 0;
                ASSERT_GE(top, 0);
                if (!fixed) {
                    ASSERT_EQ(page.width * 10000 + page.height,
                              reference.width * 10000 + reference.height);
                }
                Raster region{reference.width, reference.height, {}};
                for (int y = top; y < top + reference.height; ++y)
                    region.rgb.insert(region.rgb.end(), page.at(0, y),
                                      page.at(0, y) + 3 * reference.width);
                if (unchanged)
                    EXPECT_EQ(compareRasters(region, reference).max, 0) << "page " << i + 1;
                else
                    EXPECT_GT(psnr(region, reference), 28) << "page " << i + 1;
            }
        }
    }
}

TEST_F(MultiPageTiff, TwoPerPageTakesOneTiffPageAsOneImage) {
    engine->GetSettings()->SetPageSize(4);
    engine->GetSettings()->SetDoublePage(1);
    std::string jpg = dir.file("after.jpg");
    makeImage("-size 30x20 xc:green", jpg);
    RecordingProcess process;
    std::string out = convert({tiff, jpg}, process);
    EXPECT_EQ(process.count("file "), 2);
    EXPECT_EQ(pdfPageSizes(out).size(), 2u);
    auto list = runCommand("pdfimages -list " + shellQuote(out)).output;
    // Header lines, then one line per image: two on each page.
    EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 2 + 4) << list;
}

TEST_F(MultiPageTiff, FaxPagesPassThroughAsCcittWhereThatIsSafe) {
    struct Fax {
        const char* tiffcpArguments;
        const char* photometric; // tiffset's value for tag 262, or empty
        bool ccitt;
    } faxes[] = {
        {"-c g4 -r 1000", "", true},
        {"-c g3:1d -r 1000", "", true},
        {"-c g3:2d -r 1000", "", true},
        {"-c g3:2d:fill -r 1000", "", true},
        {"-c g4 -r 1000 -f lsb2msb", "", true},
        {"-c g4 -r 1000", "1", true},
        {"-c g4 -r 16", "", false},
    };
    engine->GetSettings()->SetImageMaxSize(-1, -1);
    int n = 0;
    for (const auto& fax : faxes) {
        SCOPED_TRACE(std::string(fax.tiffcpArguments) + " photometric " + fax.photometric);
        std::string path = dir.file("fax" + std::to_string(n) + ".tif");
        run(std::string("tiffcp ") + fax.tiffcpArguments + " " + shellQuote(pages[1]) + " " +
            shellQuote(path));
        if (*fax.photometric)
            run(std::string("tiffset -s 262 ") + fax.photometric + " " + shellQuote(path));
        engine->ClearFiles();
        RecordingProcess process;
        std::string out = convert({path}, process, "fax" + std::to_string(n++) + ".pdf");
        EXPECT_EQ(process.count("error"), 0);
        auto list = runCommand("pdfimages -list " + shellQuote(out)).output;
        EXPECT_EQ(list.find(" ccitt ") != std::string::npos, fax.ccitt) << list;
        EXPECT_EQ(compareRasters(renderPage(out, 1, 200), decodeReference(path)).max, 0);
    }
}

TEST_F(MultiPageTiff, ADamagedLaterPageIsReportedAndTheEarlierPagesKept) {
    std::string bytes = readFile(tiff);
    auto ifd = directories(bytes);
    ASSERT_EQ(ifd.size(), 3u);
    std::string jpg = dir.file("after.jpg");
    makeImage("-size 30x20 xc:green", jpg);
    auto second = std::uint32_t(ifd[1].first);
    struct Damage {
        const char* name;
        std::string bytes;
        std::size_t pages; // of the TIFF that come out
    } damages[] = {
        // The third directory cut off after its entry count.
        {"cut.tif", bytes.substr(0, ifd[2].first + 2), 2},
        // The third directory's next pointer leads back to the second.
        {"loop.tif",
         bytes.substr(0, ifd[2].second) + std::string(reinterpret_cast<char*>(&second), 4) +
             bytes.substr(ifd[2].second + 4),
         3},
    };
    for (int unchanged = 0; unchanged < 2; ++unchanged) {
        for (const auto& damage : damages) {
            SCOPED_TRACE(std::string(damage.name) + (unchanged ? " unchanged" : " JPEG"));
            std::string path = dir.file(damage.name);
            writeFile(path, damage.bytes);
            engine->ClearFiles();
            engine->GetSettings()->SetImageMaxSize(unchanged ? -1 : 0, unchanged ? -1 : 0);
            RecordingProcess process;
            std::string out =
                convert({path, jpg}, process, damage.name + std::to_string(unchanged));
            EXPECT_EQ(pdfPageSizes(out).size(), damage.pages + 1);
            ASSERT_EQ(process.count("error "), 1);
            EXPECT_EQ(process.events[1], "file " + path + " 1");
            std::string page = "page " + std::to_string(damage.pages + 1) + " of the image '";
            EXPECT_NE(process.events[2].find(page + path + "'"), std::string::npos)
                << process.events[2];
            EXPECT_EQ(process.events[3], "file " + jpg + " 1");
        }
    }
}

TEST_F(MultiPageTiff, AnAnimatedGifGivesItsFirstFrameOnly) {
    std::string gif = dir.file("anim.gif");
    makeImage("-delay 10 -size 40x30 xc:red xc:blue xc:lime", gif);
    for (int unchanged = 0; unchanged < 2; ++unchanged) {
        engine->ClearFiles();
        engine->GetSettings()->SetImageMaxSize(unchanged ? -1 : 0, unchanged ? -1 : 0);
        RecordingProcess process;
        std::string out = convert({gif}, process, std::to_string(unchanged));
        EXPECT_EQ(process.count("error"), 0);
        ASSERT_EQ(pdfPageSizes(out).size(), 1u);
        Raster page = renderPage(out, 1, 72);
        EXPECT_GT(page.at(20, 15)[0], 240);
        EXPECT_LT(page.at(20, 15)[2], 15);
    }
}

} // namespace
