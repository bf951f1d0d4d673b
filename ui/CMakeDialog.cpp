#include "CMakeDialog.h"

#include "UiLoader.h"

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
#include <QUrl>

namespace folimo::ui {

CMakeDialog::CMakeDialog(ConversionProgress& progress, QWidget* parent)
    : QDialog(parent), progress_(progress) {
    QWidget* root = buildLayoutInto(this, QStringLiteral("LAYOUT:XML_MAKEWND"));
    ui_ = {bindControl<QLabel>(root, QStringLiteral("text_tip")),
           bindControl<QProgressBar>(root, QStringLiteral("progress_make")),
           bindControl<QTextEdit>(root, QStringLiteral("edit_log")),
           bindControl<QPushButton>(root, QStringLiteral("btn_open_file")),
           bindControl<QPushButton>(root, QStringLiteral("btn_open_folder")),
           bindControl<QPushButton>(root, QStringLiteral("btn_stop")),
           bindControl<QPushButton>(root, QStringLiteral("btn_close2"))};
    connect(ui_.stop, &QPushButton::clicked, this, &CMakeDialog::stopRun);
    connect(ui_.close, &QPushButton::clicked, this, &CMakeDialog::reject);
    connect(ui_.openFile, &QPushButton::clicked, this, [this] {
        if (!openPath_.empty())
            QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdWString(openPath_)));
    });
    connect(ui_.openFolder, &QPushButton::clicked, this, [this] {
        if (!firstOutput_.empty())
            ShowInFolder(QString::fromStdWString(firstOutput_));
    });
    // The log must not start with the focus, or it would never follow the run.
    ui_.stop->setFocus();
    connect(&refreshTimer_, &QTimer::timeout, this, &CMakeDialog::refresh);
    refreshTimer_.start(200);
    // The first look comes from the dialog's own loop: a run already over may end the
    // window at once, which only a running loop can take.
    QTimer::singleShot(0, this, &CMakeDialog::refresh);
}

void CMakeDialog::refresh() {
    const ConversionProgress::Snapshot s = progress_.Read();
    QString tip = QString::fromStdWString(s.status);
    if (s.totalFiles > 0 && !s.finished) {
        tip += QStringLiteral("\n%1 / %2").arg(s.filesDone).arg(s.totalFiles);
        if (s.secondsLeft >= 0)
            tip += QCoreApplication::translate("CMakeDialog", "，约 %1 秒").arg(s.secondsLeft);
    }
    ui_.tip->setText(tip);
    ui_.bar->setValue(s.permille);
    // A reader who clicked into the log keeps it still; it catches up when they leave.
    if (!ui_.log->hasFocus() && s.log.size() > logShown_) {
        QTextCursor end(ui_.log->document());
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
        QScrollBar* bar = ui_.log->verticalScrollBar();
        if (bar->value() != bar->maximum())
            bar->setValue(bar->maximum());
    }
    firstOutput_ = s.firstOutput;
    openPath_ = s.openPath;
    if (!s.finished || finishedShown_)
        return;
    finishedShown_ = true;
    refreshTimer_.stop();
    // Only a document that was written can be opened.
    ui_.openFile->setVisible(!firstOutput_.empty());
    ui_.openFolder->setVisible(!firstOutput_.empty());
    ui_.close->show();
    ui_.stop->hide();
    if (closingByUser_)
        // Long enough to read what the stop kept, which the log now says.
        QTimer::singleShot(1500, this, &QDialog::accept);
    else if (closeWhenFinished_)
        accept();
}

void CMakeDialog::reject() {
    if (progress_.Finished()) {
        QDialog::reject();
        return;
    }
    stopRun();
    closingByUser_ = true;
}

void CMakeDialog::stopRun() {
    progress_.Stop();
    ui_.stop->setEnabled(false);
    // The disabled button hands its focus on, to the log, which would then stand still
    // and never show what the stop kept.
    if (ui_.log->hasFocus())
        ui_.log->clearFocus();
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
