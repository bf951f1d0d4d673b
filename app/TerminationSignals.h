// An orderly end on SIGTERM, SIGINT and SIGHUP (a desktop session's logout, Ctrl+C in
// a terminal, a test harness) for a program with an event loop: the signal's handler
// only writes one byte into a pipe of ours (the self-pipe pattern), and the event loop
// of the thread that made this object reads it and calls back, where anything may be
// done, such as closing the windows. A second signal while the first is being handled
// ends the process at once, as that signal does by default.
#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace folimo {

// Not a QObject of its own (no moc needed): the notifier it owns calls it.
class TerminationSignals {
public:
    // Installs the handlers; `onSignal(signalNumber)` is called once, for the first
    // signal, on this thread. A signal that is ignored when this object is made (the
    // program was started with nohup, or as a shell's background job for SIGINT) stays
    // ignored. One object at a time in a process (a second one stays inactive). Needs a
    // QCoreApplication.
    explicit TerminationSignals(std::function<void(int)> onSignal);
    // Puts the earlier handlers back.
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // False when the pipe or the handlers could not be set up (the signals then keep
    // their earlier handling).
    bool IsActive() const { return notifier_ != nullptr; }

private:
    void readSignal();

    std::function<void(int)> onSignal_;
    int pipe_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
    bool called_ = false;
};

} // namespace folimo
