// The choosers the windows open: files to add, a PDF to save as, a folder, a watermark
// image, a colour. Tests answer them without showing anything, as they do message boxes.
#pragma once

#include <QColor>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QWidget;

namespace folimo::ui {

enum class ChooserKind { OpenFiles, SaveFile, Folder, OpenFile, Color };

// A responder answers a chooser with the chosen paths, or for Color with the colour as
// "#rrggbb"; an empty list cancels.
struct ChooserRequest {
    ChooserKind kind = ChooserKind::OpenFiles;
    QString title;
    QString startAt;            // a folder, for SaveFile the proposed file, for Color "#rrggbb"
    QStringList filters;        // "所有图片文件 (*.png *.jpg)"; empty for Folder and Color
    QList<QColor> customColors; // Color only
};

// A filter for the choosers from a caption and ";"-separated patterns ("*.bmp;*.jpg;"):
// "caption (*.bmp *.BMP *.jpg *.JPG)". Each pattern also comes in capitals, as photos
// from cameras are often named IMG_0001.JPG and not every dialog matches without regard
// to case. A caption that already shows its patterns ("所有文件 (*.*)") stays as it is.
QString NameFilter(const QString& caption, const QString& patterns);

// Existing files, several at once; empty when cancelled.
QStringList ChooseOpenFiles(QWidget* owner, const QString& title, const QStringList& filters,
                            int selectedFilter = 0, const QString& startAt = {});

// One existing file; empty when cancelled.
QString ChooseOpenFile(QWidget* owner, const QString& title, const QStringList& filters,
                       int selectedFilter = 0, const QString& startAt = {});

// A file to write; empty when cancelled. Never asks about an existing file: runs never
// overwrite one, they take the next free numbered name.
QString ChooseSaveFile(QWidget* owner, const QString& proposed, const QStringList& filters);

// A folder; empty when cancelled. Without `startAt` it opens at the folder the browser
// was last given or last chose in this run.
QString BrowseForFolder(QWidget* owner, const QString& title, const QString& startAt = {});

// A colour from the colour dialog, which offers `customColors` (up to 16) beside the
// basic ones and starts at `initial`; nothing when cancelled.
std::optional<QColor> ChooseColor(QWidget* owner, const QString& title, const QColor& initial,
                                  const QList<QColor>& customColors);

// Answers choosers without showing them while set; an empty one restores the real
// dialogs. Returns the previous responder.
using ChooserResponder = std::function<QStringList(const ChooserRequest& request)>;
ChooserResponder SetChooserResponder(ChooserResponder responder);

} // namespace folimo::ui
