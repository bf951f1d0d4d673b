// The scan window against SANE's test driver: the device list, a feeder batch joining the
// main window's list page by page, a jam, a stop mid-batch, the choices a device keeps,
// and the words for each way a scan fails.
#include "CMainDlg.h"
#include "CScanDialog.h"
#include "ProgramControls.h"

#include <ImageList.h>
#include <ScanSettings.h>
#include <Scanner.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QResource>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

#include <dlfcn.h>

using namespace folimo;
using namespace folimo::ui;

namespace {

void choose(QDialog& dialog, const char* box, const QVariant& data) {
    auto* combo = dialog.findChild<QComboBox*>(box);
    QVERIFY(combo);
    const int index = combo->findData(data);
    QVERIFY2(index >= 0, box);
    combo->setCurrentIndex(index);
}

QString status(QDialog& dialog) {
    return dialog.findChild<QLabel*>("text_status")->text();
}

// The page number at the end of a scanned file's name ("scan-...-0007.png" -> 7).
int pageNumberOf(const QString& path) {
    static const QRegularExpression number(QStringLiteral("(\\d+)$"));
    return number.match(QFileInfo(path).completeBaseName()).captured(1).toInt();
}

// Slow enough that a stop lands mid-batch: the driver hands out 64 KiB a read, each
// after 10 ms. The driver keeps its options from one batch to the next while SANE runs,
// so the jam an earlier batch asked for is undone here.
const char* kSlowPages =
    "read-return-value=Default\nread-limit=yes\nread-limit-size=65536\nread-delay=yes\n"
    "read-delay-duration=10000";

} // namespace

class ScanDialogTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void theDeviceListFillsFromTheDriver();
    void aJamIsSaidInTheWindow();
    void stopMidBatchKeepsTheEarlierPages();
    void eachDeviceGetsBackItsOwnChoices();
    void everyFailureHasItsOwnWords();
    // Last: SANE is one per process, and the main window's service is a second one.
    void aFeederBatchAddsItsPagesToTheMainListInOrder();

private:
    // A window on the test's service whose devices and first device's choices are shown.
    std::unique_ptr<CScanDialog> openedWindow();
    // Presses Scan and waits for the batch's end; the files as they arrived.
    QStringList scanAndWait(CScanDialog& dialog, const std::function<void(int)>& onPage = {});

    QTemporaryDir dir_;
    std::unique_ptr<scan::ScannerService> service_;
};

void ScanDialogTest::initTestCase() {
    QVERIFY(QResource::registerResource(QStringLiteral(FOLIMO_UIRES_PATH)));
    // Kept loaded past sane_exit, so that what the driver loses is named as its own.
    QVERIFY2(::dlopen(FOLIMO_SANE_DRIVERS "/libsane-test.so.1", RTLD_NOW | RTLD_NODELETE),
             ::dlerror());
    registerProgramControls();
    qputenv("XDG_CONFIG_HOME", dir_.filePath("config").toUtf8());
    QVERIFY(QDir().mkpath(dir_.filePath("sane")));
    QFile conf(dir_.filePath("sane/dll.conf"));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write("test\n");
    conf.close();
    // The main window's own service reads the environment.
    qputenv("SANE_CONFIG_DIR", dir_.filePath("sane").toUtf8());
    SetScanFolder(dir_.filePath("scans").toStdString());
    service_ = std::make_unique<scan::ScannerService>(dir_.filePath("sane").toStdString());
}

std::unique_ptr<CScanDialog> ScanDialogTest::openedWindow() {
    auto dialog = std::make_unique<CScanDialog>(*service_);
    QSignalSpy shown(dialog.get(), &CScanDialog::choicesShown);
    dialog->show();
    if (shown.isEmpty())
        shown.wait(20000);
    return dialog;
}

QStringList ScanDialogTest::scanAndWait(CScanDialog& dialog,
                                        const std::function<void(int)>& onPage) {
    QStringList arrived;
    QObject::connect(&dialog, &CScanDialog::pageArrived, &dialog, [&](const QString& path) {
        arrived << path;
        if (onPage)
            onPage(int(arrived.size()));
    });
    QSignalSpy finished(&dialog, &CScanDialog::batchFinished);
    auto* scan = dialog.findChild<QPushButton*>("btn_scan");
    if (!scan->isEnabled()) {
        QTest::qFail("Scan is not enabled", __FILE__, __LINE__);
        return {};
    }
    scan->click();
    finished.wait(60000);
    dialog.disconnect(&dialog);
    return arrived;
}

