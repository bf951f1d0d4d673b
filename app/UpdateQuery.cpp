#include "UpdateQuery.h"

#include "HttpPost.h"
#include "NaturalOrder.h"
#include "SettingsStore.h"
#include "VersionInfo.h"

#include <folimo/WideText.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringDecoder>
#include <QtDebug>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace folimo {

namespace {

constexpr std::string_view kBlanks = "\f\v\r\t\n ";

std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::wstring replyText(const std::map<std::string, std::string>& values, const char* key) {
    const auto found = values.find(key);
    return found == values.end() ? std::wstring() : DecodeReplyValue(found->second);
}

// One query's thread and what stops it.
struct Query {
    std::atomic<bool> stop{false};
    std::mutex lock; // for `wake`
    std::condition_variable wake;
    std::thread thread;
    bool done = false; // under the registry's lock
};

// Never destroyed: a thread left behind at exit may still report to it.
struct Registry {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::shared_ptr<Query>> queries;
    bool hooked = false; // StopUpdateQueries is among the application's post routines
};

Registry& registry() {
    static auto* instance = new Registry;
    return *instance;
}

// Joins the threads that have ended.
void reapLocked(Registry& r) {
    std::erase_if(r.queries, [](const std::shared_ptr<Query>& q) {
        if (!q->done)
            return false;
        q->thread.join();
        return true;
    });
}

void stopAtExit() {
    {
        std::lock_guard guard(registry().lock);
        registry().hooked = false;
    }
    StopUpdateQueries();
}

void runQuery(const std::shared_ptr<Query>& query, const UpdateQueryOptions& options,
              UpdateQueryResult result) {
    {
        const std::wstring own = ComparableVersionOf(options.programPath);
        auto post = std::make_unique<CHttpPost>();
        if (const auto server = ParseServerAddress(options.server)) {
            post->host = server->host;
            post->port = server->port;
        } // without a host the request fails, and the query answers "no update"
        post->objectPath = "/record/ini.php";
        post->verb = "POST";
        post->body = "tip=Folimos.exe&ver=" + toUtf8(own);
        post->timeout = options.timeout;
        post->stop = &query->stop;
        post->completion = [&](const std::optional<std::string>& reply) {
            {
                std::unique_lock lock(query->lock);
                query->wake.wait_for(lock, options.answerDelay, [&] { return query->stop.load(); });
            }
            if (query->stop)
                return;
            const std::optional<UpdateInfo> newer =
                reply ? NewerVersionIn(*reply, own) : std::nullopt;
            result(newer ? &*newer : nullptr, reply);
        };
        CHttpPost::Send(std::move(post));
        // What the caller handed over goes here, before anyone may think the thread done.
        result = nullptr;
    }
    Registry& r = registry();
    {
        std::lock_guard guard(r.lock);
        query->done = true;
    }
    r.changed.notify_all();
}

} // namespace

std::map<std::string, std::string> ParseUpdateReply(std::string_view reply) {
    std::map<std::string, std::string> values;
    std::size_t at = 0;
    while (at <= reply.size()) {
        std::size_t end = reply.find("\r\n", at);
        if (end == std::string_view::npos)
            end = reply.size();
        const std::string_view line = reply.substr(at, end - at);
        at = end + 2;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        values[std::string(trimmed(line.substr(0, colon)))] = trimmed(line.substr(colon + 1));
    }
    return values;
}

std::wstring DecodeReplyValue(std::string_view base64) {
    QByteArray value;
    for (char c : base64.substr(0, base64.find('='))) // "=" ends the value
        if (c != '\r' && c != '\n')
            value += c;
    const auto decoded = QByteArray::fromBase64Encoding(
        value, QByteArray::AbortOnBase64DecodingErrors | QByteArray::OmitTrailingEquals);
    if (!decoded)
        return {};
    const QByteArray& bytes = decoded.decoded;
    // A value that is no text (not UTF-8, or with control characters) is no version or
    // address at all, rather than one made of replacement characters.
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(bytes);
    if (utf8.hasError())
        return {};
    for (QChar c : text)
        if (c.category() == QChar::Other_Control)
            return {};
    return text.toStdWString();
}

