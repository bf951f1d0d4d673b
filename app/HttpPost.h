// A small HTTP form POST that blocks its thread: the update query's way to the server.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QNetworkAccessManager;

namespace folimo {

class CHttpPost {
public:
    std::string host; // a name or an address ("127.0.0.1", "::1")
    std::uint16_t port = 80;
    std::string objectPath = "/"; // may carry a "?query"
    std::string verb = "POST";
    std::string body; // sent as it is (UTF-8 form fields)
    // Gets the reply's body; nothing when no server answered as it should: no network, a
    // refused connection, an HTTP error status, a reply beyond kMaxReply, the timeout, a
    // stop. An empty body that came is an empty string.
    std::function<void(const std::optional<std::string>& reply)> completion;
    // The whole exchange ends within this, so a server that never answers cannot hold
    // the thread.
    std::chrono::milliseconds timeout{15000};
    // Set from any thread to end the exchange early (with an empty reply).
    const std::atomic<bool>* stop = nullptr;

    static constexpr std::size_t kMaxReply = 4 * 1024 * 1024;

    // Performs the request on the calling thread with an event loop of its own, calls the
    // completion routine, then destroys the request. Needs a QCoreApplication.
    static void Send(std::unique_ptr<CHttpPost> request);

    // The reply alone; what Send hands to the completion routine.
    std::optional<std::string> Perform() const;
};

// The system's proxy settings for `manager`, except for addresses of this machine, which
// are always reached directly.
void UseSystemProxies(QNetworkAccessManager& manager);

} // namespace folimo
