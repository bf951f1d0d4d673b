#include "HostWindow.h"

#include "Menus.h"
#include "Timers.h"
#include "UiLoader.h"

#include <QAbstractButton>
#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QHeaderView>
#include <QMouseEvent>
#include <QSizeGrip>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QWindow>
#include <QtDebug>

namespace folimo::ui {

namespace {

const char wiredProperty[] = "_folimo_events_wired";

void fire(QObject* control, EventId id, int oldIndex = -1, int newIndex = -1, QPoint pos = {}) {
    Event event;
    event.id = id;
    event.oldIndex = oldIndex;
    event.newIndex = newIndex;
    event.pos = pos;
    FireEvent(control, event);
}

// A window whose layout draws its own caption ("wnd_caption", with its own minimise,
// maximise and close buttons) goes without the window manager's frame, which would be a
// second title bar above it: the caption moves the window, a double click on it
// maximises or restores, and a grip in the corner resizes it.
class OwnCaption : public QObject {
public:
    OwnCaption(QWidget* window, QWidget* caption)
        : QObject(window), window_(window), grip_(new QSizeGrip(window)) {
        window->setWindowFlag(Qt::FramelessWindowHint);
        grip_->setAccessibleName(QCoreApplication::translate("HostWindow", "调整窗口大小"));
        grip_->resize(grip_->sizeHint());
        caption->installEventFilter(this);
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == window_) {
            if (event->type() == QEvent::Resize || event->type() == QEvent::Show) {
                grip_->move(window_->width() - grip_->width(), window_->height() - grip_->height());
                grip_->raise();
                grip_->setVisible(!window_->isMaximized());
            }
            return false;
        }
        if (event->type() == QEvent::MouseButtonPress &&
            static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            if (QWindow* handle = window_->windowHandle())
                handle->startSystemMove();
            return true;
        }
        if (event->type() == QEvent::MouseButtonDblClick &&
            static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            window_->isMaximized() ? window_->showNormal() : window_->showMaximized();
            return true;
        }
        return false;
    }

private:
    QWidget* window_;
    QSizeGrip* grip_;
};

} // namespace

LayoutHost::LayoutHost(QWidget* self, const QString& layoutName)
    : self_(self), layoutName_(layoutName) {
    timers_ = new TimerSet(self_, [this](int id) { OnTimer(id); });
    OpenHandle();
}

LayoutHost::~LayoutHost() {
    // Before the window's QObject parts go: no call or tick may reach a half-destroyed
    // window.
    CloseHandle();
    delete timers_;
}

bool LayoutHost::SetTimer(int id, int ms) {
    return timers_->Set(id, ms);
}

bool LayoutHost::KillTimer(int id) {
    return timers_->Kill(id);
}

void LayoutHost::OpenHandle() {
    if (handle_ && handle_->IsOpen())
        return;
    handle_ = WindowHandle::Create(
        self_, [this](unsigned msg, quintptr wParam, qintptr lParam, qintptr& result) {
            return OnMessage(msg, wParam, lParam, result);
        });
}

void LayoutHost::CloseHandle() {
    if (handle_)
        handle_->Close();
}

bool LayoutHost::BuildLayout() {
    if (root_)
        return true;
    UiLoader loader;
    loader.setDialogRootAsWidget(true);
    QWidget* root = loader.loadLayout(layoutName_);
    if (!root) {
        error_ = loader.error();
        qWarning("the window layout %s cannot be built: %s", qUtf8Printable(layoutName_),
                 qUtf8Printable(error_));
        return false;
    }
    // The layout describes a whole window but is shown inside this one, which takes over
    // what belongs to the window: its title, icon and size.
    const QSize size = root->size();
    if (!root->windowTitle().isEmpty())
        self_->setWindowTitle(root->windowTitle());
    if (root->testAttribute(Qt::WA_SetWindowIcon))
        self_->setWindowIcon(root->windowIcon());
    root->setParent(self_); // a window type (QMainWindow) becomes a plain child here
    QLayout* layout = self_->layout();
    if (!layout) {
        layout = new QVBoxLayout(self_);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
    }
    layout->addWidget(root);
    self_->resize(size);
    root_ = root;
    for (const QPointer<QObject>& control : loader.created()) {
        if (control)
            WireControl(control);
    }
    return true;
}

bool LayoutHost::Prepare() {
    OpenHandle();
    if (!BuildLayout())
        return false;
    if (!initialised_) {
        initialised_ = true;
        OnInit();
    }
    return true;
}

