// The image preview as the window shows it: where a picture lands in the pane, pictures
// read from files without holding up the window, and the file type icons of the list.
#include "FileIconSource.h"
#include "ProgramControls.h"
#include "UiLoader.h"

#include <folimo/Owned.h>

#include <QBuffer>
#include <QElapsedTimer>
#include <QLabel>
#include <QPainter>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace folimo::ui;

namespace {

// Left half red, right half blue: where each half lands shows how the picture was drawn.
QImage halves(QSize size) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QPainter(&image).fillRect(QRect(0, 0, size.width() / 2, size.height()), Qt::red);
    return image;
}

// What the control shows at "x,y x,y ..." (its own pixels at any screen scale), as
// "x,y=c ..." with c red, blue, white or '?'.
QString seen(QWidget& control, const QString& points) {
    const QImage grab = control.grab().toImage();
    QStringList words;
    for (const QString& point : points.split(' ')) {
        const QStringList xy = point.split(',');
        const QPointF at = QPointF(xy[0].toInt(), xy[1].toInt()) * grab.devicePixelRatio();
        const QColor c = grab.pixelColor(at.toPoint());
        const char name = c.red() > 200 && c.green() < 60 && c.blue() < 60     ? 'r'
                          : c.blue() > 200 && c.red() < 60 && c.green() < 60   ? 'b'
                          : c.red() > 200 && c.green() > 200 && c.blue() > 200 ? 'w'
                                                                               : '?';
        words << point + '=' + name;
    }
    return words.join(' ');
}

int threadsNow() {
    return QDir(QStringLiteral("/proc/self/task"))
        .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
        .size();
}

} // namespace

class PreviewTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { registerProgramControls(); }
    void init();
    void cleanup() { pane_.reset(); }
    void rectanglesAndAttributes();
    void layoutAttributesReachTheControl();
    void paintsThePictureIntoItsRectangle_data();
    void paintsThePictureIntoItsRectangle();
    void readsFilesWithoutHoldingUpTheWindow_data();
    void readsFilesWithoutHoldingUpTheWindow();
    void failedReadKeepsThePictureShown_data();
    void failedReadKeepsThePictureShown();
    void slowFileHoldsNothingUpAndOnlyTheNewestShows();
    void quickStepsShowTheNewestOnTwoThreadsAtMost();
    void endingMidReadIsQuickAndSafe_data();
    void endingMidReadIsQuickAndSafe();
    void hiddenControlReadsAtOnce_data();
    void hiddenControlReadsAtOnce();
    void fileIconsByType();

private:
    QString write(const QString& name, const QImage& image, int engineEncoder = 0);
    QString pipe(const QString& name);

    QTemporaryDir dir_;
    std::unique_ptr<SImageWndEx> pane_;
};

void PreviewTest::init() {
    pane_ = std::make_unique<SImageWndEx>();
    QPalette palette = pane_->palette();
    palette.setColor(QPalette::Window, Qt::white);
    pane_->setPalette(palette);
    pane_->setAutoFillBackground(true);
    pane_->resize(400, 400);
    pane_->show();
    QVERIFY(QTest::qWaitForWindowExposed(pane_.get()));
}

// Written by Qt, or with an encoder number by the engine (Qt here writes no GIF or TIFF).
QString PreviewTest::write(const QString& name, const QImage& image, int engineEncoder) {
    const QString path = dir_.filePath(name);
    if (engineEncoder == 0)
        return image.save(path) ? path : QString();
    const QString png = path + ".png";
    auto engine = folimo::createObject<IXImage>(FOLIMO_IMAGE);
    void* data = nullptr;
    QFile file(path);
    if (!image.save(png) || engine->Load(png.toStdWString().c_str()) != 0 ||
        !file.open(QIODevice::WriteOnly))
        return {};
    file.write(static_cast<const char*>(data), engine->SaveToMemory(&data, engineEncoder, nullptr));
    engine->FreeMemory(data);
    return path;
}

// A named pipe stands for a file that answers slowly: reading it waits for a writer.
QString PreviewTest::pipe(const QString& name) {
    const QString path = dir_.filePath(name);
    return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0 ? path : QString();
}

