// folimo-cli as a user runs it: options, exit codes, never overwriting, folders.
#include "ImageFixtures.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include <sys/stat.h>

namespace {

using namespace folimo::test;

class Cli : public ::testing::Test {
protected:
    CliResult run(const std::string& arguments) { return runCli(dir, arguments); }
    std::string jpeg(const std::string& name, int width = 40, int height = 30) {
        JpegParams p;
        p.width = width;
        p.height = height;
        std::string path = dir.file(name);
        writeFile(path, makeJpeg(p));
        return path;
    }
    TempDir dir;
};

TEST_F(Cli, HelpNamesEveryOption) {
    CliResult r = run("--help");
    EXPECT_EQ(r.exitCode, 0);
    for (const char* option : {"--output",
                               "--overwrite",
                               "--page-size",
                               "--[no-]landscape",
                               "--custom-size",
                               "--margins",
                               "--[no-]double-page",
                               "--[no-]image-in-page",
                               "--[no-]auto-rotate",
                               "--title",
                               "--subject",
                               "--author",
                               "--creator",
                               "--keywords",
                               "--[no-]bookmarks",
                               "--bookmark-text",
                               "--quiet",
                               "--encode",
                               "--default-encode",
                               "--jpeg-quality",
                               "--max-size",
                               "--dpi",
                               "--text-watermark",
                               "--text-size",
                               "--text-color",
                               "--text-position",
                               "--text-opacity",
                               "--text-filter",
                               "--image-watermark",
                               "--image-position",
                               "--image-opacity",
                               "--image-filter",
                               "--no-text-watermark",
                               "--no-image-watermark",
                               "--ocr [LANGS]",
                               "--no-ocr",
                               "--[no-]upright-by-text",
                               "--json",
                               "--list-scanners",
                               "--scan DEVICE",
                               "--source",
                               "--scan-mode",
                               "--resolution",
                               "--scan-area",
                               "--skip-blank[=PERMILLE]",
                               "--keep-scans",
                               "--scan-option"})
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
    // It reads in an 80-column terminal without wrapping mid-sentence.
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 90u) << line;
}

TEST_F(Cli, VersionIsPrintedAloneOnStandardOutput) {
    for (const char* arguments : {"--version", "-V", "-q --version"}) {
        CliResult r = run(arguments);
        EXPECT_EQ(r.exitCode, 0) << arguments;
        EXPECT_TRUE(std::regex_match(r.out, std::regex("folimo-cli [0-9]+\\.[0-9]+\\.[0-9]+\n")))
            << arguments << ": " << r.out;
        EXPECT_TRUE(r.err.empty()) << arguments << ": " << r.err;
    }
    EXPECT_NE(run("--help").out.find("-V, --version"), std::string::npos);
}

TEST_F(Cli, WrongCommandLinesExitWithTwoAndSayWhy) {
    std::string a = jpeg("a.jpg");
    struct Case {
        std::string arguments;
        std::string says;
    } cases[] = {{shellQuote(a), "no output file"},
                 {"-o x.pdf", "no input files"},
                 {"-o x.pdf --page-size a9 " + shellQuote(a), "unknown size 'a9'"},
                 {"-o x.pdf --margins 1,2 " + shellQuote(a), "--margins"},
                 {"-o x.pdf --custom-size 0,5 " + shellQuote(a), "--custom-size"},
                 {"-o x.pdf --frobnicate " + shellQuote(a), "unknown option --frobnicate"},
                 {"-o x.pdf --landscape=no " + shellQuote(a), "--landscape takes no value"},
                 {"--overwrite -o " + shellQuote(dir.path()) + " " + shellQuote(a),
                  " is a folder; give the name of the PDF to write"},
                 {"-o", "-o needs a value"},
                 {"--mode each " + shellQuote(a), "--mode takes single, per-folder or per-image"},
                 {"--mode per-image --overwrite " + shellQuote(a), "works with --mode single only"},
                 {"--mode per-folder -o - " + shellQuote(a), "works with --mode single only"}};
    for (const auto& c : cases) {
        CliResult r = run(c.arguments);
        EXPECT_EQ(r.exitCode, 2) << c.arguments;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.arguments << ": " << r.err;
    }
    EXPECT_EQ(listDir(dir.path()), std::vector<std::string>{"a.jpg"});
}

