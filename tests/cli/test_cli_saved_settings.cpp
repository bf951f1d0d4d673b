// folimo-cli --use-saved-settings: a run that starts from the desktop program's stored
// settings, with the command line's options over them. Each test has a store of its own
// in a temporary folder, which the runs find through XDG_CONFIG_HOME.
#include "ImageFixtures.h"
#include "RegistryStore.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QSettings>

#include <regex>
#include <set>
#include <sstream>

#include <sys/stat.h>

namespace {

using namespace folimo::test;

// A word of `pdftotext -bbox`, in points from the top left of its page.
struct Word {
    std::string text;
    double xMin, yMin, xMax, yMax;
};

std::vector<Word> pageWords(const std::string& pdf, int page) {
    std::string p = std::to_string(page);
    std::string html =
        runCommand("pdftotext -bbox -f " + p + " -l " + p + " " + shellQuote(pdf) + " -").output;
    static const std::regex word(
        R"re(<word xMin="([0-9.]+)" yMin="([0-9.]+)" xMax="([0-9.]+)" yMax="([0-9.]+)">([^<]*)</word>)re");
    std::vector<Word> words;
    for (std::sregex_iterator it(html.begin(), html.end(), word), end; it != end; ++it)
        words.push_back({(*it)[5], std::stod((*it)[1]), std::stod((*it)[2]), std::stod((*it)[3]),
                         std::stod((*it)[4])});
    return words;
}

// The pixel widths of the images that `pdfimages -list` finds on a page.
std::vector<int> imageWidths(const std::string& pdf, int page) {
    std::string p = std::to_string(page);
    std::istringstream in(
        runCommand("pdfimages -list -f " + p + " -l " + p + " " + shellQuote(pdf)).output);
    std::vector<int> widths;
    std::string line;
    std::getline(in, line); // column names
    std::getline(in, line); // rule
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        int pageNumber = 0, number = 0, width = 0;
        std::string type;
        if (fields >> pageNumber >> number >> type >> width && type == "image")
            widths.push_back(width);
    }
    return widths;
}

// The fill opacities (/ca) of the document's graphics states, as qpdf reads them.
std::set<std::string> fillOpacities(const std::string& pdf) {
    std::string json = runCommand("qpdf --json --json-key=qpdf " + shellQuote(pdf)).output;
    static const std::regex ca(R"("/ca": ([0-9.]+))");
    std::set<std::string> found;
    for (std::sregex_iterator it(json.begin(), json.end(), ca), end; it != end; ++it)
        found.insert((*it)[1]);
    return found;
}

class CliSavedSettings : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir(configHome.c_str(), 0755), 0);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(configHome));
        // The desktop program's settings, as its settings window would have saved them.
        folimo::RegistryStore store;
        ASSERT_EQ(store.WriteString(L"PDFTitle", L"相册 stored"), 1);
        ASSERT_EQ(store.WriteString(L"PDFAuthor", L"Ann"), 1);
        ASSERT_EQ(store.WriteNumber(L"PageSize", 4), 1); // 594 x 842
        ASSERT_EQ(store.WriteString(L"WaterText", L"STOREDMARK"), 1);
        ASSERT_EQ(store.WriteNumber(L"WaterFontSize", 12), 1);
        ASSERT_EQ(store.WriteNumber(L"WaterPosX", 100), 1);
        ASSERT_EQ(store.WriteNumber(L"WaterPosY", 50), 1);
        ASSERT_EQ(store.WriteString(L"WaterImage", folimo::test::wide(jpeg("stamp.jpg", 20, 10))),
                  1);
        ASSERT_TRUE(fileExists(configHome + "/Velmar/Folimo.conf"));
    }

    CliResult run(const std::string& arguments) {
        // A fixed date makes the same settings write the same bytes.
        return runCli(dir, arguments,
                      "SOURCE_DATE_EPOCH=0 XDG_CONFIG_HOME=" + shellQuote(configHome));
    }

    std::string jpeg(const std::string& name, int width = 40, int height = 30) {
        JpegParams p;
        p.width = width;
        p.height = height;
        std::string path = dir.file(name);
        writeFile(path, makeJpeg(p));
        return path;
    }

    TempDir dir;
    std::string configHome = dir.file("config");
};

