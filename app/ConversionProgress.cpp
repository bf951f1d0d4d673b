#include "ConversionProgress.h"

#include "TextExpansion.h"

#include <QCoreApplication>
#include <QString>

#include <algorithm>
#include <cmath>

namespace folimo {

namespace {

// Each source text is marked where it is used, for the catalogues.
QString translated(const char* text) {
    return QCoreApplication::translate("ConversionProgress", text);
}

// A log line in the language of the windows: `format` takes the document's number as %1
// and a path or message as %2.
std::wstring line(const char* format, int counter, const std::wstring& text = {}) {
    QString shown = translated(format);
    shown = shown.contains(QLatin1String("%2"))
                ? shown.arg(QString::number(counter), QString::fromStdWString(text))
                : shown.arg(counter);
    return shown.toStdWString() + L"\r\n";
}

std::wstring folderOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L'/');
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash ? slash : 1);
}

std::wstring stoppedText(int pages, const std::wstring& where) {
    if (pages == 0)
        return translated(QT_TRANSLATE_NOOP("ConversionProgress", "已停止: 没有生成页面"))
            .toStdWString();
    return translated(QT_TRANSLATE_NOOP("ConversionProgress", "已停止: %1 页保存在 %2"))
        .arg(pages)
        .arg(QString::fromStdWString(where))
        .toStdWString();
}

} // namespace

ConversionProgress::ConversionProgress(int totalFiles, ConversionMode mode)
    : totalFiles_(totalFiles), mode_(mode) {}

void ConversionProgress::logLine(const std::wstring& line) {
    sayHeldError();
    log_ += line;
}

void ConversionProgress::logError(const std::wstring& text) {
    status_ = text;
    const std::wstring number = std::to_wstring(counter_) + L"> ";
    log_ += L"\r\n";
    errorLines_.emplace_back(log_.size(), number.size() + text.size());
    log_ += number + text + L"\r\n\r\n";
}

void ConversionProgress::sayHeldError() {
    if (heldError_.empty())
        return;
    const std::wstring text = std::move(heldError_);
    heldError_.clear();
    heldFor_.clear();
    logError(text);
}

int ConversionProgress::OnBegin(const wchar_t* outputPath) noexcept {
    try {
        const std::wstring path = outputPath ? outputPath : L"";
        std::lock_guard<std::mutex> lock(mutex_);
        beganAt_ = path;
        status_ = path;
        logLine(
            line(QT_TRANSLATE_NOOP("ConversionProgress", "%1> 开始生成PDF: %2"), counter_, path));
    } catch (...) {
    }
    return 1;
}

int ConversionProgress::OnFile(const wchar_t* path, int loaded) noexcept {
    try {
        const std::wstring file = path ? path : L"";
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = file;
        ++filesDone_;
        if (!loaded)
            ++filesFailed_;
        // The bar follows the files of the whole run; the engine tells nothing finer.
        if (totalFiles_ > 0)
            permille_ = int(std::int64_t(std::min(filesDone_, totalFiles_)) * 1000 / totalFiles_);
        // The error of this very file follows the line that names it.
        std::wstring held;
        if (!heldError_.empty() && heldFor_ == file) {
            held.swap(heldError_);
            heldFor_.clear();
        }
        logLine(line(QT_TRANSLATE_NOOP("ConversionProgress", "%1> 添加文件: %2"), counter_, file));
        if (!held.empty())
            logError(held);
    } catch (...) {
    }
    return 1;
}

int ConversionProgress::OnEnd() noexcept {
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        sayHeldError();
        // Full only when the run's files are through: with one document per image, a
        // full bar after each would say "done" many times over. A stop leaves the bar
        // where the run stood.
        if (totalFiles_ <= 0 || filesDone_ >= totalFiles_)
            permille_ = 1000;
        ++counter_;
    } catch (...) {
    }
    return 1;
}

