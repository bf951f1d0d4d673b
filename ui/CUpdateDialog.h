// The update window: asks the update server on opening, offers a newer version, and on
// request downloads its installer with progress and shows it in its folder. The installer
// is never opened or run by the program: the question and its answer travel over plain
// http, and only the person can judge what was downloaded.
//
// Pages of "tab_view": 0 checking or downloading, 1 newer version found, 2 no update,
// 3 download finished, 4 download failed.
#pragma once

#include "HostWindow.h"

#include <UpdateQuery.h>

#include <memory>
#include <string>
#include <thread>

class QLabel;
class QProgressBar;
class QTabWidget;

namespace folimo::ui {

class CUpdateDialog : public HostDialog {
    Q_OBJECT
public:
    enum Page {
        PageProgress = 0,
        PageNewVersion = 1,
        PageNoUpdate = 2,
        PageDownloaded = 3,
        PageDownloadFailed = 4
    };

    // `options` default to the stored server and the running program's version.
    explicit CUpdateDialog(QWidget* parent = nullptr, UpdateQueryOptions options = {});
    // A download still running is stopped and waited for.
    ~CUpdateDialog() override;

    // The progress value: 0 upward, 1000 is a full bar.
    int ProgressValue() const { return progress_; }
    int CurrentPage() const;
    // Where the installer landed; empty until a download succeeded.
    const std::wstring& DownloadedFile() const { return downloadedFile_; }

protected:
    void OnInit() override;
    void OnTimer(int id) override;
    bool OnCommand(const QString& name) override;
    bool OnMessage(unsigned msg, quintptr wParam, qintptr lParam, qintptr& result) override;
    // Both stop a download and wait for it before the window ends.
    void OnOK() override;
    void OnCancel() override;

private:
    struct Download;

    void showPage(int page);
    void showProgress();
    void startDownload();
    // Stops the download and waits for its thread while the window's events go on. False
    // when the wait ended early (the application quits, or the window was closed again).
    bool stopDownload();
    void end(int code);

    UpdateQueryOptions options_;
    std::wstring ownVersion_;
    std::wstring updatePage_;
    std::wstring newVersion_;
    std::wstring installerAddress_;
    std::wstring downloadedFile_;
    int progress_ = 0;
    unsigned checkUpdateMessage_ = 0;
    unsigned downloadEndMessage_ = 0;
    std::shared_ptr<Download> download_; // null until a download starts
    std::thread downloadThread_;
    bool waiting_ = false;      // inside stopDownload
    bool endRequested_ = false; // asked to end again while waiting

    QTabWidget* tabs_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QLabel* tip_ = nullptr;
    QLabel* newVersionTip_ = nullptr;
    QLabel* noUpdateTip_ = nullptr;
    QLabel* downloadedTip_ = nullptr;
};

} // namespace folimo::ui