TEST_F(CliSavedSettings, TheRunStartsFromTheStoredSettingsOnlyWhenAsked) {
    EXPECT_NE(run("--help").out.find("--use-saved-settings"), std::string::npos);

    std::string a = jpeg("a.jpg");
    std::string saved = dir.file("saved.pdf");
    CliResult r = run("-q --use-saved-settings -o " + shellQuote(saved) + " " + shellQuote(a));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(qpdfCheckClean(saved));
    EXPECT_EQ(pdfInfoField(saved, "Title"), "相册 stored");
    EXPECT_EQ(pdfInfoField(saved, "Author"), "Ann");
    EXPECT_EQ(pdfInfoField(saved, "Creator"), "Velmar-Folimo"); // the store's default
    auto sizes = pdfPageSizes(saved);
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0].width, 594);
    EXPECT_EQ(sizes[0].height, 842);
    auto words = pageWords(saved, 1);
    ASSERT_EQ(words.size(), 1u);
    EXPECT_EQ(words[0].text, "STOREDMARK");
    EXPECT_EQ(imageWidths(saved, 1), (std::vector<int>{40, 20}));

    std::string plain = dir.file("plain.pdf");
    r = run("-q -o " + shellQuote(plain) + " " + shellQuote(a));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(pdfInfoField(plain, "Title"), "");
    sizes = pdfPageSizes(plain);
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0].width, 40);
    EXPECT_TRUE(pageWords(plain, 1).empty());
    EXPECT_EQ(imageWidths(plain, 1), std::vector<int>{40});
}

// Stored values outside their range (a file edited by hand) load as their defaults, so
// the run converts every image on a whole page; margins the options then make
// impossible on the stored page are refused.
TEST_F(CliSavedSettings, StoredValuesOutOfRangeStillConvertEveryImage) {
    folimo::RegistryStore store;
    ASSERT_EQ(store.WriteNumber(L"ImageEncode", 77), 1);
    ASSERT_EQ(store.WriteNumber(L"DefaultImageEncode", -2), 1);
    ASSERT_EQ(store.WriteNumber(L"JpepPercent", 1000), 1);
    ASSERT_EQ(store.WriteNumber(L"MearginLeft", -500), 1);
    ASSERT_EQ(store.WriteNumber(L"MearginTop", 5000), 1);
    std::string a = jpeg("a.jpg"), b = jpeg("b.jpg", 30, 60);
    std::string out = dir.file("out.pdf");
    CliResult r = run("-q --use-saved-settings -o " + shellQuote(out) + " " + shellQuote(a) + " " +
                      shellQuote(b));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(qpdfCheckClean(out));
    auto sizes = pdfPageSizes(out);
    ASSERT_EQ(sizes.size(), 2u);
    EXPECT_EQ(sizes[0].width, 594);
    EXPECT_EQ(imageWidths(out, 2).front(), 30);

    std::string refused = dir.file("refused.pdf");
    r = run("--use-saved-settings --page-size a6 --margins 0,211,0,210 -o " + shellQuote(refused) +
            " " + shellQuote(a));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("page of 297 x 421 points"), std::string::npos) << r.err;
    EXPECT_FALSE(fileExists(refused));
}