void PreviewTest::rectanglesAndAttributes() {
    const QRect pane(0, 0, 400, 400);
    const struct {
        QRect area;
        QSize picture;
        bool keepAspect, limitSize;
        QRect drawn;
    } rows[] = {
        {pane, {4000, 3000}, true, true, {0, 50, 400, 300}},
        {pane, {100, 50}, true, true, {150, 175, 100, 50}}, // never enlarged
        {pane, {100, 50}, true, false, {0, 100, 400, 200}},
        {pane, {50, 100}, true, false, {100, 0, 200, 400}},
        {{10, 20, 400, 400}, {4000, 3000}, true, true, {10, 70, 400, 300}},
        {{0, 0, 401, 400}, {4000, 3000}, true, true, {0, 50, 401, 300}},
        {pane, {1, 10000}, true, true, {199, 0, 1, 400}}, // thin, yet seen
        {pane, {100, 50}, false, true, {150, 175, 100, 50}},
        {pane, {4000, 3000}, false, true, pane},
        {pane, {100, 50}, false, false, pane},
        {{0, 0, 0, 400}, {100, 50}, true, true, {}},
        {{0, 0, 400, 0}, {100, 50}, false, false, {}},
        {pane, {0, 300}, true, true, {}},
        {pane, {0, 0}, false, false, {}},
    };
    for (const auto& row : rows) {
        const QRect got = previewRect(row.area, row.picture, row.keepAspect, row.limitSize);
        QCOMPARE(got.isEmpty() ? QRect() : got, row.drawn);
    }
    for (const char* off : {"0", "false", "FALSE", " False "})
        QVERIFY2(!previewAttributeOn(off), off);
    for (const char* on : {"1", "true", "yes", "2", "", "00", "falsey"})
        QVERIFY2(previewAttributeOn(on), on);
}

void PreviewTest::layoutAttributesReachTheControl() {
    QByteArray layout = R"(<ui version="4.0"><widget class="QWidget" name="T">
 <widget class="imgex" name="img_preview">
  <property name="geometry"><rect><x>0</x><y>0</y><width>400</width><height>400</height></rect></property>
  <property name="keepAspect" stdset="0"><string>1</string></property>
  <property name="limitSize" stdset="0"><string>FALSE</string></property>
 </widget></widget></ui>)";
    QBuffer device(&layout);
    UiLoader loader;
    std::unique_ptr<QWidget> root(loader.loadLayout(&device));
    QVERIFY2(root, qPrintable(loader.error()));
    auto* preview = root->findChild<SImageWndEx*>(QStringLiteral("img_preview"));
    QVERIFY(preview);
    QCOMPARE(preview->property("folimoClass").toString(), QStringLiteral("imgex"));
    QVERIFY(!preview->accessibleName().isEmpty());
    preview->SetImage(halves(QSize(100, 50)));
    QCOMPARE(preview->pictureRect(), QRect(0, 100, 400, 200));
}

void PreviewTest::paintsThePictureIntoItsRectangle_data() {
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QString>("keepAspect");
    QTest::addColumn<QString>("limitSize");
    QTest::addColumn<int>("fill");
    QTest::addColumn<QString>("seen"); // at the rectangle's edges and just outside them
    QTest::newRow("small, centred") << QSize(100, 50) << "1"
                                    << "1" << 0
                                    << "149,200=w 151,200=r 248,200=b 250,200=w 200,174=w "
                                       "210,176=b 200,226=w";
    QTest::newRow("photo, shrunk") << QSize(4000, 3000) << "1"
                                   << "1" << 0 << "200,48=w 100,52=r 300,52=b 300,347=b 200,351=w";
    QTest::newRow("small, band") << QSize(100, 50) << "1"
                                 << "FALSE" << 0
                                 << "200,98=w 100,102=r 300,102=b 300,297=b 200,301=w";
    QTest::newRow("own size, cut") << QSize(4000, 3000) << "1"
                                   << "1" << 1 << "200,48=w 100,52=r 300,52=r 300,347=r 200,351=w";
    QTest::newRow("tiled") << QSize(100, 50) << "false"
                           << "0" << 2 << "25,25=r 75,25=b 125,375=r 375,375=b";
    QTest::newRow("unknown fill") << QSize(100, 50) << "1"
                                  << "1" << 7 << "151,200=w 248,200=w";
}

