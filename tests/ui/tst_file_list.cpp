// The image list as people see it: the real list control from the main window's layout,
// showing the real list, whose information thread fills the rows while the window runs.
// With FOLIMO_ARTIFACTS set, the window is saved as a picture with a band selection and
// with a move drag's insertion line, for a person to look at.
#include "FileListRows.h"
#include "ProgramControls.h"
#include "SMCListViewEx.h"
#include "UiLoader.h"

#include <ImageList.h>
#include <folimo/Owned.h>
#include <folimo/WideText.h>

#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QResource>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace folimo;
using namespace folimo::ui;

class FileListTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void rowsShowTheirFilesOnceTheirInformationIsIn();

private:
    QLabel* cell(int row, const char* name) const;
    void save(const QString& name);

    QTemporaryDir dir_;
    std::unique_ptr<QWidget> window_;
    SMCListViewEx* list_ = nullptr;
};

void FileListTest::initTestCase() {
    QVERIFY(QResource::registerResource(QStringLiteral(FOLIMO_UIRES_PATH)));
    registerProgramControls();
    UiLoader loader;
    window_.reset(loader.loadLayout(QStringLiteral("LAYOUT:XML_MAINWND")));
    QVERIFY2(window_, qPrintable(loader.error()));
    list_ = window_->findChild<SMCListViewEx*>(QStringLiteral("mclv_list"));
    QVERIFY(list_);
}

QLabel* FileListTest::cell(int row, const char* name) const {
    for (auto* panel : list_->findChildren<McItemPanel*>())
        if (panel->isVisible() && panel->row() == row)
            return panel->findChild<QLabel*>(QLatin1String(name));
    return nullptr;
}

void FileListTest::save(const QString& name) {
    const QString folder = qEnvironmentVariable("FOLIMO_ARTIFACTS");
    if (folder.isEmpty())
        return;
    QDir().mkpath(folder);
    window_->grab().save(folder + "/" + name);
}

void FileListTest::rowsShowTheirFilesOnceTheirInformationIsIn() {
    // 48 photographs of three sizes, a broken one and a PDF.
    QStringList files;
    for (int i = 0; i < 3; ++i) {
        const QString path = dir_.filePath(QString("photo%1.jpg").arg(i));
        QCOMPARE(QProcess::execute("convert", {"-size", QString("%1x%2").arg(320 + 40 * i).arg(240),
                                               "plasma:", "-units", "PixelsPerInch", "-density",
                                               QString::number(72 + 24 * i), path}),
                 0);
        files << path;
    }
    for (int i = 3; i < 48; ++i) {
        const QString path = dir_.filePath(QString("img%1.%2").arg(i).arg(i % 2 ? "jpg" : "JPG"));
        QFile::copy(files[i % 3], path);
        files << path;
    }
    QFile broken(dir_.filePath("broken.png"));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("\x89PNG\r\n\x1a\nnot a picture");
    broken.close();
    files.insert(10, broken.fileName());
    QFile pdf(dir_.filePath("notes.pdf"));
    QVERIFY(pdf.open(QIODevice::WriteOnly));
    pdf.write("%PDF-1.4\n");
    pdf.close();
    files << pdf.fileName();

    auto engine = createObject<IFolimo>(FOLIMO_ENGINE);
    auto model = std::make_shared<SFileListAdapter>(engine.get());
    auto rows = std::make_shared<CFileListRows>(model);
    list_->SetAdapter(rows);
    for (const QString& file : files)
        QVERIFY(model->AddImageFile(file.toStdWString()));
    model->NotifyChanged();
    // As the main window does: items are told one by one, the list refreshed in batches.
    int told = 0;
    bool changed = false;
    model->StartInfoThread(list_, [&](const ImageListItemPtr&) {
        ++told;
        changed = true;
    });
    QTimer refresh;
    QObject::connect(&refresh, &QTimer::timeout, [&] {
        if (std::exchange(changed, false))
            model->NotifyInvalidated();
    });
    refresh.start(100);
    window_->resize(1200, 800);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    QTRY_COMPARE_WITH_TIMEOUT(told, 50, 20000);
    QTest::qWait(250);

    QCOMPARE(list_->GetAdapter()->GetCount(), 50);
    QVERIFY(cell(0, "txt_number"));
    QCOMPARE(cell(0, "txt_number")->text(), QString("1"));
    QCOMPARE(cell(0, "txt_name")->text(), QString("photo0.jpg"));
    QCOMPARE(cell(0, "txt_size")->text(), QString("320 \u00D7 240"));
    QCOMPARE(cell(1, "txt_dpi")->text(), QString("96"));
    QVERIFY(!cell(0, "img_icon")->pixmap().isNull());
    QVERIFY(!cell(0, "txt_change_time")->text().isEmpty());
    // The broken file's row is red, the others black.
    QCOMPARE(cell(10, "txt_name")->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    QCOMPARE(cell(9, "txt_name")->palette().color(QPalette::WindowText), QColor(0, 0, 0));

    QCOMPARE(cell(10, "txt_size")->text(), QString());
    save("file-list.png");

    // A band from row 2 down to row 6 (the panels take their rows' places).
    QWidget* viewport = list_->viewport();
    auto middle = [&](int row) {
        for (auto* panel : list_->findChildren<McItemPanel*>())
            if (panel->isVisible() && panel->row() == row)
                return panel->mapTo(viewport, QPoint(400, panel->height() / 2));
        return QPoint();
    };
    QTest::mousePress(viewport, Qt::LeftButton, {}, middle(2));
    QTest::mouseMove(viewport, middle(4));
    QTest::mouseMove(viewport, middle(6) + QPoint(60, 0));
    save("file-list-band.png");
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, middle(6) + QPoint(60, 0));
    QCOMPARE(model->GetSelection(), (std::vector<int>{2, 3, 4, 5, 6}));

    // Dragging the selected rows over row 12's upper half shows where they would go.
    QTest::mousePress(viewport, Qt::LeftButton, {}, middle(3));
    QTest::mouseMove(viewport, middle(8));
    QTest::mouseMove(viewport, middle(12) - QPoint(0, 4));
    save("file-list-drag.png");
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, middle(12) - QPoint(0, 4));
    QCOMPARE(model->GetSelection(), (std::vector<int>{7, 8, 9, 10, 11}));
    QTRY_COMPARE(cell(7, "txt_name")->text(), QString("photo2.jpg"));
    list_->SetAdapter(nullptr);
}

QTEST_MAIN(FileListTest)
#include "tst_file_list.moc"
