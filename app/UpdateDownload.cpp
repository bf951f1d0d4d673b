#include "UpdateDownload.h"

#include "HttpPost.h"
#include "OutputNames.h"

#include <folimo/WideText.h>

#include <QDir>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

// The lambdas below capture this function's locals by reference on purpose: they are
// connected to this function's own reply, event loop and timers and run only inside the
// loop's exec(), so none can run after the locals have gone.
// clazy:excludeall=lambda-in-connect

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

// Gives a file `name` in `folder`, or the first numbered form of it that is free, through
// `attempt` (0 or an errno), which must never replace a file. The path; empty on failure.
template <class Attempt>
std::wstring placeUnderFreeName(const std::wstring& folder, const std::wstring& name,
                                const Attempt& attempt) {
    const std::wstring wanted = folder + L"/" + name;
    while (true) {
        std::wstring target = freeOutputName(wanted);
        const int error = attempt(toUtf8(target));
        if (error == 0)
            return target;
        if (error != EEXIST) // the name was taken between the look and the move: the next one
            return {};
    }
}

// Where the download's bytes go until they are complete: a file without a name in the
// target folder, so that nothing is left when the download fails, is stopped or the
// program is killed; where the file system has no unnamed files, a hidden sibling that
// goes again unless it was placed.
class DownloadFile {
public:
    explicit DownloadFile(std::string folder) : folder_(std::move(folder)) {
        fd_ = ::open(folder_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
        if (fd_ >= 0)
            return;
        std::string pattern = folder_ + "/.nsXXXXXX";
        fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd_ >= 0)
            named_ = std::move(pattern);
    }
    ~DownloadFile() {
        if (fd_ >= 0)
            ::close(fd_);
        if (!named_.empty())
            ::unlink(named_.c_str());
    }
    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;
    DownloadFile(DownloadFile&&) = delete;
    DownloadFile& operator=(DownloadFile&&) = delete;

    bool isOpen() const { return fd_ >= 0; }

    bool write(const QByteArray& data) {
        const char* at = data.constData();
        std::size_t left = std::size_t(data.size());
        while (left > 0) {
            const ssize_t written = ::write(fd_, at, left);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                return false;
            at += written;
            left -= std::size_t(written);
        }
        return true;
    }

    // The complete file under `name` in its folder, numbered when taken; empty on failure.
    std::wstring place(const std::wstring& name) {
        if (::fsync(fd_) != 0)
            return {};
        const std::wstring folder = fromUtf8(folder_);
        if (!named_.empty()) {
            std::wstring placed = MoveToFreeName(fromUtf8(named_), folder, name);
            if (!placed.empty())
                named_.clear();
            return placed;
        }
        const std::string self = "/proc/self/fd/" + std::to_string(fd_);
        return placeUnderFreeName(folder, name, [&](const std::string& target) {
            return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) ==
                           0
                       ? 0
                       : errno;
        });
    }

private:
    std::string folder_;
    std::string named_; // the sibling's path while it has one of its own
    int fd_ = -1;
};

// A redirect stays on the host the installer was asked from, over https.
bool redirectAllowed(const QUrl& from, const QUrl& to) {
    return to.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 &&
           to.host().compare(from.host(), Qt::CaseInsensitive) == 0;
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
    const std::string from = toUtf8(file);
    return placeUnderFreeName(
        folder, name, [&](const std::string& target) { return moveNoReplace(from, target); });
}

bool InstallerAddressAllowed(const std::wstring& address, const std::vector<std::string>& hosts) {
    const QUrl url(QString::fromStdWString(address), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty() ||
        url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0)
        return false;
    return std::any_of(hosts.begin(), hosts.end(), [&](const std::string& host) {
        QString name = QString::fromStdString(host);
        if (name.startsWith(u'[') && name.endsWith(u']')) // an IPv6 address as a URL writes it
            name = name.mid(1, name.size() - 2);
        return !name.isEmpty() && url.host().compare(name, Qt::CaseInsensitive) == 0;
    });
}

DownloadResult DownloadInstaller(const std::wstring& address, const std::vector<std::string>& hosts,
                                 CDownloadProcess& sink, std::chrono::milliseconds stall) {
    DownloadResult result;
    if (!InstallerAddressAllowed(address, hosts))
        return result;
    QEventLoop loop; // first: it gives this thread the event dispatcher the rest needs
    DownloadFile file(QDir(QDir::tempPath()).canonicalPath().toStdString());
    if (!file.isOpen())
        return result;
    if (!sink.OnProgress(0, 0, CDownloadProcess::FindingResource, address))
        return result;

    const QUrl url(QString::fromStdWString(address));
    QNetworkAccessManager manager;
    UseSystemProxies(manager);
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
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
    QObject::connect(reply, &QNetworkReply::redirected, &loop, [&](const QUrl& to) {
        const QUrl next = reply->url().resolved(to);
        if (!redirectAllowed(url, next)) {
            failed = true;
            reply->abort();
            return;
        }
        report(CDownloadProcess::Redirecting, next.toString());
        if (!failed)
            emit reply->redirectAllowed();
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, &loop, [&](qint64 got, qint64 size) {
        received = got;
        total = size;
        report(begun ? CDownloadProcess::DownloadingData : CDownloadProcess::BeginDownloadData,
               reply->url().toString());
        begun = true;
    });
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        if (!file.write(reply->readAll())) {
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

    if (!failed && reply->isOpen() && !file.write(reply->readAll()))
        failed = true;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (failed || reply->error() != QNetworkReply::NoError || status < 200 || status >= 300)
        return result;
    report(CDownloadProcess::EndDownloadData, reply->url().toString());
    if (failed)
        return result;

    result.path = file.place(DownloadedFileName(sink.FinalName()));
    result.ok = !result.path.empty();
    return result;
}

} // namespace folimo