void PreviewTest::paintsThePictureIntoItsRectangle() {
    QFETCH(QSize, picture);
    QFETCH(QString, keepAspect);
    QFETCH(QString, limitSize);
    QFETCH(int, fill);
    QFETCH(QString, seen);
    pane_->setKeepAspectText(keepAspect);
    pane_->setLimitSizeText(limitSize);
    pane_->setFillMode(fill);
    pane_->SetImage(halves(picture));
    QCOMPARE(::seen(*pane_, QString(seen).remove(QRegularExpression("=[a-z?]"))), seen);
}

void PreviewTest::readsFilesWithoutHoldingUpTheWindow_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("engineEncoder");
    QTest::addColumn<QString>("seen");
    const QString fitted = "200,48=w 100,52=r 300,347=b 200,351=w";
    QTest::newRow("big photo") << "big photo.jpg" << QSize(4000, 3000) << 0 << fitted;
    QTest::newRow("png") << "k.png" << QSize(800, 600) << 0 << fitted;
    QTest::newRow("gif") << "k.gif" << QSize(800, 600) << 3 << fitted;
    QTest::newRow("tiff, read by the engine") << "k.tif" << QSize(800, 600) << 4 << fitted;
    QTest::newRow("not a picture, the picture before stays")
        << "junk.jpg" << QSize() << 0 << "200,200=b 194,200=w";
}

void PreviewTest::readsFilesWithoutHoldingUpTheWindow() {
    QFETCH(QString, name);
    QFETCH(QSize, size);
    QFETCH(int, engineEncoder);
    QFETCH(QString, seen);
    QString path = dir_.filePath(name);
    if (size.isValid())
        path = write(name, halves(size), engineEncoder);
    else if (QFile junk(path); junk.open(QIODevice::WriteOnly))
        junk.write("no picture");
    QVERIFY(!path.isEmpty());
    pane_->SetImage(halves(QSize(10, 10)));
    QSignalSpy loaded(pane_.get(), &SImageWndEx::imageLoaded);
    QElapsedTimer clock;
    clock.start();
    pane_->SetImagePath(path);
    QVERIFY2(clock.elapsed() < 100, "asking for a picture waited for it");
    QVERIFY(pane_->isLoading());
    QTRY_COMPARE_WITH_TIMEOUT(loaded.size(), 1, 20000);
    QCOMPARE(loaded[0], QVariantList({path, size.isValid()}));
    QCOMPARE(pane_->contentSize(), size.isValid() ? size : QSize(10, 10));
    QCOMPARE(::seen(*pane_, QString(seen).remove(QRegularExpression("=[a-z?]"))), seen);
}

void PreviewTest::failedReadKeepsThePictureShown_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes"); // the content; none: no such file; "/": a folder
    QTest::addColumn<int>("why");          // a PreviewFailure
    const QString sample = QStringLiteral(FOLIMO_SOURCE_DIR "/samples/");
    QFile pdf(sample + "04-document.pdf");
    QFile jpeg(sample + "01-plasma.jpg");
    QVERIFY(pdf.open(QIODevice::ReadOnly) && jpeg.open(QIODevice::ReadOnly));
    const QByteArray photo = jpeg.readAll();
    // A PDF shows its first page; one whose pages cannot be read is damaged.
    QTest::newRow("broken pdf") << "document.pdf" << pdf.read(600) << int(PreviewFailure::Damaged);
    QTest::newRow("cut-off jpeg") << "cut.jpg" << photo.left(photo.size() * 6 / 10)
                                  << int(PreviewFailure::Damaged);
    QTest::newRow("jpeg without its end")
        << "end.jpg" << photo.chopped(2) << int(PreviewFailure::Damaged);
    QTest::newRow("missing file") << "gone.png" << QByteArray() << int(PreviewFailure::Missing);
    // A PNG by its signature, broken after it.
    QTest::newRow("not a picture")
        << "junk.png" << QByteArray("\x89PNG junk") << int(PreviewFailure::Damaged);
    QTest::newRow("text") << "notes.png" << QByteArray("just some words\n")
                          << int(PreviewFailure::NotAPicture);
    QTest::newRow("a folder") << "folder.jpg" << QByteArray("/")
                              << int(PreviewFailure::NotAPicture);
    // A BMP that claims 20000 x 19000 pixels and ends at once: 1.5 GB of pixels to draw,
    // which is refused for its size, never decoded.
    QByteArray bomb("BM");
    const auto le = [&bomb](quint32 value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            bomb.append(char(value >> (8 * i)));
    };
    le(14 + 40 + 8 + 2, 4), le(0, 4), le(14 + 40 + 8, 4);
    le(40, 4), le(20000, 4), le(19000, 4), le(1, 2), le(8, 2), le(1, 4), le(2, 4);
    le(2835, 4), le(2835, 4), le(2, 4), le(0, 4);
    le(0, 4), le(0x00ffffff, 4), bomb.append("\x00\x01", 2);
    QTest::newRow("too large") << "huge.bmp" << bomb << int(PreviewFailure::TooLarge);
}

