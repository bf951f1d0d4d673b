// Embedded outline fonts on their own: a hand-built page showing text in a subset font,
// read back by poppler (text, font list, rendering) and qpdf.
#include "TestSupport.h"

#include "base/PdfError.h"
#include "pdf/PdfFont.h"
#include "pdf/PdfWriter.h"

#include <gtest/gtest.h>

#include <qpdf/QPDF.hh>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

using folimo::pdf::findFont;
using folimo::pdf::FontLocation;
using folimo::pdf::PdfError;
using folimo::pdf::PdfFont;
using folimo::pdf::PdfWriter;
using namespace folimo::test;

const std::string kZenHei = "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc";
const std::string kDejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

std::string hex(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out = "<";
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out + ">";
}

// A one-page document whose only content is `text` in `font` at 24 points; every line
// of text is a separate Tj, 30 points above the one before. The page is 400 points wide.
void writeTextPdf(const std::string& path, PdfFont& font, const std::vector<std::u32string>& lines,
                  int pageHeight = 100) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    PdfWriter writer(fd, "test.pdf");
    writer.write("%PDF-1.7\n%\xE2\xE3\xCF\xD3\n");
    int catalog = writer.newObjectNumber();
    int pages = writer.newObjectNumber();
    int page = writer.newObjectNumber();
    int content = writer.newObjectNumber();
    int fontNumber = writer.newObjectNumber();

    std::string ops = "BT /F1 24 Tf 20 40 Td";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            ops += " 0 30 Td";
        ops += " " + hex(font.encode(lines[i])) + " Tj";
    }
    ops += " ET";

    writer.beginObject(catalog);
    writer.write("<< /Type /Catalog /Pages " + std::to_string(pages) + " 0 R >>");
    writer.endObject();
    writer.beginObject(pages);
    writer.write("<< /Type /Pages /Kids [" + std::to_string(page) + " 0 R] /Count 1 >>");
    writer.endObject();
    writer.beginObject(page);
    writer.write("<< /Type /Page /Parent " + std::to_string(pages) + " 0 R /MediaBox [0 0 400 " +
                 std::to_string(pageHeight) + "] /Contents " + std::to_string(content) +
                 " 0 R /Resources << /Font << /F1 " + std::to_string(fontNumber) + " 0 R >> >> >>");
    writer.endObject();
    writer.writeStreamObject(content, "", ops);
    font.write(writer, fontNumber);
    writer.finish(catalog, 0, "");
}

std::string trimmed(std::string s) {
    auto end = s.find_last_not_of(" \n\r\f\t");
    return end == std::string::npos ? "" : s.substr(0, end + 1);
}

std::string extractText(const std::string& pdf) {
    CommandResult r = runCommand("pdftotext -enc UTF-8 " + shellQuote(pdf) + " -");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return trimmed(r.output);
}

// The decoded length of the embedded font program and its compressed size in the file.
struct EmbeddedFontFile {
    long long length1 = -1;
    std::size_t compressed = 0;
    std::string subtype;
    std::string baseFont;
};
EmbeddedFontFile embeddedFontFile(const std::string& pdf) {
    QPDF q;
    q.processFile(pdf.c_str());
    EmbeddedFontFile out;
    QPDFObjectHandle page = q.getAllPages().at(0);
    auto font = page.getKey("/Resources").getKey("/Font").getKey("/F1");
    out.baseFont = font.getKey("/BaseFont").getName();
    auto descendant = font.getKey("/DescendantFonts").getArrayItem(0);
    out.subtype = descendant.getKey("/Subtype").getName();
    auto descriptor = descendant.getKey("/FontDescriptor");
    auto file = descriptor.getKey("/FontFile2");
    if (!file.isStream())
        file = descriptor.getKey("/FontFile3");
    if (file.getDict().getKey("/Length1").isInteger())
        out.length1 = file.getDict().getKey("/Length1").getIntValue();
    out.compressed = file.getRawStreamData()->getSize();
    return out;
}

int inkPixels(const Raster& r, int x0, int y0, int x1, int y1) {
    int ink = 0;
    for (int y = std::max(0, y0); y < std::min(r.height, y1); ++y)
        for (int x = std::max(0, x0); x < std::min(r.width, x1); ++x) {
            const unsigned char* p = r.at(x, y);
            if (p[0] < 128 && p[1] < 128 && p[2] < 128)
                ++ink;
        }
    return ink;
}

class PdfFontTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fileExists(kZenHei))
            GTEST_SKIP() << "fonts-wqy-zenhei is not installed";
    }
    TempDir dir;
};

TEST_F(PdfFontTest, ChineseAndLatinTextIsEmbeddedExtractableAndShown) {
    PdfFont font(FontLocation{kZenHei, 0});
    std::string pdf = dir.file("text.pdf");
    writeTextPdf(pdf, font, {U"机密 Confidential 2026"});

    EXPECT_TRUE(qpdfCheckClean(pdf));
    EXPECT_EQ(extractText(pdf), "机密 Confidential 2026");

    CommandResult fonts = runCommand("pdffonts " + shellQuote(pdf));
    ASSERT_EQ(fonts.exitCode, 0) << fonts.output;
    EXPECT_NE(fonts.output.find("CID TrueType"), std::string::npos) << fonts.output;
    EXPECT_NE(fonts.output.find("Identity-H"), std::string::npos) << fonts.output;
    EXPECT_NE(fonts.output.find("yes yes yes"), std::string::npos) << fonts.output;
    EXPECT_NE(fonts.output.find("+WenQuanYiZenHei"), std::string::npos) << fonts.output;

    // 72 dpi: one pixel per point, the baseline at row 60 and the glyphs above it.
    Raster r = renderPage(pdf, 1, 72);
    ASSERT_EQ(r.width, 400);
    ASSERT_EQ(r.height, 100);
    EXPECT_GT(inkPixels(r, 20, 36, 68, 64), 40) << "no ink where 机密 is";
    EXPECT_GT(inkPixels(r, 80, 36, 200, 64), 40) << "no ink where Confidential is";
    EXPECT_EQ(inkPixels(r, 0, 0, 400, 30), 0) << "ink far above the text";
    EXPECT_EQ(inkPixels(r, 360, 0, 400, 100), 0) << "ink right of the text";
}

TEST_F(PdfFontTest, SubsetIsSmallAndKeepsGlyphIds) {
    struct stat st {};
    ASSERT_EQ(::stat(kZenHei.c_str(), &st), 0);
    PdfFont font(FontLocation{kZenHei, 0});
    std::string pdf = dir.file("small.pdf");
    writeTextPdf(pdf, font, {U"机密 Confidential 2026"});
    EmbeddedFontFile file = embeddedFontFile(pdf);
    RecordProperty("font_file_bytes", std::to_string(file.compressed));
    RecordProperty("font_program_bytes", std::to_string(file.length1));
    EXPECT_EQ(file.subtype, "/CIDFontType2");
    EXPECT_GT(file.length1, 0);
    EXPECT_LT(file.compressed, 200u * 1024) << "source is " << st.st_size << " bytes";
    EXPECT_LT(file.length1, st.st_size / 20);
    struct stat pdfStat {};
    ASSERT_EQ(::stat(pdf.c_str(), &pdfStat), 0);
    EXPECT_LT(pdfStat.st_size, 200 * 1024);
    // Six uppercase letters, a plus, then the font's own name.
    ASSERT_GT(file.baseFont.size(), 8u);
    for (int i = 1; i <= 6; ++i)
        EXPECT_TRUE(file.baseFont[i] >= 'A' && file.baseFont[i] <= 'Z') << file.baseFont;
    EXPECT_EQ(file.baseFont[7], '+');
}

TEST_F(PdfFontTest, SameTextGivesTheSameFile) {
    std::string a = dir.file("a.pdf"), b = dir.file("b.pdf"), c = dir.file("c.pdf");
    {
        PdfFont font(FontLocation{kZenHei, 0});
        writeTextPdf(a, font, {U"机密 2026"});
    }
    {
        PdfFont font(FontLocation{kZenHei, 0});
        writeTextPdf(b, font, {U"机密 2026"});
    }
    {
        PdfFont font(FontLocation{kZenHei, 0});
        writeTextPdf(c, font, {U"绝密 2027"});
    }
    EXPECT_EQ(readFile(a), readFile(b));
    EXPECT_NE(embeddedFontFile(a).baseFont, embeddedFontFile(c).baseFont);
}

