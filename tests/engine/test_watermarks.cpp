// Watermarks as they come out on the written pages: content operators, extracted text
// and rendered pixels.
#include "TestSupport.h"

#include "FileFilter.h"

#include <folimo/WideText.h>

#include <gtest/gtest.h>

#include <qpdf/QPDF.hh>

#include <sys/stat.h>

namespace {

using namespace folimo::test;

// Page `index`'s content stream, decoded, and its resources.
std::string pageContent(const std::string& pdf, int index) {
    QPDF q;
    q.processFile(pdf.c_str());
    auto page = q.getAllPages().at(static_cast<std::size_t>(index));
    std::string out;
    for (auto& stream : page.getPageContents()) {
        auto data = stream.getStreamData(qpdf_dl_generalized);
        out.append(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
    }
    return out;
}

class Watermarks : public ::testing::Test {
protected:
    void SetUp() override {
        engine = createEngine();
        settings = engine->GetSettings();
        settings->SetImageMaxSize(-1, -1);
    }
    ITextWatermark* addText(const wchar_t* text, int x, int y, int size = 20) {
        void* out = nullptr;
        CreateObject(FOLIMO_TEXT_WATERMARK, &out);
        auto* mark = static_cast<ITextWatermark*>(out);
        mark->SetText(text);
        mark->SetPosition(x, y);
        mark->SetFontSize(size);
        settings->AddWatermark(mark);
        return mark;
    }
    IImageWatermark* addImage(const std::string& path, int x, int y) {
        void* out = nullptr;
        CreateObject(FOLIMO_IMAGE_WATERMARK, &out);
        auto* mark = static_cast<IImageWatermark*>(out);
        mark->SetImagePath(wide(path).c_str());
        mark->SetPosition(x, y);
        settings->AddWatermark(mark);
        return mark;
    }
    std::string page(const std::string& name, const std::string& colour = "white") {
        std::string path = dir.file(name);
        makeImage("-size 300x200 xc:" + colour, path);
        engine->AddFile(wide(path).c_str(), 0);
        return path;
    }
    std::string convert(RecordingProcess* process = nullptr) {
        std::string out = dir.file("out" + std::to_string(runs++) + ".pdf");
        EXPECT_EQ(engine->Convert(wide(out).c_str(), process), 1);
        EXPECT_TRUE(qpdfCheckClean(out));
        return out;
    }
    TempDir dir;
    Owned<IFolimo> engine;
    IFolimoSettings* settings = nullptr;
    int runs = 0;
};

TEST_F(Watermarks, ChineseAndLatinTextExtractsExactly) {
    page("a.png");
    addText(L"机密 Confidential 2026", 10, 10, 18);
    std::string out = convert();
    auto text = runCommand("pdftotext " + shellQuote(out) + " -");
    EXPECT_NE(text.output.find("机密 Confidential 2026"), std::string::npos) << text.output;
    auto fonts = runCommand("pdffonts " + shellQuote(out));
    EXPECT_NE(fonts.output.find("CID TrueType"), std::string::npos) << fonts.output;
    EXPECT_NE(fonts.output.find("yes yes yes"), std::string::npos) << fonts.output;
}

TEST_F(Watermarks, PositionsSizesColoursAndOpacityOnThePage) {
    settings->SetPageSize(4); // 594 x 842
    page("a.png");
    auto* fixed = addText(L"fixed", 100, 50, 12);
    fixed->SetColor(255);
    fixed->SetOpacity(50);
    auto* first = addText(L"one", -1, -1, 0); // size 0 draws at 20
    first->SetColor(16711680);
    addText(L"two", -1, -1, 20);
    std::string content = pageContent(convert(), 0);
    // Baselines: 842 - 50 - 12; then the stacking continues below the fixed one:
    // y = 50 + 12 * 1.2 = 64 -> 842 - 64 - 20; y = 64 + 24 = 88 -> 842 - 88 - 20.
    EXPECT_NE(content.find("12 Tf 100 780 Td"), std::string::npos) << content;
    EXPECT_NE(content.find("20 Tf 100 758 Td"), std::string::npos) << content;
    EXPECT_NE(content.find("20 Tf 100 734 Td"), std::string::npos) << content;
    EXPECT_NE(content.find("1 0 0 rg"), std::string::npos);
    EXPECT_NE(content.find("0 0 1 rg"), std::string::npos);
    QPDF q;
    std::string out = dir.file("out0.pdf");
    q.processFile(out.c_str());
    QPDFObjectHandle firstPage = q.getAllPages().at(0);
    auto states = firstPage.getKey("/Resources").getKey("/ExtGState");
    std::set<std::string> opacities;
    for (auto& key : states.getKeys())
        opacities.insert(states.getKey(key).getKey("/ca").unparse());
    EXPECT_EQ(opacities, (std::set<std::string>{"0.5", "1"}));
}

TEST_F(Watermarks, AutomaticPlacementStacksDownTheLeftSide) {
    settings->SetPageSize(4);
    page("a.png");
    addText(L"one", -1, -1, 20);
    addText(L"two", -1, -1, 20);
    std::string content = pageContent(convert(), 0);
    EXPECT_NE(content.find("20 790 Td"), std::string::npos) << content; // y 32
    EXPECT_NE(content.find("20 766 Td"), std::string::npos) << content; // y 56
}

TEST_F(Watermarks, AfterAFixedOneAutomaticOnesFollowIt) {
    settings->SetPageSize(4);
    page("a.png");
    addText(L"fixed", 30, 100, 10);
    addText(L"next", -1, -1, 10);
    std::string content = pageContent(convert(), 0);
    EXPECT_NE(content.find("30 720 Td"), std::string::npos) << content; // 842 - 112 - 10
}

// Expands every text to nothing, as a template of an unknown placeholder might.
class EmptyExpander : public FolimoCallback {
public:
    virtual ~EmptyExpander() = default;
    const wchar_t* ExpandText(const wchar_t* text, TextContext* context) override {
        kinds.push_back(context->kind);
        return std::wstring(text) == L"vanish" ? L"" : text;
    }
    std::vector<int> kinds;
};

TEST_F(Watermarks, TextThatExpandsToNothingLeavesNoTraceAndKeepsThePlace) {
    settings->SetPageSize(4);
    page("a.png");
    addText(L"vanish", -1, -1, 40);
    addText(L"kept", -1, -1, 20);
    EmptyExpander expander;
    engine->SetTextCallback(&expander);
    std::string content = pageContent(convert(), 0);
    EXPECT_EQ(content.find("40 Tf"), std::string::npos);
    EXPECT_NE(content.find("20 790 Td"), std::string::npos) << content; // still y 32
    EXPECT_EQ(expander.kinds, (std::vector<int>{0, 0}));
}

TEST_F(Watermarks, FiltersChooseThePages) {
    page("photo.jpg");
    page("scan.png");
    auto* mark = addText(L"only on scans", 5, 5, 10);
    mark->SetFileFilter(L"*.bmp; *SCAN*");
    mark->SetAngle(45); // kept, never drawn
    std::string out = convert();
    EXPECT_EQ(pageContent(out, 0).find("Tf"), std::string::npos);
    EXPECT_NE(pageContent(out, 1).find("10 Tf 5 "), std::string::npos);
}

TEST_F(Watermarks, ImageWatermarksAreLoadedOncePerDocumentAndMissingOnesToldOnce) {
    page("a.png");
    page("b.png");
    std::string stamp = dir.file("stamp.png");
    makeImage("-size 40x20 xc:red", stamp);
    auto* mark = addImage(stamp, 10, 30);
    mark->SetOpacity(100);
    addImage(dir.file("deleted.png"), 0, 0);
    RecordingProcess process;
    std::string out = convert(&process);
    // Left out of both pages, and said once, in the words of a caller that reads only text.
    ASSERT_EQ(process.count("error"), 1);
    EXPECT_EQ(process.count("error Error: the watermark image " + dir.file("deleted.png") +
                            " cannot be used: No such file"),
              1);
    // Two page images and one stamp, drawn on both pages.
    QPDF q;
    q.processFile(out.c_str());
    int images = 0;
    for (auto& object : q.getAllObjects())
        if (object.isStream() && object.getDict().getKey("/Subtype").isNameAndEquals("/Image"))
            ++images;
    EXPECT_EQ(images, 3);
    for (int p = 0; p < 2; ++p) {
        std::string content = pageContent(out, p);
        EXPECT_NE(content.find("/Im"), content.rfind("/Im")) << content;
    }
    // Rendered: the stamp's top edge 30 points below the page top, 10 from the left.
    Raster r = renderPage(out, 2, 72);
    const unsigned char* inside = r.at(12, 32);
    EXPECT_GT(inside[0], 200);
    EXPECT_LT(inside[1], 60);
    const unsigned char* above = r.at(12, 27);
    EXPECT_GT(above[1], 200);
}

TEST_F(Watermarks, OpacityBlendsWithThePage) {
    page("a.png", "white");
    std::string stamp = dir.file("stamp.png");
    makeImage("-size 40x20 xc:black", stamp);
    addImage(stamp, 10, 10)->SetOpacity(50);
    Raster r = renderPage(convert(), 1, 72);
    EXPECT_NEAR(r.at(20, 15)[0], 127, 10);
}

TEST_F(Watermarks, ImportedPagesPlaceThemFromTheirOwnTop) {
    std::string pdf = dir.file("in.pdf");
    makePdf(pdf, {{300, 400}, {300, 200}});
    engine->AddFile(wide(pdf).c_str(), 0);
    addText(L"mark", 10, 20, 10);
    std::string out = convert();
    EXPECT_NE(pageContent(out, 0).find("10 370 Td"), std::string::npos);
    EXPECT_NE(pageContent(out, 1).find("10 170 Td"), std::string::npos);
    EXPECT_NE(runCommand("pdftotext -f 2 -l 2 " + shellQuote(out) + " -").output.find("Page 2"),
              std::string::npos);
}

TEST_F(Watermarks, BothKindsRenderOnJpegPngAndImportedPages) {
    std::string jpg = dir.file("a.jpg"), png = dir.file("b.png"), pdf = dir.file("c.pdf");
    makeImage("-size 300x200 xc:white -quality 95", jpg);
    makeImage("-size 300x200 xc:white", png);
    makePdf(pdf, {{300, 200}, {300, 200}});
    for (const std::string& input : {jpg, png, pdf})
        engine->AddFile(wide(input).c_str(), 0);
    std::string stamp = dir.file("stamp.png");
    makeImage("-size 40x20 xc:black", stamp);
    addImage(stamp, 200, 150)->SetOpacity(50);
    ITextWatermark* text = addText(L"机密", 20, 20, 40);
    text->SetColor(255); // red, in the engine's byte order
    std::string out = convert();
    for (int page = 1; page <= 4; ++page) {
        SCOPED_TRACE("page " + std::to_string(page));
        Raster r = renderPage(out, page, 72);
        ASSERT_EQ(r.width, 300);
        ASSERT_EQ(r.height, 200);
        // The image, 50% black over white, from (200, 150) down from the top left.
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(r.at(220, 160)[c], 127, 12);
        EXPECT_GT(r.at(195, 160)[0], 240); // nothing left of it
        // The text, red glyphs (not boxes of the fallback) in its line below y = 20.
        int red = 0;
        for (int y = 20; y < 70; ++y)
            for (int x = 20; x < 110; ++x) {
                const unsigned char* p = r.at(x, y);
                red += p[0] > 200 && p[1] < 80 && p[2] < 80;
            }
        EXPECT_GT(red, 400) << red;
        EXPECT_LT(red, 3000) << "a filled block, not glyphs";
        for (int x = 0; x < 300; ++x)
            EXPECT_FALSE(r.at(x, 10)[0] > 200 && r.at(x, 10)[1] < 80) << "red above the line";
    }
}

TEST(FileFilter, WildcardsAndLists) {
    EXPECT_TRUE(matchesFileFilter(L"", L"/any/file.jpg"));
    EXPECT_TRUE(matchesFileFilter(L"*.jpg", L"/photos/A.JPG"));
    EXPECT_FALSE(matchesFileFilter(L"*.jpg", L"/photos/a.jpeg"));
    EXPECT_TRUE(matchesFileFilter(L"*.png;*.jpg", L"/x/y.jpg"));
    EXPECT_TRUE(matchesFileFilter(L"*.png; *.jpg", L"/x/y.jpg"));
    EXPECT_TRUE(matchesFileFilter(L"/x/??.gif", L"/x/ab.gif"));
    EXPECT_FALSE(matchesFileFilter(L"/x/??.gif", L"/x/abc.gif"));
    EXPECT_TRUE(matchesFileFilter(L"*scan*", L"/home/scans/page1.tif"));
    EXPECT_FALSE(matchesFileFilter(L";", L"/x/y.jpg"));
    EXPECT_TRUE(wildcardMatch(L"a*b*c", L"aXbYbZc"));
    EXPECT_FALSE(wildcardMatch(L"a*b*c", L"aXbYbZ"));
    EXPECT_TRUE(wildcardMatch(L"*", L""));
    EXPECT_TRUE(wildcardMatch(L"文件*", L"文件名.jpg"));
    // Case folds beyond ASCII, whatever locale the process runs in.
    EXPECT_TRUE(matchesFileFilter(L"*ÉTÉ*", L"/photos/été.jpg"));
    EXPECT_TRUE(matchesFileFilter(L"*straße*", L"/STRASSE/Straße.png"));
    EXPECT_TRUE(matchesFileFilter(L"*ΣΕΛΊΔΑ?.tif", L"/σελίδα1.tif"));
    EXPECT_FALSE(matchesFileFilter(L"*été*", L"/photos/ete.jpg"));
}

// What a caller that implements IProcessEx hears of each failure: a code and the file,
// to word it itself, in place of the text; and how each document ended.
struct CodedProcess : RecordingProcess, IProcessEx {
    int OnBegin(const wchar_t* p) override { return RecordingProcess::OnBegin(p); }
    int OnFile(const wchar_t* p, int loaded) override {
        return RecordingProcess::OnFile(p, loaded);
    }
    int OnEnd() override { return RecordingProcess::OnEnd(); }
    int OnProgress(std::int64_t, std::int64_t) override { return 1; }
    int OnError(const wchar_t* m) override { return RecordingProcess::OnError(m); }
    int IsCancelled() override { return RecordingProcess::IsCancelled(); }
    int OnNotify() override { return 1; }
    int OnErrorCode(int code, const wchar_t* subject, const wchar_t*,
                    const wchar_t* message) override {
        codes.push_back({code, folimo::toUtf8(subject), folimo::toUtf8(message)});
        return 1;
    }
    int OnDocumentEnd(int how, int pages, const wchar_t* written) override {
        ends.push_back({how, pages, folimo::toUtf8(written)});
        return 1;
    }
    struct Coded {
        int code;
        std::string subject, message;
    };
    struct End {
        int how, pages;
        std::string written;
    };
    std::vector<Coded> codes;
    std::vector<End> ends;
};

TEST_F(Watermarks, UnusableImagesAndInputsComeWithTheirCodes) {
    writeFile(dir.file("text.png"), "not a picture");
    ASSERT_EQ(::mkfifo(dir.file("fifo.png").c_str(), 0600), 0);
    const std::string broken = dir.file("broken.png");
    writeFile(broken, "\x89PNG\r\n\x1a\n truncated");
    const struct {
        const char* what;
        int pageSize; // image-sized pages, or A4
        std::string stamp;
    } cases[] = {{"missing, image-sized pages", FOLIMO_PAGE_IMAGE, dir.file("missing.png")},
                 {"not a picture, A4", FOLIMO_PAGE_A4, dir.file("text.png")},
                 {"a FIFO", FOLIMO_PAGE_IMAGE, dir.file("fifo.png")}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        while (settings->GetWatermarkCount() > 0)
            settings->RemoveWatermark(0);
        engine->ClearFiles();
        settings->SetPageSize(c.pageSize);
        page("a.png");
        engine->AddFile(wide(broken).c_str(), 0);
        page("b.png");
        addImage(c.stamp, 0, 0);
        CodedProcess process;
        const std::string out = convert(&process);
        EXPECT_EQ(process.count("error"), 0); // all of it came with a code
        ASSERT_EQ(process.codes.size(), 2u);
        EXPECT_EQ(process.codes[0].code, FOLIMO_ERROR_WATERMARK_IMAGE);
        EXPECT_EQ(process.codes[0].subject, c.stamp);
        EXPECT_EQ(process.codes[1].code, FOLIMO_ERROR_INPUT);
        EXPECT_EQ(process.codes[1].subject, broken);
        // The text stays the engine's own for callers that read only it.
        EXPECT_EQ(process.codes[1].message.find(c.pageSize == FOLIMO_PAGE_IMAGE
                                                    ? "Error: 图片文件无法加载 " + broken + " :"
                                                    : "Error: "),
                  0u)
            << process.codes[1].message;
        ASSERT_EQ(process.ends.size(), 1u);
        EXPECT_EQ(process.ends[0].how, FOLIMO_DOCUMENT_WRITTEN);
        EXPECT_EQ(process.ends[0].pages, 2); // the unreadable input makes no page
        EXPECT_EQ(process.ends[0].written, out);
    }
}

} // namespace
