#include "TerminationSignals.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace folimo {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int kSignalCount = int(sizeof(kSignals) / sizeof(kSignals[0]));

// What the handler may touch: lock-free atomics only.
std::atomic<int> writeEnd{-1};
std::atomic<int> received{0};
static_assert(std::atomic<int>::is_always_lock_free);

struct sigaction earlier[kSignalCount];

// Runs on whichever thread the signal reaches, between any two instructions: only
// async-signal-safe calls.
extern "C" void onTerminationSignal(int signalNumber) {
    const int savedErrno = errno;
    if (received.fetch_add(1) > 0) {
        // The second: the default action (the end of the process) once this handler
        // returns and the signal is unblocked again.
        ::signal(signalNumber, SIG_DFL);
        ::raise(signalNumber);
    } else if (const int fd = writeEnd.load(); fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(std::function<void(int)> onSignal)
    : onSignal_(std::move(onSignal)) {
    // Non-blocking on both ends: the handler never waits, and reading stops when the
    // pipe is empty.
    // One at a time: a second object stays inactive and leaves the first in charge.
    if (writeEnd.load() >= 0 || ::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        pipe_[0] = pipe_[1] = -1;
        return;
    }
    received.store(0);
    writeEnd.store(pipe_[1]);
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    // Any of the three is held back while the handler runs for another.
    for (int signalNumber : kSignals)
        sigaddset(&action.sa_mask, signalNumber);
    // Interrupted system calls on other threads resume rather than fail with EINTR.
    action.sa_flags = SA_RESTART;
    // A signal the program was started with ignored (nohup, a shell's background job
    // and Ctrl+C) stays ignored, as whoever started it asked.
    for (int i = 0; i < kSignalCount; ++i) {
        ::sigaction(kSignals[i], nullptr, &earlier[i]);
        if (earlier[i].sa_handler != SIG_IGN)
            ::sigaction(kSignals[i], &action, nullptr);
    }
    notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { readSignal(); });
}

TerminationSignals::~TerminationSignals() {
    if (pipe_[0] < 0)
        return;
    notifier_.reset();
    for (int i = 0; i < kSignalCount; ++i)
        ::sigaction(kSignals[i], &earlier[i], nullptr);
    writeEnd.store(-1);
    ::close(pipe_[1]);
    ::close(pipe_[0]);
}

void TerminationSignals::readSignal() {
    int first = 0;
    unsigned char bytes[16];
    ssize_t count;
    while ((count = ::read(pipe_[0], bytes, sizeof bytes)) > 0 || (count < 0 && errno == EINTR))
        if (count > 0 && first == 0)
            first = bytes[0];
    if (first == 0 || called_)
        return;
    called_ = true;
    if (onSignal_)
        onSignal_(first);
}

} // namespace folimo
