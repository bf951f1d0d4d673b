// The PDF library's operations on their own: error policy, documents, placement,
// virtual files, bookmarks and the page tree, checked with qpdf and poppler.
#include "ImageFixtures.h"
#include "TestSupport.h"

#include "pdf/PdfOutput.h"

#include <folimo/WideText.h>

#include <gtest/gtest.h>

#include <qpdf/QPDF.hh>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using folimo::pdf::PdfError;
using folimo::pdf::PdfOutput;
using namespace folimo::test;

std::wstring w(const std::string& s) {
    return wide(s);
}

// The content stream of page `index`, decoded.
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

class PdfOutputTest : public ::testing::Test {
protected:
    std::string jpeg(const std::string& name, int width, int height, int dpi = 0) {
        JpegParams p;
        p.width = width;
        p.height = height;
        if (dpi > 0) {
            p.densityUnit = 1;
            p.densityX = p.densityY = dpi;
        }
        std::string path = dir.file(name);
        writeFile(path, makeJpeg(p));
        return path;
    }
    TempDir dir;
    PdfOutput pdf;
};

TEST_F(PdfOutputTest, ErrorPolicyReturnGivesMinusOneAndAMessage) {
    pdf.set_option(L"errorpolicy=return");
    EXPECT_EQ(pdf.begin_document(w(dir.file("no/dir/x.pdf")), L""), -1);
    EXPECT_NE(pdf.get_errmsg().find(L"x.pdf"), std::wstring::npos);
    ASSERT_EQ(pdf.begin_document(w(dir.file("x.pdf")), L""), 1);
    EXPECT_EQ(pdf.load_image(L"auto", w(dir.file("missing.jpg")), L""), -1);
    EXPECT_NE(pdf.get_errmsg().find(L"missing.jpg"), std::wstring::npos);
    EXPECT_EQ(pdf.open_pdi_document(w(dir.file("missing.pdf")), L""), -1);
    // Misuse is not a bad input: it raises whatever the policy.
    EXPECT_THROW(pdf.fit_image(12345, 0, 0, L""), PdfError);
    EXPECT_THROW(pdf.end_page_ext(L""), PdfError);
}

TEST_F(PdfOutputTest, DefaultPolicyRaisesWithNumberFunctionAndMessage) {
    try {
        pdf.begin_document(w(dir.file("no/dir/x.pdf")), L"");
        FAIL() << "no exception";
    } catch (const PdfError& e) {
        EXPECT_EQ(e.apiName(), "begin_document");
        EXPECT_GT(e.number(), 0);
        EXPECT_NE(std::string(e.what()).find("x.pdf"), std::string::npos);
    }
}

TEST_F(PdfOutputTest, OptionListsAndParametersAreChecked) {
    EXPECT_THROW(pdf.set_option(L"errorpolicy=maybe"), PdfError);
    EXPECT_THROW(pdf.set_option(L"nosuchoption=1"), PdfError);
    EXPECT_THROW(pdf.set_parameter(L"compatibility", L"2.5"), PdfError);
    EXPECT_THROW(pdf.set_parameter(L"nosuchparameter", L"1"), PdfError);
    EXPECT_NO_THROW(pdf.set_parameter(L"FontOutline", L"gothic=SimSun"));
    ASSERT_EQ(pdf.begin_document(w(dir.file("x.pdf")), L""), 1);
    pdf.begin_page_ext(100, 100, L"");
    int image = pdf.load_image(L"auto", w(jpeg("a.jpg", 10, 10)), L"");
    EXPECT_THROW(pdf.fit_image(image, 0, 0, L"boxsize={1 2 3}"), PdfError);
    EXPECT_THROW(pdf.fit_image(image, 0, 0, L"scale=abc"), PdfError);
    EXPECT_THROW(pdf.fit_image(image, 0, 0, L"fitmethod=squeeze"), PdfError);
    EXPECT_THROW(pdf.fit_image(image, 0, 0, L"orientate=up"), PdfError);
    EXPECT_THROW(pdf.begin_page_ext(0, 10, L""), PdfError);
}

