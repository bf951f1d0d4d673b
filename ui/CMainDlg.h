// The main window. It owns the program's one engine object, whose settings record is
// filled from the store when the window starts, and the image list; it turns the user's
// gestures (buttons, menus, the list's context menu, dropped files, keys) into list
// changes, previews and conversion runs.
#pragma once

#include "HostWindow.h"

#include <ConversionJob.h>
#include <ConversionProgress.h>
#include <folimo/Owned.h>

#include <memory>

class QMenu;

namespace folimo {
class SFileListAdapter;
}

namespace folimo::ui {

class CFileListRows;
class SImageWndEx;
enum class PreviewFailure;
class SMCListViewEx;

// The command numbers of the main window's menus, as the menu files carry them.
enum MainCommand : int {
    CmdAddFiles = 1,
    CmdAddFolder = 2,
    CmdAddFolderTree = 3,
    CmdDeleteSelected = 4,
    CmdClearList = 5,
    CmdMakeOne = 6,
    CmdMakePerImage = 7,
    CmdMakePerFolder = 8,
    CmdMakeOneAs = 9,
    CmdMakePerImageInto = 10,
    CmdMakePerFolderInto = 11,
    CmdMakeBesideImages = 12,
    CmdDeleteUnreadable = 13,
    CmdHelp = 20,
    CmdWebSite = 21,
    CmdSettings = 24,
    CmdUpdate = 25,
    CmdAbout = 26,
    // The list's context menu.
    CmdMoveUp = 1001,
    CmdMoveDown = 1002,
    CmdMoveAbove = 1003,
    CmdMoveBelow = 1004,
    CmdDeleteItems = 1005,
};

class CMainDlg : public HostWindow {
    Q_OBJECT
public:
    CMainDlg();
    ~CMainDlg() override;

    // Null when the engine could not be created (the window then says so).
    IFolimo* Engine() const { return engine_.get(); }
    // The image list; null before the window starts or without an engine.
    SFileListAdapter* ImageList() const { return list_.get(); }

    // Started for the file manager's verb: the first tick of the window's timer converts
    // whatever the list holds then, one PDF beside each image. Set before Create().
    void SetAutoConversion(bool on) { autoConversion_ = on; }

    // Converts the whole list on a worker thread while the progress window shows the
    // run; returns when that window is closed, with the names of the documents written.
    // `output` is the PDF in single mode and a folder (or nothing, per image) otherwise.
    std::vector<std::wstring> StartConversion(ConversionMode mode, const std::wstring& output,
                                              bool closeWhenFinished = false);

    // Runs a command as its menu item does.
    bool OnMenuCommand(int id) override;

    // Where the web site and the help page are.
    static QString WebSiteAddress();
    static QString HelpAddress();

protected:
    void OnInit() override;
    bool OnEvent(Event& event) override;
    bool OnCommand(const QString& name) override;
    void OnTimer(int id) override;

    void changeEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void addFiles();
    void addFolder(bool recursive);
    void deleteSelected();
    void openSettings();
    void showAdPanel();
    // Conversion commands: the message for an empty list, else the run.
    void make(ConversionMode mode, const std::wstring& output);
    void makeInto(ConversionMode mode); // into a folder the user picks
    void makeAs();                      // one PDF the user names
    void showMenuUnder(const QString& buttonName, const QString& menuName);
    void showItemMenu(QPoint viewportPos);
    void previewRow(int row);
    // Why the preview cannot show the chosen row, in the window's language.
    static QString previewFailureText(PreviewFailure failure);
    void listChangedAfterEdit();
    bool listIsEmpty();

    bool initialised_ = false;
    Owned<IFolimo> engine_;
    std::shared_ptr<SFileListAdapter> list_;
    std::shared_ptr<CFileListRows> rows_;
    SMCListViewEx* view_ = nullptr;
    SImageWndEx* preview_ = nullptr;
    QString previewHint_; // what the preview pane says while no row is chosen
    // Items whose information came in since the list was last redrawn: the list is
    // redrawn once a second at most, not once an item.
    bool listChanged_ = false;
    bool autoConversion_ = false;
    // What the engine calls during a run: passed on to the progress window's side.
    ConversionForwarder forwarder_;
};

} // namespace folimo::ui
