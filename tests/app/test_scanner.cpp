// The scanner service against SANE's test driver, end to end: the files a batch leaves,
// read back by tools of their own (ImageMagick, libtiff's tiffinfo, poppler).
#include "Scanner.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

using namespace folimo::scan;
using folimo::test::TempDir;

namespace {

// A SANE configuration holding the test driver alone. The driver stays loaded after
// sane_exit, so that the sanitizer can name it in a leak of its own.
struct TestDriver {
    TempDir config;
    TestDriver() {
        folimo::test::writeFile(config.file("dll.conf"), "test\n");
        static void* const kept =
            ::dlopen(FOLIMO_SANE_DRIVERS "/libsane-test.so.1", RTLD_NOW | RTLD_NODELETE);
        EXPECT_NE(kept, nullptr) << ::dlerror();
    }
};

// Records a batch as lines ("started 1", "scanned 1 NAME", "skipped 1 0",
// "ended None stopped=0 MESSAGE") and lets the test wait for its end.
class Recorder : public ScanListener {
public:
    void pageStarted(int number) override {
        add("started " + std::to_string(number));
        std::lock_guard<std::mutex> lock(mutex_);
        started_ = number;
        changed_.notify_all();
    }
    void pageProgress(int number, int permille) override {
        std::lock_guard<std::mutex> lock(mutex_);
        EXPECT_GE(permille, lastPermille_[number]);
        EXPECT_LE(permille, 1000);
        lastPermille_[number] = permille;
    }
    void pageScanned(const Page& page) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            pages.push_back(page);
        }
        add("scanned " + std::to_string(page.number) + " " +
            page.path.substr(page.path.rfind('/') + 1));
    }
    void pageSkipped(int number, int ink) override {
        add("skipped " + std::to_string(number) + " " + std::to_string(ink));
    }
    void batchEnded(Failure failure, bool stopped, const std::string&) override {
        add("ended " + name(failure) + (stopped ? " stopped" : ""));
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }

    static std::string name(Failure f) {
        static const char* const names[] = {
            "None",      "NoDevice",     "Busy",        "CoverOpen",   "Jammed", "FeederEmpty",
            "Unplugged", "AccessDenied", "OutOfMemory", "Unsupported", "Other"};
        return names[static_cast<int>(f)];
    }

    std::vector<std::string> waitForEnd() {
        std::unique_lock<std::mutex> lock(mutex_);
        EXPECT_TRUE(changed_.wait_for(lock, std::chrono::seconds(120), [this] { return ended_; }));
        return events_;
    }
    void waitForPage(int number) {
        std::unique_lock<std::mutex> lock(mutex_);
        EXPECT_TRUE(changed_.wait_for(lock, std::chrono::seconds(60),
                                      [&] { return started_ >= number || ended_; }));
    }
    std::vector<Page> pages;
    int finalPermille(int number) {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastPermille_[number];
    }

private:
    void add(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
    std::map<int, int> lastPermille_;
    int started_ = 0;
    bool ended_ = false;
};

Choices choose(Source source, Colour colour, int dpi, double w, double h,
               std::vector<std::pair<std::string, std::string>> options = {}) {
    Choices c;
    c.source = source;
    c.colour = colour;
    c.resolution = dpi;
    c.widthMm = w;
    c.heightMm = h;
    c.deviceOptions = std::move(options);
    return c;
}

std::vector<std::string> scanInto(const TestDriver& driver, const std::string& device,
                                  const Choices& choices, const std::string& folder,
                                  Recorder& recorder) {
    ScannerService service(driver.config.path());
    service.scan(device, choices, folder, "scan", &recorder);
    return recorder.waitForEnd();
}

// "dpi width height format" as ImageMagick reads the file.
std::string readBack(const std::string& path) {
    auto r = folimo::test::runCommand("identify -units PixelsPerInch -format '%x %w %h %m' " +
                                      folimo::test::shellQuote(path));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    // PNG keeps pixels per metre, which comes back as 150.01 dpi.
    const std::size_t space = r.output.find(' ');
    return std::to_string(std::lround(std::stod(r.output.substr(0, space)))) +
           r.output.substr(space);
}

int pixelsFor(double mm, int dpi) {
    return static_cast<int>(mm * dpi / 25.4);
}

} // namespace