TEST_F(PdfOutputTest, RelativeNamesAreNeverLookedUpElsewhere) {
    // A missing input once became a file of the same name under ../data.
    std::string work = dir.file("work"), data = dir.file("data");
    ASSERT_EQ(::mkdir(work.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(data.c_str(), 0700), 0);
    JpegParams p;
    writeFile(data + "/found.jpg", makeJpeg(p));
    EXPECT_THROW(pdf.set_option(L"searchpath={{../data}}"), PdfError);
    pdf.set_option(L"errorpolicy=return");
    ASSERT_EQ(pdf.begin_document(w(dir.file("x.pdf")), L""), 1);
    char* previous = ::getcwd(nullptr, 0);
    ASSERT_EQ(::chdir(work.c_str()), 0);
    int image = pdf.load_image(L"auto", L"found.jpg", L"");
    ASSERT_EQ(::chdir(previous), 0);
    std::free(previous);
    EXPECT_EQ(image, -1);
    EXPECT_NE(folimo::toUtf8(pdf.get_errmsg()).find("found.jpg"), std::string::npos);
}

TEST_F(PdfOutputTest, ImageInfoAndNaturalSize) {
    ASSERT_EQ(pdf.begin_document(w(dir.file("x.pdf")), L""), 1);
    int image = pdf.load_image(L"auto", w(jpeg("a.jpg", 300, 150, 150)), L"");
    EXPECT_EQ(pdf.info_image(image, L"imagewidth", L""), 300);
    EXPECT_EQ(pdf.info_image(image, L"imageheight", L""), 150);
    EXPECT_EQ(pdf.info_image(image, L"resx", L""), 150);
    EXPECT_EQ(pdf.info_image(image, L"resy", L""), 150);
    EXPECT_EQ(pdf.info_image(image, L"width", L""), 144);
    int plain = pdf.load_image(L"auto", w(jpeg("b.jpg", 30, 20)), L"");
    EXPECT_EQ(pdf.info_image(plain, L"resx", L""), 0);
    EXPECT_EQ(pdf.info_image(plain, L"width", L""), 30);
    pdf.close_image(plain);
    EXPECT_THROW(pdf.info_image(plain, L"resx", L""), PdfError);
}

TEST_F(PdfOutputTest, FittingPlacesTheImageAsTheOptionsSay) {
    std::string out = dir.file("fit.pdf");
    ASSERT_EQ(pdf.begin_document(w(out), L""), 1);
    int image = pdf.load_image(L"auto", w(jpeg("a.jpg", 200, 100)), L""); // 200 x 100 pt
    struct Case {
        std::wstring options;
        std::string matrix;
    } cases[] = {
        {L"", "200 0 0 100 10 20"},
        {L"scale=0.5", "100 0 0 50 10 20"},
        // Fits the box: natural size, centred.
        {L"boxsize={400 300} position=center fitmethod=auto", "200 0 0 100 110 120"},
        // Larger than the box: shrunk whole, keeping its shape.
        {L"boxsize={100 100} position=center fitmethod=auto", "100 0 0 50 10 45"},
        {L"boxsize={400 400} position=center fitmethod=auto scale=10", "400 0 0 200 10 120"},
        {L"boxsize={100 100} fitmethod=meet", "100 0 0 50 10 20"},
        {L"boxsize={100 100} fitmethod=entire", "100 0 0 100 10 20"},
        {L"boxsize={400 300} position={100 0}", "200 0 0 100 210 20"},
        // A quarter turn: the top edge faces the right, the extent is 100 x 200.
        {L"orientate=east", "0 -200 100 0 10 220"},
        {L"boxsize={300 300} position=center fitmethod=auto orientate=east",
         "0 -200 100 0 110 270"},
        {L"orientate=west", "0 200 -100 0 110 20"},
        {L"orientate=south", "-200 0 0 -100 210 120"},
    };
    for (const auto& c : cases) {
        pdf.begin_page_ext(500, 500, L"");
        pdf.fit_image(image, 10, 20, c.options);
        pdf.end_page_ext(L"");
    }
    pdf.end_document(L"");
    EXPECT_TRUE(qpdfCheckClean(out));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        std::string content = pageContent(out, static_cast<int>(i));
        EXPECT_NE(content.find("q " + cases[i].matrix + " cm /Im"), std::string::npos)
            << "case " << i << ": " << content;
    }
}

TEST_F(PdfOutputTest, VirtualFilesAreReadWithoutACopyAndCanBeDeleted) {
    JpegParams p;
    p.width = 16;
    p.height = 8;
    std::string bytes = makeJpeg(p);
    std::string out = dir.file("pvf.pdf");
    ASSERT_EQ(pdf.begin_document(w(out), L""), 1);
    pdf.create_pvf(L"pvffilename.jpeg", bytes.data(), bytes.size(), L"");
    EXPECT_THROW(pdf.create_pvf(L"pvffilename.jpeg", bytes.data(), bytes.size(), L""), PdfError);
    int image = pdf.load_image(L"auto", L"pvffilename.jpeg", L"");
    EXPECT_EQ(pdf.delete_pvf(L"pvffilename.jpeg"), 1);
    EXPECT_EQ(pdf.delete_pvf(L"pvffilename.jpeg"), -1);
    // The data may go once the image is loaded.
    bytes.assign(bytes.size(), '\0');
    pdf.begin_page_ext(16, 8, L"");
    pdf.fit_image(image, 0, 0, L"");
    pdf.end_page_ext(L"");
    pdf.end_document(L"");
    EXPECT_TRUE(qpdfCheckClean(out));
    auto extracted = runCommand("pdfimages -list " + shellQuote(out));
    EXPECT_NE(extracted.output.find("jpeg"), std::string::npos) << extracted.output;
}

