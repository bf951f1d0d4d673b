// Conversion runs from the main window: the progress window following the log, stop,
// closing during a run, and a whole run writing its documents.
#include "CMainDlg.h"
#include "CMakeDialog.h"
#include "ProgramControls.h"

#include <ImageList.h>
#include <folimo/WideText.h>

#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QResource>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <thread>
#include <unistd.h>

using namespace folimo;
using namespace folimo::ui;

class MakeDialogTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void logFollowsUnlessTheReaderIsInItAndFinishedShowsTheOpenButtons();
    void closingDuringARunStopsItAndWaitsForTheDocument();
    void theWindowSaysHowTheRunEnded();
    void aFolderThatCannotBeWrittenReadsAsFailed();
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
            if (failWrite) {
                progress.OnErrorCode(FOLIMO_ERROR_OUTPUT, L"/out/a.pdf", L"Permission denied",
                                     L"Error: cannot create '/out/a.pdf'");
                progress.OnDocumentEnd(FOLIMO_DOCUMENT_FAILED, 0, L"");
            } else {
                progress.OnDocumentEnd(progress.IsCancelled() ? FOLIMO_DOCUMENT_STOPPED
                                                              : FOLIMO_DOCUMENT_WRITTEN,
                                       3, L"/out/a.pdf");
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
    bool failWrite = false;
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
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    QVERIFY(followed.contains(QStringLiteral("1> 添加文件: /in/3.jpg"))); // from the start
    QVERIFY(!heldText.isEmpty());
    QCOMPARE(linesAtTheEnd, 43); // begin, 40 files, the document, the run
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
    QString shownAtTheClose;
    connect(&dialog, &QDialog::finished, [&] {
        shownAtTheClose = dialog.findChild<QTextEdit*>(QStringLiteral("edit_log"))->toPlainText();
    });
    dialog.exec();
    QVERIFY(progress.Finished()); // the window went only after the worker was done
    QVERIFY(progress.Read().filesDone < 1000);
    QVERIFY(clock.elapsed() < 4000);
    // Nothing was asked, and the log said what the stop kept before the window went.
    QVERIFY2(shownAtTheClose.endsWith(QStringLiteral("已停止: 3 页保存在 /out/a.pdf\n")),
             qPrintable(shownAtTheClose));
}

// The end of a run as the window shows it: a stop with its pages and the bar where it
// stood, a failed write as failed with nothing to open, a whole run as done.
void MakeDialogTest::theWindowSaysHowTheRunEnded() {
    const struct {
        const char* what;
        bool stop, failWrite;
        QString tip;
        bool openShown;
    } cases[] = {
        {"stopped", true, false, QStringLiteral("已停止: 3 页保存在 /out/a.pdf"), true},
        {"failed write", false, true, QStringLiteral("失败: 没有写入PDF"), false},
        {"done", false, false, QStringLiteral("已写入 1 个PDF"), true},
    };
    for (const auto& c : cases) {
        ConversionProgress progress(20);
        CMakeDialog dialog(progress);
        FakeRun run(progress);
        run.failWrite = c.failWrite;
        if (c.stop)
            QTimer::singleShot(150, &dialog, [&] {
                QTest::mouseClick(dialog.findChild<QPushButton*>(QStringLiteral("btn_stop")),
                                  Qt::LeftButton);
            });
        QString tip, log;
        int bar = -1;
        bool openFile = false, openFolder = false, closeShown = false, errorInRed = false;
        QTimer::singleShot(1500, &dialog, [&] {
            tip = dialog.findChild<QLabel*>(QStringLiteral("text_tip"))->text();
            bar = dialog.findChild<QProgressBar*>(QStringLiteral("progress_make"))->value();
            auto* edit = dialog.findChild<QTextEdit*>(QStringLiteral("edit_log"));
            log = edit->toPlainText();
            const int at = log.indexOf(QStringLiteral("错误"));
            if (at >= 0) {
                QTextCursor cursor(edit->document());
                cursor.setPosition(at + 1);
                errorInRed = cursor.charFormat().foreground().color().red() > 150;
            }
            openFile = !dialog.findChild<QPushButton*>(QStringLiteral("btn_open_file"))->isHidden();
            openFolder =
                !dialog.findChild<QPushButton*>(QStringLiteral("btn_open_folder"))->isHidden();
            closeShown = !dialog.findChild<QPushButton*>(QStringLiteral("btn_close2"))->isHidden();
            dialog.reject();
        });
        run.step = 40;
        run.start(20);
        dialog.exec();
        QVERIFY2(tip == c.tip, qPrintable(QString(c.what) + ": " + tip));
        QVERIFY2(log.endsWith(c.tip + "\n"), qPrintable(log));
        QCOMPARE(openFile, c.openShown);
        QCOMPARE(openFolder, c.openShown);
        QVERIFY(closeShown);
        QCOMPARE(log.contains(QStringLiteral("PDF完成")), !c.stop && !c.failWrite);
        if (c.stop)
            QVERIFY2(bar > 0 && bar < 1000, qPrintable(QString::number(bar)));
        if (c.failWrite) {
            QVERIFY(log.contains(QStringLiteral("1> 错误: PDF无法写入: Permission denied")));
            QVERIFY(errorInRed);
        }
    }
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
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
}

