// The update window against an update server on this machine: its pages for each
// answer (and for no answer), the progress while it asks, the installer downloaded over
// https under a free name and shown in its folder, never opened; refused installer
// addresses, a failed and a stopped download that leave nothing; the server's texts shown
// as they are; the about window's version; the main window's notice; and answers that
// come after their window has gone.
#include "../support/LocalHttpServer.h"
#include "CAboutDialog.h"
#include "CUpdateDialog.h"
#include "ProgramControls.h"
#include "UiLoader.h"
#include "UpdateNotice.h"

#include <RegistryStore.h>
#include <SettingsStore.h>
#include <VersionInfo.h>

#include <QDesktopServices>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QResource>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

using namespace folimo;
using namespace folimo::ui;

namespace {

const QString kOwnVersion = QStringLiteral(FOLIMO_COMPARABLE_VERSION);

QByteArray updateReply(const QString& version, const QString& page, const QString& installer) {
    return "NewVersion:" + version.toUtf8().toBase64() +
           "\r\nUpdateURL: " + page.toUtf8().toBase64() + "\r\nUpdateFileURL:\t" +
           installer.toUtf8().toBase64() + "\r\n";
}

// Runs `dialog` while `script` drives it; the dialog ends after the script even when a
// check in it failed.
int runModal(QDialog& dialog, const std::function<void()>& script) {
    QTimer::singleShot(0, &dialog, [&] {
        struct End {
            QDialog& dialog;
            ~End() {
                if (dialog.isVisible())
                    dialog.reject();
            }
        } end{dialog};
        script();
    });
    return dialog.exec();
}

// The window's timer, driven by hand: a run of ticks without waiting for them.
class TickedUpdateDialog : public CUpdateDialog {
public:
    using CUpdateDialog::CUpdateDialog;
    using CUpdateDialog::tick;
};

} // namespace

class UpdateDialogTest : public QObject {
    Q_OBJECT
public slots:
    void openUrl(const QUrl& url) { opened << url; }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void answersShowTheirPages_data();
    void answersShowTheirPages();
    void serverTextsShowAsTheyAre();
    void progressCreepsWhileAsking();
    void updateButton_data();
    void updateButton();
    void closingDuringADownloadStopsIt_data();
    void closingDuringADownloadStopsIt();
    void aWindowDeletedDuringADownloadStopsItFirst();
    void aboutWindowShowsTheFilesVersion();
    void answersAfterTheWindowWentDoNothing();
    void aCheckAnswersOnTheApplicationsThreadOnlyAParentThatIsThere();
    void mainWindowNotice_data();
    void mainWindowNotice();

private:
    UpdateQueryOptions quick() const;
    QStringList tempNames() const {
        return QDir(temp_.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    }
    QString tempFolder() const { return QDir(temp_.path()).canonicalPath(); }

    QTemporaryDir dir_;
    QTemporaryDir temp_;
    LocalHttpServer server_;
    LocalHttpServer downloads_{LocalHttpServer::Tls::On}; // on the update server's host
    QList<QUrl> opened;
};

void UpdateDialogTest::initTestCase() {
    QVERIFY(QResource::registerResource(QStringLiteral(FOLIMO_UIRES_PATH)));
    registerProgramControls();
    qputenv("XDG_CONFIG_HOME", dir_.filePath("config").toUtf8());
    qputenv("TMPDIR", temp_.path().toUtf8());
    QCOMPARE(QDir::tempPath(), QDir(temp_.path()).canonicalPath());
    QVERIFY(server_.isListening());
    QVERIFY(
        SetUpdateServer(QStringLiteral("127.0.0.1:%1").arg(server_.serverPort()).toStdWString()));
    LocalHttpServer::trustTls();
    QVERIFY(downloads_.isListening());
    // No file manager answers, so showing a file opens its folder through the opener.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
    for (const char* scheme : {"file", "http", "https"})
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "openUrl");
}

void UpdateDialogTest::cleanupTestCase() {
    for (const char* scheme : {"file", "http", "https"})
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
}

void UpdateDialogTest::init() {
    opened.clear();
    for (LocalHttpServer* server : {&server_, &downloads_}) {
        server->requests.clear();
        server->answers.clear();
        server->connections = 0;
    }
}

UpdateQueryOptions UpdateDialogTest::quick() const {
    UpdateQueryOptions options;
    options.programPath = QStringLiteral(FOLIMO_PROGRAM_PATH).toStdWString();
    options.answerDelay = std::chrono::milliseconds(100);
    return options;
}

