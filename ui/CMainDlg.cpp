#include "CMainDlg.h"

#include "MessageBox.h"
#include "SettingsStore.h"

namespace folimo::ui {

CMainDlg::CMainDlg() : HostWindow("LAYOUT:XML_MAINWND") {}

void CMainDlg::OnInit() {
    engine_ = createObject<IFolimo>(FOLIMO_ENGINE);
    if (!engine_) {
        SMessageBox(this, QStringLiteral("转换引擎无法启动。"), QStringLiteral("VelmarFolimo"),
                    MB_OK | MB_ICONERROR);
        return;
    }
    LoadEngineSettings(engine_->GetSettings());
}

} // namespace folimo::ui
