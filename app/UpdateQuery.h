// Asking the update server whether a newer version exists. The query posts the
// program's own version to "/record/ini.php" on the configured server and answers on a
// thread of its own; windows get the answer through the callback they give, which hands
// it to their own thread as a value.
//
// The server answers with lines "Key:Base64 value" separated by CR LF; "NewVersion",
// "UpdateURL" (the update page) and "UpdateFileURL" (the installer) are read.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace folimo {

struct UpdateInfo {
    std::wstring newVersion;
    std::wstring updatePage;       // where people read about the version
    std::wstring installerAddress; // empty: the update page is opened instead
};

// The reply's keys and values. Lines end at CR LF; a line without ":" does not count;
// key and value are trimmed of "\f\v\r\t\n "; a later key replaces an earlier one.
// Empty when no line has a key: the reply is unusable.
std::map<std::string, std::string> ParseUpdateReply(std::string_view reply);

// A reply value as text: standard Base64 (CR and LF skipped, "=" ends it) read as
// UTF-8. Empty when the value is no Base64, or no text (not UTF-8, control characters).
std::wstring DecodeReplyValue(std::string_view base64);

// Natural order: digits compare as numbers ("1.10" after "1.9"), letters without case.
// Negative, 0 or positive as `a` ranks below, with or above `b`.
int NaturalCompare(const std::wstring& a, const std::wstring& b);

// The update a reply offers against the own version, when its version ranks above.
std::optional<UpdateInfo> NewerVersionIn(std::string_view reply, const std::wstring& ownVersion);

// The hosts an installer may come from: the update server's own host and those stored in
// "UpdateDownloadHosts".
std::vector<std::string> InstallerHosts(const std::wstring& server);

// "host", "host:port" or "[v6 address]:port"; port 80 when none. Nothing when the text
// names no host or a port outside 1..65535.
struct ServerAddress {
    std::string host;
    std::uint16_t port = 80;
};
std::optional<ServerAddress> ParseServerAddress(const std::wstring& address);

// The main window's start-up check runs while today's date ranks below the stored
// "UpdateCheckDate" in natural order; never when none is stored.
bool ShouldCheckAtStartup(const std::wstring& today, const std::wstring& stored);
// Today's date in UTC as the stored date is written: "YYYY/MM/DD".
std::wstring TodayForUpdateCheck();

struct UpdateQueryOptions {
    std::wstring server;      // "host[:port]"; empty: the stored "UpdateServer"
    std::wstring programPath; // whose version is asked about; empty: the running program
    // The query keeps its answer this long before it tells, as the server asks of its
    // clients.
    std::chrono::milliseconds answerDelay{2000};
    std::chrono::milliseconds timeout{15000}; // of the HTTP exchange
};

// Called on the query's thread: `newer` when the server offers a newer version (valid
// during the call only), else null with the raw reply, which is nothing when no server
// answered: people are then told the server could not be reached, never that they have
// the latest version.
using UpdateQueryResult =
    std::function<void(const UpdateInfo* newer, const std::optional<std::string>& reply)>;

// Starts a query on a thread of its own and returns at once; nobody waits for it. The
// options are completed here, so call it on the application's thread.
void StartUpdateQuery(UpdateQueryOptions options, UpdateQueryResult result);

// Ends the queries still running: their waits and requests stop and they report
// nothing. Waits up to `limit` for their threads and leaves behind any that did not end
// (only a result callback that blocks can hold one). Runs by itself when the
// application object goes, so no query outlives the Qt it uses.
void StopUpdateQueries(std::chrono::milliseconds limit = std::chrono::seconds(5));

// Queries started and not yet ended.
int RunningUpdateQueries();

} // namespace folimo