void UpdateDialogTest::answersShowTheirPages_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("told"); // on that page
    QTest::addColumn<bool>("listening");
    const QString latest = QStringLiteral("当前已是最新版本。");
    const QString unreachable = QStringLiteral("无法连接更新服务器，请稍后再试。");
    QTest::newRow("newer")
        << 200 << updateReply("0.10.0.0", "http://p.test/", "") << 1
        << QStringLiteral("软件有更新 %1 -> 0.10.0.0 ,是否更新？").arg(kOwnVersion) << true;
    QTest::newRow("the same") << 200 << updateReply(kOwnVersion, "http://p.test/", "") << 2
                              << latest << true;
    QTest::newRow("no version") << 200 << QByteArray("UpdateURL:aHR0cA==") << 2 << latest << true;
    QTest::newRow("unusable") << 200 << QByteArray("hello") << 2 << latest << true;
    QTest::newRow("server error") << 500 << updateReply("9.0", "http://p.test/", "") << 2
                                  << unreachable << true;
    QTest::newRow("nobody listens") << 200 << QByteArray() << 2 << unreachable << false;
}

void UpdateDialogTest::answersShowTheirPages() {
    QFETCH(int, status);
    QFETCH(QByteArray, reply);
    QFETCH(int, page);
    QFETCH(QString, told);
    QFETCH(bool, listening);
    server_.answers["/record/ini.php"] = LocalHttpServer::ok(reply, status);
    UpdateQueryOptions options = quick();
    if (!listening) {
        LocalHttpServer closed;
        options.server = closed.address();
    }
    CUpdateDialog dialog(nullptr, options);
    runModal(dialog, [&] {
        QCOMPARE(dialog.CurrentPage(), 0);
        QTRY_COMPARE(dialog.CurrentPage(), page);
        const char* label = page == 1 ? "text_tip_new_version" : "txt_no_update";
        QCOMPARE(dialog.findChild<QLabel*>(label)->text(), told);
    });
    if (!listening)
        return;
    // To the stored server, about the program's version.
    QCOMPARE(server_.requests.size(), 1);
    QVERIFY(server_.requests[0].endsWith("\r\n\r\ntip=Folimos.exe&ver=" FOLIMO_COMPARABLE_VERSION));
}

void UpdateDialogTest::progressCreepsWhileAsking() {
    server_.answers["/record/ini.php"] = LocalHttpServer::ok("hello");
    UpdateQueryOptions options = quick();
    options.answerDelay = std::chrono::milliseconds(2000); // as the program waits
    TickedUpdateDialog dialog(nullptr, options);
    runModal(dialog, [&] {
        auto* bar = dialog.findChild<QProgressBar*>("progress_update");
        QList<int> seen{dialog.ProgressValue()};
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 1000) {
            QTest::qWait(20);
            seen << dialog.ProgressValue();
        }
        QCOMPARE(seen.first(), 0);
        for (int i = 1; i < seen.size(); ++i)
            QVERIFY2(seen[i] % 3 == 0 && seen[i] >= seen[i - 1] && seen[i] <= seen[i - 1] + 3,
                     qPrintable(QString::number(seen[i])));
        QVERIFY(seen.last() >= 6 && seen.last() <= 33);
        QCOMPARE(bar->value(), seen.last());
        QCOMPARE(dialog.CurrentPage(), 0); // the answer waits its two seconds
        QTRY_COMPARE_WITH_TIMEOUT(dialog.CurrentPage(), 2, 5000);
        for (int i = 0; i < 400; ++i)
            dialog.tick();
        QCOMPARE(dialog.ProgressValue(), 1002); // past 1000 it rises no more
        QCOMPARE(bar->value(), 1000);
    });
}

