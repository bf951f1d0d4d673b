// Conversions with text recognition, end to end through the engine's interface: the text
// pdftotext finds, its word boxes against those the tesseract command line finds in the
// picture, on every layout and turn; pictures that pass through unchanged; missing
// language data; a stop during recognition; a page that cannot be read for its text.
#include "ImageFixtures.h"
#include "TestSupport.h"

#include <folimo/WideText.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>

namespace {

using namespace folimo::test;

const char* const kSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
const char* const kHei = "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc";
const std::vector<std::string> kEnglish = {"The quick brown fox jumps over the lazy dog",
                                           "Pack my box with five dozen liquor jugs",
                                           "Invoices are due within thirty days"};
const std::vector<std::string> kChinese = {"我们的扫描文件可以搜索", "今天天气很好明天见"};

// A 150 dpi picture of `lines`, framed by a black line at its edge so that where it lands
// on a page can be found in a rendering of the page.
void makeTextImage(const std::string& path, const std::vector<std::string>& lines, const char* font,
                   const std::string& after = "") {
    std::string args = "-size 1000x" + std::to_string(80 + 60 * lines.size()) + " xc:white -font " +
                       shellQuote(font) + " -pointsize 30 -fill black";
    for (std::size_t i = 0; i < lines.size(); ++i)
        args += " -annotate +40+" + std::to_string(70 + 60 * i) + " " + shellQuote(lines[i]);
    makeImage(args + " -bordercolor black -border 2 -density 150 -units PixelsPerInch " + after,
              path);
}

struct Box {
    std::string text;
    double left, top, right, bottom; // y grows downward
};

std::string lettersOf(const std::string& word) {
    std::string out;
    for (unsigned char c : word)
        if (std::isalnum(c) || c >= 0x80)
            out += static_cast<char>(c);
    return out;
}

// The oracle: the words the tesseract command line finds in the picture, in its pixels.
std::vector<Box> tesseractWords(const std::string& image, const std::string& languages) {
    CommandResult r = runCommand("tesseract " + shellQuote(image) + " stdout -l " + languages +
                                 " tsv 2>/dev/null");
    EXPECT_EQ(r.exitCode, 0);
    std::vector<Box> words;
    std::istringstream lines(r.output);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');)
            f.push_back(field);
        if (f.size() < 12 || f[0] != "5" || std::atof(f[10].c_str()) < 60)
            continue;
        const std::string text = lettersOf(f[11]);
        if (text.size() < 3)
            continue;
        const double l = std::atof(f[6].c_str()), t = std::atof(f[7].c_str());
        words.push_back({text, l, t, l + std::atof(f[8].c_str()), t + std::atof(f[9].c_str())});
    }
    return words;
}

// The words of page 1 as poppler lays them out, in points from the top left.
std::vector<Box> pdfWords(const TempDir& dir, const std::string& pdf) {
    const std::string html = dir.file("bbox.html");
    EXPECT_EQ(
        runCommand("pdftotext -f 1 -l 1 -bbox-layout " + shellQuote(pdf) + " " + shellQuote(html))
            .exitCode,
        0);
    const std::string text = readFile(html);
    static const std::regex word(
        "<word xMin=\"([0-9.]+)\" yMin=\"([0-9.]+)\" xMax=\"([0-9.]+)\" yMax=\"([0-9.]+)\">"
        "([^<]*)</word>");
    std::vector<Box> words;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), word);
         it != std::sregex_iterator(); ++it)
        words.push_back({lettersOf((*it)[5]), std::stod((*it)[1]), std::stod((*it)[2]),
                         std::stod((*it)[3]), std::stod((*it)[4])});
    return words;
}

std::string pdfText(const std::string& pdf) {
    return runCommand("pdftotext " + shellQuote(pdf) + " -").output;
}