void MakeDialogTest::theMainWindowConvertsTheListPerImage() {
    CMainDlg window;
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

// The file manager's entry converts beside each image: in a folder that cannot be
// written the window tells the failure only, and offers nothing to open.
void MakeDialogTest::aFolderThatCannotBeWrittenReadsAsFailed() {
    // Permissions do not bind root's capabilities: then this test runs again without any.
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("FOLIMO_WITHOUT_CAPABILITIES")) {
        QProcess again;
        QStringList environment = QProcess::systemEnvironment();
        environment << QStringLiteral("FOLIMO_WITHOUT_CAPABILITIES=1");
        again.setEnvironment(environment);
        again.start(QStringLiteral("setpriv"), {"--inh-caps=-all", "--bounding-set=-all",
                                                QCoreApplication::applicationFilePath(),
                                                "aFolderThatCannotBeWrittenReadsAsFailed"});
        QVERIFY(again.waitForFinished(60000));
        if (again.error() == QProcess::FailedToStart)
            QSKIP("running as root and cannot give up its privileges");
        QVERIFY2(again.exitCode() == 0, again.readAll().constData());
        return;
    }
    const QString folder = dir_.filePath(QStringLiteral("locked"));
    QDir().mkpath(folder);
    QCOMPARE(QProcess::execute("convert", {"-size", "30x20", "xc:orange", folder + "/p.png"}), 0);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
    CMainDlg window;
    QVERIFY(window.ImageList()->AddImageFile((folder + "/p.png").toStdWString()));
    QString log, tip;
    bool openShown = true;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* top : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<CMakeDialog*>(top);
            auto* close =
                dialog ? dialog->findChild<QPushButton*>(QStringLiteral("btn_close2")) : nullptr;
            if (!close || close->isHidden())
                continue;
            log = dialog->findChild<QTextEdit*>(QStringLiteral("edit_log"))->toPlainText();
            tip = dialog->findChild<QLabel*>(QStringLiteral("text_tip"))->text();
            openShown =
                !dialog->findChild<QPushButton*>(QStringLiteral("btn_open_file"))->isHidden();
            dialog->reject();
        }
    });
    poll.start(100);
    const auto written = window.StartConversion(ConversionMode::PerImage, L"");
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(written.empty());
    QCOMPARE(tip, QStringLiteral("失败: 没有写入PDF"));
    QVERIFY2(!log.contains(QStringLiteral("PDF完成")), qPrintable(log));
    QVERIFY2(log.contains(QStringLiteral("1> 错误: PDF无法写入: cannot create '") + folder +
                          "/p.pdf': "),
             qPrintable(log));
    QVERIFY(!openShown);
}

QTEST_MAIN(MakeDialogTest)
#include "tst_make_dialog.moc"
