// The main window as a person uses it: commands on an empty list, deleting, the list's
// context menu, dropping folders, previews, keys and names, and a whole session from
// adding a folder tree to one PDF in the list's order.
#include "../support/LocalHttpServer.h"
#include "CMainDlg.h"
#include "CMakeDialog.h"
#include "FileDialogs.h"
#include "Menus.h"
#include "PersonAtKeyboard.h"
#include "ProgramControls.h"
#include "SImageWndEx.h"
#include "SMCListViewEx.h"
#include "SettingsStore.h"
#include "UpdateNotice.h"

#include <RegistryStore.h>
#include <UpdateQuery.h>

#include <ImageList.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QAction>
#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QResource>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace folimo;
using namespace folimo::ui;

namespace {

void makePicture(const QString& path, const QString& size, const QString& colour = "orange") {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QCOMPARE(QProcess::execute("convert", {"-size", size, "xc:" + colour, path}), 0);
}

QStringList names(SFileListAdapter& list) {
    QStringList out;
    for (int row = 0; row < list.GetCount(); ++row)
        out << QFileInfo(QString::fromStdWString(list.GetItemPath(row))).completeBaseName();
    return out;
}

// Page widths in points, in page order.
QList<int> pageWidths(const QString& pdf) {
    QProcess info;
    info.start("pdfinfo", {"-f", "1", "-l", "1000", pdf});
    info.waitForFinished();
    QList<int> widths;
    for (const QString& line : QString::fromUtf8(info.readAllStandardOutput()).split('\n'))
        if (line.startsWith("Page ") && line.contains(" size: "))
            widths << qRound(line.section(" size: ", 1).simplified().section(' ', 0, 0).toDouble());
    return widths;
}

// Closes the progress window of a run once the run is over, as the user would.
void closeProgressWhenDone(QObject* context) {
    auto* timer = new QTimer(context);
    QObject::connect(timer, &QTimer::timeout, timer, [timer] {
        auto* dialog = qobject_cast<CMakeDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        auto* stop = dialog->findChild<QWidget*>("btn_stop");
        if (stop && !stop->isVisible()) {
            dialog->close();
            timer->deleteLater();
        }
    });
    timer->start(50);
}

} // namespace

// Where the window's links go during tests.
class UrlSink : public QObject {
    Q_OBJECT
public slots:
    void open(const QUrl& url) { opened << url; }

public:
    QList<QUrl> opened;
};

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void conversionCommandsOnAnEmptyListOnlySaySo();
    void deletingSelectsTheItemAfterTheLastDeletedRow();
    void theItemMenuOffersAndMovesAsTheClickedRowAllows();
    void droppingAFolderAddsItsTree();
    void aRowThatCannotBeShownSaysWhy();
    void thePreviewFollowsTheCurrentItemWhereverItGoes();
    void everyButtonIsReachableByKeyboardAndNamed();
    void captionAndPreviewButtonsFollowTheWindow();
    void aNewerVersionShowsInTheStatusLine();
    void aWholeSessionMakesOnePdfInTheListsOrder();
    void menusButtonsAndKeysTriggerTheWindowsActions();
    void theWindowFitsAScreenOfHalfTheSizeAtScaleTwo();
    void filesAlreadyListedAreAskedAboutOnceAndNoSkipsThem();
    void theListIsKeptBetweenStartsAndANewListStartsEmpty();

