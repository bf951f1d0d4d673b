// The update query as windows use it: its answer arrives as a signal on the window's
// thread, and the main window shows a newer version in its status line.
//
//     if (auto* check = UpdateCheck::startIfDue(this))
//         connect(check, &UpdateCheck::updateFound, this,
//                 [this](const UpdateInfo& info) { ShowUpdateNotice(ui_.updateLink, ui_.statusLine,
//                 info); });
#pragma once

#include <UpdateQuery.h>

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <string>

class QLabel;
class QWidget;

namespace folimo::ui {

// A format of the string table with each "%s" replaced by the next text, the way the
// texts were written; the texts themselves are not looked into.
QString FillTexts(const QString& format, const QStringList& texts);

// The update page the server named, as a web address; invalid for anything but http
// and https, which the program does not hand to the shell.
QUrl UpdatePageUrl(const std::wstring& address);

// One update query seen from the application's thread. It belongs to its parent and
// deletes itself once it has answered.
class UpdateCheck : public QObject {
    Q_OBJECT
public:
    // Starts the query on a thread of its own; its one answer arrives as a signal on
    // `parent`'s thread, the application's. A parent that is gone by then gets nothing.
    static UpdateCheck* start(QObject* parent, UpdateQueryOptions options = {});
    // The start-up check: starts only when the stored "UpdateCheckDate" says it is due;
    // null otherwise.
    static UpdateCheck* startIfDue(QObject* parent);

signals:
    void updateFound(const folimo::UpdateInfo& info);
    // No newer version; `serverAnswered` is false when no server answered, and then
    // nobody can tell whether this is the latest version.
    void noUpdate(bool serverAnswered);

private:
    using QObject::QObject;
};

// The main window's status line: `link` ("link_bt_tip") reads "检查到软件更新 %s -> %s
// ,点击更新。" with the own version and the new one and links to the update page (its
// "href" too), and `statusLine` ("wnd_status_tip") shows. `ownVersion` defaults to the
// running program's.
void ShowUpdateNotice(QLabel* link, QWidget* statusLine, const UpdateInfo& info,
                      std::wstring ownVersion = {});

} // namespace folimo::ui
