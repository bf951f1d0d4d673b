// How threads other than the GUI thread reach a window: the handle stands for the window
// the way a window handle does, and stays safe to use after the window is gone.
//
// Everything a worker hands over travels through this handle's own queue under its own
// mutex, never inside a Qt event, so ThreadSanitizer sees the hand-over too (Qt itself is
// not built with it).
#pragma once

#include <QString>
#include <QtGlobal>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class QObject;

namespace folimo::ui {

namespace detail {
class HandleReceiver;
} // namespace detail

// A window's message map: answers whether it handled `msg`, with its result in `result`.
using MessageHandler =
    std::function<bool(unsigned msg, quintptr wParam, qintptr lParam, qintptr& result)>;

class WindowHandle {
public:
    // Made on the window's (GUI) thread; calls run on that thread. The window keeps the
    // handle open while it exists and closes it when it ends (host windows do so when
    // closed or destroyed, dialogs when DoModal returns). A handle also closes when the
    // application's event loop ends.
    static std::shared_ptr<WindowHandle> Create(QObject* window, MessageHandler messages = {});
    ~WindowHandle();

    WindowHandle(const WindowHandle&) = delete;
    WindowHandle& operator=(const WindowHandle&) = delete;

    // Any thread. Queues `call` to run on the window's thread; false when the window is
    // gone. Calls run in the order they were queued; those still waiting when the window
    // ends are dropped.
    bool Post(std::function<void()> call);

    // Any thread. Runs `call` on the window's thread and waits until it has run; on the
    // window's own thread it runs at once. False, with `call` not run, when the window is
    // gone or ends before it got to the call, so a sender never waits on a window that will
    // not answer. Once a call has started it is waited for to its end, so it may use data
    // on the sender's stack.
    bool Send(std::function<void()> call);

    // Window messages for the window's message map, by the same rules. SendMessage answers
    // the map's result, 0 when the window is gone or did not handle the message.
    bool PostMessage(unsigned msg, quintptr wParam = 0, qintptr lParam = 0);
    qintptr SendMessage(unsigned msg, quintptr wParam = 0, qintptr lParam = 0,
                        bool* handled = nullptr);

    bool IsOpen() const;
    // Calls queued and not yet started.
    int PendingCalls() const;

    // The window's thread, when the window ends: refuses further calls, drops the queued
    // ones and releases every sender that waits for one of them.
    void Close();

private:
    friend class detail::HandleReceiver;
    struct Call;

    WindowHandle() = default;
    void deliverOne();
    void close(bool deleteReceiver);
    void wakeLocked();

    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool closed_ = false;
    bool wakePosted_ = false;
    std::deque<std::shared_ptr<Call>> queue_;
    detail::HandleReceiver* receiver_ = nullptr; // used under lock_ while open; the window owns it
    std::thread::id windowThread_;
    MessageHandler messages_; // read on the window's thread only
};

// A message number for a name, the same for every call with that name during a run and
// distinct from other names' numbers (from 0xC000 upward). Any thread.
unsigned RegisterWindowMessage(const QString& name);

} // namespace folimo::ui