private:
    QTemporaryDir dir_;
    std::unique_ptr<test::PersonAtKeyboard> person_;
    std::unique_ptr<CMainDlg> window_;
    SFileListAdapter* list_ = nullptr;
    SMCListViewEx* view_ = nullptr;
    UrlSink links_;

    // The window's action for a command number.
    QAction* command(int id) {
        for (QAction* action : window_->findChildren<QAction*>(Qt::FindDirectChildrenOnly))
            if (action->data().toInt() == id)
                return action;
        return nullptr;
    }
    void run(int id) {
        QAction* action = command(id);
        QVERIFY2(action, qPrintable(QString::number(id)));
        action->trigger();
    }

    // Six pictures "0" to "5", in that order.
    // Drops the files on the window as a person would.
    void drop(const QStringList& paths) {
        QMimeData data;
        QList<QUrl> urls;
        for (const QString& path : paths)
            urls << QUrl::fromLocalFile(path);
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(50, 200), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(window_.get(), &enter);
        QDropEvent event(QPointF(50, 200), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window_.get(), &event);
    }

    void addSix() {
        for (int i = 0; i < 6; ++i)
            list_->AddImageFile(dir_.filePath(QString("six/%1.png").arg(i)).toStdWString());
        list_->NotifyChanged();
    }
};

void MainWindowTest::initTestCase() {
    QVERIFY(QResource::registerResource(QStringLiteral(FOLIMO_UIRES_PATH)));
    registerProgramControls();
    qputenv("XDG_CONFIG_HOME", dir_.filePath("config").toUtf8());
    SetPdfFolder(dir_.filePath("out").toStdWString());
    // Links open nowhere during tests.
    QDesktopServices::setUrlHandler("https", &links_, "open");
    for (int i = 0; i < 6; ++i)
        makePicture(dir_.filePath(QString("six/%1.png").arg(i)), QString("%1x20").arg(20 + i));
}

void MainWindowTest::cleanupTestCase() {
    QDesktopServices::unsetUrlHandler("https");
}

void MainWindowTest::init() {
    person_ = std::make_unique<test::PersonAtKeyboard>();
    window_ = std::make_unique<CMainDlg>();
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    list_ = window_->ImageList();
    view_ = window_->findChild<SMCListViewEx*>("mclv_list");
    QVERIFY(list_ && view_);
}

void MainWindowTest::cleanup() {
    window_.reset();
    person_.reset();
}

void MainWindowTest::conversionCommandsOnAnEmptyListOnlySaySo() {
    const QString empty = QStringLiteral("请先添加需要转换的图片文件。");
    QStringList& messages = person_->boxTexts;
    for (int id : {6, 7, 8, 9, 10, 11, 12}) {
        messages.clear();
        run(id);
        QCOMPARE(messages, QStringList{empty});
    }
    messages.clear();
    window_->findChild<QAbstractButton*>("btn_make")->click();
    QCOMPARE(messages, QStringList{empty});
    // Nothing asked where to write, nothing written.
    QVERIFY(person_->choosers.isEmpty());
    QVERIFY(!QDir(dir_.filePath("out")).exists() || QDir(dir_.filePath("out")).isEmpty());

    window_->findChild<QAbstractButton*>("btn_delete")->click();
    QCOMPARE(messages.last(), QStringLiteral("请选择需要删除的项。"));

    window_->findChild<QAbstractButton*>("btn_app")->click();
    run(20);
    QCOMPARE(links_.opened,
             (QList<QUrl>{QUrl(CMainDlg::WebSiteAddress()), QUrl(CMainDlg::HelpAddress())}));
}

