// Pages of input PDFs copied into an output as form XObjects, checked with tools that
// share no code with the writer: qpdf for structure, poppler for text, sizes and pixels.
#include "pdf/Deflate.h"
#include "pdf/PdfImport.h"
#include "pdf/PdfWriter.h"

#include <gtest/gtest.h>
#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace fs = std::filesystem;
using folimo::pdf::ImportError;
using folimo::pdf::PdfImport;
using folimo::pdf::PdfWriter;

namespace {

// A PDF assembled object by object with a correct cross-reference table, so that inputs
// can have exactly the structure a case needs (inheritance, cycles, odd values).
class RawPdf {
public:
    int reserve() {
        bodies_.emplace_back();
        return static_cast<int>(bodies_.size());
    }
    int add(const std::string& body) {
        int n = reserve();
        set(n, body);
        return n;
    }
    void set(int n, const std::string& body) { bodies_[n - 1] = body; }
    int addStream(const std::string& dictEntries, const std::string& data) {
        int n = reserve();
        setStream(n, dictEntries, data);
        return n;
    }
    void setStream(int n, const std::string& dictEntries, const std::string& data) {
        set(n, "<< " + dictEntries + " /Length " + std::to_string(data.size()) + " >>\nstream\n" +
                   data + "\nendstream");
    }
    std::string build(int root) const {
        std::string out = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n";
        std::vector<std::size_t> offsets;
        for (std::size_t i = 0; i < bodies_.size(); ++i) {
            offsets.push_back(out.size());
            out += std::to_string(i + 1) + " 0 obj\n" + bodies_[i] + "\nendobj\n";
        }
        std::size_t xref = out.size();
        out += "xref\n0 " + std::to_string(bodies_.size() + 1) + "\n0000000000 65535 f \n";
        char entry[32];
        for (auto off : offsets) {
            std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", off);
            out += entry;
        }
        out += "trailer\n<< /Size " + std::to_string(bodies_.size() + 1) + " /Root " +
               std::to_string(root) + " 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
        return out;
    }

private:
    std::vector<std::string> bodies_;
};

std::string ref(int n) {
    return std::to_string(n) + " 0 R";
}

struct Command {
    int status;
    std::string out;
};

Command run(const std::string& command) {
    Command result{-1, {}};
    std::FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return result;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        result.out.append(buf, n);
    int status = ::pclose(p);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string quote(const std::string& s) {
    return "'" + s + "'";
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    f << bytes;
}

std::string readFile(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

struct Image {
    int width = 0, height = 0;
    std::string pixels;
};

// One page rendered in grey at a low resolution: enough to see position, orientation
// and clipping, cheap enough to compare many pages.
Image render(const fs::path& pdf, int page, const fs::path& dir, int dpi = 20) {
    fs::path prefix = dir / ("render-" + pdf.stem().string() + "-" + std::to_string(page));
    std::string cmd = "pdftoppm -cropbox -r " + std::to_string(dpi) + " -gray -singlefile -f " +
                      std::to_string(page) + " -l " + std::to_string(page) + " " + quote(pdf) +
                      " " + quote(prefix) + " 2>&1";
    Command c = run(cmd);
    EXPECT_EQ(c.status, 0) << c.out;
    std::string data = readFile(prefix.string() + ".pgm");
    Image image;
    std::istringstream in(data);
    std::string magic;
    int maxval = 0;
    in >> magic >> image.width >> image.height >> maxval;
    in.get();
    if (magic != "P5" || maxval != 255) {
        ADD_FAILURE() << "unexpected render of " << pdf << " page " << page;
        return {};
    }
    image.pixels = data.substr(static_cast<std::size_t>(in.tellg()));
    return image;
}

// Share of pixels that differ visibly; anti-aliasing of edges may move by a shade.
double difference(const Image& a, const Image& b) {
    if (a.width != b.width || a.height != b.height || a.pixels.size() != b.pixels.size() ||
        a.pixels.empty())
        return 1.0;
    std::size_t differing = 0;
    for (std::size_t i = 0; i < a.pixels.size(); ++i) {
        int d = static_cast<unsigned char>(a.pixels[i]) - static_cast<unsigned char>(b.pixels[i]);
        if (std::abs(d) > 48)
            ++differing;
    }
    return static_cast<double>(differing) / static_cast<double>(a.pixels.size());
}

int pixel(const Image& image, double xPt, double yPtFromTop) {
    int x = static_cast<int>(xPt * 20 / 72);
    int y = static_cast<int>(yPtFromTop * 20 / 72);
    return static_cast<unsigned char>(image.pixels[static_cast<std::size_t>(y * image.width + x)]);
}

std::string pdfText(const fs::path& pdf) {
    Command c = run("pdftotext -layout " + quote(pdf) + " - 2>&1");
    EXPECT_EQ(c.status, 0) << c.out;
    return c.out;
}

// "W x H" of each page as pdfinfo reports it.
std::vector<std::string> pageSizes(const fs::path& pdf, int pages) {
    Command c = run("pdfinfo -f 1 -l " + std::to_string(pages) + " " + quote(pdf) + " 2>&1");
    EXPECT_EQ(c.status, 0) << c.out;
    std::vector<std::string> sizes;
    std::istringstream in(c.out);
    std::string line;
    while (std::getline(in, line)) {
        auto at = line.find(" size: ");
        if (line.rfind("Page ", 0) == 0 && at != std::string::npos) {
            std::string rest = line.substr(line.find_first_not_of(' ', at + 6));
            sizes.push_back(rest.substr(0, rest.find(" pts")));
        }
    }
    return sizes;
}

void expectQpdfCheckClean(const fs::path& pdf) {
    Command c = run("qpdf --check " + quote(pdf) + " 2>&1");
    EXPECT_EQ(c.status, 0) << c.out;
}

std::string number(double v) {
    std::ostringstream s;
    s << v;
    return s.str();
}

struct OutPage {
    PdfImport* input;
    int index;
};

// An output document with one page per imported page, the form drawn at the origin of
// a page of the form's size.
std::vector<PdfImport::Form> writeOutput(const fs::path& path, const std::vector<OutPage>& pages,
                                         int* objectCount = nullptr) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    PdfWriter writer(fd, "test.pdf");
    writer.write("%PDF-1.7\n%\xE2\xE3\xCF\xD3\n");
    int pagesNumber = writer.newObjectNumber();
    std::vector<PdfImport::Form> forms;
    std::string kids;
    for (const auto& p : pages) {
        PdfImport::Form form = p.input->writePage(writer, p.index);
        forms.push_back(form);
        int content = writer.newObjectNumber();
        writer.writeStreamObject(content, "", "q 1 0 0 1 0 0 cm /F0 Do Q");
        int page = writer.beginNewObject();
        writer.write("<< /Type /Page /Parent " + ref(pagesNumber) + " /MediaBox [0 0 " +
                     number(form.width) + " " + number(form.height) +
                     "] /Resources << /XObject << /F0 " + ref(form.objectNumber) +
                     " >> >> /Contents " + ref(content) + " >>");
        writer.endObject();
        kids += ref(page) + " ";
    }
    writer.beginObject(pagesNumber);
    writer.write("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) +
                 " >>");
    writer.endObject();
    int root = writer.beginNewObject();
    writer.write("<< /Type /Catalog /Pages " + ref(pagesNumber) + " >>");
    writer.endObject();
    if (objectCount)
        *objectCount = writer.objectCount();
    writer.finish(root, 0, "00112233445566778899AABBCCDDEEFF");
    return forms;
}

std::vector<OutPage> allPages(PdfImport& input) {
    std::vector<OutPage> pages;
    for (int i = 0; i < input.pageCount(); ++i)
        pages.push_back({&input, i});
    return pages;
}

int countObjects(const fs::path& pdf, const std::string& type, const std::string& key = "/Type") {
    QPDF q;
    q.setSuppressWarnings(true);
    q.processFile(pdf.c_str());
    int count = 0;
    for (auto& obj : q.getAllObjects()) {
        QPDFObjectHandle dict = obj.isStream() ? obj.getDict() : obj;
        if (!dict.isDictionary())
            continue;
        QPDFObjectHandle value = dict.getKey(key);
        if (type.empty() ? !value.isNull() : (value.isName() && value.getName() == type))
            ++count;
    }
    return count;
}

const char* kFont = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>";

// Text near the top, a black block in the upper left and a grey bar along the left edge
// of the box (x0, y0)-(x1, y1): any turn, mirror or shift shows in a render.
std::string marksContent(double x0, double y0, double x1, double y1, const std::string& text) {
    double w = x1 - x0, h = y1 - y0;
    std::ostringstream s;
    s << "0 g " << x0 + 10 << " " << y1 - 10 - h / 5 << " " << w / 3 << " " << h / 5 << " re f\n"
      << "0.5 g " << x0 << " " << y0 << " " << w / 12 << " " << h / 2 << " re f\n"
      << "0 g BT /F1 " << h / 16 << " Tf " << x0 + w / 8 << " " << y0 + h / 3 << " Td (" << text
      << ") Tj ET\n";
    return s.str();
}

class PdfImportTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "folimo-import-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (std::getenv("FOLIMO_KEEP_TEST_FILES"))
            return;
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    fs::path save(const std::string& name, const RawPdf& pdf, int root) {
        fs::path p = dir_ / name;
        writeFile(p, pdf.build(root));
        return p;
    }

    // Every page of `output` looks like the same page of `input` when rendered.
    void expectSameRenders(const fs::path& input, const fs::path& output, int pages) {
        for (int i = 1; i <= pages; ++i) {
            Image a = render(input, i, dir_);
            Image b = render(output, i, dir_);
            EXPECT_EQ(a.width, b.width) << "page " << i;
            EXPECT_EQ(a.height, b.height) << "page " << i;
            EXPECT_LT(difference(a, b), 0.005) << "page " << i;
        }
    }

    // Pages in a 600 x 800 media box cropped to (50, 100)-(450, 700), one per rotation,
    // all sharing one font object. Marks outside the crop box must never show.
    fs::path makeRotatedDocument(const std::vector<std::string>& rotations) {
        RawPdf pdf;
        int catalog = pdf.reserve();
        int pagesNode = pdf.reserve();
        int font = pdf.add(kFont);
        std::string kids;
        int i = 0;
        for (const auto& rotate : rotations) {
            ++i;
            std::string content = "0 g 0 0 600 90 re f 460 0 140 800 re f\n" +
                                  marksContent(50, 100, 450, 700, "Page " + std::to_string(i));
            int stream = pdf.addStream("/Filter /FlateDecode", folimo::pdf::deflateBytes(content));
            std::string rot = rotate.empty() ? "" : " /Rotate " + rotate;
            int page = pdf.add("<< /Type /Page /Parent " + ref(pagesNode) +
                               " /MediaBox [0 0 600 800] /CropBox [450 700 50 100]" + rot +
                               " /Resources << /Font << /F1 " + ref(font) + " >> >> /Contents " +
                               ref(stream) + " >>");
            kids += ref(page) + " ";
        }
        pdf.set(pagesNode,
                "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(i) + " >>");
        pdf.set(catalog, "<< /Type /Catalog /Pages " + ref(pagesNode) + " >>");
        return save("rotated.pdf", pdf, catalog);
    }

    fs::path dir_;
};

TEST_F(PdfImportTest, RotatedAndCroppedPagesHaveTheSizeAViewerShows) {
    fs::path in = makeRotatedDocument({"0", "90", "180", "270", "-90", "450", "-180", "45"});
    PdfImport input(in.string());
    ASSERT_EQ(input.pageCount(), 8);
    const double expected[8][2] = {{400, 600}, {600, 400}, {400, 600}, {600, 400},
                                   {600, 400}, {600, 400}, {400, 600}, {400, 600}};
    for (int i = 0; i < 8; ++i) {
        EXPECT_DOUBLE_EQ(input.pageWidth(i), expected[i][0]) << "page " << i + 1;
        EXPECT_DOUBLE_EQ(input.pageHeight(i), expected[i][1]) << "page " << i + 1;
    }
}

TEST_F(PdfImportTest, RotatedAndCroppedPagesRenderLikeTheOriginal) {
    fs::path in = makeRotatedDocument({"0", "90", "180", "270", "-90", "450"});
    fs::path out = dir_ / "out.pdf";
    PdfImport input(in.string());
    auto forms = writeOutput(out, allPages(input));
    ASSERT_EQ(forms.size(), 6u);
    EXPECT_DOUBLE_EQ(forms[1].width, 600);
    EXPECT_DOUBLE_EQ(forms[1].height, 400);
    expectQpdfCheckClean(out);

    auto sizes = pageSizes(out, 6);
    EXPECT_EQ(sizes, (std::vector<std::string>{"400 x 600", "600 x 400", "400 x 600", "600 x 400",
                                               "600 x 400", "600 x 400"}));
    std::string text = pdfText(out);
    for (int i = 1; i <= 6; ++i)
        EXPECT_NE(text.find("Page " + std::to_string(i)), std::string::npos) << text;
    expectSameRenders(in, out, 6);

    // The black bands lie outside the crop box: the clipped render has none of them.
    Image first = render(out, 1, dir_);
    EXPECT_GT(pixel(first, 200, 590), 200); // just above the bottom edge of the crop box
    EXPECT_GT(pixel(first, 395, 300), 200); // just inside its right edge
    EXPECT_LT(pixel(first, 30, 50), 60);    // the black block, upper left
}

TEST_F(PdfImportTest, SharedFontIsWrittenOncePerInput) {
    fs::path in = makeRotatedDocument({"0", "0", "0", "0"});
    fs::path out = dir_ / "out.pdf";
    PdfImport input(in.string());
    auto pages = allPages(input);
    pages.push_back({&input, 2}); // the same page again shares everything too
    writeOutput(out, pages);
    expectQpdfCheckClean(out);
    EXPECT_EQ(countObjects(out, "/Font"), 1);
    EXPECT_EQ(countObjects(out, "/Form", "/Subtype"), 5);
    EXPECT_EQ(countObjects(out, "/Page"), 5); // only the output's own pages
}

TEST_F(PdfImportTest, OneReaderServesOneWriter) {
    fs::path in = makeRotatedDocument({"0"});
    PdfImport input(in.string());
    writeOutput(dir_ / "a.pdf", allPages(input));
    EXPECT_THROW(writeOutput(dir_ / "b.pdf", allPages(input)), std::exception);
}

TEST_F(PdfImportTest, TwoReadersOfOneFileCopyTheirObjectsSeparately) {
    fs::path in = makeRotatedDocument({"0", "0"});
    PdfImport first(in.string());
    PdfImport second(in.string());
    fs::path out = dir_ / "out.pdf";
    writeOutput(out, {{&first, 0}, {&second, 0}, {&first, 1}, {&second, 1}});
    expectQpdfCheckClean(out);
    EXPECT_EQ(countObjects(out, "/Font"), 2);
}

TEST_F(PdfImportTest, SingleFlateContentIsCopiedWithoutRecompressing) {
    RawPdf pdf;
    int catalog = pdf.reserve(), pagesNode = pdf.reserve();
    int font = pdf.add(kFont);
    std::string compressed = folimo::pdf::deflateBytes("BT /F1 20 Tf 20 50 Td (Raw copy) Tj ET", 1);
    int stream = pdf.addStream("/Filter [/FlateDecode]", compressed);
    int page = pdf.add("<< /Type /Page /Parent " + ref(pagesNode) +
                       " /MediaBox [0 0 200 100] /Resources << /Font << /F1 " + ref(font) +
                       " >> >> /Contents " + ref(stream) + " >>");
    pdf.set(pagesNode, "<< /Type /Pages /Kids [" + ref(page) + "] /Count 1 >>");
    pdf.set(catalog, "<< /Type /Catalog /Pages " + ref(pagesNode) + " >>");
    fs::path in = save("raw.pdf", pdf, catalog);
    fs::path out = dir_ / "out.pdf";
    PdfImport input(in.string());
    auto forms = writeOutput(out, allPages(input));
    expectQpdfCheckClean(out);

    QPDF q;
    q.processFile(out.c_str());
    QPDFObjectHandle form = q.getObjectByID(forms[0].objectNumber, 0);
    ASSERT_TRUE(form.isStream());
    auto raw = form.getRawStreamData();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(raw->getBuffer()), raw->getSize()),
              compressed);
    EXPECT_NE(pdfText(out).find("Raw copy"), std::string::npos);
}

