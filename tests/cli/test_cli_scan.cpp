// folimo-cli scanning as a user runs it, through SANE's test driver (the devices test:0
// and test:1 of a dll.conf of the test's own): a batch becomes one document of its
// pages, and a scan that fails says why and makes nothing.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

using namespace folimo::test;

// The test driver's default area, 80 x 100 mm, in points: the size of an image page
// whatever the resolution, since the scans carry theirs. Its whole area is 200 x 200.
// The engine's pages are whole points, cut down: a page is within a point below these.
constexpr double kAreaWidth = 80 / 25.4 * 72;
constexpr double kAreaHeight = 100 / 25.4 * 72;
constexpr double kWholeArea = 200 / 25.4 * 72;

class CliScan : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir(dir.file("sane").c_str(), 0700), 0);
        ASSERT_EQ(::mkdir(dir.file("tmp").c_str(), 0700), 0);
        writeFile(dir.file("sane/dll.conf"), "test\n");
    }
    // The scans' temporary folders go to tmp/, where the tests see what is left.
    std::string environment(const std::string& sane = "sane") const {
        return "SANE_CONFIG_DIR=" + shellQuote(dir.file(sane)) +
               " TMPDIR=" + shellQuote(dir.file("tmp"));
    }
    CliResult run(const std::string& arguments) { return runCli(dir, arguments, environment()); }
    std::string out() const { return dir.file("out.pdf"); }
    // The images of a document as pdfimages lists them: one row of words each.
    std::vector<std::vector<std::string>> images(const std::string& pdf) const {
        std::istringstream lines(runCommand("pdfimages -list " + shellQuote(pdf)).output);
        std::vector<std::vector<std::string>> rows;
        std::string line;
        for (int header = 0; header < 2 && std::getline(lines, line); ++header) {
        }
        while (std::getline(lines, line)) {
            std::istringstream words(line);
            std::vector<std::string> row;
            for (std::string word; words >> word;)
                row.push_back(word);
            rows.push_back(row);
        }
        return rows;
    }
    TempDir dir;
};

TEST_F(CliScan, AFeederBatchBecomesOneDocumentOfItsPagesInOrder) {
    CliResult r = run("--scan test:0 --source adf --scan-area 80,100 -o " + shellQuote(out()));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, out() + "\n");
    EXPECT_TRUE(qpdfCheckClean(out()));
    const std::vector<PageSize> pages = pdfPageSizes(out());
    ASSERT_EQ(pages.size(), 10u) << r.err;
    for (const PageSize& page : pages) {
        EXPECT_NEAR(page.width, kAreaWidth - 0.5, 0.5);
        EXPECT_NEAR(page.height, kAreaHeight - 0.5, 0.5);
    }
    // Each page is told as it is scanned, then converted as an input.
    std::size_t at = 0;
    for (int page = 1; page <= 10; ++page) {
        at = r.err.find("[scan " + std::to_string(page) + "] " + dir.file("tmp/"), at);
        ASSERT_NE(at, std::string::npos) << page << ": " << r.err;
    }
    EXPECT_NE(r.err.find("[10/10] "), std::string::npos) << r.err;
    // The private folder of the scans goes with them.
    EXPECT_TRUE(listDir(dir.file("tmp")).empty());
}

TEST_F(CliScan, TheModeResolutionAndAreaReachTheImages) {
    const struct {
        std::string options;
        const char* colour; // pdfimages' "color" and "enc" columns
        const char* encoding;
        int width; // pixels
        double pageWidth, pageHeight;
    } cases[] = {
        {"--scan-area 80,100", "rgb", nullptr, 945, kAreaWidth, kAreaHeight},
        {"--scan-area 80x100 --scan-mode gray --resolution 150", "gray", nullptr, 472, kAreaWidth,
         kAreaHeight},
        {"--scan-area 80,100 --scan-mode lineart", "gray", "ccitt", 945, kAreaWidth, kAreaHeight},
        {"--scan-mode gray --resolution 100", "gray", nullptr, 787, kWholeArea, kWholeArea},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        std::remove(out().c_str());
        CliResult r = run("--scan test:1 " + c.options + " -o " + shellQuote(out()));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(qpdfCheckClean(out()));
        const auto pages = pdfPageSizes(out());
        ASSERT_EQ(pages.size(), 1u); // a flatbed scans one page
        EXPECT_NEAR(pages[0].width, c.pageWidth - 0.5, 0.5);
        EXPECT_NEAR(pages[0].height, c.pageHeight - 0.5, 0.5);
        const auto rows = images(out());
        ASSERT_EQ(rows.size(), 1u);
        ASSERT_GE(rows[0].size(), 9u);
        EXPECT_NEAR(std::stoi(rows[0][3]), c.width, 1);
        EXPECT_EQ(rows[0][5], c.colour);
        if (c.encoding) {
            EXPECT_EQ(rows[0][8], c.encoding);
        }
    }
}

