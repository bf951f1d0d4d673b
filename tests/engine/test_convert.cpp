// Whole conversion runs through the public interfaces, checked with qpdf and poppler.
#include "TestSupport.h"

#include <folimo/WideText.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace {

using namespace folimo::test;

class Convert : public ::testing::Test {
protected:
    void SetUp() override {
        engine = createEngine();
        settings = engine->GetSettings();
    }

    // A solid colour image of w x h pixels with no resolution (one pixel, one point).
    std::string solid(const std::string& name, const std::string& colour, int w, int h) {
        std::string path = dir.file(name);
        makeImage("-size " + std::to_string(w) + "x" + std::to_string(h) + " xc:" + colour +
                      " -strip",
                  path);
        return path;
    }

    void add(const std::string& path, int tag = 0) { engine->AddFile(wide(path).c_str(), tag); }

    int convert(const std::string& out, IProcess* process) {
        return engine->Convert(wide(out).c_str(), process);
    }

    TempDir dir;
    Owned<IFolimo> engine;
    IFolimoSettings* settings = nullptr;
    RecordingProcess process;
};

// Records the context of every text the engine asks to expand.
class ContextRecorder : public FolimoCallback {
public:
    virtual ~ContextRecorder() = default;
    const wchar_t* ExpandText(const wchar_t* text, TextContext* ctx) override {
        seen.push_back({ctx->kind, ctx->pageCount, ctx->tag, folimo::toUtf8(ctx->currentFile)});
        result = std::wstring(L"T:") + text;
        return result.c_str();
    }
    struct Seen {
        int kind;
        int pageCount;
        int tag;
        std::string file;
    };
    std::vector<Seen> seen;
    std::wstring result;
};

int bookmarkCount(const std::string& pdf) {
    auto r = runCommand("qpdf --json --json-key=outlines " + shellQuote(pdf));
    int n = 0;
    for (std::size_t at = r.output.find("\"title\""); at != std::string::npos;
         at = r.output.find("\"title\"", at + 1))
        ++n;
    return n;
}

std::string bookmarkTitles(const std::string& pdf) {
    return runCommand("qpdf --json --json-key=outlines " + shellQuote(pdf)).output;
}

TEST_F(Convert, MixedListGivesPagesInOrderWithTheirCallbacks) {
    std::string jpg = solid("a.jpg", "red", 60, 40);
    std::string pdf = dir.file("three.pdf");
    makePdf(pdf, {{300, 400}, {400, 300}, {200, 200}});
    std::string png = solid("c.png", "blue", 50, 70);
    add(jpg, 10);
    add(pdf, 11);
    add(png, 12);
    settings->SetPageSize(4);
    settings->SetCreateBookmark(1);
    ContextRecorder recorder;
    engine->SetTextCallback(&recorder);
    std::string out = dir.file("out.pdf");

    ASSERT_EQ(convert(out, &process), 1);
    EXPECT_EQ(process.events,
              (std::vector<std::string>{"begin " + out, "file " + jpg + " 1", "file " + pdf + " 1",
                                        "file " + png + " 1", "end"}));
    EXPECT_TRUE(qpdfCheckClean(out));
    auto sizes = pdfPageSizes(out);
    ASSERT_EQ(sizes.size(), 5u);
    EXPECT_EQ(sizes[0].width, 594);
    EXPECT_EQ(sizes[0].height, 842);
    // Imported pages keep their own sizes.
    EXPECT_EQ(sizes[1].width, 300);
    EXPECT_EQ(sizes[2].width, 400);
    EXPECT_EQ(sizes[3].height, 200);
    EXPECT_EQ(sizes[4].width, 594);
    // Bookmarks only for image pages, expanded with the context of their page.
    ASSERT_EQ(recorder.seen.size(), 2u);
    EXPECT_EQ(recorder.seen[0].kind, 1);
    EXPECT_EQ(recorder.seen[0].pageCount, 0);
    EXPECT_EQ(recorder.seen[0].tag, 10);
    EXPECT_EQ(recorder.seen[0].file, jpg);
    EXPECT_EQ(recorder.seen[1].pageCount, 4);
    EXPECT_EQ(recorder.seen[1].tag, 12);
    EXPECT_EQ(bookmarkCount(out), 2);
    EXPECT_NE(bookmarkTitles(out).find("T:%FILENAME%"), std::string::npos);
    // The imported text is still text.
    auto text = runCommand("pdftotext -f 2 -l 4 " + shellQuote(out) + " -");
    EXPECT_NE(text.output.find("Page 3"), std::string::npos) << text.output;
}

