// The main window. It owns the program's one engine object, whose settings record is
// filled from the store when the window starts; the list, previews and conversion
// commands build on it.
#pragma once

#include "HostWindow.h"

#include <folimo/Owned.h>

namespace folimo::ui {

class CMainDlg : public HostWindow {
    Q_OBJECT
public:
    CMainDlg();

    // Null when the engine could not be created (the window then says so).
    IFolimo* Engine() const { return engine_.get(); }

protected:
    void OnInit() override;

private:
    Owned<IFolimo> engine_;
};

} // namespace folimo::ui
