#include "CAboutDialog.h"

#include <VersionInfo.h>

#include <QCoreApplication>
#include <QLabel>

namespace folimo::ui {

CAboutDialog::CAboutDialog(QWidget* parent, std::wstring programPath)
    : HostDialog(QStringLiteral("LAYOUT:XML_ABOUTWND"), parent),
      programPath_(std::move(programPath)) {
    if (programPath_.empty())
        programPath_ = QCoreApplication::applicationFilePath().toStdWString();
}

void CAboutDialog::OnInit() {
    if (auto* version = FindChildByName2<QLabel>(QStringLiteral("text_ver")))
        version->setText(QString::fromStdWString(ComparableVersionOf(programPath_)));
}

} // namespace folimo::ui
