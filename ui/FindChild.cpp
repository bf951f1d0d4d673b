#include "FindChild.h"

#include <QByteArray>
#include <QList>
#include <QtDebug>

namespace folimo::ui {

QWidget* FindChildByName(const QObject* root, const QString& name, int levels) {
    if (!root || levels == 0)
        return nullptr;
    // Breadth first, so that of two controls with one name the outer one wins whatever
    // order the layout built its branches in.
    QList<const QObject*> level{root};
    for (int depth = 1; !level.isEmpty() && (levels < 0 || depth <= levels); ++depth) {
        QList<const QObject*> next;
        for (const QObject* parent : level) {
            for (QObject* child : parent->children()) {
                if (!child->isWidgetType())
                    continue;
                if (child->objectName() == name)
                    return static_cast<QWidget*>(child);
                next.append(child);
            }
        }
        level.swap(next);
    }
    return nullptr;
}

namespace detail {

void reportMissingChild(const QMetaObject& wanted, const QString& name, int levels) {
    qWarning("FindChildByName2 Failed, no window of class [%s] with name of [%s] was found "
             "within [%d] levels",
             qUtf8Printable(layoutClassName(wanted)), qUtf8Printable(name), levels);
}

} // namespace detail

} // namespace folimo::ui
