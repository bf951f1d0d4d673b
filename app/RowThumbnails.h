// The thumbnails the file list's rows show, made on worker threads. A row being drawn asks
// for its file's; the newest asks are made first, so the rows in view come before rows
// scrolled past, and asks beyond what the workers reach soon are dropped (a row asks again
// when it is drawn again). Made thumbnails are kept in memory within a byte budget.
#pragma once

#include "Thumbnails.h"

#include <QImage>
#include <QString>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

class QObject;

namespace folimo {

class RowThumbnails {
public:
    // Told, on the thread that built the object, which files' thumbnails came in.
    using Ready = std::function<void(const std::vector<QString>& paths)>;

    struct Options {
        QString cacheRoot = thumbs::ThumbnailCache::DefaultRoot();
        int workers = 2;
        std::size_t memoryBytes = std::size_t(64) << 20;
        std::size_t maxWaiting = 256; // more than a screenful or two
    };

    RowThumbnails(Ready onReady, Options options);
    explicit RowThumbnails(Ready onReady) : RowThumbnails(std::move(onReady), Options()) {}
    // Waits for the files the workers are on; the asks still waiting are dropped.
    ~RowThumbnails();
    RowThumbnails(const RowThumbnails&) = delete;
    RowThumbnails& operator=(const RowThumbnails&) = delete;

    // The file's thumbnail turned clockwise by `quarterTurns`, when it is in memory.
    // Otherwise null, and the thumbnail is asked for unless the file, as it is now, has
    // none to give.
    QImage Find(const QString& path, int quarterTurns);

    // Asks waiting or being made (for tests).
    std::size_t Pending() const;

private:
    struct Ask {
        QString path;
        long long mtime = 0;
    };
    void work();
    void deliver();

    Ready onReady_;
    std::size_t maxWaiting_;
    thumbs::ThumbnailCache cache_;
    thumbs::ThumbnailMemory memory_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Ask> waiting_;            // newest first
    std::unordered_set<QString> asked_;  // waiting or being made, by path and time
    std::unordered_set<QString> failed_; // by path and time
    std::vector<QString> made_;          // not yet told
    int busy_ = 0;
    bool stopping_ = false;

    std::unique_ptr<QObject> relay_; // on the building thread: calls deliver() there
    std::vector<std::thread> workers_;
};

} // namespace folimo
