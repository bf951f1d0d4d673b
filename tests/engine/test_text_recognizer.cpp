// Text recognition of rendered pages, measured against the tesseract command line as an
// independent oracle: the same words in the same order, in boxes that overlap its own.
#include "ImageFixtures.h"
#include "TestSupport.h"

#include "imaging/Codecs.h"
#include "imaging/Transform.h"
#include "ocr/TextRecognizer.h"
#include <folimo/WideText.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace {

using namespace folimo::test;
using folimo::ocr::MissingLanguageData;
using folimo::ocr::RecognitionCancelled;
using folimo::ocr::RecognizedWord;
using folimo::ocr::TextRecognizer;

const char* const kEnglish = "The quick brown fox jumps over the lazy dog.\\n"
                             "Pack my box with five dozen liquor jugs, 1234.\\n"
                             "Invoices are due within thirty days of receipt.";
const char* const kChinese = "我们的扫描文件可以搜索\\n今天天气很好明天见";

std::string fontFile(const std::string& family) {
    auto r = runCommand("fc-match -f '%{file}' " + shellQuote(family));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return r.output;
}

// A small 300 dpi page of a few lines of `text`, with `extra` choosing its pixel format.
std::string renderPage(const TempDir& dir, const std::string& name, const std::string& font,
                       const std::string& text, const std::string& extra) {
    std::string path = dir.file(name);
    makeImage("-density 300 -units PixelsPerInch -font " + shellQuote(font) +
                  " -pointsize 12 label:" + shellQuote(text) + " -bordercolor white -border 60 " +
                  extra,
              path);
    return path;
}

folimo::imaging::Bitmap decodeFile(const std::string& path) {
    std::string bytes = readFile(path);
    return folimo::imaging::decode(bytesOf(bytes));
}

struct Box {
    std::wstring text;
    int left, top, right, bottom;
};

// The words of `image` as the tesseract command line finds them with its defaults.
std::vector<Box> oracleWords(const TempDir& dir, const std::string& image,
                             const std::string& languages) {
    std::string base = dir.file("oracle");
    auto r = runCommand("OMP_THREAD_LIMIT=1 tesseract " + shellQuote(image) + " " +
                        shellQuote(base) + " -l " + languages + " tsv 2>&1");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::vector<Box> words;
    std::istringstream tsv(readFile(base + ".tsv"));
    std::string line;
    std::getline(tsv, line); // the column names
    while (std::getline(tsv, line)) {
        std::vector<std::string> cells;
        std::istringstream row(line);
        for (std::string cell; std::getline(row, cell, '\t');)
            cells.push_back(cell);
        if (cells.size() < 12 || cells[0] != "5" || cells[11].empty())
            continue;
        int left = std::stoi(cells[6]), top = std::stoi(cells[7]);
        words.push_back({folimo::fromUtf8(cells[11]), left, top, left + std::stoi(cells[8]),
                         top + std::stoi(cells[9])});
    }
    return words;
}

double overlap(const RecognizedWord& a, const Box& b) {
    double w = std::min(a.right, b.right) - std::max(a.left, b.left);
    double h = std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
    if (w <= 0 || h <= 0)
        return 0;
    double areaA = double(a.right - a.left) * (a.bottom - a.top);
    double areaB = double(b.right - b.left) * (b.bottom - b.top);
    return w * h / (areaA + areaB - w * h);
}

// How many of `expected` appear in `found` in the same order (longest common subsequence).
template <class T>
std::size_t inOrder(const std::vector<T>& expected, const std::vector<T>& found) {
    std::vector<std::size_t> prev(found.size() + 1), cur(found.size() + 1);
    for (const auto& e : expected) {
        for (std::size_t j = 0; j < found.size(); ++j)
            cur[j + 1] = e == found[j] ? prev[j] + 1 : std::max(prev[j + 1], cur[j]);
        std::swap(prev, cur);
    }
    return prev.back();
}

std::vector<std::wstring> textsOf(const std::vector<RecognizedWord>& words) {
    std::vector<std::wstring> out;
    out.reserve(words.size());
    for (const auto& w : words)
        out.push_back(w.text);
    return out;
}

std::vector<std::wstring> wordsOf(std::string text) {
    for (std::size_t at; (at = text.find("\\n")) != std::string::npos;)
        text.replace(at, 2, " ");
    std::vector<std::wstring> out;
    std::istringstream in(text);
    for (std::string word; in >> word;)
        out.push_back(folimo::fromUtf8(word));
    return out;
}

struct PageCase {
    const char* name;
    const char* file;
    const char* extra; // the pixel format the decoder hands over
};

class EnglishPage : public ::testing::TestWithParam<PageCase> {};

