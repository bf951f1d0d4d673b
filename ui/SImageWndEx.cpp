#include "SImageWndEx.h"

#include "UiLoader.h"

#include <Thumbnails.h>
#include <folimo/Owned.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QMimeDatabase>
#include <QPainter>
#include <QScopeGuard>
#include <QScreen>
#include <QTransform>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace folimo::ui {

QRect previewRect(const QRect& area, const QSize& content, bool keepAspect, bool limitSize) {
    const int w = content.width();
    const int h = content.height();
    // A picture without area has nothing to draw, whatever the modes say.
    if (area.isEmpty() || w <= 0 || h <= 0)
        return {};
    const int areaW = area.width();
    const int areaH = area.height();
    const auto centred = [&](int drawnW, int drawnH) {
        return QRect(area.left() + (areaW - drawnW) / 2, area.top() + (areaH - drawnH) / 2, drawnW,
                     drawnH);
    };
    if (!keepAspect) {
        if (limitSize && w <= areaW && h <= areaH)
            return centred(w, h);
        return area;
    }
    // Truncation may bring a hair-thin picture to no width at all; a line of one pixel
    // still shows that there is something there.
    if (limitSize) {
        if (w <= areaW && h <= areaH)
            return centred(w, h);
        const double s = std::max(double(w) / areaW, double(h) / areaH);
        return centred(std::max(1, int(w / s)), std::max(1, int(h / s)));
    }
    const double r = double(w) / h;
    const double q = double(areaW) / areaH;
    if (r < q) {
        const int narrowed = std::max(1, int(areaH * r));
        return QRect(area.left() + (areaW - narrowed) / 2, area.top(), narrowed, areaH);
    }
    const int lowered = std::max(1, int(areaW / r));
    return QRect(area.left(), area.top() + (areaH - lowered) / 2, areaW, lowered);
}

bool previewAttributeOn(const QString& value) {
    const QString text = value.trimmed();
    return text != QLatin1String("0") &&
           text.compare(QLatin1String("false"), Qt::CaseInsensitive) != 0;
}

// What a worker reading a file shares with the control: the newest request, so work for
// older ones stops early, and the control itself for as long as it lives. A result is
// posted to the control under the lock, so the control cannot go between the check and
// the post; once posted, Qt drops the event if the control goes before it is delivered.
namespace {

struct LoadRequest {
    QString path;
    QSize pane; // logical pixels
    qreal dpr = 1;
    bool keepAspect = true;
    bool limitSize = true;
    bool reduce = true;   // false when the picture is drawn at its own size (no stretching)
    int quarterTurns = 0; // clockwise, as the person turned the picture
};

// The pixel size worth decoding: what the picture will cover on screen, never more than
// the picture has.
QSize decodeSize(const LoadRequest& request, QSize natural) {
    if (!request.reduce)
        return natural;
    const QRect drawn =
        previewRect(QRect(QPoint(), request.pane), natural, request.keepAspect, request.limitSize);
    const QSize wanted = (QSizeF(drawn.size()) * request.dpr).toSize().expandedTo(QSize(1, 1));
    if (wanted.width() >= natural.width() || wanted.height() >= natural.height())
        return natural;
    return wanted;
}

// Whether a JPEG goes on to its end marker. Qt's reader decodes a cut-off file with the
// missing part grey and calls that a success, while the conversion refuses the file as
// damaged: the preview must not show a picture that the document will not have. The
// segments are passed over by their lengths, so that the end marker of an embedded
// thumbnail is not taken for the picture's own.
bool jpegReachesItsEnd(QIODevice& device) {
    if (!device.seek(0))
        return false;
    QByteArray chunk;
    qsizetype at = 0;
    const auto refill = [&] {
        chunk = device.read(qint64(1) << 16);
        at = 0;
        return !chunk.isEmpty();
    };
    const auto next = [&]() -> int {
        if (at == chunk.size() && !refill())
            return -1;
        return uchar(chunk.constData()[at++]);
    };
    const auto skip = [&](qint64 count) {
        for (;;) {
            const qint64 here = std::min<qint64>(count, chunk.size() - at);
            at += here;
            count -= here;
            if (count == 0)
                return true;
            if (!refill())
                return false;
        }
    };
    if (next() != 0xFF || next() != 0xD8)
        return false;
    bool scanned = false;
    for (;;) {
        // Scan data, and stray bytes between segments, up to the next marker.
        for (;;) {
            const char* from = chunk.constData() + at;
            const void* mark = std::memchr(from, 0xFF, size_t(chunk.size() - at));
            if (mark) {
                at += static_cast<const char*>(mark) - from + 1;
                break;
            }
            if (!refill())
                return false;
        }
        int marker = next();
        while (marker == 0xFF)
            marker = next();
        if (marker < 0)
            return false;
        if (marker == 0xD9)
            return scanned;
        // A stuffed byte within scan data, restart markers and the other markers
        // without a length.
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8))
            continue;
        const int high = next();
        const int low = next();
        if (low < 0 || (high << 8 | low) < 2 || !skip((high << 8 | low) - 2))
            return false;
        scanned = scanned || marker == 0xDA;
    }
}