// What the server sends is shown as text: markup in it is neither drawn nor loaded.
void UpdateDialogTest::serverTextsShowAsTheyAre() {
    const QString version = QStringLiteral("99<img src='/dev/zero'><b>");
    server_.answers["/record/ini.php"] = LocalHttpServer::ok(
        updateReply(version, "http://p.test/", downloads_.base() + "/files/setup.exe"));
    downloads_.answers["/files/setup.exe"] = LocalHttpServer::ok("installer");
    CUpdateDialog dialog(nullptr, quick());
    runModal(dialog, [&] {
        for (const char* name :
             {"text_tip", "text_tip_new_version", "txt_no_update", "txt_download_done"})
            QCOMPARE(dialog.findChild<QLabel*>(name)->textFormat(), Qt::PlainText);
        QTRY_COMPARE(dialog.CurrentPage(), 1);
        QCOMPARE(dialog.findChild<QLabel*>("text_tip_new_version")->text(),
                 QStringLiteral("软件有更新 %1 -> %2 ,是否更新？").arg(kOwnVersion, version));
        dialog.findChild<QPushButton*>("btn_update")->click();
        QTRY_COMPARE(dialog.CurrentPage(), 3);
        QVERIFY(dialog.findChild<QLabel*>("txt_download_done")->text().contains(version));
    });
    QVERIFY(QFile::remove(QString::fromStdWString(dialog.DownloadedFile())));
}

void UpdateDialogTest::updateButton_data() {
    QTest::addColumn<QString>("installer"); // "~" is the https server on the update host
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("landed"); // in the temporary folder
    QTest::newRow("no installer: the page opens") << "" << 1 << "";
    // The query travels over plain http: an installer from anywhere but the update
    // server's host over https could be anyone's.
    QTest::newRow("plain http from the update host: the page opens")
        << "http://127.0.0.1:%1/files/setup.exe" << 1 << "";
    QTest::newRow("https from another host: the page opens")
        << "https://localhost:%2/files/setup.exe" << 1 << "";
    QTest::newRow("downloaded under a free name") << "~/get/latest" << 3 << "setup (2).exe";
    QTest::newRow("a redirect to plain http fails") << "~/get/plain" << 4 << "";
    QTest::newRow("a redirect to another host fails") << "~/get/elsewhere" << 4 << "";
    QTest::newRow("not found") << "~/files/gone.exe" << 4 << "";
}

void UpdateDialogTest::updateButton() {
    QFETCH(QString, installer);
    QFETCH(int, page);
    QFETCH(QString, landed);
    for (const char* name : {"setup.exe", "setup (1).exe"}) {
        QFile taken(temp_.filePath(name));
        QVERIFY(taken.open(QIODevice::WriteOnly));
        taken.write("older");
    }
    installer.replace(QLatin1String("~"), downloads_.base());
    if (installer.contains(u'%'))
        installer = installer.arg(server_.serverPort()).arg(downloads_.serverPort());
    const QByteArray bytes(300000, 'i');
    server_.answers["/record/ini.php"] =
        LocalHttpServer::ok(updateReply("0.10.0.0", "http://p.test/news", installer));
    // The name comes from where the data finally came from.
    downloads_.answers["/get/latest"] = LocalHttpServer::redirect("/files/setup.exe");
    downloads_.answers["/get/plain"] =
        LocalHttpServer::redirect(server_.base().toUtf8() + "/files/setup.exe");
    downloads_.answers["/get/elsewhere"] = LocalHttpServer::redirect(
        "https://localhost:" + QByteArray::number(downloads_.serverPort()) + "/files/setup.exe");
    for (LocalHttpServer* server : {&server_, &downloads_})
        server->answers["/files/setup.exe"] = LocalHttpServer::ok(bytes);
    CUpdateDialog dialog(nullptr, quick());
    runModal(dialog, [&] {
        QTRY_COMPARE(dialog.CurrentPage(), 1);
        dialog.findChild<QPushButton*>("btn_update")->click();
        if (page != 1)
            QCOMPARE(dialog.findChild<QLabel*>("text_tip")->text(),
                     QStringLiteral("正在下载安装包..."));
        QTRY_COMPARE(dialog.CurrentPage(), page);
        if (page == 3) {
            QTRY_COMPARE(dialog.ProgressValue(), 1000);
            const QString told = dialog.findChild<QLabel*>("txt_download_done")->text();
            QVERIFY2(told.contains(tempFolder() + "/" + landed) && told.contains("0.10.0.0"),
                     qPrintable(told));
            dialog.findChild<QPushButton*>("btn_open")->click(); // shows it again
        }
        if (page == 4)
            dialog.findChild<QPushButton*>("btn_open_url")->click();
    });
    const QString path = landed.isEmpty() ? "" : tempFolder() + "/" + landed;
    QCOMPARE(QString::fromStdWString(dialog.DownloadedFile()), path);
    // The installer is shown in its folder, never opened.
    const QUrl folder = QUrl::fromLocalFile(tempFolder());
    const QList<QUrl> expected =
        path.isEmpty() ? QList<QUrl>{QUrl("http://p.test/news")} : QList<QUrl>{folder, folder};
    QCOMPARE(opened, expected);
    // Only the update query reached plain http; nothing came from another host.
    QCOMPARE(server_.requests.size(), 1);
    for (const QByteArray& request : downloads_.requests)
        QVERIFY2(request.contains("\r\nHost: 127.0.0.1:"), request.constData());
    QStringList names{"setup (1).exe", "setup.exe"};
    if (!landed.isEmpty()) {
        names.insert(1, landed);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), bytes);
    }
    QCOMPARE(tempNames(), names); // no other name appeared, not even an unfinished one
    if (!landed.isEmpty())
        QVERIFY(QFile::remove(path));
}