TEST_F(CliSavedSettings, OptionsOverrideTheStoredValuesAndChangeTheStoredWatermarks) {
    std::string a = jpeg("a.jpg");
    std::string stamp = jpeg("other stamp.jpg", 30, 15);
    std::string out = dir.file("out.pdf");
    CliResult r = run("-q --use-saved-settings --title Given --page-size a5"
                      " --text-watermark GIVENMARK --image-watermark " +
                      shellQuote(stamp) + " -o " + shellQuote(out) + " " + shellQuote(a));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(qpdfCheckClean(out));
    EXPECT_EQ(pdfInfoField(out, "Title"), "Given");
    EXPECT_EQ(pdfInfoField(out, "Author"), "Ann"); // not on the command line: kept
    auto sizes = pdfPageSizes(out);
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0].width, 421);
    EXPECT_EQ(sizes[0].height, 595);

    // One text watermark, the stored one with the new text: at the stored place, in the
    // stored size (12 points; the command line's own default would be 20).
    auto words = pageWords(out, 1);
    ASSERT_EQ(words.size(), 1u);
    EXPECT_EQ(words[0].text, "GIVENMARK");
    EXPECT_NEAR(words[0].xMin, 100, 2);
    EXPECT_LT(words[0].yMax - words[0].yMin, 20); // 15 points at 12, 25 at 20
    EXPECT_GT(words[0].yMin, 45);
    // One image watermark, the new image in place of the stored one.
    EXPECT_EQ(imageWidths(out, 1), (std::vector<int>{40, 30}));
}

// Each --no- form switches off what the store switched on, and of --x and --no-x the
// last one given wins: the document comes out as if the store had it off, or on.
TEST_F(CliSavedSettings, TheNoFormsSwitchStoredSettingsOff) {
    std::string inputs = shellQuote(jpeg("a.jpg", 40, 30)) + " " + shellQuote(jpeg("b.jpg"));
    std::string out = dir.file("out.pdf");
    auto convert = [&](int stored, const wchar_t* name, const std::string& options) {
        EXPECT_EQ(folimo::RegistryStore().WriteNumber(name, stored), 1);
        std::remove(out.c_str());
        CliResult r =
            run("-q --use-saved-settings -o " + shellQuote(out) + " " + options + " " + inputs);
        EXPECT_TRUE(r.exitCode == 0 && qpdfCheckClean(out)) << options << r.err;
        return readFile(out);
    };
    for (auto [name, flag] : {std::pair{L"RotatePage", "landscape"},
                              {L"DoublePage", "double-page"},
                              {L"ImageInPage", "image-in-page"},
                              {L"ImageAutoRotate", "auto-rotate"},
                              {L"CreateBookmark", "bookmarks"}}) {
        std::string on = std::string(" --") + flag, off = std::string(" --no-") + flag;
        std::string storedOff = convert(0, name, ""), storedOn = convert(1, name, "");
        // Whole files compared: EXPECT_TRUE keeps a failure's message short.
        EXPECT_TRUE(storedOn != storedOff) << flag;
        EXPECT_TRUE(convert(1, name, off) == storedOff) << off;
        EXPECT_TRUE(convert(1, name, on + off) == storedOff) << on << off;
        EXPECT_TRUE(convert(0, name, off + on) == storedOn) << off << on;
    }
}

// With the stored settings, a watermark option on its own changes that field of the
// stored watermark; where the store has no watermark text the run says so and goes on.
TEST_F(CliSavedSettings, WatermarkOptionsAloneAdjustTheStoredWatermarks) {
    std::string a = jpeg("a.jpg"), out = dir.file("out.pdf");
    struct Case {
        const wchar_t* storedText;
        std::string options, warning;
        std::set<std::string> opacities; // of the text and the image watermark
    } cases[] = {
        {L"STOREDMARK", "--text-opacity 50", "", {"0.5", "1"}},
        {L"STOREDMARK", "--image-opacity 30 --text-size 30", "", {"0.3", "1"}},
        {L"STOREDMARK", "--no-text-watermark --no-image-watermark", "", {}},
        {L"", "--text-opacity 50", "no text watermark, so --text-opacity changes nothing", {"1"}},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(folimo::RegistryStore().WriteString(L"WaterText", c.storedText), 1);
        std::remove(out.c_str());
        CliResult r = run("-o " + shellQuote(out) + " --use-saved-settings " + c.options + " " +
                          shellQuote(a));
        ASSERT_EQ(r.exitCode, 0) << c.options << r.err;
        EXPECT_TRUE(qpdfCheckClean(out));
        EXPECT_EQ(fillOpacities(out), c.opacities) << c.options;
        EXPECT_EQ(r.err.find(c.warning.empty() ? "Warning" : c.warning) != std::string::npos,
                  !c.warning.empty())
            << r.err;
    }
}

} // namespace
