#include "CMainDlg.h"

#include "FileListRows.h"
#include "MessageBox.h"
#include "SMCListViewEx.h"
#include "SettingsStore.h"

#include <ImageList.h>

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

    list_ = std::make_shared<SFileListAdapter>(engine_.get());
    list_->SetKeepOrder(GetMoveItemReSort() == 0);
    rows_ = std::make_shared<CFileListRows>(list_);
    if (auto* view = FindChildByName2<SMCListViewEx>(QStringLiteral("mclv_list")))
        view->SetAdapter(rows_);
    list_->StartInfoThread(this, [this](const ImageListItemPtr&) { listChanged_ = true; });
    connect(&refresh_, &QTimer::timeout, this, [this] {
        if (std::exchange(listChanged_, false))
            list_->NotifyInvalidated();
    });
    refresh_.start(1000);
}

} // namespace folimo::ui
