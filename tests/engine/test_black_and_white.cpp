// Black-and-white pages (scans, faxes) asked for as JPEG or grey JPEG go in as CCITT
// Group 4: every pixel kept where they keep their size, still black and white where
// they shrink, and a fraction of the JPEG they used to become.
#include "ReencodeJob.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <latch>
#include <memory>
#include <sstream>
#include <thread>

namespace {

using namespace folimo::test;

// The first image row of `pdfimages -list`: width, height, colour, bits, encoding.
struct Listed {
    int width = 0;
    int height = 0;
    std::string colour;
    int bpc = 0;
    std::string encoding;
    int xppi = 0;
    int images = 0;
};

Listed listFirstImage(const std::string& pdf) {
    std::istringstream in(runCommand("pdfimages -list " + shellQuote(pdf)).output);
    std::string line;
    Listed l;
    for (int n = 0; std::getline(in, line); ++n) {
        if (n < 2)
            continue;
        if (++l.images > 1)
            continue;
        std::istringstream f(line);
        std::string page, num, type, interpolate, object, generation;
        int components = 0;
        f >> page >> num >> type >> l.width >> l.height >> l.colour >> components >> l.bpc >>
            l.encoding >> interpolate >> object >> generation >> l.xppi;
    }
    return l;
}

// The coded data of a TIFF's one strip, as it stands in the file.
std::string rawStrip(const std::string& path) {
    std::unique_ptr<TIFF, decltype(&TIFFClose)> t(TIFFOpen(path.c_str(), "r"), TIFFClose);
    if (!t || TIFFNumberOfStrips(t.get()) != 1)
        return "";
    std::string data(std::size_t(TIFFRawStripSize(t.get(), 0)), '\0');
    TIFFReadRawStrip(t.get(), 0, data.data(), tmsize_t(data.size()));
    return data;
}

void run(const std::string& commandLine) {
    auto r = runCommand(commandLine);
    ASSERT_EQ(r.exitCode, 0) << commandLine << "\n" << r.output;
}

// A text page at 100 dpi, as a scanner gives it in one bit a pixel.
// Whole points at its resolution (576 x 792), so that a render meets its pixels.
constexpr int kWidth = 800, kHeight = 1100, kDpi = 100;

const char* const kText = "Black and white pages are coded as faxes\\n"
                          "lossless, sharp and small, whatever JPEG\\n"
                          "setting is chosen for the other pictures.\\n"
                          "0123456789 ABCDEFGHIJKLM nopqrstuvwxyz";

class BlackAndWhite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        std::string page =
            "-size " + std::to_string(kWidth) + "x" + std::to_string(kHeight) +
            " xc:white -fill black -font \"$(fc-match -f %{file} sans)\" -pointsize 17";
        for (int y = 60; y < kHeight - 60; y += 100)
            page += " -annotate +50+" + std::to_string(y) + " '" + kText + "'";
        page += " -draw 'rectangle 40,1100 780,1102' -threshold 50% -units PixelsPerInch "
                "-density " +
                std::to_string(kDpi);
        makeImage(page + " -monochrome -compress Group4", dir->file("g4.tif"));
        makeImage(page + " -monochrome -compress Group4 -define quantum:polarity=min-is-black",
                  dir->file("g4-black-is-1.tif"));
        // Many strips, each coded on its own: not one coded image a PDF can carry.
        run("tiffcp -c g4 -r 64 " + shellQuote(dir->file("g4.tif")) + " " +
            shellQuote(dir->file("g4-strips.tif")));
        makeImage(page + " -monochrome -define png:bit-depth=1 -define png:color-type=0",
                  dir->file("grey1.png"));
        // A palette whose first entry is white.
        makeImage(page + " -monochrome -define png:bit-depth=1 -define png:color-type=3",
                  dir->file("palette1.png"));
        makeImage(page + " -type bilevel", dir->file("page.bmp"));
        makeImage(page + " -monochrome", dir->file("page.gif"));
        // The same page in eight-bit grey: what any JPEG setting takes as a picture.
        makeImage(page + " -depth 8 -define png:color-type=0", dir->file("grey8.png"));
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }

    std::string convert(const std::string& input, int code, int maxWidth, RecordingProcess& process,
                        int dpi = 0) {
        Owned<IFolimo> engine = createEngine();
        IFolimoSettings* s = engine->GetSettings();
        s->SetDpi(dpi);
        s->SetImageEncode(code);
        s->SetImageMaxSize(maxWidth, maxWidth == -1 ? -1 : 0);
        engine->AddFile(wide(input).c_str(), 0);
        std::string out = dir->file("out" + std::to_string(runs++) + ".pdf");
        EXPECT_EQ(engine->Convert(wide(out).c_str(), &process), 1);
        return out;
    }

    static TempDir* dir;
    static int runs;
};