using Abandoned = std::function<bool()>;

// A file whose reading fails, so that its decoder gives up, once the picture is no longer
// wanted: a newer request came, the control went or the program is ending. Decoders read
// in small pieces, so even a large photo is left within one of them.
class AbandonableFile : public QFile {
public:
    AbandonableFile(const QString& path, Abandoned abandoned)
        : QFile(path), abandoned_(std::move(abandoned)) {}

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        if (abandoned_()) {
            setErrorString(QStringLiteral("the picture is no longer wanted"));
            return -1;
        }
        return QFile::readData(data, maxSize);
    }

private:
    Abandoned abandoned_;
};

// A pipe or a device rather than a file, read whole as slowly as it answers and no longer
// than it is wanted. It is opened without waiting: opening a pipe waits for a writer,
// who may never come, and could not be given up.
bool readStream(const QString& path, const Abandoned& abandoned, QByteArray* bytes) {
    constexpr qsizetype kMost = qsizetype(64) << 20; // a device may never end
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    const auto closing = qScopeGuard([fd] { ::close(fd); });
    char buffer[1 << 16];
    while (!abandoned()) {
        // A pipe whose writer has not come yet reports nothing rather than its end.
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 50) == 0)
            continue;
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0)
            return true;
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (got < 0 || bytes->size() + got > kMost)
            return false;
        bytes->append(buffer, got);
    }
    return false;
}

// Qt's readers come first: a JPEG is scaled down while it is decoded, which is what makes
// a large photo cheap. The engine's image object reads what Qt here has no plugin for
// (TIFF, multi-page files); it hands the reduced picture back encoded, as PNG.
bool readWithQt(const LoadRequest& request, QIODevice& device, QImage* image, QSize* natural) {
    QImageReader reader(&device);
    reader.setAutoTransform(true);
    const QByteArray format = reader.format(); // known from the content only before reading
    QSize stored = reader.size();
    if (!stored.isValid())
        return false;
    const bool turned = reader.transformation().testFlag(QImageIOHandler::TransformationRotate90);
    *natural = turned ? stored.transposed() : stored;
    const QSize target = decodeSize(request, *natural);
    if (target != *natural)
        reader.setScaledSize(turned ? target.transposed() : target);
    return reader.read(image) && (format != "jpeg" || jpegReachesItsEnd(device));
}

// A picture whose pixels alone take more than this is refused by the engine before it
// decodes anything (its memory for one picture), whatever the file holds after its header.
constexpr std::uint64_t kEngineOnePictureBytes = std::uint64_t(1) << 30;

