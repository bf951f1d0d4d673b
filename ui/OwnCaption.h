// A window whose layout draws its own caption ("wnd_caption", with its own minimise,
// maximise and close buttons) goes without the window manager's frame, which would be a
// second title bar above it: the caption moves the window, a double click on it
// maximises or restores, and a grip in the corner resizes it.
#pragma once

#include <QObject>

class QSizeGrip;
class QWidget;

namespace folimo::ui {

class OwnCaption : public QObject {
public:
    // Owned by `window`.
    OwnCaption(QWidget* window, QWidget* caption);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* window_;
    QSizeGrip* grip_;
};

} // namespace folimo::ui
