// The longest time the owner's thread goes without running its event loop: a timer
// beats every millisecond, and the widest gap between two beats is the worst stall.
#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

class StallMeter {
public:
    StallMeter() {
        heartbeat_.setInterval(1);
        QObject::connect(&heartbeat_, &QTimer::timeout, [this] {
            const qint64 now = clock_.nsecsElapsed();
            longest_ = std::max(longest_, now - lastBeat_);
            lastBeat_ = now;
        });
    }
    void start() {
        clock_.start();
        lastBeat_ = 0;
        heartbeat_.start();
    }
    double elapsedSeconds() const { return double(clock_.nsecsElapsed()) / 1e9; }
    double longestStallMs() const { return double(longest_) / 1e6; }

private:
    QElapsedTimer clock_;
    QTimer heartbeat_;
    qint64 lastBeat_ = 0;
    qint64 longest_ = 0;
};