TEST_P(EnglishPage, FindsTheWordsInOrderWhereTheOracleSeesThem) {
    TempDir dir;
    std::string image =
        renderPage(dir, GetParam().file, fontFile("DejaVu Serif"), kEnglish, GetParam().extra);
    TextRecognizer recognizer("eng");
    auto words = recognizer.recognize(decodeFile(image));

    auto expected = wordsOf(kEnglish);
    EXPECT_GE(inOrder(expected, textsOf(words)), expected.size() * 99 / 100);
    auto oracle = oracleWords(dir, image, "eng");
    ASSERT_FALSE(oracle.empty());
    std::size_t matched = 0;
    int line = 0;
    for (const auto& w : words) {
        // Lines counted in reading order, each with a baseline fitted over it.
        EXPECT_TRUE(w.line == line || w.line == line + 1) << folimo::toUtf8(w.text);
        line = w.line;
        EXPECT_LE(w.lineX1, w.left);
        EXPECT_GE(w.lineX2, w.right - 1);
        EXPECT_NEAR(w.lineY1, w.baselineY1, (w.bottom - w.top) / 2.0) << folimo::toUtf8(w.text);
        EXPECT_GT(w.confidence, 50) << folimo::toUtf8(w.text);
        EXPECT_LT(w.left, w.right);
        EXPECT_LT(w.top, w.bottom);
        EXPECT_NEAR(w.baselineY1, w.bottom, (w.bottom - w.top) / 2.0) << folimo::toUtf8(w.text);
        for (const auto& o : oracle) {
            if (o.text == w.text && overlap(w, o) > 0.5) {
                ++matched;
                break;
            }
        }
    }
    EXPECT_GE(matched, words.size() * 99 / 100);
    EXPECT_GE(line, 2);
}