void UpdateDialogTest::closingDuringADownloadStopsIt_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("code");
    for (const char* how : {"btn_cancel", "Escape", "title bar"})
        QTest::newRow(how) << how << int(QDialog::Rejected);
    QTest::newRow("btn_ok") << "btn_ok" << int(QDialog::Accepted);
}

void UpdateDialogTest::closingDuringADownloadStopsIt() {
    QFETCH(QString, how);
    QFETCH(int, code);
    server_.answers["/record/ini.php"] = LocalHttpServer::ok(
        updateReply("0.10.0.0", "http://p.test/", downloads_.base() + "/files/slow.exe"));
    downloads_.answers["/files/slow.exe"] = LocalHttpServer::trickling();
    const QStringList before = tempNames();
    CUpdateDialog dialog(nullptr, quick());
    QElapsedTimer clock;
    const int ended = runModal(dialog, [&] {
        QTRY_COMPARE(dialog.CurrentPage(), 1);
        dialog.findChild<QPushButton*>("btn_update")->click();
        auto* bar = dialog.findChild<QProgressBar*>("progress_update");
        QTRY_VERIFY(bar->value() > 0); // progress of the 10 MB announced
        QVERIFY(bar->value() < 1000);
        clock.start();
        if (how == "Escape")
            QTest::keyClick(&dialog, Qt::Key_Escape);
        else if (how == "title bar")
            dialog.close();
        else
            dialog.findChild<QPushButton*>(how)->click();
        QVERIFY(dialog.isVisible()); // until the download has ended
        QTRY_VERIFY(!dialog.isVisible());
    });
    QCOMPARE(ended, code);
    QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(dialog.CurrentPage(), 4);
    QVERIFY(opened.isEmpty());
    QCOMPARE(tempNames(), before); // nothing of the stopped download is left
}

// As when the program quits under the window: its download ends before it goes, and the
// download's report, on its way to the window, goes with the window.
void UpdateDialogTest::aWindowDeletedDuringADownloadStopsItFirst() {
    server_.answers["/record/ini.php"] = LocalHttpServer::ok(
        updateReply("0.10.0.0", "http://p.test/", downloads_.base() + "/files/slow.exe"));
    downloads_.answers["/files/slow.exe"] = LocalHttpServer::trickling();
    const QStringList before = tempNames();
    auto dialog = std::make_unique<CUpdateDialog>(nullptr, quick());
    QTRY_COMPARE(dialog->CurrentPage(), 1);
    dialog->findChild<QPushButton*>("btn_update")->click();
    QTRY_VERIFY(dialog->findChild<QProgressBar*>("progress_update")->value() > 0);
    dialog.reset();
    QTest::qWait(100);
    QVERIFY(opened.isEmpty());
    QCOMPARE(tempNames(), before);
}

void UpdateDialogTest::aboutWindowShowsTheFilesVersion() {
    const struct {
        QString program;
        QString shown;
    } cases[] = {{QStringLiteral(FOLIMO_PROGRAM_PATH), kOwnVersion},
                 {QString(), QString()}}; // this test program, which has no version block
    for (const auto& c : cases) {
        CAboutDialog about(nullptr, c.program.toStdWString());
        QCOMPARE(about.findChild<QLabel*>("text_ver")->text(), c.shown);
        QTimer::singleShot(0, about.findChild<QPushButton*>("btn_ok"), &QPushButton::click);
        QCOMPARE(about.exec(), int(QDialog::Accepted));
    }
}

