// The desktop program's start-up without a process: which command lines are the file
// managers' verb and what path they name, what the verb's path adds to the image list,
// and the orderly end on SIGTERM, SIGINT and SIGHUP through the self-pipe.
#include "ImageList.h"
#include "StartupCommand.h"
#include "TerminationSignals.h"
#include "TestApplication.h"
#include "TestSupport.h"

#include <folimo/Owned.h>
#include <folimo/WideText.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using folimo::ParseStartupCommand;
using folimo::SFileListAdapter;
using folimo::StartupCommand;
using folimo::TerminationSignals;

using folimo::test::application;

// --- The command line -----------------------------------------------------------------

struct CommandLineCase {
    const char* what;
    QStringList arguments; // after the program's path
    const char* startFolder;
    bool makePdf;
    const char* path; // with makePdf
};

TEST(StartupCommandLine, OnlyTheVerbsFormStartsAConversion) {
    const char* start = "/home/ana/start here";
    const CommandLineCase cases[] = {
        // The switch, in any ASCII letter case.
        {"the verb's form", {"/makepdf", "/srv/photo.jpg"}, start, true, "/srv/photo.jpg"},
        {"capitals", {"/MAKEPDF", "/srv/photo.jpg"}, start, true, "/srv/photo.jpg"},
        {"mixed case", {"/MakePdf", "/srv/photos"}, start, true, "/srv/photos"},
        {"other mixed case", {"/mAkEpDf", "/srv/photos"}, start, true, "/srv/photos"},
        // Other switches, near misses and other orders: a normal start.
        {"no switch", {"/srv/photo.jpg", "/srv/other.jpg"}, start, false, ""},
        {"without the slash", {"makepdf", "/srv/photo.jpg"}, start, false, ""},
        {"with a dash", {"-makepdf", "/srv/photo.jpg"}, start, false, ""},
        {"with two dashes", {"--makepdf", "/srv/photo.jpg"}, start, false, ""},
        {"longer", {"/makepdfs", "/srv/photo.jpg"}, start, false, ""},
        {"shorter", {"/makepd", "/srv/photo.jpg"}, start, false, ""},
        {"with a space", {"/makepdf ", "/srv/photo.jpg"}, start, false, ""},
        {"with a space inside", {"/make pdf", "/srv/photo.jpg"}, start, false, ""},
        {"Kelvin sign for k",
         {QString::fromUtf8("/ma\u212Apdf"), "/srv/photo.jpg"},
         start,
         false,
         ""},
        {"switch last", {"/srv/photo.jpg", "/makepdf"}, start, false, ""},
        {"empty path", {"/makepdf", ""}, start, false, ""},
        // Other counts.
        {"nothing", {}, start, false, ""},
        {"the switch alone", {"/makepdf"}, start, false, ""},
        {"a path alone", {"/srv/photo.jpg"}, start, false, ""},
        {"two paths", {"/makepdf", "/srv/a.jpg", "/srv/b.jpg"}, start, false, ""},
        {"switch twice", {"/makepdf", "/makepdf", "/srv/a.jpg"}, start, false, ""},
        // Absolute paths stay exactly as given.
        {"absolute with spaces",
         {"/makepdf", "/srv/my photos/img 1.jpg"},
         start,
         true,
         "/srv/my photos/img 1.jpg"},
        {"absolute with dots", {"/makepdf", "/srv/./a/../b.jpg"}, start, true, "/srv/./a/../b.jpg"},
        {"absolute folder with a slash", {"/makepdf", "/srv/photos/"}, start, true, "/srv/photos/"},
        // Relative paths are taken from the start folder.
        {"relative file", {"/makepdf", "photo.jpg"}, start, true, "/home/ana/start here/photo.jpg"},
        {"relative in a folder",
         {"/makepdf", "may/img 1.jpg"},
         start,
         true,
         "/home/ana/start here/may/img 1.jpg"},
        {"dot slash", {"/makepdf", "./photo.jpg"}, start, true, "/home/ana/start here/photo.jpg"},
        {"dot dot slash", {"/makepdf", "../photo.jpg"}, start, true, "/home/ana/photo.jpg"},
        {"dot dot to a folder", {"/makepdf", "../dir"}, start, true, "/home/ana/dir"},
        {"two levels up", {"/makepdf", "../../x/y.png"}, start, true, "/home/x/y.png"},
        {"above the root", {"/makepdf", "../../../../a.jpg"}, start, true, "/a.jpg"},
        {"the start folder", {"/makepdf", "."}, start, true, "/home/ana/start here"},
        {"its parent", {"/makepdf", ".."}, start, true, "/home/ana"},
        {"doubled slashes and dots",
         {"/makepdf", ".//may/./img.jpg"},
         start,
         true,
         "/home/ana/start here/may/img.jpg"},
        {"a folder with a slash", {"/makepdf", "may/"}, start, true, "/home/ana/start here/may"},
        // After a name, ".." may go through a link: it stays.
        {"dot dot after a name",
         {"/makepdf", "may/../img.jpg"},
         start,
         true,
         "/home/ana/start here/may/../img.jpg"},
        {"from the root", {"/makepdf", "a.jpg"}, "/", true, "/a.jpg"},
        {"from a folder with a slash", {"/makepdf", "a.jpg"}, "/srv/", true, "/srv/a.jpg"},
        {"not ASCII",
         {"/makepdf", QString::fromUtf8("照片/图 1.jpg")},
         "/srv",
         true,
         "/srv/照片/图 1.jpg"},
        {"a name starting with a dash", {"/makepdf", "-x.jpg"}, "/srv", true, "/srv/-x.jpg"},
    };
    for (const CommandLineCase& c : cases) {
        SCOPED_TRACE(c.what);
        const QStringList arguments = QStringList{"/opt/folimo/folimo"} + c.arguments;
        const StartupCommand command =
            ParseStartupCommand(arguments, QString::fromUtf8(c.startFolder));
        EXPECT_EQ(command.makePdf, c.makePdf);
        EXPECT_EQ(command.path.toStdString(), c.makePdf ? std::string(c.path) : std::string());
    }
}

