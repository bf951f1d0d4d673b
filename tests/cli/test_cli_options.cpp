// folimo-cli's text recognition options as parsed, and its per-page JSON, without a run:
// the engine this branch builds against recognises nothing yet.
#include "CliOptions.h"
#include "ConsoleProcess.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace folimo::test;

CliOptions parse(std::vector<std::string> words) {
    words.insert(words.begin(), "folimo-cli");
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    return parseCliOptions(int(argv.size()), argv.data());
}

// Run in a folder of their own, where the inputs named in the table exist.
class CliTextOptions : public ::testing::Test {
protected:
    void SetUp() override {
        previous = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        for (const char* name : {"photo.jpg", "eng", "scan.png"})
            writeFile(dir.file(name), "x");
    }
    void TearDown() override { std::filesystem::current_path(previous); }
    TempDir dir;
    std::filesystem::path previous;
};

TEST_F(CliTextOptions, TheLanguagesAndTheInputsAreToldApart) {
    const struct {
        std::vector<std::string> args;
        int ocr; // -1 not given, 0 --no-ocr, 1 --ocr
        const char* languages;
        std::vector<std::string> inputs;
        int upright = -1;
    } cases[] = {
        {{"--ocr", "photo.jpg"}, 1, "", {"photo.jpg"}},
        {{"--ocr", "eng+chi_sim", "photo.jpg"}, 1, "eng+chi_sim", {"photo.jpg"}},
        {{"--ocr=eng", "photo.jpg"}, 1, "eng", {"photo.jpg"}},
        {{"--ocr=chi_sim+eng+deu", "photo.jpg"}, 1, "chi_sim+eng+deu", {"photo.jpg"}},
        // A file of that name is the input, not a language.
        {{"--ocr", "eng"}, 1, "", {"eng"}},
        {{"--ocr", "fra", "eng"}, 1, "fra", {"eng"}},
        {{"photo.jpg", "--ocr"}, 1, "", {"photo.jpg"}},
        {{"--ocr", "--", "deu"}, 1, "", {"deu"}},
        {{"--use-saved-settings", "--no-ocr", "photo.jpg"}, 0, "", {"photo.jpg"}},
        {{"--ocr", "deu", "--no-ocr", "photo.jpg"}, 0, "", {"photo.jpg"}},
        {{"--no-ocr", "--ocr", "photo.jpg"}, 1, "", {"photo.jpg"}},
        {{"photo.jpg"}, -1, "", {"photo.jpg"}},
        {{"--ocr", "--upright-by-text", "scan.png"}, 1, "", {"scan.png"}, 1},
        {{"--upright-by-text", "--no-upright-by-text", "scan.png"}, -1, "", {"scan.png"}, 0},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), {"-o", "out.pdf"});
        std::string shown;
        for (const std::string& arg : c.args)
            shown += arg + " ";
        const CliOptions o = parse(args);
        EXPECT_EQ(o.ocr ? int(*o.ocr) : -1, c.ocr) << shown;
        EXPECT_EQ(o.ocrLanguages, c.languages) << shown;
        EXPECT_EQ(o.inputs, c.inputs) << shown;
        EXPECT_EQ(o.uprightByText ? int(*o.uprightByText) : -1, c.upright) << shown;
    }
}

TEST_F(CliTextOptions, WhatIsNoLanguageListIsRefusedWithTheFormItTakes) {
    for (std::vector<std::string> args : {std::vector<std::string>{"--ocr=photo.jpg", "scan.png"},
                                          {"--ocr=", "scan.png"},
                                          {"--ocr=eng+", "scan.png"},
                                          {"--no-ocr=eng", "scan.png"}}) {
        args.insert(args.begin(), {"-o", "out.pdf"});
        try {
            parse(args);
            ADD_FAILURE() << args[2] << " was taken";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(args[2].substr(0, args[2].find('='))),
                      std::string::npos)
                << e.what();
        }
    }
}

