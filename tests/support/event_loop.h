#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <functional>

namespace korvel::testing {

// Runs the event loop until `done` holds or the time is up; returns `done()`.
inline bool SpinUntil(const std::function<bool()>& done, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::usleep(500);
    }
    return true;
}

inline void SpinFor(int ms)
{
    SpinUntil([] { return false; }, ms);
}

} // namespace korvel::testing