bool readWithEngine(const LoadRequest& request, const Abandoned& abandoned, QImage* image,
                    QSize* natural) {
    auto picture = folimo::createObject<IXImage>(FOLIMO_IMAGE);
    if (!picture || picture->Load(request.path.toStdWString().c_str()) != 0 || abandoned())
        return false;
    int w = 0;
    int h = 0;
    if (picture->GetSize(&w, &h) != 0 || w <= 0 || h <= 0)
        return false;
    *natural = QSize(w, h);
    const QSize target = decodeSize(request, *natural);
    if (target != *natural)
        picture->SetTargetSize(target.width(), target.height());
    constexpr int kPngEncoder = 2;
    void* data = nullptr;
    const int size = picture->SaveToMemory(&data, kPngEncoder, L"image/png");
    const bool ok =
        size > 0 && data && image->loadFromData(static_cast<const uchar*>(data), size, "PNG");
    if (data)
        picture->FreeMemory(data);
    return ok;
}

// Why a regular file that opens could not be shown: a file that says it is a picture by
// its content but did not decode is damaged, any other is not a picture.
PreviewFailure whyNotShown(const QString& path) {
    if (!QImageReader::imageFormat(path).isEmpty())
        return PreviewFailure::Damaged;
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchContent);
    return type.name().startsWith(QLatin1String("image/")) ? PreviewFailure::Damaged
                                                           : PreviewFailure::NotAPicture;
}

// A PDF shows its first page, drawn for the pane: a page has no pixel size of its own.
PreviewFailure readPdfPage(const LoadRequest& request, QImage* image, QSize* natural) {
    const QSize pane = request.pane.isEmpty() ? QSize(1024, 1024) : request.pane;
    *image = thumbs::RenderPdfPage(request.path, 0, pane * request.dpr);
    if (image->isNull())
        return PreviewFailure::Damaged;
    image->setDevicePixelRatio(1);
    *natural = image->size() / request.dpr;
    return PreviewFailure::None;
}

// A pipe or a device goes to Qt's readers only, from memory: the engine would wait on it
// where the wait cannot be given up.
PreviewFailure readPicture(const LoadRequest& request, const Abandoned& abandoned, QImage* image,
                           QSize* natural) {
    struct stat info {};
    if (::stat(QFile::encodeName(request.path).constData(), &info) != 0)
        return errno == ENOENT ? PreviewFailure::Missing : PreviewFailure::Unreadable;
    if (S_ISDIR(info.st_mode))
        return PreviewFailure::NotAPicture;
    if (!S_ISREG(info.st_mode)) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        if (!readStream(request.path, abandoned, &bytes) || !buffer.open(QIODevice::ReadOnly))
            return PreviewFailure::Unreadable;
        return readWithQt(request, buffer, image, natural) ? PreviewFailure::None
                                                           : PreviewFailure::NotAPicture;
    }
    AbandonableFile file(request.path, abandoned);
    if (!file.open(QIODevice::ReadOnly))
        return PreviewFailure::Unreadable;
    if (file.peek(5) == "%PDF-")
        return readPdfPage(request, image, natural);
    *natural = QSize();
    if (readWithQt(request, file, image, natural) ||
        (!abandoned() && readWithEngine(request, abandoned, image, natural)))
        return PreviewFailure::None;
    if (abandoned())
        return PreviewFailure::Unreadable;
    // The engine read the header and gave the size: a picture beyond its memory was
    // refused for that, not for damage.
    if (natural->isValid() &&
        std::uint64_t(natural->width()) * std::uint64_t(natural->height()) * 4 >
            kEngineOnePictureBytes)
        return PreviewFailure::TooLarge;
    return whyNotShown(request.path);
}

// The threads that read pictures for every preview of the program. Two of them, so that a
// file that answers slowly (a network share) holds up no newer request; no more, however
// fast a list is stepped through, since each preview has at most one request waiting and
// a newer one takes its place. They end with the application, which waits for them: a
// read in progress is abandoned then, so that wait is short.
class ReaderPool {
public:
    using Work = std::function<void(const std::atomic<bool>& stopping)>;
    static constexpr std::size_t kThreads = 2;

