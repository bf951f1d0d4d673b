#include "UiLoader.h"

#include <QApplication>
#include <QMessageBox>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QString error;
    if (!folimo::ui::registerInterfacePackage(&error)) {
        QMessageBox::critical(nullptr, "Folimo", error);
        return 1;
    }
    folimo::ui::UiLoader loader;
    QWidget* window = loader.loadLayout("LAYOUT:XML_MAINWND");
    if (!window)
        return 1;
    window->show();
    return app.exec();
}
