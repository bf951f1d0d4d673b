// The platform's icon for a file by its type, where the list rows show which kind of file
// a row is. Icons are kept by extension: asking the platform means reading MIME data and
// the icon theme, too slow to do for every row a scroll brings into view.
#pragma once

#include <QFileIconProvider>
#include <QHash>
#include <QIcon>
#include <QString>

namespace folimo::ui {

class FileIconSource {
public:
    // The icon for the file's type (by its extension, any case), or the generic file icon
    // when the platform has none for it. Never null. GUI thread only.
    QIcon icon(const QString& path);

    // How many file types have an icon kept.
    int cachedTypes() const { return int(icons_.size()); }

private:
    QFileIconProvider provider_;
    QHash<QString, QIcon> icons_;
};

} // namespace folimo::ui