TEST_F(CliScan, KeptScansStayAndAreNeverReplaced) {
    const std::string kept = dir.file("kept scans");
    for (std::size_t files : {10u, 20u}) {
        CliResult r = run("--scan test:0 --source adf --scan-mode gray --resolution 50 "
                          "--keep-scans " +
                          shellQuote(kept) + " -o " + shellQuote(out()));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(listDir(kept).size(), files);
    }
    // The second run's document holds its own ten pages, not the first run's again.
    EXPECT_EQ(pdfPageSizes(dir.file("out (1).pdf")).size(), 10u);
    EXPECT_TRUE(listDir(dir.file("tmp")).empty());
}

TEST_F(CliScan, ScannersAreListedOneALine) {
    CliResult r = run("--list-scanners");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("test:0\tNoname\tfrontend-tester\tvirtual device\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\ntest:1\t"), std::string::npos) << r.out;
    CliResult json = run("--list-scanners --json");
    EXPECT_EQ(json.exitCode, 0);
    EXPECT_NE(json.out.find(R"({"event":"scanner","name":"test:0","vendor":"Noname",)"),
              std::string::npos)
        << json.out;
    // No backend, no scanner: an answer, not a failure.
    ASSERT_EQ(::mkdir(dir.file("none").c_str(), 0700), 0);
    writeFile(dir.file("none/dll.conf"), "");
    CliResult none = runCli(dir, "--list-scanners", environment("none"));
    EXPECT_EQ(none.exitCode, 0);
    EXPECT_EQ(none.out, "");
    EXPECT_NE(none.err.find("no scanners found"), std::string::npos) << none.err;
}

// Each failure in words, with the error status, and without a document.
TEST_F(CliScan, AFailedScanSaysWhyAndMakesNoDocument) {
    const struct {
        std::string options;
        const char* says;
    } cases[] = {
        {"--scan test:9", "there is no scanner test:9"},
        {"--scan test:0 --scan-option read-return-value=SANE_STATUS_JAMMED", "jammed"},
        {"--scan test:0 --scan-option read-return-value=SANE_STATUS_COVER_OPEN", "cover"},
        {"--scan test:0 --scan-option read-return-value=SANE_STATUS_DEVICE_BUSY", "is busy"},
        {"--scan test:0 --scan-option read-return-value=SANE_STATUS_ACCESS_DENIED",
         "no permission"},
        {"--scan test:0 --scan-option read-return-value=SANE_STATUS_IO_ERROR", "stopped answering"},
        {"--scan test:0 --source adf --scan-option read-return-value=SANE_STATUS_NO_DOCS",
         "feeder of the scanner test:0 is empty"},
    };
    for (const auto& c : cases) {
        // The test driver reads a page on a thread of its own, which an error read while
        // it still writes gets cancelled at any instruction: now and then it dies holding
        // a lock of the C library, and SANE's own scanimage then hangs at its end as well.
        // A page this small is written whole before the error is read; the time limit
        // turns a hang that remains into a failure that says so.
        CliResult r = runCli(dir,
                             c.options + " --scan-area 10,10 --resolution 50 --scan-mode gray -o " +
                                 shellQuote(out()),
                             environment() + " timeout -s KILL 120");
        EXPECT_EQ(r.exitCode, 1) << c.options;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.options << ": " << r.err;
        EXPECT_NE(r.err.find("no PDF is made"), std::string::npos) << c.options << ": " << r.err;
        EXPECT_FALSE(fileExists(out())) << c.options;
        EXPECT_TRUE(listDir(dir.file("tmp")).empty()) << c.options;
    }
}

