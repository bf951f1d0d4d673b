#include "CAboutDialog.h"

#include "UiLoader.h"

#include <VersionInfo.h>

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>

namespace folimo::ui {

CAboutDialog::CAboutDialog(QWidget* parent, const std::wstring& programPath) : QDialog(parent) {
    QWidget* root = buildLayoutInto(this, QStringLiteral("LAYOUT:XML_ABOUTWND"));
    ui_ = {bindControl<QLabel>(root, QStringLiteral("text_ver")),
           bindControl<QPushButton>(root, QStringLiteral("btn_ok"))};
    connect(ui_.ok, &QPushButton::clicked, this, &QDialog::accept);
    ui_.version->setText(QString::fromStdWString(ComparableVersionOf(
        programPath.empty() ? QCoreApplication::applicationFilePath().toStdWString()
                            : programPath)));
}

} // namespace folimo::ui
