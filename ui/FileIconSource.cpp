#include "FileIconSource.h"

#include <QFileInfo>

namespace folimo::ui {

QIcon FileIconSource::icon(const QString& path) {
    const QFileInfo file(path);
    const QString suffix = file.suffix().toLower();
    auto found = icons_.constFind(suffix);
    if (found != icons_.constEnd())
        return *found;
    QIcon icon = provider_.icon(file);
    if (icon.isNull())
        icon = provider_.icon(QFileIconProvider::File);
    icons_.insert(suffix, icon);
    return icon;
}

} // namespace folimo::ui