void ScanDialogTest::theDeviceListFillsFromTheDriver() {
    auto dialog = openedWindow();
    auto* devices = dialog->findChild<QComboBox*>("combo_device");
    QVERIFY(devices->findData(QStringLiteral("test:0")) >= 0);
    QVERIFY(devices->findData(QStringLiteral("test:1")) >= 0);
    // The driver's flatbed and feeder, its colours and a crop area that takes A4.
    auto* sources = dialog->findChild<QComboBox*>("combo_source");
    QVERIFY(sources->findData(int(scan::Source::Flatbed)) >= 0);
    QVERIFY(sources->findData(int(scan::Source::Feeder)) >= 0);
    QVERIFY(dialog->findChild<QComboBox*>("combo_colour")->count() >= 2);
    QVERIFY(dialog->findChild<QComboBox*>("combo_resolution")->count() >= 1);
    QVERIFY(dialog->findChild<QPushButton*>("btn_scan")->isEnabled());

    // Refresh asks again and keeps the device chosen.
    devices->setCurrentIndex(devices->findData(QStringLiteral("test:1")));
    QSignalSpy shown(dialog.get(), &CScanDialog::choicesShown);
    QVERIFY(shown.wait(20000));
    SetLastScanDevice("test:1");
    QSignalSpy listed(dialog.get(), &CScanDialog::devicesShown);
    dialog->findChild<QPushButton*>("btn_refresh")->click();
    QVERIFY(listed.wait(20000));
    QCOMPARE(devices->currentData().toString(), QStringLiteral("test:1"));
}

void ScanDialogTest::aFeederBatchAddsItsPagesToTheMainListInOrder() {
    // The test's own service ends SANE before the main window's starts it again.
    service_.reset();
    SetLastScanDevice("test:0");
    CMainDlg window;
    QVERIFY(window.ImageList());
    QAction* scanCommand = nullptr;
    for (QAction* action : window.findChildren<QAction*>(Qt::FindDirectChildrenOnly))
        if (action->data().toInt() == CmdScan)
            scanCommand = action;
    QVERIFY(scanCommand);
    QCOMPARE(scanCommand->shortcut(), QKeySequence(QStringLiteral("Ctrl+Shift+O")));

    // The window is modal: the batch is run from inside its loop, as a person would.
    QStringList arrived;
    bool ran = false;
    QTimer::singleShot(0, &window, [&] {
        auto* dialog = qobject_cast<CScanDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            for (QWidget* top : QApplication::topLevelWidgets())
                if (auto* d = qobject_cast<CScanDialog*>(top))
                    dialog = d;
        }
        QVERIFY(dialog);
        QSignalSpy shown(dialog, &CScanDialog::choicesShown);
        QVERIFY(shown.wait(20000));
        choose(*dialog, "combo_source", int(scan::Source::Feeder));
        choose(*dialog, "combo_colour", int(scan::Colour::Grey));
        arrived = scanAndWait(*dialog);
        ran = true;
        dialog->findChild<QPushButton*>("btn_close")->click();
    });
    scanCommand->trigger();
    QVERIFY(ran);

    // The driver's feeder holds ten pages: ten rows, in the feeder's order, each a file.
    QCOMPARE(arrived.size(), 10);
    SFileListAdapter& list = *window.ImageList();
    QCOMPARE(list.GetCount(), 10);
    for (int row = 0; row < 10; ++row) {
        const QString path = QString::fromStdWString(list.GetItemPath(row));
        QCOMPARE(path, arrived[row]);
        // Numbered on from the batches before in the same folder, without a gap.
        QCOMPARE(pageNumberOf(path), pageNumberOf(arrived.first()) + row);
        QVERIFY2(QFileInfo(path).size() > 0, qPrintable(path));
        QVERIFY(path.startsWith(dir_.filePath("scans")));
    }
}

void ScanDialogTest::aJamIsSaidInTheWindow() {
    SetLastScanDevice("test:0");
    auto dialog = openedWindow();
    choose(*dialog, "combo_source", int(scan::Source::Feeder));
    // A page small enough for the driver to write whole before its error: a reader thread
    // cancelled mid-page can hang the process inside the allocator.
    dialog->setProperty("deviceOptions",
                        QStringLiteral("read-return-value=SANE_STATUS_JAMMED\nresolution=75\n"
                                       "br-x=20\nbr-y=20"));
    const QStringList arrived = scanAndWait(*dialog);
    QVERIFY(arrived.isEmpty());
    QVERIFY2(status(*dialog).startsWith(CScanDialog::FailureText(scan::Failure::Jammed, {})),
             qPrintable(status(*dialog)));
    // The window stays open and ready for the next try.
    QVERIFY(dialog->isVisible());
    QVERIFY(dialog->findChild<QPushButton*>("btn_scan")->isEnabled());
    QVERIFY(!dialog->Scanning());
}

