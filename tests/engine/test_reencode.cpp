// How input images reach the PDF: unchanged or re-encoded, shrunk, grey, with a
// resolution; and the image object of the factory.
#include "CGDIPLUSImage.h"
#include "ReencodeJob.h"
#include "TestSupport.h"

#include <folimo/WideText.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <latch>
#include <sstream>
#include <sys/resource.h>
#include <thread>

namespace {

using namespace folimo::test;

// One row of `pdfimages -list`.
struct ListedImage {
    std::string type; // "image" or "smask"
    int width = 0;
    int height = 0;
    std::string colour; // "rgb", "gray", "index", "cmyk"
    int bpc = 0;
    std::string encoding; // "jpeg", "image"
    int xppi = 0;
};

std::vector<ListedImage> listImages(const std::string& pdf) {
    auto r = runCommand("pdfimages -list " + shellQuote(pdf));
    std::istringstream in(r.output);
    std::string line;
    std::vector<ListedImage> images;
    int n = 0;
    while (std::getline(in, line)) {
        if (++n <= 2)
            continue;
        std::istringstream f(line);
        std::string page, num, interp, object, id, y;
        ListedImage i;
        int comp = 0;
        f >> page >> num >> i.type >> i.width >> i.height >> i.colour >> comp >> i.bpc >>
            i.encoding >> interp >> object >> id >> i.xppi;
        images.push_back(i);
    }
    return images;
}

class Reencode : public ::testing::Test {
protected:
    void SetUp() override {
        engine = createEngine();
        settings = engine->GetSettings();
    }
    std::string convertOne(const std::string& input, RecordingProcess* process = nullptr) {
        engine->ClearFiles();
        engine->AddFile(wide(input).c_str(), 0);
        std::string out = dir.file("out" + std::to_string(runs++) + ".pdf");
        engine->Convert(wide(out).c_str(), process);
        return out;
    }
    std::string image(const std::string& name, const std::string& arguments) {
        std::string path = dir.file(name);
        makeImage(arguments, path);
        return path;
    }
    TempDir dir;
    Owned<IFolimo> engine;
    IFolimoSettings* settings = nullptr;
    int runs = 0;
};

TEST_F(Reencode, DefaultSettingsReencodeAsJpeg) {
    // Code 0 with the limits 0, 0 is not "unchanged": the default code applies.
    std::string png = image("a.png", "-size 64x48 gradient:red-blue");
    auto images = listImages(convertOne(png));
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].encoding, "jpeg");
    EXPECT_EQ(images[0].width, 64);
}

TEST_F(Reencode, UnchangedOnlyWithBothLimitsOff) {
    std::string png = image("a.png", "-size 64x48 gradient:red-blue -depth 8");
    settings->SetImageMaxSize(-1, -1);
    auto images = listImages(convertOne(png));
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].encoding, "image"); // PNG data passed through as Flate
    settings->SetImageMaxSize(-1, 0);
    EXPECT_EQ(listImages(convertOne(png))[0].encoding, "jpeg");
}

TEST_F(Reencode, UnchangedFallsBackToTheDefaultCodeForWhatThePdfCannotTake) {
    std::string webp = image("a.webp", "-size 40x30 gradient:red-blue");
    settings->SetImageMaxSize(-1, -1);
    settings->SetDefaultImageEncode(3);
    RecordingProcess process;
    auto images = listImages(convertOne(webp, &process));
    EXPECT_EQ(process.count("error"), 0);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].encoding, "image");
    EXPECT_EQ(images[0].width, 40);
}

TEST_F(Reencode, GifTiffAndBmpGoInUnchangedThroughTheImagingService) {
    settings->SetImageMaxSize(-1, -1);
    settings->SetDefaultImageEncode(1);
    for (const char* name : {"a.gif", "a.tif", "a.bmp"}) {
        std::string path = image(name, "-size 30x20 xc:orange");
        auto images = listImages(convertOne(path));
        ASSERT_EQ(images.size(), 1u) << name;
        EXPECT_EQ(images[0].encoding, "image") << name;
    }
}

