#include "CMainDlg.h"

#include "CAboutDialog.h"
#include "CMakeDialog.h"
#include "CSettingsDialog.h"
#include "CUpdateDialog.h"
#include "FileDialogs.h"
#include "FileListRows.h"
#include "Menus.h"
#include "MessageBox.h"
#include "Resources.h"
#include "SImageWndEx.h"
#include "SMCListViewEx.h"
#include "SettingsStore.h"
#include "UpdateNotice.h"
#include "WindowHandle.h"

#include <ImageList.h>

#include <QAbstractButton>
#include <QAction>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QStandardPaths>
#include <QUrl>

#include <algorithm>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

namespace folimo::ui {
namespace {

constexpr int kRefreshTimer = 1;

QString text(const char* name) {
    return GetString(QString::fromLatin1(name));
}

void information(QWidget* owner, const char* name) {
    SMessageBox(owner, text(name), {}, MB_OK | MB_ICONINFORMATION);
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
    const QString stored = QString::fromStdWString(GetAddImageFolder());
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

CMainDlg::CMainDlg() : HostWindow("LAYOUT:XML_MAINWND") {}

CMainDlg::~CMainDlg() {
    // The list's information thread calls back into this window: it ends before the
    // window's parts do.
    if (view_)
        view_->SetAdapter(nullptr);
    rows_.reset();
    list_.reset();
}

QString CMainDlg::WebSiteAddress() {
    return QStringLiteral("https://www.velmar.com/folimo/");
}

QString CMainDlg::HelpAddress() {
    return QStringLiteral("https://www.velmar.com/folimo/help/");
}

void CMainDlg::OnInit() {
    checkUpdate_ = RegisterWindowMessage(QStringLiteral("CheckUpdate"));
    setAcceptDrops(true);
    engine_ = createObject<IFolimo>(FOLIMO_ENGINE);
    if (engine_) {
        LoadEngineSettings(engine_->GetSettings());
        StartUpdateCheckAtStartup(Handle(), checkUpdate_);
    }
    initialised_ = true;

    view_ = FindChildByName2<SMCListViewEx>(QStringLiteral("mclv_list"));
    preview_ = FindChildByName2<SImageWndEx>(QStringLiteral("img_preview"));
    if (view_ && engine_) {
        list_ = std::make_shared<SFileListAdapter>(engine_.get());
        rows_ = std::make_shared<CFileListRows>(list_);
        view_->SetAdapter(rows_);
        connect(view_, &SMCListViewEx::selectionChanged, this,
                [this](int, int row) { previewRow(row); });
        list_->StartInfoThread(this, [this](const ImageListItemPtr&) { listChanged_ = true; });
        list_->SetKeepOrder(GetMoveItemReSort() == 0);
    }
    showAdPanel();
    if (QWidget* side = FindChildByName(QStringLiteral("wnd_right_ad")))
        side->hide();
    if (preview_) {
        if (auto* placeholder = FindChildByName2<QLabel>(QStringLiteral("txt_preview")))
            previewHint_ = placeholder->text();
        connect(preview_, &SImageWndEx::imageLoaded, this, [this](const QString& path, bool ok) {
            if (ok ? path != preview_->imagePath() : path != preview_->requestedPath())
                return;
            auto* placeholder = FindChildByName2<QLabel>(QStringLiteral("txt_preview"));
            // The row chosen cannot be shown: the pane says why instead of showing the
            // picture of another row.
            if (!ok) {
                preview_->hide();
                if (placeholder) {
                    placeholder->setText(previewFailureText(preview_->failure()));
                    placeholder->show();
                }
                return;
            }
            if (placeholder)
                placeholder->hide();
            preview_->show();
        });
    }

    // The keys people expect of a list window, wherever the focus is in it.
    const struct {
        QKeySequence keys;
        std::function<void()> run;
    } shortcuts[] = {
        {QKeySequence::Delete, [this] { deleteSelected(); }},
        {QKeySequence::SelectAll,
         [this] {
             if (view_)
                 view_->SelectAll();
         }},
        {QKeySequence::Open, [this] { addFiles(); }},
    };
    for (const auto& shortcut : shortcuts) {
        auto* action = new QAction(this);
        action->setShortcut(shortcut.keys);
        action->setShortcutContext(Qt::WindowShortcut);
        connect(action, &QAction::triggered, this, shortcut.run);
        addAction(action);
    }

    SetTimer(kRefreshTimer, 1000);
    if (!engine_)
        SMessageBox(this, QCoreApplication::translate("CMainDlg", "转换引擎无法启动。"),
                    text("msgbox_caption"), MB_OK | MB_ICONERROR);
}

bool CMainDlg::OnMessage(unsigned msg, quintptr wParam, qintptr lParam, qintptr& result) {
    if (msg != checkUpdate_ || checkUpdate_ == 0)
        return HostWindow::OnMessage(msg, wParam, lParam, result);
    // The answer lives on the query's stack for as long as this message is handled.
    if (wParam == 1 && lParam != 0)
        ShowUpdateNotice(this, *reinterpret_cast<const UpdateInfo*>(lParam));
    result = 0;
    return true;
}

void CMainDlg::OnTimer(int id) {
    if (id != kRefreshTimer || !list_)
        return;
    if (std::exchange(listChanged_, false))
        list_->NotifyInvalidated();
    if (std::exchange(autoConversion_, false) && list_->GetCount() > 0)
        StartConversion(ConversionMode::PerImage, {});
}

void CMainDlg::changeEvent(QEvent* event) {
    HostWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !initialised_)
        return;
    const bool maximised = isMaximized();
    if (QWidget* restore = FindChildByName(QStringLiteral("btn_restore")))
        restore->setVisible(maximised);
    if (QWidget* maximise = FindChildByName(QStringLiteral("btn_max")))
        maximise->setVisible(!maximised);
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
    list_->AddDroppedFiles(paths);
    list_->NotifyChanged();
}

bool CMainDlg::OnEvent(Event& event) {
    if (event.name == QLatin1String("mclv_list")) {
        if (event.id == EventId::ContextMenu) {
            showItemMenu(event.pos);
            return true;
        }
    }
    return HostWindow::OnEvent(event);
}

bool CMainDlg::OnCommand(const QString& name) {
    if (name == QLatin1String("btn_view")) {
        // The button is the pane's switch: checked means hidden.
        auto* view = FindChildByName2<QAbstractButton>(name);
        if (QWidget* pane = FindChildByName(QStringLiteral("win_prview")); view && pane)
            pane->setVisible(!view->isChecked());
        return true;
    }
    static const struct {
        const char* button;
        int command;
    } buttons[] = {
        {"btn_add", CmdAddFiles}, {"btn_delete", CmdDeleteSelected}, {"btn_settings", CmdSettings},
        {"btn_make", CmdMakeOne}, {"btn_app", CmdWebSite},
    };
    for (const auto& button : buttons)
        if (name == QLatin1String(button.button))
            return OnMenuCommand(button.command);
    static const struct {
        const char* button;
        const char* menu;
    } menus[] = {
        {"btn_add_ext", "SMENU:MENU_ADD"},
        {"btn_delete_ext", "SMENU:MENU_DELETE"},
        {"btn_make_ext", "SMENU:MENU_MAKE"},
        {"btn_menu", "SMENU:MENU_MAIN"},
    };
    for (const auto& menu : menus) {
        if (name == QLatin1String(menu.button)) {
            showMenuUnder(name, QString::fromLatin1(menu.menu));
            return true;
        }
    }
    return false;
}

bool CMainDlg::OnMenuCommand(int id) {
    // The store is read only by the commands that write into the PDF folder.
    const auto pdfFolder = [] { return withSeparator(GetPdfFolder()); };
    switch (id) {
    case CmdAddFiles:
        addFiles();
        return true;
    case CmdAddFolder:
    case CmdAddFolderTree:
        addFolder(id == CmdAddFolderTree);
        return true;
    case CmdDeleteSelected:
        deleteSelected();
        return true;
    case CmdClearList:
        if (list_) {
            list_->RemoveAllItems();
            list_->NotifyChanged();
        }
        return true;
    case CmdDeleteUnreadable:
        if (list_) {
            list_->RemoveErrorItems();
            list_->NotifyChanged();
        }
        return true;
    case CmdMakeOne:
        if (!listIsEmpty())
            make(ConversionMode::Single,
                 pdfFolder() + FolderNameOf(list_->GetItemPath(0)) + L".pdf");
        return true;
    case CmdMakePerImage:
        make(ConversionMode::PerImage, pdfFolder());
        return true;
    case CmdMakePerFolder:
        make(ConversionMode::PerFolder, pdfFolder());
        return true;
    case CmdMakeOneAs:
        makeAs();
        return true;
    case CmdMakePerImageInto:
        makeInto(ConversionMode::PerImage);
        return true;
    case CmdMakePerFolderInto:
        makeInto(ConversionMode::PerFolder);
        return true;
    case CmdMakeBesideImages:
        make(ConversionMode::PerImage, {});
        return true;
    case CmdHelp:
        QDesktopServices::openUrl(QUrl(HelpAddress()));
        return true;
    case CmdWebSite:
        QDesktopServices::openUrl(QUrl(WebSiteAddress()));
        return true;
    case CmdSettings:
        openSettings();
        return true;
    case CmdUpdate:
        CUpdateDialog().DoModal(this);
        return true;
    case CmdAbout:
        CAboutDialog().DoModal(this);
        return true;
    default:
        return false;
    }
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
    const QString file = ChooseSaveFile(
        this, proposed, {NameFilter(text("filter_pdf_name"), text("filter_pdf_pattern"))});
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
    list_->AddImageFolder(folder.toStdWString(), recursive);
    list_->NotifyChanged();
}

void CMainDlg::deleteSelected() {
    if (!view_ || !list_)
        return;
    if (list_->GetSelection().empty()) {
        information(this, "msg_select_to_delete");
        return;
    }
    const int follower = list_->RemoveSelectedItems();
    list_->NotifyChanged();
    view_->SetSel(follower, true);
    if (follower >= 0)
        view_->EnsureVisible(follower);
    // The follower often takes the deleted row's index, which the list does not report
    // as a change, and the preview would go on showing the deleted picture.
    previewRow(view_->GetSel());
}

void CMainDlg::openSettings() {
    if (!engine_)
        return;
    CSettingsDialog dialog(engine_->GetSettings());
    dialog.DoModal(this);
    showAdPanel();
    if (list_)
        list_->SetKeepOrder(GetMoveItemReSort() == 0);
}

void CMainDlg::showAdPanel() {
    if (QWidget* panel = FindChildByName(QStringLiteral("top_ie_ad")))
        panel->setVisible(GetShowAd() != 0);
}

void CMainDlg::showMenuUnder(const QString& buttonName, const QString& menuName) {
    QWidget* button = FindChildByName(buttonName);
    std::unique_ptr<QMenu> menu = LoadMenu(menuName);
    if (!button || !menu)
        return;
    PopupMenu(*menu, button->mapToGlobal(button->rect().bottomLeft()));
}

void CMainDlg::showItemMenu(QPoint viewportPos) {
    if (!view_ || !list_)
        return;
    const int row = view_->HitTest(viewportPos);
    // A row the view still shows may be gone from the list until its next redraw.
    if (row < 0 || row >= list_->GetCount())
        return;
    std::unique_ptr<QMenu> menu = LoadMenu(QStringLiteral("SMENUEX:MENUEX_IMAGE_LIST"));
    if (!menu)
        return;
    const int count = list_->GetCount();
    if (view_->GetSel() >= 0) {
        AppendMenu(menu.get(), MF_STRING, CmdMoveAbove, text("menu_move_above"));
        AppendMenu(menu.get(), MF_STRING, CmdMoveBelow, text("menu_move_below"));
    }
    if (row > 0)
        AppendMenu(menu.get(), MF_STRING, CmdMoveUp, text("menu_move_up"));
    if (row < count - 1)
        AppendMenu(menu.get(), MF_STRING, CmdMoveDown, text("menu_move_down"));
    AppendMenu(menu.get(), MF_STRING, CmdDeleteItems, text("menu_delete_items"));

    const int command = TrackPopupMenu(menu.get(), view_->viewport()->mapToGlobal(viewportPos));
    const std::vector<int> selection = list_->GetSelection();
    std::vector<int> rows;
    for (int selected : selection)
        if (selected >= 0 && selected < count)
            rows.push_back(selected);
    switch (command) {
    case CmdMoveUp:
        if (!rows.empty()) {
            const int first = *std::min_element(rows.begin(), rows.end());
            if (first > 0)
                list_->MoveItemsTo(first - 1, selection);
        }
        break;
    case CmdMoveDown:
        if (!rows.empty()) {
            const int last = *std::max_element(rows.begin(), rows.end());
            if (last < count - 1)
                list_->MoveItemsTo(last + 2, selection);
        }
        break;
    case CmdMoveAbove:
        list_->MoveItemsTo(row, selection);
        break;
    case CmdMoveBelow:
        list_->MoveItemsTo(row + 1, selection);
        break;
    case CmdDeleteItems:
        list_->RemoveSelectedItems();
        break;
    default:
        return;
    }
    list_->NotifyChanged();
    previewRow(view_->GetSel());
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
    if (!preview_)
        return;
    QWidget* placeholder = FindChildByName(QStringLiteral("txt_preview"));
    if (row < 0 || !list_) {
        preview_->SetImage({});
        preview_->hide();
        if (auto* label = qobject_cast<QLabel*>(placeholder))
            label->setText(previewHint_);
        if (placeholder)
            placeholder->show();
        return;
    }
    // Shown when it is in (see OnInit); a file that cannot be read, such as a PDF,
    // leaves the picture before it in place.
    preview_->SetImagePath(QString::fromStdWString(list_->GetItemPath(row)));
}

std::vector<std::wstring> CMainDlg::StartConversion(ConversionMode mode, const std::wstring& output,
                                                    bool closeWhenFinished) {
    std::vector<std::wstring> written;
    if (!engine_ || !list_ || list_->GetCount() == 0)
        return written;
    std::vector<std::wstring> paths;
    for (int row = 0; row < list_->GetCount(); ++row)
        paths.push_back(list_->GetItemPath(row));
    const std::vector<ConversionJob> jobs = SplitIntoJobs(paths, mode, output);

    ConversionProgress progress(int(paths.size()), mode);
    forwarder_.SetTarget(&progress, int(paths.size()));
    std::thread worker([&] {
        // The run and the threads the engine starts for it (they inherit this) yield to
        // the window's thread, which then never waits long for a core even when the run
        // keeps every core busy; on an idle core the run loses nothing.
        ::setpriority(PRIO_PROCESS, pid_t(::gettid()), 5);
        written = RunJobs(*engine_, jobs, &forwarder_, &forwarder_);
        forwarder_.OnNotify();
    });
    CMakeDialog dialog(progress, this);
    dialog.SetCloseWhenFinished(closeWhenFinished);
    dialog.DoModal(this);
    // A window that could not be built, or an event loop ended under it, leaves a run
    // no one watches: it ends at its next page. Otherwise the window closed only once
    // the run was over (closing it earlier stops the run and waits), and this wait is
    // over at once.
    if (!progress.Finished())
        progress.Stop();
    worker.join();
    forwarder_.SetTarget(nullptr, 0);
    return written;
}

} // namespace folimo::ui