void ScanDialogTest::stopMidBatchKeepsTheEarlierPages() {
    auto dialog = openedWindow();
    choose(*dialog, "combo_source", int(scan::Source::Feeder));
    choose(*dialog, "combo_colour", int(scan::Colour::Grey));
    dialog->setProperty("deviceOptions", QString::fromLatin1(kSlowPages));
    auto* stop = dialog->findChild<QPushButton*>("btn_stop");
    const QStringList before = QDir(dir_.filePath("scans")).entryList(QDir::Files);
    const QStringList arrived = scanAndWait(*dialog, [&](int pages) {
        if (pages == 3) {
            QVERIFY(stop->isVisible());
            stop->click();
        }
    });
    QVERIFY2(arrived.size() >= 3 && arrived.size() < 10,
             qPrintable(status(*dialog) + "\n" + arrived.join(u'\n')));
    QCOMPARE(dialog->PagesScanned(), int(arrived.size()));
    for (const QString& path : arrived)
        QVERIFY2(QFileInfo(path).size() > 0, qPrintable(path));
    // Only the pages handed on are in the folder: the one being read was dropped whole.
    const QStringList after = QDir(dir_.filePath("scans")).entryList(QDir::Files);
    QCOMPARE(after.size() - before.size(), arrived.size());
    QVERIFY(!stop->isVisible());
    QVERIFY(dialog->findChild<QPushButton*>("btn_close")->isVisible());
    QVERIFY(status(*dialog).contains(QString::number(arrived.size())));
}

void ScanDialogTest::eachDeviceGetsBackItsOwnChoices() {
    // Grey at one device, colour at the other: each window shows what its device had.
    for (const auto& [device, colour] :
         {std::pair{"test:0", scan::Colour::Grey}, std::pair{"test:1", scan::Colour::Colour}}) {
        scan::Choices choices = GetScanChoices(device);
        choices.colour = colour;
        choices.source = scan::Source::Feeder;
        SetScanChoices(device, choices);
    }
    for (const auto& [device, colour] :
         {std::pair{"test:0", scan::Colour::Grey}, std::pair{"test:1", scan::Colour::Colour}}) {
        SetLastScanDevice(device);
        auto dialog = openedWindow();
        QCOMPARE(dialog->findChild<QComboBox*>("combo_device")->currentData().toString(),
                 QString::fromLatin1(device));
        QCOMPARE(dialog->findChild<QComboBox*>("combo_colour")->currentData().toInt(), int(colour));
        QCOMPARE(dialog->findChild<QComboBox*>("combo_source")->currentData().toInt(),
                 int(scan::Source::Feeder));
    }
    // A scan stores what the window showed, for that device only.
    SetLastScanDevice("test:1");
    auto dialog = openedWindow();
    choose(*dialog, "combo_colour", int(scan::Colour::BlackAndWhite));
    choose(*dialog, "combo_source", int(scan::Source::Flatbed));
    scanAndWait(*dialog);
    QCOMPARE(GetScanChoices("test:1").colour, scan::Colour::BlackAndWhite);
    QCOMPARE(GetScanChoices("test:0").colour, scan::Colour::Grey);
    QCOMPARE(GetLastScanDevice(), std::string("test:1"));
}

void ScanDialogTest::everyFailureHasItsOwnWords() {
    const QString sane = QStringLiteral("Error during device I/O");
    QSet<QString> seen;
    for (const scan::Failure failure :
         {scan::Failure::NoDevice, scan::Failure::Busy, scan::Failure::CoverOpen,
          scan::Failure::Jammed, scan::Failure::FeederEmpty, scan::Failure::Unplugged,
          scan::Failure::AccessDenied, scan::Failure::OutOfMemory, scan::Failure::Unsupported,
          scan::Failure::Other}) {
        const QString text = CScanDialog::FailureText(failure, sane);
        QVERIFY2(!text.isEmpty(), qPrintable(QString::number(int(failure))));
        QVERIFY2(!seen.contains(text), qPrintable(text));
        seen.insert(text);
        // SANE's own words only where the window knows nothing better.
        QCOMPARE(text.contains(sane), failure == scan::Failure::Other);
    }
    QVERIFY(CScanDialog::FailureText(scan::Failure::None, sane).isEmpty());
    QVERIFY(!CScanDialog::FailureText(scan::Failure::Other, {}).isEmpty());

    // Paper sizes: only those that fit, after the whole area; none without cropping.
    const auto names = [](double w, double h) {
        QStringList list;
        for (const auto& paper : CScanDialog::PapersThatFit(w, h))
            list << QString::fromLatin1(paper.name);
        return list;
    };
    QCOMPARE(names(0, 0), QStringList{});
    QCOMPARE(names(215.9, 297.0), (QStringList{"", "A4", "A5", "Letter"}));
    QCOMPARE(names(216.0, 356.0), (QStringList{"", "A4", "A5", "Letter", "Legal"}));
    QCOMPARE(names(200, 200), (QStringList{""}));
    QCOMPARE(names(148, 210), (QStringList{"", "A5"}));
}

QTEST_MAIN(ScanDialogTest)
#include "tst_scan_dialog.moc"
