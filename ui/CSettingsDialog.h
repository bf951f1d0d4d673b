// The settings window over the engine's settings record and the program's own stored
// values. Nothing changes until it is accepted: then what differs from the current values
// is applied (the watermarks always), the record is stored and the window closes. Any
// other way of closing it leaves everything as it was.
#pragma once

#include <folimo/Folimo.h>

#include <QDialog>

#include <array>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;

namespace folimo::ui {

class CSettingsDialog : public QDialog {
    Q_OBJECT
public:
    // `settings` is the main window's record; it must outlive the dialog.
    explicit CSettingsDialog(IFolimoSettings* settings, QWidget* parent = nullptr);

    // Applies the controls, stores the record and closes the window as accepted.
    void accept() override;

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

    struct Controls {
        QLineEdit* pdfPath;
        QCheckBox* showAd;
        QCheckBox* moveItemSort;
        QCheckBox* contextMenu;
        QCheckBox* addBookmark;
        std::array<QLineEdit*, 5> info; // in the order of the info table
        QComboBox* imageCode;
        QComboBox* defaultCode;
        QSpinBox* jpegQuality;
        QSpinBox* maxWidth;
        QSpinBox* maxHeight;
        QSpinBox* dpi;
        QComboBox* pageSize;
        std::array<QCheckBox*, 4> layoutFlags; // in the order of the flag table
        QSpinBox* marginLeft;
        QSpinBox* marginTop;
        QWidget* textGroup;
        QLineEdit* text;
        QSpinBox* fontSize;
        QSpinBox* textTransparency;
        QSpinBox* textX;
        QSpinBox* textY;
        QWidget* colorSwatch;
        QLabel* colorText;
        QWidget* imageGroup;
        QLineEdit* imagePath;
        QSpinBox* imageX;
        QSpinBox* imageY;
        QSpinBox* imageTransparency;
    };
    Controls ui_{};
    IFolimoSettings* settings_;
    int textColor_ = 0; // 0x00BBGGRR, as the engine takes it
};

} // namespace folimo::ui