// The list's rows are stepped through one by one: a row that cannot be shown leaves the
// picture before it, whole, and tells why, for the window to say instead of the picture.
void PreviewTest::failedReadKeepsThePictureShown() {
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(int, why);
    const QString good = write(QStringLiteral("good.jpg"), halves(QSize(800, 600)));
    const QString bad = dir_.filePath(name);
    if (bytes == "/")
        QVERIFY(QDir(dir_.path()).mkpath(name));
    else if (QFile file(bad); !bytes.isEmpty())
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    QSignalSpy loaded(pane_.get(), &SImageWndEx::imageLoaded);
    pane_->SetImagePath(good);
    QTRY_COMPARE_WITH_TIMEOUT(loaded.size(), 1, 20000);
    const QString fitted = "200,48=w 100,52=r 300,347=b 200,351=w";
    QCOMPARE(::seen(*pane_, QString(fitted).remove(QRegularExpression("=[a-z?]"))), fitted);

    pane_->SetImagePath(bad);
    QTRY_COMPARE_WITH_TIMEOUT(loaded.size(), 2, 20000);
    QCOMPARE(loaded[1], QVariantList({bad, false}));
    QCOMPARE(int(pane_->failure()), why);
    QVERIFY(!pane_->isLoading());
    QCOMPARE(pane_->contentSize(), QSize(800, 600));
    QCOMPARE(pane_->accessibleDescription(), QStringLiteral("good.jpg"));
    QCOMPARE(pane_->imagePath(), good);
    QCOMPARE(pane_->requestedPath(), bad);
    QCOMPARE(::seen(*pane_, QString(fitted).remove(QRegularExpression("=[a-z?]"))), fitted);

    // An empty path and an empty image still clear the pane.
    for (const bool byPath : {true, false}) {
        pane_->SetImage(halves(QSize(100, 50)));
        byPath ? pane_->SetImagePath({}) : pane_->SetImage({});
        QCOMPARE(pane_->contentSize(), QSize());
        QCOMPARE(pane_->imagePath(), QString());
        QCOMPARE(pane_->accessibleDescription(), QString());
        QCOMPARE(::seen(*pane_, "200,200"), QStringLiteral("200,200=w"));
    }
    QTest::qWait(50);
    QCOMPARE(loaded.size(), 2);
}

