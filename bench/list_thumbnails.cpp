// The file list's thumbnails as the window gets them: the list is filled with the files,
// its information thread runs, and a screenful of rows asks for its thumbnails at every
// frame, as the view does when it repaints; then the view moves down a screenful at a time
// until every row has its thumbnail.
//   bench_list_thumbnails --cache DIR [--rows-in-view N] FILE...
// Prints: seconds until the rows in view show their thumbnails, seconds until every row
// has, and the longest the window's thread went without running its event loop.
#include "ImageList.h"
#include "RowThumbnails.h"
#include "StallMeter.h"

#include <folimo/Owned.h>

#include <QCoreApplication>
#include <QString>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QString cache;
    int inView = 20; // a 900-pixel window's list of 44-pixel rows
    std::vector<QString> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--cache") == 0 && i + 1 < argc)
            cache = QString::fromLocal8Bit(argv[++i]);
        else if (std::strcmp(argv[i], "--rows-in-view") == 0 && i + 1 < argc)
            inView = std::max(1, std::atoi(argv[++i]));
        else
            files.push_back(QString::fromLocal8Bit(argv[i]));
    }
    auto engine = folimo::createObject<IFolimo>(FOLIMO_ENGINE);
    folimo::SFileListAdapter list(engine.get());
    list.StartInfoThread(&app, [](const folimo::ImageListItemPtr&) {});
    folimo::RowThumbnails::Options options;
    if (!cache.isEmpty())
        options.cacheRoot = cache;
    folimo::RowThumbnails thumbnails([](const std::vector<QString>&) {}, options);

    StallMeter stalls;
    double firstScreen = -1;
    int top = 0;
    QTimer frame;
    frame.setInterval(16);
    QObject::connect(&frame, &QTimer::timeout, [&] {
        // The rows in view ask, as their panels are filled; the view moves on once all
        // of them show theirs.
        bool allShown = true;
        const int end = std::min(top + inView, int(files.size()));
        for (int row = top; row < end; ++row)
            allShown = !thumbnails.Find(files[std::size_t(row)], 0).isNull() && allShown;
        if (!allShown)
            return;
        if (firstScreen < 0)
            firstScreen = stalls.elapsedSeconds();
        top = end;
        if (top >= int(files.size()))
            app.quit();
    });
    QTimer::singleShot(0, [&] {
        stalls.start();
        for (const QString& file : files)
            list.AddItem(file.toStdWString());
        list.NotifyChanged();
        frame.start();
        if (files.empty())
            app.quit();
    });
    app.exec();
    std::printf("%zu rows, %d in view: in view after %.2f s, all after %.2f s, longest stall "
                "%.1f ms\n",
                files.size(), inView, firstScreen, stalls.elapsedSeconds(),
                stalls.longestStallMs());
    return 0;
}