TEST_F(Convert, DocumentInformationInUnicode) {
    settings->SetInfo(0, L"相册 Album «été»");
    settings->SetInfo(1, L"Subject");
    settings->SetInfo(2, L"作者");
    settings->SetInfo(3, L"Creator app");
    settings->SetInfo(4, L"k1, k2");
    add(solid("a.png", "green", 10, 10));
    std::string out = dir.file("info.pdf");
    ASSERT_EQ(convert(out, &process), 1);
    EXPECT_EQ(pdfInfoField(out, "Title"), "相册 Album «été»");
    EXPECT_EQ(pdfInfoField(out, "Subject"), "Subject");
    EXPECT_EQ(pdfInfoField(out, "Author"), "作者");
    EXPECT_EQ(pdfInfoField(out, "Creator"), "Creator app");
    EXPECT_EQ(pdfInfoField(out, "Keywords"), "k1, k2");
    EXPECT_EQ(pdfInfoField(out, "Producer"), "Folimo");
    EXPECT_EQ(pdfInfoField(out, "PDF version"), "1.7");
    EXPECT_FALSE(pdfInfoField(out, "CreationDate").empty());
}

TEST_F(Convert, PageSizeChoice) {
    add(solid("a.png", "green", 10, 10));
    struct Case {
        int code;
        int rotate;
        int customW, customH;
        double w, h;
    } cases[] = {{4, 0, 0, 0, 594, 842},     {4, 1, 0, 0, 842, 594},     {8, 0, 0, 0, 612, 792},
                 {4, 0, 500, 700, 500, 700}, {4, 1, 500, 700, 500, 700}, {0, 0, 0, 0, 10, 10},
                 {12, 0, 0, 0, 10, 10},      {1, 0, 0, 0, 1684, 2380},   {11, 1, 0, 0, 1224, 792},
                 {4, 0, 500, 0, 594, 842}};
    int n = 0;
    for (const auto& c : cases) {
        settings->SetPageSize(c.code);
        settings->SetRotatePage(c.rotate);
        settings->SetCustomPageSize(c.customW, c.customH);
        std::string out = dir.file("size" + std::to_string(n++) + ".pdf");
        ASSERT_EQ(convert(out, nullptr), 1);
        auto sizes = pdfPageSizes(out);
        ASSERT_EQ(sizes.size(), 1u);
        EXPECT_EQ(sizes[0].width, c.w) << "code " << c.code << " rotate " << c.rotate;
        EXPECT_EQ(sizes[0].height, c.h) << "code " << c.code << " rotate " << c.rotate;
        EXPECT_TRUE(qpdfCheckClean(out));
    }
}

TEST_F(Convert, EveryPageSizeAndLayoutWithAMixedList) {
    // JPEG, a three-page PDF, PNG, and one more JPEG so that double pages pair up.
    std::string jpg = solid("a.jpg", "red", 60, 40);
    std::string pdf = dir.file("three.pdf");
    makePdf(pdf, {{300, 400}, {400, 300}, {200, 200}});
    std::string png = dir.file("c.png");
    makeImage("-size 50x70 xc:blue -alpha set -channel A -evaluate set 60% +channel", png);
    std::string last = solid("d.jpg", "green", 30, 30);
    for (const auto& path : {jpg, pdf, png, last})
        add(path);
    for (int side = 0; side < 4; ++side)
        settings->SetMargin(side, 5 * (side + 1));
    const int widths[12] = {0, 1684, 1190, 842, 594, 421, 297, 501, 612, 612, 1224, 792};
    const int heights[12] = {0, 2380, 1684, 1190, 842, 595, 421, 709, 792, 1008, 792, 1224};
    int run = 0;
    for (int code = 0; code < 12; ++code) {
        for (int rotate = 0; rotate < 2; ++rotate, ++run) {
            // Each run takes another combination of the layout switches.
            int doublePage = run % 2, inPage = (run / 2) % 2, autoRotate = (run / 4) % 2;
            settings->SetPageSize(code);
            settings->SetRotatePage(rotate);
            settings->SetDoublePage(doublePage);
            settings->SetImageInPage(inPage);
            settings->SetImageAutoRotate(autoRotate);
            std::string out = dir.file("run" + std::to_string(run) + ".pdf");
            RecordingProcess p;
            ASSERT_EQ(convert(out, &p), 1);
            SCOPED_TRACE("code " + std::to_string(code) + " rotate " + std::to_string(rotate) +
                         " double " + std::to_string(doublePage));
            EXPECT_EQ(p.count("error"), 0);
            EXPECT_TRUE(qpdfCheckClean(out));
            auto sizes = pdfPageSizes(out);
            if (code == 0) {
                // Pages follow the images; layout switches do not apply.
                ASSERT_EQ(sizes.size(), 6u);
                EXPECT_EQ(sizes[0].width, 60 + 5 + 15);
                EXPECT_EQ(sizes[0].height, 40 + 10 + 20);
                EXPECT_EQ(sizes[4].width, 50 + 20);
                continue;
            }
            int w = rotate ? heights[code] : widths[code];
            int h = rotate ? widths[code] : heights[code];
            // Double pages: the JPEG alone, as the PDF next to it is imported rather than
            // lost in the second box; then the PNG with the last JPEG.
            ASSERT_EQ(sizes.size(), doublePage ? 5u : 6u);
            EXPECT_EQ(sizes[0].width, w);
            EXPECT_EQ(sizes[0].height, h);
            EXPECT_EQ(sizes[1].width, 300);
            EXPECT_EQ(sizes.back().width, w);
            EXPECT_EQ(sizes.back().height, h);
        }
    }
}

