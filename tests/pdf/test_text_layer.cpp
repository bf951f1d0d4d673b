// The invisible text layer over a page's image, read back with poppler and qpdf: the
// words copy out in order and where they were put, in English and Chinese, the page
// looks and stores its image as it would without them, and they cost little.
#include "ImageFixtures.h"
#include "TestSupport.h"

#include "pdf/PdfOutput.h"

#include <folimo/WideText.h>

#include <gtest/gtest.h>

#include <qpdf/QPDF.hh>

#include <algorithm>
#include <array>
#include <cmath>
#include <regex>
#include <sstream>

namespace {

using folimo::pdf::LayerWord;
using folimo::pdf::PdfError;
using folimo::pdf::PdfOutput;
using namespace folimo::test;

constexpr double kPageWidth = 612;
constexpr double kPageHeight = 792;

struct Box {
    double left, bottom, right, top;
};

// A word as poppler finds it, in points from the top left of the page.
struct FoundWord {
    std::string text;
    double xMin, yMin, xMax, yMax;
};

LayerWord word(const std::string& text, Box box) {
    return {wide(text), box.left, box.bottom, box.right, box.top};
}

// Words set along a line from x = 72, each `charWidth` points a character, with a
// gap of a character between them.
std::vector<LayerWord> line(const std::vector<std::string>& texts, double bottom, double height,
                            double charWidth) {
    std::vector<LayerWord> words;
    double x = 72;
    for (const auto& text : texts) {
        const double width = charWidth * static_cast<double>(wide(text).size());
        words.push_back(word(text, {x, bottom, x + width, bottom + height}));
        x += width + charWidth;
    }
    return words;
}

std::vector<FoundWord> bboxWords(const std::string& pdf) {
    auto result = runCommand("pdftotext -enc UTF-8 -bbox-layout " + shellQuote(pdf) + " -");
    EXPECT_EQ(result.exitCode, 0) << result.output;
    static const std::regex wordElement(
        R"re(<word xMin="([-0-9.]+)" yMin="([-0-9.]+)" xMax="([-0-9.]+)" yMax="([-0-9.]+)">([^<]*)</word>)re");
    std::vector<FoundWord> found;
    for (std::sregex_iterator it(result.output.begin(), result.output.end(), wordElement), end;
         it != end; ++it)
        found.push_back({(*it)[5], std::stod((*it)[1]), std::stod((*it)[2]), std::stod((*it)[3]),
                         std::stod((*it)[4])});
    return found;
}

double intersectionOverUnion(const LayerWord& given, const FoundWord& found) {
    const double top = kPageHeight - given.top, bottom = kPageHeight - given.bottom;
    const double w = std::min(given.right, found.xMax) - std::max(given.left, found.xMin);
    const double h = std::min(bottom, found.yMax) - std::max(top, found.yMin);
    if (w <= 0 || h <= 0)
        return 0;
    const double common = w * h;
    const double a = (given.right - given.left) * (bottom - top);
    const double b = (found.xMax - found.xMin) * (found.yMax - found.yMin);
    return common / (a + b - common);
}

class TextLayerTest : public ::testing::Test {
protected:
    // A page showing a JPEG of the page's size, with `layers` added after the image.
    std::string write(const std::string& name, const std::string& image,
                      const std::vector<std::vector<LayerWord>>& layers, int pages = 1) {
        PdfOutput pdf;
        const std::string path = dir.file(name);
        EXPECT_EQ(pdf.begin_document(wide(path), L""), 1);
        for (int p = 0; p < pages; ++p) {
            pdf.begin_page_ext(kPageWidth, kPageHeight, L"");
            const int handle = pdf.load_image(L"auto", wide(image), L"");
            pdf.fit_image(handle, 0, 0, L"boxsize={612 792} fitmethod=meet");
            pdf.close_image(handle);
            for (const auto& layer : layers)
                pdf.add_text_layer(layer);
            pdf.end_page_ext(L"");
        }
        pdf.end_document(L"");
        return path;
    }
    std::string jpeg(const std::string& name, int width, int height, int quality = 90) {
        JpegParams p;
        p.width = width;
        p.height = height;
        p.quality = quality;
        const std::string path = dir.file(name);
        writeFile(path, makeJpeg(p));
        return path;
    }
    TempDir dir;
};

struct LayerCase {
    const char* name;
    std::vector<std::vector<LayerWord>> layers;
};

std::vector<LayerCase> layerCases() {
    return {
        {"english_line",
         {line({"Searchable", "pages", "copy", "their", "words", "out."}, 700, 14, 7)}},
        {"two_english_lines",
         {line({"first", "line", "here"}, 700, 20, 10), line({"second", "line"}, 650, 20, 10)}},
        {"chinese_line", {line({"扫描", "文件", "可以", "搜索"}, 500, 24, 24)}},
        {"mixed_scripts_tall_and_narrow",
         {line({"PDF", "文档", "2026"}, 300, 40, 12), line({"x"}, 100, 8, 30)}},
    };
}

TEST_F(TextLayerTest, WordsCopyOutInOrderAndWhereTheyWerePut) {
    const std::string image = jpeg("page.jpg", 612, 792);
    for (const auto& c : layerCases()) {
        SCOPED_TRACE(c.name);
        const std::string pdf = write(std::string(c.name) + ".pdf", image, c.layers);
        EXPECT_TRUE(qpdfCheckClean(pdf));

        auto text = runCommand("pdftotext -enc UTF-8 " + shellQuote(pdf) + " -");
        ASSERT_EQ(text.exitCode, 0) << text.output;
        std::size_t at = 0;
        for (const auto& layer : c.layers)
            for (const auto& w : layer) {
                const std::string wanted = folimo::toUtf8(w.text);
                const std::size_t found = text.output.find(wanted, at);
                ASSERT_NE(found, std::string::npos) << wanted << " after " << at << " in\n"
                                                    << text.output;
                at = found + wanted.size();
            }

        const auto found = bboxWords(pdf);
        for (const auto& layer : c.layers)
            for (const auto& w : layer) {
                const std::string wanted = folimo::toUtf8(w.text);
                // A word that comes twice is checked against its nearer namesake.
                auto match = found.end();
                for (auto f = found.begin(); f != found.end(); ++f)
                    if (f->text == wanted &&
                        (match == found.end() ||
                         intersectionOverUnion(w, *f) > intersectionOverUnion(w, *match)))
                        match = f;
                ASSERT_NE(match, found.end()) << wanted;
                EXPECT_GT(intersectionOverUnion(w, *match), 0.5)
                    << wanted << " found at " << match->xMin << "," << match->yMin << " "
                    << match->xMax << "," << match->yMax;
            }
    }
}

TEST_F(TextLayerTest, ThePageLooksAndStoresItsImageAsWithoutTheLayer) {
    const std::string image = jpeg("page.jpg", 612, 792);
    const std::string plain = write("plain.pdf", image, {});
    const std::string layered =
        write("layered.pdf", image, {line({"invisible", "文字", "here"}, 400, 30, 15)});

    for (const auto& [pdf, prefix] : {std::pair{plain, "plain"}, std::pair{layered, "layered"}}) {
        auto result = runCommand("cd " + shellQuote(dir.file("")) + " && pdfimages -all " +
                                 shellQuote(pdf) + " " + prefix);
        ASSERT_EQ(result.exitCode, 0) << result.output;
    }
    EXPECT_EQ(readFile(dir.file("layered-000.jpg")), readFile(dir.file("plain-000.jpg")));
    EXPECT_EQ(readFile(dir.file("layered-000.jpg")), readFile(image));

    // Poppler reads the font without complaint and draws nothing with it.
    auto render = runCommand("pdftoppm -r 36 " + shellQuote(layered) + " " +
                             shellQuote(dir.file("render")) + " 2>&1");
    EXPECT_EQ(render.exitCode, 0);
    EXPECT_EQ(render.output, "");
    const auto difference = compareRasters(renderPage(plain, 1, 72), renderPage(layered, 1, 72));
    EXPECT_EQ(difference.max, 0);
}

TEST_F(TextLayerTest, OneFontServesEveryPageAndTextAfterTheLayerStaysVisible) {
    const std::string image = jpeg("page.jpg", 612, 792);
    const std::string pdf = write(
        "pages.pdf", image, {line({"one"}, 700, 20, 10), line({"两", "three"}, 600, 20, 10)}, 3);
    EXPECT_TRUE(qpdfCheckClean(pdf));
    QPDF q;
    q.processFile(pdf.c_str());
    std::set<int> fonts;
    for (QPDFObjectHandle page : q.getAllPages()) {
        auto resources = page.getKey("/Resources").getKey("/Font");
        ASSERT_TRUE(resources.isDictionary());
        for (const auto& key : resources.getKeys())
            fonts.insert(resources.getKey(key).getObjectID());
        // Render mode 3 ends with the layer: what a watermark draws after it shows.
        auto data = page.getKey("/Contents").getStreamData(qpdf_dl_generalized);
        const std::string content(reinterpret_cast<const char*>(data->getBuffer()),
                                  data->getSize());
        EXPECT_NE(content.find("q BT 3 Tr"), std::string::npos) << content;
        EXPECT_EQ(content.substr(content.size() - 5), "ET Q\n") << content;
    }
    EXPECT_EQ(fonts.size(), 1u);
}

TEST_F(TextLayerTest, ABadBoxIsRefusedAndAddsNothing) {
    const double nan = std::nan("");
    const std::vector<std::pair<const char*, Box>> bad = {{"inverted", {100, 100, 50, 120}},
                                                          {"flat", {100, 100, 150, 100}},
                                                          {"not_a_number", {nan, 100, 150, 120}},
                                                          {"infinite", {100, 100, INFINITY, 120}}};
    const std::string image = jpeg("page.jpg", 612, 792);
    for (const auto& [name, box] : bad) {
        SCOPED_TRACE(name);
        PdfOutput pdf;
        const std::string path = dir.file(std::string(name) + ".pdf");
        ASSERT_EQ(pdf.begin_document(wide(path), L""), 1);
        EXPECT_THROW(pdf.add_text_layer({word("early", {1, 1, 2, 2})}), PdfError); // no page
        pdf.begin_page_ext(kPageWidth, kPageHeight, L"");
        try {
            pdf.add_text_layer({word("good", {72, 700, 100, 714}), word("bad", box)});
            ADD_FAILURE() << "accepted";
        } catch (const PdfError& e) {
            EXPECT_NE(std::string(e.what()).find("word 2"), std::string::npos) << e.what();
        }
        pdf.add_text_layer({word("", {72, 600, 100, 614})}); // nothing to show
        pdf.end_page_ext(L"");
        pdf.end_document(L"");
        EXPECT_TRUE(qpdfCheckClean(path));
        QPDF q;
        q.processFile(path.c_str());
        EXPECT_FALSE(QPDFObjectHandle(q.getAllPages().at(0)).getKey("/Resources").hasKey("/Font"));
    }
}

TEST_F(TextLayerTest, ThreeHundredWordsAddLittleToAScannedPage) {
    // An A4 page scanned at 300 dpi, as a JPEG of the size scanners give it.
    const std::string image = jpeg("scan.jpg", 2480, 3508, 75);
    const std::vector<std::string> vocabulary = {"the",  "invoice", "total", "amount", "收据",
                                                 "日期", "number",  "金额",  "paid",   "合同"};
    std::vector<std::vector<LayerWord>> lines;
    for (int row = 0; row < 30; ++row) {
        std::vector<std::string> texts;
        for (int k = 0; k < 10; ++k)
            texts.push_back(vocabulary[static_cast<std::size_t>((row * 7 + k * 3) % 10)] +
                            std::to_string(row * 10 + k));
        lines.push_back(line(texts, 760 - row * 22, 12, 6));
    }
    const auto plain = readFile(write("plain.pdf", image, {})).size();
    const std::string layeredPath = write("layered.pdf", image, lines);
    const auto layered = readFile(layeredPath).size();
    EXPECT_TRUE(qpdfCheckClean(layeredPath));
    std::ostringstream figures;
    figures << "page " << plain << " bytes, layer " << layered - plain << " bytes";
    SCOPED_TRACE(figures.str());
    EXPECT_GT(plain, 200u * 1024);
    EXPECT_LT(static_cast<double>(layered - plain), 0.05 * static_cast<double>(plain));
    std::cout << figures.str() << "\n";
}

// The box that `cm` makes of a word's box on the page, as poppler tells it: points
// from the top left.
FoundWord onPage(const LayerWord& w, const std::array<double, 6>& cm) {
    double xMin = INFINITY, yMin = INFINITY, xMax = -INFINITY, yMax = -INFINITY;
    for (double x : {w.left, w.right})
        for (double y : {w.bottom, w.top}) {
            const double px = cm[0] * x + cm[2] * y + cm[4];
            const double py = kPageHeight - (cm[1] * x + cm[3] * y + cm[5]);
            xMin = std::min(xMin, px);
            xMax = std::max(xMax, px);
            yMin = std::min(yMin, py);
            yMax = std::max(yMax, py);
        }
    return {folimo::toUtf8(w.text), xMin, yMin, xMax, yMax};
}

struct MatrixCase {
    const char* name;
    std::array<double, 6> cm;
};

TEST_F(TextLayerTest, WordsLandWhereTheMatrixPutsThem) {
    // Two lines in a 400 x 300 space, which each matrix maps somewhere onto the page.
    std::vector<LayerWord> words = line({"Searchable", "pages", "copy", "out"}, 250, 20, 10);
    for (auto& w : line({"扫描", "文件", "可以"}, 180, 24, 24))
        words.push_back(w);
    words.back().baseline = 180 + 24 * 0.2;
    const std::vector<MatrixCase> cases = {
        {"identity", {1, 0, 0, 1, 0, 0}},
        {"half_size_moved", {0.5, 0, 0, 0.5, 100, 400}},
        {"quarter_turn_clockwise", {0, -1, 1, 0, 100, 700}},
        {"half_turn", {-1, 0, 0, -1, 500, 700}},
        {"quarter_turn_anticlockwise", {0, 1, -1, 0, 500, 100}},
        {"scan_pixels", {612.0 / 2480, 0, 0, 792.0 / 3508, 20, 30}},
        {"stretched_and_turned", {0, -1.5, 0.8, 0, 50, 750}},
    };
    const std::string image = jpeg("page.jpg", 612, 792);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PdfOutput pdf;
        const std::string path = dir.file(std::string(c.name) + ".pdf");
        ASSERT_EQ(pdf.begin_document(wide(path), L""), 1);
        pdf.begin_page_ext(kPageWidth, kPageHeight, L"");
        const int handle = pdf.load_image(L"auto", wide(image), L"");
        pdf.fit_image(handle, 0, 0, L"");
        pdf.close_image(handle);
        pdf.add_text_layer(words, c.cm);
        pdf.end_page_ext(L"");
        pdf.end_document(L"");
        EXPECT_TRUE(qpdfCheckClean(path));

        const auto found = bboxWords(path);
        ASSERT_EQ(found.size(), words.size());
        for (const auto& w : words) {
            const FoundWord want = onPage(w, c.cm);
            auto match = std::find_if(found.begin(), found.end(),
                                      [&](const FoundWord& f) { return f.text == want.text; });
            ASSERT_NE(match, found.end()) << want.text;
            const double tolerance = 0.05 * std::min(want.xMax - want.xMin, want.yMax - want.yMin);
            EXPECT_NEAR(match->xMin, want.xMin, tolerance) << want.text;
            EXPECT_NEAR(match->xMax, want.xMax, tolerance) << want.text;
            EXPECT_NEAR(match->yMin, want.yMin, tolerance) << want.text;
            EXPECT_NEAR(match->yMax, want.yMax, tolerance) << want.text;
        }
    }
}

