#include "FileDialogs.h"

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

QStringList answer(const ChooserRequest& request) { return responder()(request); }

} // namespace

ChooserResponder SetChooserResponder(ChooserResponder next) {
    std::swap(responder(), next);
    return next;
}

QStringList ChooseOpenFiles(QWidget* owner, const QString& title, const QStringList& filters,
                            int selectedFilter, const QString& startAt) {
    if (responder())
        return answer({ChooserKind::OpenFiles, title, startAt, filters});
    QString selected = filters.value(selectedFilter);
    return QFileDialog::getOpenFileNames(owner, title, startAt,
                                         filters.join(QStringLiteral(";;")), &selected);
}

QString ChooseSaveFile(QWidget* owner, const QString& proposed, const QStringList& filters) {
    if (responder())
        return answer({ChooserKind::SaveFile, {}, proposed, filters}).value(0);
    return QFileDialog::getSaveFileName(owner, {}, proposed, filters.join(QStringLiteral(";;")),
                                        nullptr, QFileDialog::DontConfirmOverwrite);
}

QString BrowseForFolder(QWidget* owner, const QString& title, const QString& startAt) {
    if (!startAt.isEmpty())
        lastFolder() = startAt;
    const QString start = lastFolder();
    QString chosen;
    if (responder())
        chosen = answer({ChooserKind::Folder, title, start, {}}).value(0);
    else
        chosen = QFileDialog::getExistingDirectory(owner, title, start, QFileDialog::ShowDirsOnly);
    if (!chosen.isEmpty())
        lastFolder() = QDir::cleanPath(chosen);
    return chosen.isEmpty() ? QString() : QDir::cleanPath(chosen);
}

} // namespace folimo::ui
