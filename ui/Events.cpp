#include "Events.h"

#include "HostWindow.h"

#include <QList>
#include <QObject>

#include <utility>

namespace folimo::ui {

namespace {

const QString eventSetName = QStringLiteral("folimo_event_set");

// A control's subscribers, kept as its child so they go with it.
class EventSet : public QObject {
public:
    explicit EventSet(QObject* control) : QObject(control) { setObjectName(eventSetName); }
    QList<std::pair<EventId, EventHandler>> handlers;
};

EventSet* eventSetOf(QObject* control, bool create) {
    for (QObject* child : control->children()) {
        if (child->objectName() == eventSetName) {
            if (auto* set = dynamic_cast<EventSet*>(child))
                return set;
        }
    }
    return create ? new EventSet(control) : nullptr;
}

} // namespace

void SubscribeEvent(QObject* control, EventId id, EventHandler handler) {
    if (control && handler)
        eventSetOf(control, true)->handlers.append({id, std::move(handler)});
}

bool FireEvent(QObject* control, Event& event) {
    if (!control)
        return false;
    event.sender = control;
    event.name = control->objectName();
    if (EventSet* set = eventSetOf(control, false)) {
        // Copied: a handler may subscribe more, or take the control down.
        const auto handlers = set->handlers;
        for (const auto& [id, handler] : handlers) {
            if (id == event.id && handler(event))
                return true;
        }
    }
    for (QObject* owner = control; owner; owner = owner->parent()) {
        if (auto* host = dynamic_cast<LayoutHost*>(owner))
            return host->DispatchEvent(event);
    }
    return false;
}

bool FireEvent(QObject* control, EventId id) {
    Event event;
    event.id = id;
    return FireEvent(control, event);
}

} // namespace folimo::ui
