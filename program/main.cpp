// The desktop program. Start-up, in this order: the program's own control classes,
// then the interface package from the program's own folder (found from the executable,
// never from the working folder, which the program does not change), then the main
// window, which starts the engine. The windows speak the desktop's language when the
// program has it (QLocale's languages, so LANGUAGE and LC_ALL lead as usual), Chinese as
// written for a Chinese desktop, and English otherwise. Started by the file managers' verb
// (`folimo /makepdf PATH`), the window adds PATH once it shows and converts it at the
// first tick of its timer; other paths on the command line (a desktop's "open with") are
// added to the list as if dropped. The list kept when the window last closed is put back
// before it shows and kept again at the close, except for the verb's one-shot run, which
// leaves the kept list as it was. SIGTERM, SIGINT and SIGHUP close the windows as the user
// would, and the program ends with status 0 after the usual shut-down.
#include "CMainDlg.h"
#include "HeapTuning.h"
#include "ImageList.h"
#include "InterfaceLanguage.h"
#include "ProgramControls.h"
#include "StartupCommand.h"
#include "TerminationSignals.h"
#include "UiLoader.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

void reportStartFailure(const QString& message) {
    std::fprintf(stderr, "folimo: %s\n", message.toLocal8Bit().constData());
}

// Centred in the available area of the screen the window opens on, and no larger than
// that area (a small screen, a large scale factor) as far as the layout's minimum
// allows; a window still larger keeps its top left corner, and so its title bar, on the
// screen.
void centreOnScreen(QWidget& window) {
    const QScreen* screen = window.screen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QSize frameExtra = window.frameGeometry().size() - window.size();
    window.resize(window.size().boundedTo(area.size() - frameExtra));
    QRect frame = window.frameGeometry();
    frame.moveCenter(area.center());
    window.move(std::max(frame.left(), area.left()), std::max(frame.top(), area.top()));
}

} // namespace

int main(int argc, char* argv[]) {
    folimo::tuneHeapForPictures();
    // The command line as given and the folder the program was started in, before
    // anything could change either: Qt takes its own options out of argv, and a
    // relative path from a file manager or shell means that folder.
    const QString startFolder = QDir::currentPath();
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QFile::decodeName(argv[i]));

    QApplication app(argc, argv);
    // The control classes before any layout can be loaded: a plain loader would
    // silently put stand-ins in their place.
    folimo::ui::registerProgramControls();
    QString error;
    if (!folimo::ui::registerInterfacePackage(&error)) {
        reportStartFailure(QStringLiteral("cannot start: %1 (it is looked for beside the "
                                          "program, in %2, and in %2/../share/folimo)")
                               .arg(error, QCoreApplication::applicationDirPath()));
        return 1;
    }
    // The package holds the catalogues, so the language is chosen once it is registered.
    const QString catalogues = QStringLiteral(":/i18n");
    QString translationError;
    const folimo::InterfaceTranslation translation(
        folimo::ChooseInterfaceLanguage(QLocale::system().uiLanguages(),
                                        folimo::CatalogueLanguages(catalogues)),
        catalogues, &translationError);
    if (!translationError.isEmpty())
        reportStartFailure(translationError + QStringLiteral("; the windows show their texts "
                                                             "as written"));
    const folimo::StartupCommand command = folimo::ParseStartupCommand(arguments, startFolder);

    std::unique_ptr<folimo::ui::CMainDlg> built;
    try {
        built = std::make_unique<folimo::ui::CMainDlg>();
    } catch (const folimo::ui::LayoutError& failure) {
        reportStartFailure(QStringLiteral("cannot start: the main window cannot be built: %1")
                               .arg(failure.what()));
        return 1;
    }
    folimo::ui::CMainDlg& window = *built;

    // Closes what the user would close, innermost first: open menus, then an open modal
    // window (the progress window stops its run and goes once the run has ended; it is
    // asked once and looked at again until it has gone), then the main window, which
    // ends the event loop.
    QTimer closingLater;
    closingLater.setInterval(50);
    QPointer<QWidget> modalAsked;
    const auto closeWindows = [&] {
        for (int i = 0; i < 16 && QApplication::activePopupWidget(); ++i)
            QApplication::activePopupWidget()->close();
        if (QWidget* modal = QApplication::activeModalWidget()) {
            if (modal != modalAsked) {
                modalAsked = modal;
                modal->close();
            }
            closingLater.start();
            return;
        }
        closingLater.stop();
        if (window.close())
            QCoreApplication::quit();
    };
    QObject::connect(&closingLater, &QTimer::timeout, closeWindows);
    // A signal before the event loop runs waits in the pipe until it does.
    const folimo::TerminationSignals termination([&](int) { closeWindows(); });

    if (command.makePdf)
        window.SetAutoConversion(true);
    else
        window.KeepListBetweenStarts();
    centreOnScreen(window);
    window.show();
    // What the window does not need in order to appear waits until it is on the screen:
    // the command line's inputs (listing a folder of thousands of pictures takes a while)
    // and the start-up messages. The verb's conversion starts at the window's first tick,
    // a second on, when the inputs are in the list.
    QTimer::singleShot(0, &window, [&window, command] {
        QString problem = folimo::StartupSettingsProblem(), folderProblem;
        if (folimo::SFileListAdapter* list = window.ImageList()) {
            if (command.makePdf) {
                folimo::AddStartupInputs(*list, command.path, &folderProblem);
            } else if (!command.open.isEmpty()) {
                // As if dropped on the window: folders with their subfolders.
                std::vector<std::wstring> paths;
                for (const QString& path : command.open)
                    paths.push_back(path.toStdWString());
                list->AddDroppedFiles(paths);
            }
        }
        if (!folderProblem.isEmpty())
            problem += (problem.isEmpty() ? QString() : QStringLiteral("\n\n")) + folderProblem;
        if (!problem.isEmpty())
            QMessageBox::warning(&window, window.windowTitle(), problem);
    });
    return app.exec();
}
