#include "UpdateDownload.h"

#include "HttpPost.h"
#include "OutputNames.h"

#include <folimo/WideText.h>

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTemporaryFile>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace folimo {

namespace {

constexpr int kStopPollMs = 50;

// Moves without ever replacing what is at `to`: EEXIST when something is there.
int moveNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system that cannot rename that way: a second name, then the first one goes.
    if (::link(from.c_str(), to.c_str()) != 0)
        return errno;
    ::unlink(from.c_str());
    return 0;
}

} // namespace

bool CDownloadProcess::OnProgress(std::uint64_t progress, std::uint64_t maximum,
                                  std::uint32_t status, const std::wstring& text) {
    std::lock_guard guard(lock_);
    progress_ = progress;
    maximum_ = maximum;
    status_ = status;
    statusText_ = text;
    if (status == EndDownloadData)
        finalName_ = text;
    return !abort_;
}

void CDownloadProcess::Abort() {
    std::lock_guard guard(lock_);
    abort_ = true;
}

bool CDownloadProcess::Aborted() const {
    std::lock_guard guard(lock_);
    return abort_;
}

int CDownloadProcess::Permille() const {
    std::lock_guard guard(lock_);
    if (maximum_ == 0)
        return 0;
    // Servers may send more than they announced; the bar is full then, not past it.
    return int(std::min<std::uint64_t>(progress_, maximum_) * 1000 / maximum_);
}

std::uint32_t CDownloadProcess::StatusCode() const {
    std::lock_guard guard(lock_);
    return status_;
}

std::wstring CDownloadProcess::StatusText() const {
    std::lock_guard guard(lock_);
    return statusText_;
}

std::wstring CDownloadProcess::FinalName() const {
    std::lock_guard guard(lock_);
    return finalName_;
}

std::wstring DownloadedFileName(const std::wstring& finalAddress) {
    // Decoded before it is split, so an encoded "/" cannot smuggle a folder in.
    const QString name = QUrl(QString::fromStdWString(finalAddress)).fileName(QUrl::FullyDecoded);
    bool plain = !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..");
    for (const QChar c : name)
        plain = plain && c.unicode() >= 0x20 && c.unicode() != 0x7F && c != u'/';
    return plain ? name.toStdWString() : std::wstring(L"installer");
}

std::wstring MoveToFreeName(const std::wstring& file, const std::wstring& folder,
                            const std::wstring& name) {
    const std::wstring wanted = folder + L"/" + name;
    while (true) {
        const std::wstring target = freeOutputName(wanted);
        const int error = moveNoReplace(toUtf8(file), toUtf8(target));
        if (error == 0)
            return target;
        if (error != EEXIST) // the name was taken between the look and the move: the next one
            return {};
    }
}

bool InstallerAddressTrusted(const std::wstring& address) {
    const QUrl url(QString::fromStdWString(address), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return true;
    if (scheme != QLatin1String("http"))
        return false;
    const QString host = url.host().toLower();
    const QHostAddress ip(host);
    return host == QLatin1String("localhost") || (!ip.isNull() && ip.isLoopback());
}

DownloadResult DownloadInstaller(const std::wstring& address, CDownloadProcess& sink,
                                 std::chrono::milliseconds stall) {
    DownloadResult result;
    QEventLoop loop; // first: it gives this thread the event dispatcher the rest needs
    QTemporaryFile temporary(QDir::tempPath() + QStringLiteral("/nsXXXXXX"));
    temporary.setAutoRemove(false);
    if (!temporary.open())
        return result;
    result.path = temporary.fileName().toStdWString();
    const QString folder = QFileInfo(temporary.fileName()).absolutePath();

    const QUrl url(QString::fromStdWString(address));
    if (!InstallerAddressTrusted(address))
        return result;
    if (!sink.OnProgress(0, 0, CDownloadProcess::FindingResource, address))
        return result;

    QNetworkAccessManager manager;
    UseSystemProxies(manager);
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setTransferTimeout(int(stall.count()));
    QNetworkReply* reply = manager.get(request);

    bool failed = false;
    bool begun = false;
    qint64 received = 0, total = 0;
    auto report = [&](std::uint32_t status, const QString& text) {
        if (!sink.OnProgress(std::uint64_t(received), std::uint64_t(std::max<qint64>(total, 0)),
                             status, text.toStdWString())) {
            failed = true;
            reply->abort();
        }
    };
    QObject::connect(reply, &QNetworkReply::redirected, &loop,
                     [&](const QUrl& to) { report(CDownloadProcess::Redirecting, to.toString()); });
    QObject::connect(reply, &QNetworkReply::downloadProgress, &loop, [&](qint64 got, qint64 size) {
        received = got;
        total = size;
        report(begun ? CDownloadProcess::DownloadingData : CDownloadProcess::BeginDownloadData,
               reply->url().toString());
        begun = true;
    });
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        const QByteArray data = reply->readAll();
        if (temporary.write(data) != data.size()) {
            failed = true;
            reply->abort();
        }
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer stopPoll;
    QObject::connect(&stopPoll, &QTimer::timeout, reply, [&] {
        if (sink.Aborted()) {
            failed = true;
            reply->abort();
        }
    });
    stopPoll.start(kStopPollMs);
    if (!reply->isFinished())
        loop.exec();

    const QByteArray rest = reply->isOpen() ? reply->readAll() : QByteArray();
    if (temporary.write(rest) != rest.size())
        failed = true;
    if (!temporary.flush())
        failed = true;
    temporary.close();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (failed || reply->error() != QNetworkReply::NoError || status < 200 || status >= 300)
        return result;
    report(CDownloadProcess::EndDownloadData, reply->url().toString());
    if (failed)
        return result;

    const std::wstring landed =
        MoveToFreeName(result.path, folder.toStdWString(), DownloadedFileName(sink.FinalName()));
    if (landed.empty())
        return result;
    result.ok = true;
    result.path = landed;
    return result;
}

} // namespace folimo