TEST_F(Convert, CancellingBeforeTheThirdFileKeepsTheFirstTwoPages) {
    for (int i = 0; i < 5; ++i)
        add(solid("p" + std::to_string(i) + ".png", "red", 20, 20));
    process.cancelAfterPolls = 2;
    std::string out = dir.file("cancelled.pdf");
    ASSERT_EQ(convert(out, &process), 1);
    EXPECT_EQ(process.count("end"), 1);
    EXPECT_EQ(process.events.back(), "end");
    EXPECT_EQ(process.count("file "), 2);
    EXPECT_EQ(pdfPageSizes(out).size(), 2u);
    EXPECT_TRUE(qpdfCheckClean(out));
}

TEST_F(Convert, PdfInputsAreRecognisedWithoutRegardToCase) {
    std::string pdf = dir.file("UPPER.PDF");
    makePdf(pdf, {{100, 100}, {100, 100}});
    add(pdf);
    std::string out = dir.file("out.pdf");
    ASSERT_EQ(convert(out, &process), 1);
    EXPECT_EQ(pdfPageSizes(out).size(), 2u);
}

TEST_F(Convert, UnreadableInputsAreReportedAndSkipped) {
    std::string broken = dir.file("broken.pdf");
    writeFile(broken, "%PDF-1.4 this is not a PDF");
    std::string garbage = dir.file("garbage.jpg");
    writeFile(garbage, std::string("\xFF\xD8\xFF\xE0 truncated", 14));
    std::string missing = dir.file("missing.png");
    std::string good = solid("good.png", "blue", 10, 10);
    add(broken);
    add(garbage);
    add(missing);
    add(good);
    std::string out = dir.file("out.pdf");
    ASSERT_EQ(convert(out, &process), 1);
    ASSERT_EQ(process.events.size(), 9u);
    EXPECT_EQ(process.events[1].rfind("error Error: ", 0), 0u);
    EXPECT_NE(process.events[1].find("broken.pdf"), std::string::npos);
    EXPECT_EQ(process.events[2], "file " + broken + " 0");
    // Image-sized pages name the file that failed.
    EXPECT_EQ(process.events[3].rfind("error Error: 图片文件无法加载 " + garbage + " :", 0), 0u)
        << process.events[3];
    EXPECT_EQ(process.events[4], "file " + garbage + " 0");
    EXPECT_EQ(process.events[6], "file " + missing + " 0");
    EXPECT_EQ(process.events[7], "file " + good + " 1");
    EXPECT_EQ(pdfPageSizes(out).size(), 1u);
}

TEST_F(Convert, UnreadableImageOnAFixedPageMakesNoPage) {
    settings->SetPageSize(6);
    settings->SetCreateBookmark(1);
    add(dir.file("missing.jpg"));
    add(solid("b.png", "red", 10, 10));
    std::string out = dir.file("out.pdf");
    ASSERT_EQ(convert(out, &process), 1);
    EXPECT_EQ(process.events[1].rfind("error Error: ", 0), 0u);
    EXPECT_EQ(process.events[1].find("图片文件无法加载"), std::string::npos);
    EXPECT_EQ(pdfPageSizes(out).size(), 1u);
    EXPECT_EQ(bookmarkCount(out), 1);
}