TEST_F(Reencode, MaximumSizeShrinksKeepingTheShape) {
    std::string big = image("big.jpg", "-size 400x300 xc:teal");
    struct Case {
        int maxW, maxH, w, h;
    } cases[] = {{100, 0, 100, 75}, {0, 0, 400, 300},    {500, 500, 400, 300},
                 {0, 60, 80, 60},   {100, 100, 100, 75}, {-1, 0, 400, 300}};
    for (const auto& c : cases) {
        settings->SetImageMaxSize(c.maxW, c.maxH);
        auto images = listImages(convertOne(big));
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(images[0].width, c.w) << c.maxW << "," << c.maxH;
        EXPECT_EQ(images[0].height, c.h) << c.maxW << "," << c.maxH;
    }
    std::string wide = image("wide.png", "-size 300x100 xc:teal");
    settings->SetImageMaxSize(100, 100);
    auto images = listImages(convertOne(wide));
    EXPECT_EQ(images[0].width, 100);
    EXPECT_EQ(images[0].height, 33);
}

TEST_F(Reencode, DpiSetsTheResolutionOfReencodedImages) {
    std::string img = image("a.png", "-size 300x150 xc:navy -units PixelsPerInch -density 72");
    settings->SetDpi(300);
    auto sizes = pdfPageSizes(convertOne(img));
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0].width, 72);
    EXPECT_EQ(sizes[0].height, 36);
    for (int keep : {0, -1}) {
        settings->SetDpi(keep);
        std::string at150 = image("b" + std::to_string(keep + 1) + ".png",
                                  "-size 300x150 xc:navy -units PixelsPerInch -density 150");
        auto kept = pdfPageSizes(convertOne(at150));
        EXPECT_EQ(kept[0].width, 144) << keep;
    }
}

TEST_F(Reencode, GreyJpegFromColourAndFromIndexedGrey) {
    settings->SetImageEncode(2);
    std::string colour = image("c.png", "-size 40x40 gradient:red-blue");
    auto images = listImages(convertOne(colour));
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].colour, "gray");
    EXPECT_EQ(images[0].encoding, "jpeg");
    std::string out = convertOne(colour);
    Raster r = renderPage(out, 1, 72);
    // ImageMagick's gradient runs from red at the top to blue at the bottom; the
    // weights make pure red grey 76 and pure blue grey 28.
    EXPECT_NEAR(r.at(20, 0)[0], 76, 6);
    EXPECT_NEAR(r.at(20, 39)[0], 29, 6);
    EXPECT_EQ(r.at(20, 0)[0], r.at(20, 0)[2]);
}

TEST_F(Reencode, EveryCodeOnEveryCommonInputRendersCloseToTheSource) {
    struct Input {
        const char* name;
        const char* arguments;
    } inputs[] = {
        {"photo.jpg", "-size 64x48 gradient:yellow-purple -quality 95"},
        {"alpha.png", "-size 64x48 gradient:red-blue -alpha set -channel A -evaluate set 70% "
                      "+channel"},
        {"few.gif", "-size 64x48 xc:white -fill red -draw \"rectangle 8,8 40,30\""},
        {"scan.tif", "-size 64x48 gradient:white-green -compress lzw"},
    };
    for (const auto& input : inputs) {
        std::string path = image(input.name, input.arguments);
        Raster reference = decodeReference(path);
        for (int code = 0; code <= 5; ++code) {
            settings->SetImageEncode(code);
            settings->SetImageMaxSize(code == 0 ? -1 : 0, code == 0 ? -1 : 0);
            settings->SetJpegQuality(90);
            RecordingProcess process;
            std::string out = convertOne(path, &process);
            SCOPED_TRACE(std::string(input.name) + " code " + std::to_string(code));
            EXPECT_EQ(process.count("error"), 0);
            EXPECT_TRUE(qpdfCheckClean(out));
            Raster page = renderPage(out, 1, 72);
            // Grey has lost its colours, and GIF knows only opaque or clear pixels, so
            // a translucent image comes out opaque: only the size can be compared.
            bool comparable = code != 2 && !(code == 4 && input.name == std::string("alpha.png"));
            if (!comparable)
                EXPECT_EQ(page.width, reference.width);
            else
                EXPECT_LT(compareRasters(page, reference).mean, 6.0);
        }
    }
}

