#include "ScanEvents.h"

namespace folimo {

ScanEvents::ScanEvents(QObject* parent) : QObject(parent) {
    // Queued signals copy their arguments: the type has to be known by then.
    qRegisterMetaType<scan::Failure>();
}

ScanEvents::~ScanEvents() {
    const std::lock_guard<std::mutex> emitted(emitting_);
}

void ScanEvents::pageStarted(int number) {
    const std::lock_guard<std::mutex> emitting(emitting_);
    emit started(number);
}

void ScanEvents::pageProgress(int number, int permille) {
    const std::lock_guard<std::mutex> emitting(emitting_);
    emit progressed(number, permille);
}

void ScanEvents::pageScanned(const scan::Page& page) {
    const std::lock_guard<std::mutex> emitting(emitting_);
    emit scanned(page.number, QString::fromStdString(page.path), page.width, page.height,
                 page.resolution);
}

void ScanEvents::pageSkipped(int number, int inkPermille) {
    const std::lock_guard<std::mutex> emitting(emitting_);
    emit skipped(number, inkPermille);
}

void ScanEvents::batchEnded(scan::Failure failure, bool stopped, const std::string& message) {
    const std::lock_guard<std::mutex> emitting(emitting_);
    emit ended(failure, stopped, QString::fromStdString(message));
}

} // namespace folimo
