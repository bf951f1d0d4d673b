// How long the image list takes to read the information of many photographs, and the
// longest the owner's thread goes without running its event loop meanwhile.
//   bench_list_info FILE... [--times N]
// Prints: items, seconds until every item was told, longest stall in milliseconds.
#include "ImageList.h"
#include "StallMeter.h"

#include <folimo/Owned.h>
#include <folimo/WideText.h>

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::vector<std::wstring> files;
    int times = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--times") == 0 && i + 1 < argc)
            times = std::max(1, std::atoi(argv[++i]));
        else
            files.push_back(folimo::fromUtf8(argv[i]));
    }
    auto engine = folimo::createObject<IFolimo>(FOLIMO_ENGINE);
    folimo::SFileListAdapter list(engine.get());

    StallMeter stalls;

    std::size_t told = 0, total = 0;
    list.StartInfoThread(&app, [&](const folimo::ImageListItemPtr&) {
        if (++told == total)
            app.quit();
    });
    QTimer::singleShot(0, [&] {
        stalls.start();
        for (int t = 0; t < times; ++t)
            for (const auto& file : files)
                list.AddImageFile(file);
        total = std::size_t(list.GetCount());
        list.NotifyChanged();
        if (total == 0)
            app.quit();
    });
    app.exec();
    const double seconds = stalls.elapsedSeconds();
    std::size_t errors = 0;
    for (int row = 0; row < list.GetCount(); ++row)
        errors += list.GetItemData(row)->isError() ? 1 : 0;
    std::printf("%zu items, %zu unreadable: all read in %.2f s, longest stall %.1f ms\n", total,
                errors, seconds, stalls.longestStallMs());
    return 0;
}
