#pragma once
// Waiting on the event loop in tests: never sleeps, always bounded.
#include <QCoreApplication>
#include <QDeadlineTimer>

#include <functional>

// Processes events until Done() holds or the time is up; returns Done().
inline bool RunUntil(const std::function<bool()>& Done, int TimeoutMs = 5000) {
    QDeadlineTimer deadline(TimeoutMs);
    while (!Done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

// Processes events for a while (to show that nothing more arrives).
inline void RunFor(int Ms) {
    QDeadlineTimer deadline(Ms);
    while (!deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
}