// The languages that reach the engine's record, from the options and the saved ones.
TEST_F(CliTextOptions, TheLanguagesComeFromTheOptionsTheStoreOrTheDesktop) {
    const struct {
        std::vector<std::string> args;
        const char* languages; // null: the record's stay as loaded
    } cases[] = {
        {{"photo.jpg"}, nullptr},
        {{"--use-saved-settings", "photo.jpg"}, nullptr},
        {{"--ocr", "photo.jpg"}, "desktop"},
        {{"--use-saved-settings", "--ocr", "photo.jpg"}, "saved"},
        {{"--use-saved-settings", "--ocr", "deu", "photo.jpg"}, "deu"},
        {{"--ocr=deu", "photo.jpg"}, "deu"},
        {{"--use-saved-settings", "--no-ocr", "photo.jpg"}, ""},
        {{"--upright-by-text", "photo.jpg"}, nullptr},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), {"-o", "out.pdf"});
        const auto languages = recognitionLanguages(parse(args), "saved", "desktop");
        EXPECT_EQ(languages.has_value(), c.languages != nullptr) << args[2];
        if (languages && c.languages) {
            EXPECT_EQ(*languages, c.languages) << args[2];
        }
    }
}

// The JSON objects a run prints for its pages' recognition, and the error of a page
// whose text could not be recognised, as the engine reports them.
TEST(CliTextReport, EachPageIsOneJsonObjectAndAFailureAnErrorToo) {
    std::size_t errors = 0;
    testing::internal::CaptureStdout();
    {
        ConsoleProcess process(false, true, 2, "out.pdf", [] { return false; });
        IProcessText& text = process;
        text.OnPageText(1, L"/in/a \"b\".jpg", 0, 42, 0);
        text.OnPageText(2, L"/in/scan.tif", 1, 0, 3);
        process.OnErrorCode(FOLIMO_ERROR_RECOGNITION, L"/in/scan.tif", L"out of memory",
                            L"Error: recognition failed");
        text.OnPageText(3, L"/in/scan.tif", 2, -1, 0);
        process.OnErrorCode(FOLIMO_ERROR_TEXT_DATA, L"chi_sim", L"tesseract-ocr-chi-sim",
                            L"Error: no data");
        errors = process.errors();
    }
    std::istringstream out(testing::internal::GetCapturedStdout());
    std::vector<std::string> lines;
    for (std::string line; std::getline(out, line);)
        lines.push_back(line);
    const std::vector<std::string> expected = {
        R"({"event":"text","page":1,"path":"/in/a \"b\".jpg","filePage":0,"recognized":true,)"
        R"("words":42,"quarterTurns":0})",
        R"({"event":"text","page":2,"path":"/in/scan.tif","filePage":1,"recognized":true,)"
        R"("words":0,"quarterTurns":3})",
        R"({"event":"text","page":3,"path":"/in/scan.tif","filePage":2,"recognized":false,)"
        R"("words":0,"quarterTurns":0})",
        R"({"event":"error","message":"page 3 of /in/scan.tif: its text could not be )"
        R"(recognised; the page is kept without text"})",
        R"({"event":"error","message":"Error: the language data for \"chi_sim\" is not )"
        R"(installed: install the Debian package tesseract-ocr-chi-sim"})",
    };
    EXPECT_EQ(lines, expected);
    // The engine's own report of the failed page is not told twice.
    EXPECT_EQ(errors, 2u);
}

} // namespace