TEST_F(PdfFontTest, EncodeGivesBigEndianGlyphIdsAndMissingCharactersGiveNotdef) {
    PdfFont font(FontLocation{kZenHei, 0});
    std::string bytes = font.encode(U"A\U0010FFFD\x378");
    ASSERT_EQ(bytes.size(), 6u);
    EXPECT_NE(bytes.substr(0, 2), std::string(2, '\0'));
    EXPECT_EQ(bytes.substr(2, 2), std::string(2, '\0'));
    EXPECT_EQ(bytes.substr(4, 2), std::string(2, '\0'));
    // Not even a character: still no crash, still .notdef.
    std::u32string odd = {char32_t(0xD800), char32_t(0x110000), char32_t(0xFFFFFFFF)};
    EXPECT_EQ(font.encode(odd), std::string(6, '\0'));
    EXPECT_EQ(font.encode(U""), "");
}

TEST_F(PdfFontTest, TextWithMissingCharactersStillMakesAValidDocument) {
    PdfFont font(FontLocation{kZenHei, 0});
    std::string pdf = dir.file("missing.pdf");
    std::u32string text = U"机\U0010FFFD\x378密";
    text += char32_t(0xD800);
    writeTextPdf(pdf, font, {text});
    EXPECT_TRUE(qpdfCheckClean(pdf));
    std::string extracted = extractText(pdf);
    EXPECT_NE(extracted.find("机"), std::string::npos) << extracted;
    EXPECT_NE(extracted.find("密"), std::string::npos) << extracted;
}

TEST_F(PdfFontTest, NothingShownStillWritesAValidFont) {
    PdfFont font(FontLocation{kZenHei, 0});
    std::string pdf = dir.file("empty.pdf");
    writeTextPdf(pdf, font, {U""});
    EXPECT_TRUE(qpdfCheckClean(pdf));
}

TEST_F(PdfFontTest, ManyDistinctCharactersNeedSeveralToUnicodeBlocks) {
    PdfFont font(FontLocation{kZenHei, 0});
    std::u32string line;
    for (char32_t c = 0x4E00; c < 0x4E00 + 150; ++c)
        line += c;
    std::string pdf = dir.file("many.pdf");
    std::vector<std::u32string> lines;
    for (std::size_t i = 0; i < line.size(); i += 15)
        lines.push_back(line.substr(i, 15));
    writeTextPdf(pdf, font, lines, 400);
    EXPECT_TRUE(qpdfCheckClean(pdf));
    std::string extracted = extractText(pdf);
    std::string compact;
    for (char c : extracted)
        if (c != '\n' && c != ' ')
            compact += c;
    // pdftotext orders lines top-down; the first line shown is the lowest.
    EXPECT_NE(compact.find("一丁丂七丄丅丆万丈三"), std::string::npos) << extracted;
    EXPECT_EQ(compact.size(), 150u * 3) << extracted;
}

TEST_F(PdfFontTest, CharactersBeyondTheBasicPlaneCopyOutAsSurrogatePairs) {
    std::string path;
    std::u32string sample;
    {
        PdfFont zenhei(FontLocation{kZenHei, 0});
        if (zenhei.encode(U"\U00020000") != std::string(2, '\0')) {
            path = kZenHei;
            sample = U"\U00020000";
        }
    }
    if (path.empty() && fileExists(kDejaVu)) {
        PdfFont dejavu(FontLocation{kDejaVu, 0});
        if (dejavu.encode(U"\U0001F600") != std::string(2, '\0')) {
            path = kDejaVu;
            sample = U"\U0001F600";
        }
    }
    if (path.empty())
        GTEST_SKIP() << "no installed font has a character beyond the basic plane";
    PdfFont font(FontLocation{path, 0});
    std::string pdf = dir.file("astral.pdf");
    writeTextPdf(pdf, font, {U"A" + sample + U"B"});
    EXPECT_TRUE(qpdfCheckClean(pdf));
    std::string expected = "A";
    char32_t c = sample[0];
    expected += static_cast<char>(0xF0 | (c >> 18));
    expected += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    expected += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    expected += static_cast<char>(0x80 | (c & 0x3F));
    expected += "B";
    EXPECT_EQ(extractText(pdf), expected);
}