// The record keeps whatever it is given, so a value outside its range (an old store, a
// caller of the library) must still let every image through, not fail each one.
TEST_F(Convert, SettingsOutsideTheirRangeStillConvertEveryImage) {
    add(solid("a.png", "red", 30, 20));
    add(solid("b.jpg", "blue", 20, 30));
    struct Case {
        const char* what;
        void (*set)(IFolimoSettings&);
    } cases[] = {
        {"encode 77", [](IFolimoSettings& s) { s.SetImageEncode(77); }},
        {"encode -1", [](IFolimoSettings& s) { s.SetImageEncode(-1); }},
        {"default 77", [](IFolimoSettings& s) { s.SetDefaultImageEncode(77); }},
        {"default -4", [](IFolimoSettings& s) { s.SetDefaultImageEncode(-4); }},
        {"unchanged, default unchanged",
         [](IFolimoSettings& s) {
             s.SetImageEncode(FOLIMO_ENCODE_UNCHANGED);
             s.SetDefaultImageEncode(FOLIMO_ENCODE_UNCHANGED);
         }},
        {"both out",
         [](IFolimoSettings& s) {
             s.SetImageEncode(-9);
             s.SetDefaultImageEncode(9);
         }},
        {"quality 0", [](IFolimoSettings& s) { s.SetJpegQuality(0); }},
        {"quality -20", [](IFolimoSettings& s) { s.SetJpegQuality(-20); }},
        {"quality 1000", [](IFolimoSettings& s) { s.SetJpegQuality(1000); }},
        {"dpi -5", [](IFolimoSettings& s) { s.SetDpi(-5); }},
        {"maximum size -7", [](IFolimoSettings& s) { s.SetImageMaxSize(-7, -7); }},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto fresh = createEngine();
        for (const char* name : {"a.png", "b.jpg"})
            fresh->AddFile(wide(dir.file(name)).c_str(), 0);
        c.set(*fresh->GetSettings());
        std::string out = dir.file("out" + std::to_string(n++) + ".pdf");
        RecordingProcess p;
        EXPECT_EQ(fresh->Convert(wide(out).c_str(), &p), 1);
        EXPECT_EQ(p.count("error"), 0) << (p.events.size() > 1 ? p.events[1] : "");
        EXPECT_EQ(pdfInfoField(out, "Pages"), "2");
        if (fileExists(out)) {
            EXPECT_TRUE(qpdfCheckClean(out));
        }
    }
}

TEST_F(Convert, OutputThatCannotBeCreatedEndsTheRunCleanly) {
    add(solid("a.png", "red", 10, 10));
    ASSERT_EQ(convert(dir.file("no/such/folder/out.pdf"), &process), 0);
    EXPECT_EQ(process.count("error Error: "), 1);
    EXPECT_EQ(process.count("end"), 1);
    EXPECT_EQ(process.count("file "), 0);
    EXPECT_EQ(process.events.back(), "end");
}

TEST_F(Convert, AnExistingOutputIsNeverReplaced) {
    add(solid("a.png", "red", 10, 10));
    std::string out = dir.file("keep.pdf");
    writeFile(out, "precious");
    EXPECT_EQ(convert(out, &process), 0);
    EXPECT_EQ(readFile(out), "precious");
    EXPECT_EQ(process.count("error Error: "), 1);
}

// Other runs that take the name while this one writes keep their files; this document
// takes the next free numbered name and says so.
TEST_F(Convert, ANameTakenDuringTheRunGivesTheNextFreeName) {
    struct Rival : RecordingProcess {
        std::vector<std::string> takes;
        int OnFile(const wchar_t* path, int loaded) override {
            for (const auto& name : takes)
                writeFile(name, "the other run's");
            return RecordingProcess::OnFile(path, loaded);
        }
    };
    const struct {
        const char* output;
        std::vector<std::string> taken;
        const char* expected;
    } cases[] = {
        {"free.pdf", {}, "free.pdf"},
        {"doc.pdf", {"doc.pdf"}, "doc (1).pdf"},
        {"two.pdf", {"two.pdf", "two (1).pdf"}, "two (2).pdf"},
        {"v1.2/plain", {"v1.2/plain"}, "v1.2/plain (1)"},
    };
    std::filesystem::create_directory(dir.file("v1.2"));
    add(solid("a.png", "red", 10, 10));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        Rival rival;
        for (const auto& name : c.taken)
            rival.takes.push_back(dir.file(name));
        ASSERT_EQ(convert(dir.file(c.output), &rival), 1);
        EXPECT_EQ(folimo::toUtf8(engine->GetOutputPath()), dir.file(c.expected));
        EXPECT_EQ(rival.count("error"), 0);
        for (const auto& name : rival.takes)
            EXPECT_EQ(readFile(name), "the other run's");
        EXPECT_EQ(pdfPageSizes(dir.file(c.expected)).size(), 1u);
    }
    // A run that writes nothing names nothing.
    engine->ClearFiles();
    add(dir.file("missing.png"));
    EXPECT_EQ(convert(dir.file("none.pdf"), &process), 0);
    EXPECT_STREQ(engine->GetOutputPath(), L"");
}