TEST_F(Reencode, UnknownCodesTakeTheDefaultAndUnreadableFilesFailOnceAndCleanly) {
    std::string png = image("a.png", "-size 8x8 xc:red");
    settings->SetImageEncode(6);
    RecordingProcess process;
    settings->SetPageSize(4);
    convertOne(png, &process);
    EXPECT_EQ(process.count("error"), 0);
    EXPECT_EQ(process.events[1], "file " + png + " 1");

    // A broken file with a default code that points back at "unchanged" must not loop.
    std::string broken = dir.file("broken.gif");
    writeFile(broken, "GIF89a broken");
    settings->SetImageEncode(0);
    settings->SetDefaultImageEncode(0);
    RecordingProcess again;
    convertOne(broken, &again);
    // One error for the file (the empty document is reported after it).
    EXPECT_EQ(std::count_if(again.events.begin(), again.events.end(),
                            [](const std::string& e) {
                                return e.rfind("error Error: ", 0) == 0 &&
                                       e.find("broken.gif") != std::string::npos;
                            }),
              1);
    EXPECT_NE(again.events[1].find("broken.gif"), std::string::npos) << again.events[1];
}

TEST_F(Reencode, FailuresSayWhatWasWrongWithTheFile) {
    std::string broken = dir.file("cut.png");
    std::string whole = readFile(image("whole.png", "-size 64x64 gradient:red-blue"));
    writeFile(broken, whole.substr(0, whole.size() / 2));
    RecordingProcess process;
    convertOne(broken, &process);
    ASSERT_GE(process.events.size(), 2u);
    // Not a stale message of another file, and not empty.
    EXPECT_GT(process.events[1].size(),
              std::string("error Error: 图片文件无法加载 ").size() + broken.size() + 4)
        << process.events[1];
}

TEST(ImageObject, ReportsSizeResolutionAndSavesEveryEncoder) {
    TempDir dir;
    std::string path = dir.file("photo.png");
    makeImage("-size 120x80 gradient:red-blue -units PixelsPerInch -density 200", path);
    void* out = nullptr;
    CreateObject(FOLIMO_IMAGE, &out);
    ASSERT_NE(out, nullptr);
    Owned<IXImage> image(static_cast<IXImage*>(out));
    int w = -1, h = -1;
    EXPECT_EQ(image->GetSize(&w, &h), E_FAIL);
    EXPECT_EQ(image->Load(wide(dir.file("missing.png")).c_str()), E_FAIL);
    ASSERT_EQ(image->Load(wide(path).c_str()), 0);
    EXPECT_EQ(image->GetSize(&w, &h), 0);
    EXPECT_EQ(w, 120);
    EXPECT_EQ(h, 80);
    EXPECT_EQ(image->GetResolution(), 200);
    EXPECT_EQ(image->SetQuality(50), 50);
    EXPECT_EQ(image->SetResolution(96), 96);
    EXPECT_EQ(image->Reserved(nullptr), 0);
    const char* expected[] = {"", "JPEG", "PNG", "GIF", "TIFF"};
    for (int encoder = 1; encoder <= 4; ++encoder) {
        void* data = nullptr;
        int size = image->SaveToMemory(&data, encoder, L"");
        ASSERT_GT(size, 0);
        std::string file = dir.file("saved" + std::to_string(encoder));
        writeFile(file, std::string(static_cast<char*>(data), static_cast<std::size_t>(size)));
        image->FreeMemory(data);
        auto info = runCommand("identify -format '%m %w %h %x' " + shellQuote(file));
        EXPECT_EQ(info.output.rfind(std::string(expected[encoder]) + " 120 80", 0), 0u)
            << info.output;
    }
    void* data = nullptr;
    EXPECT_EQ(image->SaveToMemory(&data, 5, L""), 0);
    EXPECT_EQ(image->SaveToMemory(&data, 0, L""), 0);

    image->SetTargetSize(60, 40);
    image->SetGrayscale();
    int size = image->SaveToMemory(&data, 1, L"");
    ASSERT_GT(size, 0);
    std::string small = dir.file("small.jpg");
    writeFile(small, std::string(static_cast<char*>(data), static_cast<std::size_t>(size)));
    image->FreeMemory(data);
    auto info = runCommand("identify -format '%w %h %[colorspace]' " + shellQuote(small));
    EXPECT_EQ(info.output, "60 40 Gray");
}

