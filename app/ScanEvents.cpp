#include "ScanEvents.h"

namespace folimo {

ScanEvents::ScanEvents(QObject* parent) : QObject(parent) {
    // Queued signals copy their arguments: the type has to be known by then.
    qRegisterMetaType<scan::Failure>();
}

void ScanEvents::pageStarted(int number) {
    emit started(number);
}

void ScanEvents::pageProgress(int number, int permille) {
    emit progressed(number, permille);
}

void ScanEvents::pageScanned(const scan::Page& page) {
    emit scanned(page.number, QString::fromStdString(page.path), page.width, page.height,
                 page.resolution);
}

void ScanEvents::pageSkipped(int number, int inkPermille) {
    emit skipped(number, inkPermille);
}

void ScanEvents::batchEnded(scan::Failure failure, bool stopped, const std::string& message) {
    emit ended(failure, stopped, QString::fromStdString(message));
}

} // namespace folimo
