// The desktop program: the interface package from the program's own folder, the
// program's control classes, then the main window, which starts the engine.
#include "CMainDlg.h"
#include "HeapTuning.h"
#include "MessageBox.h"
#include "ProgramControls.h"
#include "UiLoader.h"

#include <QApplication>


int main(int argc, char* argv[]) {
    folimo::tuneHeapForPictures();
    QApplication app(argc, argv);
    QString error;
    if (!folimo::ui::registerInterfacePackage(&error)) {
        folimo::ui::SMessageBox(nullptr, error, QStringLiteral("VelmarFolimo"),
                                folimo::ui::MB_OK | folimo::ui::MB_ICONERROR);
        return 1;
    }
    folimo::ui::registerProgramControls();
    folimo::ui::CMainDlg window;
    if (!window.Create()) {
        folimo::ui::SMessageBox(nullptr, window.ErrorString(), QStringLiteral("VelmarFolimo"),
                                folimo::ui::MB_OK | folimo::ui::MB_ICONERROR);
        return 1;
    }
    window.show();
    return app.exec();
}
