#pragma once

#include <QObject>

class QSocketNotifier;

namespace korvel {

// Turns SIGTERM and SIGINT into a Qt signal on the main thread: the handler
// only writes a byte to a socket pair, the event loop does the rest.
class UnixSignalWatcher : public QObject {
    Q_OBJECT

public:
    explicit UnixSignalWatcher(QObject* parent = nullptr);
    ~UnixSignalWatcher() override;

signals:
    void terminationRequested(int signalNumber);

private:
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace korvel
