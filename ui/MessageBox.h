// Message boxes with the type flags and answers the windows' code is written with.
#pragma once

#include "DialogCodes.h"

#include <QString>

#include <functional>

class QWidget;

namespace folimo::ui {

// Type flags, one of each group combined with |.
enum MessageBoxType : unsigned {
    MB_OK = 0x0,
    MB_OKCANCEL = 0x1,
    MB_ABORTRETRYIGNORE = 0x2,
    MB_YESNOCANCEL = 0x3,
    MB_YESNO = 0x4,
    MB_RETRYCANCEL = 0x5,
    MB_ICONERROR = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONWARNING = 0x30,
    MB_ICONINFORMATION = 0x40,
    MB_DEFBUTTON1 = 0x000,
    MB_DEFBUTTON2 = 0x100,
    MB_DEFBUTTON3 = 0x200,
};

// Shows a modal message box over `owner` and answers the button pressed (IDOK, IDCANCEL,
// IDYES, IDNO, ...). Escape or the close button answer IDCANCEL where the box has a
// cancelling button, IDNO for yes/no and IDOK for OK only. GUI thread only.
int SMessageBox(QWidget* owner, const QString& text, const QString& caption = {},
                unsigned type = MB_OK);

// Answers message boxes without showing them while set, for tests that drive windows
// which ask the user something. Returns the previous responder; an empty one restores
// the real boxes.
using MessageBoxResponder =
    std::function<int(QWidget* owner, const QString& text, const QString& caption, unsigned type)>;
MessageBoxResponder SetMessageBoxResponder(MessageBoxResponder responder);

} // namespace folimo::ui
