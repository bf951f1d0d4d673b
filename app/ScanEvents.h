// A batch's listener for windows: each call the scanner service makes on its own thread
// comes out as a signal, which reaches a receiver on the window's thread queued, after the
// service has moved on. Lives on the thread that made it (the window's), and may be
// deleted there as soon as `ended` has arrived: the service's thread may still be inside
// that emission, which the destructor waits for.
#pragma once

#include "Scanner.h"

#include <QObject>
#include <QString>

#include <mutex>

namespace folimo {

class ScanEvents : public QObject, public scan::ScanListener {
    Q_OBJECT
public:
    explicit ScanEvents(QObject* parent = nullptr);
    ~ScanEvents() override;

    void pageStarted(int number) override;
    void pageProgress(int number, int permille) override;
    void pageScanned(const scan::Page& page) override;
    void pageSkipped(int number, int inkPermille) override;
    void batchEnded(scan::Failure failure, bool stopped, const std::string& message) override;

signals:
    void started(int number);
    void progressed(int number, int permille);
    void scanned(int number, const QString& path, int width, int height, int resolution);
    void skipped(int number, int inkPermille);
    void ended(folimo::scan::Failure failure, bool stopped, const QString& message);

private:
    // Held by the service's thread while it emits; taken by the destructor.
    std::mutex emitting_;
};

} // namespace folimo

Q_DECLARE_METATYPE(folimo::scan::Failure)
