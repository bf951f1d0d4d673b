#include "OwnCaption.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QSizeGrip>
#include <QWidget>
#include <QWindow>

namespace folimo::ui {

OwnCaption::OwnCaption(QWidget* window, QWidget* caption)
    : QObject(window), window_(window), grip_(new QSizeGrip(window)) {
    window->setWindowFlag(Qt::FramelessWindowHint);
    grip_->setAccessibleName(QCoreApplication::translate("OwnCaption", "调整窗口大小"));
    grip_->resize(grip_->sizeHint());
    caption->installEventFilter(this);
    window->installEventFilter(this);
}

bool OwnCaption::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_) {
        if (event->type() == QEvent::Resize || event->type() == QEvent::Show) {
            grip_->move(window_->width() - grip_->width(), window_->height() - grip_->height());
            grip_->raise();
            grip_->setVisible(!window_->isMaximized());
        }
        return false;
    }
    if (event->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        if (QWindow* handle = window_->windowHandle())
            handle->startSystemMove();
        return true;
    }
    if (event->type() == QEvent::MouseButtonDblClick &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        window_->isMaximized() ? window_->showNormal() : window_->showMaximized();
        return true;
    }
    return false;
}

} // namespace folimo::ui
