#include "MessageBox.h"

#include <QAbstractButton>
#include <QList>
#include <QMessageBox>

#include <utility>

namespace folimo::ui {

namespace {

MessageBoxResponder& responder() {
    static MessageBoxResponder current;
    return current;
}

QList<QMessageBox::StandardButton> buttonsOf(unsigned type) {
    switch (type & 0xF) {
    case MB_OKCANCEL:
        return {QMessageBox::Ok, QMessageBox::Cancel};
    case MB_ABORTRETRYIGNORE:
        return {QMessageBox::Abort, QMessageBox::Retry, QMessageBox::Ignore};
    case MB_YESNOCANCEL:
        return {QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel};
    case MB_YESNO:
        return {QMessageBox::Yes, QMessageBox::No};
    case MB_RETRYCANCEL:
        return {QMessageBox::Retry, QMessageBox::Cancel};
    default:
        return {QMessageBox::Ok};
    }
}

QMessageBox::Icon iconOf(unsigned type) {
    switch (type & 0xF0) {
    case MB_ICONERROR:
        return QMessageBox::Critical;
    case MB_ICONQUESTION:
        return QMessageBox::Question;
    case MB_ICONWARNING:
        return QMessageBox::Warning;
    case MB_ICONINFORMATION:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

int codeOf(QMessageBox::StandardButton button) {
    switch (button) {
    case QMessageBox::Ok:
        return IDOK;
    case QMessageBox::Cancel:
        return IDCANCEL;
    case QMessageBox::Abort:
        return IDABORT;
    case QMessageBox::Retry:
        return IDRETRY;
    case QMessageBox::Ignore:
        return IDIGNORE;
    case QMessageBox::Yes:
        return IDYES;
    case QMessageBox::No:
        return IDNO;
    default:
        return IDCANCEL;
    }
}

} // namespace

int SMessageBox(QWidget* owner, const QString& text, const QString& caption, unsigned type) {
    if (const MessageBoxResponder answer = responder())
        return answer(owner, text, caption, type);

    QMessageBox box(iconOf(type), caption, text, QMessageBox::NoButton, owner);
    const QList<QMessageBox::StandardButton> buttons = buttonsOf(type);
    for (QMessageBox::StandardButton button : buttons)
        box.addButton(button);
    const qsizetype defaultIndex = qsizetype((type >> 8) & 0xF);
    box.setDefaultButton(buttons.value(defaultIndex, buttons.first()));
    // Closing the box counts as its cancelling button; yes/no has none, so No stands in.
    if (buttons.contains(QMessageBox::Cancel))
        box.setEscapeButton(QMessageBox::Cancel);
    else if (buttons.contains(QMessageBox::No))
        box.setEscapeButton(QMessageBox::No);
    else if (buttons.size() == 1)
        box.setEscapeButton(buttons.first());
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    return clicked ? codeOf(box.standardButton(clicked)) : IDCANCEL;
}

MessageBoxResponder SetMessageBoxResponder(MessageBoxResponder next) {
    return std::exchange(responder(), std::move(next));
}

} // namespace folimo::ui
