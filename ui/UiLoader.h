// Windows are built at run time from the named layouts of the interface package; this
// loader is also the factory that makes the program's own controls by class name.
#pragma once

#include <QString>
#include <QUiLoader>

#include <functional>

namespace folimo::ui {

// Registers uires.rcc from the program's own folder, wherever it was started from.
// False, with the reason in *error, when the package is missing or unreadable.
bool registerInterfacePackage(QString* error = nullptr);

// "LAYOUT:XML_MAINWND" -> ":/layout/XML_MAINWND.ui", "SMENU:MENU_ADD" ->
// ":/smenu/MENU_ADD.xml": the kind names the folder, the rest the file.
QString resourcePath(const QString& resourceName);

class UiLoader : public QUiLoader {
public:
    using Factory = std::function<QWidget*(QWidget* parent, const QString& name)>;

    explicit UiLoader(QObject* parent = nullptr);

    // A control class of the program's own ("mclistviewex", ...). Registered before any
    // layout is loaded; a later registration of the same name replaces the earlier one.
    static void registerClass(const QString& className, Factory factory);

    QWidget* createWidget(const QString& className, QWidget* parent = nullptr,
                          const QString& name = QString()) override;

    // The layout's root widget, or null (with errorString()) when it cannot be built.
    QWidget* loadLayout(const QString& resourceName, QWidget* parent = nullptr);
};

} // namespace folimo::ui