TEST_F(PdfImportTest, ContentSplitOverSeveralStreamsWithMixedFiltersIsJoined) {
    RawPdf pdf;
    int catalog = pdf.reserve(), pagesNode = pdf.reserve();
    int font = pdf.add(kFont);
    int first = pdf.addStream("/Filter /FlateDecode", folimo::pdf::deflateBytes("BT /F1 20 Tf"));
    // Operands of one operator split between streams are allowed; only tokens are whole.
    std::string hex;
    for (unsigned char c : std::string("20 50 Td (Joined text) Tj ET")) {
        char b[3];
        std::snprintf(b, sizeof b, "%02X", c);
        hex += b;
    }
    int second = pdf.addStream("/Filter /ASCIIHexDecode", hex + ">");
    int third = pdf.addStream("", "0 g 150 10 30 30 re f");
    int page =
        pdf.add("<< /Type /Page /Parent " + ref(pagesNode) +
                " /MediaBox [0 0 200 100] /Resources << /Font << /F1 " + ref(font) +
                " >> >> /Contents [" + ref(first) + " " + ref(second) + " " + ref(third) + "] >>");
    pdf.set(pagesNode, "<< /Type /Pages /Kids [" + ref(page) + "] /Count 1 >>");
    pdf.set(catalog, "<< /Type /Catalog /Pages " + ref(pagesNode) + " >>");
    fs::path in = save("split.pdf", pdf, catalog);
    fs::path out = dir_ / "out.pdf";
    PdfImport input(in.string());
    writeOutput(out, allPages(input));
    expectQpdfCheckClean(out);
    EXPECT_NE(pdfText(out).find("Joined text"), std::string::npos);
    expectSameRenders(in, out, 1);
}