void LayoutHost::WireControl(QObject* control) {
    if (!control || control->property(wiredProperty).toBool())
        return;
    control->setProperty(wiredProperty, true);
    if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        QObject::connect(button, &QAbstractButton::clicked, button,
                         [button] { fire(button, EventId::Command); });
    } else if (auto* action = qobject_cast<QAction*>(control)) {
        QObject::connect(action, &QAction::triggered, action,
                         [action] { fire(action, EventId::Command); });
    } else if (auto* tabs = qobject_cast<QTabWidget*>(control)) {
        auto current = std::make_shared<int>(tabs->currentIndex());
        QObject::connect(tabs, &QTabWidget::currentChanged, tabs, [tabs, current](int index) {
            const int old = std::exchange(*current, index);
            fire(tabs, EventId::TabSelChanged, old, index);
        });
    } else if (auto* header = qobject_cast<QHeaderView*>(control)) {
        QObject::connect(header, &QHeaderView::sectionClicked, header,
                         [header](int column) { fire(header, EventId::HeaderClick, column); });
        QObject::connect(header, &QHeaderView::sectionResized, header,
                         [header](int column, int, int width) {
                             fire(header, EventId::HeaderItemResizing, column, width);
                         });
        QObject::connect(header, &QHeaderView::sectionMoved, header,
                         [header](int, int from, int to) {
                             fire(header, EventId::HeaderItemSwapped, from, to);
                         });
    }
    if (auto* widget = qobject_cast<QWidget*>(control)) {
        // Only where the layout asks for it (contextMenuPolicy CustomContextMenu): other
        // widgets keep their own context menus.
        QObject::connect(
            widget, &QWidget::customContextMenuRequested, widget,
            [widget](const QPoint& pos) { fire(widget, EventId::ContextMenu, -1, -1, pos); });
    }
}

bool LayoutHost::DispatchEvent(Event& event) {
    if (OnEvent(event))
        return true;
    return DefaultEvent(event);
}

int LayoutHost::PopupMenu(QMenu& menu, const QPoint& globalPos) {
    const int id = TrackPopupMenu(&menu, globalPos);
    if (id != 0)
        OnMenuCommand(id);
    return id;
}

bool LayoutHost::OnEvent(Event& event) {
    if (event.id == EventId::Command)
        return OnCommand(event.name);
    return false;
}

bool LayoutHost::OnCommand(const QString&) {
    return false;
}

bool LayoutHost::OnMenuCommand(int) {
    return false;
}

void LayoutHost::OnTimer(int) {}

bool LayoutHost::OnMessage(unsigned, quintptr, qintptr, qintptr&) {
    return false;
}

int LayoutHost::CommandRole(const Event& event) {
    if (event.sender) {
        bool numeric = false;
        const int role = event.sender->property("commandId").toInt(&numeric);
        if (numeric && (role == IDOK || role == IDCANCEL))
            return role;
    }
    if (event.name == QLatin1String("btn_ok") || event.name == QLatin1String("id_ok"))
        return IDOK;
    if (event.name == QLatin1String("btn_cancel") || event.name == QLatin1String("btn_close") ||
        event.name == QLatin1String("id_cancel"))
        return IDCANCEL;
    return 0;
}

HostWindow::HostWindow(const QString& layoutName, QWidget* parent)
    : QWidget(parent, Qt::Window), LayoutHost(this, layoutName) {}

HostWindow::~HostWindow() = default;

bool HostWindow::Create() {
    if (!BuildLayout())
        return false;
    if (QWidget* caption = FindChildByName(QStringLiteral("wnd_caption")); caption && !caption_)
        caption_ = new OwnCaption(this, caption);
    return Prepare();
}

bool HostWindow::DefaultEvent(Event& event) {
    if (event.id != EventId::Command)
        return false;
    if (CommandRole(event) != 0) {
        close();
        return true;
    }
    if (event.name == QLatin1String("btn_min")) {
        showMinimized();
        return true;
    }
    if (event.name == QLatin1String("btn_max")) {
        showMaximized();
        return true;
    }
    if (event.name == QLatin1String("btn_restore")) {
        showNormal();
        return true;
    }
    return false;
}

void HostWindow::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    if (event->isAccepted())
        CloseHandle();
}

HostDialog::HostDialog(const QString& layoutName, QWidget* parent)
    : QDialog(parent), LayoutHost(this, layoutName) {}

HostDialog::~HostDialog() = default;

int HostDialog::DoModal(QWidget* parent) {
    if (parent && parent != parentWidget())
        setParent(parent, windowFlags());
    preparing_ = true;
    const bool prepared = Prepare();
    preparing_ = false;
    if (!prepared)
        return -1;
    if (const std::optional<int> early = std::exchange(endedEarly_, std::nullopt)) {
        CloseHandle();
        return *early;
    }
    const int code = exec();
    // The dialog has ended as far as other threads are concerned, as if destroyed.
    CloseHandle();
    // Anything that ended the loop without EndDialog (a hide from outside) cancelled.
    return code == QDialog::Rejected ? IDCANCEL : code;
}

void HostDialog::EndDialog(int code) {
    if (preparing_) {
        endedEarly_ = code;
        return;
    }
    done(code);
}

void HostDialog::OnOK() {
    EndDialog(IDOK);
}

void HostDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

bool HostDialog::DefaultEvent(Event& event) {
    if (event.id != EventId::Command)
        return false;
    switch (CommandRole(event)) {
    case IDOK:
        OnOK();
        return true;
    case IDCANCEL:
        OnCancel();
        return true;
    default:
        return false;
    }
}

} // namespace folimo::ui
