// The update query as windows use it: its answer arrives as a registered window message
// ("CheckUpdate"), and the main window shows a newer version in its status line.
//
// The main window, in OnInit:
//     checkUpdate_ = RegisterWindowMessage(QStringLiteral("CheckUpdate"));
//     StartUpdateCheckAtStartup(Handle(), checkUpdate_);
// and in OnMessage:
//     if (msg == checkUpdate_) {
//         if (wParam == 1)
//             ShowUpdateNotice(this, *reinterpret_cast<const UpdateInfo*>(lParam));
//         return true;
//     }
#pragma once

#include "WindowHandle.h"

#include <UpdateQuery.h>

#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>
#include <string>

class QWidget;

namespace folimo::ui {

// A format of the string table with each "%s" replaced by the next text, the way the
// texts were written; the texts themselves are not looked into.
QString FillTexts(const QString& format, const QStringList& texts);

// The update page the server named, as a web address; invalid for anything but http
// and https, which the program does not hand to the shell.
QUrl UpdatePageUrl(const std::wstring& address);

// Starts the update query for a window. Its answer reaches the window's message map as
// `message`, sent synchronously from the query's thread: wParam 1 with lParam a
// `const UpdateInfo*` when a newer version exists, else wParam 0 with lParam a
// `const std::string*`, the raw reply, or 0 when no server answered. Both point to the
// sender's data, valid during the message only. A window that is gone by then gets
// nothing. Call it on the window's thread.
void StartWindowUpdateQuery(const std::shared_ptr<WindowHandle>& window, unsigned message,
                            UpdateQueryOptions options = {});

// The main window's start-up check: starts the query as above when today's date (UTC)
// ranks below the stored "UpdateCheckDate". True when it started one.
bool StartUpdateCheckAtStartup(const std::shared_ptr<WindowHandle>& window, unsigned message);

// Below `mainWindow`: "link_bt_tip" reads "检查到软件更新 %s -> %s ,点击更新。" with
// the own version and the new one and links to the update page (its "href" too), and
// "wnd_status_tip" shows. `ownVersion` defaults to the running program's.
void ShowUpdateNotice(QWidget* mainWindow, const UpdateInfo& info);
void ShowUpdateNotice(QWidget* mainWindow, const UpdateInfo& info, const std::wstring& ownVersion);

} // namespace folimo::ui
