// Thumbnails, page counts and first pages for the rows of the file list, made on worker
// threads without any window. Thumbnails are shared with the file managers through the
// desktop's thumbnail cache ($XDG_CACHE_HOME/thumbnails), so a folder browsed there
// before opens here without decoding, and ours serve them in return.
//
// Every function here may be called from several threads at once, in a program whose
// main thread holds the QCoreApplication: Qt's image plugins belong to that thread, and
// without one to the first worker, whose freed thread data they write to at exit.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <unordered_map>

namespace folimo::thumbs {

// The two sizes of the shared cache: the longer side in pixels, and the folder's name.
enum class ThumbSize { Normal = 128, Large = 256 };

// Pictures whose header claims more pixels than this are refused before anything is
// allocated for them: a small file can claim a picture that would take the worker's memory.
constexpr std::int64_t kMaxPixels = 100'000'000;

// Page count for a file that cannot be read: missing, broken, or a PDF that needs a
// password to open.
constexpr int kUnknownPages = -1;

// The file's absolute file:// URI, percent-encoded as the cache's readers expect
// (spaces as %20, UTF-8 bytes of other names as %XX).
QByteArray FileUri(const QString& path);

// Pages of a multi-page TIFF or of a PDF, 1 for other pictures Qt reads, kUnknownPages
// otherwise.
int PageCount(const QString& path);

// Page `page` (from 0) of a PDF, rendered to fit `fit` with its proportions kept; null
// when the file or page cannot be read. What the preview shows for a PDF row.
QImage RenderPdfPage(const QString& path, int page, QSize fit);

// A thumbnail of the file whose longer side is at most `edge` pixels (never enlarged),
// turned as the picture is shown, without the cache. Null with `error` set when the file
// cannot be thumbnailed.
QImage MakeThumbnail(const QString& path, int edge, QString* error = nullptr);

// The desktop's shared thumbnail cache under `root` (normally DefaultRoot()).
class ThumbnailCache {
public:
    explicit ThumbnailCache(QString root);

    // $XDG_CACHE_HOME/thumbnails, or ~/.cache/thumbnails when XDG_CACHE_HOME is unset.
    static QString DefaultRoot();

    // Where the file's thumbnail of this size is kept, and its failure entry.
    QString PathFor(const QString& file, ThumbSize size) const;
    QString FailurePathFor(const QString& file) const;

    // The file's thumbnail: the cached one when it belongs to the file as it is now,
    // otherwise one made now and stored. Null when the file cannot be thumbnailed, which
    // is recorded so that it is not tried again until the file changes.
    QImage Get(const QString& file, ThumbSize size);

private:
    QString root_;
};

// Decoded thumbnails kept in memory for the rows, least recently used first to go when
// their bytes pass the budget. An entry belongs to a path at one modification time; rows
// turned by quarter turns get a turned copy of the unturned image.
class ThumbnailMemory {
public:
    explicit ThumbnailMemory(std::size_t budgetBytes = 64u << 20);

    // The image turned clockwise by `quarterTurns` × 90°; null when the unturned one is
    // not kept.
    QImage Find(const QString& path, std::int64_t mtime, int quarterTurns);
    // Keeps the unturned image.
    void Insert(const QString& path, std::int64_t mtime, const QImage& unturned);
    std::size_t Bytes() const;
    std::size_t Count() const;

private:
    struct Entry {
        QString key;
        QImage image;
    };
    void insertLocked(const QString& key, const QImage& image);

    std::size_t budget_;
    std::size_t bytes_ = 0;
    mutable std::mutex mutex_;
    std::list<Entry> order_; // most recently used first
    std::unordered_map<QString, std::list<Entry>::iterator> index_;
};

} // namespace folimo::thumbs