TEST_F(Convert, AFailedRunLeavesNoFileBehind) {
    add(solid("a.png", "red", 10, 10));
    // A negative page size is refused by the PDF library half-way through the run.
    settings->SetCustomPageSize(-5, 100);
    std::string out = dir.file("failed.pdf");
    EXPECT_EQ(convert(out, &process), 0);
    EXPECT_EQ(process.count("error Error: "), 1);
    EXPECT_EQ(process.events.back(), "end");
    EXPECT_FALSE(fileExists(out));
    EXPECT_EQ(listDir(dir.path()), std::vector<std::string>{"a.png"});
}

TEST_F(Convert, ARunWithoutPagesWritesNoDocument) {
    add(dir.file("missing.png"));
    std::string out = dir.file("empty.pdf");
    EXPECT_EQ(convert(out, &process), 0);
    EXPECT_FALSE(fileExists(out));
    EXPECT_EQ(process.events.back(), "end");
}

TEST_F(Convert, WithoutCallbacksTheSameDocumentIsMade) {
    add(solid("a.png", "red", 10, 10));
    add(solid("b.png", "red", 10, 20));
    settings->SetCreateBookmark(1);
    std::string first = dir.file("first.pdf");
    std::string second = dir.file("second.pdf");
    ASSERT_EQ(convert(first, nullptr), 1);
    ASSERT_EQ(convert(second, &process), 1);
    EXPECT_EQ(pdfPageSizes(first).size(), 2u);
    EXPECT_EQ(pdfPageSizes(second)[1].height, 20);
    // Without a text callback the template itself is the title.
    EXPECT_NE(bookmarkTitles(first).find("%FILENAME%"), std::string::npos);
    EXPECT_EQ(bookmarkCount(first), 2);
}

TEST_F(Convert, ABlankBookmarkTemplateGivesNoBookmarks) {
    add(solid("a.png", "red", 10, 10));
    settings->SetCreateBookmark(1);
    settings->SetBookmarkText(L"  \t ");
    std::string out = dir.file("out.pdf");
    ASSERT_EQ(convert(out, nullptr), 1);
    EXPECT_EQ(bookmarkCount(out), 0);
    EXPECT_TRUE(qpdfCheckClean(out));
}

// The colour at a point given in points from the lower left of a page rendered at 72 dpi.
std::string colourAt(const Raster& r, int x, int y) {
    const unsigned char* p = r.at(x, r.height - 1 - y);
    auto near = [](int v, int target) { return std::abs(v - target) < 40; };
    if (near(p[0], 255) && near(p[1], 255) && near(p[2], 255))
        return "white";
    if (near(p[0], 255) && near(p[1], 0) && near(p[2], 0))
        return "red";
    if (near(p[0], 0) && near(p[1], 128) && near(p[2], 0))
        return "green";
    if (near(p[0], 0) && near(p[1], 0) && near(p[2], 255))
        return "blue";
    return "other";
}

// The area a colour covers on a page rendered at 72 dpi, in points from the lower left;
// all -1 when the colour is not there.
struct Area {
    int left = -1, bottom = -1, right = -1, top = -1;
};

Area areaOf(const Raster& r, const std::string& colour) {
    Area a;
    for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x) {
            if (colourAt(r, x, y) != colour)
                continue;
            if (a.left == -1) {
                a = {x, y, x + 1, y + 1};
                continue;
            }
            a = {std::min(a.left, x), std::min(a.bottom, y), std::max(a.right, x + 1),
                 std::max(a.top, y + 1)};
        }
    return a;
}