TEST_F(PdfImportTest, AttributesInheritedFromThePageTreeAreUsed) {
    RawPdf pdf;
    int catalog = pdf.reserve(), root = pdf.reserve(), middle = pdf.reserve();
    int font = pdf.add(kFont);
    int resources = pdf.add("<< /Font << /F1 " + ref(font) + " >> >>");
    std::string kids;
    for (int i = 1; i <= 2; ++i) {
        int stream =
            pdf.addStream("", marksContent(0, 0, 300, 400, "Inherited " + std::to_string(i)));
        int page =
            pdf.add("<< /Type /Page /Parent " + ref(middle) + " /Contents " + ref(stream) + " >>");
        kids += ref(page) + " ";
    }
    pdf.set(middle, "<< /Type /Pages /Parent " + ref(root) + " /Kids [" + kids +
                        "] /Count 2 /Rotate 90 >>");
    pdf.set(root, "<< /Type /Pages /Kids [" + ref(middle) +
                      "] /Count 2 /MediaBox [0 0 300 400] /Resources " + ref(resources) + " >>");
    pdf.set(catalog, "<< /Type /Catalog /Pages " + ref(root) + " >>");
    fs::path in = save("inherited.pdf", pdf, catalog);
    fs::path out = dir_ / "out.pdf";
    PdfImport input(in.string());
    ASSERT_EQ(input.pageCount(), 2);
    EXPECT_DOUBLE_EQ(input.pageWidth(0), 400);
    EXPECT_DOUBLE_EQ(input.pageHeight(0), 300);
    writeOutput(out, allPages(input));
    expectQpdfCheckClean(out);
    std::string text = pdfText(out);
    EXPECT_NE(text.find("Inherited 1"), std::string::npos) << text;
    EXPECT_NE(text.find("Inherited 2"), std::string::npos) << text;
    EXPECT_EQ(pageSizes(out, 2), (std::vector<std::string>{"400 x 300", "400 x 300"}));
    expectSameRenders(in, out, 2);
    EXPECT_EQ(countObjects(out, "/Page"), 2);
    EXPECT_EQ(countObjects(out, "/Pages"), 1);
}

