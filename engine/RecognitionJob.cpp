#include "RecognitionJob.h"

#include "ReencodeJob.h"
#include "base/MappedFile.h"
#include "imaging/Codecs.h"
#include "imaging/Transform.h"

#include <folimo/WideText.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>

namespace {

// What recognising a page holds at its peak besides its file: the picture as decoded
// with its grey copy (JPEG decodes grey at once), or later the grey picture, a turned
// copy and Tesseract's own copy and black-and-white image, whichever is more. A file
// whose headers do not tell counts as a multiple of its size, as for re-encoding.
std::uint64_t recognitionCost(std::span<const std::uint8_t> bytes,
                              folimo::imaging::ImageFormat format, int page) {
    using namespace folimo::imaging;
    std::optional<PictureInfo> info;
    try {
        info = probe(bytes, format, {}, page);
    } catch (const ImagingError&) {
        // Decoding says what is wrong, in its own words.
    }
    if (!info)
        return std::uint64_t(bytes.size()) * 4;
    const std::uint64_t grey = std::uint64_t(info->width) * std::uint64_t(info->height);
    const std::uint64_t decoded = format == ImageFormat::Jpeg ? 0 : pictureBytes(*info);
    return std::max(decoded + grey, grey * 4);
}

} // namespace

RecognitionResult recognizePage(const RecognitionParams& params,
                                folimo::ocr::TextRecognizer& recognizer,
                                const std::atomic<bool>* cancel) noexcept {
    using namespace folimo::imaging;
    RecognitionResult result;
    try {
        const std::string path = folimo::toUtf8(params.path);
        std::error_code unknown;
        const std::uintmax_t fileSize = std::filesystem::file_size(path, unknown);
        BudgetShare share(unknown ? 0 : fileSize);
        Bitmap page;
        {
            folimo::pdf::MappedFile file(path, Limits{}.maxBytes, unreadReason);
            const std::span<const std::uint8_t> bytes = file.bytes();
            const ImageFormat format = detectFormat(bytes);
            share.decode(bytes.size() + recognitionCost(bytes, format, params.page));
            page = decodeGrey(bytes, format, {}, params.page);
        }
        if (cancel && *cancel) {
            result.cancelled = true;
            return result;
        }
        if (params.turns != 0)
            page = turnClockwise(std::move(page), params.turns);
        if (params.upright) {
            result.quarterTurns = recognizer.uprightTurns(page);
            if (result.quarterTurns != 0)
                page = turnClockwise(std::move(page), result.quarterTurns);
        }
        result.words = recognizer.recognize(page, cancel);
        result.width = page.width;
        result.height = page.height;
    } catch (const folimo::ocr::RecognitionCancelled&) {
        result = RecognitionResult{};
        result.cancelled = true;
    } catch (const std::exception& e) {
        result.words.clear();
        result.error = e.what();
    } catch (...) {
        result.words.clear();
        result.error = "the text could not be recognised";
    }
    return result;
}

RecognitionPool::RecognitionPool(std::string languages, unsigned threads)
    : languages_(std::move(languages)), maxThreads_(threads == 0 ? 1 : threads) {}

RecognitionPool::~RecognitionPool() {
    cancel_ = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_)
        thread.join();
    // Threads that never started leave their pages to be told.
    for (Job& job : jobs_) {
        RecognitionResult cancelled;
        cancelled.cancelled = true;
        job.result.set_value(std::move(cancelled));
    }
}

std::future<RecognitionResult> RecognitionPool::submit(RecognitionParams params) {
    Job job{std::move(params), {}};
    std::future<RecognitionResult> future = job.result.get_future();
    std::unique_lock<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
    if (idle_ < jobs_.size() && threads_.size() < maxThreads_) {
        try {
            threads_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            // No thread to be had (a process limit): the threads there are go on with the
            // page, and with none at all it is told, not waited for for ever.
            if (threads_.empty()) {
                RecognitionResult failed;
                failed.error = "no thread could be started to recognise the text";
                jobs_.back().result.set_value(std::move(failed));
                jobs_.pop_back();
            }
        }
    }
    lock.unlock();
    wake_.notify_one();
    return future;
}

void RecognitionPool::work() {
    std::unique_ptr<folimo::ocr::TextRecognizer> recognizer;
    std::string unusable; // why this thread's recogniser could not be made
    for (;;) {
        std::unique_lock<std::mutex> lock(mutex_);
        ++idle_;
        wake_.wait(lock, [&] { return closing_ || !jobs_.empty(); });
        --idle_;
        if (jobs_.empty())
            return;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();

        RecognitionResult result;
        if (cancel_) {
            result.cancelled = true;
        } else {
            if (!recognizer && unusable.empty()) {
                try {
                    recognizer = std::make_unique<folimo::ocr::TextRecognizer>(languages_);
                } catch (const std::exception& e) {
                    unusable = e.what();
                } catch (...) {
                    unusable = "the text recogniser could not be made";
                }
            }
            if (recognizer)
                result = recognizePage(job.params, *recognizer, &cancel_);
            else
                result.error = unusable;
        }
        job.result.set_value(std::move(result));
    }
}
