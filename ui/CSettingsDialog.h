// The settings window over the engine's settings record and the program's own stored
// values. Nothing changes until "btn_ok": then what differs from the current values is
// applied (the watermarks always), the record is stored and the window closes. Any other
// way of closing it leaves everything as it was.
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

    // Applies the controls, stores the record and closes the window with IDOK.
    void OnOK() override;

protected:
    void OnInit() override;
    bool OnCommand(const QString& name) override;

private:
    // The record's watermarks as the store fills it, or null when it holds other ones.
    ITextWatermark* textWatermark() const;
    IImageWatermark* imageWatermark() const;

    void fill();
    void apply();
    void chooseFolder();
    void chooseColor();
    void chooseImage();
    void showTextColor();

    IFolimoSettings* settings_;
    int textColor_ = 0; // 0x00BBGGRR, as the engine takes it
};

} // namespace folimo::ui
