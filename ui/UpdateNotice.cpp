#include "UpdateNotice.h"

#include "FindChild.h"
#include "Resources.h"

#include <SettingsStore.h>
#include <VersionInfo.h>

#include <QCoreApplication>
#include <QLabel>

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
    const QUrl url(QString::fromStdWString(address).trimmed());
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return {};
    return url;
}

void StartWindowUpdateQuery(const std::shared_ptr<WindowHandle>& window, unsigned message,
                            UpdateQueryOptions options) {
    StartUpdateQuery(
        std::move(options),
        [window, message](const UpdateInfo* newer, const std::optional<std::string>& reply) {
            if (newer)
                window->SendMessage(message, 1, reinterpret_cast<qintptr>(newer));
            else
                window->SendMessage(message, 0, reply ? reinterpret_cast<qintptr>(&*reply) : 0);
        });
}

bool StartUpdateCheckAtStartup(const std::shared_ptr<WindowHandle>& window, unsigned message) {
    if (!ShouldCheckAtStartup(TodayForUpdateCheck(), GetUpdateCheckDate()))
        return false;
    StartWindowUpdateQuery(window, message);
    return true;
}

void ShowUpdateNotice(QWidget* mainWindow, const UpdateInfo& info) {
    ShowUpdateNotice(mainWindow, info,
                     ComparableVersionOf(QCoreApplication::applicationFilePath().toStdWString()));
}

void ShowUpdateNotice(QWidget* mainWindow, const UpdateInfo& info, const std::wstring& ownVersion) {
    const QString text =
        FillTexts(GetString(QStringLiteral("update_notice")),
                  {QString::fromStdWString(ownVersion), QString::fromStdWString(info.newVersion)});
    // An address the program would not open stays out of the link; the text still tells.
    const QUrl url = UpdatePageUrl(info.updatePage);
    const QString page = url.isValid() ? url.toString() : QString();
    if (auto* link = FindChildByName2<QLabel>(mainWindow, QStringLiteral("link_bt_tip"))) {
        link->setProperty("href", page);
        link->setText(page.isEmpty() ? text.toHtmlEscaped()
                                     : QStringLiteral("<a href=\"%1\">%2</a>")
                                           .arg(page.toHtmlEscaped(), text.toHtmlEscaped()));
        link->setToolTip(page);
    }
    if (QWidget* tip = FindChildByName(mainWindow, QStringLiteral("wnd_status_tip")))
        tip->show();
}

} // namespace folimo::ui
