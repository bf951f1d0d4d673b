#include "CUpdateDialog.h"

#include "CMakeDialog.h"
#include "Resources.h"
#include "UpdateNotice.h"

#include <SettingsStore.h>
#include <UpdateDownload.h>
#include <VersionInfo.h>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QLabel>
#include <QProgressBar>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>

#include <atomic>

namespace folimo::ui {

namespace {

constexpr int kProgressTimer = 1;
constexpr int kFull = 1000;

} // namespace

// What the download thread and the window share; it outlives whichever goes first.
struct CUpdateDialog::Download {
    CDownloadProcess sink;
    std::wstring path; // written by the thread before it reports
    std::atomic<bool> ended{false};
};

CUpdateDialog::CUpdateDialog(QWidget* parent, UpdateQueryOptions options)
    : HostDialog(QStringLiteral("LAYOUT:XML_UPDATE"), parent), options_(std::move(options)) {
    if (options_.programPath.empty())
        options_.programPath = QCoreApplication::applicationFilePath().toStdWString();
    // Settled here: the installer may come only from the host that was asked.
    if (options_.server.empty())
        options_.server = GetUpdateServer();
}

CUpdateDialog::~CUpdateDialog() {
    if (!downloadThread_.joinable())
        return;
    download_->sink.Abort();
    // A thread that waits to report would wait for this thread, which waits for it.
    CloseHandle();
    downloadThread_.join();
}

void CUpdateDialog::OnInit() {
    tabs_ = FindChildByName2<QTabWidget>(QStringLiteral("tab_view"));
    bar_ = FindChildByName2<QProgressBar>(QStringLiteral("progress_update"));
    tip_ = FindChildByName2<QLabel>(QStringLiteral("text_tip"));
    newVersionTip_ = FindChildByName2<QLabel>(QStringLiteral("text_tip_new_version"));
    noUpdateTip_ = FindChildByName2<QLabel>(QStringLiteral("txt_no_update"));
    downloadedTip_ = FindChildByName2<QLabel>(QStringLiteral("txt_download_done"));
    if (tip_)
        tip_->setText(GetString(QStringLiteral("update_checking")));
    showPage(PageProgress);
    showProgress();

    ownVersion_ = ComparableVersionOf(options_.programPath);
    checkUpdateMessage_ = RegisterWindowMessage(QStringLiteral("CheckUpdate"));
    downloadEndMessage_ = RegisterWindowMessage(QStringLiteral("DownloadEnd"));
    StartWindowUpdateQuery(Handle(), checkUpdateMessage_, options_);
    SetTimer(kProgressTimer, 100);
}

int CUpdateDialog::CurrentPage() const {
    return tabs_ ? tabs_->currentIndex() : -1;
}

void CUpdateDialog::showPage(int page) {
    if (tabs_)
        tabs_->setCurrentIndex(page);
}

void CUpdateDialog::showProgress() {
    // The value creeps on past a full bar while the server keeps us waiting; the bar,
    // which refuses values beyond its end, stays full.
    if (bar_)
        bar_->setValue(std::min(progress_, kFull));
}

void CUpdateDialog::OnTimer(int id) {
    if (id != kProgressTimer)
        return;
    if (download_)
        progress_ = download_->sink.Permille();
    else if (progress_ < kFull)
        progress_ += 3;
    showProgress();
}

bool CUpdateDialog::OnMessage(unsigned msg, quintptr wParam, qintptr lParam, qintptr& result) {
    result = 0;
    if (msg == checkUpdateMessage_) {
        if (wParam != 1) {
            // Without an answer nobody knows whether this is the latest version.
            if (lParam == 0 && noUpdateTip_)
                noUpdateTip_->setText(GetString(QStringLiteral("update_unreachable")));
            showPage(PageNoUpdate);
            return true;
        }
        const auto& info = *reinterpret_cast<const UpdateInfo*>(lParam);
        newVersion_ = info.newVersion;
        updatePage_ = info.updatePage;
        installerAddress_ = info.installerAddress;
        if (newVersionTip_)
            newVersionTip_->setText(FillTexts(
                GetString(QStringLiteral("update_offer")),
                {QString::fromStdWString(ownVersion_), QString::fromStdWString(info.newVersion)}));
        showPage(PageNewVersion);
        return true;
    }
    if (msg == downloadEndMessage_) {
        if (wParam == 1 && download_) {
            downloadedFile_ = download_->path;
            const QString path = QString::fromStdWString(downloadedFile_);
            if (downloadedTip_)
                downloadedTip_->setText(FillTexts(
                    GetString(QStringLiteral("update_downloaded")),
                    {QString::fromStdWString(newVersion_), QDir::toNativeSeparators(path)}));
            showPage(PageDownloaded);
            if (!download_->sink.Aborted())
                ShowInFolder(path);
        } else {
            showPage(PageDownloadFailed);
        }
        return true;
    }
    return false;
}

bool CUpdateDialog::OnCommand(const QString& name) {
    if (name == QLatin1String("btn_update")) {
        // An installer from elsewhere, or over a channel anyone on the way can change, is
        // not fetched: the update page says what is new and where to get it.
        if (!InstallerAddressAllowed(installerAddress_, InstallerHosts(options_.server))) {
            if (const QUrl page = UpdatePageUrl(updatePage_); page.isValid())
                QDesktopServices::openUrl(page);
        } else if (!download_) {
            if (tip_)
                tip_->setText(GetString(QStringLiteral("update_downloading")));
            progress_ = 0;
            showProgress();
            showPage(PageProgress);
            startDownload();
        }
        return true;
    }
    if (name == QLatin1String("btn_open")) {
        if (!downloadedFile_.empty())
            ShowInFolder(QString::fromStdWString(downloadedFile_));
        return true;
    }
    if (name == QLatin1String("btn_open_url")) {
        if (const QUrl page = UpdatePageUrl(updatePage_); page.isValid())
            QDesktopServices::openUrl(page);
        return true;
    }
    return false;
}

void CUpdateDialog::startDownload() {
    download_ = std::make_shared<Download>();
    downloadThread_ =
        std::thread([download = download_, window = Handle(), message = downloadEndMessage_,
                     address = installerAddress_, hosts = InstallerHosts(options_.server)] {
            const DownloadResult result = DownloadInstaller(address, hosts, download->sink);
            download->path = result.path;
            window->SendMessage(message, result.ok ? 1 : 0, 0);
            download->ended = true;
        });
}

bool CUpdateDialog::stopDownload() {
    if (!downloadThread_.joinable())
        return true;
    download_->sink.Abort();
    if (!download_->ended) {
        QEventLoop wait;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &wait, [&] {
            if (download_->ended || endRequested_)
                wait.quit();
        });
        poll.start(10);
        waiting_ = true;
        wait.exec(); // QCoreApplication::exit ends it as well
        waiting_ = false;
    }
    if (!download_->ended)
        return false; // the destructor waits for the rest
    downloadThread_.join();
    return true;
}

void CUpdateDialog::end(int code) {
    if (waiting_) {
        endRequested_ = true;
        return;
    }
    stopDownload();
    EndDialog(code);
}

void CUpdateDialog::OnOK() {
    end(IDOK);
}

void CUpdateDialog::OnCancel() {
    end(IDCANCEL);
}

} // namespace folimo::ui