// Margins must leave the image a box of at least one point on the page it goes on;
// refused ones make no document.
TEST_F(Cli, MarginsThatLeaveNoRoomAreRefused) {
    std::string a = jpeg("a.jpg");
    struct Case {
        std::string options;
        int exitCode;
        std::string says;
    } cases[] = {
        {"--page-size a4 --margins -500", 2, "--margins cannot be negative"},
        {"--margins 10,-1,10,10", 2, "--margins cannot be negative"},
        {"--page-size a4 --margins 5000", 2, "page of 594 x 842 points;"},
        {"--page-size a4 --margins 297,0,297,0", 2, "margins of 297,0,297,0 points"},
        {"--page-size a4 --margins 296,0,297,0", 0, ""},
        {"--page-size a4 --double-page --margins 0,211,0,210", 2, "each half of it"},
        {"--page-size a4 --double-page --margins 0,210,0,210", 0, ""},
        {"--page-size a4 --landscape --double-page --margins 211,0,210,0", 2, "842 x 594"},
        {"--custom-size 100,100 --margins 50,0,50,0", 2, "page of 100 x 100 points"},
        {"--custom-size 100,100 --margins 0,49,0,50", 0, ""},
        {"--margins 5000", 0, ""}, // a page cut to its image grows with the margins
    };
    int n = 0;
    for (const auto& c : cases) {
        std::string out = dir.file("out" + std::to_string(n++) + ".pdf");
        CliResult r = run("-o " + shellQuote(out) + " " + c.options + " " + shellQuote(a));
        EXPECT_EQ(r.exitCode, c.exitCode) << c.options << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.options << ": " << r.err;
        EXPECT_EQ(fileExists(out), c.exitCode == 0) << c.options;
        if (c.exitCode == 0) {
            EXPECT_EQ(pdfInfoField(out, "Pages"), "1") << c.options;
        }
    }
}

TEST_F(Cli, ConvertsWithTheLayoutOptionsAndPrintsWhereItWrote) {
    std::string a = jpeg("a.jpg");
    std::string b = jpeg("b.jpg", 30, 60);
    std::string pdf = dir.file("in.pdf");
    makePdf(pdf, {{200, 300}});
    std::string out = dir.file("out.pdf");
    CliResult r = run("-o " + shellQuote(out) +
                      " --page-size a5 --landscape --margins 10,20,30,40 --double-page "
                      "--image-in-page --auto-rotate --title 'Été 相册' --author me "
                      "--bookmarks --bookmark-text 'p%NUMBER% %FILENAME%' " +
                      shellQuote(a) + " " + shellQuote(b) + " " + shellQuote(pdf));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, out + "\n");
    EXPECT_NE(r.err.find("[1/3]"), std::string::npos) << r.err;
    EXPECT_TRUE(qpdfCheckClean(out));
    auto sizes = pdfPageSizes(out);
    ASSERT_EQ(sizes.size(), 2u);
    EXPECT_EQ(sizes[0].width, 595);
    EXPECT_EQ(sizes[0].height, 421);
    EXPECT_EQ(sizes[1].width, 200);
    EXPECT_EQ(pdfInfoField(out, "Title"), "Été 相册");
    EXPECT_EQ(pdfInfoField(out, "Author"), "me");
    auto outline = runCommand("qpdf --json --json-key=outlines " + shellQuote(out)).output;
    EXPECT_NE(outline.find("p1 a"), std::string::npos) << outline;
}