// A named pipe stands for a file on a share that answers slowly: reading it waits until
// the test writes into it.
void PreviewTest::slowFileHoldsNothingUpAndOnlyTheNewestShows() {
    const QByteArray pipe = QFile::encodeName(this->pipe(QStringLiteral("slow.png")));
    QVERIFY(!pipe.isEmpty());
    const QString quick = write(QStringLiteral("quick.png"), halves(QSize(100, 50)));
    QSignalSpy loaded(pane_.get(), &SImageWndEx::imageLoaded);
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    pane_->SetImagePath(QFile::decodeName(pipe));
    QTest::qWait(300);
    QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks))); // the window kept running
    QVERIFY(pane_->isLoading());
    pane_->SetImagePath(quick);
    QTRY_COMPARE_WITH_TIMEOUT(loaded.size(), 1, 10000);

    // The slow file comes in after the request that replaced it: it is not shown.
    QByteArray bytes;
    QBuffer buffer(&bytes);
    QVERIFY(buffer.open(QIODevice::WriteOnly) && halves(QSize(60, 60)).save(&buffer, "PNG"));
    // Opened for both ways: the preview may have given up the pipe and no longer waits
    // at its other end.
    const int fd = ::open(pipe.constData(), O_RDWR);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
    ::close(fd);
    QTest::qWait(300);
    QCOMPARE(loaded.size(), 1);
    QCOMPARE(pane_->imagePath(), quick);
    QCOMPARE(pane_->contentSize(), QSize(100, 50));
}

// Stepping through a list quickly, among files that answer slowly: only the newest is
// read to the end and shown, and no more than two threads ever read.
void PreviewTest::quickStepsShowTheNewestOnTwoThreadsAtMost() {
    QStringList paths;
    for (int i = 0; i < 40; ++i)
        paths << (i % 8 == 7 ? write(QStringLiteral("%1.png").arg(i), halves(QSize(300, 200)))
                             : pipe(QStringLiteral("%1.jpg").arg(i)));
    paths << write(QStringLiteral("last.png"), halves(QSize(100, 50)));
    QVERIFY(!paths.contains(QString()));
    QSignalSpy loaded(pane_.get(), &SImageWndEx::imageLoaded);
    const int others = threadsNow() - SImageWndEx::readingThreads();
    int most = 0;
    for (const QString& path : paths) {
        pane_->SetImagePath(path);
        most = std::max(most, threadsNow());
    }
    QTRY_COMPARE_WITH_TIMEOUT(loaded.size(), 1, 20000);
    QCOMPARE(loaded[0], QVariantList({paths.last(), true}));
    QVERIFY2(most <= others + 2, qPrintable(QString("%1 threads beside %2").arg(most).arg(others)));
    QVERIFY(SImageWndEx::readingThreads() <= 2);
    QCOMPARE(pane_->contentSize(), QSize(100, 50));
    QTest::qWait(200);
    QCOMPARE(loaded.size(), 1);
}

void PreviewTest::endingMidReadIsQuickAndSafe_data() {
    QTest::addColumn<bool>("slowFile");   // a pipe nobody writes, else a large photo
    QTest::addColumn<bool>("allReaders"); // the program ending, else one control
    QTest::newRow("control, slow file") << true << false;
    QTest::newRow("control, large photo") << false << false;
    QTest::newRow("program end, slow file") << true << true;
    QTest::newRow("program end, large photo") << false << true;
}

// A control that goes, or a program that ends, in the middle of a read waits for
// nothing long, and nothing of the read arrives after.
void PreviewTest::endingMidReadIsQuickAndSafe() {
    QFETCH(bool, slowFile);
    QFETCH(bool, allReaders);
    const QString name = QString::fromLatin1(QTest::currentDataTag()) + ".jpg";
    const QString path = slowFile ? pipe(name) : write(name, halves(QSize(6000, 4000)));
    QVERIFY(!path.isEmpty());
    auto control = std::make_unique<SImageWndEx>();
    control->setFillMode(int(PreviewFill::None)); // every pixel read
    control->resize(400, 400);
    control->show();
    const int others = threadsNow() - SImageWndEx::readingThreads();
    QSignalSpy loaded(control.get(), &SImageWndEx::imageLoaded);
    control->SetImagePath(path);
    QTest::qWait(30);
    QElapsedTimer clock;
    clock.start();
    allReaders ? SImageWndEx::stopReading() : control.reset();
    // The control waits for nothing; the program's end for what is left of one decoding
    // at most, since a decoder whose file stops still finishes its picture, in grey.
    QVERIFY2(clock.elapsed() < (allReaders ? 3000 : 250),
             qPrintable(QString::number(clock.elapsed())));
    if (allReaders)
        QVERIFY(threadsNow() <= others);
    QTest::qWait(300);
    QVERIFY(loaded.isEmpty());

    // The readers are there for the next request, however the last one ended.
    QSignalSpy next(pane_.get(), &SImageWndEx::imageLoaded);
    pane_->SetImagePath(write(QStringLiteral("next.png"), halves(QSize(100, 50))));
    QTRY_COMPARE_WITH_TIMEOUT(next.size(), 1, 20000);
    QCOMPARE(next[0][1], QVariant(true));
    QVERIFY(threadsNow() <= others + 2);
}