// Where the framed picture lies on page 1, in points from the top left: the dark pixels'
// bounds in a 144 dpi rendering (the text layer draws nothing).
Box picturePlace(const std::string& pdf) {
    const Raster r = renderPage(pdf, 1, 144);
    Box b{"", 1e9, 1e9, -1, -1};
    for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x)
            if (r.at(x, y)[0] < 100 && r.at(x, y)[1] < 100 && r.at(x, y)[2] < 100) {
                b.left = std::min(b.left, x / 2.0);
                b.top = std::min(b.top, y / 2.0);
                b.right = std::max(b.right, (x + 1) / 2.0);
                b.bottom = std::max(b.bottom, (y + 1) / 2.0);
            }
    return b;
}

// A box of the upright picture (w x h pixels) on the page where the picture fills
// `place` turned `turns` quarter turns clockwise.
Box onPage(const Box& b, double w, double h, const Box& place, int turns) {
    const bool across = turns % 2 != 0;
    const double sx = (place.right - place.left) / (across ? h : w);
    const double sy = (place.bottom - place.top) / (across ? w : h);
    auto map = [&](double u, double v) {
        double x = u, y = v;
        switch (turns) {
        case 1:
            x = h - v, y = u;
            break;
        case 2:
            x = w - u, y = h - v;
            break;
        case 3:
            x = v, y = w - u;
            break;
        }
        return std::pair{place.left + x * sx, place.top + y * sy};
    };
    auto [x1, y1] = map(b.left, b.top);
    auto [x2, y2] = map(b.right, b.bottom);
    return {b.text, std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2)};
}

double area(const Box& b) {
    return (b.right - b.left) * (b.bottom - b.top);
}

double intersection(const Box& a, const Box& b) {
    const double w = std::min(a.right, b.right) - std::max(a.left, b.left);
    const double h = std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
    return w > 0 && h > 0 ? w * h : 0;
}

// The share of the oracle's words that the PDF has in a box that overlaps theirs by at
// least half (intersection over union), spelt the same; or, where pdftotext runs words
// of Chinese together, inside such a run that covers at least half of theirs.
double matchedShare(const std::vector<Box>& oracle, const std::vector<Box>& found, double w,
                    double h, const Box& place, int turns, bool inRuns = false) {
    int matched = 0;
    for (const Box& word : oracle) {
        const Box expected = onPage(word, w, h, place, turns);
        for (const Box& candidate : found) {
            const double common = intersection(candidate, expected);
            if (inRuns ? candidate.text.find(word.text) != std::string::npos &&
                             common >= 0.5 * area(expected)
                       : candidate.text == word.text &&
                             common >= 0.5 * (area(candidate) + area(expected) - common)) {
                ++matched;
                break;
            }
        }
    }
    return oracle.empty() ? 0 : double(matched) / oracle.size();
}

// Hears everything a recognising run tells, and can stop the run once a page's text
// came.
class TextProcess : public IProcessEx, public IProcessText {
public:
    virtual ~TextProcess() = default;
    int OnBegin(const wchar_t*) override { return 1; }
    int OnFile(const wchar_t*, int) override { return ++files; }
    int OnEnd() override { return 1; }
    int OnProgress(std::int64_t, std::int64_t) override { return 1; }
    int OnError(const wchar_t*) override { return 1; }
    int OnNotify() override { return 1; }
    int IsCancelled() override {
        return stopAfterPages > 0 && int(pageTexts.size()) >= stopAfterPages ? 1 : 0;
    }
    int OnErrorCode(int code, const wchar_t* subject, const wchar_t* reason,
                    const wchar_t*) override {
        errors.push_back({code, folimo::toUtf8(subject), folimo::toUtf8(reason)});
        return 1;
    }
    int OnDocumentEnd(int how, int pages, const wchar_t*) override {
        documentEnd = {how, pages};
        return 1;
    }
    int OnPageTextBegin(int documentPage, const wchar_t* path, int filePage) override {
        waits.push_back({documentPage, folimo::toUtf8(path), filePage, -1, 0});
        return 1;
    }
    int OnPageText(int documentPage, const wchar_t* path, int filePage, int words,
                   int quarterTurns) override {
        pageTexts.push_back({documentPage, folimo::toUtf8(path), filePage, words, quarterTurns});
        return 1;
    }