TEST_F(TextLayerTest, AMatrixThatFlattensThePageIsRefused) {
    const std::string image = jpeg("page.jpg", 612, 792);
    PdfOutput pdf;
    ASSERT_EQ(pdf.begin_document(wide(dir.file("flat.pdf")), L""), 1);
    pdf.begin_page_ext(kPageWidth, kPageHeight, L"");
    const std::vector<LayerWord> words = {word("flat", {10, 10, 50, 20})};
    for (const auto& cm :
         {std::array<double, 6>{1, 0, 2, 0, 0, 0}, std::array<double, 6>{0, 0, 0, 0, 5, 5},
          std::array<double, 6>{1, 0, 0, std::nan(""), 0, 0}})
        EXPECT_THROW(pdf.add_text_layer(words, cm), PdfError);
    const int handle = pdf.load_image(L"auto", wide(image), L"");
    EXPECT_THROW(pdf.image_matrix(handle), PdfError); // not placed yet
    pdf.end_page_ext(L"");
    pdf.end_document(L"");
}

std::string exifWithOrientation(int orientation) {
    // "Exif\0\0", then a little-endian TIFF header and one directory of one entry.
    std::string p("Exif\0\0II*\0\x08\0\0\0\x01\0", 16);
    p += std::string("\x12\x01\x03\0\x01\0\0\0", 8);
    p += static_cast<char>(orientation);
    p += std::string("\0\0\0\0\0\0\0", 7);
    return p;
}

