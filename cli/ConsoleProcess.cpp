#include "ConsoleProcess.h"

#include <folimo/WideText.h>

#include <cmath>
#include <cstdio>
#include <utility>

#include <unistd.h>

std::string jsonString(std::wstring_view text) {
    std::string out = "\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || folimo::isEscapedByte(c)) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        } else {
            out += folimo::toUtf8(std::wstring_view(&c, 1));
        }
    }
    return out + "\"";
}

std::string jsonString(const std::string& utf8) {
    return jsonString(folimo::fromUtf8(utf8));
}

ConsoleProcess::ConsoleProcess(bool quiet, bool json, std::size_t total, std::string output,
                               bool (*stopped)())
    : quiet_(quiet), json_(json), total_(total), output_(std::move(output)), stopped_(stopped),
      bar_(!quiet && !json && ::isatty(STDERR_FILENO)) {}

ConsoleProcess::~ConsoleProcess() {
    EndBar();
    sayHeld();
}

void ConsoleProcess::EndBar() {
    if (barShown_)
        std::fputc('\n', stderr);
    barShown_ = false;
}

int ConsoleProcess::OnBegin(const wchar_t* path) noexcept {
    sayHeld();
    documentLoaded_ = documentFailed_ = 0;
    if (json_)
        emit("{\"event\":\"begin\",\"output\":" +
             (output_.empty() && path ? jsonString(std::wstring_view(path)) : jsonString(output_)) +
             ",\"total\":" + std::to_string(total_) + "}");
    return 1;
}

int ConsoleProcess::OnFile(const wchar_t* path, int loaded) noexcept {
    sayHeld();
    ++done_;
    ++(loaded ? documentLoaded_ : documentFailed_);
    if (!loaded)
        ++failed_;
    if (json_)
        emit("{\"event\":\"file\",\"path\":" + jsonString(path) +
             ",\"loaded\":" + (loaded ? "true" : "false") + ",\"done\":" + std::to_string(done_) +
             ",\"total\":" + std::to_string(total_) + "}");
    else if (bar_)
        drawBar(path);
    else if (loaded && !quiet_)
        std::fprintf(stderr, "[%zu/%zu] %s\n", done_, total_, folimo::toUtf8(path).c_str());
    return 1;
}

int ConsoleProcess::OnEnd() noexcept {
    // A document none of whose inputs could be used ends with the error that it has no
    // pages. The inputs' own errors have said why; said quietly, each cause once.
    if (documentLoaded_ == 0 && documentFailed_ > 0)
        held_.clear();
    sayHeld();
    if (json_)
        emit("{\"event\":\"end\"}");
    return 1;
}

int ConsoleProcess::OnError(const wchar_t* message) noexcept {
    ++errors_;
    // A message goes on a line of its own, and the bar comes back under it.
    if (barShown_) {
        std::fputs("\r\033[K", stderr);
        barShown_ = false;
    }
    if (json_) {
        emit("{\"event\":\"error\",\"message\":" + jsonString(message) + "}");
    } else if (quiet_) {
        sayHeld();
        held_ = folimo::toUtf8(message);
    } else {
        std::fprintf(stderr, "folimo-cli: %s\n", folimo::toUtf8(message).c_str());
    }
    return 1;
}

int ConsoleProcess::OnErrorCode(int code, const wchar_t* subject, const wchar_t* reason,
                                const wchar_t* message) noexcept {
    try {
        const std::wstring file = subject ? subject : L"";
        const std::wstring why = reason ? reason : L"";
        switch (code) {
        case FOLIMO_ERROR_INPUT:
            return OnError((L"Error: cannot load the picture file " + file + L": " + why).c_str());
        case FOLIMO_ERROR_WATERMARK_IMAGE:
            // A stamp that is missing from every page is said once, not once a document.
            if (!watermarksTold_.insert(file).second)
                return 1;
            return OnError(
                (L"Error: the watermark image " + file + L" cannot be used and is left out: " + why)
                    .c_str());
        case FOLIMO_ERROR_OUTPUT:
            // The library's reason names the file already.
            return OnError((L"Error: the PDF cannot be written: " + why).c_str());
        case FOLIMO_ERROR_TEXT_DATA:
            return OnError((L"Error: the language data for \"" + file +
                            L"\" is not installed: install the Debian package " + why)
                               .c_str());
        case FOLIMO_ERROR_RECOGNITION:
            // The page's report names the page: it says so, with its number.
            return 1;
        default:
            return OnError(message);
        }
    } catch (...) {
        return OnError(message);
    }
}

int ConsoleProcess::OnPageText(int documentPage, const wchar_t* path, int filePage, int words,
                               int quarterTurns) noexcept {
    try {
        const std::wstring file = path ? path : L"";
        if (json_)
            emit("{\"event\":\"text\",\"page\":" + std::to_string(documentPage) +
                 ",\"path\":" + jsonString(file) + ",\"filePage\":" + std::to_string(filePage) +
                 ",\"recognized\":" + (words >= 0 ? "true" : "false") +
                 ",\"words\":" + std::to_string(words >= 0 ? words : 0) +
                 ",\"quarterTurns\":" + std::to_string(quarterTurns) + "}");
        if (words < 0)
            return OnError((L"page " + std::to_wstring(filePage + 1) + L" of " + file +
                            L": its text could not be recognised; the page is kept without text")
                               .c_str());
    } catch (...) {
    }
    return 1;
}

void ConsoleProcess::sayHeld() {
    if (!held_.empty())
        std::fprintf(stderr, "folimo-cli: %s\n", held_.c_str());
    held_.clear();
}

void ConsoleProcess::emit(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

void ConsoleProcess::drawBar(const wchar_t* path) {
    using namespace std::chrono;
    const double elapsed = duration<double>(steady_clock::now() - started_).count();
    const double share = total_ ? double(done_) / double(total_) : 1.0;
    constexpr int kWidth = 24;
    const int filled = int(std::lround(share * kWidth));
    std::string line = "\r\033[K[" + std::string(std::size_t(filled), '#') +
                       std::string(std::size_t(kWidth - filled), '.') + "] " +
                       std::to_string(done_) + "/" + std::to_string(total_);
    if (done_ >= 3 && done_ < total_)
        line += ", " +
                std::to_string(std::lround(elapsed / double(done_) * double(total_ - done_))) +
                " s left";
    std::string name = folimo::toUtf8(folimo::displayText(path ? path : L""));
    name = name.substr(name.find_last_of('/') + 1);
    if (name.size() > 40)
        name = name.substr(0, 37) + "...";
    std::fputs((line + "  " + name).c_str(), stderr);
    std::fflush(stderr);
    barShown_ = true;
}
