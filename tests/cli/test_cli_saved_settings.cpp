// folimo-cli --use-saved-settings: a run that starts from the desktop program's stored
// settings, with the command line's options over them. Each test has a store of its own
// in a temporary folder, which the runs find through XDG_CONFIG_HOME.
#include "ImageFixtures.h"
#include "RegistryStore.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QSettings>

#include <regex>
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
        return runCli(dir, arguments, "XDG_CONFIG_HOME=" + shellQuote(configHome));
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

} // namespace
