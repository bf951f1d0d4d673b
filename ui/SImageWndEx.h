// The image preview ("imgex"): draws one picture scaled into the control, by default
// never larger than the picture itself. A file is read and scaled on a worker thread, so
// a large photo never holds up the window; only the newest request is ever shown.
#pragma once

#include <QFrame>
#include <QImage>
#include <QPixmap>
#include <QRect>
#include <QSize>
#include <QString>
#include <QTimer>

#include <memory>

namespace folimo::ui {

// How a picture fills the rectangle it is given. Other numbers draw nothing.
enum class PreviewFill { Stretch = 0, None = 1, Tile = 2 };

// The rectangle within `area` that a picture of `content` size is drawn into; an empty
// rectangle when nothing is drawn. Kept apart from painting so that the arithmetic can be
// checked on its own.
QRect previewRect(const QRect& area, const QSize& content, bool keepAspect, bool limitSize);

// Why the last file asked for is not shown.
enum class PreviewFailure { None, Missing, Unreadable, NotAPicture, Damaged, TooLarge };

// A boolean attribute of a layout: "0" and "false" (any case) are off, anything else on.
bool previewAttributeOn(const QString& value);

class SImageWndEx : public QFrame {
    Q_OBJECT
    Q_CLASSINFO("layoutClass", "imgex")
    // Layout attributes are text, as the layouts write them.
    Q_PROPERTY(QString keepAspect READ keepAspectText WRITE setKeepAspectText)
    Q_PROPERTY(QString limitSize READ limitSizeText WRITE setLimitSizeText)
    Q_PROPERTY(int fillMode READ fillMode WRITE setFillMode)
    Q_PROPERTY(bool smooth READ smooth WRITE setSmooth)
    Q_PROPERTY(QString skin READ skinPath WRITE setSkinPath)
    Q_PROPERTY(int frameCount READ frameCount WRITE setFrameCount)
    Q_PROPERTY(int frameIndex READ frameIndex WRITE setFrameIndex)

public:
    explicit SImageWndEx(QWidget* parent = nullptr);
    ~SImageWndEx() override;

    // A picture already in memory, shown at once; a null image clears the control. Any
    // file still being read for it is forgotten.
    void SetImage(const QImage& image);

    // Reads `path` off the GUI thread at the size the control needs and shows it when it
    // is in; imageLoaded() follows either way. A file that cannot be read (a PDF, a
    // damaged or missing file) leaves the picture shown before as it was. A hidden control
    // reads at once too, for the size it is likely to get, and again once shown if that
    // falls short. An empty path clears the control. The picture is shown turned
    // clockwise by `clockwiseDegrees` (0, 90, 180 or 270).
    void SetImagePath(const QString& path, int clockwiseDegrees = 0);

    // The file of the picture shown; empty when none is, or when it came from SetImage.
    QString imagePath() const { return shown_.path; }
    // The file last asked for, shown or not: the one being read, or one that failed.
    QString requestedPath() const { return path_; }
    // The picture's own size (before any scaling for the screen); empty when none.
    QSize contentSize() const;
    // Where the picture is drawn now, in the control's coordinates; empty when nothing is.
    QRect pictureRect() const {
        return previewRect(rect(), contentSize(), keepAspect_, limitSize_);
    }
    // Why the last file read could not be shown; None when it was.
    PreviewFailure failure() const { return failure_; }
    // A requested file is still being read: imageLoaded() is still to come.
    bool isLoading() const { return announce_; }

    QString keepAspectText() const {
        return keepAspect_ ? QStringLiteral("1") : QStringLiteral("0");
    }
    void setKeepAspectText(const QString& value);
    QString limitSizeText() const { return limitSize_ ? QStringLiteral("1") : QStringLiteral("0"); }
    void setLimitSizeText(const QString& value);
    int fillMode() const { return fillMode_; }
    void setFillMode(int mode);
    bool smooth() const { return smooth_; }
    void setSmooth(bool on);

    // The picture drawn when no bitmap is set: one frame of a strip of equal frames laid
    // side by side, read from a file or resource path.
    QString skinPath() const { return skinPath_; }
    void setSkinPath(const QString& path);
    int frameCount() const { return frameCount_; }
    void setFrameCount(int count);
    int frameIndex() const { return frameIndex_; }
    void setFrameIndex(int index);

    // The threads that read files for every preview: how many there are now (at most two).
    static int readingThreads();
    // Ends them, abandoning the reads under way, whose requests are dropped; the
    // application's end calls it. The next request starts them again.
    static void stopReading();

signals:
    // A requested file was read (ok) or could not be (!ok); once for each request. Not
    // sent for requests that a newer one replaced, nor when the control reads a picture
    // again for a larger pane.
    void imageLoaded(const QString& path, bool ok);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private slots:
    // The reading thread's newest result, handed over under the channel's lock.
    void takeResult();

private:
    struct Channel;
    // What a copy of a picture is read for: the file, the pane and how it is drawn there.
    struct ReadFor {
        QString path;
        QSize pane;
        qreal dpr = 1;
        bool keepAspect = true;
        bool limitSize = true;
        bool reduced = true; // false: read at the picture's own size
    };
    QSize paneForReading() const;
    void startLoad(const QString& path);
    bool readFallsShort() const;
    void readAgainIfShort();
    void paneChanged();
    void takeLoad(quint64 request, const QString& path, const QImage& image, QSize natural,
                  PreviewFailure failure);
    QSize skinFrameSize() const;

    bool keepAspect_ = true;
    bool limitSize_ = true;
    int fillMode_ = int(PreviewFill::Stretch);
    int quarterTurns_ = 0; // clockwise, of the picture asked for last
    bool smooth_ = true;

    QPixmap bitmap_;  // what is drawn: the picture, perhaps reduced for the screen
    QSize natural_;   // the picture's own size, which the arithmetic works with
    ReadFor shown_;   // no path when the picture came from SetImage, or there is none
    ReadFor reading_; // while loading_
    QString path_;    // the newest request
    bool loading_ = false;
    bool announce_ = false; // a request's imageLoaded() is still to be sent
    PreviewFailure failure_ = PreviewFailure::None;
    QSize lastShownSize_;
    QTimer reload_;
    quint64 request_ = 0;
    std::shared_ptr<Channel> channel_;

    QString skinPath_;
    QPixmap skin_;
    int frameCount_ = 1;
    int frameIndex_ = 0;
};

} // namespace folimo::ui
