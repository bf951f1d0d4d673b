#include "CMainDlg.h"

#include "CAboutDialog.h"
#include "CMakeDialog.h"
#include "CScanDialog.h"
#include "CSettingsDialog.h"
#include "CUpdateDialog.h"
#include "FileDialogs.h"
#include "FileListRows.h"
#include "Menus.h"
#include "OwnCaption.h"
#include "Resources.h"
#include "SImageWndEx.h"
#include "SMCListViewEx.h"
#include "SettingsStore.h"
#include "UiLoader.h"
#include "UpdateNotice.h"

#include <ImageList.h>
#include <ListHistory.h>
#include <ListStore.h>
#include <RegistryStore.h>
#include <Scanner.h>

#include <QAbstractButton>
#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QScrollArea>
#include <QScrollBar>
#include <QStandardPaths>
#include <QUrl>

#include <algorithm>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

namespace folimo::ui {
namespace {

QString text(const char* name) {
    return GetString(QString::fromLatin1(name));
}

void information(QWidget* owner, const char* name) {
    QMessageBox::information(owner, {}, text(name));
}

std::vector<std::wstring> localPaths(const QMimeData* data) {
    std::vector<std::wstring> paths;
    if (!data)
        return paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile())
            paths.push_back(QDir::cleanPath(url.toLocalFile()).toStdWString());
    return paths;
}

// Where adding pictures starts: the folder they last came from, else the user's
// pictures folder.
QString pictureFolder() {
    QString stored = QString::fromStdWString(GetAddImageFolder());
    if (!stored.isEmpty() && QFileInfo(stored).isDir())
        return stored;
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    return QFileInfo(pictures).isDir() ? pictures : QDir::homePath();
}

std::wstring withSeparator(std::wstring folder) {
    if (folder.empty() || folder.back() != L'/')
        folder += L'/';
    return folder;
}

} // namespace

CMainDlg::CMainDlg() : QWidget(nullptr, Qt::Window) {
    // The layout, its controls bound once.
    QWidget* root = buildLayoutInto(this, QStringLiteral("LAYOUT:XML_MAINWND"));
    ui_ = {
        bindControl<QAbstractButton>(root, QStringLiteral("btn_add")),
        bindControl<QAbstractButton>(root, QStringLiteral("btn_add_ext")),
        bindControl<QAbstractButton>(root, QStringLiteral("btn_delete")),
        bindControl<QAbstractButton>(root, QStringLiteral("btn_delete_ext")),
        bindControl<QAbstractButton>(root, QStringLiteral("btn_make")),
        bindControl<QAbstractButton>(root, QStringLiteral("btn_make_ext")),
        bindControl<QAbstractButton>(root, QStringLiteral("btn_turn_left")),
        bindControl<QAbstractButton>(root, QStringLiteral("btn_turn_right")),
        bindControl<QAbstractButton>(root, QStringLiteral("btn_settings")),
        bindControl<QAbstractButton>(root, QStringLiteral("btn_app")),
        bindControl<QAbstractButton>(root, QStringLiteral("btn_menu")),
        bindControl<QAbstractButton>(root, QStringLiteral("btn_view")),
        bindControl<QAbstractButton>(root, QStringLiteral("btn_min")),
        bindControl<QAbstractButton>(root, QStringLiteral("btn_max")),
        bindControl<QAbstractButton>(root, QStringLiteral("btn_restore")),
        bindControl<QAbstractButton>(root, QStringLiteral("btn_close")),
        bindControl<QWidget>(root, QStringLiteral("win_prview")),
        bindControl<QWidget>(root, QStringLiteral("top_ie_ad")),
        bindControl<QWidget>(root, QStringLiteral("wnd_right_ad")),
        bindControl<SMCListViewEx>(root, QStringLiteral("mclv_list")),
        bindControl<SImageWndEx>(root, QStringLiteral("img_preview")),
        bindControl<QLabel>(root, QStringLiteral("txt_preview")),
        bindControl<QLabel>(root, QStringLiteral("link_bt_tip")),
        bindControl<QWidget>(root, QStringLiteral("wnd_status_tip")),
        bindControl<QLabel>(root, QStringLiteral("txt_list_total")),
    };
    new OwnCaption(this, bindControl<QWidget>(root, QStringLiteral("wnd_caption")));
    previewHint_ = ui_.previewHint->text();
    // On a narrow screen the toolbar scrolls sideways, its bar below the buttons rather
    // than over them.
    auto* toolbar = bindControl<QScrollArea>(root, QStringLiteral("scroll_toolbar"));
    connect(toolbar->horizontalScrollBar(), &QScrollBar::rangeChanged, toolbar,
            [toolbar](int, int max) {
                toolbar->setFixedHeight(
                    toolbar->widget()->sizeHint().height() +
                    (max > 0 ? toolbar->horizontalScrollBar()->sizeHint().height() : 0));
            });
    toolbar->setFixedHeight(toolbar->widget()->sizeHint().height());
    setAcceptDrops(true);

    // The commands, and what triggers them besides the menus.
    bindCommands();

    // The engine and the list.
    startEngine();

    // Timers.
    connect(&refresh_, &QTimer::timeout, this, [this] {
        if (list_ && std::exchange(listChanged_, false))
            list_->NotifyInvalidated();
        showListTotal();
    });
    refresh_.start(1000);
    autoConversion_.setSingleShot(true);
    autoConversion_.setInterval(1000);
    connect(&autoConversion_, &QTimer::timeout, this, [this] {
        if (list_ && list_->GetCount() > 0)
            StartConversion(ConversionMode::PerImage, {});
    });
    if (!engine_)
        QMessageBox::critical(this, text("msgbox_caption"),
                              QCoreApplication::translate("CMainDlg", "转换引擎无法启动。"));
}