TEST_F(PdfImportTest, UserUnitScalesTheSize) {
    RawPdf pdf;
    int catalog = pdf.reserve(), pagesNode = pdf.reserve();
    int stream = pdf.addStream("", "0 g 10 10 20 20 re f");
    int page = pdf.add("<< /Type /Page /Parent " + ref(pagesNode) +
                       " /MediaBox [0 0 100 50] /UserUnit 2.5 /Rotate 270 /Contents " +
                       ref(stream) + " >>");
    pdf.set(pagesNode, "<< /Type /Pages /Kids [" + ref(page) + "] /Count 1 >>");
    pdf.set(catalog, "<< /Type /Catalog /Pages " + ref(pagesNode) + " >>");
    fs::path in = save("unit.pdf", pdf, catalog);
    PdfImport input(in.string());
    EXPECT_DOUBLE_EQ(input.pageWidth(0), 125);
    EXPECT_DOUBLE_EQ(input.pageHeight(0), 250);
    fs::path out = dir_ / "out.pdf";
    auto forms = writeOutput(out, allPages(input));
    EXPECT_DOUBLE_EQ(forms[0].width, 125);
    EXPECT_DOUBLE_EQ(forms[0].height, 250);
    expectQpdfCheckClean(out);
    // The square at (10, 10)-(30, 30), turned three quarters clockwise and scaled by 2.5,
    // covers (50, 175)-(100, 225) counted from the output's top left.
    Image image = render(out, 1, dir_);
    EXPECT_LT(pixel(image, 75, 200), 60);
    EXPECT_GT(pixel(image, 50, 50), 200);
    // Poppler ignores /UserUnit; the original at 2.5 times the resolution is the same.
    EXPECT_LT(difference(render(in, 1, dir_, 50), image), 0.005);
}

TEST_F(PdfImportTest, MissingOrUnusableBoxesFallBackLikeViewers) {
    RawPdf pdf;
    int catalog = pdf.reserve(), pagesNode = pdf.reserve();
    int stream = pdf.addStream("", "");
    std::string kids;
    // No media box at all; a crop box reaching outside the media box; a crop box of no
    // area; a crop box that is not a rectangle.
    const char* boxes[] = {"", "/MediaBox [0 0 200 300] /CropBox [-50 100 150 400]",
                           "/MediaBox [0 0 200 300] /CropBox [10 10 10 50]",
                           "/MediaBox [0 0 200 300] /CropBox [0 0 (x) 5]"};
    for (const char* box : boxes) {
        int page = pdf.add("<< /Type /Page /Parent " + ref(pagesNode) + " " + box + " /Contents " +
                           ref(stream) + " >>");
        kids += ref(page) + " ";
    }
    pdf.set(pagesNode, "<< /Type /Pages /Kids [" + kids + "] /Count 4 >>");
    pdf.set(catalog, "<< /Type /Catalog /Pages " + ref(pagesNode) + " >>");
    fs::path in = save("boxes.pdf", pdf, catalog);
    PdfImport input(in.string());
    ASSERT_EQ(input.pageCount(), 4);
    EXPECT_DOUBLE_EQ(input.pageWidth(0), 612);
    EXPECT_DOUBLE_EQ(input.pageHeight(0), 792);
    EXPECT_DOUBLE_EQ(input.pageWidth(1), 150);
    EXPECT_DOUBLE_EQ(input.pageHeight(1), 200);
    EXPECT_DOUBLE_EQ(input.pageWidth(2), 200);
    EXPECT_DOUBLE_EQ(input.pageHeight(2), 300);
    EXPECT_DOUBLE_EQ(input.pageWidth(3), 200);
    EXPECT_DOUBLE_EQ(input.pageHeight(3), 300);
    fs::path out = dir_ / "out.pdf";
    writeOutput(out, allPages(input));
    expectQpdfCheckClean(out);
}