void MainWindowTest::deletingSelectsTheItemAfterTheLastDeletedRow() {
    addSix();
    QCOMPARE(names(*list_), (QStringList{"0", "1", "2", "3", "4", "5"}));
    view_->SetSel(2);
    list_->ToggleItemSelected(4);
    window_->findChild<QAbstractButton*>("btn_delete")->click();
    QCOMPARE(names(*list_), (QStringList{"0", "1", "3", "5"}));
    QCOMPARE(list_->GetSelection(), std::vector<int>{3});
    QCOMPARE(view_->GetSel(), 3);
    // A follower at the deleted row's own index is previewed too, not the deleted picture.
    auto* preview = window_->findChild<SImageWndEx*>("img_preview");
    view_->SetSel(1);
    window_->findChild<QAbstractButton*>("btn_delete")->click();
    QCOMPARE(names(*list_), (QStringList{"0", "3", "5"}));
    QCOMPARE(view_->GetSel(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(preview->imagePath(), QString::fromStdWString(list_->GetItemPath(1)),
                              10000);

    // The Delete key does the same wherever the focus is in the window; the last row
    // leaves nothing to select.
    view_->SetSel(2);
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    QTest::keyClick(window_.get(), Qt::Key_Delete);
    QCOMPARE(names(*list_), (QStringList{"0", "3"}));
    QCOMPARE(view_->GetSel(), -1);
    QVERIFY(list_->GetSelection().empty());
    QVERIFY(person_->boxTexts.isEmpty());
}

void MainWindowTest::theItemMenuOffersAndMovesAsTheClickedRowAllows() {
    const struct {
        int current; // the row made current (-1: none)
        std::vector<int> alsoSelected;
        int clicked;              // the row under the pointer
        std::vector<int> offered; // in menu order
        int chosen;
        QStringList after;
    } cases[] = {
        {1,
         {},
         1,
         {1003, 1004, 1001, 1002, 1006, 1007, 1005},
         1001,
         {"1", "0", "2", "3", "4", "5"}},
        // A selection holding the first row goes no higher.
        {2,
         {0},
         2,
         {1003, 1004, 1001, 1002, 1006, 1007, 1005},
         1001,
         {"0", "1", "2", "3", "4", "5"}},
        {1,
         {},
         4,
         {1003, 1004, 1001, 1002, 1006, 1007, 1005},
         1002,
         {"0", "2", "1", "3", "4", "5"}},
        // Nothing moves below the last row, nor is it offered there.
        {3,
         {5},
         3,
         {1003, 1004, 1001, 1002, 1006, 1007, 1005},
         1002,
         {"0", "1", "2", "3", "4", "5"}},
        {-1, {}, 5, {1001, 1006, 1007, 1005}, 0, {"0", "1", "2", "3", "4", "5"}},
        {-1, {}, 0, {1002, 1006, 1007, 1005}, 0, {"0", "1", "2", "3", "4", "5"}},
        {4,
         {},
         1,
         {1003, 1004, 1001, 1002, 1006, 1007, 1005},
         1003,
         {"0", "4", "1", "2", "3", "5"}},
        {0,
         {},
         3,
         {1003, 1004, 1001, 1002, 1006, 1007, 1005},
         1004,
         {"1", "2", "3", "0", "4", "5"}},
        {1, {3}, 0, {1003, 1004, 1002, 1006, 1007, 1005}, 1005, {"0", "2", "4", "5"}},
    };
    for (const auto& c : cases) {
        list_->RemoveAllItems();
        addSix();
        view_->SetSel(c.current);
        for (int row : c.alsoSelected)
            list_->ToggleItemSelected(row);
        person_->chooseInMenus(c.chosen);
        emit view_->customContextMenuRequested(view_->GetItemRect(c.clicked).center());
        QCOMPARE(person_->menusOffered.last(), QList<int>(c.offered.begin(), c.offered.end()));
        QCOMPARE(names(*list_), c.after);
    }
    // A turn from the menu of a row outside the selection turns that row alone.
    view_->SetSel(1);
    person_->chooseInMenus(CmdTurnRight);
    emit view_->customContextMenuRequested(view_->GetItemRect(3).center());
    QCOMPARE(list_->GetItemData(3)->clockwiseDegrees(), 90);
    QCOMPARE(list_->GetItemData(1)->clockwiseDegrees(), 0);
    // Below the last row there is no item, and no menu.
    QCoreApplication::processEvents();
    const qsizetype shown = person_->menusOffered.size();
    emit view_->customContextMenuRequested(view_->GetItemRect(list_->GetCount() - 1).bottomLeft() +
                                           QPoint(10, 40));
    QCOMPARE(person_->menusOffered.size(), shown);
}

void MainWindowTest::droppingAFolderAddsItsTree() {
    makePicture(dir_.filePath("tree/a.png"), "10x10");
    makePicture(dir_.filePath("tree/sub/b.png"), "10x10");
    makePicture(dir_.filePath("tree/sub/deeper/c.png"), "10x10");
    QFile(dir_.filePath("tree/notes.txt")).open(QIODevice::WriteOnly);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(dir_.filePath("tree")),
                  QUrl::fromLocalFile(dir_.filePath("six/0.png"))});
    QDragEnterEvent enter(QPoint(50, 200), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window_.get(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(50, 200), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window_.get(), &drop);
    QStringList added = names(*list_);
    QCOMPARE(added.takeLast(), QStringLiteral("0"));
    added.sort();
    QCOMPARE(added, (QStringList{"a", "b", "c"}));
    QCOMPARE(view_->GetAdapter()->GetCount(), 4);
}

// A row that cannot be shown says why in the pane instead of showing the picture of the
// row before it, and a list with no row chosen asks for one again.
void MainWindowTest::aRowThatCannotBeShownSaysWhy() {
    makePicture(dir_.filePath("mixed/photo.png"), "64x48", "blue");
    QVERIFY(
        QFile::copy(FOLIMO_SOURCE_DIR "/samples/04-document.pdf", dir_.filePath("mixed/doc.pdf")));
    QFile photo(FOLIMO_SOURCE_DIR "/samples/01-plasma.jpg");
    QFile cut(dir_.filePath("mixed/cut.jpg"));
    QVERIFY(photo.open(QIODevice::ReadOnly) && cut.open(QIODevice::WriteOnly));
    cut.write(photo.readAll().chopped(2000));
    cut.close();
    QFile note(dir_.filePath("mixed/note.png"));
    QVERIFY(note.open(QIODevice::WriteOnly) && note.write("a note, not a picture\n") > 0);
    note.close();
    for (const char* name : {"photo.png", "doc.pdf", "cut.jpg", "note.png"})
        QVERIFY(list_->AddImageFile(dir_.filePath(QString("mixed/") + name).toStdWString()));
    list_->NotifyChanged();
    auto* preview = window_->findChild<SImageWndEx*>("img_preview");
    auto* placeholder = window_->findChild<QLabel*>("txt_preview");
    const QString hint = placeholder->text();
    QVERIFY(!preview->isVisible() && placeholder->isVisible());

    const struct {
        int row;
        QString said; // empty: the picture shows
        QSize size;   // empty: a PDF page, drawn for the pane
    } steps[] = {{0, {}, QSize(64, 48)},
                 {1, {}, {}},
                 {0, {}, QSize(64, 48)},
                 {2, QStringLiteral("无法显示: 文件已损坏"), {}},
                 {3, QStringLiteral("无法显示: 不是图片"), {}}};
    for (const auto& step : steps) {
        QSignalSpy loaded(preview, &SImageWndEx::imageLoaded);
        view_->SetSel(step.row, true);
        QVERIFY(loaded.wait(10000));
        QCOMPARE(loaded.last().at(1).toBool(), step.said.isEmpty());
        if (step.said.isEmpty()) {
            QTRY_VERIFY(preview->isVisible() && !placeholder->isVisible());
            if (step.size.isValid())
                QCOMPARE(preview->contentSize(), step.size);
            else
                QVERIFY(!preview->contentSize().isEmpty());
        } else {
            QTRY_VERIFY(!preview->isVisible() && placeholder->isVisible());
            QCOMPARE(placeholder->text(), step.said);
        }
    }
    view_->SetSel(-1, true);
    QVERIFY(!preview->isVisible() && placeholder->isVisible());
    QCOMPARE(placeholder->text(), hint);
}

void MainWindowTest::everyButtonIsReachableByKeyboardAndNamed() {
    for (QAbstractButton* button : window_->findChildren<QAbstractButton*>()) {
        if (!button->isVisibleTo(window_.get()))
            continue;
        QVERIFY2(button->focusPolicy() & Qt::TabFocus, qPrintable(button->objectName()));
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(button);
        QVERIFY2(accessible && !accessible->text(QAccessible::Name).isEmpty(),
                 qPrintable(button->objectName()));
    }
    // Ctrl+A selects every row, Ctrl+O asks for files.
    addSix();
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    QTest::keyClick(window_.get(), Qt::Key_A, Qt::ControlModifier);
    std::vector<int> all = list_->GetSelection();
    std::sort(all.begin(), all.end());
    QCOMPARE(all, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    QTest::keyClick(window_.get(), Qt::Key_O, Qt::ControlModifier);
    const QList<ChooserRequest>& choosers = person_->choosers;
    QCOMPARE(choosers.size(), 1);
    QCOMPARE(choosers[0].kind, ChooserKind::OpenFiles);
    QCOMPARE(choosers[0].filters.size(), 2);
    QVERIFY(choosers[0].filters[1].startsWith(QStringLiteral("所有图片文件 (")));
    QVERIFY(choosers[0].filters[1].contains("*.PNG"));
}

void MainWindowTest::captionAndPreviewButtonsFollowTheWindow() {
    auto* maximise = window_->findChild<QAbstractButton*>("btn_max");
    auto* restore = window_->findChild<QAbstractButton*>("btn_restore");
    QVERIFY(window_->windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(maximise->isVisible() && !restore->isVisible());
    maximise->click();
    QTRY_VERIFY(window_->isMaximized());
    QVERIFY(!maximise->isVisible() && restore->isVisible());
    restore->click();
    QTRY_VERIFY(!window_->isMaximized());
    QVERIFY(maximise->isVisible() && !restore->isVisible());

    auto* view = window_->findChild<QAbstractButton*>("btn_view");
    auto* pane = window_->findChild<QWidget*>("win_prview");
    QVERIFY(pane->isVisible());
    view->click();
    QVERIFY(!pane->isVisible());
    view->click();
    QVERIFY(pane->isVisible());
    QVERIFY(window_->findChild<QWidget*>("top_ie_ad")->isVisible()); // "ShowAD" is 1 at first
    QVERIFY(!window_->findChild<QWidget*>("wnd_right_ad")->isVisible());
}

void MainWindowTest::aNewerVersionShowsInTheStatusLine() {
    LocalHttpServer server;
    QVERIFY(SetUpdateServer(server.address()));
    RegistryStore().WriteString(L"UpdateCheckDate", L"2999/12/31"); // the check is due
    for (const char* version : {"", "9.1.0.0"}) {                   // no version offered, then one
        server.answers["/record/ini.php"] =
            LocalHttpServer::ok("NewVersion:" + QByteArray(version).toBase64() + "\r\nUpdateURL:" +
                                QByteArray("https://www.velmar.com/folimo/new/").toBase64());
        window_ = std::make_unique<CMainDlg>(); // checks as it starts
        window_->show();
        auto* status = window_->findChild<QWidget*>("wnd_status_tip");
        QVERIFY(!status->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(RunningUpdateQueries(), 0, 6000);
        QTest::qWait(50); // the answer's way to the window's thread
        QCOMPARE(status->isVisible(), QByteArray(version) == "9.1.0.0");
    }
    RegistryStore().WriteString(L"UpdateCheckDate", L"");
    auto* link = window_->findChild<QLabel*>("link_bt_tip");
    QVERIFY(link->text().contains(QStringLiteral("检查到软件更新")));
    QVERIFY(link->text().contains(QStringLiteral("9.1.0.0 ,点击更新。")));
    QVERIFY(link->text().contains("https://www.velmar.com/folimo/new/"));
}

// Add a folder tree, sort by name, move two rows to the top, delete one, look at the
// settings, and make one PDF: its pages follow the list.
void MainWindowTest::aWholeSessionMakesOnePdfInTheListsOrder() {
    // Widths tell the pages apart: image n is (30 + 10 n) pixels wide at 72 dpi.
    const QStringList files{"b/img10.png", "img2.png", "a/img1.png", "img3.png"};
    for (const QString& file : files) {
        const int n = QFileInfo(file).completeBaseName().mid(3).toInt();
        QDir().mkpath(QFileInfo(dir_.filePath("session/" + file)).absolutePath());
        QCOMPARE(QProcess::execute("convert", {"-size", QString("%1x20").arg(30 + 10 * n),
                                               "xc:gray", "-units", "PixelsPerInch", "-density",
                                               "72", dir_.filePath("session/" + file)}),
                 0);
    }
    const QList<ChooserRequest>& choosers = person_->choosers;
    person_->chooseFiles({dir_.filePath("session")});
    run(3);
    QCOMPARE(choosers.last().kind, ChooserKind::Folder);
    QCOMPARE(choosers.last().title, QStringLiteral("请选择图片文件存放的目录"));
    QCOMPARE(QString::fromStdWString(GetAddImageFolder()), dir_.filePath("session"));
    QCOMPARE(list_->GetCount(), 4);

    int flags[8] = {};
    QVERIFY(list_->OnSort(1, flags, 8)); // descending first
    QVERIFY(list_->OnSort(1, flags, 8));
    list_->NotifyChanged();
    QCOMPARE(names(*list_), (QStringList{"img1", "img2", "img3", "img10"}));

    view_->SetSel(2);
    list_->ToggleItemSelected(3);
    person_->chooseInMenus(1003);
    emit view_->customContextMenuRequested(view_->GetItemRect(0).center());
    QCOMPARE(names(*list_), (QStringList{"img3", "img10", "img1", "img2"}));

    view_->SetSel(2);
    window_->findChild<QAbstractButton*>("btn_delete")->click();
    QCOMPARE(names(*list_), (QStringList{"img3", "img10", "img2"}));
    run(CmdUndo);
    QCOMPARE(names(*list_), (QStringList{"img3", "img10", "img1", "img2"}));
    // What came back is the current row, and the one previewed.
    QCOMPARE(view_->GetSel(), 2);
    QCOMPARE(list_->GetSelection(), std::vector<int>{2});
    QCOMPARE(window_->findChild<SImageWndEx*>("img_preview")->requestedPath(),
             QString::fromStdWString(list_->GetItemPath(2)));
    run(CmdRedo);
    QCOMPARE(names(*list_), (QStringList{"img3", "img10", "img2"}));

    // img10 goes in on its side, turned once each way and twice right in all.
    view_->SetSel(1);
    for (int turn : {CmdTurnRight, CmdTurnLeft, CmdTurnRight, CmdTurnRight, CmdTurnRight})
        run(turn);

    QTimer::singleShot(0, window_.get(), [] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
            dialog->reject();
    });
    window_->findChild<QAbstractButton*>("btn_settings")->click();

    person_->chooseFiles({dir_.filePath("session/out/all")}); // typed without ".pdf"
    closeProgressWhenDone(window_.get());
    run(9);
    QCOMPARE(choosers.last().kind, ChooserKind::SaveFile);
    QVERIFY(choosers.last().startAt.endsWith("/NewPDF.pdf"));
    const QString pdf = dir_.filePath("session/out/all.pdf");
    QVERIFY(QFile::exists(pdf));
    QCOMPARE(QProcess::execute("qpdf", {"--check", pdf}), 0);
    QCOMPARE(pageWidths(pdf), (QList<int>{60, 20, 50}));
}

// The preview shows the current row's picture: when a move takes that item elsewhere it
// goes along, and when a removal takes it (or its selection) away the pane goes back to
// its hint rather than showing a picture nobody chose.
void MainWindowTest::thePreviewFollowsTheCurrentItemWhereverItGoes() {
    addSix();
    auto* preview = window_->findChild<SImageWndEx*>("img_preview");
    auto* hint = window_->findChild<QLabel*>("txt_preview");
    view_->SetSel(4, true);
    const QString four = QString::fromStdWString(list_->GetItemPath(4));
    QCOMPARE(preview->requestedPath(), four);
    list_->MoveSelectionTo(1);
    QCOMPARE(names(*list_), (QStringList{"0", "4", "1", "2", "3", "5"}));
    QCOMPARE(view_->GetSel(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(preview->imagePath(), four, 10000);
    QVERIFY(hint->isHidden());
    // A turn shows at once, the picture on its side.
    const QSize upright = preview->contentSize();
    run(CmdTurnLeft);
    QTRY_COMPARE_WITH_TIMEOUT(preview->contentSize(), upright.transposed(), 10000);

    run(CmdDeleteUnreadable); // none are unreadable, but the selection is cleared
    QCOMPARE(list_->GetCount(), 6);
    QCOMPARE(view_->GetSel(), -1);
    QVERIFY(preview->isHidden());
    QVERIFY(!hint->isHidden());
}

// Every item of every menu is the window's own action for its number, and the buttons
// and keys trigger those same actions.
void MainWindowTest::menusButtonsAndKeysTriggerTheWindowsActions() {
    const struct {
        const char* button;
        const char* menu;
    } menus[] = {{"btn_add_ext", "SMENU:MENU_ADD"},
                 {"btn_delete_ext", "SMENU:MENU_DELETE"},
                 {"btn_make_ext", "SMENU:MENU_MAKE"},
                 {"btn_menu", "SMENU:MENU_MAIN"}};
    for (const auto& menu : menus) {
        QList<int> inFile;
        const std::unique_ptr<QMenu> loaded = LoadMenu(QString::fromLatin1(menu.menu));
        for (QAction* item : loaded->actions())
            inFile << item->data().toInt();
        QStringList strangers; // items that are not the window's action for their number
        person_->chooseInMenus([&](QMenu* offered) {
            for (QAction* item : offered->actions())
                if (!item->isSeparator() && item != command(item->data().toInt()))
                    strangers << item->text();
            return 0;
        });
        window_->findChild<QAbstractButton*>(menu.button)->click();
        QCOMPARE(person_->menusOffered.last(), inFile);
        QVERIFY2(strangers.isEmpty(), qPrintable(strangers.join(", ")));
    }
    // Modal windows a command opens are closed as soon as they show.
    QTimer closer;
    connect(&closer, &QTimer::timeout, [] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            dialog && !qobject_cast<QMessageBox*>(dialog))
            dialog->reject();
    });
    closer.start(20);
    const struct {
        const char* button;
        QKeySequence keys;
        int id;
    } triggers[] = {
        {"btn_add", {}, CmdAddFiles},
        {"btn_delete", {}, CmdDeleteSelected},
        {"btn_settings", {}, CmdSettings},
        {"btn_make", {}, CmdMakeOne},
        {"btn_app", {}, CmdWebSite},
        {nullptr, QKeySequence::Delete, CmdDeleteSelected},
        {nullptr, QKeySequence::Open, CmdAddFiles},
        {nullptr, QKeySequence::New, CmdNewList},
        {nullptr, QKeySequence(Qt::CTRL | Qt::Key_L), CmdTurnLeft},
        {nullptr, QKeySequence(Qt::CTRL | Qt::Key_R), CmdTurnRight},
        {nullptr, QKeySequence::Undo, CmdUndo},
        {nullptr, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), CmdRedo},
    };
    for (const auto& trigger : triggers) {
        QSignalSpy triggered(command(trigger.id), &QAction::triggered);
        if (trigger.button) {
            window_->findChild<QAbstractButton*>(trigger.button)->click();
        } else {
            // The window that had a modal one over it is active again, as for a person.
            window_->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(window_.get()));
            QTest::keySequence(window_.get(), trigger.keys);
        }
        QVERIFY2(triggered.size() == 1,
                 trigger.button ? trigger.button : qPrintable(trigger.keys.toString()));
    }
}

// 1280 x 800 at a scale factor of 2 leaves 640 x 400 for the window: it fits, and the
// toolbar's buttons that do not fit beside each other are scrolled to.
void MainWindowTest::theWindowFitsAScreenOfHalfTheSizeAtScaleTwo() {
    const QSize screen(640, 400);
    window_->resize(screen);
    QCOMPARE(window_->size(), screen);
    for (const char* name : {"btn_add", "btn_make_ext", "mclv_list", "txt_preview"}) {
        auto* control = window_->findChild<QWidget*>(name);
        for (QWidget* up = control->parentWidget(); up; up = up->parentWidget())
            if (auto* scroll = qobject_cast<QScrollArea*>(up->parentWidget()))
                scroll->ensureWidgetVisible(control, 0, 0);
        const QRect shown(control->mapTo(window_.get(), QPoint()), control->size());
        QVERIFY2(QRect(QPoint(), screen).contains(shown), name);
    }
}

void MainWindowTest::filesAlreadyListedAreAskedAboutOnceAndNoSkipsThem() {
    const QString question = QStringLiteral("有些文件已在列表中。是否再次添加？");
    const auto six = [this](int i) { return dir_.filePath(QString("six/%1.png").arg(i)); };
    person_->answerBoxes(QMessageBox::No);
    drop({six(0), six(1)});
    QVERIFY(person_->boxTexts.isEmpty());
    // 1 twice in one drop, 0 from before: one question, and No leaves both out.
    drop({six(1), six(2), six(0), six(1)});
    QCOMPARE(person_->boxTexts, QStringList{question});
    QCOMPARE(names(*list_), (QStringList{"0", "1", "2"}));
    // Asked once a run: the answer stands.
    drop({dir_.filePath("six")});
    QCOMPARE(person_->boxTexts.size(), 1);
    QCOMPARE(names(*list_), (QStringList{"0", "1", "2", "3", "4", "5"}));
}

void MainWindowTest::theListIsKeptBetweenStartsAndANewListStartsEmpty() {
    const QString kept = QString::fromStdWString(SavedListFile());
    QVERIFY(kept.startsWith(dir_.filePath("config")));
    QFile::remove(kept);
    window_->KeepListBetweenStarts();
    QCOMPARE(list_->GetCount(), 0);
    addSix();
    list_->GetItemData(2)->turn(1);
    QVERIFY(window_->close());
    QVERIFY(QFileInfo(kept).isFile());

    // The next start: the same rows and turns, and nothing to undo back to empty.
    init();
    window_->KeepListBetweenStarts();
    QCOMPARE(names(*list_), (QStringList{"0", "1", "2", "3", "4", "5"}));
    QCOMPARE(list_->GetItemData(2)->clockwiseDegrees(), 90);
    run(CmdUndo);
    QCOMPARE(list_->GetCount(), 6);

    // A new list is an edit like any other, and the start after it is empty.
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    QTest::keySequence(window_.get(), QKeySequence::New);
    QCOMPARE(list_->GetCount(), 0);
    run(CmdUndo);
    QCOMPARE(list_->GetCount(), 6);
    run(CmdRedo);
    QCOMPARE(list_->GetCount(), 0);
    QVERIFY(window_->close());
    QVERIFY(!QFileInfo::exists(kept));

    // A window not asked to keep the list (the file manager's one-shot conversion)
    // neither finds nor replaces it.
    init();
    window_->KeepListBetweenStarts();
    addSix();
    QVERIFY(window_->close());
    init();
    QCOMPARE(list_->GetCount(), 0);
    drop({dir_.filePath("six/0.png")});
    QVERIFY(window_->close());
    init();
    window_->KeepListBetweenStarts();
    QCOMPARE(list_->GetCount(), 6);
    run(CmdNewList);
    QVERIFY(window_->close());
}

QTEST_MAIN(MainWindowTest)
#include "tst_main_window.moc"