namespace {

using folimo::scan::Colour;
using folimo::scan::Source;

// The scanning options as the service gets them, and the command lines refused with
// the option at fault named.
TEST(CliScanOptions, TheChoicesReachTheServiceAsGiven) {
    const struct {
        std::vector<std::string> args;
        Source source;
        Colour colour;
        int resolution;
        int blank; // -1: blank pages are kept
        std::string keep;
    } cases[] = {
        {{"--scan", "test:0"}, Source::Flatbed, Colour::Colour, 300, -1, ""},
        {{"--source", "adf", "--scan=test:0"}, Source::Feeder, Colour::Colour, 300, -1, ""},
        {{"--scan", "test:0", "--source=duplex", "--scan-mode", "gray"},
         Source::Duplex,
         Colour::Grey,
         300,
         -1,
         ""},
        {{"--scan", "test:0", "--scan-mode", "lineart", "--resolution", "600"},
         Source::Flatbed,
         Colour::BlackAndWhite,
         600,
         -1,
         ""},
        {{"--scan", "test:0", "--skip-blank"}, Source::Flatbed, Colour::Colour, 300, 5, ""},
        {{"--scan", "test:0", "--skip-blank=20", "--keep-scans", "kept"},
         Source::Flatbed,
         Colour::Colour,
         300,
         20,
         "kept"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), {"-o", "out.pdf"});
        const CliOptions o = parse(args);
        ASSERT_TRUE(o.scan) << args[3];
        EXPECT_EQ(o.scan->device, "test:0");
        const folimo::scan::Choices choices = scanChoices(*o.scan);
        EXPECT_EQ(choices.source, c.source) << args[3];
        EXPECT_EQ(choices.colour, c.colour) << args[3];
        EXPECT_EQ(choices.resolution, c.resolution) << args[3];
        EXPECT_EQ(choices.skipBlank, c.blank >= 0) << args[3];
        if (c.blank >= 0) {
            EXPECT_EQ(choices.blankInkPermille, c.blank) << args[3];
        }
        EXPECT_EQ(o.scan->keepFolder, c.keep) << args[3];
        EXPECT_TRUE(o.inputs.empty());
    }
    const CliOptions driver = parse({"-o", "o.pdf", "--scan", "test:1", "--scan-option",
                                     "test-picture=Solid white", "--scan-option=read-delay=yes"});
    const std::vector<std::pair<std::string, std::string>> options = {
        {"test-picture", "Solid white"}, {"read-delay", "yes"}};
    EXPECT_EQ(scanChoices(*driver.scan).deviceOptions, options);
    const auto area =
        scanChoices(*parse({"-o", "o.pdf", "--scan", "s", "--scan-area", "210x297"}).scan);
    EXPECT_EQ(area.widthMm, 210);
    EXPECT_EQ(area.heightMm, 297);
    EXPECT_EQ(scanChoices(*driver.scan).widthMm, 0); // the whole area
    // Without --source the device's first is taken, not a flatbed it may not have.
    EXPECT_FALSE(parse({"-o", "o.pdf", "--scan", "test:0"}).scan->source);
    // Listing needs nothing else, not even an output.
    EXPECT_TRUE(parse({"--list-scanners"}).listScanners);
}

TEST(CliScanOptions, WrongScanningOptionsAreRefusedByName) {
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"-o", "o.pdf", "--scan", "test:0", "--source", "tray"}, "--source takes flatbed"},
        {{"-o", "o.pdf", "--scan", "test:0", "--resolution", "0"}, "--resolution must be"},
        {{"-o", "o.pdf", "--scan", "test:0", "--resolution", "9601"}, "--resolution must be"},
        {{"-o", "o.pdf", "--scan", "test:0", "--resolution", "high"}, "not a whole number"},
        {{"-o", "o.pdf", "--scan", "test:0", "--scan-mode", "sepia"}, "--scan-mode takes color"},
        {{"-o", "o.pdf", "--scan-mode", "gray", "a.jpg"}, "--scan-mode needs --scan DEVICE"},
        {{"-o", "o.pdf", "--keep-scans", "k", "a.jpg"}, "--keep-scans needs --scan DEVICE"},
        {{"-o", "o.pdf", "--scan", "test:0", "a.jpg"}, "give no input files"},
        {{"-o", "o.pdf", "--scan", "test:0", "--skip-blank=1001"}, "0 to 1000"},
        {{"-o", "o.pdf", "--scan", "test:0", "--scan-option", "mode"}, "NAME=VALUE"},
        {{"-o", "o.pdf", "--scan", ""}, "--scan needs the name of a scanner"},
        {{"-o", "o.pdf", "--scan", "test:0", "--scan-area", "80"}, "--scan-area needs two"},
        {{"-o", "o.pdf", "--scan", "test:0", "--scan-area", "0,100"}, "--scan-area needs two"},
        {{"--mode", "per-image", "--scan", "test:0"}, "--mode single only"},
        {{"--scan", "test:0"}, "no output file"},
        {{"-o", "o.pdf", "--list-scanners=all"}, "--list-scanners takes no value"},
    };
    for (const auto& c : cases) {
        try {
            parse(c.args);
            ADD_FAILURE() << c.says << ": taken";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

} // namespace