INSTANTIATE_TEST_SUITE_P(
    PixelFormats, EnglishPage,
    ::testing::Values(PageCase{"Grey", "grey.png", "-colorspace Gray -depth 8 -type Grayscale"},
                      PageCase{"Rgb", "rgb.png", "-fill navy -type TrueColor -depth 8"},
                      PageCase{"OneBit", "bits.png", "-monochrome"},
                      PageCase{"Grey16", "grey16.png", "-colorspace Gray -depth 16"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TextRecognizer, FindsChineseCharacters) {
    TempDir dir;
    std::string image =
        renderPage(dir, "zh.png", fontFile("WenQuanYi Zen Hei"), kChinese, "-type Grayscale");
    TextRecognizer recognizer("eng+chi_sim");
    std::wstring found;
    for (const auto& w : recognizer.recognize(decodeFile(image)))
        found += w.text;
    std::vector<wchar_t> expected, got(found.begin(), found.end());
    for (wchar_t c : folimo::fromUtf8(kChinese))
        if (c > 0x2E80)
            expected.push_back(c);
    EXPECT_GE(inOrder(expected, got), expected.size() * 95 / 100) << folimo::toUtf8(found);
}

TEST(TextRecognizer, ListsTheInstalledLanguages) {
    auto languages = folimo::ocr::installedLanguages();
    for (const char* language : {"chi_sim", "eng", "osd"})
        EXPECT_NE(std::find(languages.begin(), languages.end(), language), languages.end())
            << language;
}

// Points TESSDATA_PREFIX at a folder for the life of the object.
class LanguageFolder {
public:
    explicit LanguageFolder(const std::string& folder) {
        if (const char* old = std::getenv("TESSDATA_PREFIX"))
            old_ = old;
        setenv("TESSDATA_PREFIX", folder.c_str(), 1);
    }
    ~LanguageFolder() {
        if (old_.empty())
            unsetenv("TESSDATA_PREFIX");
        else
            setenv("TESSDATA_PREFIX", old_.c_str(), 1);
    }

private:
    std::string old_;
};

// A language folder holding English alone.
std::string englishOnlyFolder(const TempDir& dir) {
    std::string folder = dir.file("eng-only");
    auto r = runCommand("mkdir " + shellQuote(folder) +
                        " && ln -s /usr/share/tesseract-ocr/5/tessdata/eng.traineddata " +
                        shellQuote(folder));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return folder;
}

TEST(TextRecognizer, MissingLanguageDataNamesThePackageToInstall) {
    TempDir dir;
    const std::string onlyEnglish = englishOnlyFolder(dir);
    struct Case {
        std::string folder, languages, message, language, package;
    } cases[] = {
        {dir.path(), "eng", "install the Debian package tesseract-ocr-eng.", "eng",
         "tesseract-ocr-eng"},
        {onlyEnglish, "eng+chi_sim", "install the Debian package tesseract-ocr-chi-sim.", "chi_sim",
         "tesseract-ocr-chi-sim"},
        {onlyEnglish, "eng+chi_tra", "\"chi_tra\" is not installed in " + onlyEnglish, "chi_tra",
         "tesseract-ocr-chi-tra"},
        {onlyEnglish, "", "needs at least one language", "", ""},
        {onlyEnglish, "+", "needs at least one language", "", ""},
    };
    for (const auto& c : cases) {
        LanguageFolder folder(c.folder);
        try {
            TextRecognizer recognizer(c.languages);
            ADD_FAILURE() << "no error for " << c.languages;
        } catch (const MissingLanguageData& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << c.languages << ": " << e.what();
            EXPECT_EQ(e.language, c.language) << c.languages;
            EXPECT_EQ(e.package, c.package) << c.languages;
        }
    }
    LanguageFolder folder(onlyEnglish);
    EXPECT_NO_THROW(TextRecognizer("eng"));
}

TEST(TextRecognizer, TwoThreadsRecogniseAtOnceWithTheirOwnRecognisers) {
    TempDir dir;
    std::string image =
        renderPage(dir, "page.png", fontFile("DejaVu Sans"), kEnglish, "-colorspace Gray -depth 8");
    const auto page = decodeFile(image);
    const auto reference = textsOf(TextRecognizer("eng").recognize(page));
    ASSERT_FALSE(reference.empty());
    std::vector<std::wstring> results[2][2];
    std::vector<std::thread> threads;
    for (auto& result : results) {
        threads.emplace_back([&page, &result] {
            TextRecognizer recognizer("eng");
            // The second page reuses what the first one loaded.
            for (auto& pass : result)
                pass = textsOf(recognizer.recognize(page));
        });
    }
    for (auto& t : threads)
        t.join();
    for (const auto& result : results)
        for (const auto& pass : result)
            EXPECT_EQ(pass, reference);
}

TEST(TextRecognizer, StopsWithinThePageWhenCancelled) {
    TempDir dir;
    std::string text;
    for (int i = 0; i < 4; ++i)
        text += std::string(i > 0 ? "\\n" : "") + kEnglish;
    std::string image =
        renderPage(dir, "long.png", fontFile("DejaVu Sans"), text, "-colorspace Gray -depth 8");
    const auto page = decodeFile(image);
    TextRecognizer recognizer("eng");
    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    std::atomic<bool> never{false};
    EXPECT_GE(recognizer.recognize(page, &never).size(), wordsOf(text).size() * 9 / 10);
    const auto whole = Clock::now() - start;

    std::atomic<bool> cancel{false};
    Clock::time_point cancelledAt;
    std::thread stopper([&] {
        std::this_thread::sleep_for(whole / 5);
        cancelledAt = Clock::now();
        cancel = true;
    });
    EXPECT_THROW(recognizer.recognize(page, &cancel), RecognitionCancelled);
    const auto stopped = Clock::now();
    stopper.join();
    EXPECT_LT(stopped - cancelledAt, whole / 4)
        << "whole page " << std::chrono::duration<double>(whole).count() << " s";
    // A flag already set stops before any work; the recogniser stays usable afterwards.
    EXPECT_THROW(recognizer.recognize(page, &cancel), RecognitionCancelled);
    cancel = false;
    const auto small = decodeFile(
        renderPage(dir, "small.png", fontFile("DejaVu Sans"), kEnglish, "-type Grayscale"));
    EXPECT_EQ(textsOf(recognizer.recognize(small, &cancel)), wordsOf(kEnglish));
}

TEST(TextRecognizer, FindsTheTurnsThatStandAPageUpright) {
    TempDir dir;
    std::string image =
        renderPage(dir, "page.png", fontFile("DejaVu Sans"), kEnglish, "-colorspace Gray -depth 8");
    const auto page = decodeFile(image);
    TextRecognizer recognizer("eng");
    for (int turned = 0; turned < 4; ++turned) {
        auto lying = folimo::imaging::turnClockwise(page, turned);
        const int turns = recognizer.uprightTurns(lying);
        EXPECT_EQ(turns, (4 - turned) % 4) << "page turned " << turned << " quarter turns";
        // Turned back as told, the page reads as the upright one does.
        auto words = textsOf(recognizer.recognize(folimo::imaging::turnClockwise(lying, turns)));
        EXPECT_GE(inOrder(wordsOf(kEnglish), words), wordsOf(kEnglish).size() * 9 / 10) << turned;
    }
    // Nothing to read: no turn, no words.
    EXPECT_EQ(recognizer.uprightTurns(folimo::imaging::Bitmap{}), 0);
    EXPECT_TRUE(recognizer.recognize(folimo::imaging::Bitmap{}).empty());
    std::string blank = dir.file("blank.png");
    makeImage("-size 800x300 xc:white -density 300 -units PixelsPerInch -type Grayscale", blank);
    EXPECT_EQ(recognizer.uprightTurns(decodeFile(blank)), 0);
}

TEST(TextRecognizer, WithoutOrientationDataNoPageIsTurned) {
    TempDir dir;
    std::string image =
        renderPage(dir, "page.png", fontFile("DejaVu Sans"), kEnglish, "-colorspace Gray -depth 8");
    const std::string onlyEnglish = englishOnlyFolder(dir);
    LanguageFolder folder(onlyEnglish);
    TextRecognizer recognizer("eng");
    EXPECT_EQ(recognizer.uprightTurns(folimo::imaging::turnClockwise(decodeFile(image), 1)), 0);
}

} // namespace
