// The update check without windows: the server's reply read against the own version,
// the version block of the built program, where a downloaded installer lands, and the
// HTTP exchange against servers on this machine that answer, refuse or keep silent.
#include "TestApplication.h"
#include "TestSupport.h"

#include <HttpPost.h>
#include <OutputNames.h>
#include <SettingsStore.h>
#include <UpdateDownload.h>
#include <UpdateQuery.h>
#include <VersionInfo.h>
#include <folimo/WideText.h>

#include "LocalHttpServer.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>

using namespace folimo;
using namespace std::chrono_literals;

namespace {

// With settings of its own, so the tests never touch the user's.
QCoreApplication& application() {
    static test::TempDir config;
    ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    return test::application();
}

// Serves on this thread, as a program's window thread would, until `done`.
void serveUntil(const std::function<bool()>& done) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start(5);
    loop.exec();
}

std::string b64(const std::string& text) {
    return QByteArray::fromStdString(text).toBase64().toStdString();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

} // namespace

TEST(UpdateReply, IsReadAgainstTheOwnVersion) {
    const std::string page = "UpdateURL:" + b64("http://example.test/news");
    const std::string setup = "UpdateFileURL:" + b64("http://example.test/setup.exe");
    const std::string v110 = "NewVersion:" + b64("1.10.0.0");
    struct Case {
        const char* what;
        std::string reply;
        std::wstring own;
        const wchar_t* offered; // null: no update
    } cases[] = {
        {"numbers, not text, compare", v110 + "\r\n" + page + "\r\n" + setup, L"1.9.0.0",
         L"1.10.0.0"},
        {"blanks around the colon", " \tNewVersion \t:\t " + b64("2.0") + " \t\r\n" + page, L"1.9",
         L"2.0"},
        {"a line without colon is skipped", "hello\r\n\r\n" + v110, L"1.9", L"1.10.0.0"},
        {"a later key wins", "NewVersion:" + b64("1.0") + "\r\n" + v110, L"1.9", L"1.10.0.0"},
        {"letters without case", "NewVersion:" + b64("1.0B"), L"1.0b", nullptr},
        {"an equal version", v110 + "\r\n" + setup, L"1.10.0.0", nullptr},
        {"an older version", v110, L"1.11", nullptr},
        {"an empty reply", "", L"1.0", nullptr},
        {"no key at all", "hello\r\nworld", L"1.0", nullptr},
        {"no version", page + "\r\n" + setup, L"1.0", nullptr},
        {"an empty version", "NewVersion: \r\n" + page, L"1.0", nullptr},
        {"a version that is no Base64", "NewVersion:1.10.0.0", L"1.0", nullptr},
        {"an unreadable own version is older", v110, L"", L"1.10.0.0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto offer = NewerVersionIn(c.reply, c.own);
        ASSERT_EQ(offer.has_value(), c.offered != nullptr);
        if (!offer)
            continue;
        EXPECT_EQ(offer->newVersion, c.offered);
        EXPECT_EQ(offer->updatePage, c.reply.find("UpdateURL") != std::string::npos
                                         ? L"http://example.test/news"
                                         : L"");
        EXPECT_EQ(offer->installerAddress, c.reply.find("UpdateFileURL") != std::string::npos
                                               ? L"http://example.test/setup.exe"
                                               : L"");
    }
}

// Whatever a server sends, the answer is "no update" or a plain offer: no crash, no hang.
TEST(UpdateReply, HostileRepliesAreNoUpdate) {
    std::string binary(4096, '\0');
    for (std::size_t i = 0; i < binary.size(); ++i)
        binary[i] = char(i * 37);
    const std::string huge = std::string(3 << 20, 'A') + ":" + std::string(1 << 20, '=');
    std::string manyKeys;
    for (int i = 0; i < 100000; ++i)
        manyKeys += "K" + std::to_string(i) + ":" + b64("x") + "\r\n";
    for (const std::string& reply :
         {binary, huge, manyKeys, std::string("NewVersion:\xff\xfe\x00\x01", 16),
          std::string("NewVersion:") + b64("\xff\xfe not utf-8"), std::string(":::\r\n:"),
          std::string("NewVersion:====\r\nUpdateFileURL:@@@@")}) {
        const auto offer = NewerVersionIn(reply, L"99.0");
        EXPECT_FALSE(offer.has_value());
    }
}

TEST(Installer, ComesOnlyOverHttpsFromTheUpdateHosts) {
    const std::vector<std::string> hosts{"downloads.example.com", "[::1]"};
    const struct {
        const wchar_t* address;
        bool allowed;
    } cases[] = {
        {L"https://downloads.example.com/setup.exe", true},
        {L"HTTPS://Downloads.Example.com:8443/setup.exe", true},
        {L"https://[::1]/setup.exe", true},
        {L"http://downloads.example.com/setup.exe", false},
        {L"http://127.0.0.1:8080/setup.exe", false},
        {L"http://localhost/setup.exe", false},
        {L"https://other.example.com/setup.exe", false},
        {L"https://downloads.example.com.evil.test/setup.exe", false},
        {L"https://evil.test/downloads.example.com/setup.exe", false},
        {L"https://downloads.example.com@evil.test/setup.exe", false},
        {L"https://user@downloads.example.com/setup.exe", false},
        {L"ftp://downloads.example.com/setup.exe", false},
        {L"file:///tmp/setup.exe", false},
        {L"//downloads.example.com/setup.exe", false},
        {L"", false},
        {L"setup.exe", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(InstallerAddressAllowed(c.address, hosts), c.allowed)
            << QString::fromStdWString(c.address).toStdString();
    EXPECT_FALSE(InstallerAddressAllowed(L"https://downloads.example.com/setup.exe", {}));
}

TEST(UpdateReply, ValuesAreBase64OfUtf8) {
    const struct {
        std::string value;
        std::wstring text;
    } cases[] = {
        {"MS4xMC4wLjA=", L"1.10.0.0"},
        {"MS4x\r\nMC4w\nLjA=", L"1.10.0.0"}, // line breaks inside are skipped
        {"QQ==QUJD", L"A"},                  // "=" ends the value
        {b64("更新.exe"), L"更新.exe"},
        {"QU JD", L""}, // no Base64
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecodeReplyValue(c.value), c.text) << c.value;
}

TEST(UpdateCheck, StartsWhileTodayRanksBelowTheStoredDate) {
    const struct {
        const wchar_t* today;
        const wchar_t* stored;
        bool check;
    } cases[] = {
        {L"2024/05/01", L"2024/12/31", true},
        {L"2024/9/01", L"2024/10/01", true}, // numbers, not text
        {L"2024/05/01", L"2024/05/01", false},
        {L"2025/01/01", L"2024/12/31", false},
        {L"2024/05/01", L"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ShouldCheckAtStartup(c.today, c.stored), c.check) << c.today << " " << c.stored;
    const std::wstring today = TodayForUpdateCheck();
    ASSERT_EQ(today.size(), 10u);
    EXPECT_EQ(today[4], L'/');
    EXPECT_EQ(today[7], L'/');
}

TEST(UpdateCheck, ServerAddresses) {
    const std::pair<const wchar_t*, const char*> cases[] = {
        {L"www.example.test", "www.example.test:80"},
        {L"127.0.0.1:8080", "127.0.0.1:8080"},
        {L" [::1]:81 ", "::1:81"},
        {L":80", ""},
        {L"host:0", ""},
        {L"host:65536", ""},
        {L"host:8o", ""}};
    for (const auto& [text, expected] : cases) {
        const auto server = ParseServerAddress(text);
        EXPECT_EQ(server ? server->host + ":" + std::to_string(server->port) : "", expected);
    }
}

TEST(VersionBlock, IsReadFromTheProgramFile) {
    FileVersionInfo info;
    ASSERT_TRUE(ReadVersionInfo(fromUtf8(FOLIMO_PROGRAM_PATH), info));
    EXPECT_EQ(ComparableVersion(info.fileVersion), fromUtf8(FOLIMO_COMPARABLE_VERSION));
    EXPECT_EQ(info.productVersion, info.fileVersion);
    EXPECT_EQ(info.companyName, L"Velmar");
    EXPECT_EQ(info.productName, L"VelmarFolimo");
    EXPECT_EQ(info.legalCopyright, L"Copyright © Velmar. All rights reserved.");
    EXPECT_EQ(info.originalFilename, L"folimo");
    EXPECT_EQ(info.comments, L"");
    EXPECT_EQ(ComparableVersionOf(fromUtf8(FOLIMO_PROGRAM_PATH)),
              ComparableVersion(info.fileVersion));
    EXPECT_EQ(ComparableVersion(L"1, 2, 0, 3"), L"1.2.0.3");
    EXPECT_EQ(ComparableVersion(L" 2,0 ,1, 5"), L"2.0.1.5");
}

TEST(VersionBlock, FilesWithoutOneReadAsFailure) {
    test::TempDir dir;
    const std::string program = readFile(FOLIMO_PROGRAM_PATH);
    writeFile(dir.file("text"), "just text");
    writeFile(dir.file("empty"), "");
    writeFile(dir.file("cut"), program.substr(0, 4096));
    // Blocks put into a copy of this test program, which has none of its own.
    auto withBlock = [&](const std::string& name, const std::string& block) {
        writeFile(dir.file(name + ".block"), block);
        const auto made = test::runCommand(
            "objcopy --add-section .folimo_version=" + test::shellQuote(dir.file(name + ".block")) +
            " " + test::shellQuote("/proc/self/exe") + " " + test::shellQuote(dir.file(name)));
        EXPECT_EQ(made.exitCode, 0) << made.output;
        return fromUtf8(dir.file(name));
    };
    using namespace std::string_literals;
    const std::string prefix = "\\StringFileInfo\\040904B0\\";
    const std::string translation = "\\VarFileInfo\\Translation\0"s + "040904B0\0"s;
    const std::wstring partial =
        withBlock("partial", "FolimoVersion/1\0"s + translation + prefix + "FileVersion\0"s +
                                 "3, 1, 0, 0\0"s + "\\StringFileInfo\\080404B0\\Comments\0"s +
                                 "other language\0\0"s);

    FileVersionInfo info;
    ASSERT_TRUE(ReadVersionInfo(partial, info));
    EXPECT_EQ(info.fileVersion, L"3, 1, 0, 0");
    EXPECT_EQ(info.comments, L""); // under another language
    EXPECT_EQ(info.companyName, L"");

    const std::wstring refused[] = {
        fromUtf8("/proc/self/exe"),
        fromUtf8(dir.file("text")),
        fromUtf8(dir.file("empty")),
        fromUtf8(dir.file("cut")),
        fromUtf8(dir.file("absent")),
        fromUtf8(dir.path()),
        withBlock("no-language", "FolimoVersion/1\0"s + prefix + "FileVersion\0"s + "1\0\0"s),
        withBlock("other-format",
                  "Version/9\0"s + translation + prefix + "FileVersion\0"s + "1\0\0"s),
    };
    for (const auto& path : refused) {
        info.fileVersion = L"left over";
        EXPECT_FALSE(ReadVersionInfo(path, info)) << toUtf8(path);
        EXPECT_EQ(info.fileVersion, L"");
        EXPECT_EQ(ComparableVersionOf(path), L"");
    }
}

TEST(Installer, LandsUnderAFreeNameInsideItsFolder) {
    test::TempDir dir;
    writeFile(dir.file("setup.exe"), "old");
    writeFile(dir.file("setup (1).exe"), "older");
    writeFile(dir.file("setup"), "no dot");
    const struct {
        std::wstring address;
        const char* lands; // in the folder
    } cases[] = {
        {L"http://h.test/dl/setup.exe", "setup (2).exe"},
        {L"http://h.test/dl/setup.exe?from=mail", "setup (3).exe"},
        {L"http://h.test/setup", "setup (1)"},
        {L"http://h.test/dl/new%20setup.exe", "new setup.exe"},
        {L"http://h.test/a/..%2F..%2Fescape.exe", "escape.exe"},
        {L"http://h.test/a/%2E%2E", "installer (1)"},
        {L"http://h.test/dl/", "installer (2)"},
        {L"http://h.test/a%00b.exe", "installer (3)"},
    };
    writeFile(dir.file("installer"), "taken");
    int n = 0;
    for (const auto& c : cases) {
        const std::string unfinished = dir.file("ns" + std::to_string(n));
        writeFile(unfinished, "payload " + std::to_string(n++));
        const std::wstring landed = MoveToFreeName(fromUtf8(unfinished), fromUtf8(dir.path()),
                                                   DownloadedFileName(c.address));
        EXPECT_EQ(landed, fromUtf8(dir.file(c.lands))) << toUtf8(c.address);
        EXPECT_EQ(readFile(dir.file(c.lands)), "payload " + std::to_string(n - 1));
        EXPECT_FALSE(pathExists(fromUtf8(unfinished)));
    }
    EXPECT_EQ(readFile(dir.file("setup.exe")), "old");
    EXPECT_EQ(readFile(dir.file("setup (1).exe")), "older");
    EXPECT_EQ(MoveToFreeName(fromUtf8(dir.file("absent")), fromUtf8(dir.path()), L"x.exe"), L"");
}

TEST(HttpPost, ReplyOrNothing) {
    application();
    LocalHttpServer server;
    server.answers["/answers"] = LocalHttpServer::ok("answer");
    server.answers["/fails"] = LocalHttpServer::ok("", 500);
    server.answers["/silent"] = LocalHttpServer::silent();
    quint16 refused = 0;
    {
        LocalHttpServer closed;
        refused = closed.serverPort();
    }
    std::atomic<bool> stopped{false};
    server.answers["/empty"] = LocalHttpServer::ok("");
    const struct {
        const char* path;
        quint16 port;
        std::chrono::milliseconds timeout;
        const std::atomic<bool>* stop;
        std::optional<std::string> reply; // nothing: no server answered
    } cases[] = {
        {"/answers", server.serverPort(), 15s, nullptr, "answer"},
        {"/empty", server.serverPort(), 15s, nullptr, ""},             // an answer, if an empty one
        {"/missing", server.serverPort(), 15s, nullptr, std::nullopt}, // 404
        {"/fails", server.serverPort(), 15s, nullptr, std::nullopt},
        {"/answers", refused, 15s, nullptr, std::nullopt},
        {"/silent", server.serverPort(), 300ms, nullptr, std::nullopt}, // its timeout ends it
        {"/silent", server.serverPort(), 15s, &stopped, std::nullopt},  // stopped after 200 ms
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + std::to_string(c.port));
        std::optional<std::optional<std::string>> reply;
        std::mutex lock;
        auto post = std::make_unique<CHttpPost>();
        post->host = "127.0.0.1";
        post->port = c.port;
        post->objectPath = c.path;
        post->body = "tip=Folimos.exe&ver=1.0";
        post->timeout = c.timeout;
        post->stop = c.stop;
        post->completion = [&](const std::optional<std::string>& text) {
            std::lock_guard guard(lock);
            reply = text;
        };
        const auto started = std::chrono::steady_clock::now();
        std::thread worker(&CHttpPost::Send, std::move(post));
        if (c.stop)
            QTimer::singleShot(200, [&] { stopped = true; });
        serveUntil([&] {
            std::lock_guard guard(lock);
            return reply.has_value();
        });
        worker.join();
        stopped = false;
        EXPECT_EQ(*reply, c.reply);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    }
    const QByteArray request = server.requests.value(0);
    EXPECT_TRUE(request.startsWith("POST /answers HTTP/1.1\r\n"));
    EXPECT_TRUE(request.contains("\r\nContent-Type: application/x-www-form-urlencoded\r\n"));
    EXPECT_TRUE(request.endsWith("\r\n\r\ntip=Folimos.exe&ver=1.0"));
}

TEST(UpdateQuery, TellsTheCallerOnItsThreadAndStopsCleanly) {
    application();
    LocalHttpServer server;
    server.answers["/record/ini.php"] = LocalHttpServer::ok(QByteArray::fromStdString(
        "NewVersion:" + b64("99.0") + "\r\nUpdateURL:" + b64("http://p.test/")));
    std::mutex lock;
    std::optional<std::pair<std::optional<UpdateInfo>, std::optional<std::string>>> answer;
    UpdateQueryOptions options;
    options.server = server.address();
    options.programPath = fromUtf8(FOLIMO_PROGRAM_PATH);
    options.answerDelay = 300ms;
    const auto started = std::chrono::steady_clock::now();
    StartUpdateQuery(options,
                     [&](const UpdateInfo* newer, const std::optional<std::string>& reply) {
                         std::lock_guard guard(lock);
                         answer.emplace(newer ? std::optional(*newer) : std::nullopt, reply);
                     });
    serveUntil([&] {
        std::lock_guard guard(lock);
        return answer.has_value();
    });
    EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms); // the answer waits
    ASSERT_TRUE(answer->first);
    EXPECT_EQ(answer->first->newVersion, L"99.0");
    EXPECT_EQ(answer->first->updatePage, L"http://p.test/");
    ASSERT_TRUE(answer->second);
    EXPECT_EQ(answer->second->find("NewVersion:"), 0u);
    EXPECT_TRUE(server.requests.value(0).endsWith(
        "\r\n\r\ntip=Folimos.exe&ver=" FOLIMO_COMPARABLE_VERSION));

    // Stopping ends queries that wait for a server or for their answer's time, and they
    // tell nothing.
    std::atomic<int> told{0};
    server.answers["/record/ini.php"].delayMs = -1;
    options.timeout = 60s;
    StartUpdateQuery(options,
                     [&](const UpdateInfo*, const std::optional<std::string>&) { ++told; });
    server.answers["/record/ini.php"].delayMs = 0;
    options.answerDelay = 60s;
    StartUpdateQuery(options,
                     [&](const UpdateInfo*, const std::optional<std::string>&) { ++told; });
    serveUntil([&] { return server.requests.size() == 3; });
    EXPECT_EQ(RunningUpdateQueries(), 2);
    const auto stopping = std::chrono::steady_clock::now();
    StopUpdateQueries();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 2s);
    EXPECT_EQ(RunningUpdateQueries(), 0);
    EXPECT_EQ(told, 0);
}

// A program whose main() returns while its query waits for the server.
[[noreturn]] void endDuringAQuery() {
    int argc = 1;
    char name[] = "ending";
    char* argv[] = {name, nullptr};
    auto* app = new QCoreApplication(argc, argv);
    LocalHttpServer server; // nobody serves: the connection waits in its queue
    UpdateQueryOptions options;
    options.server = server.address();
    StartUpdateQuery(options,
                     [](const UpdateInfo*, const std::optional<std::string>&) { std::abort(); });
    std::this_thread::sleep_for(200ms);
    delete app;
    std::exit(RunningUpdateQueries() == 0 ? 0 : 3);
}

TEST(UpdateQuery, AProgramThatEndsDuringAQueryExitsCleanly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // What is asked of such a program is to end, at once and with its own status. On a
    // busy machine Qt may leave a few bytes of the query's thread to the end of the
    // process, which the leak checker would report; the child, which reads this setting
    // when it starts again, runs without it.
    const char* before = std::getenv("ASAN_OPTIONS");
    const std::string saved = before ? before : "";
    ::setenv("ASAN_OPTIONS", (saved.empty() ? "" : saved + ":").append("detect_leaks=0").c_str(),
             1);
    EXPECT_EXIT(endDuringAQuery(), ::testing::ExitedWithCode(0), "");
    if (before)
        ::setenv("ASAN_OPTIONS", saved.c_str(), 1);
    else
        ::unsetenv("ASAN_OPTIONS");
}

// No answer is not "no update": the caller learns that no server answered.
TEST(UpdateQuery, SaysWhetherAServerAnswered) {
    application();
    LocalHttpServer server;
    quint16 refused = 0;
    {
        LocalHttpServer closed;
        refused = closed.serverPort();
    }
    const struct {
        const char* what;
        quint16 port;
        LocalHttpServer::Answer answer;
        std::optional<std::string> reply;
    } cases[] = {
        {"nobody listens", refused, LocalHttpServer::ok("x"), std::nullopt},
        {"a server error", server.serverPort(), LocalHttpServer::ok("x", 500), std::nullopt},
        {"an answer without a version", server.serverPort(), LocalHttpServer::ok("hello"), "hello"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        server.answers["/record/ini.php"] = c.answer;
        UpdateQueryOptions options;
        options.server = L"127.0.0.1:" + std::to_wstring(c.port);
        options.programPath = fromUtf8(FOLIMO_PROGRAM_PATH);
        options.answerDelay = 0ms;
        std::mutex lock;
        std::optional<std::optional<std::string>> reply;
        StartUpdateQuery(options,
                         [&](const UpdateInfo* newer, const std::optional<std::string>& text) {
                             EXPECT_EQ(newer, nullptr);
                             std::lock_guard guard(lock);
                             reply = text;
                         });
        serveUntil([&] {
            std::lock_guard guard(lock);
            return reply.has_value();
        });
        EXPECT_EQ(*reply, c.reply);
    }
    StopUpdateQueries(); // their threads end with the test, not after it
}

namespace {

// The user's temporary folder, where installers land, for the life of a test.
class TemporaryFolder {
public:
    TemporaryFolder() : saved_(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "") {
        ::setenv("TMPDIR", dir_.path().c_str(), 1);
    }
    ~TemporaryFolder() {
        if (saved_.empty())
            ::unsetenv("TMPDIR");
        else
            ::setenv("TMPDIR", saved_.c_str(), 1);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    TemporaryFolder(TemporaryFolder&&) = delete;
    TemporaryFolder& operator=(TemporaryFolder&&) = delete;

    const test::TempDir& dir() const { return dir_; }
    // Every name in it, hidden ones too.
    QStringList names() const {
        return QDir(QString::fromStdString(dir_.path()))
            .entryList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot |
                       QDir::System);
    }

private:
    test::TempDir dir_;
    std::string saved_;
};

// DownloadInstaller on a thread of its own while this one serves; `during` runs on this
// thread with the sink while the download goes on.
DownloadResult download(const std::wstring& address, const std::vector<std::string>& hosts,
                        const std::function<void(CDownloadProcess&)>& during = {}) {
    CDownloadProcess sink;
    std::atomic<bool> done{false};
    DownloadResult result;
    std::thread worker([&] {
        result = DownloadInstaller(address, hosts, sink);
        done = true;
    });
    if (during)
        during(sink);
    serveUntil([&] { return done.load(); });
    worker.join();
    return result;
}

} // namespace

// An installer comes over https from the update server's own host, following redirects
// only there; every other address is refused before anything is connected, and nothing
// is left in the folder.
TEST(Installer, DownloadsOnlyOverHttpsFromTheUpdateHost) {
    application();
    LocalHttpServer::trustTls();
    LocalHttpServer tls(LocalHttpServer::Tls::On);
    LocalHttpServer plain;
    const QByteArray bytes(200000, 'i');
    const std::string https = tls.base().toStdString();
    const std::string http = plain.base().toStdString();
    const std::string otherHost = "https://localhost:" + std::to_string(tls.serverPort());
    tls.answers["/files/setup.exe"] = LocalHttpServer::ok(bytes);
    tls.answers["/get/latest"] = LocalHttpServer::redirect("/files/setup.exe");
    tls.answers["/to-http"] = LocalHttpServer::redirect(QByteArray::fromStdString(http) + "/s.exe");
    tls.answers["/to-other-host"] =
        LocalHttpServer::redirect(QByteArray::fromStdString(otherHost) + "/files/setup.exe");
    plain.answers["/s.exe"] = LocalHttpServer::ok(bytes);
    const std::vector<std::string> hosts{"127.0.0.1"};
    const struct {
        const char* what;
        std::string address;
        int tlsRequests;   // that reached the https server
        const char* lands; // null: the download fails
    } cases[] = {
        {"plain http from the update host", http + "/s.exe", 0, nullptr},
        {"https from another host", otherHost + "/files/setup.exe", 0, nullptr},
        {"https with a user name",
         "https://u:p@127.0.0.1:" + std::to_string(tls.serverPort()) + "/files/setup.exe", 0,
         nullptr},
        {"a file on this machine", "file:///etc/passwd", 0, nullptr},
        {"ftp", "ftp://127.0.0.1/setup.exe", 0, nullptr},
        {"a redirect to plain http", https + "/to-http", 1, nullptr},
        {"a redirect to another host", https + "/to-other-host", 1, nullptr},
        {"not found", https + "/files/gone.exe", 1, nullptr},
        {"allowed, through a redirect on the host", https + "/get/latest", 2, "setup.exe"},
        {"allowed again: a free name", https + "/files/setup.exe", 1, "setup (1).exe"},
    };
    TemporaryFolder temp;
    QStringList kept;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        tls.requests.clear();
        tls.connections = 0;
        const DownloadResult result = download(fromUtf8(c.address), hosts);
        EXPECT_EQ(result.ok, c.lands != nullptr);
        EXPECT_EQ(plain.connections, 0);
        EXPECT_EQ(tls.requests.size(), c.tlsRequests);
        if (c.tlsRequests == 0) {
            EXPECT_EQ(tls.connections, 0);
        }
        if (c.lands) {
            kept << c.lands;
            EXPECT_EQ(result.path, fromUtf8(temp.dir().file(c.lands)));
            EXPECT_EQ(readFile(temp.dir().file(c.lands)), bytes.toStdString());
        } else {
            EXPECT_EQ(result.path, L"");
        }
        kept.sort();
        EXPECT_EQ(temp.names(), kept); // nothing else, not even a hidden unfinished file
    }
}

// A stopped or failed download leaves nothing, and an existing file stays as it was.
TEST(Installer, AStoppedOrFailedDownloadLeavesNothing) {
    application();
    LocalHttpServer::trustTls();
    LocalHttpServer tls(LocalHttpServer::Tls::On);
    tls.answers["/slow.exe"] = LocalHttpServer::trickling();
    tls.answers["/broken.exe"] = LocalHttpServer::ok("", 500);
    TemporaryFolder temp;
    writeFile(temp.dir().file("slow.exe"), "mine");
    const std::vector<std::string> hosts{"127.0.0.1"};
    const std::string https = tls.base().toStdString();

    const DownloadResult stopped =
        download(fromUtf8(https + "/slow.exe"), hosts, [](CDownloadProcess& sink) {
            serveUntil([&] { return sink.Permille() > 0; }); // some data has come
            sink.Abort();
        });
    EXPECT_FALSE(stopped.ok);
    EXPECT_EQ(download(fromUtf8(https + "/broken.exe"), hosts).ok, false);
    EXPECT_EQ(temp.names(), QStringList{"slow.exe"});
    EXPECT_EQ(readFile(temp.dir().file("slow.exe")), "mine");
}

TEST(Installer, HostsAreTheUpdateServersAndTheStoredOnes) {
    application();
    ASSERT_EQ(SetUpdateDownloadHosts(L""), 1);
    EXPECT_EQ(InstallerHosts(L"updates.example.com:8080"),
              std::vector<std::string>{"updates.example.com"});
    ASSERT_EQ(SetUpdateDownloadHosts(L" cdn.example.com; [::1]  mirror.example.com;"), 1);
    EXPECT_EQ(InstallerHosts(L"[::1]:81"),
              (std::vector<std::string>{"::1", "cdn.example.com", "[::1]", "mirror.example.com"}));
    EXPECT_TRUE(InstallerAddressAllowed(L"https://mirror.example.com/setup.exe",
                                        InstallerHosts(L"updates.example.com")));
    EXPECT_FALSE(InstallerAddressAllowed(L"https://other.example.com/setup.exe",
                                         InstallerHosts(L"updates.example.com")));
}
