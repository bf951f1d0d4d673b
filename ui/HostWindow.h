// Windows built from a named layout: the main window is a HostWindow, the settings,
// progress, update and about windows are HostDialogs. A window class names its layout,
// finds its controls in OnInit and handles their events by name:
//
//     class CAboutDialog : public HostDialog {
//     public:
//         CAboutDialog() : HostDialog("LAYOUT:XML_ABOUTWND") {}
//     protected:
//         void OnInit() override { FindChildByName2<QLabel>("text_ver")->setText(...); }
//     };
//     CAboutDialog().DoModal(mainWindow);
//
// Everything here belongs to the GUI thread; other threads use Handle().
#pragma once

#include "DialogCodes.h"
#include "Events.h"
#include "FindChild.h"
#include "WindowHandle.h"

#include <QDialog>
#include <QPoint>
#include <QString>
#include <QWidget>

#include <memory>
#include <optional>

class QMenu;

namespace folimo::ui {

class TimerSet;

// What the main window and the dialogs share: the layout, events, timers, the message
// map and the handle. Mixed into a QWidget subclass (HostWindow, HostDialog).
class LayoutHost {
public:
    LayoutHost(QWidget* self, const QString& layoutName);
    virtual ~LayoutHost();
    LayoutHost(const LayoutHost&) = delete;
    LayoutHost& operator=(const LayoutHost&) = delete;

    const QString& LayoutName() const { return layoutName_; }
    // The layout's root widget, placed inside the window; null until the layout is built.
    QWidget* Root() const { return root_; }
    // Why the layout could not be built.
    const QString& ErrorString() const { return error_; }

    QWidget* FindChildByName(const QString& name, int levels = -1) const {
        return ui::FindChildByName(self_, name, levels);
    }
    template <class T>
    T* FindChildByName2(const QString& name, int levels = -1) const {
        return ui::FindChildByName2<T>(self_, name, levels);
    }

    // Window timers: each id repeats every `ms` until killed and reaches OnTimer.
    bool SetTimer(int id, int ms);
    bool KillTimer(int id);

    // For other threads: reaches OnMessage, or runs calls, on this window's thread.
    std::shared_ptr<WindowHandle> Handle() const { return handle_; }

    // Makes `control` raise its events (clicks, tab changes, ...) to this window. The
    // controls of the layout are wired when it is built; controls made later call this.
    void WireControl(QObject* control);

    // Handles an event as this window does for its controls' events: OnEvent, then the
    // default handling. True when handled.
    bool DispatchEvent(Event& event);

    // Shows `menu` at a global position; a chosen item reaches OnMenuCommand. Answers the
    // chosen command number, 0 when the menu was dismissed.
    int PopupMenu(QMenu& menu, const QPoint& globalPos);

protected:
    // Once the layout is built, before the window first shows: find controls, start
    // timers and threads.
    virtual void OnInit() {}
    // The one entry for all events of the window's controls. The base passes commands to
    // OnCommand; true stops the event, false leaves it to the default handling.
    virtual bool OnEvent(Event& event);
    // A command (event 10000) by the sender's name ("btn_make").
    virtual bool OnCommand(const QString& name);
    // A chosen menu item's command number.
    virtual bool OnMenuCommand(int id);
    virtual void OnTimer(int id);
    // The window's message map for messages from Handle(): true when handled, with the
    // answer in `result`.
    virtual bool OnMessage(unsigned msg, quintptr wParam, qintptr lParam, qintptr& result);

    // What the window did not handle: closing roles and the like.
    virtual bool DefaultEvent(Event& event) = 0;

    // 1 for a control that confirms the window ("btn_ok", "id_ok"), 2 for one that
    // cancels or closes it ("btn_cancel", "btn_close", "id_cancel"), 0 for others. A layout
    // gives any other control such a role with the property commandId = 1 or 2.
    static int CommandRole(const Event& event);

    bool BuildLayout();
    // The handle opened, the layout built, and OnInit called the first time.
    bool Prepare();
    // A window that ends refuses other threads' calls from then on; one that starts again
    // gets a fresh handle.
    void OpenHandle();
    void CloseHandle();

private:
    QWidget* self_;
    QString layoutName_;
    QWidget* root_ = nullptr;
    QString error_;
    bool initialised_ = false;
    TimerSet* timers_ = nullptr;
    std::shared_ptr<WindowHandle> handle_;
};

// A top-level window such as the main window: Create() builds it, show() shows it, and
// closing it ends the program's event loop (Qt quits when the last window closes). It
// is not deleted when closed, so it can live on the stack of main().
class HostWindow : public QWidget, public LayoutHost {
    Q_OBJECT
public:
    explicit HostWindow(const QString& layoutName, QWidget* parent = nullptr);
    ~HostWindow() override;

    // Builds the layout, then OnInit. False (ErrorString) when the layout cannot be built.
    bool Create();

    // A layout with a caption of its own ("wnd_caption") makes a window without the
    // window manager's frame; the caption and a corner grip move and size it.
    bool HasOwnCaption() const { return caption_ != nullptr; }

protected:
    // "btn_ok"/"btn_close" and the other closing roles close the window, "btn_min",
    // "btn_max" and "btn_restore" minimise, maximise and restore it.
    bool DefaultEvent(Event& event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QObject* caption_ = nullptr;
};

// A modal dialog. DoModal answers IDOK or IDCANCEL (Qt's Accepted and Rejected are not
// used: the windows' code compares with the IDOK/IDCANCEL of DialogCodes.h), or -1 when
// the layout cannot be built. Escape and the title bar's close button cancel.
class HostDialog : public QDialog, public LayoutHost {
    Q_OBJECT
public:
    explicit HostDialog(const QString& layoutName, QWidget* parent = nullptr);
    ~HostDialog() override;

    // Builds the layout and calls OnInit the first time, shows the dialog over `parent`
    // and returns the code that ended it.
    int DoModal(QWidget* parent = nullptr);
    void EndDialog(int code);

    // The confirming and cancelling roles end here; a dialog that must check or save
    // something first overrides them and calls the base (or EndDialog) when done.
    virtual void OnOK();
    virtual void OnCancel();

    void accept() override { OnOK(); }
    void reject() override { OnCancel(); }

protected:
    bool DefaultEvent(Event& event) override;

private:
    // An end asked for while the dialog is being prepared (OnInit finds its work already
    // done) is kept for DoModal, which then returns it without entering the dialog's loop:
    // that loop would wait for an end that has already come.
    bool preparing_ = false;
    std::optional<int> endedEarly_;
};

} // namespace folimo::ui
