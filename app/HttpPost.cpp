#include "HttpPost.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

// The lambdas below capture this function's locals by reference on purpose: they are
// connected to this function's own reply, event loop and timers and run only inside the
// loop's exec(), so none can run after the locals have gone.
// clazy:excludeall=lambda-in-connect

namespace folimo {

namespace {

class SystemProxies : public QNetworkProxyFactory {
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override {
        const QString host = query.peerHostName();
        const QHostAddress address(host);
        if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ||
            (!address.isNull() && address.isLoopback()))
            return {QNetworkProxy::NoProxy};
        return systemProxyForQuery(query);
    }
};

// How often a waiting exchange looks at its stop flag.
constexpr int kStopPollMs = 50;

} // namespace

void UseSystemProxies(QNetworkAccessManager& manager) {
    manager.setProxyFactory(new SystemProxies);
}

std::optional<std::string> CHttpPost::Perform() const {
    if (stop && stop->load())
        return std::nullopt;
    QEventLoop loop; // first: it gives this thread the event dispatcher the rest needs
    QNetworkAccessManager manager;
    UseSystemProxies(manager);

    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QString::fromStdString(host));
    url.setPort(port);
    const std::size_t question = objectPath.find('?');
    url.setPath(QString::fromStdString(objectPath.substr(0, question)));
    if (question != std::string::npos)
        url.setQuery(QString::fromStdString(objectPath.substr(question + 1)));
    if (!url.isValid() || url.host().isEmpty())
        return std::nullopt;

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("User-Agent", "User-Agent");
    request.setRawHeader("Referer", QByteArray::fromStdString(objectPath));
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setTransferTimeout(int(timeout.count()));

    QNetworkReply* reply = manager.sendCustomRequest(request, QByteArray::fromStdString(verb),
                                                     QByteArray::fromStdString(body));
    QByteArray collected;
    bool failed = false;
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        collected += reply->readAll();
        if (std::size_t(collected.size()) > kMaxReply) {
            failed = true;
            reply->abort();
        }
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
    deadline.start(timeout);
    QTimer stopPoll;
    QObject::connect(&stopPoll, &QTimer::timeout, reply, [&] {
        if (stop && stop->load())
            reply->abort();
    });
    if (stop)
        stopPoll.start(kStopPollMs);

    if (!reply->isFinished())
        loop.exec();
    if (reply->isOpen())
        collected += reply->readAll();
    if (failed || reply->error() != QNetworkReply::NoError)
        return std::nullopt;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status >= 300)
        return std::nullopt;
    return collected.toStdString();
}

void CHttpPost::Send(std::unique_ptr<CHttpPost> request) {
    const std::optional<std::string> reply = request->Perform();
    if (request->completion)
        request->completion(reply);
}

} // namespace folimo
