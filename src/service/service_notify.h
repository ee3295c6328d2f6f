#pragma once

#include <QObject>
#include <QTimer>

#include <string>

namespace korvel {

// Sends one state line ("READY=1", "WATCHDOG=1", ...) to the service manager
// named by $NOTIFY_SOCKET. False when there is none or the send failed.
bool NotifyServiceManager(const std::string& state);

// A hub run by systemd with Type=notify: says when it is ready and when it
// stops, and feeds the watchdog from the event loop, so a loop that hangs
// gets the service restarted. Does nothing outside such a unit.
class ServiceNotifier : public QObject {
    Q_OBJECT

public:
    explicit ServiceNotifier(QObject* parent = nullptr);

    // Every endpoint is open; `status` is shown by systemctl status.
    void ready(const std::string& status);
    void stopping();

    // The feeding interval: half of $WATCHDOG_USEC, 0 when no watchdog is
    // asked for (or it is meant for another process).
    static int watchdogIntervalMs();

private:
    QTimer watchdog_;
};

} // namespace korvel