TEST(ImageObject, ImagesLoadOnSeveralThreadsAtOnce) {
    // The list reads image information on its own thread while a conversion runs.
    TempDir dir;
    std::string path = dir.file("photo.jpg");
    makeImage("-size 200x150 gradient:red-blue -quality 90", path);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                void* out = nullptr;
                CreateObject(FOLIMO_IMAGE, &out);
                Owned<IXImage> image(static_cast<IXImage*>(out));
                int w = 0, h = 0;
                void* data = nullptr;
                if (image->Load(wide(path).c_str()) != 0 || image->GetSize(&w, &h) != 0 ||
                    w != 200 || image->SaveToMemory(&data, 1 + i % 4, L"") == 0)
                    ++failures;
                image->FreeMemory(data);
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, 0);
}

TEST(ReencodeJobs, PicturesLargerThanTheDecodeBudgetStillRunSideBySide) {
    // The conversion prepares images on other threads under one memory budget for what
    // is decoded at once; a picture that alone exceeds it must wait its turn, not
    // forever, and small ones must get through beside it.
    TempDir dir;
    const std::string big = dir.file("big.jpg"), small = dir.file("small.jpg");
    makeImage("-size 5200x5000 gradient:red-blue -sampling-factor 1x1 -quality 80", big);
    makeImage("-size 300x200 gradient:green-white -quality 80", small);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            ReencodeParams params;
            params.path = wide(t % 2 ? big : small);
            params.quality = 30;
            for (int i = 0; i < 2; ++i) {
                ReencodeResult result = reencode(params);
                const auto* bytes = static_cast<const unsigned char*>(result.data.get());
                if (result.size < 2 || bytes[0] != 0xFF || bytes[1] != 0xD8)
                    ++failures;
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, 0);
}

TEST(ReencodeJobs, LargeJpegsRunSideBySideUnlessTheyHoldMostOfTheBudget) {
    // Each of these holds a few rows of its coefficients at a time, or all of them
    // packed, where the pixels would need more than half the budget: two run at once.
    // A progressive file of noise has hardly a zero coefficient to leave out, so it
    // holds most of the budget and runs alone.
    TempDir dir;
    const std::string streamed = dir.file("streamed.jpg"), packed = dir.file("packed.jpg"),
                      whole = dir.file("whole.jpg");
    makeImage("-size 4000x3000 gradient:red-blue -sampling-factor 1x1 -quality 80", streamed);
    makeImage("-size 4000x4000 gradient:red-blue -sampling-factor 1x1 -quality 80 "
              "-interlace JPEG",
              packed);
    makeImage("-size 4000x3000 xc: +noise Random -sampling-factor 1x1 -quality 90 "
              "-interlace JPEG",
              whole);
    const auto runTogether = [](const std::string& first, const std::string& second) {
        reencodeMostAtOnce();
        std::latch start(2);
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (const std::string* path : {&first, &second})
            threads.emplace_back([&, path] {
                ReencodeParams params;
                params.path = wide(*path);
                params.quality = 30;
                start.arrive_and_wait();
                for (int i = 0; i < 2; ++i)
                    if (reencode(params).size < 2)
                        ++failures;
            });
        for (auto& thread : threads)
            thread.join();
        EXPECT_EQ(failures, 0);
        return reencodeMostAtOnce();
    };
    EXPECT_EQ(runTogether(streamed, streamed), 2);
    EXPECT_EQ(runTogether(packed, streamed), 2);
    EXPECT_EQ(runTogether(whole, streamed), 1);
}

