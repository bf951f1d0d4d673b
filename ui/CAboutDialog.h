// The about window: the program's name and the version its file carries.
#pragma once

#include "HostWindow.h"

#include <string>

namespace folimo::ui {

class CAboutDialog : public HostDialog {
    Q_OBJECT
public:
    // `programPath`: the file whose version shows; empty for the running program.
    explicit CAboutDialog(QWidget* parent = nullptr, std::wstring programPath = {});

protected:
    void OnInit() override;

private:
    std::wstring programPath_;
};

} // namespace folimo::ui