int ConversionProgress::OnDocumentEnd(int how, int pages, const wchar_t* writtenPath) noexcept {
    try {
        const std::wstring path = writtenPath ? writtenPath : L"";
        std::lock_guard<std::mutex> lock(mutex_);
        if (!path.empty())
            written_.push_back(path);
        if (how == FOLIMO_DOCUMENT_FAILED) {
            ++failedDocuments_;
            sayHeldError();
            logError(translated(QT_TRANSLATE_NOOP("ConversionProgress", "PDF未能生成: %1"))
                         .arg(QString::fromStdWString(beganAt_))
                         .toStdWString());
            return 1;
        }
        pagesKept_ += pages;
        if (how == FOLIMO_DOCUMENT_STOPPED) {
            stoppedDocument_ = true;
            status_ = stoppedText(pages, path);
            logLine(std::to_wstring(counter_) + L"> " + status_ + L"\r\n");
        } else {
            status_ = translated(QT_TRANSLATE_NOOP("ConversionProgress", "完成")).toStdWString();
            logLine(
                line(QT_TRANSLATE_NOOP("ConversionProgress", "%1> PDF完成: %2"), counter_, path));
        }
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
        const std::wstring text = message ? message : L"";
        std::lock_guard<std::mutex> lock(mutex_);
        sayHeldError();
        logError(text);
    } catch (...) {
    }
    return 1;
}

int ConversionProgress::OnErrorCode(int code, const wchar_t* subject, const wchar_t* reason,
                                    const wchar_t* message) noexcept {
    try {
        const QString file = QString::fromWCharArray(subject ? subject : L"");
        const QString why = QString::fromWCharArray(reason ? reason : L"");
        // The input's and the watermark's reasons follow their file; the library's reason
        // for the output names the file already.
        const char* format = nullptr;
        if (code == FOLIMO_ERROR_INPUT)
            format = QT_TRANSLATE_NOOP("ConversionProgress", "错误: 图片文件无法加载 %1: %2");
        else if (code == FOLIMO_ERROR_WATERMARK_IMAGE)
            format = QT_TRANSLATE_NOOP("ConversionProgress", "错误: 水印图片无法使用 %1: %2");
        else if (code == FOLIMO_ERROR_OUTPUT)
            format = QT_TRANSLATE_NOOP("ConversionProgress", "错误: PDF无法写入: %1");
        else if (code == FOLIMO_ERROR_TEXT_DATA)
            format = QT_TRANSLATE_NOOP("ConversionProgress",
                                       "错误: 没有安装“%1”的文字识别数据: 请安装Debian软件包 %2");
        else if (code == FOLIMO_ERROR_RECOGNITION)
            return 1; // the page's report names the page, and says it then
        const std::wstring text = !format ? std::wstring(message ? message : L"")
                                  : code == FOLIMO_ERROR_OUTPUT
                                      ? translated(format).arg(why).toStdWString()
                                      : translated(format).arg(file, why).toStdWString();
        std::lock_guard<std::mutex> lock(mutex_);
        // A watermark is told once a run, however many documents leave it out.
        if (code == FOLIMO_ERROR_WATERMARK_IMAGE &&
            !watermarksTold_.insert(file.toStdWString()).second)
            return 1;
        sayHeldError();
        if (code == FOLIMO_ERROR_INPUT) {
            heldError_ = text;
            heldFor_ = file.toStdWString();
            status_ = text;
        } else {
            logError(text);
        }
    } catch (...) {
    }
    return 1;
}

int ConversionProgress::OnPageTextBegin(int, const wchar_t* path, int filePage) noexcept {
    try {
        const QString file = QString::fromWCharArray(path ? path : L"");
        const QString page =
            filePage == 0 ? file
                          : translated(QT_TRANSLATE_NOOP("ConversionProgress", "%2 的第 %1 页"))
                                .arg(QString::number(filePage + 1), file);
        const std::wstring text =
            translated(QT_TRANSLATE_NOOP("ConversionProgress", "正在识别文字: %1"))
                .arg(page)
                .toStdWString();
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = text;
    } catch (...) {
    }
    return 1;
}

