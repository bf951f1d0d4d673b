#include "CUpdateDialog.h"

#include "CMakeDialog.h"
#include "Resources.h"
#include "UiLoader.h"
#include "UpdateNotice.h"

#include <SettingsStore.h>
#include <VersionInfo.h>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QUrl>

namespace folimo::ui {

namespace {

constexpr int kFull = 1000;

} // namespace

CUpdateDialog::CUpdateDialog(QWidget* parent, UpdateQueryOptions options)
    : QDialog(parent), options_(std::move(options)) {
    QWidget* root = buildLayoutInto(this, QStringLiteral("LAYOUT:XML_UPDATE"));
    ui_ = {bindControl<QTabWidget>(root, QStringLiteral("tab_view")),
           bindControl<QProgressBar>(root, QStringLiteral("progress_update")),
           bindControl<QLabel>(root, QStringLiteral("text_tip")),
           bindControl<QLabel>(root, QStringLiteral("text_tip_new_version")),
           bindControl<QLabel>(root, QStringLiteral("txt_no_update")),
           bindControl<QLabel>(root, QStringLiteral("txt_download_done")),
           bindControl<QPushButton>(root, QStringLiteral("btn_update")),
           bindControl<QPushButton>(root, QStringLiteral("btn_open")),
           bindControl<QPushButton>(root, QStringLiteral("btn_open_url")),
           bindControl<QPushButton>(root, QStringLiteral("btn_ok")),
           bindControl<QPushButton>(root, QStringLiteral("btn_cancel"))};
    connect(ui_.update, &QPushButton::clicked, this, &CUpdateDialog::onUpdateClicked);
    connect(ui_.open, &QPushButton::clicked, this, [this] {
        if (!downloadedFile_.empty())
            ShowInFolder(QString::fromStdWString(downloadedFile_));
    });
    connect(ui_.openUrl, &QPushButton::clicked, this, [this] {
        if (const QUrl page = UpdatePageUrl(offer_.updatePage); page.isValid())
            QDesktopServices::openUrl(page);
    });
    connect(ui_.ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui_.cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(this, &CUpdateDialog::downloadEnded, this, &CUpdateDialog::showDownloadEnd,
            Qt::QueuedConnection);
    connect(&progressTimer_, &QTimer::timeout, this, &CUpdateDialog::tick);

    if (options_.programPath.empty())
        options_.programPath = QCoreApplication::applicationFilePath().toStdWString();
    // Settled here: the installer may come only from the host that was asked.
    if (options_.server.empty())
        options_.server = GetUpdateServer();
    ownVersion_ = ComparableVersionOf(options_.programPath);
    ui_.tip->setText(GetString(QStringLiteral("update_checking")));
    ui_.tabs->setCurrentIndex(PageProgress);
    ui_.bar->setValue(0);
    UpdateCheck* check = UpdateCheck::start(this, options_);
    connect(check, &UpdateCheck::updateFound, this, &CUpdateDialog::showOffer);
    connect(check, &UpdateCheck::noUpdate, this, &CUpdateDialog::showNoUpdate);
    progressTimer_.start(100);
}

CUpdateDialog::~CUpdateDialog() {
    if (!downloadThread_.joinable())
        return;
    // Its report, queued to this window, is dropped with the window.
    download_->Abort();
    downloadThread_.join();
}

int CUpdateDialog::CurrentPage() const {
    return ui_.tabs->currentIndex();
}

void CUpdateDialog::tick() {
    if (download_)
        progress_ = download_->Permille();
    else if (progress_ < kFull)
        progress_ += 3;
    // The value creeps on past a full bar while the server keeps us waiting; the bar,
    // which refuses values beyond its end, stays full.
    ui_.bar->setValue(std::min(progress_, kFull));
}

void CUpdateDialog::showOffer(const UpdateInfo& info) {
    offer_ = info;
    ui_.newVersionTip->setText(FillTexts(
        GetString(QStringLiteral("update_offer")),
        {QString::fromStdWString(ownVersion_), QString::fromStdWString(info.newVersion)}));
    ui_.tabs->setCurrentIndex(PageNewVersion);
}

void CUpdateDialog::showNoUpdate(bool serverAnswered) {
    // Without an answer nobody knows whether this is the latest version.
    if (!serverAnswered)
        ui_.noUpdateTip->setText(GetString(QStringLiteral("update_unreachable")));
    ui_.tabs->setCurrentIndex(PageNoUpdate);
}

void CUpdateDialog::onUpdateClicked() {
    // An installer from elsewhere, or over a channel anyone on the way can change, is not
    // fetched: the update page says what is new and where to get it.
    const std::vector<std::string> hosts = InstallerHosts(options_.server);
    if (!InstallerAddressAllowed(offer_.installerAddress, hosts)) {
        if (const QUrl page = UpdatePageUrl(offer_.updatePage); page.isValid())
            QDesktopServices::openUrl(page);
        return;
    }
    if (download_)
        return;
    ui_.tip->setText(GetString(QStringLiteral("update_downloading")));
    progress_ = 0;
    ui_.bar->setValue(0);
    ui_.tabs->setCurrentIndex(PageProgress);
    download_ = std::make_unique<CDownloadProcess>();
    // The thread ends before the window goes (the destructor joins it), so it may report
    // to the window and use its download's progress.
    downloadThread_ = std::thread([this, address = offer_.installerAddress, hosts] {
        const DownloadResult result = DownloadInstaller(address, hosts, *download_);
        emit downloadEnded(result.ok, QString::fromStdWString(result.path));
    });
}

void CUpdateDialog::showDownloadEnd(bool ok, const QString& path) {
    downloadThread_.join();
    if (ok) {
        downloadedFile_ = path.toStdWString();
        ui_.downloadedTip->setText(FillTexts(
            GetString(QStringLiteral("update_downloaded")),
            {QString::fromStdWString(offer_.newVersion), QDir::toNativeSeparators(path)}));
        ui_.tabs->setCurrentIndex(PageDownloaded);
        if (!download_->Aborted())
            ShowInFolder(path);
    } else {
        ui_.tabs->setCurrentIndex(PageDownloadFailed);
    }
    if (endAfterDownload_)
        done(*endAfterDownload_);
}

void CUpdateDialog::done(int result) {
    if (downloadThread_.joinable()) {
        download_->Abort();
        endAfterDownload_ = result;
        return;
    }
    // A window that has ended takes no late answer.
    qDeleteAll(findChildren<UpdateCheck*>(Qt::FindDirectChildrenOnly));
    QDialog::done(result);
}

} // namespace folimo::ui