TEST_F(CliScan, JsonTellsEachPageScannedOrSkipped) {
    CliResult r = run("--json --scan test:0 --source adf --scan-mode gray --resolution 50 -o " +
                      shellQuote(out()));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::istringstream lines(r.out);
    std::vector<std::string> events;
    for (std::string line; std::getline(lines, line);)
        events.push_back(line);
    ASSERT_GE(events.size(), 10u);
    for (int page = 1; page <= 10; ++page)
        EXPECT_EQ(events[std::size_t(page - 1)].rfind(R"({"event":"scanned","page":)" +
                                                          std::to_string(page) + R"(,"path":")" +
                                                          dir.file("tmp/"),
                                                      0),
                  0u)
            << events[std::size_t(page - 1)];
    EXPECT_EQ(events[10].rfind(R"({"event":"begin",)", 0), 0u) << events[10];
    EXPECT_EQ(events.back().rfind(R"({"event":"done","ok":true,)", 0), 0u) << events.back();

    // White pages are blank: left out, and with none left there is nothing to make.
    CliResult blank =
        run("--json --scan test:0 --source adf --scan-mode gray --resolution 50 --skip-blank "
            "--scan-option 'test-picture=Solid white' -o " +
            shellQuote(out()));
    EXPECT_EQ(blank.exitCode, 1);
    EXPECT_EQ(blank.out.rfind(R"({"event":"skipped","page":1,"ink":0})", 0), 0u) << blank.out;
    EXPECT_NE(blank.out.find(R"({"event":"skipped","page":10,)"), std::string::npos);
    EXPECT_NE(blank.out.find("every page scanned was blank"), std::string::npos);
    EXPECT_NE(blank.out.find(R"({"event":"done","ok":false,)"), std::string::npos);
}

// Ctrl+C during a batch ends it; the pages scanned before are converted whole, and the
// status is the shell's for the signal. Before the first page there is nothing to make.
TEST_F(CliScan, ASignalEndsTheBatchAndThePagesScannedAreConverted) {
    const struct {
        std::string options;
        std::string ready; // a shell condition: the moment for the signal
        std::size_t fewest, most;
    } cases[] = {
        {"--resolution 100 --scan-option read-delay-duration=20000",
         "grep -q '^\\[scan 2\\]' report", 2, 9},
        // Seconds a page: the signal comes during the first.
        {"--resolution 300 --scan-area 100,100 --scan-option read-delay-duration=100000",
         "[ -n \"$(ls tmp)\" ]", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        const std::string report = dir.file("report");
        std::remove(report.c_str());
        auto r = runCommand("cd " + shellQuote(dir.path()) + " && (" + environment() + " " +
                            shellQuote(FOLIMO_CLI_PATH) +
                            " --scan test:0 --source adf --scan-mode gray --scan-option "
                            "read-delay=yes " +
                            c.options + " -o out.pdf 2>>report & pid=$!; " +
                            "for i in $(seq 3000); do " + c.ready +
                            " && break; sleep 0.01; done; kill -INT $pid; wait $pid)");
        EXPECT_EQ(r.exitCode, 130) << readFile(report);
        if (c.most == 0) {
            EXPECT_FALSE(fileExists(out()));
            EXPECT_NE(readFile(report).find("stopped before a page was scanned; no PDF"),
                      std::string::npos)
                << readFile(report);
        } else {
            EXPECT_TRUE(qpdfCheckClean(out()));
            const auto pages = pdfPageSizes(out()).size();
            EXPECT_GE(pages, c.fewest) << readFile(report);
            EXPECT_LE(pages, c.most) << readFile(report);
            EXPECT_NE(readFile(report).find("stopped; the PDF holds the pages"), std::string::npos)
                << readFile(report);
            std::remove(out().c_str());
        }
        EXPECT_TRUE(listDir(dir.file("tmp")).empty());
    }
}

} // namespace