TempDir* BlackAndWhite::dir = nullptr;
int BlackAndWhite::runs = 0;

TEST_F(BlackAndWhite, PagesGoInAsGroup4WholeOrShrunkAndStaySharpAndSmall) {
    struct Input {
        const char* name;
        int dpi; // GIF has none: a pixel a point
    } inputs[] = {{"g4.tif", kDpi},    {"g4-black-is-1.tif", kDpi}, {"g4-strips.tif", kDpi},
                  {"grey1.png", kDpi}, {"palette1.png", kDpi},      {"page.bmp", kDpi},
                  {"page.gif", 72}};
    struct Setting {
        int code;     // JPEG or grey JPEG
        int maxWidth; // 0: the page keeps its size
    } settings[] = {{1, 0}, {2, 0}, {1, 500}, {2, 500}};
    for (const Setting& setting : settings) {
        RecordingProcess jpegProcess;
        const std::string jpeg =
            convert(dir->file("grey8.png"), setting.code, setting.maxWidth, jpegProcess);
        ASSERT_EQ(listFirstImage(jpeg).encoding, "jpeg");
        for (const auto& [input, dpi] : inputs) {
            SCOPED_TRACE(std::string(input) + " code " + std::to_string(setting.code) +
                         " max width " + std::to_string(setting.maxWidth));
            const std::string path = dir->file(input);
            RecordingProcess process;
            const std::string out = convert(path, setting.code, setting.maxWidth, process);
            EXPECT_EQ(process.count("error"), 0);
            EXPECT_TRUE(qpdfCheckClean(out));
            const Listed image = listFirstImage(out);
            EXPECT_EQ(image.images, 1);
            EXPECT_EQ(image.encoding, "ccitt");
            EXPECT_EQ(image.colour, "gray");
            EXPECT_EQ(image.bpc, 1);
            // A third of the JPEG of the same page, shrunk or not (at 300 dpi, less than
            // an eighth).
            EXPECT_LT(readFile(out).size() * 3, readFile(jpeg).size());
            const Raster reference = decodeReference(path);
            if (setting.maxWidth == 0) {
                EXPECT_EQ(image.width * 10000 + image.height, kWidth * 10000 + kHeight);
                const Raster page = renderPage(out, 1, dpi);
                EXPECT_EQ(compareRasters(page, reference).max, 0);
                // A page coded Group 4 in one strip keeps its very bytes.
                const std::string prefix = dir->file("ccitt" + std::to_string(runs));
                run("pdfimages -ccitt " + shellQuote(out) + " " + shellQuote(prefix));
                const std::string strip = rawStrip(path);
                EXPECT_EQ(readFile(prefix + "-000.ccitt") == strip,
                          !strip.empty() && std::string(input) != "g4-strips.tif");
                continue;
            }
            // 800 x 1100 into a width of 500: 500 x 687, black and white. Beside the page
            // shrunk alike by an independent resizer, the text reads the same: few pixels
            // differ, and only along the strokes' edges.
            EXPECT_EQ(image.width * 10000 + image.height, 500 * 10000 + 687);
            const std::string shrunk = dir->file("shrunk" + std::to_string(runs) + ".png");
            run("convert " + shellQuote(path) + " -filter box -resize 500x687! -threshold 50% " +
                shellQuote(shrunk));
            run("pdfimages -png " + shellQuote(out) + " " + shellQuote(shrunk + "-out"));
            const Raster page = decodeReference(shrunk + "-out-000.png");
            const Raster expected = decodeReference(shrunk);
            ASSERT_EQ(page.width * 10000 + page.height, expected.width * 10000 + expected.height);
            int differing = 0;
            for (std::size_t i = 0; i < page.rgb.size(); i += 3)
                differing += page.rgb[i] != expected.rgb[i];
            EXPECT_LT(differing, page.width * page.height / 50);
        }
    }
}

TEST_F(BlackAndWhite, TheResolutionSetGoesWithThePageKeptOrCodedAnew) {
    for (const char* input : {"g4.tif", "g4-strips.tif", "grey1.png"}) {
        for (int maxWidth : {0, 500}) {
            SCOPED_TRACE(std::string(input) + " max width " + std::to_string(maxWidth));
            RecordingProcess process;
            const std::string out = convert(dir->file(input), 1, maxWidth, process, 200);
            const Listed image = listFirstImage(out);
            EXPECT_EQ(image.encoding, "ccitt");
            EXPECT_EQ(image.xppi, 200);
            EXPECT_TRUE(qpdfCheckClean(out));
        }
    }
}