TEST(Scanner, ListsTheTestDevicesAndWhatTheyOffer) {
    TestDriver driver;
    ScannerService service(driver.config.path());
    std::mutex mutex;
    std::condition_variable done;
    std::vector<Device> devices;
    Capabilities caps;
    int answers = 0;
    service.listDevices([&](std::vector<Device> list, Failure f) {
        EXPECT_EQ(f, Failure::None);
        std::lock_guard<std::mutex> lock(mutex);
        devices = std::move(list);
        ++answers;
        done.notify_all();
    });
    service.capabilities("test:0", [&](Capabilities c, Failure f, std::string message) {
        EXPECT_EQ(f, Failure::None) << message;
        std::lock_guard<std::mutex> lock(mutex);
        caps = std::move(c);
        ++answers;
        done.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(60), [&] { return answers == 2; }));
    std::vector<std::string> names;
    for (const Device& d : devices)
        names.push_back(d.name);
    EXPECT_EQ(names, (std::vector<std::string>{"test:0", "test:1"}));
    EXPECT_EQ(caps.sources, (std::vector<Source>{Source::Flatbed, Source::Feeder}));
    // No lineart mode: black and white is grey at depth 1.
    EXPECT_EQ(caps.colours,
              (std::vector<Colour>{Colour::Colour, Colour::Grey, Colour::BlackAndWhite}));
    EXPECT_EQ(caps.resolutions, (std::vector<int>{75, 100, 150, 200, 300, 400, 600, 1200}));
    EXPECT_DOUBLE_EQ(caps.maxWidthMm, 200);
    EXPECT_DOUBLE_EQ(caps.maxHeightMm, 200);
}

TEST(Scanner, SavesAFlatbedPageInTheFormatOfItsColourAndSize) {
    struct Case {
        Colour colour;
        int dpi;
        double w, h;
        std::vector<std::pair<std::string, std::string>> options;
        const char* file;
        const char* magick; // identify's %m
    };
    const Case cases[] = {
        {Colour::Colour, 100, 50, 60, {{"test-picture", "Color pattern"}}, "scan-001.png", "PNG"},
        {Colour::Grey, 150, 80, 100, {}, "scan-001.png", "PNG"},
        // 5.6 megapixels: past the lossless threshold.
        {Colour::Colour,
         300,
         200,
         200,
         {{"test-picture", "Color pattern"}},
         "scan-001.jpg",
         "JPEG"},
        {Colour::Grey, 300, 200, 200, {}, "scan-001.jpg", "JPEG"},
        {Colour::BlackAndWhite, 200, 80, 100, {{"test-picture", "Grid"}}, "scan-001.tif", "TIFF"},
        // 16 bits a sample come out as 8.
        {Colour::Grey, 75, 40, 40, {{"depth", "16"}}, "scan-001.png", "PNG"},
    };
    TestDriver driver;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " at " + std::to_string(c.dpi));
        TempDir out;
        Recorder recorder;
        auto events = scanInto(driver, "test:0",
                               choose(Source::Flatbed, c.colour, c.dpi, c.w, c.h, c.options),
                               out.path() + "/new", recorder);
        EXPECT_EQ(events, (std::vector<std::string>{"started 1", std::string("scanned 1 ") + c.file,
                                                    "ended None"}));
        EXPECT_EQ(recorder.finalPermille(1), 1000);
        const std::string path = out.path() + "/new/" + c.file;
        EXPECT_EQ(folimo::test::listDir(out.path() + "/new"), std::vector<std::string>{c.file});
        ASSERT_EQ(recorder.pages.size(), 1u);
        EXPECT_EQ(recorder.pages[0].path, path);
        EXPECT_EQ(recorder.pages[0].colour, c.colour);
        EXPECT_EQ(recorder.pages[0].resolution, c.dpi);
        const std::string expected = std::to_string(c.dpi) + " " +
                                     std::to_string(pixelsFor(c.w, c.dpi)) + " " +
                                     std::to_string(pixelsFor(c.h, c.dpi)) + " " + c.magick;
        EXPECT_EQ(readBack(path), expected);
        EXPECT_EQ(recorder.pages[0].width, pixelsFor(c.w, c.dpi));
        EXPECT_EQ(recorder.pages[0].height, pixelsFor(c.h, c.dpi));
    }
}

