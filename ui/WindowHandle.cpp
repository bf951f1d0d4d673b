#include "WindowHandle.h"

#include <QCoreApplication>
#include <QHash>
#include <QObject>

namespace folimo::ui {

struct WindowHandle::Call {
    enum State { Queued, Running, Done, Dropped };
    std::function<void()> run;
    State state = Queued;
};

namespace detail {

// Lives on the window's thread as the window's child; a queued call of deliverNext makes it
// run the next queued call. Holding the handle keeps it alive while a call runs, even if
// that call ends the window.
class HandleReceiver : public QObject {
    Q_OBJECT
public:
    HandleReceiver(QObject* window, std::shared_ptr<WindowHandle> handle)
        : QObject(window), handle_(std::move(handle)) {}
    // A window that never closed its handle closes it here, as its children go.
    ~HandleReceiver() override { handle_->close(false); }

    Q_INVOKABLE void deliverNext() {
        const std::shared_ptr<WindowHandle> handle = handle_;
        handle->deliverOne();
    }

private:
    std::shared_ptr<WindowHandle> handle_;
};

} // namespace detail

std::shared_ptr<WindowHandle> WindowHandle::Create(QObject* window, MessageHandler messages) {
    std::shared_ptr<WindowHandle> handle(new WindowHandle);
    handle->windowThread_ = std::this_thread::get_id();
    handle->messages_ = std::move(messages);
    handle->receiver_ = new detail::HandleReceiver(window, handle);
    // After the event loop has ended nothing would run a queued call, and the program may
    // then wait for its workers before it destroys its windows.
    if (QCoreApplication* app = QCoreApplication::instance()) {
        std::weak_ptr<WindowHandle> weak = handle;
        QObject::connect(app, &QCoreApplication::aboutToQuit, handle->receiver_, [weak] {
            if (const auto open = weak.lock())
                open->Close();
        });
    }
    return handle;
}

WindowHandle::~WindowHandle() = default;

bool WindowHandle::Post(std::function<void()> call) {
    auto queued = std::make_shared<Call>();
    queued->run = std::move(call);
    std::lock_guard lock(lock_);
    if (closed_)
        return false;
    queue_.push_back(std::move(queued));
    wakeLocked();
    return true;
}

bool WindowHandle::Send(std::function<void()> call) {
    if (std::this_thread::get_id() == windowThread_) {
        if (!IsOpen())
            return false;
        call();
        return true;
    }
    auto queued = std::make_shared<Call>();
    queued->run = std::move(call);
    std::unique_lock lock(lock_);
    if (closed_)
        return false;
    queue_.push_back(queued);
    wakeLocked();
    changed_.wait(lock,
                  [&] { return queued->state == Call::Done || queued->state == Call::Dropped; });
    return queued->state == Call::Done;
}

bool WindowHandle::PostMessage(unsigned msg, quintptr wParam, qintptr lParam) {
    return Post([this, msg, wParam, lParam] {
        qintptr result = 0;
        if (messages_)
            messages_(msg, wParam, lParam, result);
    });
}

qintptr WindowHandle::SendMessage(unsigned msg, quintptr wParam, qintptr lParam, bool* handled) {
    qintptr result = 0;
    bool answered = false;
    Send([&] {
        if (messages_)
            answered = messages_(msg, wParam, lParam, result);
    });
    if (handled)
        *handled = answered;
    return answered ? result : 0;
}

bool WindowHandle::IsOpen() const {
    std::lock_guard lock(lock_);
    return !closed_;
}

int WindowHandle::PendingCalls() const {
    std::lock_guard lock(lock_);
    return int(queue_.size());
}

void WindowHandle::Close() {
    close(true);
}

void WindowHandle::close(bool deleteReceiver) {
    std::deque<std::shared_ptr<Call>> dropped;
    {
        std::lock_guard lock(lock_);
        if (closed_)
            return;
        closed_ = true;
        dropped.swap(queue_);
        for (const auto& call : dropped)
            call->state = Call::Dropped;
        // Deferred: Close may be reached from a call that this receiver is running.
        if (deleteReceiver)
            receiver_->deleteLater();
        receiver_ = nullptr;
    }
    changed_.notify_all();
    // The dropped calls' captures are released here, on the window's thread, outside the
    // lock.
}

void WindowHandle::wakeLocked() {
    if (wakePosted_)
        return;
    wakePosted_ = true;
    // By name, so that Qt makes the queued event itself: an event allocated here would
    // cross threads inside Qt, where ThreadSanitizer cannot see the hand-over.
    QMetaObject::invokeMethod(receiver_, "deliverNext", Qt::QueuedConnection);
}

void WindowHandle::deliverOne() {
    std::shared_ptr<Call> call;
    {
        std::lock_guard lock(lock_);
        if (closed_ || queue_.empty()) {
            wakePosted_ = false;
            return;
        }
        call = queue_.front();
        queue_.pop_front();
        call->state = Call::Running;
        // One call per wake-up, and the next wake-up posted before this call runs: a call
        // that opens a modal loop (a message box) still lets the calls behind it through.
        wakePosted_ = false;
        if (!queue_.empty())
            wakeLocked();
    }
    struct MarkDone {
        WindowHandle* handle;
        Call* call;
        ~MarkDone() {
            {
                std::lock_guard lock(handle->lock_);
                call->state = Call::Done;
            }
            handle->changed_.notify_all();
        }
    } markDone{this, call.get()};
    call->run();
}

unsigned RegisterWindowMessage(const QString& name) {
    static std::mutex lock;
    static QHash<QString, unsigned> numbers;
    std::lock_guard guard(lock);
    const auto found = numbers.constFind(name);
    if (found != numbers.constEnd())
        return *found;
    const unsigned number = 0xC000u + unsigned(numbers.size());
    numbers.insert(name, number);
    return number;
}

} // namespace folimo::ui

#include "WindowHandle.moc"
