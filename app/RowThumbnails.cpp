#include "RowThumbnails.h"

#include <QFile>
#include <QObject>

#include <algorithm>
#include <sys/stat.h>

namespace folimo {

namespace {

// -1 for a file that is not there: it has no thumbnail to ask for.
long long modificationTime(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return static_cast<long long>(info.st_mtim.tv_sec);
}

QString keyOf(const QString& path, long long mtime) {
    return path + QLatin1Char('\n') + QString::number(mtime);
}

// Runs the window's side of a delivery on the thread it lives on; called by name, since a
// posted functor is a leak to the static analyser.
class ThumbnailRelay : public QObject {
    Q_OBJECT
public:
    explicit ThumbnailRelay(std::function<void()> run) : run_(std::move(run)) {}
public slots:
    void deliver() { run_(); }

private:
    std::function<void()> run_;
};

} // namespace

RowThumbnails::RowThumbnails(Ready onReady, Options options)
    : onReady_(std::move(onReady)), maxWaiting_(std::max<std::size_t>(options.maxWaiting, 1)),
      cache_(std::move(options.cacheRoot)), memory_(options.memoryBytes),
      relay_(std::make_unique<ThumbnailRelay>([this] { deliver(); })) {
    const int workers = std::clamp(options.workers, 1, 8);
    for (int i = 0; i < workers; ++i)
        workers_.emplace_back([this] { work(); });
}

RowThumbnails::~RowThumbnails() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_)
        worker.join();
    // Calls the workers posted and the window has not run yet go with the relay.
    relay_.reset();
}

QImage RowThumbnails::Find(const QString& path, int quarterTurns) {
    const long long mtime = modificationTime(path);
    if (mtime < 0)
        return {};
    QImage image = memory_.Find(path, mtime, quarterTurns);
    if (!image.isNull())
        return image;
    const QString key = keyOf(path, mtime);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (failed_.count(key))
            return {};
        if (asked_.count(key)) {
            // Drawn again while waiting: it is in view now, so it goes first.
            const auto waiting =
                std::find_if(waiting_.begin(), waiting_.end(), [&](const Ask& ask) {
                    return ask.mtime == mtime && ask.path == path;
                });
            if (waiting != waiting_.end()) {
                Ask ask = std::move(*waiting);
                waiting_.erase(waiting);
                waiting_.push_front(std::move(ask));
            }
            return {};
        }
        asked_.insert(key);
        waiting_.push_front({path, mtime});
        if (waiting_.size() > maxWaiting_) {
            asked_.erase(keyOf(waiting_.back().path, waiting_.back().mtime));
            waiting_.pop_back();
        }
    }
    wake_.notify_one();
    return {};
}

std::size_t RowThumbnails::Pending() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return waiting_.size() + std::size_t(busy_);
}

void RowThumbnails::work() {
    for (;;) {
        Ask ask;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            if (stopping_)
                return;
            ask = std::move(waiting_.front());
            waiting_.pop_front();
            ++busy_;
        }
        const QImage image = cache_.Get(ask.path, thumbs::ThumbSize::Normal);
        if (!image.isNull())
            memory_.Insert(ask.path, ask.mtime, image);
        bool post = false;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            --busy_;
            const QString key = keyOf(ask.path, ask.mtime);
            asked_.erase(key);
            if (image.isNull()) {
                failed_.insert(key);
                continue;
            }
            // One call carries every thumbnail made before the window gets to it.
            post = made_.empty();
            made_.push_back(std::move(ask.path));
        }
        if (post)
            QMetaObject::invokeMethod(relay_.get(), "deliver", Qt::QueuedConnection);
    }
}

void RowThumbnails::deliver() {
    std::vector<QString> made;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        made.swap(made_);
    }
    if (!made.empty() && onReady_)
        onReady_(made);
}

} // namespace folimo

#include "RowThumbnails.moc"
