// The main window. It owns the program's one engine object, whose settings record is
// filled from the store when the window starts, and the image list; it turns the user's
// gestures (buttons, menus, the list's context menu, dropped files, keys) into list
// changes, previews and conversion runs. Every command is one of its actions, whichever
// button, menu item or key triggers it.
#pragma once

#include <ConversionJob.h>
#include <ConversionProgress.h>
#include <folimo/Owned.h>

#include <QHash>
#include <QTimer>
#include <QWidget>

#include <memory>

class QAbstractButton;
class QAction;
class QLabel;

namespace folimo {
class ListHistory;
class SFileListAdapter;
} // namespace folimo

namespace folimo::scan {
class ScannerService;
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
    CmdScan = 14,
    CmdHelp = 20,
    CmdWebSite = 21,
    CmdSettings = 24,
    CmdUpdate = 25,
    CmdAbout = 26,
    CmdUndo = 27,
    CmdRedo = 28,
    CmdNewList = 29,
    // The list's context menu.
    CmdMoveUp = 1001,
    CmdMoveDown = 1002,
    CmdMoveAbove = 1003,
    CmdMoveBelow = 1004,
    CmdDeleteItems = 1005,
    CmdTurnLeft = 1006,
    CmdTurnRight = 1007,
};

class CMainDlg : public QWidget {
    Q_OBJECT
public:
    // Throws LayoutError when the window's layout cannot be built.
    CMainDlg();
    ~CMainDlg() override;

    // Null when the engine could not be created (the window then says so).
    IFolimo* Engine() const { return engine_.get(); }
    // The image list; null without an engine.
    SFileListAdapter* ImageList() const { return list_.get(); }

    // Started for the file manager's verb: a second after this, the window converts
    // whatever the list holds then, one PDF beside each image.
    void SetAutoConversion(bool on);

    // Puts back the list kept when the window last closed, and keeps it again when this
    // one closes. Not called for the file manager's one-shot conversion, whose list
    // neither starts from nor replaces the kept one.
    void KeepListBetweenStarts();

    // Converts the whole list on a worker thread while the progress window shows the
    // run; returns when that window is closed, with the names of the documents written.
    // `output` is the PDF in single mode and a folder (or nothing, per image) otherwise.
    std::vector<std::wstring> StartConversion(ConversionMode mode, const std::wstring& output,
                                              bool closeWhenFinished = false);

    // Where the web site and the help page are.
    static QString WebSiteAddress();
    static QString HelpAddress();

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void bindCommands();
    void startEngine();
    void startUpdateCheck();
    void addFiles();
    void addFolder(bool recursive);
    // The scan window; its pages join the list as they arrive.
    void scan();
    void deleteSelected();
    void openSettings();
    void showAdPanel();
    // Conversion commands: the message for an empty list, else the run.
    void make(ConversionMode mode, const std::wstring& output);
    void makeInto(ConversionMode mode); // into a folder the user picks
    void makeAs();                      // one PDF the user names
    void showMenuUnder(QAbstractButton* button, const QString& menuName);
    void showItemMenu(QPoint viewportPos);
    // The item menu's commands, for the row it was opened on.
    void moveItems(int command);
    // Turns the selected rows, or the item menu's row when it is not among them.
    void turnItems(int quarterTurns);
    void undoOrRedo(bool undo);
    void previewRow(int row);
    void previewLoaded(const QString& path, bool ok);
    // Why the preview cannot show the chosen row, in the window's language.
    static QString previewFailureText(PreviewFailure failure);
    bool listIsEmpty();
    void showListTotal();
    // Asked the first time an add meets files already listed; true: add them again.
    bool askAddAgain();

    struct Controls {
        QAbstractButton* add;
        QAbstractButton* addMenu;
        QAbstractButton* remove;
        QAbstractButton* removeMenu;
        QAbstractButton* make;
        QAbstractButton* makeMenu;
        QAbstractButton* turnLeft;
        QAbstractButton* turnRight;
        QAbstractButton* settings;
        QAbstractButton* app;
        QAbstractButton* mainMenu;
        QAbstractButton* view;
        QAbstractButton* minimise;
        QAbstractButton* maximise;
        QAbstractButton* restore;
        QAbstractButton* close;
        QWidget* previewPane;
        QWidget* adPanel;
        QWidget* sideAd;
        SMCListViewEx* list;
        SImageWndEx* preview;
        QLabel* previewHint;
        QLabel* updateLink;
        QWidget* statusLine;
        QLabel* listTotal;
    } ui_;
    QHash<int, QAction*> actions_;
    int itemMenuRow_ = -1;  // the row the item menu was last opened on
    bool keepList_ = false; // the list is saved when the window closes

    Owned<IFolimo> engine_;
    std::shared_ptr<SFileListAdapter> list_;
    std::shared_ptr<CFileListRows> rows_;
    std::unique_ptr<ListHistory> history_; // the list's edits, for undo and redo
    QString previewHint_;                  // what the preview pane says while no row is chosen
    // Items whose information came in since the list was last redrawn: the list is
    // redrawn once a second at most, not once an item.
    bool listChanged_ = false;
    QTimer refresh_;
    QTimer autoConversion_;
    // What the engine calls during a run: passed on to the progress window's side.
    ConversionForwarder forwarder_;
    // Made at the first scan, not at start-up: SANE's start looks for every scanner,
    // network ones included, which takes seconds nobody who never scans should wait.
    std::unique_ptr<scan::ScannerService> scanner_;
};

} // namespace folimo::ui