int NaturalCompare(const std::wstring& a, const std::wstring& b) {
    return NaturalOrder().compare(QString::fromStdWString(a), QString::fromStdWString(b));
}

std::optional<UpdateInfo> NewerVersionIn(std::string_view reply, const std::wstring& ownVersion) {
    if (reply.empty())
        return std::nullopt;
    const auto values = ParseUpdateReply(reply);
    const auto newVersion = values.find("NewVersion");
    if (newVersion == values.end() || newVersion->second.empty())
        return std::nullopt;
    UpdateInfo info;
    info.newVersion = DecodeReplyValue(newVersion->second);
    if (NaturalCompare(ownVersion, info.newVersion) >= 0)
        return std::nullopt;
    info.updatePage = replyText(values, "UpdateURL");
    info.installerAddress = replyText(values, "UpdateFileURL");
    return info;
}

std::vector<std::string> InstallerHosts(const std::wstring& server) {
    std::vector<std::string> hosts;
    if (const auto address = ParseServerAddress(server))
        hosts.push_back(address->host);
    for (const std::wstring& host : GetUpdateDownloadHosts())
        hosts.push_back(toUtf8(host));
    return hosts;
}

std::optional<ServerAddress> ParseServerAddress(const std::wstring& address) {
    const std::string text(trimmed(toUtf8(address)));
    ServerAddress server;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos)
            return std::nullopt;
        server.host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':')
                return std::nullopt;
            port = text.substr(close + 2);
        }
    } else {
        const std::size_t colon = text.find(':');
        server.host = text.substr(0, colon);
        if (colon != std::string::npos)
            port = text.substr(colon + 1);
    }
    if (server.host.empty())
        return std::nullopt;
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        const int number = std::stoi(port);
        if (number < 1 || number > 65535)
            return std::nullopt;
        server.port = std::uint16_t(number);
    }
    return server;
}

bool ShouldCheckAtStartup(const std::wstring& today, const std::wstring& stored) {
    return !stored.empty() && NaturalCompare(today, stored) < 0;
}

std::wstring TodayForUpdateCheck() {
    const QDate today = QDateTime::currentDateTimeUtc().date();
    return QString::asprintf("%04d/%02d/%02d", today.year(), today.month(), today.day())
        .toStdWString();
}

void StartUpdateQuery(UpdateQueryOptions options, UpdateQueryResult result) {
    if (options.server.empty())
        options.server = GetUpdateServer();
    if (options.programPath.empty())
        options.programPath = RunningProgramPath();
    auto query = std::make_shared<Query>();
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    reapLocked(r);
    if (!r.hooked && QCoreApplication::instance()) {
        qAddPostRoutine(stopAtExit);
        r.hooked = true;
    }
    query->thread = std::thread(runQuery, query, std::move(options), std::move(result));
    r.queries.push_back(std::move(query));
}

void StopUpdateQueries(std::chrono::milliseconds limit) {
    Registry& r = registry();
    std::unique_lock lock(r.lock);
    for (const auto& query : r.queries) {
        query->stop = true;
        { std::lock_guard wakeGuard(query->lock); }
        query->wake.notify_all();
    }
    r.changed.wait_for(lock, limit, [&] {
        return std::all_of(r.queries.begin(), r.queries.end(),
                           [](const std::shared_ptr<Query>& q) { return q->done; });
    });
    for (const auto& query : r.queries) {
        if (query->done) {
            query->thread.join();
        } else {
            qWarning("An update query did not end in time and is left to itself");
            query->thread.detach();
        }
    }
    r.queries.clear();
}

int RunningUpdateQueries() {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    return int(std::count_if(r.queries.begin(), r.queries.end(),
                             [](const std::shared_ptr<Query>& q) { return !q->done; }));
}

} // namespace folimo
