// The about window: the program's name and the version its file carries.
#pragma once

#include <QDialog>

#include <string>

class QLabel;
class QPushButton;

namespace folimo::ui {

class CAboutDialog : public QDialog {
    Q_OBJECT
public:
    // `programPath`: the file whose version shows; empty for the running program.
    // Throws LayoutError when the window's layout cannot be built.
    explicit CAboutDialog(QWidget* parent = nullptr, const std::wstring& programPath = {});

private:
    struct Controls {
        QLabel* version;
        QPushButton* ok;
    };
    Controls ui_;
};

} // namespace folimo::ui