TEST_F(PdfFontTest, OtherFaceOfACollection) {
    FontLocation location = findFont(kZenHei + ",1");
    PdfFont font(location);
    std::string pdf = dir.file("face1.pdf");
    writeTextPdf(pdf, font, {U"机密 Confidential 2026"});
    EXPECT_TRUE(qpdfCheckClean(pdf));
    EXPECT_EQ(extractText(pdf), "机密 Confidential 2026");
}

TEST_F(PdfFontTest, FindFontTakesPathsAndFaceSuffixes) {
    FontLocation plain = findFont(kZenHei);
    EXPECT_EQ(plain.path, kZenHei);
    EXPECT_EQ(plain.faceIndex, 0);
    FontLocation second = findFont(kZenHei + ",1");
    EXPECT_EQ(second.path, kZenHei);
    EXPECT_EQ(second.faceIndex, 1);
}

TEST_F(PdfFontTest, FindFontAsksFontconfigForFamilies) {
    FontLocation simsun = findFont("SimSun");
    EXPECT_EQ(simsun.path, kZenHei);
    EXPECT_GE(simsun.faceIndex, 0);
    PdfFont font(simsun);
    EXPECT_NE(font.encode(U"机"), std::string(2, '\0'));
    if (fileExists(kDejaVu)) {
        FontLocation dejavu = findFont("DejaVu Sans");
        EXPECT_NE(dejavu.path.find("DejaVuSans"), std::string::npos) << dejavu.path;
    }
}

TEST_F(PdfFontTest, MissingFilesAndNonFontsAreFontErrors) {
    EXPECT_THROW(findFont(""), PdfError);
    EXPECT_THROW(findFont(dir.file("nothing.ttf")), PdfError);
    EXPECT_THROW(findFont(dir.file("nothing.ttc") + ",1"), PdfError);
    EXPECT_THROW(findFont("/no/such/dir/font"), PdfError);
    EXPECT_THROW(PdfFont(FontLocation{dir.file("nothing.ttf"), 0}), PdfError);

    std::string text = dir.file("notafont.ttf");
    writeFile(text, "this is plain text, not a font\n");
    EXPECT_THROW(PdfFont(FontLocation{text, 0}), PdfError);
    std::string empty = dir.file("empty.ttf");
    writeFile(empty, "");
    EXPECT_THROW(PdfFont(FontLocation{empty, 0}), PdfError);
    EXPECT_THROW(PdfFont(FontLocation{kZenHei, 99}), PdfError);
    EXPECT_THROW(PdfFont(FontLocation{kZenHei, -1}), PdfError);
    EXPECT_THROW(PdfFont(FontLocation{dir.path(), 0}), PdfError);

    try {
        PdfFont font(FontLocation{text, 0});
        FAIL() << "no exception";
    } catch (const PdfError& e) {
        EXPECT_NE(std::string(e.what()).find("notafont.ttf"), std::string::npos) << e.what();
        EXPECT_GT(e.number(), 0);
    }
}

TEST_F(PdfFontTest, CffFontIfInstalled) {
    CommandResult list = runCommand("fc-list ':fontformat=CFF' file");
    std::string path;
    std::istringstream in(list.output);
    std::string line;
    while (std::getline(in, line)) {
        auto colon = line.find(':');
        std::string file = line.substr(0, colon);
        if (file.size() > 4 && file.substr(file.size() - 4) == ".otf") {
            path = file;
            break;
        }
    }
    if (path.empty())
        GTEST_SKIP() << "no CFF font installed";
    PdfFont font(FontLocation{path, 0});
    std::string pdf = dir.file("cff.pdf");
    writeTextPdf(pdf, font, {U"Confidential 2026"});
    EXPECT_TRUE(qpdfCheckClean(pdf));
    EXPECT_EQ(embeddedFontFile(pdf).subtype, "/CIDFontType0");
    EXPECT_EQ(extractText(pdf), "Confidential 2026");
    CommandResult fonts = runCommand("pdffonts " + shellQuote(pdf));
    EXPECT_NE(fonts.output.find("CID Type 0C"), std::string::npos) << fonts.output;
    EXPECT_NE(fonts.output.find("yes yes yes"), std::string::npos) << fonts.output;
    Raster r = renderPage(pdf, 1, 72);
    EXPECT_GT(inkPixels(r, 20, 36, 200, 64), 40) << "no ink where the text is";
}

} // namespace
