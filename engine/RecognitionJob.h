// The text of one image page, recognised on any thread from a copy of its picture that
// the job decodes itself, so the bytes that go into the PDF are never touched; and the
// threads that recognise the next pages of a conversion while its writer places the
// current one.
#pragma once

#include "ocr/TextRecognizer.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct RecognitionParams {
    std::wstring path;
    int page = 0;         // from 0: a multi-page TIFF's directory
    bool upright = false; // turn the page upright by its text before reading it
    int turns = 0;        // clockwise quarter turns the person gave the page, 0 to 3
};

struct RecognitionResult {
    // In pixels of the copy recognised, row 0 at its top: the picture upright as the PDF
    // shows it (EXIF orientation applied), turned as the person turned it, then by
    // quarterTurns.
    std::vector<folimo::ocr::RecognizedWord> words;
    int width = 0;
    int height = 0;
    int quarterTurns = 0; // clockwise, that made the text upright
    bool cancelled = false;
    std::string error; // why the page could not be recognised; empty when it was
};

// Decodes page `params.page` of the file as grey under a share of the decode memory
// budget, turns it upright by its text when asked, and recognises it with `recognizer`,
// which the calling thread owns. `cancel` becoming true stops it within the page.
// Never throws.
RecognitionResult recognizePage(const RecognitionParams& params,
                                folimo::ocr::TextRecognizer& recognizer,
                                const std::atomic<bool>* cancel) noexcept;

// Threads that recognise pages in the order they are asked for, each with a recogniser
// of its own that it keeps for all its pages: loading the language models costs more
// than a small page. Threads start as pages wait for them, up to `threads`. One thread
// (the writer's) submits and cancels; the results come through the futures.
class RecognitionPool {
public:
    RecognitionPool(std::string languages, unsigned threads);
    // Cancels what is left and waits for the threads.
    ~RecognitionPool();
    RecognitionPool(const RecognitionPool&) = delete;
    RecognitionPool& operator=(const RecognitionPool&) = delete;

    std::future<RecognitionResult> submit(RecognitionParams params);
    // Pages being recognised stop within the page, pages waiting are not begun: their
    // results come back cancelled.
    void cancel() noexcept { cancel_ = true; }
    unsigned threads() const { return maxThreads_; }

private:
    struct Job {
        RecognitionParams params;
        std::promise<RecognitionResult> result;
    };
    void work();

    const std::string languages_;
    const unsigned maxThreads_;
    std::atomic<bool> cancel_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    unsigned idle_ = 0;
    bool closing_ = false;
    std::vector<std::thread> threads_;
};