    struct Error {
        int code;
        std::string subject, reason;
    };
    struct PageText {
        int documentPage;
        std::string path;
        int filePage, words, quarterTurns;
    };
    std::vector<Error> errors;
    std::vector<PageText> pageTexts;
    std::vector<PageText> waits; // the pages the run was told to be waiting for
    std::pair<int, int> documentEnd{-1, -1};
    int files = 0;
    int stopAfterPages = 0;
};

// The pictures every test shares, made once: the upright English and Chinese pages, the
// English one stored sideways with an EXIF turn, the same turned on its side with no
// turn to undo it, the same slanted by under a degree as a scan lies, and a blank one;
// with the oracle's words of the upright and the slanted ones.
class Pictures {
public:
    static Pictures& get() {
        static Pictures pictures;
        return pictures;
    }
    TempDir dir;
    std::string english = dir.file("english.png"), chinese = dir.file("chinese.png"),
                exif6 = dir.file("exif6.jpg"), sideways = dir.file("sideways.png"),
                slanted = dir.file("slanted.png"), blank = dir.file("blank.png");
    std::vector<Box> englishWords, chineseWords, slantedWords;
    double width = 0, height = 0, chineseHeight = 0, slantedWidth = 0, slantedHeight = 0;

private:
    Pictures() {
        makeTextImage(english, kEnglish, kSans);
        makeTextImage(chinese, kChinese, kHei);
        // Stored turned a quarter to the left, which EXIF orientation 6 turns back.
        const std::string stored = dir.file("stored.jpg");
        makeImage(shellQuote(english) + " -rotate -90 -quality 95", stored);
        std::string exif("Exif\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0\x06\0\0\0\0\0\0\0",
                         30);
        writeFile(exif6, insertJpegSegment(readFile(stored), 0xE1, exif));
        makeImage(shellQuote(english) + " -rotate 90 -density 150 -units PixelsPerInch", sideways);
        makeImage(shellQuote(english) +
                      " -background white -rotate 0.7 -density 150 -units PixelsPerInch",
                  slanted);
        makeImage("-size 600x400 xc:white", blank);
        englishWords = tesseractWords(english, "eng");
        chineseWords = tesseractWords(chinese, "chi_sim");
        width = std::stod(identify("%w", english));
        height = std::stod(identify("%h", english));
        chineseHeight = std::stod(identify("%h", chinese));
        slantedWords = tesseractWords(slanted, "eng");
        slantedWidth = std::stod(identify("%w", slanted));
        slantedHeight = std::stod(identify("%h", slanted));
    }
};

Owned<IFolimo> recognisingEngine(const std::string& languages, bool passThrough = true) {
    auto engine = createEngine();
    engine->GetSettings()->SetTextLanguages(wide(languages).c_str());
    if (passThrough)
        engine->GetSettings()->SetImageMaxSize(-1, -1);
    return engine;
}

struct LayoutCase {
    const char* name;
    std::vector<std::string Pictures::*> inputs;
    int pageSize;
    bool twoUp, autoRotate, upright;
    int turnsOnPage;       // of the upright picture as the page shows it; -1: either side
    int turnsByText;       // OnPageText's for the framed picture
    bool slanted = false;  // the framed picture is Pictures::slanted
    int personDegrees = 0; // the turn the person gave each input
};

class RecognizedLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(RecognizedLayout, WordsLieOverThePictureWhereTheOracleFindsThem) {
    const LayoutCase& c = GetParam();
    Pictures& p = Pictures::get();
    TempDir dir;
    auto engine = recognisingEngine("eng");
    IFolimoSettings* s = engine->GetSettings();
    s->SetPageSize(c.pageSize);
    s->SetDoublePage(c.twoUp);
    s->SetImageAutoRotate(c.autoRotate);
    s->SetUprightByText(c.upright);
    for (auto input : c.inputs)
        engine->AddTurnedFile(wide(p.*input).c_str(), 0, c.personDegrees);
    const std::string out = dir.file("out.pdf");
    TextProcess process;
    ASSERT_EQ(engine->Convert(wide(out).c_str(), &process), 1);
    ASSERT_TRUE(qpdfCheckClean(out));
    EXPECT_TRUE(process.errors.empty());