int ConversionProgress::OnPageText(int, const wchar_t* path, int filePage, int words,
                                   int) noexcept {
    if (words >= 0)
        return 1;
    try {
        const std::wstring text =
            translated(QT_TRANSLATE_NOOP("ConversionProgress",
                                         "%2 的第 %1 页: 无法识别其中的文字; 该页保留, 但不含文字"))
                .arg(QString::number(filePage + 1), QString::fromWCharArray(path ? path : L""))
                .toStdWString();
        std::lock_guard<std::mutex> lock(mutex_);
        sayHeldError();
        logError(text);
    } catch (...) {
    }
    return 1;
}

int ConversionProgress::OnNotify() noexcept {
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        sayHeldError();
        const std::wstring end = endOfRun();
        status_ = end;
        log_ += end + L"\r\n";
    } catch (...) {
    }
    finished_.store(true);
    return 1;
}

// What the whole run came to, for the status line and the last line of the log.
std::wstring ConversionProgress::endOfRun() const {
    if (stop_.load() || stoppedDocument_)
        return stoppedText(pagesKept_, written_.size() == 1
                                           ? written_.front()
                                           : folderOf(written_.empty() ? L"" : written_.front()));
    if (written_.empty())
        return translated(QT_TRANSLATE_NOOP("ConversionProgress", "失败: 没有写入PDF"))
            .toStdWString();
    QString summary =
        translated(QT_TRANSLATE_NOOP("ConversionProgress", "已写入 %1 个PDF")).arg(written_.size());
    if (failedDocuments_ > 0)
        summary += translated(QT_TRANSLATE_NOOP("ConversionProgress", "，%1 个PDF未能生成"))
                       .arg(failedDocuments_);
    if (filesFailed_ > 0)
        summary += translated(QT_TRANSLATE_NOOP("ConversionProgress", "，%1 个文件失败"))
                       .arg(filesFailed_);
    return summary.toStdWString();
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

ConversionProgress::Snapshot ConversionProgress::Read() const {
    Snapshot s;
    std::lock_guard<std::mutex> lock(mutex_);
    s.status = status_;
    s.log = log_;
    s.errorLines = errorLines_;
    if (!written_.empty()) {
        s.firstOutput = written_.front();
        s.openPath = mode_ == ConversionMode::Single ? s.firstOutput : folderOf(s.firstOutput);
    }
    s.permille = permille_;
    s.filesDone = filesDone_;
    s.filesFailed = filesFailed_;
    s.totalFiles = totalFiles_;
    s.finished = finished_.load();
    // The time left by the pace so far, once a few files tell it.
    if (filesDone_ >= 3 && totalFiles_ > filesDone_ && !s.finished) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        s.secondsLeft = int(std::lround(elapsed / filesDone_ * (totalFiles_ - filesDone_)));
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

int ConversionForwarder::OnErrorCode(int code, const wchar_t* subject, const wchar_t* reason,
                                     const wchar_t* message) noexcept {
    ConversionProgress* t = target_.load();
    return t ? t->OnErrorCode(code, subject, reason, message) : 1;
}

int ConversionForwarder::OnDocumentEnd(int how, int pages, const wchar_t* writtenPath) noexcept {
    ConversionProgress* t = target_.load();
    return t ? t->OnDocumentEnd(how, pages, writtenPath) : 1;
}

int ConversionForwarder::IsCancelled() noexcept {
    ConversionProgress* t = target_.load();
    return t ? t->IsCancelled() : 0;
}

int ConversionForwarder::OnNotify() noexcept {
    ConversionProgress* t = target_.load();
    return t ? t->OnNotify() : 1;
}

int ConversionForwarder::OnPageTextBegin(int documentPage, const wchar_t* path,
                                         int filePage) noexcept {
    ConversionProgress* t = target_.load();
    return t ? t->OnPageTextBegin(documentPage, path, filePage) : 1;
}

int ConversionForwarder::OnPageText(int documentPage, const wchar_t* path, int filePage, int words,
                                    int quarterTurns) noexcept {
    ConversionProgress* t = target_.load();
    return t ? t->OnPageText(documentPage, path, filePage, words, quarterTurns) : 1;
}

const wchar_t* ConversionForwarder::ExpandText(const wchar_t* text, TextContext* context) noexcept {
    ConversionProgress* t = target_.load();
    return t ? t->ExpandText(text, context) : text;
}

} // namespace folimo
