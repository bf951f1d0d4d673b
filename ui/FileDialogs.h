// The choosers the windows open: files to add, a PDF to save as, a folder. Tests answer
// them without showing anything, as they do message boxes.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

namespace folimo::ui {

enum class ChooserKind { OpenFiles, SaveFile, Folder };

struct ChooserRequest {
    ChooserKind kind = ChooserKind::OpenFiles;
    QString title;
    QString startAt;     // a folder, or for SaveFile the proposed file
    QStringList filters; // "所有图片文件 (*.png *.jpg)"; empty for Folder
};

// Existing files, several at once; empty when cancelled.
QStringList ChooseOpenFiles(QWidget* owner, const QString& title, const QStringList& filters,
                            int selectedFilter = 0, const QString& startAt = {});

// A file to write; empty when cancelled. Never asks about an existing file: runs never
// overwrite one, they take the next free numbered name.
QString ChooseSaveFile(QWidget* owner, const QString& proposed, const QStringList& filters);

// A folder; empty when cancelled. Without `startAt` it opens at the folder the browser
// was last given or last chose in this run.
QString BrowseForFolder(QWidget* owner, const QString& title, const QString& startAt = {});

// Answers choosers without showing them while set; an empty one restores the real
// dialogs. Returns the previous responder.
using ChooserResponder = std::function<QStringList(const ChooserRequest& request)>;
ChooserResponder SetChooserResponder(ChooserResponder responder);

} // namespace folimo::ui