// A square comment with its own appearance, two annotations a viewer must not show, and
// a filled text field whose appearance is in the file.
fs::path makeAnnotatedDocument(const fs::path& dir, bool needAppearances) {
    RawPdf pdf;
    int catalog = pdf.reserve(), pagesNode = pdf.reserve(), page = pdf.reserve();
    int font = pdf.add(kFont);
    int content = pdf.addStream("", "BT /F1 14 Tf 20 270 Td (Annotated page) Tj ET");
    auto appearance = [&pdf](const std::string& drawing) {
        return pdf.addStream("/Type /XObject /Subtype /Form /BBox [0 0 60 60]", drawing);
    };
    int square = pdf.add("<< /Type /Annot /Subtype /Square /Rect [20 20 80 80] /P " + ref(page) +
                         " /F 4 /AP << /N " + ref(appearance("0 g 0 0 60 60 re f")) + " >> >>");
    int hidden = pdf.add("<< /Type /Annot /Subtype /Square /Rect [200 200 260 260] /F 2 /AP "
                         "<< /N " +
                         ref(appearance("0 g 0 0 60 60 re f")) + " >> >>");
    int noView = pdf.add("<< /Type /Annot /Subtype /Square /Rect [200 20 260 80] /F 32 /AP "
                         "<< /N " +
                         ref(appearance("0 g 0 0 60 60 re f")) + " >> >>");
    int widget;
    if (needAppearances) {
        widget = pdf.add("<< /Type /Annot /Subtype /Widget /FT /Tx /T (name) "
                         "/V (Typed in later) /DA (/Helv 12 Tf 0 g) /Rect [20 150 220 180] /P " +
                         ref(page) + " /F 4 >>");
    } else {
        int fieldAp = pdf.addStream(
            "/Type /XObject /Subtype /Form /BBox [0 0 200 30] /Resources << /Font << /Helv " +
                ref(font) + " >> >>",
            "/Tx BMC BT /Helv 12 Tf 0 g 2 10 Td (Filled value) Tj ET EMC");
        widget = pdf.add("<< /Type /Annot /Subtype /Widget /FT /Tx /T (name) /V (Filled value) "
                         "/DA (/Helv 12 Tf 0 g) /Rect [20 150 220 180] /P " +
                         ref(page) + " /F 4 /AP << /N " + ref(fieldAp) + " >> >>");
    }
    pdf.set(page, "<< /Type /Page /Parent " + ref(pagesNode) +
                      " /MediaBox [0 0 300 300] /Resources << /Font << /F1 " + ref(font) +
                      " >> >> /Contents " + ref(content) + " /Annots [" + ref(square) + " " +
                      ref(hidden) + " " + ref(noView) + " " + ref(widget) + "] >>");
    pdf.set(pagesNode, "<< /Type /Pages /Kids [" + ref(page) + "] /Count 1 >>");
    pdf.set(catalog, "<< /Type /Catalog /Pages " + ref(pagesNode) + " /AcroForm << /Fields [" +
                         ref(widget) + "] /DR << /Font << /Helv " + ref(font) + " >> >>" +
                         (needAppearances ? " /NeedAppearances true" : "") + " >> >>");
    fs::path path = dir / (needAppearances ? "form.pdf" : "annotated.pdf");
    writeFile(path, pdf.build(catalog));
    return path;
}

TEST_F(PdfImportTest, VisibleAnnotationAppearancesAreDrawnHiddenOnesAreNot) {
    fs::path in = makeAnnotatedDocument(dir_, false);
    fs::path out = dir_ / "out.pdf";
    PdfImport input(in.string());
    writeOutput(out, allPages(input));
    expectQpdfCheckClean(out);
    Image image = render(out, 1, dir_);
    EXPECT_LT(pixel(image, 50, 300 - 50), 60);    // the square comment
    EXPECT_GT(pixel(image, 230, 300 - 230), 200); // hidden
    EXPECT_GT(pixel(image, 230, 300 - 50), 200);  // not for viewing
    std::string text = pdfText(out);
    EXPECT_NE(text.find("Filled value"), std::string::npos) << text;
    EXPECT_NE(text.find("Annotated page"), std::string::npos) << text;
    expectSameRenders(in, out, 1);
    // Annotations became content; no annotation object and no page of the input came along.
    EXPECT_EQ(countObjects(out, "/Annot"), 0);
    EXPECT_EQ(countObjects(out, "/Page"), 1);
}

TEST_F(PdfImportTest, FormFieldValuesWithoutAppearancesAreStillShown) {
    fs::path in = makeAnnotatedDocument(dir_, true);
    fs::path out = dir_ / "out.pdf";
    PdfImport input(in.string());
    writeOutput(out, allPages(input));
    expectQpdfCheckClean(out);
    std::string text = pdfText(out);
    EXPECT_NE(text.find("Typed in later"), std::string::npos) << text;
    Image image = render(out, 1, dir_);
    EXPECT_LT(pixel(image, 50, 300 - 50), 60);
}

TEST_F(PdfImportTest, ReferenceCyclesAreCopiedOnce) {
    RawPdf pdf;
    int catalog = pdf.reserve(), pagesNode = pdf.reserve();
    int resources = pdf.reserve(), font = pdf.reserve(), form = pdf.reserve();
    pdf.set(font,
            "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Loop " + ref(resources) + " >>");
    pdf.setStream(form,
                  "/Type /XObject /Subtype /Form /BBox [0 0 50 50] /Resources << "
                  "/XObject << /Self " +
                      ref(form) + " >> /Font << /F1 " + ref(font) + " >> >>",
                  "0 g 0 0 50 50 re f");
    pdf.set(resources, "<< /Font << /F1 " + ref(font) + " >> /XObject << /X " + ref(form) +
                           " >> /Back " + ref(resources) + " >>");
    int content = pdf.addStream("", "BT /F1 12 Tf 10 80 Td (Cycles) Tj ET /X Do");
    int page = pdf.add("<< /Type /Page /Parent " + ref(pagesNode) +
                       " /MediaBox [0 0 200 100] /Resources " + ref(resources) + " /Contents " +
                       ref(content) + " >>");
    pdf.set(pagesNode, "<< /Type /Pages /Kids [" + ref(page) + "] /Count 1 >>");
    pdf.set(catalog, "<< /Type /Catalog /Pages " + ref(pagesNode) + " >>");
    fs::path in = save("cycle.pdf", pdf, catalog);
    fs::path out = dir_ / "out.pdf";
    PdfImport input(in.string());
    int objects = 0;
    writeOutput(out, {{&input, 0}, {&input, 0}}, &objects);
    expectQpdfCheckClean(out);
    // Catalog, pages, and per page: form, content, page; then resources, font, form once.
    EXPECT_EQ(objects, 2 + 2 * 3 + 3);
    EXPECT_NE(pdfText(out).find("Cycles"), std::string::npos);
    expectSameRenders(in, out, 1);
}