// A TIFF of width x height RGB zeros, a few strips of Deflate data that decode to far
// more than the file: beyond a gigabyte at 18900 x 18900.
void writeZeroTiff(const std::string& path, int width, int height) {
    const std::string script = R"(
import struct, sys, zlib
path, w, h = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rows = 64
count = (h + rows - 1) // rows
full = zlib.compress(bytes(3 * w * rows), 9)
strips = [full] * (count - 1) + [zlib.compress(bytes(3 * w * (h - (count - 1) * rows)), 9)]
at = 8 + sum(map(len, strips))
extra = at + 2 + 12 * 10 + 4
offsets = [8 + sum(map(len, strips[:i])) for i in range(count)]
def entry(tag, kind, n, value):
    packed = struct.pack("<I", value) if kind == 4 or n > 2 else struct.pack("<HH", value, 0)
    return struct.pack("<HHI", tag, kind, n) + packed
ifd = b"".join([entry(256, 4, 1, w), entry(257, 4, 1, h), entry(258, 3, 3, extra + 8 * count),
                entry(259, 3, 1, 8), entry(262, 3, 1, 2), entry(273, 4, count, extra),
                entry(277, 3, 1, 3), entry(278, 4, 1, rows),
                entry(279, 4, count, extra + 4 * count), entry(284, 3, 1, 1)])
open(path, "wb").write(b"II*\0" + struct.pack("<I", at) + b"".join(strips) + struct.pack("<H", 10) +
    ifd + bytes(4) + struct.pack("<%dI" % count, *offsets) +
    struct.pack("<%dI" % count, *map(len, strips)) + struct.pack("<3H", 8, 8, 8))
)";
    const std::string scriptPath = path + ".py";
    FILE* out = std::fopen(scriptPath.c_str(), "w");
    ASSERT_TRUE(out);
    std::fputs(script.c_str(), out);
    std::fclose(out);
    const auto made = runCommand("python3 " + shellQuote(scriptPath) + " " + shellQuote(path) +
                                 " " + std::to_string(width) + " " + std::to_string(height));
    ASSERT_EQ(made.exitCode, 0) << made.output;
}

// The most memory the process has held, in bytes: since the last reset, which starts it
// again from what is held now.
std::uint64_t peakMemory(bool reset = false) {
    if (FILE* refs = reset ? std::fopen("/proc/self/clear_refs", "w") : nullptr) {
        std::fputs("5", refs);
        std::fclose(refs);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return std::uint64_t(usage.ru_maxrss) * 1024;
}

TEST(ImageObject, PreviewsOfPicturesBeyondTheBudgetStayWithinIt) {
    // The preview asks the image object for a copy of the selected file reduced to the
    // pane; a small file that decodes to more than one image may take must be refused
    // with the reason before the process holds it, and a picture that fits comes back
    // reduced as before.
    TempDir dir;
    const std::string bomb = dir.file("bomb.tif"), photo = dir.file("photo.png");
    writeZeroTiff(bomb, 18900, 18900);
    makeImage("-size 1200x900 gradient:red-blue", photo);
    const struct {
        const std::string* path;
        bool shown;
    } cases[] = {{&bomb, false}, {&photo, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(*c.path);
        const std::uint64_t before = peakMemory(true);
        Owned<CGDIPLUSImage> image(new CGDIPLUSImage);
        ASSERT_EQ(image->Load(wide(*c.path).c_str()), 0) << image->LastError();
        image->SetTargetSize(400, 300);
        void* data = nullptr;
        const int size = image->SaveToMemory(&data, 2, L"image/png");
        EXPECT_EQ(size > 0, c.shown) << image->LastError();
        if (data)
            image->FreeMemory(data);
        if (!c.shown) {
            EXPECT_NE(image->LastError().find("allowed for one image"), std::string::npos)
                << image->LastError();
        }
        EXPECT_LT(peakMemory() - before, folimo::imaging::Limits{}.maxBytes / 4);
    }
}

TEST(ImageObject, ImagesWithoutAResolutionReadAs72) {
    TempDir dir;
    std::string path = dir.file("plain.png");
    makeImage("-size 10x10 xc:red -strip", path);
    void* out = nullptr;
    CreateObject(FOLIMO_IMAGE, &out);
    Owned<IXImage> image(static_cast<IXImage*>(out));
    ASSERT_EQ(image->Load(wide(path).c_str()), 0);
    EXPECT_EQ(image->GetResolution(), 72);
}

} // namespace