CMainDlg::~CMainDlg() {
    // The list's information thread calls back into this window: it ends before the
    // window's parts do.
    ui_.list->SetAdapter(nullptr);
    history_.reset();
    rows_.reset();
    list_.reset();
}

QString CMainDlg::WebSiteAddress() {
    return QStringLiteral("https://www.velmar.com/folimo/");
}

QString CMainDlg::HelpAddress() {
    return QStringLiteral("https://www.velmar.com/folimo/help/");
}

void CMainDlg::SetAutoConversion(bool on) {
    on ? autoConversion_.start() : autoConversion_.stop();
}

void CMainDlg::KeepListBetweenStarts() {
    if (!list_)
        return;
    keepList_ = true;
    RestoreRows(*list_, LoadList(SavedListFile()));
    list_->NotifyChanged();
    // Undo starts from the list as it was found, never back into an empty one.
    history_->Restart();
}

void CMainDlg::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    // A list that cannot be written leaves the one kept before: nothing to tell at
    // the close.
    if (event->isAccepted() && keepList_ && list_)
        SaveList(SavedListFile(), SavedRowsOf(*list_));
}

bool CMainDlg::askAddAgain() {
    return QMessageBox::question(this, text("msgbox_caption"), text("msg_add_duplicates"),
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void CMainDlg::bindCommands() {
    // The store is read only by the commands that write into the PDF folder.
    const auto pdfFolder = [] { return withSeparator(GetPdfFolder()); };
    const auto openUrl = [](const QString& address) { QDesktopServices::openUrl(QUrl(address)); };
    const auto removeAll = [this](bool unreadableOnly) {
        if (!list_)
            return;
        unreadableOnly ? list_->RemoveErrorItems() : list_->RemoveAllItems();
        list_->NotifyChanged();
    };
    const struct {
        int id;
        std::function<void()> run;
        const char* text = nullptr; // the item menu's; the menu files name the others
    } commands[] = {
        {CmdAddFiles, [this] { addFiles(); }},
        {CmdAddFolder, [this] { addFolder(false); }},
        {CmdAddFolderTree, [this] { addFolder(true); }},
        {CmdScan, [this] { scan(); }},
        {CmdDeleteSelected, [this] { deleteSelected(); }},
        {CmdClearList, [removeAll] { removeAll(false); }},
        {CmdNewList, [removeAll] { removeAll(false); }},
        {CmdDeleteUnreadable, [removeAll] { removeAll(true); }},
        {CmdMakeOne,
         [this, pdfFolder] {
             if (!listIsEmpty())
                 make(ConversionMode::Single,
                      pdfFolder() + FolderNameOf(list_->GetItemPath(0)) + L".pdf");
         }},
        {CmdMakePerImage, [this, pdfFolder] { make(ConversionMode::PerImage, pdfFolder()); }},
        {CmdMakePerFolder, [this, pdfFolder] { make(ConversionMode::PerFolder, pdfFolder()); }},
        {CmdMakeOneAs, [this] { makeAs(); }},
        {CmdMakePerImageInto, [this] { makeInto(ConversionMode::PerImage); }},
        {CmdMakePerFolderInto, [this] { makeInto(ConversionMode::PerFolder); }},
        {CmdMakeBesideImages, [this] { make(ConversionMode::PerImage, {}); }},
        {CmdHelp, [openUrl] { openUrl(HelpAddress()); }},
        {CmdWebSite, [openUrl] { openUrl(WebSiteAddress()); }},
        {CmdSettings, [this] { openSettings(); }},
        {CmdUpdate, [this] { CUpdateDialog(this).exec(); }},
        {CmdAbout, [this] { CAboutDialog(this).exec(); }},
        {CmdUndo, [this] { undoOrRedo(true); }},
        {CmdRedo, [this] { undoOrRedo(false); }},
        {CmdMoveUp, [this] { moveItems(CmdMoveUp); }, "menu_move_up"},
        {CmdMoveDown, [this] { moveItems(CmdMoveDown); }, "menu_move_down"},
        {CmdMoveAbove, [this] { moveItems(CmdMoveAbove); }, "menu_move_above"},
        {CmdMoveBelow, [this] { moveItems(CmdMoveBelow); }, "menu_move_below"},
        {CmdDeleteItems, [this] { moveItems(CmdDeleteItems); }, "menu_delete_items"},
        {CmdTurnLeft, [this] { turnItems(-1); }, "menu_turn_left"},
        {CmdTurnRight, [this] { turnItems(1); }, "menu_turn_right"},
    };
    for (const auto& command : commands) {
        auto* action = new QAction(command.text ? text(command.text) : QString(), this);
        action->setData(command.id);
        connect(action, &QAction::triggered, this, command.run);
        actions_.insert(command.id, action);
    }

    const struct {
        QAbstractButton* button;
        int command;
    } buttons[] = {
        {ui_.add, CmdAddFiles},        {ui_.remove, CmdDeleteSelected}, {ui_.turnLeft, CmdTurnLeft},
        {ui_.turnRight, CmdTurnRight}, {ui_.settings, CmdSettings},     {ui_.make, CmdMakeOne},
        {ui_.app, CmdWebSite},
    };
    for (const auto& button : buttons)
        connect(button.button, &QAbstractButton::clicked, actions_[button.command],
                &QAction::trigger);
    const struct {
        QAbstractButton* button;
        const char* menu;
    } menus[] = {
        {ui_.addMenu, "SMENU:MENU_ADD"},
        {ui_.removeMenu, "SMENU:MENU_DELETE"},
        {ui_.makeMenu, "SMENU:MENU_MAKE"},
        {ui_.mainMenu, "SMENU:MENU_MAIN"},
    };
    for (const auto& menu : menus)
        connect(menu.button, &QAbstractButton::clicked, this,
                [this, menu] { showMenuUnder(menu.button, QString::fromLatin1(menu.menu)); });

    // The button is the pane's switch: checked means hidden.
    connect(ui_.view, &QAbstractButton::clicked, this,
            [this](bool checked) { ui_.previewPane->setVisible(!checked); });
    connect(ui_.minimise, &QAbstractButton::clicked, this, &QWidget::showMinimized);
    connect(ui_.maximise, &QAbstractButton::clicked, this, &QWidget::showMaximized);
    connect(ui_.restore, &QAbstractButton::clicked, this, &QWidget::showNormal);
    connect(ui_.close, &QAbstractButton::clicked, this, &QWidget::close);

    // The keys people expect of a list window, wherever the focus is in it.
    auto* selectAll = new QAction(this);
    connect(selectAll, &QAction::triggered, ui_.list, &SMCListViewEx::SelectAll);
    const struct {
        QAction* action;
        QKeySequence keys;
    } shortcuts[] = {
        {actions_[CmdDeleteSelected], QKeySequence::Delete},
        {selectAll, QKeySequence::SelectAll},
        {actions_[CmdAddFiles], QKeySequence::Open},
        {actions_[CmdNewList], QKeySequence::New},
        {actions_[CmdScan], QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O)},
        {actions_[CmdTurnLeft], QKeySequence(Qt::CTRL | Qt::Key_L)},
        {actions_[CmdTurnRight], QKeySequence(Qt::CTRL | Qt::Key_R)},
        {actions_[CmdUndo], QKeySequence::Undo},
        {actions_[CmdRedo], QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z)},
    };
    for (const auto& shortcut : shortcuts) {
        shortcut.action->setShortcut(shortcut.keys);
        shortcut.action->setShortcutContext(Qt::WindowShortcut);
        addAction(shortcut.action);
    }

    connect(ui_.list, &SMCListViewEx::selectionChanged, this,
            [this](int, int newRow) { previewRow(newRow); });
    connect(ui_.list, &QWidget::customContextMenuRequested, this, &CMainDlg::showItemMenu);
    connect(ui_.preview, &SImageWndEx::imageLoaded, this, &CMainDlg::previewLoaded);
}

