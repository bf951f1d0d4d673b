#include "CMainDlg.h"

#include "CMakeDialog.h"
#include "FileListRows.h"
#include "MessageBox.h"
#include "SMCListViewEx.h"
#include "SettingsStore.h"

#include <ImageList.h>

#include <thread>

#include <sys/resource.h>
#include <unistd.h>

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
        if (std::exchange(autoConversion_, false) && list_->GetCount() > 0)
            StartConversion(ConversionMode::PerImage, {});
    });
    refresh_.start(1000);
}

std::vector<std::wstring> CMainDlg::StartConversion(ConversionMode mode, const std::wstring& output,
                                                     bool closeWhenFinished) {
    std::vector<std::wstring> written;
    if (!engine_ || !list_ || list_->GetCount() == 0)
        return written;
    std::vector<std::wstring> paths;
    for (int row = 0; row < list_->GetCount(); ++row)
        paths.push_back(list_->GetItemPath(row));
    const std::vector<ConversionJob> jobs = SplitIntoJobs(paths, mode, output);

    ConversionProgress progress(int(paths.size()));
    forwarder_.SetTarget(&progress, int(paths.size()));
    std::thread worker([&] {
        // The run and the threads the engine starts for it (they inherit this) yield to
        // the window's thread, which then never waits long for a core even when the run
        // keeps every core busy; on an idle core the run loses nothing.
        ::setpriority(PRIO_PROCESS, pid_t(::gettid()), 5);
        written = RunJobs(*engine_, jobs, &forwarder_, &forwarder_);
        if (!written.empty())
            progress.SetFirstOutput(written.front());
        forwarder_.OnNotify();
    });
    CMakeDialog dialog(progress, this);
    dialog.SetCloseWhenFinished(closeWhenFinished);
    if (dialog.DoModal(this) == -1)
        progress.Stop(); // no window to show the run: it ends at its next page
    // The window closes only once the run is over (closing it earlier stops the run
    // and waits), so this wait is over at once.
    worker.join();
    forwarder_.SetTarget(nullptr, 0);
    return written;
}

} // namespace folimo::ui
