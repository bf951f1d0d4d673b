// Windows are built at run time from the named layouts of the interface package; this
// loader is also the factory that makes the program's own controls by class name.
#pragma once

#include <QList>
#include <QPointer>
#include <QString>
#include <QUiLoader>

#include <QWidget>

#include <functional>
#include <stdexcept>

class QIODevice;

namespace folimo::ui {

// Registers uires.rcc from the program's own folder, wherever it was started from.
// False, with the reason in *error, when the package is missing or unreadable.
bool registerInterfacePackage(QString* error = nullptr);

// "LAYOUT:XML_MAINWND" -> ":/layout/XML_MAINWND.ui", "SMENU:MENU_ADD" ->
// ":/smenu/MENU_ADD.xml": the kind names the folder, the rest the file. Empty for a text
// that is not of that form.
QString resourcePath(const QString& resourceName);

// Where to read a resource from: a resource name as resourcePath() maps it, and anything
// else (":/image/add.png", a file on disk) as the path it already is. Windows and menus
// take either, so tests and tools can build them from files of their own.
QString resolveResource(const QString& nameOrPath);

// The class a layout names a control by: "mclistviewex" for the program's own controls
// (their "layoutClass" class info), the Qt class name ("QPushButton") for the rest.
QString layoutClassName(const QMetaObject& metaObject);

// Why a window cannot be built: its layout is missing or unreadable, or lacks a control
// the window's code uses. A window that meets it is never shown half-wired.
class LayoutError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Builds the layout `nameOrPath` inside `window`, which takes over what belongs to a
// window (title, icon, size); answers the layout's root. Throws LayoutError.
QWidget* buildLayoutInto(QWidget* window, const QString& nameOrPath);

namespace detail {
[[noreturn]] void throwMissingControl(const QMetaObject& wanted, const QString& name);
} // namespace detail

// The control named `name` anywhere below `root`, which must be a T (a subclass counts).
// Windows bind their controls once, right after building their layout, so a name the
// layout lacks fails the window's construction rather than a click later.
template <class T>
T* bindControl(const QWidget* root, const QString& name) {
    T* control = root->findChild<T*>(name);
    if (!control)
        detail::throwMissingControl(T::staticMetaObject, name);
    return control;
}

class UiLoader : public QUiLoader {
public:
    using Factory = std::function<QWidget*(QWidget* parent, const QString& name)>;

    explicit UiLoader(QObject* parent = nullptr);

    // A control class of the program's own ("mclistviewex", ...). Registered before any
    // layout is loaded; a later registration of the same name replaces the earlier one.
    static void registerClass(const QString& className, const Factory& factory);

    QWidget* createWidget(const QString& className, QWidget* parent = nullptr,
                          const QString& name = QString()) override;
    QAction* createAction(QObject* parent = nullptr, const QString& name = QString()) override;

    // The layout's root widget, or null (with error()) when it cannot be built. The name
    // is a resource name ("LAYOUT:XML_MAINWND") or a path (see resolveResource).
    QWidget* loadLayout(const QString& nameOrPath, QWidget* parent = nullptr);
    QWidget* loadLayout(QIODevice* device, QWidget* parent = nullptr);

    // When set, a layout whose root is a QDialog gets a plain QWidget root instead, for
    // placing inside a host window: a dialog root would answer Escape and the default
    // button itself and hide itself inside the host.
    void setDialogRootAsWidget(bool on) { dialogRootAsWidget_ = on; }

    // Why the last loadLayout() gave nothing.
    QString error() const { return error_; }

    // The widgets and actions the last loadLayout() made for the layout's own elements, in
    // the order they were made. The parts that composite controls make for themselves (a
    // tab widget's tab bar, a combo box's line edit) are not among them: those are not
    // controls of the layout and raise no events of their own.
    const QList<QPointer<QObject>>& created() const { return created_; }

private:
    QString error_;
    bool dialogRootAsWidget_ = false;
    QList<QPointer<QObject>> created_;
};

} // namespace folimo::ui