    // Each line whole and in order, as one line of pdftotext's: a reader that breaks a
    // line sets its pieces among the neighbouring lines.
    const std::string text = pdfText(out);
    std::vector<std::string> read;
    std::istringstream textLines(text);
    for (std::string line; std::getline(textLines, line);)
        read.push_back(line);
    for (const std::string& line : kEnglish)
        EXPECT_NE(std::find(read.begin(), read.end(), line), read.end()) << line << " in:\n"
                                                                         << text;
    ASSERT_EQ(process.pageTexts.size(), c.inputs.size());
    const auto framed = std::find_if(process.pageTexts.begin(), process.pageTexts.end(),
                                     [](const auto& t) { return t.words > 0; });
    ASSERT_NE(framed, process.pageTexts.end());
    EXPECT_EQ(framed->documentPage, 1);
    EXPECT_EQ(framed->filePage, 0);
    EXPECT_EQ(framed->quarterTurns, c.turnsByText);

    const Box place = picturePlace(out);
    const std::vector<Box> found = pdfWords(dir, out);
    double best = 0;
    int bestTurns = -1;
    const std::vector<Box>& oracle = c.slanted ? p.slantedWords : p.englishWords;
    const double w = c.slanted ? p.slantedWidth : p.width;
    const double h = c.slanted ? p.slantedHeight : p.height;
    for (int turns = 0; turns < 4; ++turns) {
        const double share = matchedShare(oracle, found, w, h, place, turns);
        if (share > best)
            best = share, bestTurns = turns;
    }
    EXPECT_GE(best, 0.9) << "of " << oracle.size() << " words";
    if (c.turnsOnPage >= 0)
        EXPECT_EQ(bestTurns, c.turnsOnPage);
    else
        EXPECT_EQ(bestTurns % 2, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, RecognizedLayout,
    ::testing::Values(
        LayoutCase{"ImageSized", {&Pictures::english}, FOLIMO_PAGE_IMAGE, 0, 0, 0, 0, 0},
        LayoutCase{"A4", {&Pictures::english}, FOLIMO_PAGE_A4, 0, 0, 0, 0, 0},
        LayoutCase{
            "TwoUpFirst", {&Pictures::english, &Pictures::blank}, FOLIMO_PAGE_A4, 1, 0, 0, 0, 0},
        LayoutCase{
            "TwoUpSecond", {&Pictures::blank, &Pictures::english}, FOLIMO_PAGE_A4, 1, 0, 0, 0, 0},
        LayoutCase{"TurnedToFit", {&Pictures::english}, FOLIMO_PAGE_A5, 0, 1, 0, -1, 0},
        LayoutCase{"ExifOrientation6", {&Pictures::exif6}, FOLIMO_PAGE_IMAGE, 0, 0, 0, 0, 0},
        LayoutCase{"UprightByText", {&Pictures::sideways}, FOLIMO_PAGE_IMAGE, 0, 0, 1, 0, 3},
        LayoutCase{"UprightByTextOnA4", {&Pictures::sideways}, FOLIMO_PAGE_A4, 0, 0, 1, 0, 3},
        LayoutCase{"SlantedScan", {&Pictures::slanted}, FOLIMO_PAGE_IMAGE, 0, 0, 0, 0, 0, true},
        // A sideways scan the person turned upright, then one they turned part of the way
        // and the text turned on from there.
        LayoutCase{"ByHand", {&Pictures::sideways}, FOLIMO_PAGE_A4, 0, 0, 0, 0, 0, false, 270},
        LayoutCase{
            "ByHandThenText", {&Pictures::sideways}, FOLIMO_PAGE_A4, 0, 0, 1, 0, 2, false, 90}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RecognizedPages, ChineseTextIsFoundCharacterByCharacter) {
    Pictures& p = Pictures::get();
    TempDir dir;
    auto engine = recognisingEngine("chi_sim+eng");
    engine->AddFile(wide(p.chinese).c_str(), 0);
    const std::string out = dir.file("out.pdf");
    ASSERT_EQ(engine->Convert(wide(out).c_str(), nullptr), 1);
    ASSERT_TRUE(qpdfCheckClean(out));
    std::wstring text = folimo::fromUtf8(pdfText(out));
    std::erase_if(text, [](wchar_t c) { return std::iswspace(c); });
    int expected = 0, found = 0;
    for (const std::string& line : kChinese)
        for (wchar_t c : folimo::fromUtf8(line)) {
            ++expected;
            found += text.find(c) != std::wstring::npos;
        }
    EXPECT_GE(found, expected * 9 / 10) << folimo::toUtf8(text);
    // The oracle's words lie where it found them.
    ASSERT_FALSE(p.chineseWords.empty());
    EXPECT_GE(matchedShare(p.chineseWords, pdfWords(dir, out), p.width, p.chineseHeight,
                           picturePlace(out), 0, true),
              0.8);
}

TEST(RecognizedPages, PicturesPassThroughByteForByte) {
    Pictures& p = Pictures::get();
    TempDir dir;
    std::map<int, std::vector<std::string>> images;
    for (int recognise = 0; recognise < 2; ++recognise) {
        auto engine = recognisingEngine(recognise ? "eng" : "");
        engine->GetSettings()->SetUprightByText(1);
        for (const std::string& input : {p.exif6, p.sideways})
            engine->AddFile(wide(input).c_str(), 0);
        const std::string out = dir.file("out" + std::to_string(recognise) + ".pdf");
        ASSERT_EQ(engine->Convert(wide(out).c_str(), nullptr), 1);
        ASSERT_TRUE(qpdfCheckClean(out));
        const std::string prefix = dir.file("img" + std::to_string(recognise));
        ASSERT_EQ(
            runCommand("pdfimages -all " + shellQuote(out) + " " + shellQuote(prefix)).exitCode, 0);
        for (const std::string& name : listDir(dir.path()))
            if (name.rfind("img" + std::to_string(recognise), 0) == 0)
                images[recognise].push_back(readFile(dir.file(name)));
    }
    ASSERT_EQ(images[0].size(), 2u);
    std::sort(images[0].begin(), images[0].end());
    std::sort(images[1].begin(), images[1].end());
    EXPECT_TRUE(images[0] == images[1]);
    // The JPEG is the file itself.
    EXPECT_NE(std::find(images[1].begin(), images[1].end(), readFile(p.exif6)), images[1].end());
}

TEST(RecognizedPages, MissingLanguageDataFailsBeforeAnythingIsMade) {
    Pictures& p = Pictures::get();
    TempDir data;
    ASSERT_EQ(runCommand("ln -s /usr/share/tesseract-ocr/5/tessdata/eng.traineddata " +
                         shellQuote(data.path()))
                  .exitCode,
              0);
    auto engine = recognisingEngine("eng+chi_sim");
    EXPECT_EQ(folimo::toUtf8(engine->GetTextData()), "chi_sim+eng+osd");
    ::setenv("TESSDATA_PREFIX", data.path().c_str(), 1);
    EXPECT_EQ(folimo::toUtf8(engine->GetTextData()), "eng");
    TempDir dir;
    engine->AddFile(wide(p.english).c_str(), 0);
    TextProcess process;
    const int converted = engine->Convert(wide(dir.file("out.pdf")).c_str(), &process);
    ::unsetenv("TESSDATA_PREFIX");
    EXPECT_EQ(converted, 0);
    ASSERT_EQ(process.errors.size(), 1u);
    EXPECT_EQ(process.errors[0].code, FOLIMO_ERROR_TEXT_DATA);
    EXPECT_EQ(process.errors[0].subject, "chi_sim");
    EXPECT_EQ(process.errors[0].reason, "tesseract-ocr-chi-sim");
    EXPECT_EQ(process.documentEnd, std::make_pair(int(FOLIMO_DOCUMENT_FAILED), 0));
    EXPECT_EQ(process.files, 0);
    EXPECT_TRUE(listDir(dir.path()).empty());
    EXPECT_EQ(folimo::toUtf8(engine->GetOutputPath()), "");
}

TEST(RecognizedPages, AStopDuringRecognitionKeepsTheFinishedPages) {
    Pictures& p = Pictures::get();
    TempDir dir;
    // Full A4 pages at 300 dpi, which take seconds to read: the stop comes while one is.
    const std::string dense = dir.file("dense.png");
    std::string args =
        "-size 2480x3508 xc:white -font " + std::string(kSans) + " -pointsize 36 -fill black";
    for (int line = 0; line < 45; ++line)
        args += " -annotate +150+" + std::to_string(200 + line * 70) + " " +
                shellQuote(kEnglish[line % 3] + " " + std::to_string(line));
    makeImage(args + " -density 300 -units PixelsPerInch", dense);
    auto engine = recognisingEngine("eng");
    engine->AddFile(wide(p.english).c_str(), 0);
    engine->AddFile(wide(dense).c_str(), 0);
    engine->AddFile(wide(dense).c_str(), 0);
    TextProcess process;
    process.stopAfterPages = 1;
    const std::string out = dir.file("out.pdf");
    // How soon a stop reaches the page being read is the recogniser's test's to tell, as a
    // share of the page's time: a bound in seconds here would measure the machine.
    ASSERT_EQ(engine->Convert(wide(out).c_str(), &process), 1);
    EXPECT_EQ(process.documentEnd, std::make_pair(int(FOLIMO_DOCUMENT_STOPPED), 1));
    EXPECT_TRUE(qpdfCheckClean(out));
    EXPECT_EQ(pdfInfoField(out, "Pages"), "1");
    EXPECT_NE(pdfText(out).find(kEnglish[0]), std::string::npos);
    ASSERT_EQ(process.pageTexts.size(), 1u);
    // The wait for the first page's text was told, naming the page, so a progress window
    // can say what the run is doing in the seconds before the first page is made.
    ASSERT_FALSE(process.waits.empty());
    EXPECT_EQ(process.waits[0].documentPage, 1);
    EXPECT_EQ(process.waits[0].path, p.english);
    EXPECT_EQ(process.waits[0].filePage, 0);
}

TEST(RecognizedPages, APageThatCannotBeReadForItsTextIsKeptWithoutIt) {
    Pictures& p = Pictures::get();
    TempDir dir;
    // Codes no Huffman table has, amid its scan data: the writer passes the JPEG on as it
    // stands, but no decoder reads its picture.
    std::string damaged = readFile(p.exif6);
    damaged.replace(damaged.size() / 2, 64, 64, '\xFE');
    const std::string cut = dir.file("damaged.jpg");
    writeFile(cut, damaged);
    auto engine = recognisingEngine("eng");
    engine->AddFile(wide(cut).c_str(), 0);
    engine->AddFile(wide(p.english).c_str(), 0);
    TextProcess process;
    const std::string out = dir.file("out.pdf");
    ASSERT_EQ(engine->Convert(wide(out).c_str(), &process), 1);
    EXPECT_TRUE(qpdfCheckClean(out));
    EXPECT_EQ(pdfInfoField(out, "Pages"), "2");
    ASSERT_EQ(process.errors.size(), 1u);
    EXPECT_EQ(process.errors[0].code, FOLIMO_ERROR_RECOGNITION);
    EXPECT_EQ(process.errors[0].subject, cut);
    EXPECT_FALSE(process.errors[0].reason.empty());
    ASSERT_EQ(process.pageTexts.size(), 2u);
    EXPECT_EQ(process.pageTexts[0].words, -1);
    EXPECT_EQ(process.pageTexts[1].documentPage, 2);
    EXPECT_GT(process.pageTexts[1].words, 10);
}

} // namespace
