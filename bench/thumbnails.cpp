// How long the file list's thumbnails take for many photographs, on as many worker threads
// as asked, as the rows will be filled.
//   bench_thumbnails [-j N] [--large] [--cache ROOT | --make | --qt-reader] FILE...
// --cache ROOT: through the shared cache under ROOT (cold when ROOT is empty, warm when
//   a run before filled it); --make: made without the cache (decoding only); --qt-reader:
//   JPEGs decoded by QImageReader with a scaled size instead, the other way of DCT scaling.
// Prints: files, thumbnails made, seconds.
#include "Thumbnails.h"
#include "HeapTuning.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImageReader>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// The alternative the program does not use: Qt's JPEG reader, which turns a scaled size
// into libjpeg's scale_denom and smooths the rest.
QImage qtReaderThumbnail(const QString& path, int edge) {
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (!size.isValid())
        return {};
    reader.setScaledSize(size.scaled(edge, edge, Qt::KeepAspectRatio));
    return reader.read();
}

} // namespace

int main(int argc, char** argv) {
    // The heap as the desktop program sets it up, before any thread starts.
    folimo::tuneHeapForPictures();
    // As in the program: Qt hands its image plugins to the thread that holds the
    // application. Without one they went to whichever worker touched Qt first, and at exit
    // they let go of that finished worker's thread data after it was freed: the heap
    // corruption seen once in a few dozen runs.
    QCoreApplication app(argc, argv);
    using namespace folimo::thumbs;
    enum class Mode { Cache, Make, QtReader } mode = Mode::Make;
    QString root;
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    ThumbSize size = ThumbSize::Normal;
    std::vector<QString> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-j") == 0 && i + 1 < argc)
            threads = unsigned(std::max(1, std::atoi(argv[++i])));
        else if (std::strcmp(argv[i], "--large") == 0)
            size = ThumbSize::Large;
        else if (std::strcmp(argv[i], "--cache") == 0 && i + 1 < argc) {
            mode = Mode::Cache;
            root = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strcmp(argv[i], "--make") == 0)
            mode = Mode::Make;
        else if (std::strcmp(argv[i], "--qt-reader") == 0)
            mode = Mode::QtReader;
        else
            files.push_back(QFile::decodeName(argv[i]));
    }
    ThumbnailCache cache(root);
    std::atomic<std::size_t> next{0}, made{0};
    QElapsedTimer timer;
    timer.start();
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (std::size_t i = next++; i < files.size(); i = next++) {
                QImage image;
                switch (mode) {
                case Mode::Cache:
                    image = cache.Get(files[i], size);
                    break;
                case Mode::Make:
                    image = MakeThumbnail(files[i], int(size));
                    break;
                case Mode::QtReader:
                    image = qtReaderThumbnail(files[i], int(size));
                    break;
                }
                if (!image.isNull())
                    ++made;
            }
        });
    for (auto& worker : workers)
        worker.join();
    std::printf("%zu files, %zu thumbnails, %u threads: %.2f s\n", files.size(), made.load(),
                threads, double(timer.nsecsElapsed()) / 1e9);
    return made == files.size() ? 0 : 1;
}