// Any other command line opens its paths in the list, as "open with" in a desktop does.
TEST(StartupCommandLine, OtherCommandLinesOpenTheirPaths) {
    const struct {
        QStringList arguments;
        QStringList open;
    } cases[] = {
        {{}, {}},
        {{"/srv/a.jpg", "b c.png", "../d"}, {"/srv/a.jpg", "/home/ana/b c.png", "/home/d"}},
        {{"/makepdf", "/srv/a.jpg", "/srv/b.jpg"}, {"/srv/a.jpg", "/srv/b.jpg"}},
        {{"-platform", "/srv/a.jpg", "--help", ""}, {"/srv/a.jpg"}},
        {{"/makepdf", "/srv/a.jpg"}, {}}, // the verb's form converts instead
    };
    for (const auto& c : cases) {
        const StartupCommand command =
            ParseStartupCommand(QStringList{"/opt/folimo/folimo"} + c.arguments, "/home/ana");
        EXPECT_EQ(command.open, c.open) << c.arguments.join(' ').toStdString();
    }
}

// --- The start-up inputs ----------------------------------------------------------------

struct CountingObserver : folimo::IImageListObserver {
    int changed = 0;
    void OnListChanged() override { ++changed; }
    void OnListInvalidated() override {}
    void OnListItemChanged(int) override {}
};

struct InputsCase {
    const char* what;
    std::string path;              // under the test folder
    std::vector<std::string> rows; // the paths added, under the test folder, in any order
};

