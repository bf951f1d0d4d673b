// Controls are found by their objectName anywhere below a window, the way the windows'
// code names them ("btn_make", "edit_pdf_title").
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QString>
#include <QWidget>

#include "UiLoader.h"

namespace folimo::ui {

// The first widget named `name` below `root` (root itself excluded), nearer levels first.
// `levels` limits the search: 1 looks at the direct children only, -1 searches the whole
// tree. Null when there is none. GUI thread only, like every widget call.
QWidget* FindChildByName(const QObject* root, const QString& name, int levels = -1);

namespace detail {
void reportMissingChild(const QMetaObject& wanted, const QString& name, int levels);
} // namespace detail

// FindChildByName that also wants the control to be a T (qobject_cast, so a subclass
// counts). When the name is absent or names a control of another class, it logs
// "FindChildByName2 Failed, no window of class [T] with name of [name] was found within
// [levels] levels" through qWarning and returns null; callers test for null.
template <class T>
T* FindChildByName2(const QObject* root, const QString& name, int levels = -1) {
    T* typed = qobject_cast<T*>(FindChildByName(root, name, levels));
    if (!typed)
        detail::reportMissingChild(T::staticMetaObject, name, levels);
    return typed;
}

} // namespace folimo::ui