void CMainDlg::startEngine() {
    engine_ = createObject<IFolimo>(FOLIMO_ENGINE);
    if (engine_) {
        LoadEngineSettings(engine_->GetSettings());
        // The query's network thread starts once the window is up, not while it is built.
        QTimer::singleShot(0, this, &CMainDlg::startUpdateCheck);
        list_ = std::make_shared<SFileListAdapter>(engine_.get());
        rows_ = std::make_shared<CFileListRows>(list_);
        history_ = std::make_unique<ListHistory>(*list_);
        ui_.list->SetAdapter(rows_);
        list_->StartInfoThread(this, [this](const ImageListItemPtr&) { listChanged_ = true; });
        list_->SetKeepOrder(GetMoveItemReSort() == 0);
        list_->SetDuplicatePolicy(DuplicatePolicy::Ask, [this] { return askAddAgain(); });
    }
    showAdPanel();
    ui_.sideAd->hide();
}

void CMainDlg::startUpdateCheck() {
    if (auto* check = UpdateCheck::startIfDue(this))
        connect(check, &UpdateCheck::updateFound, this, [this](const UpdateInfo& info) {
            ShowUpdateNotice(ui_.updateLink, ui_.statusLine, info);
        });
}

void CMainDlg::previewLoaded(const QString& path, bool ok) {
    if (ok ? path != ui_.preview->imagePath() : path != ui_.preview->requestedPath())
        return;
    // The row chosen cannot be shown: the pane says why instead of showing the picture of
    // another row.
    if (!ok) {
        ui_.preview->hide();
        ui_.previewHint->setText(previewFailureText(ui_.preview->failure()));
        ui_.previewHint->show();
        return;
    }
    ui_.previewHint->hide();
    ui_.preview->show();
}

