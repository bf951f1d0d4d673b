// Timers by small integer id, as windows and controls number them (timer 1 of a window,
// timer 110 of the list view), on Qt timers.
#pragma once

#include <QHash>
#include <QObject>

#include <functional>

namespace folimo::ui {

// The timers of one target: each id is one repeating timer, and setting an id that runs
// already restarts it with the new period. Lives as a child of the target, so the timers
// die with it; GUI thread only.
class TimerSet : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(int id)>;

    // `fallback` receives the ticks of timers set without a handler of their own.
    TimerSet(QObject* target, Handler fallback);
    ~TimerSet() override;

    bool Set(int id, int ms, Handler handler = {});
    bool Kill(int id);
    bool IsActive(int id) const { return timers_.contains(id); }

    // The control timers of `target` (SetTimer2), made on first use when `create` is true.
    // Other sets that the target may own, such as a window's own timers, are not these.
    static TimerSet* Of(QObject* target, bool create);

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    struct Timer {
        int qtId = 0;
        Handler handler;
    };
    Handler fallback_;
    QHash<int, Timer> timers_; // by our id
    QHash<int, int> ids_;      // Qt's timer id -> ours
};

// A control of ours whose own timers (SetTimer2) reach OnTimer2. Mixed into a QObject
// subclass: class SMCListViewEx : public QFrame, public TimedControl.
class TimedControl {
public:
    virtual ~TimedControl() = default;
    bool SetTimer2(int id, int ms);
    bool KillTimer2(int id);

protected:
    virtual void OnTimer2(int id) = 0;
    friend class TimerSet;
};

// Timers of one control that reach that control only: the first form delivers to the
// control's OnTimer2 (false when it is no TimedControl), the second to `handler`. A
// window's timers (HostWindow::SetTimer) and other controls' timers of the same id are
// separate.
bool SetTimer2(QObject* control, int id, int ms);
bool SetTimer2(QObject* control, int id, int ms, std::function<void(int id)> handler);
bool KillTimer2(QObject* control, int id);

} // namespace folimo::ui