TEST(Scanner, BlackAndWhiteIsG4AndStaysCcittInThePdf) {
    TestDriver driver;
    TempDir out;
    Recorder recorder;
    scanInto(
        driver, "test:0",
        choose(Source::Flatbed, Colour::BlackAndWhite, 300, 100, 120, {{"test-picture", "Grid"}}),
        out.path(), recorder);
    const std::string tiff = out.file("scan-001.tif");
    auto info = folimo::test::runCommand("tiffinfo " + folimo::test::shellQuote(tiff));
    EXPECT_NE(info.output.find("CCITT Group 4"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("min-is-white"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("Resolution: 300, 300 pixels/inch"), std::string::npos)
        << info.output;
    // The grid's black lines stay black: a mix of ink, neither page-wide.
    const std::string mean = folimo::test::identify("%[fx:mean]", tiff);
    EXPECT_GT(std::stod(mean), 0.5);
    EXPECT_LT(std::stod(mean), 0.99);

    const std::string pdf = out.file("scan.pdf");
    auto run = folimo::test::runCommand(folimo::test::shellQuote(FOLIMO_CLI_PATH) + " -o " +
                                        folimo::test::shellQuote(pdf) + " " +
                                        folimo::test::shellQuote(tiff));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(folimo::test::qpdfCheckClean(pdf));
    auto images = folimo::test::runCommand("pdfimages -list " + folimo::test::shellQuote(pdf));
    EXPECT_NE(images.output.find("ccitt"), std::string::npos) << images.output;
}

TEST(Scanner, FeederBatchSavesEveryPageInOrderUntilItIsEmpty) {
    TestDriver driver;
    TempDir out;
    // A page of an earlier batch stays, and the new pages follow it.
    folimo::test::writeFile(out.file("scan-004.png"), "earlier");
    Recorder recorder;
    auto events =
        scanInto(driver, "test:0",
                 choose(Source::Feeder, Colour::Grey, 75, 30, 40, {{"test-picture", "Grid"}}),
                 out.path(), recorder);
    std::vector<std::string> expected;
    std::vector<std::string> files{"scan-004.png"};
    for (int n = 1; n <= 10; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "scan-%03d.png", n + 4);
        expected.push_back("started " + std::to_string(n));
        expected.push_back("scanned " + std::to_string(n) + " " + name);
        files.push_back(name);
    }
    expected.push_back("ended None");
    EXPECT_EQ(events, expected);
    EXPECT_EQ(folimo::test::listDir(out.path()), files);
    EXPECT_EQ(folimo::test::readFile(out.file("scan-004.png")), "earlier");
}

TEST(Scanner, StopKeepsTheSavedPagesAndLeavesNoHalfPage) {
    TestDriver driver;
    TempDir out;
    Recorder recorder;
    ScannerService service(driver.config.path());
    // Slow reads: a page takes about 0.8 s, so the stop lands inside page 3.
    service.scan("test:0",
                 choose(Source::Feeder, Colour::Grey, 300, 60, 60,
                        {{"read-delay", "yes"}, {"read-delay-duration", "100000"}}),
                 out.path(), "scan", &recorder);
    recorder.waitForPage(3);
    service.stop();
    auto events = recorder.waitForEnd();
    ASSERT_GE(events.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 5),
              (std::vector<std::string>{"started 1", "scanned 1 scan-001.png", "started 2",
                                        "scanned 2 scan-002.png", "started 3"}));
    EXPECT_EQ(events.back(), "ended None stopped");
    EXPECT_EQ(folimo::test::listDir(out.path()),
              (std::vector<std::string>{"scan-001.png", "scan-002.png"}));

    // The stop ended that batch only: the next one scans.
    Recorder next;
    service.scan("test:0", choose(Source::Flatbed, Colour::Grey, 75, 20, 20), out.path(), "scan",
                 &next);
    EXPECT_EQ(next.waitForEnd().back(), "ended None");
    EXPECT_TRUE(folimo::test::fileExists(out.file("scan-003.png")));
}