void CMainDlg::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange)
        return;
    const bool maximised = isMaximized();
    ui_.restore->setVisible(maximised);
    ui_.maximise->setVisible(!maximised);
}

void CMainDlg::dragEnterEvent(QDragEnterEvent* event) {
    if (list_ && !localPaths(event->mimeData()).empty())
        event->acceptProposedAction();
}

void CMainDlg::dragMoveEvent(QDragMoveEvent* event) {
    if (list_ && !localPaths(event->mimeData()).empty())
        event->acceptProposedAction();
}

void CMainDlg::dropEvent(QDropEvent* event) {
    const std::vector<std::wstring> paths = localPaths(event->mimeData());
    if (!list_ || paths.empty())
        return;
    event->acceptProposedAction();
    const ListHistory::Step step(*history_);
    list_->AddDroppedFiles(paths);
    list_->NotifyChanged();
}

bool CMainDlg::listIsEmpty() {
    if (list_ && list_->GetCount() > 0)
        return false;
    information(this, "msg_list_empty");
    return true;
}

void CMainDlg::make(ConversionMode mode, const std::wstring& output) {
    if (!listIsEmpty())
        StartConversion(mode, output);
}

void CMainDlg::makeInto(ConversionMode mode) {
    if (listIsEmpty())
        return;
    const QString folder = BrowseForFolder(this, {});
    if (!folder.isEmpty())
        StartConversion(mode, withSeparator(folder.toStdWString()));
}