TEST_F(PdfImportTest, LongReferenceChainsDoNotExhaustTheStack) {
    constexpr int kChain = 60000;
    RawPdf pdf;
    int catalog = pdf.reserve(), pagesNode = pdf.reserve();
    int first = pdf.reserve();
    int previous = first;
    for (int i = 1; i < kChain; ++i) {
        int next = pdf.reserve();
        pdf.set(previous, "<< /Next " + ref(next) + " >>");
        previous = next;
    }
    pdf.set(previous, "<< /End true >>");
    int content = pdf.addStream("", "0 g 10 10 20 20 re f");
    int page = pdf.add("<< /Type /Page /Parent " + ref(pagesNode) +
                       " /MediaBox [0 0 100 100] /Resources << /Properties << /Chain " +
                       ref(first) + " >> >> /Contents " + ref(content) + " >>");
    pdf.set(pagesNode, "<< /Type /Pages /Kids [" + ref(page) + "] /Count 1 >>");
    pdf.set(catalog, "<< /Type /Catalog /Pages " + ref(pagesNode) + " >>");
    fs::path in = save("chain.pdf", pdf, catalog);
    fs::path out = dir_ / "out.pdf";
    PdfImport input(in.string());
    int objects = 0;
    writeOutput(out, allPages(input), &objects);
    EXPECT_EQ(objects, 2 + 3 + kChain);
    expectQpdfCheckClean(out);
}

TEST_F(PdfImportTest, ReferencesToPagesDoNotPullInThePageTree) {
    RawPdf pdf;
    int catalog = pdf.reserve(), pagesNode = pdf.reserve();
    int p1 = pdf.reserve(), p2 = pdf.reserve(), p3 = pdf.reserve();
    int font = pdf.add(kFont);
    int image = pdf.addStream("/Type /XObject /Subtype /Image /Width 2 /Height 2 "
                              "/ColorSpace /DeviceGray /BitsPerComponent 8 /StructParent 4",
                              std::string("\x00\xff\xff\x00", 4));
    int other =
        pdf.add("<< /P " + ref(p1) + " /Parent " + ref(pagesNode) + " /Pages [" + ref(p1) + " " +
                ref(p3) + " 7] /Kids " + ref(pagesNode) + " /StructParents 3 /Keep (kept) >>");
    int form = pdf.addStream("/Type /XObject /Subtype /Form /BBox [0 0 10 10] /StructParents 9 "
                             "/Resources << /XObject << /Im " +
                                 ref(image) + " >> >>",
                             "q 10 0 0 10 0 0 cm /Im Do Q");
    int content = pdf.addStream("", "BT /F1 12 Tf 10 50 Td (Second page) Tj ET q 5 0 0 5 10 10 "
                                    "cm /Fm Do Q");
    for (int p : {p1, p2, p3}) {
        pdf.set(p, "<< /Type /Page /Parent " + ref(pagesNode) +
                       " /MediaBox [0 0 200 100] /Resources << /Font << /F1 " + ref(font) +
                       " >> /XObject << /Fm " + ref(form) + " >> /Properties << /O " + ref(other) +
                       " >> >> /Contents " + ref(content) + " /StructParents " + std::to_string(p) +
                       " >>");
    }
    pdf.set(pagesNode,
            "<< /Type /Pages /Kids [" + ref(p1) + " " + ref(p2) + " " + ref(p3) + "] /Count 3 >>");
    pdf.set(catalog, "<< /Type /Catalog /Pages " + ref(pagesNode) + " >>");
    fs::path in = save("pagerefs.pdf", pdf, catalog);
    fs::path out = dir_ / "out.pdf";
    PdfImport input(in.string());
    writeOutput(out, {{&input, 1}});
    expectQpdfCheckClean(out);
    EXPECT_EQ(countObjects(out, "/Page"), 1);
    EXPECT_EQ(countObjects(out, "/Pages"), 1);
    EXPECT_EQ(countObjects(out, "", "/StructParents"), 0);
    EXPECT_EQ(countObjects(out, "", "/StructParent"), 0);
    EXPECT_EQ(countObjects(out, "", "/Keep"), 1);
    EXPECT_NE(pdfText(out).find("Second page"), std::string::npos);
    Image a = render(in, 2, dir_);
    Image b = render(out, 1, dir_);
    EXPECT_LT(difference(a, b), 0.005);
}

// A page with text and a small image, encrypted with an empty user password by qpdf.
fs::path makePlainDocumentWithImage(const fs::path& dir, std::string* imageData) {
    RawPdf pdf;
    int catalog = pdf.reserve(), pagesNode = pdf.reserve();
    int font = pdf.add(kFont);
    std::string pixels;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            pixels += static_cast<char>((x * 16 + y * 3) & 0xFF);
    *imageData = folimo::pdf::deflateBytes(pixels);
    int image = pdf.addStream("/Type /XObject /Subtype /Image /Width 16 /Height 16 "
                              "/ColorSpace /DeviceGray /BitsPerComponent 8 /Filter /FlateDecode",
                              *imageData);
    int content = pdf.addStream("", "BT /F1 16 Tf 20 170 Td (Secret but readable) Tj ET "
                                    "q 120 0 0 120 40 20 cm /Im1 Do Q");
    int page =
        pdf.add("<< /Type /Page /Parent " + ref(pagesNode) +
                " /MediaBox [0 0 200 200] /Resources << /Font << /F1 " + ref(font) +
                " >> /XObject << /Im1 " + ref(image) + " >> >> /Contents " + ref(content) + " >>");
    pdf.set(pagesNode, "<< /Type /Pages /Kids [" + ref(page) + "] /Count 1 >>");
    pdf.set(catalog, "<< /Type /Catalog /Pages " + ref(pagesNode) + " >>");
    fs::path path = dir / "plain.pdf";
    writeFile(path, pdf.build(catalog));
    return path;
}