void UpdateDialogTest::answersAfterTheWindowWentDoNothing() {
    server_.answers["/record/ini.php"] =
        LocalHttpServer::ok(updateReply("0.10.0.0", "http://p.test/", ""), 200, 400);
    CUpdateDialog kept(nullptr, quick());
    runModal(kept, [&] { QTRY_COMPARE(server_.requests.size(), 1); });
    auto* gone = new CUpdateDialog(nullptr, quick());
    runModal(*gone, [&] { QTRY_COMPARE(server_.requests.size(), 2); });
    delete gone;
    QTRY_COMPARE(RunningUpdateQueries(), 0); // both answered into nothing
    QCoreApplication::processEvents();
    QCOMPARE(kept.CurrentPage(), 0);
    QCOMPARE(kept.findChild<QLabel*>("text_tip_new_version")->text(),
             QStringLiteral("发现新版本。"));
}

void UpdateDialogTest::aCheckAnswersOnTheApplicationsThreadOnlyAParentThatIsThere() {
    server_.answers["/record/ini.php"] =
        LocalHttpServer::ok(updateReply("0.10.0.0", "http://p.test/", ""), 200, 300);
    QObject kept, witness;
    auto* gone = new QObject;
    QStringList answered;
    for (QObject* parent : {&kept, gone}) {
        const QString name = parent == gone ? "gone" : "kept";
        connect(UpdateCheck::start(parent, quick()), &UpdateCheck::updateFound, &witness,
                [&answered, name](const UpdateInfo& info) {
                    QCOMPARE(QThread::currentThread(), QCoreApplication::instance()->thread());
                    answered << name + " " + QString::fromStdWString(info.newVersion);
                });
    }
    QTRY_COMPARE(server_.requests.size(), 2);
    delete gone;
    QTRY_COMPARE(RunningUpdateQueries(), 0);
    QTRY_VERIFY(kept.findChildren<UpdateCheck*>().isEmpty()); // one answer, then it goes
    QCOMPARE(answered, QStringList{"kept 0.10.0.0"});
}

void UpdateDialogTest::mainWindowNotice_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("checks");
    QTest::newRow("nothing stored") << QString() << false;
    QTest::newRow("a past date") << QStringLiteral("2000/01/01") << false;
    QTest::newRow("a date to come") << QStringLiteral("2999/12/31") << true;
}

void UpdateDialogTest::mainWindowNotice() {
    QFETCH(QString, stored);
    QFETCH(bool, checks);
    RegistryStore().WriteString(L"UpdateCheckDate", stored.toStdWString());
    server_.answers["/record/ini.php"] =
        LocalHttpServer::ok(updateReply("0.10.0.0", "https://p.test/n", ""));
    QWidget window;
    buildLayoutInto(&window, QStringLiteral("LAYOUT:XML_MAINWND"));
    auto* tip = window.findChild<QWidget*>("wnd_status_tip");
    auto* link = window.findChild<QLabel*>("link_bt_tip");
    QVERIFY(tip && link && tip->isHidden());
    // As the main window asks at its start.
    UpdateCheck* check = UpdateCheck::startIfDue(&window);
    QCOMPARE(check != nullptr, checks);
    if (check)
        connect(check, &UpdateCheck::updateFound, &window, [&](const UpdateInfo& info) {
            ShowUpdateNotice(link, tip, info, kOwnVersion.toStdWString());
        });
    if (!checks) {
        QTest::qWait(300);
        QVERIFY(tip->isHidden());
        QVERIFY(server_.requests.isEmpty());
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(!tip->isHidden(), 6000); // after the query's two seconds
    const QString text =
        QStringLiteral("检查到软件更新 %1 -> 0.10.0.0 ,点击更新。").arg(kOwnVersion);
    QCOMPARE(link->property("href").toString(), QStringLiteral("https://p.test/n"));
    QCOMPARE(link->text(),
             QStringLiteral("<a href=\"https://p.test/n\">%1</a>").arg(text.toHtmlEscaped()));

    // A page the program would not open is not linked.
    ShowUpdateNotice(link, tip, UpdateInfo{L"2.0", L"file:///etc/passwd", L""}, L"1.0");
    QCOMPARE(link->property("href").toString(), QString());
    QCOMPARE(link->text(), QStringLiteral("检查到软件更新 1.0 -> 2.0 ,点击更新。").toHtmlEscaped());
}

QTEST_MAIN(UpdateDialogTest)
#include "tst_update_dialog.moc"