void CMainDlg::makeAs() {
    if (listIsEmpty())
        return;
    const QString proposed =
        QDir(QString::fromStdWString(GetPdfFolder())).filePath(text("save_pdf_default_name"));
    QString file = ChooseSaveFile(
        this, proposed, {NameFilter(text("filter_pdf_name"), text("filter_pdf_pattern"))});
    // A name typed without its extension still makes a file that opens as a PDF.
    if (!file.isEmpty() && QFileInfo(file).suffix().isEmpty())
        file += QStringLiteral(".pdf");
    if (!file.isEmpty())
        StartConversion(ConversionMode::Single, file.toStdWString());
}

void CMainDlg::addFiles() {
    if (!list_)
        return;
    const QStringList filters{
        NameFilter(text("filter_all_files_name"), text("filter_all_files_pattern")),
        NameFilter(text("filter_images_name"), text("filter_images_pattern")),
    };
    // Everything is listed as the first filter, but the dialog opens on the images.
    const QStringList files = ChooseOpenFiles(this, {}, filters, 1, pictureFolder());
    if (files.isEmpty())
        return;
    // The next pictures most likely come from the same place.
    SetAddImageFolder(QFileInfo(files.front()).absolutePath().toStdWString());
    // One step even when the question about files already listed stops the batch
    // half way and the window redraws meanwhile.
    const ListHistory::Step step(*history_);
    for (const QString& file : files)
        list_->AddImageFile(file.toStdWString());
    list_->NotifyChanged();
}

void CMainDlg::addFolder(bool recursive) {
    if (!list_)
        return;
    const QString folder =
        BrowseForFolder(this, text("title_choose_image_folder"), pictureFolder());
    if (folder.isEmpty())
        return;
    SetAddImageFolder(folder.toStdWString());
    const ListHistory::Step step(*history_);
    list_->AddImageFolder(folder.toStdWString(), recursive);
    list_->NotifyChanged();
}

void CMainDlg::scan() {
    if (!list_)
        return;
    if (!scanner_)
        scanner_ = std::make_unique<scan::ScannerService>();
    CScanDialog dialog(*scanner_, this);
    connect(&dialog, &CScanDialog::pageArrived, this, [this](const QString& path) {
        list_->AddImageFile(path.toStdWString());
        list_->NotifyChanged();
    });
    dialog.exec();
}

void CMainDlg::deleteSelected() {
    if (!list_)
        return;
    if (list_->GetSelection().empty()) {
        information(this, "msg_select_to_delete");
        return;
    }
    const int follower = list_->RemoveSelectedItems();
    list_->NotifyChanged();
    ui_.list->SetSel(follower, true);
    if (follower >= 0)
        ui_.list->EnsureVisible(follower);
    // The follower often takes the deleted row's index, which the list does not report
    // as a change, and the preview would go on showing the deleted picture.
    previewRow(ui_.list->GetSel());
}

