#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <functional>

namespace korvel::testing {

// Runs the event loop until `done` holds or the time is up; returns `done()`.
// The loop sleeps until an event comes (a socket, a timer, a posted call) and
// looks again at least every 2 ms for what other threads and processes change.
inline bool SpinUntil(const std::function<bool()>& done, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    QTimer tick;
    tick.start(2);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace korvel::testing