TEST_F(PdfImportTest, EncryptedFileWithEmptyUserPasswordImportsDecrypted) {
    std::string imageData;
    fs::path plain = makePlainDocumentWithImage(dir_, &imageData);
    for (const std::string how : {"256", "128 --use-aes=y", "128 --use-aes=n"}) {
        fs::path enc = dir_ / "encrypted.pdf";
        Command c = run("qpdf --allow-weak-crypto --encrypt '' owner " + how + " -- " +
                        quote(plain) + " " + quote(enc) + " 2>&1");
        ASSERT_TRUE(c.status == 0 || c.status == 3) << c.out;
        fs::path out = dir_ / "out.pdf";
        PdfImport input(enc.string());
        writeOutput(out, allPages(input));
        expectQpdfCheckClean(out);
        EXPECT_NE(pdfText(out).find("Secret but readable"), std::string::npos) << how;
        expectSameRenders(plain, out, 1);

        // The image's still-compressed bytes arrive exactly as they were before encryption.
        QPDF q;
        q.processFile(out.c_str());
        EXPECT_FALSE(q.isEncrypted());
        int images = 0;
        for (auto& obj : q.getAllObjects()) {
            if (obj.isStream() && obj.getDict().isDictionaryOfType("/XObject", "/Image")) {
                auto raw = obj.getRawStreamData();
                EXPECT_EQ(
                    std::string(reinterpret_cast<const char*>(raw->getBuffer()), raw->getSize()),
                    imageData)
                    << how;
                ++images;
            }
        }
        EXPECT_EQ(images, 1) << how;
    }
}

TEST_F(PdfImportTest, FileWithUserPasswordIsRefused) {
    std::string imageData;
    fs::path plain = makePlainDocumentWithImage(dir_, &imageData);
    fs::path enc = dir_ / "locked.pdf";
    Command c =
        run("qpdf --encrypt user owner 256 -- " + quote(plain) + " " + quote(enc) + " 2>&1");
    ASSERT_EQ(c.status, 0) << c.out;
    try {
        PdfImport input(enc.string());
        FAIL() << "a file with a user password was opened";
    } catch (const ImportError& e) {
        EXPECT_NE(std::string(e.what()).find("password-protected"), std::string::npos) << e.what();
    }
}

std::string importErrorOf(const fs::path& path) {
    try {
        PdfImport input(path.string());
    } catch (const ImportError& e) {
        return e.what();
    }
    return "no error";
}

TEST_F(PdfImportTest, UnreadableFilesGiveClearErrors) {
    writeFile(dir_ / "empty.pdf", "");
    writeFile(dir_ / "text.pdf", "Dear reader,\nthis is a letter, not a PDF.\n");
    writeFile(dir_ / "broken.pdf", "%PDF-1.4\n1 0 obj\n<< /Type /Catalog >>\nendobj\ngarbage");
    std::string empty = importErrorOf(dir_ / "empty.pdf");
    std::string text = importErrorOf(dir_ / "text.pdf");
    std::string broken = importErrorOf(dir_ / "broken.pdf");
    std::string missing = importErrorOf(dir_ / "missing.pdf");
    EXPECT_NE(empty.find("the file is empty"), std::string::npos) << empty;
    EXPECT_NE(text.find("not a PDF file"), std::string::npos) << text;
    EXPECT_NE(broken.find("damaged"), std::string::npos) << broken;
    EXPECT_NE(missing.find("could not be opened: No such file"), std::string::npos) << missing;
    EXPECT_NE(missing.find("missing.pdf"), std::string::npos) << missing;
}

TEST_F(PdfImportTest, RepairableDamageStillImports) {
    fs::path good = makeRotatedDocument({"0", "90"});
    std::string bytes = readFile(good);
    // Every cross-reference entry and the table's own position are wrong; readers rebuild
    // them by scanning the objects.
    auto at = bytes.find("startxref\n");
    ASSERT_NE(at, std::string::npos);
    bytes = bytes.substr(0, at) + "startxref\n12345\n%%EOF\n";
    for (std::size_t p = bytes.find(" 00000 n "); p != std::string::npos;
         p = bytes.find(" 00000 n ", p + 1))
        bytes.replace(p - 10, 10, "0000000077");
    fs::path damaged = dir_ / "damaged.pdf";
    writeFile(damaged, bytes);
    PdfImport input(damaged.string());
    ASSERT_EQ(input.pageCount(), 2);
    fs::path out = dir_ / "out.pdf";
    writeOutput(out, allPages(input));
    expectQpdfCheckClean(out);
    expectSameRenders(good, out, 2);
}

TEST_F(PdfImportTest, CompressedObjectStreamsAreRead) {
    fs::path in = makeRotatedDocument({"90", "0"});
    fs::path packed = dir_ / "packed.pdf";
    Command c = run("qpdf --object-streams=generate " + quote(in) + " " + quote(packed) + " 2>&1");
    ASSERT_EQ(c.status, 0) << c.out;
    PdfImport input(packed.string());
    fs::path out = dir_ / "out.pdf";
    writeOutput(out, allPages(input));
    expectQpdfCheckClean(out);
    expectSameRenders(in, out, 2);
}

TEST_F(PdfImportTest, PageIndexOutOfRangeIsAnImportError) {
    fs::path in = makeRotatedDocument({"0", "0"});
    PdfImport input(in.string());
    EXPECT_THROW(input.pageWidth(-1), ImportError);
    EXPECT_THROW(input.pageHeight(2), ImportError);
    try {
        input.pageWidth(5);
    } catch (const ImportError& e) {
        EXPECT_NE(std::string(e.what()).find("there is no page 6; the document has 2 pages"),
                  std::string::npos)
            << e.what();
    }
    fs::path out = dir_ / "out.pdf";
    int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    PdfWriter writer(fd, "test.pdf");
    EXPECT_THROW(input.writePage(writer, 2), ImportError);
    EXPECT_THROW(input.writePage(writer, -1), ImportError);
    EXPECT_EQ(writer.objectCount(), 0);
}