TEST_F(Cli, WatermarkOptionsReachEveryPage) {
    std::string a = jpeg("a.jpg", 200, 100);
    std::string b = jpeg("b.jpg", 200, 100);
    std::string stamp = jpeg("stamp.jpg", 20, 10);
    std::string out = dir.file("out.pdf");
    CliResult r = run("-q -o " + shellQuote(out) +
                      " --text-watermark '草稿 p%NUMBER%' --text-size 12 --text-color '#FF0000'"
                      " --text-position 10,10 --text-opacity 40 --text-filter '*b.jpg'"
                      " --image-watermark " +
                      shellQuote(stamp) + " --image-position auto --image-opacity 50 " +
                      shellQuote(a) + " " + shellQuote(b));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(qpdfCheckClean(out));
    auto first = runCommand("pdftotext -f 1 -l 1 " + shellQuote(out) + " -").output;
    auto second = runCommand("pdftotext -f 2 -l 2 " + shellQuote(out) + " -").output;
    EXPECT_EQ(first.find("草稿"), std::string::npos) << first; // filtered out
    EXPECT_NE(second.find("草稿 p2"), std::string::npos) << second;

    for (const char* bad :
         {"--text-color red", "--text-opacity 150", "--text-position 1", "--text-size 12"}) {
        CliResult wrong = run(std::string("-o x.pdf ") + bad + " " + shellQuote(a));
        EXPECT_EQ(wrong.exitCode, 2) << bad;
    }
}

TEST_F(Cli, JsonModeReportsOneObjectPerEvent) {
    std::string a = jpeg("a.jpg");
    std::string missing = dir.file("no \"such\".png");
    std::string out = dir.file("out.pdf");
    CliResult r =
        run("--json -o " + shellQuote(out) + " " + shellQuote(a) + " " + shellQuote(missing));
    EXPECT_EQ(r.exitCode, 3);
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    EXPECT_EQ(lines[0], "{\"event\":\"begin\",\"output\":\"" + out + "\",\"total\":2}");
    EXPECT_EQ(lines[1],
              "{\"event\":\"file\",\"path\":\"" + a + "\",\"loaded\":true,\"done\":1,\"total\":2}");
    EXPECT_EQ(lines[2].rfind("{\"event\":\"error\",\"message\":\"Error: ", 0), 0u);
    // Quotes in names are escaped, so every line stays one JSON object.
    EXPECT_NE(lines[3].find("no \\\"such\\\".png"), std::string::npos) << lines[3];
    EXPECT_EQ(lines[4], "{\"event\":\"end\"}");
    EXPECT_EQ(lines[5], "{\"event\":\"done\",\"ok\":true,\"output\":\"" + out +
                            "\",\"failed\":1,\"cancelled\":false}");
    EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST_F(Cli, NeverOverwritesAndCreatesMissingFolders) {
    std::string a = jpeg("a.jpg");
    std::string out = dir.file("new/deeper/out.pdf");
    CliResult first = run("-o " + shellQuote(out) + " " + shellQuote(a));
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.out, out + "\n");
    EXPECT_EQ(first.err, "[1/1] " + a + "\n");
    std::string original = readFile(out);
    CliResult second = run("-o " + shellQuote(out) + " " + shellQuote(a));
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.out, dir.file("new/deeper/out (1).pdf") + "\n");
    EXPECT_EQ(readFile(out), original);
    EXPECT_TRUE(qpdfCheckClean(dir.file("new/deeper/out (1).pdf")));
}