// Where the image of each colour lands, and how many pages the inputs make, for pictures
// that fit and pictures larger than their paper, on pages of one and of two, with inputs
// that cannot be read among them.
TEST_F(Convert, EveryPictureLandsWholeOnItsPaper) {
    struct Picture {
        const char* colour; // nullptr: a file that is not an image
        int width, height, dpi;
    };
    struct Expected {
        const char* colour;
        double left, bottom, right, top;
    };
    struct Case {
        const char* what;
        int pageSize, rotate, doublePage, inPage, margin;
        std::vector<Picture> pictures;
        std::size_t pages;
        std::vector<Expected> firstPage;
    } cases[] = {
        {"a photo at 72 dpi shrinks to the page, centred",
         4,
         0,
         0,
         0,
         0,
         {{"red", 1200, 900, 72}},
         1,
         {{"red", 0, 198.25, 594, 643.75}}},
        {"a phone photo shrinks to the margin box",
         4,
         0,
         0,
         0,
         20,
         {{"blue", 4000, 3000, 72}},
         1,
         {{"blue", 20, 213.25, 574, 628.75}}},
        {"a small picture keeps its natural size on the box corner",
         4,
         0,
         0,
         0,
         20,
         {{"red", 1000, 600, 144}},
         1,
         {{"red", 20, 20, 520, 320}}},
        {"over the margin but on the page it keeps its size",
         4,
         0,
         0,
         0,
         20,
         {{"red", 570, 200, 72}},
         1,
         {{"red", 20, 20, 590, 220}}},
        {"fitting enlarges a small one",
         4,
         0,
         0,
         1,
         20,
         {{"red", 300, 200, 72}},
         1,
         {{"red", 20, 236.33, 574, 605.67}}},
        {"unreadable inputs make no page",
         4,
         0,
         0,
         0,
         0,
         {{nullptr, 0, 0, 0}, {"red", 100, 100, 72}, {nullptr, 0, 0, 0}, {"blue", 50, 50, 72}},
         2,
         {{"red", 0, 0, 100, 100}}},
        {"two to a page, each shrunk into its half",
         4,
         0,
         1,
         0,
         10,
         {{"red", 600, 300, 72}, {"blue", 600, 300, 72}},
         1,
         {{"red", 10, 488, 584, 775}, {"blue", 10, 67, 584, 354}}},
        {"two to a page, an unreadable one leaves no gap",
         4,
         0,
         1,
         0,
         10,
         {{"red", 100, 100, 72}, {nullptr, 0, 0, 0}, {"blue", 100, 100, 72}},
         1,
         {{"red", 10, 431, 110, 531}, {"blue", 10, 10, 110, 110}}},
        {"side by side, a natural size that fills its half exactly",
         4,
         1,
         1,
         0,
         0,
         {{"red", 421, 594, 72}, {"blue", 421, 594, 72}},
         1,
         {{"red", 0, 0, 421, 594}, {"blue", 421, 0, 842, 594}}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        engine->ClearFiles();
        int file = 0;
        for (const auto& picture : c.pictures) {
            std::string path = dir.file("p" + std::to_string(n) + "_" + std::to_string(file++));
            if (!picture.colour) {
                writeFile(path + ".png", "not an image");
                add(path + ".png");
                continue;
            }
            path += ".jpg";
            makeImage("-size " + std::to_string(picture.width) + "x" +
                          std::to_string(picture.height) + " xc:" + picture.colour +
                          " -units PixelsPerInch -density " + std::to_string(picture.dpi),
                      path);
            add(path);
        }
        settings->SetPageSize(c.pageSize);
        settings->SetRotatePage(c.rotate);
        settings->SetDoublePage(c.doublePage);
        settings->SetImageInPage(c.inPage);
        for (int side = 0; side < 4; ++side)
            settings->SetMargin(side, c.margin);
        std::string out = dir.file("out" + std::to_string(n++) + ".pdf");
        RecordingProcess p;
        ASSERT_EQ(convert(out, &p), 1);
        EXPECT_TRUE(qpdfCheckClean(out));
        EXPECT_EQ(pdfInfoField(out, "Pages"), std::to_string(c.pages));
        Raster page = renderPage(out, 1, 72);
        for (const auto& e : c.firstPage) {
            Area a = areaOf(page, e.colour);
            EXPECT_NEAR(a.left, e.left, 1.5) << e.colour;
            EXPECT_NEAR(a.bottom, e.bottom, 1.5) << e.colour;
            EXPECT_NEAR(a.right, e.right, 1.5) << e.colour;
            EXPECT_NEAR(a.top, e.top, 1.5) << e.colour;
        }
    }
}

// Margins that leave no room (the settings window takes any number) give pages without
// margins and one message, rather than pages of one point or without their picture.
TEST_F(Convert, MarginsThatLeaveNoRoomAreLeftOutWithAMessage) {
    add(solid("a.png", "red", 30, 20));
    struct Case {
        int pageSize, margin;
        double width, height; // of the page
    } cases[] = {{0, -500, 30, 20}, {4, -500, 594, 842}, {4, 5000, 594, 842}, {4, 297, 594, 842}};
    for (const auto& c : cases) {
        SCOPED_TRACE("page size " + std::to_string(c.pageSize) + " margins " +
                     std::to_string(c.margin));
        settings->SetPageSize(c.pageSize);
        for (int side = 0; side < 4; ++side)
            settings->SetMargin(side, c.margin);
        std::string out =
            dir.file("out" + std::to_string(c.pageSize) + "_" + std::to_string(c.margin) + ".pdf");
        RecordingProcess p;
        ASSERT_EQ(convert(out, &p), 1);
        EXPECT_EQ(p.count("error Error: margins of "), 1);
        auto sizes = pdfPageSizes(out);
        ASSERT_EQ(sizes.size(), 1u);
        EXPECT_EQ(sizes[0].width, c.width);
        EXPECT_EQ(sizes[0].height, c.height);
        Raster r = renderPage(out, 1, 72);
        EXPECT_EQ(colourAt(r, 1, 1), "red");
        EXPECT_EQ(colourAt(r, 28, 18), "red");
    }
}

TEST_F(Convert, DoublePagesStackOrSitSideBySide) {
    add(solid("r.png", "red", 40, 30));
    add(solid("g.png", "green", 40, 30));
    add(solid("b.png", "blue", 40, 30));
    settings->SetPageSize(6); // 297 x 421
    settings->SetDoublePage(1);
    settings->SetImageInPage(1);
    for (int side = 0; side < 4; ++side)
        settings->SetMargin(side, 10);
    std::string upright = dir.file("upright.pdf");
    ASSERT_EQ(convert(upright, &process), 1);
    ASSERT_EQ(pdfPageSizes(upright).size(), 2u);
    Raster p1 = renderPage(upright, 1, 72);
    EXPECT_EQ(colourAt(p1, 148, 315), "red");   // upper box
    EXPECT_EQ(colourAt(p1, 148, 105), "green"); // lower box
    EXPECT_EQ(colourAt(p1, 3, 3), "white");     // margin
    Raster p2 = renderPage(upright, 2, 72);
    EXPECT_EQ(colourAt(p2, 148, 315), "blue");
    EXPECT_EQ(colourAt(p2, 148, 105), "white"); // odd count: the second box stays empty
    EXPECT_TRUE(qpdfCheckClean(upright));

    settings->SetRotatePage(1); // 421 x 297, side by side
    std::string landscape = dir.file("landscape.pdf");
    ASSERT_EQ(convert(landscape, nullptr), 1);
    Raster l1 = renderPage(landscape, 1, 72);
    EXPECT_EQ(l1.width, 421);
    EXPECT_EQ(colourAt(l1, 105, 148), "red");
    EXPECT_EQ(colourAt(l1, 315, 148), "green");
}

TEST_F(Convert, AutoRotateTurnsTheImageTopToTheRight) {
    // A tall image, red on top and blue below, into a wide box.
    std::string tall = dir.file("tall.png");
    makeImage("-size 100x100 xc:red -size 100x100 xc:blue -append -strip", tall);
    add(tall);
    settings->SetPageSize(6);
    settings->SetRotatePage(1);
    settings->SetImageInPage(1);
    settings->SetImageAutoRotate(1);
    std::string out = dir.file("out.pdf");
    ASSERT_EQ(convert(out, nullptr), 1);
    Raster r = renderPage(out, 1, 72);
    // Turned, the image is twice as wide as high: it fills the 421 points of width,
    // 210.5 high, centred, with its top (red) on the right.
    EXPECT_EQ(colourAt(r, 410, 148), "red");
    EXPECT_EQ(colourAt(r, 10, 148), "blue");
    EXPECT_EQ(colourAt(r, 210, 30), "white");
    EXPECT_EQ(colourAt(r, 210, 266), "white");
}

TEST_F(Convert, ImageWithoutFittingSitsAtItsNaturalSizeOnTheBoxCorner) {
    add(solid("r.png", "red", 50, 20));
    settings->SetPageSize(6);
    settings->SetMargin(0, 30);
    settings->SetMargin(3, 40);
    std::string out = dir.file("out.pdf");
    ASSERT_EQ(convert(out, nullptr), 1);
    Raster r = renderPage(out, 1, 72);
    EXPECT_EQ(colourAt(r, 31, 41), "red");
    EXPECT_EQ(colourAt(r, 78, 58), "red");
    EXPECT_EQ(colourAt(r, 82, 41), "white");
    EXPECT_EQ(colourAt(r, 31, 62), "white");
}

TEST_F(Convert, ImageSizedPageIsTheNaturalSizePlusMargins) {
    std::string img = dir.file("wide.png");
    makeImage("-size 1440x720 xc:red -units PixelsPerInch -density 144", img);
    add(img);
    settings->SetMargin(0, 10);
    settings->SetMargin(1, 30);
    settings->SetMargin(2, 20);
    settings->SetMargin(3, 40);
    std::string out = dir.file("out.pdf");
    ASSERT_EQ(convert(out, nullptr), 1);
    auto sizes = pdfPageSizes(out);
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0].width, 750);
    EXPECT_EQ(sizes[0].height, 430);
    Raster r = renderPage(out, 1, 72);
    EXPECT_EQ(colourAt(r, 11, 41), "red");
    EXPECT_EQ(colourAt(r, 728, 398), "red");
    EXPECT_EQ(colourAt(r, 8, 41), "white");
    EXPECT_EQ(colourAt(r, 11, 38), "white");
    EXPECT_EQ(colourAt(r, 732, 200), "white");
}