TEST_F(PdfImportTest, UnreadablePageFailsAloneAndTheOutputStaysWhole) {
    RawPdf pdf;
    int catalog = pdf.reserve(), pagesNode = pdf.reserve();
    int font = pdf.add(kFont);
    int bad = pdf.addStream("/Filter /NoSuchDecode", "BT /F1 12 Tf (lost) Tj ET");
    int good = pdf.addStream("", "BT /F1 12 Tf 10 50 Td (Survivor) Tj ET");
    std::string resources =
        " /MediaBox [0 0 200 100] /Resources << /Font << /F1 " + ref(font) + " >> >>";
    int p1 = pdf.add("<< /Type /Page /Parent " + ref(pagesNode) + resources + " /Contents " +
                     ref(bad) + " >>");
    int p2 = pdf.add("<< /Type /Page /Parent " + ref(pagesNode) + resources + " /Contents " +
                     ref(good) + " >>");
    pdf.set(pagesNode, "<< /Type /Pages /Kids [" + ref(p1) + " " + ref(p2) + "] /Count 2 >>");
    pdf.set(catalog, "<< /Type /Catalog /Pages " + ref(pagesNode) + " >>");
    fs::path in = save("badpage.pdf", pdf, catalog);
    PdfImport input(in.string());

    fs::path out = dir_ / "out.pdf";
    int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    PdfWriter writer(fd, "test.pdf");
    writer.write("%PDF-1.7\n");
    try {
        input.writePage(writer, 0);
        FAIL() << "an undecodable page was written";
    } catch (const ImportError& e) {
        EXPECT_NE(std::string(e.what()).find("page 1 could not be read"), std::string::npos)
            << e.what();
    }
    PdfImport::Form form = input.writePage(writer, 1);
    int pagesNumber = writer.newObjectNumber();
    int content = writer.newObjectNumber();
    writer.writeStreamObject(content, "", "/F0 Do");
    int page = writer.beginNewObject();
    writer.write("<< /Type /Page /Parent " + ref(pagesNumber) +
                 " /MediaBox [0 0 200 100] /Resources << /XObject << /F0 " +
                 ref(form.objectNumber) + " >> >> /Contents " + ref(content) + " >>");
    writer.endObject();
    writer.beginObject(pagesNumber);
    writer.write("<< /Type /Pages /Kids [" + ref(page) + "] /Count 1 >>");
    writer.endObject();
    int root = writer.beginNewObject();
    writer.write("<< /Type /Catalog /Pages " + ref(pagesNumber) + " >>");
    writer.endObject();
    writer.finish(root, 0, "");
    expectQpdfCheckClean(out);
    EXPECT_NE(pdfText(out).find("Survivor"), std::string::npos);
}

// Objects a failed page had already copied or numbered must neither be lost to the
// pages after it nor leave holes in the output.
TEST_F(PdfImportTest, PageFailingHalfwayLeavesNoHolesAndLaterPagesCopyAfresh) {
    RawPdf pdf;
    int catalog = pdf.reserve(), pagesNode = pdf.reserve();
    int font = pdf.add(kFont);
    int text = pdf.addStream("", "BT /F1 12 Tf 10 50 Td (Still here) Tj ET");
    std::string resources =
        " /MediaBox [0 0 200 100] /Resources << /Font << /F1 " + ref(font) + " >> >>";
    int p2 = pdf.add("<< /Type /Page /Parent " + ref(pagesNode) + resources + " /Contents " +
                     ref(text) + " >>");
    int p1 = pdf.reserve();
    // The appearance's dictionary is read when the file is opened, its data only when the
    // page is copied; it comes last in the file so that cutting the file loses just it.
    std::string lost(4000, ' ');
    int appearance = pdf.addStream("/Type /XObject /Subtype /Form /BBox [0 0 20 20]",
                                   "0 g 0 0 20 20 re f" + lost);
    int annot = pdf.add("<< /Type /Annot /Subtype /Square /Rect [10 10 30 30] /AP << /N " +
                        ref(appearance) + " >> >>");
    pdf.set(p1, "<< /Type /Page /Parent " + ref(pagesNode) + resources + " /Contents " + ref(text) +
                    " /Annots [" + ref(annot) + "] >>");
    pdf.set(pagesNode, "<< /Type /Pages /Kids [" + ref(p1) + " " + ref(p2) + "] /Count 2 >>");
    pdf.set(catalog, "<< /Type /Catalog /Pages " + ref(pagesNode) + " >>");
    fs::path in = save("cut.pdf", pdf, catalog);
    std::string bytes = readFile(in);
    PdfImport input(in.string());
    fs::resize_file(in, bytes.find(lost) - 10);

    fs::path out = dir_ / "out.pdf";
    int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    PdfWriter writer(fd, "test.pdf");
    writer.write("%PDF-1.7\n");
    try {
        input.writePage(writer, 0);
        ADD_FAILURE() << "a page whose data is gone was written";
    } catch (const ImportError& e) {
        EXPECT_NE(std::string(e.what()).find("page 1 could not be read"), std::string::npos)
            << e.what();
    }
    int afterFailure = writer.objectCount();
    PdfImport::Form form = input.writePage(writer, 1);
    // The font the failed page had copied is copied again for this page.
    EXPECT_GT(writer.objectCount(), afterFailure + 1);
    int pagesNumber = writer.newObjectNumber();
    int content = writer.newObjectNumber();
    writer.writeStreamObject(content, "", "/F0 Do");
    int page = writer.beginNewObject();
    writer.write("<< /Type /Page /Parent " + ref(pagesNumber) +
                 " /MediaBox [0 0 200 100] /Resources << /XObject << /F0 " +
                 ref(form.objectNumber) + " >> >> /Contents " + ref(content) + " >>");
    writer.endObject();
    writer.beginObject(pagesNumber);
    writer.write("<< /Type /Pages /Kids [" + ref(page) + "] /Count 1 >>");
    writer.endObject();
    int root = writer.beginNewObject();
    writer.write("<< /Type /Catalog /Pages " + ref(pagesNumber) + " >>");
    writer.endObject();
    writer.finish(root, 0, "");
    expectQpdfCheckClean(out);
    EXPECT_NE(pdfText(out).find("Still here"), std::string::npos);
}

} // namespace