TEST(Scanner, DeviceTroubleEndsTheBatchWithItsReasonAndNoFile) {
    struct Case {
        const char* device;
        Source source;
        std::vector<std::pair<std::string, std::string>> options;
        Failure failure;
    };
    const Case cases[] = {
        {"test:0", Source::Flatbed, {{"read-return-value", "SANE_STATUS_JAMMED"}}, Failure::Jammed},
        {"test:0",
         Source::Flatbed,
         {{"read-return-value", "SANE_STATUS_COVER_OPEN"}},
         Failure::CoverOpen},
        {"test:0",
         Source::Feeder,
         {{"read-return-value", "SANE_STATUS_NO_DOCS"}},
         Failure::FeederEmpty},
        {"test:0",
         Source::Flatbed,
         {{"read-return-value", "SANE_STATUS_IO_ERROR"}},
         Failure::Unplugged},
        {"test:0",
         Source::Flatbed,
         {{"read-return-value", "SANE_STATUS_DEVICE_BUSY"}},
         Failure::Busy},
        {"test:0",
         Source::Flatbed,
         {{"read-return-value", "SANE_STATUS_ACCESS_DENIED"}},
         Failure::AccessDenied},
        {"test:0",
         Source::Flatbed,
         {{"read-return-value", "SANE_STATUS_NO_MEM"}},
         Failure::OutOfMemory},
        {"test:0", Source::Flatbed, {{"no-such-option", "1"}}, Failure::Unsupported},
        {"test:0", Source::Flatbed, {{"test-picture", "Mona Lisa"}}, Failure::Unsupported},
        {"test:0", Source::Duplex, {}, Failure::Unsupported},
        {"test:9", Source::Flatbed, {}, Failure::NoDevice},
    };
    TestDriver driver;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.empty() ? std::string(c.device) : c.options[0].second);
        TempDir out;
        Recorder recorder;
        auto events =
            scanInto(driver, c.device, choose(c.source, Colour::Grey, 75, 20, 20, c.options),
                     out.path(), recorder);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back(), "ended " + Recorder::name(c.failure));
        EXPECT_TRUE(folimo::test::listDir(out.path()).empty());
    }

    ScannerService service(driver.config.path());
    std::mutex mutex;
    std::condition_variable done;
    Failure failure = Failure::None;
    bool answered = false;
    service.capabilities("test:9", [&](Capabilities, Failure f, std::string) {
        std::lock_guard<std::mutex> lock(mutex);
        failure = f;
        answered = true;
        done.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(60), [&] { return answered; }));
    EXPECT_EQ(failure, Failure::NoDevice);
}

TEST(Scanner, BlankPagesAreSkippedWhenAsked) {
    struct Case {
        const char* picture;
        Colour colour;
        bool skipBlank;
        const char* second; // the event after "started 1"
    };
    const Case cases[] = {
        {"Solid white", Colour::Grey, true, "skipped 1 0"},
        {"Solid white", Colour::BlackAndWhite, true, "skipped 1 0"},
        {"Solid white", Colour::Colour, true, "skipped 1 0"},
        {"Solid black", Colour::Grey, true, "scanned 1 scan-001.png"},
        {"Solid black", Colour::BlackAndWhite, true, "scanned 1 scan-001.tif"},
        {"Solid white", Colour::Grey, false, "scanned 1 scan-001.png"},
    };
    TestDriver driver;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.picture) + " " + c.second);
        TempDir out;
        Recorder recorder;
        Choices choices =
            choose(Source::Flatbed, c.colour, 75, 40, 40, {{"test-picture", c.picture}});
        choices.skipBlank = c.skipBlank;
        auto events = scanInto(driver, "test:0", choices, out.path(), recorder);
        EXPECT_EQ(events, (std::vector<std::string>{"started 1", c.second, "ended None"}));
        EXPECT_EQ(folimo::test::listDir(out.path()).size(),
                  c.skipBlank && c.picture[6] == 'w' ? 0u : 1u);
    }
}

TEST(Scanner, HandScannerOfUnknownHeightStillGivesAPage) {
    TestDriver driver;
    TempDir out;
    Recorder recorder;
    auto events =
        scanInto(driver, "test:0",
                 choose(Source::Flatbed, Colour::Colour, 75, 0, 0, {{"hand-scanner", "yes"}}),
                 out.path(), recorder);
    EXPECT_EQ(events,
              (std::vector<std::string>{"started 1", "scanned 1 scan-001.png", "ended None"}));
    ASSERT_EQ(recorder.pages.size(), 1u);
    // The hand scanner's fixed width of 11 cm.
    EXPECT_EQ(recorder.pages[0].width, pixelsFor(110, 75));
    EXPECT_GT(recorder.pages[0].height, 0);
    EXPECT_EQ(folimo::test::identify("%w %h", out.file("scan-001.png")),
              std::to_string(recorder.pages[0].width) + " " +
                  std::to_string(recorder.pages[0].height));
}