    ~ReaderPool() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stopping_ = true;
            waiting_.clear();
        }
        wake_.notify_all();
        for (std::thread& thread : threads_)
            thread.join();
    }

    void post(const void* owner, Work work) {
        std::lock_guard<std::mutex> guard(lock_);
        const auto same = std::find_if(waiting_.begin(), waiting_.end(),
                                       [owner](const auto& job) { return job.first == owner; });
        if (same != waiting_.end())
            same->second = std::move(work);
        else
            waiting_.emplace_back(owner, std::move(work));
        if (waiting_.size() > idle_ && threads_.size() < kThreads)
            threads_.emplace_back([this] { run(); });
        else
            wake_.notify_one();
    }

    void forget(const void* owner) {
        std::lock_guard<std::mutex> guard(lock_);
        std::erase_if(waiting_, [owner](const auto& job) { return job.first == owner; });
    }

    int threads() {
        std::lock_guard<std::mutex> guard(lock_);
        return int(threads_.size());
    }

private:
    void run() {
        for (;;) {
            Work work;
            {
                std::unique_lock<std::mutex> guard(lock_);
                ++idle_;
                wake_.wait(guard, [this] { return stopping_ || !waiting_.empty(); });
                --idle_;
                if (stopping_)
                    return;
                work = std::move(waiting_.front().second);
                waiting_.pop_front();
            }
            work(stopping_);
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::pair<const void*, Work>> waiting_;
    std::vector<std::thread> threads_;
    std::size_t idle_ = 0;
    std::atomic<bool> stopping_{false};
};

// Made by the first request and ended with the application; used on the GUI thread only.
ReaderPool* readerPool = nullptr;

ReaderPool& readers() {
    if (!readerPool) {
        readerPool = new ReaderPool;
        static const bool endsWithTheApplication =
            (qAddPostRoutine(&SImageWndEx::stopReading), true);
        Q_UNUSED(endsWithTheApplication);
    }
    return *readerPool;
}

} // namespace

// What passes between the control and the threads that read its pictures, under one
// mutex of ours: Qt's own hand-overs are invisible to the thread sanitizer. The channel
// outlives the control for a read still under way when it goes.
struct SImageWndEx::Channel {
    std::mutex lock;
    SImageWndEx* owner = nullptr; // null once the control is gone
    std::atomic<quint64> latest{0};
    struct Result {
        quint64 id;
        QString path;
        QImage image;
        QSize natural;
        PreviewFailure failure;
    };
    std::optional<Result> result;

    void load(quint64 id, const LoadRequest& request, const std::atomic<bool>& stopping) {
        const Abandoned abandoned = [&] { return latest != id || stopping; };
        if (abandoned())
            return;
        QImage image;
        QSize natural;
        // A picture on its side is read for the pane on its side, then turned.
        LoadRequest upright = request;
        const bool sideways = request.quarterTurns % 2 != 0;
        if (sideways)
            upright.pane.transpose();
        const PreviewFailure failure = readPicture(upright, abandoned, &image, &natural);
        if (failure != PreviewFailure::None) {
            image = {};
            natural = {};
        } else if (request.quarterTurns != 0) {
            image = image.transformed(QTransform().rotate(90.0 * request.quarterTurns));
            if (sideways)
                natural.transpose();
        }
        std::lock_guard<std::mutex> guard(lock);
        // A read given up half-way is no result, not even a failure.
        if (!owner || abandoned())
            return;
        result = Result{id, request.path, std::move(image), natural, failure};
        // By name: the call carries nothing, the result waits here under our lock.
        QMetaObject::invokeMethod(owner, "takeResult", Qt::QueuedConnection);
    }
};

SImageWndEx::SImageWndEx(QWidget* parent) : QFrame(parent), channel_(std::make_shared<Channel>()) {
    channel_->owner = this;
    setProperty("folimoClass", layoutClassName(staticMetaObject));
    // It shows and takes nothing, so the keyboard passes it by; readers still name it.
    setFocusPolicy(Qt::NoFocus);
    setAccessibleName(QCoreApplication::translate("SImageWndEx", "图片预览"));
    reload_.setSingleShot(true);
    reload_.setInterval(150);
    connect(&reload_, &QTimer::timeout, this, &SImageWndEx::readAgainIfShort);
}

