// Conversion runs from the main window: the progress window following the log, stop,
// closing during a run, and a whole run writing its documents.
#include "CMainDlg.h"
#include "CMakeDialog.h"
#include "ProgramControls.h"

#include <ImageList.h>
#include <folimo/WideText.h>

#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QResource>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <thread>

using namespace folimo;
using namespace folimo::ui;

class MakeDialogTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void logFollowsUnlessTheReaderIsInItAndFinishedShowsTheOpenButtons();
    void closingDuringARunStopsItAndWaitsForTheDocument();
    void aRunOverBeforeTheWindowOpensClosesIt();
    void theMainWindowConvertsTheListPerImage();

private:
    QTemporaryDir dir_;
};

void MakeDialogTest::initTestCase() {
    QVERIFY(QResource::registerResource(QStringLiteral(FOLIMO_UIRES_PATH)));
    registerProgramControls();
    qputenv("XDG_CONFIG_HOME", dir_.filePath("config").toUtf8());
}

// A worker that reports one line a time, as the engine does, until told to stop.
struct FakeRun {
    explicit FakeRun(ConversionProgress& p) : progress(p) {}
    void start(int files) {
        thread = std::thread([this, files] {
            progress.OnBegin(L"/out/a.pdf");
            for (int i = 0; i < files && !progress.IsCancelled(); ++i) {
                progress.OnFile((L"/in/" + std::to_wstring(i) + L".jpg").c_str(), 1);
                std::this_thread::sleep_for(std::chrono::milliseconds(step));
            }
            progress.OnEnd();
            progress.OnNotify();
        });
    }
    ~FakeRun() {
        if (thread.joinable())
            thread.join();
    }
    ConversionProgress& progress;
    std::thread thread;
    int step = 30;
};

void MakeDialogTest::logFollowsUnlessTheReaderIsInItAndFinishedShowsTheOpenButtons() {
    ConversionProgress progress(40);
    CMakeDialog dialog(progress);
    FakeRun run(progress);
    QString heldText, followed;
    int linesAtTheEnd = 0;
    QTimer::singleShot(300, &dialog, [&] {
        followed = dialog.findChild<QTextEdit*>(QStringLiteral("edit_log"))->toPlainText();
    });
    bool stopHidden = false, openShown = false;
    QTimer::singleShot(400, &dialog, [&] {
        auto* log = dialog.findChild<QTextEdit*>(QStringLiteral("edit_log"));
        log->setFocus();
        heldText = log->toPlainText();
    });
    QTimer::singleShot(900, &dialog, [&] {
        auto* log = dialog.findChild<QTextEdit*>(QStringLiteral("edit_log"));
        QCOMPARE(log->toPlainText(), heldText); // still, while the reader is in it
        dialog.findChild<QPushButton*>(QStringLiteral("btn_stop"))->setFocus();
    });
    QTimer::singleShot(2500, &dialog, [&] {
        auto* log = dialog.findChild<QTextEdit*>(QStringLiteral("edit_log"));
        linesAtTheEnd = log->toPlainText().count('\n');
        stopHidden = dialog.findChild<QPushButton*>(QStringLiteral("btn_stop"))->isHidden();
        openShown = !dialog.findChild<QPushButton*>(QStringLiteral("btn_open_file"))->isHidden();
        dialog.reject();
    });
    run.start(40);
    QCOMPARE(dialog.DoModal(), int(IDCANCEL));
    QVERIFY(followed.contains(QStringLiteral("1> 添加文件: /in/3.jpg"))); // from the start
    QVERIFY(!heldText.isEmpty());
    QCOMPARE(linesAtTheEnd, 42); // begin, 40 files, end
    QVERIFY(stopHidden);
    QVERIFY(openShown);
    QCOMPARE(progress.Read().permille, 1000);
}

void MakeDialogTest::closingDuringARunStopsItAndWaitsForTheDocument() {
    ConversionProgress progress(1000);
    CMakeDialog dialog(progress);
    FakeRun run(progress);
    run.step = 5;
    QTimer::singleShot(300, &dialog, [&] { dialog.reject(); });
    run.start(1000);
    QElapsedTimer clock;
    clock.start();
    dialog.DoModal();
    QVERIFY(progress.Finished()); // the window went only after the worker was done
    QVERIFY(progress.Read().filesDone < 1000);
    QVERIFY(clock.elapsed() < 3000);
}

// A small run can end before its window is up: the window that closes when the run is
// over must then close at once, not wait for an end that has already come.
void MakeDialogTest::aRunOverBeforeTheWindowOpensClosesIt() {
    ConversionProgress progress(1);
    progress.OnBegin(L"/out/a.pdf");
    progress.OnFile(L"/in/a.jpg", 1);
    progress.OnEnd();
    progress.OnNotify();
    CMakeDialog dialog(progress);
    dialog.SetCloseWhenFinished(true);
    QTimer::singleShot(5000, &dialog, [&] { dialog.reject(); });
    QCOMPARE(dialog.DoModal(), int(IDOK));
}

void MakeDialogTest::theMainWindowConvertsTheListPerImage() {
    CMainDlg window;
    QVERIFY2(window.Create(), qPrintable(window.ErrorString()));
    SFileListAdapter* list = window.ImageList();
    QVERIFY(list);
    for (int i = 0; i < 4; ++i) {
        const QString path = dir_.filePath(QStringLiteral("pics/p%1.png").arg(i));
        QDir().mkpath(dir_.filePath("pics"));
        QCOMPARE(QProcess::execute("convert", {"-size", "30x20", "xc:orange", path}), 0);
        QVERIFY(list->AddImageFile(path.toStdWString()));
    }
    const auto written = window.StartConversion(ConversionMode::PerImage, L"", true);
    QCOMPARE(int(written.size()), 4);
    for (const auto& pdf : written) {
        QProcess check;
        check.start("qpdf", {"--check", QString::fromStdWString(pdf)});
        QVERIFY(check.waitForFinished());
        QCOMPARE(check.exitCode(), 0);
    }
    QCOMPARE(QString::fromStdWString(written[0]), dir_.filePath("pics/p0.pdf"));
}

QTEST_MAIN(MakeDialogTest)
#include "tst_make_dialog.moc"
