// The answers of dialogs and message boxes, numbered as the windows' code has always
// compared them: DoModal gives IDOK or IDCANCEL, SMessageBox the button pressed.
#pragma once

namespace folimo::ui {

enum DialogCode : int {
    IDOK = 1,
    IDCANCEL = 2,
    IDABORT = 3,
    IDRETRY = 4,
    IDIGNORE = 5,
    IDYES = 6,
    IDNO = 7,
};

} // namespace folimo::ui