// Nothing is waited for: a read under way is abandoned and ends on its own.
SImageWndEx::~SImageWndEx() {
    {
        std::lock_guard<std::mutex> guard(channel_->lock);
        channel_->owner = nullptr;
        channel_->latest = 0;
    }
    if (readerPool)
        readerPool->forget(channel_.get());
}

int SImageWndEx::readingThreads() {
    return readerPool ? readerPool->threads() : 0;
}

void SImageWndEx::stopReading() {
    delete std::exchange(readerPool, nullptr);
}

void SImageWndEx::SetImage(const QImage& image) {
    channel_->latest = ++request_;
    reload_.stop();
    announce_ = false;
    loading_ = false;
    failure_ = PreviewFailure::None;
    path_.clear();
    shown_ = {};
    natural_ = image.size();
    bitmap_ = QPixmap::fromImage(image);
    setAccessibleDescription({});
    update();
}

void SImageWndEx::SetImagePath(const QString& path, int clockwiseDegrees) {
    channel_->latest = ++request_;
    quarterTurns_ = ((clockwiseDegrees / 90) % 4 + 4) % 4;
    reload_.stop();
    path_ = path;
    // The picture shown stays until the new one is in, so that stepping through a list
    // does not flash an empty pane between pictures.
    if (path.isEmpty()) {
        announce_ = false;
        loading_ = false;
        bitmap_ = {};
        natural_ = {};
        shown_ = {};
        setAccessibleDescription({});
        update();
        return;
    }
    announce_ = true;
    startLoad(path);
}

QSize SImageWndEx::contentSize() const {
    if (!bitmap_.isNull())
        return natural_;
    if (!skin_.isNull())
        return skinFrameSize();
    return {};
}

// A control that is not on screen (hidden, or not laid out yet) has no size worth reading
// for, and may be waiting for this very picture before it is shown. The size it had when
// last on screen stands in, else its parent's, which it will not outgrow; once it is
// shown, a copy too small for it is read again.
QSize SImageWndEx::paneForReading() const {
    if (isVisible() && !rect().isEmpty())
        return size();
    const QWidget* parent = parentWidget();
    for (const QSize pane : {lastShownSize_, parent ? parent->size() : QSize(), size()})
        if (!pane.isEmpty())
            return pane;
    const QScreen* on = screen();
    return on ? on->availableSize() : QSize(1024, 768);
}

void SImageWndEx::startLoad(const QString& path) {
    reading_ = ReadFor{path,        paneForReading(), devicePixelRatioF(),
                       keepAspect_, limitSize_,       fillMode_ == int(PreviewFill::Stretch)};
    loading_ = true;
    const LoadRequest request{path,
                              reading_.pane,
                              reading_.dpr,
                              reading_.keepAspect,
                              reading_.limitSize,
                              reading_.reduced,
                              quarterTurns_};
    const quint64 id = ++request_;
    channel_->latest = id;
    readers().post(channel_.get(),
                   [channel = channel_, id, request](const std::atomic<bool>& stopping) {
                       channel->load(id, request, stopping);
                   });
}

// Whether the copy being read, or the one shown, has fewer pixels than the pane now
// shows of the picture: the control was shown, grew or changed how it draws after the
// read. Only a copy read for a different pane is read again, so that no rounding can
// make a picture read itself over and over.
bool SImageWndEx::readFallsShort() const {
    if (!isVisible() || rect().isEmpty())
        return false;
    const bool stretch = fillMode_ == int(PreviewFill::Stretch);
    const auto grew = [&](const ReadFor& read) {
        return read.pane.width() < width() || read.pane.height() < height() ||
               read.dpr < devicePixelRatioF() || read.keepAspect != keepAspect_ ||
               read.limitSize != limitSize_;
    };
    if (loading_)
        return reading_.reduced && (!stretch || grew(reading_));
    if (shown_.path.isEmpty() || !shown_.reduced || bitmap_.width() >= natural_.width())
        return false;
    if (!stretch)
        return true;
    const QSize needed = (QSizeF(pictureRect().size()) * devicePixelRatioF()).toSize();
    return grew(shown_) && (needed.width() > bitmap_.width() || needed.height() > bitmap_.height());
}