// One document per folder (folders known without regard to case) or per image, beside
// the images or in a folder; a second run takes " (1)" names and leaves the first.
TEST_F(Cli, ModesWriteOneDocumentPerFolderOrPerImage) {
    std::filesystem::create_directories(dir.file("A"));
    std::filesystem::create_directories(dir.file("B"));
    std::filesystem::create_directories(dir.file("a"));
    const std::string x = jpeg("A/x.jpg"), y = jpeg("B/y.jpg"), z = jpeg("a/z.jpg");
    const std::string inputs = shellQuote(x) + " " + shellQuote(y) + " " + shellQuote(z);
    const struct {
        std::string arguments;
        std::vector<std::string> written; // and the pages of each
        std::vector<int> pages;
    } cases[] = {
        {"--mode per-folder -o " + shellQuote(dir.file("out") + "/") + " " + inputs,
         {"out/A.pdf", "out/B.pdf"},
         {2, 1}},
        {"--mode per-folder -o " + shellQuote(dir.file("out")) + " " + inputs,
         {"out/A (1).pdf", "out/B (1).pdf"},
         {2, 1}},
        {"--mode per-image " + inputs, {"A/x.pdf", "B/y.pdf", "a/z.pdf"}, {1, 1, 1}},
        {"--mode per-image -o " + shellQuote(dir.file("one")) + " " + shellQuote(x),
         {"one/x.pdf"},
         {1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        CliResult r = run(c.arguments);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::string expected;
        for (std::size_t i = 0; i < c.written.size(); ++i) {
            expected += dir.file(c.written[i]) + "\n";
            EXPECT_TRUE(qpdfCheckClean(dir.file(c.written[i])));
            EXPECT_EQ(pdfPageSizes(dir.file(c.written[i])).size(), std::size_t(c.pages[i]));
        }
        EXPECT_EQ(r.out, expected);
    }
    CliResult json =
        run("--json --mode per-image -o " + shellQuote(dir.file("one")) + " " + shellQuote(x));
    EXPECT_NE(json.out.find("\"outputs\":[\"" + dir.file("one/x (1).pdf") + "\"]"),
              std::string::npos)
        << json.out;
}

// On a terminal the files go by as one bar redrawn in place; elsewhere (as in the
// other tests) as lines, and -q or --json show none.
TEST_F(Cli, ATerminalShowsAProgressBar) {
    const std::string a = jpeg("a.jpg");
    const std::string inputs = shellQuote(a) + " " + shellQuote(a) + " " + shellQuote(a);
    const auto onTerminal = [&](const std::string& arguments) {
        return runCommand("script -qec " +
                          shellQuote(std::string(FOLIMO_CLI_PATH) + " " + arguments) + " /dev/null")
            .output;
    };
    const std::string shown = onTerminal("-o " + shellQuote(dir.file("bar.pdf")) + " " + inputs);
    EXPECT_NE(shown.find("\r\033[K[################........] 2/3"), std::string::npos) << shown;
    EXPECT_NE(shown.find("3/3  a.jpg\r\n" + dir.file("bar.pdf")), std::string::npos) << shown;
    const std::string quiet = onTerminal("-q -o " + shellQuote(dir.file("q.pdf")) + " " + inputs);
    EXPECT_EQ(quiet.find("\033[K"), std::string::npos) << quiet;
}

// An existing out.pdf meets runs with and without --overwrite: it is replaced only by a
// finished document, keeps its permissions, and no temporary file stays behind.
TEST_F(Cli, OverwriteReplacesOnlyWithAFinishedDocument) {
    std::string a = jpeg("a.jpg", 1600, 1200), many = "--overwrite", json = dir.file("json");
    for (int i = 0; i < 400; ++i) // still converting when the interrupt comes
        many += " " + shellQuote(a);
    std::string ctrlC = " & pid=$!; for i in $(seq 3000); do grep -q '\"done\":1,' " +
                        shellQuote(json) + " && break; sleep 0.01; done; kill -INT $pid; wait $pid";
    struct Case {
        std::string options, then;
        int exitCode;
        std::string written; // empty when out.pdf is to stay as it was
    } cases[] = {{"--overwrite " + shellQuote(a), "", 0, "out.pdf"},
                 {"--overwrite " + shellQuote(dir.file("missing.jpg")), "", 1, ""},
                 {many, ctrlC, 130, ""},
                 {shellQuote(a), "", 0, "out (1).pdf"}};
    for (const auto& c : cases) {
        TempDir target;
        std::string out = target.file("out.pdf");
        makePdf(out, {{100, 100}});
        std::string old = readFile(out);
        ASSERT_EQ(::chmod(out.c_str(), 0640), 0);
        auto r = runCommand("(" + shellQuote(FOLIMO_CLI_PATH) + " --json -o " + shellQuote(out) +
                            " " + c.options + " >" + shellQuote(json) + c.then + ")");
        std::string report = readFile(json) + r.output;
        EXPECT_EQ(r.exitCode, c.exitCode) << report;
        std::string shown = c.written.empty() ? "null" : '"' + target.file(c.written) + '"';
        EXPECT_NE(report.find("\"output\":" + shown + ",\"failed\""), std::string::npos) << report;
        EXPECT_EQ(readFile(out) != old, c.written == "out.pdf") << report;
        std::set<std::string> names{"out.pdf", c.written.empty() ? "out.pdf" : c.written};
        EXPECT_EQ(listDir(target.path()), std::vector<std::string>(names.begin(), names.end()));
        if (!c.written.empty()) {
            EXPECT_TRUE(qpdfCheckClean(target.file(c.written)));
        }
        struct stat st {};
        EXPECT_TRUE(::stat(out.c_str(), &st) == 0 && (st.st_mode & 0777) == 0640) << report;
    }
}

// A signal that comes once the first page is made stops the run after the current page:
// the documents hold the pages made so far, and the status is the one a shell gives a
// process that the signal ended.
TEST_F(Cli, ASignalStopsTheRunWithThePagesMadeAndTheShellsStatus) {
    const int count = 150;
    std::string inputs;
    for (int i = 0; i < count; ++i)
        inputs += " " + shellQuote(jpeg("p" + std::to_string(i) + ".jpg", 1600, 1200));
    const struct {
        std::string options, signal;
        int exitCode;
        std::string firstPage; // the report line that says a page is made
        std::string out;       // where standard output goes
    } cases[] = {{"-o out/all.pdf", "INT", 130, "^\\[1/", "report"},
                 {"--mode per-image -o out", "INT", 130, "^\\[1/", "report"},
                 {"--json -o out/all.pdf", "TERM", 143, "\"done\":1,", "report"},
                 {"-o -", "HUP", 129, "^\\[1/", "out/piped.pdf"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        TempDir run;
        ASSERT_EQ(::mkdir(run.file("out").c_str(), 0700), 0);
        const std::string report = run.file("report");
        auto r = runCommand("cd " + shellQuote(run.path()) + " && (" + shellQuote(FOLIMO_CLI_PATH) +
                            " " + c.options + inputs + " >>" + c.out + " 2>>report & pid=$!; " +
                            "for i in $(seq 3000); do grep -q '" + c.firstPage +
                            "' report && break; sleep 0.01; done; kill -" + c.signal +
                            " $pid; wait $pid)");
        EXPECT_EQ(r.exitCode, c.exitCode) << r.output << readFile(report);
        int pages = 0;
        for (const std::string& name : listDir(run.file("out"))) {
            const std::string pdf = run.file("out/" + name);
            EXPECT_TRUE(qpdfCheckClean(pdf));
            pages += std::atoi(pdfInfoField(pdf, "Pages").c_str());
        }
        EXPECT_GT(pages, 0) << readFile(report);
        EXPECT_LT(pages, count) << readFile(report);
    }
}

// A watermark image that cannot be stamped is a stamp missing from every page: the run
// says so once, in every mode, and exits 3 although each input was converted.
TEST_F(Cli, AnUnusableImageWatermarkIsReportedOnceAndExitsThree) {
    const std::string a = jpeg("a.jpg"), b = jpeg("b.jpg");
    writeFile(dir.file("text.png"), "not a picture");
    ASSERT_EQ(::mkfifo(dir.file("fifo.png").c_str(), 0600), 0);
    const std::string inputs = " " + shellQuote(a) + " " + shellQuote(b);
    const struct {
        const char* stamp;
        std::string mode;
        const char* why;
    } cases[] = {{"missing.png", "-o " + shellQuote(dir.file("one.pdf")), "No such file"},
                 {"text.png", "--mode per-image -o " + shellQuote(dir.file("each")), ""},
                 {"fifo.png", "-q -o " + shellQuote(dir.file("fifo.pdf")), "not a regular file"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stamp);
        CliResult r = run(c.mode + " --image-watermark " + shellQuote(dir.file(c.stamp)) + inputs);
        EXPECT_EQ(r.exitCode, 3) << r.err;
        const std::string said = "Error: the watermark image " + dir.file(c.stamp) +
                                 " cannot be used and is left out: " + c.why;
        const auto at = r.err.find(said);
        EXPECT_NE(at, std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("watermark", at + said.size()), std::string::npos) << r.err;
    }
}

// The engine's own load message reaches a console in English.
TEST_F(Cli, LoadErrorsAreInEnglish) {
    const std::string broken = dir.file("broken.png");
    writeFile(broken, "\x89PNG\r\n\x1a\n truncated");
    for (const char* layout : {"", "--page-size a4 "}) {
        CliResult r = run(std::string(layout) + "-o " + shellQuote(dir.file("out.pdf")) + " " +
                          shellQuote(jpeg("a.jpg")) + " " + shellQuote(broken));
        EXPECT_EQ(r.exitCode, 3) << layout;
        EXPECT_NE(r.err.find("Error: cannot load the picture file " + broken + ": "),
                  std::string::npos)
            << r.err;
        EXPECT_FALSE(std::regex_search(r.err, std::regex("\xe5\x9b\xbe"))) << r.err; // 图
    }
}

TEST_F(Cli, FailedInputsAreReportedAndTheRestConverted) {
    std::string a = jpeg("a.jpg");
    std::string broken = dir.file("broken.png");
    writeFile(broken, "\x89PNG\r\n\x1a\n truncated");
    std::string out = dir.file("out.pdf");
    CliResult r = run("-o " + shellQuote(out) + " " + shellQuote(broken) + " " +
                      shellQuote(dir.file("missing.jpg")) + " " + shellQuote(a));
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("Error: "), std::string::npos);
    EXPECT_NE(r.err.find("broken.png"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("missing.jpg"), std::string::npos) << r.err;
    EXPECT_EQ(pdfPageSizes(out).size(), 1u);
}

// -q says only what went wrong, each cause once, in every mode: no progress, no paths,
// and no second error for a document that got no page because its input failed.
TEST_F(Cli, QuietRunsSayEachErrorOnceAndNothingElse) {
    const std::string a = jpeg("a.jpg");
    const std::string broken = dir.file("broken.png");
    writeFile(broken, "\x89PNG\r\n\x1a\n truncated");
    const std::string inputs = " " + shellQuote(a) + " " + shellQuote(broken);
    const struct {
        std::string arguments;
        int exitCode;
    } cases[] = {{"-q -o " + shellQuote(dir.file("one.pdf")) + inputs, 3},
                 {"--quiet --mode per-image -o " + shellQuote(dir.file("each")) + inputs, 3},
                 {"-q --mode per-folder -o " + shellQuote(dir.file("folders")) + inputs, 3},
                 {"-q -o " + shellQuote(dir.file("none.pdf")) + " " + shellQuote(broken), 1}};
    for (const auto& c : cases) {
        CliResult r = run(c.arguments);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.arguments;
        EXPECT_EQ(r.out, "") << c.arguments;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.arguments << ": " << r.err;
        EXPECT_NE(r.err.find("broken.png"), std::string::npos) << r.err;
    }
}

TEST_F(Cli, UnwritableOutputExitsWithOneAndLeavesNothing) {
    std::string a = jpeg("a.jpg");
    writeFile(dir.file("file"), "x");
    CliResult r = run("-o " + shellQuote(dir.file("file/out.pdf")) + " " + shellQuote(a));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Error: "), std::string::npos);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(listDir(dir.path()), (std::vector<std::string>{"a.jpg", "file"}));
}

TEST_F(Cli, FolderInputsInNaturalOrderWithNonAsciiNames) {
    std::string photos = dir.file("相片");
    ASSERT_EQ(::mkdir(photos.c_str(), 0700), 0);
    // Sizes tell the pages apart: img2 (20 wide) must come before img10 (100 wide).
    JpegParams p;
    p.height = 10;
    for (auto [name, width] : {std::pair{"img10.jpg", 100}, {"img2.jpg", 20}, {"Img3.JPG", 30}}) {
        p.width = width;
        writeFile(photos + "/" + name, makeJpeg(p));
    }
    writeFile(photos + "/notes.txt", "not an image");
    std::string out = dir.file("相册.pdf");
    CliResult r = run("-q -o " + shellQuote(out) + " " + shellQuote(photos));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    auto sizes = pdfPageSizes(out);
    ASSERT_EQ(sizes.size(), 3u);
    EXPECT_EQ(sizes[0].width, 20);
    EXPECT_EQ(sizes[1].width, 30);
    EXPECT_EQ(sizes[2].width, 100);
}

} // namespace
