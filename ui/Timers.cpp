#include "Timers.h"

#include <QTimerEvent>

namespace folimo::ui {

namespace {
const QString controlTimersName = QStringLiteral("folimo_control_timers");
} // namespace

TimerSet::TimerSet(QObject* target, Handler fallback)
    : QObject(target), fallback_(std::move(fallback)) {}

TimerSet::~TimerSet() {
    for (const Timer& timer : std::as_const(timers_))
        killTimer(timer.qtId);
}

bool TimerSet::Set(int id, int ms, Handler handler) {
    if (ms < 0)
        return false;
    Kill(id);
    const int qtId = startTimer(ms);
    if (qtId == 0)
        return false;
    timers_.insert(id, Timer{qtId, std::move(handler)});
    ids_.insert(qtId, id);
    return true;
}

bool TimerSet::Kill(int id) {
    const auto found = timers_.constFind(id);
    if (found == timers_.constEnd())
        return false;
    killTimer(found->qtId);
    ids_.remove(found->qtId);
    timers_.erase(found);
    return true;
}

TimerSet* TimerSet::Of(QObject* target, bool create) {
    if (!target)
        return nullptr;
    for (QObject* child : target->children()) {
        auto* set = qobject_cast<TimerSet*>(child);
        if (set && set->objectName() == controlTimersName)
            return set;
    }
    if (!create)
        return nullptr;
    auto* set = new TimerSet(target, [target](int id) {
        if (auto* control = dynamic_cast<TimedControl*>(target))
            control->OnTimer2(id);
    });
    set->setObjectName(controlTimersName);
    return set;
}

void TimerSet::timerEvent(QTimerEvent* event) {
    const auto found = ids_.constFind(event->timerId());
    if (found == ids_.constEnd())
        return QObject::timerEvent(event);
    const int id = *found;
    // Copied: the handler may kill or reset its own timer.
    const Handler handler = timers_.value(id).handler;
    if (handler)
        handler(id);
    else if (fallback_)
        fallback_(id);
}

bool TimedControl::SetTimer2(int id, int ms) {
    return ui::SetTimer2(dynamic_cast<QObject*>(this), id, ms);
}

bool TimedControl::KillTimer2(int id) {
    return ui::KillTimer2(dynamic_cast<QObject*>(this), id);
}

bool SetTimer2(QObject* control, int id, int ms) {
    if (!dynamic_cast<TimedControl*>(control))
        return false;
    TimerSet* timers = TimerSet::Of(control, true);
    return timers->Set(id, ms);
}

bool SetTimer2(QObject* control, int id, int ms, std::function<void(int id)> handler) {
    TimerSet* timers = TimerSet::Of(control, true);
    return timers && timers->Set(id, ms, std::move(handler));
}

bool KillTimer2(QObject* control, int id) {
    TimerSet* timers = TimerSet::Of(control, false);
    return timers && timers->Kill(id);
}

} // namespace folimo::ui
