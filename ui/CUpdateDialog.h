// The update window: asks the update server on opening, offers a newer version, and on
// request downloads its installer with progress and shows it in its folder. The installer
// is never opened or run by the program: the question and its answer travel over plain
// http, and only the person can judge what was downloaded.
//
// Pages of "tab_view": 0 checking or downloading, 1 newer version found, 2 no update,
// 3 download finished, 4 download failed.
//
// For the GUI thread only. The window owns its download's thread and joins it before it
// goes; the query's answer comes through an UpdateCheck the window owns.
#pragma once

#include <UpdateDownload.h>
#include <UpdateQuery.h>

#include <QDialog>
#include <QTimer>

#include <memory>
#include <optional>
#include <string>
#include <thread>

class QLabel;
class QProgressBar;
class QPushButton;
class QTabWidget;

namespace folimo::ui {

class CUpdateDialog : public QDialog {
    Q_OBJECT
public:
    enum Page {
        PageProgress = 0,
        PageNewVersion = 1,
        PageNoUpdate = 2,
        PageDownloaded = 3,
        PageDownloadFailed = 4
    };

    // `options` default to the stored server and the running program's version. The
    // query starts here. Throws LayoutError when the window's layout cannot be built.
    explicit CUpdateDialog(QWidget* parent = nullptr, UpdateQueryOptions options = {});
    // A download still running is stopped and waited for.
    ~CUpdateDialog() override;
    CUpdateDialog(const CUpdateDialog&) = delete;
    CUpdateDialog& operator=(const CUpdateDialog&) = delete;

    // The progress value: 0 upward, 1000 is a full bar.
    int ProgressValue() const { return progress_; }
    int CurrentPage() const;
    // Where the installer landed; empty until a download succeeded.
    const std::wstring& DownloadedFile() const { return downloadedFile_; }

    // Accepting and rejecting both stop a running download, and the window ends once the
    // download has ended and shown how.
    void done(int result) override;

signals:
    // From the download's thread to the window's.
    void downloadEnded(bool ok, const QString& path);

protected:
    // One step of the 100 ms progress timer.
    void tick();

private:
    void showOffer(const UpdateInfo& info);
    void showNoUpdate(bool serverAnswered);
    void showDownloadEnd(bool ok, const QString& path);
    void onUpdateClicked();

    struct Controls {
        QTabWidget* tabs;
        QProgressBar* bar;
        QLabel* tip;
        QLabel* newVersionTip;
        QLabel* noUpdateTip;
        QLabel* downloadedTip;
        QPushButton* update;
        QPushButton* open;
        QPushButton* openUrl;
        QPushButton* ok;
        QPushButton* cancel;
    };
    Controls ui_;
    UpdateQueryOptions options_;
    std::wstring ownVersion_;
    UpdateInfo offer_;
    std::wstring downloadedFile_;
    int progress_ = 0;
    QTimer progressTimer_;
    std::unique_ptr<CDownloadProcess> download_; // null until a download starts
    std::thread downloadThread_;
    std::optional<int> endAfterDownload_; // the window was closed during the download
};

} // namespace folimo::ui
