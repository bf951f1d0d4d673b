#include "CMainDlg.h"

#include "MessageBox.h"
#include "SettingsStore.h"

namespace folimo::ui {

CMainDlg::CMainDlg() : HostWindow("LAYOUT:XML_MAINWND") {}

CMainDlg::~CMainDlg() {
    if (engine_)
        engine_->Release();
}

void CMainDlg::OnInit() {
    void* created = nullptr;
    if (CreateObject(FOLIMO_ENGINE, &created) != 1 || !created) {
        SMessageBox(this, QStringLiteral("转换引擎无法启动。"), QStringLiteral("VelmarFolimo"),
                    MB_OK | MB_ICONERROR);
        return;
    }
    engine_ = static_cast<IFolimo*>(created);
    LoadEngineSettings(engine_->GetSettings());
}

} // namespace folimo::ui
