// The settings window over the engine's settings record.
#pragma once

#include "HostWindow.h"

#include <folimo/Folimo.h>

namespace folimo::ui {

class CSettingsDialog : public HostDialog {
    Q_OBJECT
public:
    // `settings` is the main window's record; it must outlive the dialog.
    explicit CSettingsDialog(IFolimoSettings* settings, QWidget* parent = nullptr);

    IFolimoSettings* Settings() const { return settings_; }

private:
    IFolimoSettings* settings_;
};

} // namespace folimo::ui