TEST(StartupInputs, TheVerbsPathAddsAFileOrAFoldersOwnFiles) {
    folimo::test::TempDir dir;
    const auto make = [&](const std::string& name) {
        std::filesystem::create_directories(std::filesystem::path(dir.file(name)).parent_path());
        folimo::test::writeFile(dir.file(name), "x");
    };
    // Supported by type; the contents are read later, by the conversion.
    for (const char* name : {"photos/a.jpg", "photos/b.PNG", "photos/c d.gif", "photos/notes.txt",
                             "photos/sub/deep.jpg", "photos/sub/deeper/deepest.png",
                             "single/photo.jpg", "single/readme.txt", "with space/x.tif"})
        make(name);
    std::filesystem::create_directories(dir.file("empty"));
    std::filesystem::create_directory_symlink(dir.file("photos"), dir.file("linked"));
    std::filesystem::create_symlink(dir.file("nothing.jpg"), dir.file("dangling.jpg"));

    const InputsCase cases[] = {
        {"a missing file", "nothing.jpg", {}},
        {"a missing folder", "nowhere/", {}},
        {"a missing file in a missing folder", "nowhere/a.jpg", {}},
        {"a dangling link", "dangling.jpg", {}},
        {"a supported file", "single/photo.jpg", {"single/photo.jpg"}},
        {"an unsupported file", "single/readme.txt", {}},
        {"a folder: its own files, not its subfolders'",
         "photos",
         {"photos/a.jpg", "photos/b.PNG", "photos/c d.gif"}},
        {"a folder named with a slash",
         "photos/",
         {"photos/a.jpg", "photos/b.PNG", "photos/c d.gif"}},
        {"a subfolder", "photos/sub", {"photos/sub/deep.jpg"}},
        {"an empty folder", "empty", {}},
        {"a link to a folder", "linked", {"linked/a.jpg", "linked/b.PNG", "linked/c d.gif"}},
        {"a folder with a space", "with space", {"with space/x.tif"}},
    };
    const folimo::Owned<IFolimo> engine = folimo::createObject<IFolimo>(FOLIMO_ENGINE);
    ASSERT_TRUE(engine);
    for (const InputsCase& c : cases) {
        SCOPED_TRACE(c.what);
        SFileListAdapter list(engine.get());
        CountingObserver observer;
        list.RegisterObserver(&observer);
        const QString path = QString::fromStdString(dir.file(c.path));
        const int added = folimo::AddStartupInputs(list, path);
        std::vector<std::string> rows;
        for (int row = 0; row < list.GetCount(); ++row)
            rows.push_back(folimo::toUtf8(list.GetItemPath(row)));
        std::vector<std::string> expected;
        for (const std::string& row : c.rows)
            expected.push_back(dir.file(row));
        std::sort(rows.begin(), rows.end());
        std::sort(expected.begin(), expected.end());
        // A folder named with a slash gives its files without a doubled one.
        EXPECT_EQ(rows, expected);
        EXPECT_EQ(added, int(expected.size()));
        // The list's viewers are told of what came.
        if (!expected.empty()) {
            EXPECT_GE(observer.changed, 1);
        }
        list.UnregisterObserver(&observer);
    }
}

// A folder the verb cannot list adds nothing and says why, where it used to open an empty
// window in silence. Permissions do not bind root's capabilities: then this test runs
// again without any.
TEST(StartupInputs, AFolderThatCannotBeReadIsReported) {
    if (::geteuid() == 0 && !std::getenv("FOLIMO_WITHOUT_CAPABILITIES")) {
        const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        const folimo::test::CommandResult r = folimo::test::runCommand(
            "setpriv --inh-caps=-all --bounding-set=-all env FOLIMO_WITHOUT_CAPABILITIES=1 " +
            folimo::test::shellQuote(self) +
            " --gtest_filter=StartupInputs.AFolderThatCannotBeReadIsReported");
        if (r.output.find("setpriv") != std::string::npos && r.exitCode != 0)
            GTEST_SKIP() << "running as root and cannot give up its privileges: " << r.output;
        EXPECT_EQ(r.exitCode, 0) << r.output;
        EXPECT_NE(r.output.find("[  PASSED  ] 1 test"), std::string::npos) << r.output;
        return;
    }
    folimo::test::TempDir dir;
    std::filesystem::create_directories(dir.file("closed"));
    folimo::test::writeFile(dir.file("closed/a.jpg"), "x");
    folimo::test::writeFile(dir.file("open.jpg"), "x");
    ::chmod(dir.file("closed").c_str(), 0);
    const folimo::Owned<IFolimo> engine = folimo::createObject<IFolimo>(FOLIMO_ENGINE);
    ASSERT_TRUE(engine);
    const struct {
        std::string path;
        int added;
        bool reported;
    } cases[] = {{"closed", 0, true}, {"open.jpg", 1, false}, {"absent", 0, false}};
    for (const auto& c : cases) {
        SFileListAdapter list(engine.get());
        QString problem;
        const QString path = QString::fromStdString(dir.file(c.path));
        EXPECT_EQ(folimo::AddStartupInputs(list, path, &problem), c.added) << c.path;
        EXPECT_EQ(!problem.isEmpty(), c.reported) << c.path;
        if (c.reported) {
            EXPECT_TRUE(problem.startsWith(QStringLiteral("无法读取文件夹“") + path + u'”'))
                << problem.toStdString();
        }
    }
    ::chmod(dir.file("closed").c_str(), 0755);
}