void PreviewTest::hiddenControlReadsAtOnce_data() {
    QTest::addColumn<QSize>("window"); // none: the control stands alone, without a size
    QTest::newRow("alone, no size yet") << QSize();
    QTest::newRow("in its window") << QSize(800, 800);
    QTest::newRow("in a small window that grows") << QSize(100, 100);
}

// The main window shows its preview only once the first picture is in: the read cannot
// wait for the control to be shown, and what is read then is sharp once it is.
void PreviewTest::hiddenControlReadsAtOnce() {
    QFETCH(QSize, window);
    constexpr int kStripes = 80; // 50 pixels each, red and blue in turn
    QImage picture(4000, 3000, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    for (int x = 0; x < picture.width(); x += 100)
        QPainter(&picture).fillRect(x, 0, 50, picture.height(), Qt::red);
    const QString path = write(QStringLiteral("stripes.png"), picture);
    QWidget frame;
    auto* placeholder = new QLabel(QStringLiteral("no picture"), &frame);
    auto* control = new SImageWndEx(window.isValid() ? &frame : nullptr);
    std::unique_ptr<SImageWndEx> alone(window.isValid() ? nullptr : control);
    (new QVBoxLayout(&frame))->addWidget(placeholder);
    if (window.isValid()) {
        frame.layout()->addWidget(control);
        control->hide();
        frame.resize(window);
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
    } else {
        control->resize(0, 0);
    }
    connect(control, &SImageWndEx::imageLoaded, [&] {
        placeholder->hide();
        control->show();
    });
    QSignalSpy loaded(control, &SImageWndEx::imageLoaded);
    control->SetImagePath(path);
    QTRY_COMPARE_WITH_TIMEOUT(loaded.size(), 1, 20000);
    QCOMPARE(loaded[0], QVariantList({path, true}));
    QVERIFY(control->isVisible());
    if (window.isValid())
        frame.resize(800, 800);
    else
        control->resize(800, 800);

    // Where the middles of every seventh stripe are drawn now, with their colours.
    const auto stripes = [&](bool colours) {
        QStringList words;
        const QRect drawn = control->pictureRect();
        for (int stripe = 0; stripe < kStripes; stripe += 7) {
            const int x = drawn.left() + (2 * stripe + 1) * drawn.width() / (2 * kStripes);
            const QString colour = !colours ? "" : stripe % 2 ? "=b" : "=r";
            words << QStringLiteral("%1,%2").arg(x).arg(drawn.center().y()) + colour;
        }
        return words.join(' ');
    };
    QTRY_COMPARE_WITH_TIMEOUT(::seen(*control, stripes(false)), stripes(true), 10000);
    QVERIFY(control->pictureRect().width() >= 700);
    QCOMPARE(loaded.size(), 1); // reading again for the larger pane is no new answer
}

void PreviewTest::fileIconsByType() {
    FileIconSource icons;
    QHash<QString, qint64> keys;
    for (const QString path :
         {"/photos/a.jpg", "/photos/b.png", "/out/book.pdf", "/C.JPG", "/d.jpg"}) {
        const QIcon icon = icons.icon(path);
        QVERIFY2(!icon.pixmap(16, 16).isNull(), qPrintable(path));
        const qint64 key = keys.value(QFileInfo(path).suffix().toLower(), icon.cacheKey());
        QCOMPARE(icon.cacheKey(), key); // the same icon for the same type
        keys.insert(QFileInfo(path).suffix().toLower(), key);
    }
    QCOMPARE(icons.cachedTypes(), 3);
}

QTEST_MAIN(PreviewTest)
#include "tst_preview.moc"
