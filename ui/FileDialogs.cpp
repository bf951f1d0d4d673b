#include "FileDialogs.h"

#include <QColorDialog>
#include <QDir>
#include <QFileDialog>

namespace folimo::ui {
namespace {

ChooserResponder& responder() {
    static ChooserResponder current;
    return current;
}

// Where the folder browser opens when not told: the last folder it was given or chose
// in this run.
QString& lastFolder() {
    static QString folder;
    return folder;
}

QStringList answer(const ChooserRequest& request) {
    return responder()(request);
}

} // namespace

QString NameFilter(const QString& caption, const QString& patterns) {
    QStringList both;
    for (const QString& pattern : patterns.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        both << pattern;
        if (pattern.toUpper() != pattern)
            both << pattern.toUpper();
    }
    if (caption.contains(QLatin1Char('(')))
        return caption;
    return caption + QStringLiteral(" (") + both.join(QLatin1Char(' ')) + QLatin1Char(')');
}

ChooserResponder SetChooserResponder(ChooserResponder next) {
    std::swap(responder(), next);
    return next;
}

QStringList ChooseOpenFiles(QWidget* owner, const QString& title, const QStringList& filters,
                            int selectedFilter, const QString& startAt) {
    if (responder())
        return answer({ChooserKind::OpenFiles, title, startAt, filters, {}});
    QString selected = filters.value(selectedFilter);
    return QFileDialog::getOpenFileNames(owner, title, startAt, filters.join(QStringLiteral(";;")),
                                         &selected);
}

QString ChooseOpenFile(QWidget* owner, const QString& title, const QStringList& filters,
                       int selectedFilter, const QString& startAt) {
    if (responder())
        return answer({ChooserKind::OpenFile, title, startAt, filters, {}}).value(0);
    QString selected = filters.value(selectedFilter);
    return QFileDialog::getOpenFileName(owner, title, startAt, filters.join(QStringLiteral(";;")),
                                        &selected);
}

QString ChooseSaveFile(QWidget* owner, const QString& proposed, const QStringList& filters) {
    if (responder())
        return answer({ChooserKind::SaveFile, {}, proposed, filters, {}}).value(0);
    return QFileDialog::getSaveFileName(owner, {}, proposed, filters.join(QStringLiteral(";;")),
                                        nullptr, QFileDialog::DontConfirmOverwrite);
}

QString BrowseForFolder(QWidget* owner, const QString& title, const QString& startAt) {
    if (!startAt.isEmpty())
        lastFolder() = startAt;
    const QString start = lastFolder();
    QString chosen;
    if (responder())
        chosen = answer({ChooserKind::Folder, title, start, {}, {}}).value(0);
    else
        chosen = QFileDialog::getExistingDirectory(owner, title, start, QFileDialog::ShowDirsOnly);
    if (!chosen.isEmpty())
        lastFolder() = QDir::cleanPath(chosen);
    return chosen.isEmpty() ? QString() : QDir::cleanPath(chosen);
}

std::optional<QColor> ChooseColor(QWidget* owner, const QString& title, const QColor& initial,
                                  const QList<QColor>& customColors) {
    if (responder()) {
        ChooserRequest request{ChooserKind::Color, title, initial.name(), {}, customColors};
        const QColor chosen = QColor::fromString(answer(request).value(0));
        return chosen.isValid() ? std::optional<QColor>(chosen) : std::nullopt;
    }
    // Qt's own dialog: a desktop's native one may not show custom colours.
    QColorDialog dialog(initial, owner);
    dialog.setOption(QColorDialog::DontUseNativeDialog);
    if (!title.isEmpty())
        dialog.setWindowTitle(title);
    // Qt numbers its two rows of custom colours down each column; they are given in
    // reading order, the top row first.
    const int rows = 2, columns = QColorDialog::customCount() / rows;
    for (int i = 0; i < customColors.size() && i < rows * columns; ++i)
        QColorDialog::setCustomColor(i % columns * rows + i / columns, customColors[i]);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.selectedColor();
}

} // namespace folimo::ui