// --- Signals ------------------------------------------------------------------------------

// Runs the event loop until `done` or `limitMs` have passed.
template <class Done>
bool processEventsUntil(Done done, int limitMs = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < limitMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// Whoever started the tests may have left a signal ignored (a shell's background job
// ignores SIGINT); the tests want each signal's default.
void defaultSignalHandling() {
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP})
        ::signal(signalNumber, SIG_DFL);
}

TEST(TerminationSignals, EachSignalReachesTheEventLoopOnceAndTheHandlersAreRestored) {
    application();
    defaultSignalHandling();
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        struct sigaction before {};
        ASSERT_EQ(::sigaction(signalNumber, nullptr, &before), 0);
        std::vector<int> received;
        {
            TerminationSignals watcher([&](int number) { received.push_back(number); });
            ASSERT_TRUE(watcher.IsActive());
            // One at a time: a second one leaves the first in charge.
            std::vector<int> second;
            const TerminationSignals other([&](int number) { second.push_back(number); });
            EXPECT_FALSE(other.IsActive());
            ASSERT_EQ(::raise(signalNumber), 0);
            // Not in the handler: only when the event loop runs.
            EXPECT_TRUE(received.empty());
            EXPECT_TRUE(processEventsUntil([&] { return !received.empty(); }));
            EXPECT_EQ(received, std::vector<int>{signalNumber});
            EXPECT_TRUE(second.empty());
        }
        struct sigaction after {};
        ASSERT_EQ(::sigaction(signalNumber, nullptr, &after), 0);
        EXPECT_EQ(after.sa_handler, before.sa_handler);
    }
}

TEST(TerminationSignals, ASignalStartedIgnoredStaysIgnored) {
    application();
    defaultSignalHandling();
    ::signal(SIGHUP, SIG_IGN); // as nohup starts a program
    std::vector<int> received;
    {
        TerminationSignals watcher([&](int number) { received.push_back(number); });
        struct sigaction now {};
        ASSERT_EQ(::sigaction(SIGHUP, nullptr, &now), 0);
        EXPECT_EQ(now.sa_handler, SIG_IGN);
        ASSERT_EQ(::sigaction(SIGTERM, nullptr, &now), 0);
        EXPECT_NE(now.sa_handler, SIG_DFL);
        ASSERT_EQ(::raise(SIGHUP), 0);
        processEventsUntil([&] { return !received.empty(); }, 200);
        EXPECT_TRUE(received.empty());
    }
    defaultSignalHandling();
}

TEST(TerminationSignals, ASignalOnAnotherThreadReachesTheOwnersThread) {
    application();
    defaultSignalHandling();
    std::vector<std::thread::id> calledOn;
    TerminationSignals watcher([&](int) { calledOn.push_back(std::this_thread::get_id()); });
    std::thread worker([] { ::pthread_kill(::pthread_self(), SIGTERM); });
    worker.join();
    EXPECT_TRUE(processEventsUntil([&] { return !calledOn.empty(); }));
    EXPECT_EQ(calledOn, std::vector<std::thread::id>{std::this_thread::get_id()});
}

TEST(TerminationSignalsDeathTest, ASecondSignalEndsTheProcessAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            application();
            defaultSignalHandling();
            int calls = 0;
            TerminationSignals watcher([&](int) { ++calls; });
            ::raise(SIGTERM); // waits for the event loop, which never runs here
            ::raise(SIGHUP);  // ends the process as SIGHUP does
            std::_Exit(0);
        },
        ::testing::KilledBySignal(SIGHUP), "");
}

} // namespace