TEST_F(BlackAndWhite, PicturesInTwoColoursOtherThanBlackAndWhiteStayJpeg) {
    const std::string path = dir->file("blue.png");
    makeImage("-size 64x48 xc:white -fill navy -draw 'rectangle 8,8 40,30' -colors 2 -define "
              "png:bit-depth=1 -define png:color-type=3",
              path);
    RecordingProcess process;
    const std::string out = convert(path, 1, 0, process);
    EXPECT_EQ(process.count("error"), 0);
    EXPECT_EQ(listFirstImage(out).encoding, "jpeg");
}

TEST_F(BlackAndWhite, OtherEncodingsKeepTheirOwnLosslessCoding) {
    // Unchanged, PNG, GIF and TIFF: Flate samples, every pixel kept (GIF has no
    // resolution: a pixel a point).
    const std::string path = dir->file("grey1.png");
    for (int code : {0, 3, 4, 5}) {
        SCOPED_TRACE("code " + std::to_string(code));
        RecordingProcess process;
        const std::string out = convert(path, code, code == 0 ? -1 : 0, process);
        EXPECT_EQ(process.count("error"), 0);
        EXPECT_EQ(listFirstImage(out).encoding, "image");
        const Raster page = renderPage(out, 1, code == 4 ? 72 : kDpi);
        EXPECT_EQ(compareRasters(page, decodeReference(path)).max, 0);
    }
}

// A page of width x height bits, white but for a black bar, coded G4 by libtiff in
// strips of `rowsPerStrip` rows.
void writeLargeFax(const std::string& path, int width, int height, int rowsPerStrip) {
    std::unique_ptr<TIFF, decltype(&TIFFClose)> t(TIFFOpen(path.c_str(), "w"), TIFFClose);
    ASSERT_TRUE(t);
    TIFFSetField(t.get(), TIFFTAG_IMAGEWIDTH, std::uint32_t(width));
    TIFFSetField(t.get(), TIFFTAG_IMAGELENGTH, std::uint32_t(height));
    TIFFSetField(t.get(), TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t.get(), TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t.get(), TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(t.get(), TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(t.get(), TIFFTAG_ROWSPERSTRIP, std::uint32_t(rowsPerStrip));
    TIFFSetField(t.get(), TIFFTAG_XRESOLUTION, 300.0);
    TIFFSetField(t.get(), TIFFTAG_YRESOLUTION, 300.0);
    TIFFSetField(t.get(), TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    std::vector<std::uint8_t> row(std::size_t(width + 7) / 8, 0);
    for (std::size_t x = 10; x < 20; ++x)
        row[x] = 0xFF;
    for (int y = 0; y < height; ++y)
        ASSERT_EQ(TIFFWriteScanline(t.get(), row.data(), std::uint32_t(y), 0), 1);
}

TEST(BlackAndWhiteJobs, LargeFaxPagesTakeTheirBitsFromTheMemoryBudget) {
    // A few kilobytes of G4 that hold 25 MB of bits: decoded, coded again and handed
    // over, two of them at once would hold more than the budget, so they run one at a
    // time, as large pictures of any other kind do.
    TempDir dir;
    const std::string path = dir.file("large.tif");
    writeLargeFax(path, 14000, 14000, 14000);
    ASSERT_LT(readFile(path).size(), 100000u);
    reencodeMostAtOnce();
    std::latch start(2);
    std::atomic<int> faxes{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            ReencodeParams params;
            params.path = wide(path);
            params.quality = 30;
            start.arrive_and_wait();
            const ReencodeResult result = reencode(params);
            const auto* bytes = static_cast<const unsigned char*>(result.data.get());
            if (result.size > 4 && bytes[0] == 'I' && bytes[1] == 'I')
                ++faxes;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(faxes, 2);
    EXPECT_EQ(reencodeMostAtOnce(), 1);
}

TEST(BlackAndWhiteJobs, PagesTooLargeToDecodeWholeAtFourBytesAPixelAreFaxesToo) {
    // 6000 x 4000 at four bytes a pixel is beyond 64 MB, so a picture in colour would go
    // to JPEG a band at a time; at a bit a pixel the page fits whole.
    TempDir dir;
    const std::string path = dir.file("wide.tif");
    writeLargeFax(path, 6000, 4000, 256);
    for (const char* encode : {"jpeg", "gray-jpeg"}) {
        SCOPED_TRACE(encode);
        const std::string out = dir.file(std::string(encode) + ".pdf");
        const CliResult r = runCli(dir, "-q --max-memory 64M --encode " + std::string(encode) +
                                            " -o " + shellQuote(out) + " " + shellQuote(path));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(qpdfCheckClean(out));
        const Listed image = listFirstImage(out);
        EXPECT_EQ(image.encoding, "ccitt");
        EXPECT_EQ(image.width * 10000 + image.height, 6000 * 10000 + 4000);
    }
}

} // namespace