// A read again does not announce itself: imageLoaded() answers requests, and is sent
// once for each, when the read that was restarted for a larger pane is in.
void SImageWndEx::readAgainIfShort() {
    if (readFallsShort())
        startLoad(loading_ ? reading_.path : shown_.path);
}

void SImageWndEx::paneChanged() {
    if (isVisible() && !rect().isEmpty())
        lastShownSize_ = size();
    // Once the resizing settles.
    if (readFallsShort())
        reload_.start();
}

void SImageWndEx::takeResult() {
    std::optional<Channel::Result> result;
    {
        std::lock_guard<std::mutex> guard(channel_->lock);
        result.swap(channel_->result);
    }
    if (result)
        takeLoad(result->id, result->path, result->image, result->natural, result->failure);
}

void SImageWndEx::takeLoad(quint64 request, const QString& path, const QImage& image, QSize natural,
                           PreviewFailure failure) {
    if (request != request_)
        return;
    loading_ = false;
    failure_ = failure;
    // A file that cannot be read (a PDF in the list, a damaged photo) leaves the pane as
    // it was: stepping through a list should not blank the picture between good files.
    const bool ok = !image.isNull();
    if (ok) {
        natural_ = natural;
        bitmap_ = QPixmap::fromImage(image);
        // Its logical size is the picture's own, so drawing at natural size or tiling
        // works the same whether the decoded copy was reduced or not.
        if (natural.width() > 0)
            bitmap_.setDevicePixelRatio(qreal(bitmap_.width()) / natural.width());
        shown_ = reading_;
        setAccessibleDescription(QFileInfo(path).fileName());
        update();
    }
    paneChanged();
    if (std::exchange(announce_, false))
        emit imageLoaded(path, ok);
}

void SImageWndEx::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    paneChanged();
}

void SImageWndEx::showEvent(QShowEvent* event) {
    QFrame::showEvent(event);
    paneChanged();
}

void SImageWndEx::setKeepAspectText(const QString& value) {
    keepAspect_ = previewAttributeOn(value);
    paneChanged();
    update();
}

void SImageWndEx::setLimitSizeText(const QString& value) {
    limitSize_ = previewAttributeOn(value);
    paneChanged();
    update();
}

void SImageWndEx::setFillMode(int mode) {
    fillMode_ = mode;
    // A copy reduced for stretching would show blurred at the picture's own size.
    readAgainIfShort();
    update();
}

void SImageWndEx::setSmooth(bool on) {
    smooth_ = on;
    update();
}

void SImageWndEx::setSkinPath(const QString& path) {
    skinPath_ = path;
    skin_ = path.isEmpty() ? QPixmap() : QPixmap(path);
    update();
}

void SImageWndEx::setFrameCount(int count) {
    frameCount_ = std::max(1, count);
    update();
}

void SImageWndEx::setFrameIndex(int index) {
    frameIndex_ = index;
    update();
}

QSize SImageWndEx::skinFrameSize() const {
    return QSize(skin_.width() / frameCount_, skin_.height());
}

void SImageWndEx::paintEvent(QPaintEvent*) {
    const QRect target = pictureRect();
    if (target.isEmpty())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, smooth_);
    if (!bitmap_.isNull()) {
        switch (PreviewFill(fillMode_)) {
        case PreviewFill::Stretch:
            painter.drawPixmap(target, bitmap_);
            break;
        case PreviewFill::None:
            painter.setClipRect(target);
            painter.drawPixmap(target.topLeft(), bitmap_);
            break;
        case PreviewFill::Tile:
            painter.drawTiledPixmap(target, bitmap_);
            break;
        default:
            break;
        }
        return;
    }
    if (frameIndex_ < 0 || frameIndex_ >= frameCount_)
        return;
    const QSize frame = skinFrameSize();
    painter.drawPixmap(target, skin_, QRect(QPoint(frame.width() * frameIndex_, 0), frame));
}

} // namespace folimo::ui
