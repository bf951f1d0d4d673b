#include "ConversionProgress.h"

#include "TextExpansion.h"

#include <QCoreApplication>
#include <QString>

#include <algorithm>

namespace folimo {

namespace {

// A log line in the language of the windows: `format` takes the document's number as %1
// and a path or message as %2.
std::wstring line(const char* format, int counter, const std::wstring& text = {}) {
    QString translated = QCoreApplication::translate("ConversionProgress", format);
    translated = translated.contains(QLatin1String("%2"))
                     ? translated.arg(QString::number(counter), QString::fromStdWString(text))
                     : translated.arg(counter);
    return translated.toStdWString();
}

// The engine's one message of its own is written in Chinese, the others come from the
// libraries in English; the log shows that one in the language of the windows too.
std::wstring inWindowLanguage(const std::wstring& message) {
    static const std::wstring unreadable = L"图片文件无法加载 ";
    const std::size_t at = message.find(unreadable);
    if (at == std::wstring::npos)
        return message;
    const QString translated =
        QCoreApplication::translate("ConversionProgress", "图片文件无法加载 ");
    return message.substr(0, at) + translated.toStdWString() +
           message.substr(at + unreadable.size());
}

} // namespace

ConversionProgress::ConversionProgress(int totalFiles) : totalFiles_(totalFiles) {}

void ConversionProgress::logLine(const std::wstring& line) {
    log_ += line;
}

int ConversionProgress::OnBegin(const wchar_t* outputPath) noexcept {
    try {
        const std::wstring path = outputPath ? outputPath : L"";
        std::lock_guard<std::mutex> lock(mutex_);
        if (firstOutput_.empty())
            firstOutput_ = path;
        status_ = path;
        logLine(
            line(QT_TRANSLATE_NOOP("ConversionProgress", "%1> 开始生成PDF: %2"), counter_, path) +
            L"\r\n");
    } catch (...) {
    }
    return 1;
}

int ConversionProgress::OnFile(const wchar_t* path, int) noexcept {
    try {
        const std::wstring file = path ? path : L"";
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = file;
        ++filesDone_;
        // The bar follows the files of the whole run; the engine tells nothing finer.
        if (totalFiles_ > 0)
            permille_ = int(std::int64_t(std::min(filesDone_, totalFiles_)) * 1000 / totalFiles_);
        logLine(line(QT_TRANSLATE_NOOP("ConversionProgress", "%1> 添加文件: %2"), counter_, file) +
                L"\r\n");
    } catch (...) {
    }
    return 1;
}

int ConversionProgress::OnEnd() noexcept {
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        // Full only when the run's files are through: with one document per image, a
        // full bar after each would say "done" many times over.
        if (totalFiles_ <= 0 || filesDone_ >= totalFiles_)
            permille_ = 1000;
        status_ = QCoreApplication::translate("ConversionProgress", "完成").toStdWString();
        logLine(line(QT_TRANSLATE_NOOP("ConversionProgress", "%1> PDF完成"), counter_) + L"\r\n");
        ++counter_;
    } catch (...) {
    }
    return 1;
}

int ConversionProgress::OnProgress(std::int64_t total, std::int64_t done) noexcept {
    const std::uint64_t t = std::uint64_t(total), d = std::uint64_t(done);
    std::lock_guard<std::mutex> lock(mutex_);
    permille_ = t == 0 ? 0 : int(d * 1000 / t);
    return 1;
}

int ConversionProgress::OnError(const wchar_t* message) noexcept {
    try {
        const std::wstring text = inWindowLanguage(message ? message : L"");
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = text;
        logLine(L"\r\n" + std::to_wstring(counter_) + L"> " + text + L"\r\n\r\n");
    } catch (...) {
    }
    return 1;
}

int ConversionProgress::OnNotify() noexcept {
    finished_.store(true);
    return 1;
}

const wchar_t* ConversionProgress::ExpandText(const wchar_t* text, TextContext* context) noexcept {
    try {
        static const TextContext none{};
        expanded_ = expandPlaceholders(text ? text : L"", context ? *context : none);
    } catch (...) {
        expanded_.clear();
    }
    return expanded_.c_str();
}

void ConversionProgress::SetFirstOutput(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    firstOutput_ = path;
}

ConversionProgress::Snapshot ConversionProgress::Read() const {
    Snapshot s;
    std::lock_guard<std::mutex> lock(mutex_);
    s.status = status_;
    s.log = log_;
    s.firstOutput = firstOutput_;
    s.permille = permille_;
    s.filesDone = filesDone_;
    s.totalFiles = totalFiles_;
    s.finished = finished_.load();
    // The time left by the pace so far, once a few files tell it.
    if (filesDone_ >= 3 && totalFiles_ > filesDone_ && !s.finished) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        s.secondsLeft = int(elapsed / filesDone_ * (totalFiles_ - filesDone_) + 0.5);
    }
    return s;
}

void ConversionForwarder::SetTarget(ConversionProgress* target, int totalFiles) {
    total_.store(totalFiles);
    reported_.store(0);
    target_.store(target);
}

int ConversionForwarder::OnBegin(const wchar_t* outputPath) noexcept {
    ConversionProgress* t = target_.load();
    return t ? t->OnBegin(outputPath) : 1;
}

int ConversionForwarder::OnFile(const wchar_t* path, int loaded) noexcept {
    ++reported_;
    ConversionProgress* t = target_.load();
    return t ? t->OnFile(path, loaded) : 1;
}

int ConversionForwarder::OnEnd() noexcept {
    ConversionProgress* t = target_.load();
    return t ? t->OnEnd() : 1;
}

// The engine's own figures are not looked at: the run's are what the bar shows.
int ConversionForwarder::OnProgress(std::int64_t, std::int64_t) noexcept {
    ConversionProgress* t = target_.load();
    return t ? t->OnProgress(total_.load(), reported_.load()) : 1;
}

int ConversionForwarder::OnError(const wchar_t* message) noexcept {
    ConversionProgress* t = target_.load();
    return t ? t->OnError(message) : 1;
}

int ConversionForwarder::IsCancelled() noexcept {
    ConversionProgress* t = target_.load();
    return t ? t->IsCancelled() : 0;
}

int ConversionForwarder::OnNotify() noexcept {
    ConversionProgress* t = target_.load();
    return t ? t->OnNotify() : 1;
}

const wchar_t* ConversionForwarder::ExpandText(const wchar_t* text, TextContext* context) noexcept {
    ConversionProgress* t = target_.load();
    return t ? t->ExpandText(text, context) : text;
}

} // namespace folimo