TEST_F(Convert, ATinyImageAtAHighResolutionStillGetsAPage) {
    std::string img = dir.file("dot.png");
    makeImage("-size 1x1 xc:red -units PixelsPerInch -density 600", img);
    add(img);
    add(solid("next.png", "blue", 10, 10));
    std::string out = dir.file("out.pdf");
    ASSERT_EQ(convert(out, &process), 1);
    EXPECT_EQ(pdfPageSizes(out).size(), 2u);
    EXPECT_TRUE(qpdfCheckClean(out));
}

// Each input on an image-sized page rendered at 72 dpi must match ImageMagick's
// decode of the same file.
struct RenderCase {
    const char* name;
    const char* convertArguments;
    int maxDifference;
    double meanDifference;
};

class RenderMatchesInput : public ::testing::TestWithParam<RenderCase> {};

TEST_P(RenderMatchesInput, PixelsAgreeWithAnIndependentDecode) {
    TempDir dir;
    const RenderCase& c = GetParam();
    std::string input = dir.file(c.name);
    makeImage(c.convertArguments, input);
    auto engine = createEngine();
    // Unchanged: the file's own data, not a JPEG made of it.
    engine->GetSettings()->SetImageMaxSize(-1, -1);
    engine->AddFile(wide(input).c_str(), 0);
    std::string out = dir.file("out.pdf");
    ASSERT_EQ(engine->Convert(wide(out).c_str(), nullptr), 1);
    EXPECT_TRUE(qpdfCheckClean(out));
    Raster page = renderPage(out, 1, 72);
    Raster reference = decodeReference(input);
    ASSERT_EQ(page.width, reference.width);
    ASSERT_EQ(page.height, reference.height);
    RasterDifference d = compareRasters(page, reference);
    EXPECT_LE(d.max, c.maxDifference) << "mean " << d.mean;
    EXPECT_LE(d.mean, c.meanDifference) << "max " << d.max;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, RenderMatchesInput,
    ::testing::Values(
        RenderCase{"rgb.jpg", "-size 96x64 gradient:red-blue -quality 95 -strip", 12, 1.5},
        RenderCase{"progressive.jpg",
                   "-size 96x64 gradient:yellow-navy -interlace JPEG -quality 95 -strip", 12, 1.5},
        RenderCase{"grey.jpg", "-size 96x64 gradient:white-black -colorspace Gray -strip", 12, 1.5},
        // Poppler turns CMYK into RGB as inks mix on paper, ImageMagick by the naive
        // formula: they agree on the hues only, but an inverted image would differ by
        // far more.
        RenderCase{"cmyk.jpg", "-size 96x64 gradient:cyan-magenta -colorspace CMYK -quality 95",
                   130, 40},
        // ImageMagick's reduction of 16-bit samples to 8 dithers a little.
        RenderCase{"rgb16.png",
                   "-size 96x64 gradient:red-blue -depth 16 -define png:color-type=2 -strip", 4,
                   1.5},
        RenderCase{"grey1.png",
                   "-size 96x64 pattern:checkerboard -monochrome -define png:bit-depth=1 -strip", 0,
                   0},
        RenderCase{"palette-transparent.png",
                   "-size 96x64 xc:none -fill red -draw \"rectangle 10,10 50,40\" -fill blue "
                   "-draw \"circle 70,30 70,10\" -define png:color-type=3 -strip",
                   2, 0.5},
        RenderCase{"rgba.png",
                   "-size 96x64 gradient:red-blue -alpha set -channel A -evaluate set 50% "
                   "-channel RGBA -strip",
                   3, 1},
        RenderCase{"rgba16.png",
                   "-size 96x64 gradient:green-yellow \\( -size 96x64 gradient:white-black \\) "
                   "-alpha off -compose copy-opacity -composite -depth 16 -strip",
                   3, 1},
        RenderCase{"interlaced.png", "-size 96x64 gradient:red-blue -depth 8 -interlace PNG -strip",
                   1, 0.5}),
    [](const ::testing::TestParamInfo<RenderCase>& info) {
        std::string n = info.param.name;
        for (auto& ch : n)
            if (!std::isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return n;
    });

} // namespace