void CMainDlg::openSettings() {
    if (!engine_)
        return;
    CSettingsDialog dialog(engine_->GetSettings(), this,
                           QString::fromWCharArray(engine_->GetTextData()));
    dialog.exec();
    showAdPanel();
    if (list_)
        list_->SetKeepOrder(GetMoveItemReSort() == 0);
}

void CMainDlg::showAdPanel() {
    ui_.adPanel->setVisible(GetShowAd() != 0);
}

void CMainDlg::showMenuUnder(QAbstractButton* button, const QString& menuName) {
    if (std::unique_ptr<QMenu> menu = LoadMenu(menuName, actions_))
        menu->exec(button->mapToGlobal(button->rect().bottomLeft()));
}

void CMainDlg::showItemMenu(QPoint viewportPos) {
    const int row = ui_.list->HitTest(viewportPos);
    // A row the view still shows may be gone from the list until its next redraw.
    if (!list_ || row < 0 || row >= list_->GetCount())
        return;
    std::unique_ptr<QMenu> menu = LoadMenu(QStringLiteral("SMENUEX:MENUEX_IMAGE_LIST"), actions_);
    if (!menu)
        return;
    QList<int> offered;
    if (ui_.list->GetSel() >= 0)
        offered << CmdMoveAbove << CmdMoveBelow;
    if (row > 0)
        offered << CmdMoveUp;
    if (row < list_->GetCount() - 1)
        offered << CmdMoveDown;
    offered << CmdTurnLeft << CmdTurnRight << CmdDeleteItems;
    for (int command : offered)
        menu->addAction(actions_[command]);
    itemMenuRow_ = row;
    menu->exec(ui_.list->viewport()->mapToGlobal(viewportPos));
    // The keys that share these commands act on the selection alone.
    itemMenuRow_ = -1;
}

void CMainDlg::showListTotal() {
    if (!list_ || list_->GetCount() == 0) {
        ui_.listTotal->clear();
        return;
    }
    // Rows still being read, or not readable as pictures yet, make the total a floor.
    const SFileListAdapter::PageTotal total = list_->TotalPages();
    const QString text = total.unknownRows > 0
                             ? QCoreApplication::translate("CMainDlg", "文件：%1　页数：至少 %2")
                             : QCoreApplication::translate("CMainDlg", "文件：%1　页数：%2");
    ui_.listTotal->setText(text.arg(list_->GetCount()).arg(total.pages));
}

void CMainDlg::turnItems(int quarterTurns) {
    if (!list_)
        return;
    const int row = itemMenuRow_;
    if (row >= 0 && row < list_->GetCount() && !list_->IsItemSelected(row))
        list_->GetItemData(row)->turn(quarterTurns);
    else if (!list_->TurnSelectedItems(quarterTurns))
        return;
    list_->NotifyChanged();
    previewRow(ui_.list->GetSel());
}

void CMainDlg::undoOrRedo(bool undo) {
    if (!history_)
        return;
    undo ? history_->Stack().undo() : history_->Stack().redo();
    ui_.list->EnsureVisible(ui_.list->GetSel());
    previewRow(ui_.list->GetSel());
}

void CMainDlg::moveItems(int command) {
    const int count = list_ ? list_->GetCount() : 0;
    const int row = itemMenuRow_;
    if (row < 0 || row >= count)
        return;
    const std::vector<int> selection = list_->GetSelection();
    std::vector<int> rows;
    for (int selected : selection)
        if (selected >= 0 && selected < count)
            rows.push_back(selected);
    const auto moveTo = [&](int to) {
        if (list_->MoveItemsTo(to, selection))
            ui_.list->ClearSortMarks();
    };
    switch (command) {
    case CmdMoveUp:
        if (!rows.empty()) {
            const int first = *std::min_element(rows.begin(), rows.end());
            if (first > 0)
                moveTo(first - 1);
        }
        break;
    case CmdMoveDown:
        if (!rows.empty()) {
            const int last = *std::max_element(rows.begin(), rows.end());
            if (last < count - 1)
                moveTo(last + 2);
        }
        break;
    case CmdMoveAbove:
        moveTo(row);
        break;
    case CmdMoveBelow:
        moveTo(row + 1);
        break;
    default:
        list_->RemoveSelectedItems();
        break;
    }
    list_->NotifyChanged();
    previewRow(ui_.list->GetSel());
}