TEST_F(PdfOutputTest, JpegBytesPassThroughUnchanged) {
    JpegParams p;
    p.width = 33;
    p.height = 17;
    p.progressive = true;
    std::string bytes = makeJpeg(p);
    std::string input = dir.file("in.jpg");
    writeFile(input, bytes);
    std::string out = dir.file("out.pdf");
    ASSERT_EQ(pdf.begin_document(w(out), L""), 1);
    int image = pdf.load_image(L"auto", w(input), L"");
    pdf.begin_page_ext(33, 17, L"");
    pdf.fit_image(image, 0, 0, L"");
    pdf.end_page_ext(L"");
    pdf.end_document(L"");
    ASSERT_EQ(
        runCommand("pdfimages -j " + shellQuote(out) + " " + shellQuote(dir.file("x"))).exitCode,
        0);
    EXPECT_EQ(readFile(dir.file("x-000.jpg")), bytes);
}

TEST_F(PdfOutputTest, UnfinishedDocumentsLeaveNothingBehind) {
    {
        PdfOutput abandoned;
        ASSERT_EQ(abandoned.begin_document(w(dir.file("abandoned.pdf")), L""), 1);
        abandoned.begin_page_ext(10, 10, L"");
        abandoned.end_page_ext(L"");
        // While it is written the document has no name, so not even a killed process
        // could leave it behind.
        EXPECT_TRUE(listDir(dir.path()).empty());
        // No end_document: an exception or a crash of the caller's run.
    }
    EXPECT_TRUE(listDir(dir.path()).empty());

    ASSERT_EQ(pdf.begin_document(w(dir.file("empty.pdf")), L""), 1);
    EXPECT_THROW(pdf.end_document(L""), PdfError); // no pages
    EXPECT_TRUE(listDir(dir.path()).empty());
}

TEST_F(PdfOutputTest, AFileThatAppearsWhileWritingIsKeptAndTheNextNameTaken) {
    std::string out = dir.file("race.pdf");
    ASSERT_EQ(pdf.begin_document(w(out), L""), 1);
    pdf.begin_page_ext(10, 10, L"");
    pdf.end_page_ext(L"");
    writeFile(out, "someone else's");
    pdf.end_document(L"");
    EXPECT_EQ(readFile(out), "someone else's");
    EXPECT_EQ(pdf.writtenPath(), dir.file("race (1).pdf"));
    EXPECT_EQ(listDir(dir.path()), (std::vector<std::string>{"race (1).pdf", "race.pdf"}));
    EXPECT_TRUE(qpdfCheckClean(pdf.writtenPath()));
}

TEST_F(PdfOutputTest, LongDocumentsGetABalancedPageTreeAndBookmarksInOrder) {
    std::string out = dir.file("long.pdf");
    ASSERT_EQ(pdf.begin_document(w(out), L""), 1);
    const int pages = 1100; // over 32 x 32: three levels of page-tree nodes
    for (int i = 0; i < pages; ++i) {
        pdf.begin_page_ext(100 + i % 7, 100, L"");
        if (i % 100 == 0)
            pdf.create_bookmark(L"第 " + std::to_wstring(i + 1) + L" 页", L"");
        pdf.end_page_ext(L"");
    }
    pdf.end_document(L"");
    EXPECT_TRUE(qpdfCheckClean(out));
    auto sizes = pdfPageSizes(out);
    ASSERT_EQ(sizes.size(), std::size_t(pages));
    EXPECT_EQ(sizes[1099].width, 100 + 1099 % 7);
    QPDF q;
    q.processFile(out.c_str());
    auto first = q.getRoot().getKey("/Outlines").getKey("/First");
    ASSERT_TRUE(first.isDictionary());
    EXPECT_EQ(first.getKey("/Title").getUTF8Value(), "第 1 页");
    int count = 0;
    for (auto item = first; item.isDictionary(); item = item.getKey("/Next"))
        ++count;
    EXPECT_EQ(count, 11);
    auto last = q.getRoot().getKey("/Outlines").getKey("/Last");
    EXPECT_EQ(last.getKey("/Title").getUTF8Value(), "第 1001 页");
    // The last bookmark points at page 1001.
    auto target = last.getKey("/Dest").getArrayItem(0);
    EXPECT_EQ(target.getObjGen(), q.getAllPages().at(1000).getObjGen());
}

TEST_F(PdfOutputTest, ReproducibleWithSourceDateEpoch) {
    ::setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    auto make = [&](const std::string& name) {
        PdfOutput out;
        EXPECT_EQ(out.begin_document(w(dir.file(name)), L""), 1);
        out.set_info(L"Title", L"same");
        out.begin_page_ext(10, 10, L"");
        out.end_page_ext(L"");
        out.end_document(L"");
        return readFile(dir.file(name));
    };
    std::string a = make("same.pdf");
    std::remove(dir.file("same.pdf").c_str());
    std::string b = make("same.pdf");
    ::unsetenv("SOURCE_DATE_EPOCH");
    EXPECT_EQ(a, b);
    EXPECT_NE(a.find("D:20231114221320Z"), std::string::npos);
}

} // namespace
