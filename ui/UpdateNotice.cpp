#include "UpdateNotice.h"

#include "Resources.h"

#include <SettingsStore.h>
#include <VersionInfo.h>

#include <QCoreApplication>
#include <QLabel>
#include <QPointer>

#include <optional>

namespace folimo::ui {

QString FillTexts(const QString& format, const QStringList& texts) {
    QString filled;
    qsizetype next = 0;
    for (qsizetype i = 0; i < format.size(); ++i) {
        if (format[i] == u'%' && i + 1 < format.size() && format[i + 1] == u's' &&
            next < texts.size()) {
            filled += texts[next++];
            ++i;
        } else {
            filled += format[i];
        }
    }
    return filled;
}

QUrl UpdatePageUrl(const std::wstring& address) {
    QUrl url(QString::fromStdWString(address).trimmed());
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return {};
    return url;
}

UpdateCheck* UpdateCheck::start(QObject* parent, UpdateQueryOptions options) {
    auto* check = new UpdateCheck(parent);
    auto answer = [check = QPointer<UpdateCheck>(check)](const std::optional<UpdateInfo>& newer,
                                                         bool answered) {
        if (!check)
            return;
        if (newer)
            emit check->updateFound(*newer);
        else
            emit check->noUpdate(answered);
        check->deleteLater();
    };
    // The query answers on its thread, where the check may be deleted at any moment: the
    // answer goes on, as values, to the application object, which outlives every query,
    // and the check is looked at only there.
    StartUpdateQuery(std::move(options),
                     [answer](const UpdateInfo* newer, const std::optional<std::string>& reply) {
                         QMetaObject::invokeMethod(
                             QCoreApplication::instance(),
                             [answer, newer = newer ? std::optional(*newer) : std::nullopt,
                              answered = reply.has_value()] { answer(newer, answered); },
                             Qt::QueuedConnection);
                     });
    return check;
}

UpdateCheck* UpdateCheck::startIfDue(QObject* parent) {
    if (!ShouldCheckAtStartup(TodayForUpdateCheck(), GetUpdateCheckDate()))
        return nullptr;
    return start(parent);
}

void ShowUpdateNotice(QLabel* link, QWidget* statusLine, const UpdateInfo& info,
                      std::wstring ownVersion) {
    if (ownVersion.empty())
        ownVersion = ComparableVersionOf(QCoreApplication::applicationFilePath().toStdWString());
    const QString text =
        FillTexts(GetString(QStringLiteral("update_notice")),
                  {QString::fromStdWString(ownVersion), QString::fromStdWString(info.newVersion)});
    // An address the program would not open stays out of the link; the text still tells.
    const QUrl url = UpdatePageUrl(info.updatePage);
    const QString page = url.isValid() ? url.toString() : QString();
    link->setProperty("href", page);
    link->setText(page.isEmpty() ? text.toHtmlEscaped()
                                 : QStringLiteral("<a href=\"%1\">%2</a>")
                                       .arg(page.toHtmlEscaped(), text.toHtmlEscaped()));
    link->setToolTip(page);
    statusLine->show();
}

} // namespace folimo::ui