TEST(Scanner, FormatAndDefaultFolder) {
    EXPECT_EQ(ScannedPageFormat(Colour::BlackAndWhite, 5000, 7000), "tiff");
    EXPECT_EQ(ScannedPageFormat(Colour::Colour, 1000, 2000), "png");
    EXPECT_EQ(ScannedPageFormat(Colour::Grey, 1240, 1754), "jpeg"); // A4 at 150 dpi
    EXPECT_EQ(ScannedPageFormat(Colour::Colour, 2480, 3508), "jpeg");
    const std::string folder = DefaultScanFolder();
    const std::string day = folder.substr(folder.rfind('/') + 1);
    EXPECT_NE(folder.find("/Scans/"), std::string::npos) << folder;
    ASSERT_EQ(day.size(), 10u) << folder;
    EXPECT_EQ(day[4], '-');
    EXPECT_EQ(day[7], '-');
}

TEST(Scanner, ColourPagesHoldThePixelsScanimageReads) {
    TestDriver driver;
    // Options as this test gives them to scanimage too: its own reading is the oracle.
    const std::vector<std::vector<std::pair<std::string, std::string>>> cases = {
        {},
        {{"three-pass", "yes"}},
        {{"three-pass", "yes"}, {"three-pass-order", "BGR"}},
        {{"depth", "16"}},
    };
    for (const auto& extra : cases) {
        std::string flags;
        for (const auto& [name, value] : extra)
            flags += " --" + name + "=" + value;
        SCOPED_TRACE(flags);
        TempDir out;
        Recorder recorder;
        auto options = extra;
        options.insert(options.begin(), {"test-picture", "Color pattern"});
        auto events =
            scanInto(driver, "test:0", choose(Source::Flatbed, Colour::Colour, 75, 60, 50, options),
                     out.path(), recorder);
        EXPECT_EQ(events,
                  (std::vector<std::string>{"started 1", "scanned 1 scan-001.png", "ended None"}));
        EXPECT_EQ(recorder.finalPermille(1), 1000);
        const std::string reference = out.file("reference.pnm");
        auto scanned = folimo::test::runCommand(
            "SANE_CONFIG_DIR=" + folimo::test::shellQuote(driver.config.path()) +
            " scanimage -d test:0 --mode Color --depth 8 --test-picture 'Color pattern'"
            " --resolution 75 -x 60 -y 50" +
            flags + " --format pnm -o " + folimo::test::shellQuote(reference));
        ASSERT_EQ(scanned.exitCode, 0) << scanned.output;
        // 16 bits come down to 8 by their high byte, ImageMagick rounds: one level apart.
        auto differing = folimo::test::runCommand(
            "compare -metric AE -fuzz 1% " + folimo::test::shellQuote(out.file("scan-001.png")) +
            " " + folimo::test::shellQuote(reference) + " null: 2>&1");
        EXPECT_EQ(differing.output, "0") << differing.output;
    }
}

TEST(Scanner, ClosingTheServiceStopsItsBatches) {
    TestDriver driver;
    TempDir out;
    Recorder reading, waiting;
    {
        ScannerService service(driver.config.path());
        service.scan("test:0",
                     choose(Source::Feeder, Colour::Grey, 300, 60, 60,
                            {{"read-delay", "yes"}, {"read-delay-duration", "100000"}}),
                     out.path(), "scan", &reading);
        service.scan("test:0", choose(Source::Flatbed, Colour::Grey, 75, 20, 20), out.path(),
                     "other", &waiting);
        reading.waitForPage(1);
    }
    EXPECT_EQ(reading.waitForEnd(), (std::vector<std::string>{"started 1", "ended None stopped"}));
    // The batch asked for behind it is answered too, so its window does not wait.
    EXPECT_EQ(waiting.waitForEnd(), (std::vector<std::string>{"ended None stopped"}));
    EXPECT_TRUE(folimo::test::listDir(out.path()).empty());
}