// Every EXIF orientation turned every way shows what ImageMagick shows for it, keeps
// its JPEG data byte for byte, tells its turned sizes, and a word put over a corner of
// the picture through image_matrix lands on that corner of the page.
TEST_F(TextLayerTest, ATurnedImageShowsTurnedAndItsWordsFollow) {
    const std::string plain = dir.file("plain.jpg");
    makeImage("-size 48x32 gradient:red-blue -fill yellow -draw \"rectangle 0,0 12,8\" "
              "-quality 95",
              plain);
    for (int orientation = 1; orientation <= 8; ++orientation)
        for (int turns : {1, 2, 3, -1, 6}) {
            const std::string name =
                "o" + std::to_string(orientation) + "t" + std::to_string(turns);
            SCOPED_TRACE(name);
            const std::string tagged = dir.file(name + ".jpg");
            writeFile(tagged,
                      insertJpegSegment(readFile(plain), 0xE1, exifWithOrientation(orientation)));
            const std::string reference = dir.file(name + ".png");
            makeImage(shellQuote(tagged) + " -auto-orient -rotate " + std::to_string(90 * turns),
                      reference);

            PdfOutput pdf;
            const std::string path = dir.file(name + ".pdf");
            ASSERT_EQ(pdf.begin_document(wide(path), L""), 1);
            const int handle = pdf.load_image(L"auto", wide(tagged), L"");
            pdf.turn_image(handle, turns);
            const double w = pdf.info_image(handle, L"width", L"");
            const double h = pdf.info_image(handle, L"height", L"");
            const bool across = (orientation >= 5) != (turns % 2 != 0);
            EXPECT_EQ(pdf.info_image(handle, L"imagewidth", L""), across ? 32 : 48);
            EXPECT_EQ(w, across ? 32 : 48);
            EXPECT_EQ(h, across ? 48 : 32);
            pdf.begin_page_ext(w + 20, h + 10, L"");
            pdf.fit_image(handle, 20, 10, L"");
            // The word covers the picture's top left quarter, in its pixels y up.
            const auto m = pdf.image_matrix(handle);
            const std::array<double, 6> pixels = {m[0] / w, m[1] / w, m[2] / h,
                                                  m[3] / h, m[4],     m[5]};
            pdf.add_text_layer({word("corner", {0, h / 2, w / 2, h})}, pixels);
            pdf.close_image(handle);
            pdf.end_page_ext(L"");
            pdf.end_document(L"");
            EXPECT_TRUE(qpdfCheckClean(path));

            const Raster page = renderPage(path, 1, 72);
            const Raster want = decodeReference(reference);
            ASSERT_EQ(page.width, want.width + 20);
            ASSERT_EQ(page.height, want.height + 10);
            double total = 0;
            for (int y = 0; y < want.height; ++y)
                for (int x = 0; x < want.width; ++x)
                    for (int k = 0; k < 3; ++k)
                        total += std::abs(int(page.at(x + 20, y)[k]) - int(want.at(x, y)[k]));
            EXPECT_LT(total / (want.width * want.height * 3), 4.0);

            auto images = runCommand("cd " + shellQuote(dir.file("")) + " && pdfimages -all " +
                                     shellQuote(path) + " " + name);
            ASSERT_EQ(images.exitCode, 0) << images.output;
            EXPECT_EQ(readFile(dir.file(name + "-000.jpg")), readFile(tagged));

            const auto found = bboxWords(path);
            ASSERT_EQ(found.size(), 1u);
            EXPECT_NEAR(found[0].xMin, 20, 1);
            EXPECT_NEAR(found[0].xMax, 20 + w / 2, 1);
            EXPECT_NEAR(found[0].yMin, 0, 1);
            EXPECT_NEAR(found[0].yMax, h / 2, 1);
        }
}

