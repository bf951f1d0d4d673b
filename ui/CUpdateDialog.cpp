#include "CUpdateDialog.h"

#include "Resources.h"
#include "UpdateNotice.h"

#include <UpdateDownload.h>
#include <VersionInfo.h>

#include <QCoreApplication>
#include <QDesktopServices>
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
            showPage(PageNoUpdate);
            return true;
        }
        const auto& info = *reinterpret_cast<const UpdateInfo*>(lParam);
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
            if (!download_->sink.Aborted())
                QDesktopServices::openUrl(
                    QUrl::fromLocalFile(QString::fromStdWString(downloadedFile_)));
            showPage(PageDownloaded);
        } else {
            showPage(PageDownloadFailed);
        }
        return true;
    }
    return false;
}

bool CUpdateDialog::OnCommand(const QString& name) {
    if (name == QLatin1String("btn_update")) {
        // A program fetched over a channel anyone on the way can change is not started:
        // the update page says what is new and where to get it.
        if (!InstallerAddressTrusted(installerAddress_)) {
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
            QDesktopServices::openUrl(
                QUrl::fromLocalFile(QString::fromStdWString(downloadedFile_)));
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
    downloadThread_ = std::thread([download = download_, window = Handle(),
                                   message = downloadEndMessage_, address = installerAddress_] {
        const DownloadResult result = DownloadInstaller(address, download->sink);
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
