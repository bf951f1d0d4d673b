#include "ConversionRun.h"

#include <folimo/WideText.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

void ConversionRun::nextImage() {
    if (++page_ >= pageCount_)
        nextFile();
}

void ConversionRun::nextFile() {
    ++file_;
    page_ = 0;
    pageCount_ = 1;
}

void ConversionRun::imageLoaded() {
    if (page_ != 0)
        return;
    pageCount_ = std::max(loadedPages_, 1);
    notifyFile(currentFile().path.c_str(), 1);
}

void ConversionRun::dropCurrentFile() {
    if (page_ == 0)
        notifyFile(currentFile().path.c_str(), 0);
    nextFile();
}

void ConversionRun::notifyBegin(const wchar_t* outputPath) {
    if (callback_)
        callback_->OnBegin(outputPath);
}

void ConversionRun::notifyFile(const wchar_t* path, int loaded) {
    if (callback_)
        callback_->OnFile(path, loaded);
}

void ConversionRun::notifyEnd() {
    if (callback_)
        callback_->OnEnd();
}

bool ConversionRun::cancelled() {
    if (!cancelled_ && callback_ && callback_->IsCancelled())
        cancelled_ = true;
    return cancelled_;
}

void ConversionRun::notifyPageText(int documentPage, const std::wstring& path, int filePage,
                                   int words, int quarterTurns) {
    if (callbackText_)
        callbackText_->OnPageText(documentPage, path.c_str(), filePage, words, quarterTurns);
}

void ConversionRun::notifyDocumentEnd(int how, int pages, const std::wstring& writtenPath) {
    if (callbackEx_)
        callbackEx_->OnDocumentEnd(how, pages, writtenPath.c_str());
}

void ConversionRun::reportError(const std::wstring& message, int code, const std::wstring& subject,
                                const std::wstring& reason) {
    if (!callback_)
        return;
    const std::wstring text = L"Error: " + folimo::displayText(message);
    if (callbackEx_)
        callbackEx_->OnErrorCode(code, subject.c_str(), folimo::displayText(reason).c_str(),
                                 text.c_str());
    else
        callback_->OnError(text.c_str());
}

void ConversionRun::diagnostic(const std::string& line) {
    // A caller with an IProcess reports the failure itself, and would otherwise show it
    // twice.
    if (callback_)
        return;
    std::fputs((line + "\n").c_str(), stderr);
    std::fflush(stderr);
}

void ConversionRun::setOutputPath(const wchar_t* path) {
    outputPath_ = path;
    context_.outputPath = outputPath_.c_str();
}

void ConversionRun::setContextFile(const InputFile& file) {
    context_.currentFile = file.path.c_str();
    context_.tag = file.tag;
}

void ConversionRun::beginLoad() {
    attempts_ = 0;
    loadError_.clear();
}

bool ConversionRun::firstAttempt(int code) {
    if (attempts_ & (1u << code))
        return false;
    attempts_ |= 1u << code;
    return true;
}

bool ConversionRun::isPrepared(const ReencodeParams& params) const {
    return std::any_of(prepared_.begin(), prepared_.end(),
                       [&](const PreparedImage& job) { return job.params == params; });
}

bool ConversionRun::prepare(const ReencodeParams& params, std::size_t file, int page) {
    try {
        prepared_.push_back({params, file, page, std::async(std::launch::async, [params] {
                                 return reencode(params);
                             })});
    } catch (const std::exception&) {
        // No thread to be had: a process limit, little memory.
        return false;
    }
    return true;
}

std::optional<ReencodeResult> ConversionRun::takePrepared(const ReencodeParams& params) {
    auto job = std::find_if(prepared_.begin(), prepared_.end(),
                            [&](const PreparedImage& p) { return p.params == params; });
    if (job == prepared_.end())
        return std::nullopt;
    ReencodeResult result = job->result.get();
    prepared_.erase(job);
    return result;
}

void ConversionRun::dropPassedPrepared() {
    prepared_.remove_if([&](const PreparedImage& job) {
        return job.file < file_ || (job.file == file_ && job.page < page_);
    });
    // A passed page's text, still being recognised, is only left to finish: the thread
    // is the run's own and goes on with the next page.
    texts_.remove_if([&](const PendingText& job) {
        return job.file < file_ || (job.file == file_ && job.page < page_);
    });
}

void ConversionRun::startRecognition(const std::string& languages, bool upright) {
    uprightByText_ = upright;
    recognition_ =
        std::make_unique<RecognitionPool>(languages, std::thread::hardware_concurrency());
}

std::list<ConversionRun::PendingText>::iterator ConversionRun::findText(std::size_t file,
                                                                        int page) {
    return std::find_if(texts_.begin(), texts_.end(), [&](const PendingText& job) {
        return job.file == file && job.page == page;
    });
}

void ConversionRun::recognize(std::size_t file, int page) {
    if (!recognition_ || findText(file, page) != texts_.end())
        return;
    RecognitionParams params{files_[file].path, page, uprightByText_, files_[file].quarterTurns};
    texts_.push_back({file, page, recognition_->submit(std::move(params))});
}

bool ConversionRun::awaitText(std::size_t file, int page) {
    if (!recognition_)
        return true;
    recognize(file, page);
    auto job = findText(file, page);
    const bool ready = job->result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    if (!ready && callbackText_)
        callbackText_->OnPageTextBegin(context_.pageCount + 1, files_[file].path.c_str(), page);
    // The caller's stop is heard while a page is recognised, not only between pages:
    // recognising a page takes seconds.
    while (job->result.wait_for(std::chrono::milliseconds(75)) != std::future_status::ready)
        if (cancelled()) {
            recognition_->cancel();
            return false;
        }
    return true;
}

std::optional<RecognitionResult> ConversionRun::takeText() {
    if (!recognition_ || !awaitText(file_, page_))
        return std::nullopt;
    auto job = findText(file_, page_);
    RecognitionResult result = job->result.get();
    texts_.erase(job);
    return result;
}

void ConversionRun::stopRecognition() noexcept {
    if (!recognition_)
        return;
    recognition_->cancel();
    texts_.clear();
    recognition_.reset();
}