QString CMainDlg::previewFailureText(PreviewFailure failure) {
    switch (failure) {
    case PreviewFailure::Missing:
        return QCoreApplication::translate("CMainDlg", "无法显示: 文件不存在");
    case PreviewFailure::Unreadable:
        return QCoreApplication::translate("CMainDlg", "无法显示: 文件无法读取");
    case PreviewFailure::Damaged:
        return QCoreApplication::translate("CMainDlg", "无法显示: 文件已损坏");
    case PreviewFailure::TooLarge:
        return QCoreApplication::translate("CMainDlg", "无法显示: 图片太大，无法预览");
    case PreviewFailure::NotAPicture:
    case PreviewFailure::None:
        break;
    }
    return QCoreApplication::translate("CMainDlg", "无法显示: 不是图片");
}

void CMainDlg::previewRow(int row) {
    if (row < 0 || !list_) {
        ui_.preview->SetImage({});
        ui_.preview->hide();
        ui_.previewHint->setText(previewHint_);
        ui_.previewHint->show();
        return;
    }
    // Shown when it is in (see previewLoaded); a file that cannot be read, such as a PDF,
    // leaves the picture before it in place.
    ui_.preview->SetImagePath(QString::fromStdWString(list_->GetItemPath(row)),
                              list_->GetItemData(row)->clockwiseDegrees());
}

std::vector<std::wstring> CMainDlg::StartConversion(ConversionMode mode, const std::wstring& output,
                                                    bool closeWhenFinished) {
    std::vector<std::wstring> written;
    if (!engine_ || !list_ || list_->GetCount() == 0)
        return written;
    std::vector<ListedFile> files;
    files.reserve(size_t(list_->GetCount()));
    for (int row = 0; row < list_->GetCount(); ++row) {
        const ImageListItemPtr item = list_->GetItemData(row);
        files.push_back({item->field(ImageListItem::Path), item->clockwiseDegrees()});
    }
    const std::vector<ConversionJob> jobs = SplitIntoJobs(files, mode, output);

    ConversionProgress progress(int(files.size()), mode);
    // The window is built before the run starts, so a window that cannot be built leaves
    // no run behind.
    std::unique_ptr<CMakeDialog> dialog;
    try {
        dialog = std::make_unique<CMakeDialog>(progress, this);
    } catch (const LayoutError& error) {
        QMessageBox::critical(this, text("msgbox_caption"), QString::fromUtf8(error.what()));
        return written;
    }
    dialog->SetCloseWhenFinished(closeWhenFinished);
    forwarder_.SetTarget(&progress, int(files.size()));
    std::thread worker([&] {
        // The run and the threads the engine starts for it (they inherit this) yield to
        // the window's thread, which then never waits long for a core even when the run
        // keeps every core busy; on an idle core the run loses nothing.
        ::setpriority(PRIO_PROCESS, pid_t(::gettid()), 5);
        written = RunJobs(*engine_, jobs, &forwarder_, &forwarder_);
        forwarder_.OnNotify();
    });
    dialog->exec();
    // An event loop ended under the window leaves a run no one watches: it ends at its
    // next page. Otherwise the window closed only once
    // the run was over (closing it earlier stops the run and waits), and this wait is
    // over at once.
    if (!progress.Finished())
        progress.Stop();
    worker.join();
    forwarder_.SetTarget(nullptr, 0);
    return written;
}

} // namespace folimo::ui
