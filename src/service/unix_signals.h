#pragma once

#include <QObject>

class QSocketNotifier;

namespace korvel {

// Turns SIGTERM, SIGINT and SIGHUP into Qt signals on the main thread: the
// handler only writes a byte to a socket pair, the event loop does the rest.
// SIGPIPE is ignored from then on.
class UnixSignalWatcher : public QObject {
    Q_OBJECT

public:
    explicit UnixSignalWatcher(QObject* parent = nullptr);
    ~UnixSignalWatcher() override;

signals:
    void terminationRequested(int signalNumber);
    // SIGHUP: the terminal closed, or the service manager asks for a reload.
    void reloadRequested();

private:
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace korvel
