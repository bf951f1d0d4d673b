// A conversion from the desktop program's main window, timed from the moment it starts
// on a filled-in list to its end, with the longest stall of the window's thread meanwhile.
//   bench_window_convert OUTPUT.pdf FILE...
// Prints: files, seconds for the run, longest stall in milliseconds.
#include "CMainDlg.h"
#include "HeapTuning.h"
#include "ProgramControls.h"
#include "StallMeter.h"

#include <ImageList.h>

#include <QApplication>
#include <QResource>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
    // As the program itself starts.
    folimo::tuneHeapForPictures();
    QApplication app(argc, argv);
    if (argc < 3 || !QResource::registerResource(QStringLiteral(FOLIMO_UIRES_PATH))) {
        std::fprintf(stderr,
                     "usage: bench_window_convert OUTPUT.pdf FILE... (and a built uires.rcc)\n");
        return 2;
    }
    folimo::ui::registerProgramControls();
    folimo::ui::CMainDlg window;
    for (int i = 2; i < argc; ++i)
        window.ImageList()->AddImageFile(QString::fromLocal8Bit(argv[i]).toStdWString());

    StallMeter stalls;
    double seconds = 0;
    std::size_t written = 0;
    // A person clicks "Convert" on a list whose rows are filled in: the run is timed from
    // there, once the list's information thread has read every file.
    QTimer listRead;
    listRead.setInterval(5);
    QObject::connect(&listRead, &QTimer::timeout, [&] {
        if (window.ImageList()->PendingInfo() != 0)
            return;
        listRead.stop();
        stalls.start();
        written = window
                      .StartConversion(folimo::ConversionMode::Single,
                                       QString::fromLocal8Bit(argv[1]).toStdWString(), true)
                      .size();
        seconds = stalls.elapsedSeconds();
        app.quit();
    });
    listRead.start();
    app.exec();
    std::printf("%d files, %zu document: %.2f s, longest stall %.1f ms\n", argc - 2, written,
                seconds, stalls.longestStallMs());
    return written == 1 ? 0 : 1;
}
