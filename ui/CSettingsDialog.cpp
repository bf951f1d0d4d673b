#include "CSettingsDialog.h"

namespace folimo::ui {

CSettingsDialog::CSettingsDialog(IFolimoSettings* settings, QWidget* parent)
    : HostDialog(QStringLiteral("LAYOUT:XML_SETTINGSWND"), parent), settings_(settings) {}

} // namespace folimo::ui
