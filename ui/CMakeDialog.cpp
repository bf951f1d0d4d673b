#include "CMakeDialog.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCharFormat>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>

namespace folimo::ui {

namespace {

constexpr int kRefreshTimer = 1;

void showControl(QWidget* root, const char* name, bool shown) {
    if (auto* control = FindChildByName(root, QLatin1String(name)))
        control->setVisible(shown);
}

} // namespace

CMakeDialog::CMakeDialog(ConversionProgress& progress, QWidget* parent)
    : HostDialog(QStringLiteral("LAYOUT:XML_MAKEWND"), parent), progress_(progress) {}

void CMakeDialog::OnInit() {
    tip_ = FindChildByName2<QLabel>(QStringLiteral("text_tip"));
    bar_ = FindChildByName2<QProgressBar>(QStringLiteral("progress_make"));
    log_ = FindChildByName2<QTextEdit>(QStringLiteral("edit_log"));
    for (const char* name : {"btn_open_file", "btn_open_folder", "btn_close2"})
        showControl(this, name, false);
    showControl(this, "btn_stop", true);
    // The log must not start with the focus, or it would never follow the run.
    if (auto* stop = FindChildByName2<QPushButton>(QStringLiteral("btn_stop")))
        stop->setFocus();
    SetTimer(kRefreshTimer, 200);
    refresh();
}

void CMakeDialog::OnTimer(int id) {
    if (id == kRefreshTimer)
        refresh();
}

void CMakeDialog::refresh() {
    const ConversionProgress::Snapshot s = progress_.Read();
    if (tip_) {
        QString tip = QString::fromStdWString(s.status);
        if (s.totalFiles > 0 && !s.finished) {
            tip += QStringLiteral("\n%1 / %2").arg(s.filesDone).arg(s.totalFiles);
            if (s.secondsLeft >= 0)
                tip += QCoreApplication::translate("CMakeDialog", "，约 %1 秒").arg(s.secondsLeft);
        }
        tip_->setText(tip);
    }
    if (bar_)
        bar_->setValue(s.permille);
    // A reader who clicked into the log keeps it still; it catches up when they leave.
    if (log_ && !log_->hasFocus() && s.log.size() > logShown_) {
        QTextCursor end(log_->document());
        end.movePosition(QTextCursor::End);
        // Error lines stand out in red; the rest in the edit box's own colour.
        QTextCharFormat plain, error;
        error.setForeground(QColor(0xc0, 0x10, 0x10));
        const auto insert = [&](std::size_t from, std::size_t to, const QTextCharFormat& format) {
            if (to <= from)
                return;
            QString text = QString::fromStdWString(s.log.substr(from, to - from));
            text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
            end.insertText(text, format);
        };
        for (; errorsShown_ < s.errorLines.size(); ++errorsShown_) {
            const auto [at, length] = s.errorLines[errorsShown_];
            insert(logShown_, at, plain);
            insert(at, at + length, error);
            logShown_ = at + length;
        }
        insert(logShown_, s.log.size(), plain);
        logShown_ = s.log.size();
        QScrollBar* bar = log_->verticalScrollBar();
        if (bar->value() != bar->maximum())
            bar->setValue(bar->maximum());
    }
    firstOutput_ = s.firstOutput;
    openPath_ = s.openPath;
    if (!s.finished || finishedShown_)
        return;
    finishedShown_ = true;
    KillTimer(kRefreshTimer);
    // Only a document that was written can be opened.
    for (const char* name : {"btn_open_file", "btn_open_folder"})
        showControl(this, name, !firstOutput_.empty());
    showControl(this, "btn_close2", true);
    showControl(this, "btn_stop", false);
    if (closingByUser_)
        // Long enough to read what the stop kept, which the log now says.
        QTimer::singleShot(1500, this, [this] { EndDialog(IDOK); });
    else if (closeWhenFinished_)
        EndDialog(IDOK);
}

bool CMakeDialog::OnCommand(const QString& name) {
    if (name == QLatin1String("btn_stop")) {
        stopRun();
        return true;
    }
    const QString path = QString::fromStdWString(firstOutput_);
    if (name == QLatin1String("btn_open_file")) {
        if (!openPath_.empty())
            QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdWString(openPath_)));
        return true;
    }
    if (name == QLatin1String("btn_open_folder")) {
        if (!path.isEmpty())
            ShowInFolder(path);
        return true;
    }
    return false;
}

void CMakeDialog::OnCancel() {
    if (progress_.Finished()) {
        HostDialog::OnCancel();
        return;
    }
    stopRun();
    closingByUser_ = true;
}

void CMakeDialog::stopRun() {
    progress_.Stop();
    if (auto* stop = FindChildByName2<QPushButton>(QStringLiteral("btn_stop")))
        stop->setEnabled(false);
    // The disabled button hands its focus on, to the log, which would then stand still
    // and never show what the stop kept.
    if (log_ && log_->hasFocus())
        log_->clearFocus();
}

void ShowInFolder(const QString& path) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    const QDBusMessage answer = QDBusConnection::sessionBus().call(call, QDBus::Block, 2000);
    if (answer.type() != QDBusMessage::ReplyMessage)
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
}

} // namespace folimo::ui
