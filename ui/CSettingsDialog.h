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
class QListWidget;
class QSpinBox;

namespace folimo::ui {

class CSettingsDialog : public QDialog {
    Q_OBJECT
public:
    // `settings` is the main window's record; it must outlive the dialog. `textData` is the
    // recognition data installed, as IFolimo::GetTextData gives it ("chi_sim+eng+osd").
    explicit CSettingsDialog(IFolimoSettings* settings, QWidget* parent = nullptr,
                             const QString& textData = QString());

    // Applies the controls, stores the record and closes the window as accepted.
    void accept() override;

private:
    // The record's watermark `index` when it is of `type`, as the store fills it (text at 0,
    // image at 1), or null when the record holds other ones.
    template <class T>
    T* watermark(int index, int type) const;

    void fill();
    void apply();
    void chooseFolder();
    void chooseColor();
    void chooseImage();
    void showTextColor();
    void fillRecognition(const QString& textData);
    void applyRecognition();
    // The list and the upright box follow the recognition box.
    void enableRecognition();

    struct Controls {
        QLineEdit *pdfPath, *text, *imagePath;
        QCheckBox *showAd, *moveItemSort, *contextMenu, *addBookmark;
        std::array<QLineEdit*, 5> info;        // in the order of the info table
        std::array<QCheckBox*, 4> layoutFlags; // in the order of the flag table
        QComboBox *imageCode, *defaultCode, *pageSize;
        QSpinBox *jpegQuality, *maxWidth, *maxHeight, *dpi, *marginLeft, *marginTop;
        QSpinBox *fontSize, *textTransparency, *textX, *textY;
        QSpinBox *imageX, *imageY, *imageTransparency;
        QWidget *textGroup, *imageGroup, *colorSwatch;
        QLabel* colorText;
        QCheckBox *recognizeText, *uprightByText;
        QListWidget* textLanguages;
        QLabel* textDataMissing;
    };
    Controls ui_{};
    IFolimoSettings* settings_;
    int textColor_ = 0;           // 0x00BBGGRR, as the engine takes it
    bool canTurnUpright_ = false; // the orientation data "osd" is installed
};

} // namespace folimo::ui