// Words as a recogniser gives them: Latin letters half as wide as the line is tall,
// Chinese characters nearly square, `gap` (of the height) between words. Copied out,
// Latin words keep one space between them, Chinese characters none, whatever the gap
// a recogniser left between them.
struct SpacingCase {
    const char* name;
    std::vector<std::vector<std::string>> lines;
    double gap;
    std::string expected;
};

TEST_F(TextLayerTest, CopiedTextHasSpacesWhereTheScriptHasThem) {
    const std::vector<SpacingCase> cases = {
        {"english",
         {{"Searchable", "text", "layer"}, {"second", "line"}},
         0.3,
         "Searchable text layer\nsecond line"},
        // Words of a line all of one size, as scans are laid, closer than a reader's
        // least word gap.
        {"english_close",
         {{"keep", "it", "in", "a", "safe", "place"}},
         0.08,
         "keep it in a safe place"},
        {"chinese_characters_close",
         {{"扫", "描", "文", "件"}, {"可", "以", "搜", "索"}},
         0.08,
         "扫描文件\n可以搜索"},
        {"chinese_characters_apart",
         {{"扫", "描", "文", "件", "可", "以", "搜", "索"}},
         0.4,
         "扫描文件可以搜索"},
        {"chinese_words", {{"扫描", "文件", "可以", "搜索"}}, 0.25, "扫描文件可以搜索"},
        {"mixed", {{"PDF", "文", "档", "2026", "年"}}, 0.3, "PDF 文档 2026 年"},
        // A full stop and a flat stroke have short boxes, a wide character's box runs
        // into its neighbour's.
        {"chinese_short_and_overlapping_boxes",
         {{"这", "是", "一", "个", "读者", "段落", "。"}},
         0.3,
         "这是一个读者段落。"},
    };
    const std::string image = jpeg("page.jpg", 612, 792);
    constexpr double kHeight = 30;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<LayerWord> words;
        double bottom = 700;
        for (const auto& texts : c.lines) {
            double x = 40;
            for (const auto& text : texts) {
                const std::wstring w = wide(text);
                const double width =
                    kHeight * static_cast<double>(w.size()) * (w[0] < 0x2E80 ? 0.5 : 0.95);
                Box box{x, bottom, x + width, bottom + kHeight};
                if (text == "。")
                    box.top = bottom + 0.3 * kHeight;
                else if (text == "一")
                    box = {x, bottom + 0.45 * kHeight, x + width, bottom + 0.55 * kHeight};
                else if (text == "读者")
                    box.right += 0.8 * kHeight;
                words.push_back(word(text, box));
                x += width + c.gap * kHeight;
            }
            bottom -= 2 * kHeight;
        }
        const std::string pdf = write(std::string(c.name) + ".pdf", image, {words});
        auto text = runCommand("pdftotext -enc UTF-8 " + shellQuote(pdf) + " -");
        ASSERT_EQ(text.exitCode, 0) << text.output;
        std::string got = text.output;
        got.erase(got.find_last_not_of("\n\f ") + 1);
        EXPECT_EQ(got, c.expected);
    }
}

} // namespace
