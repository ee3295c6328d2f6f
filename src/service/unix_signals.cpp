#include "unix_signals.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace korvel {

namespace {

int gSignalPair[2] = { -1, -1 };
constexpr int kWatched[] = { SIGTERM, SIGINT, SIGHUP };

void OnSignal(int signalNumber)
{
    const char byte = static_cast<char>(signalNumber);
    [[maybe_unused]] const auto written = ::write(gSignalPair[0], &byte, 1);
}

} // namespace

UnixSignalWatcher::UnixSignalWatcher(QObject* parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPair) != 0)
        return;
    notifier_ = new QSocketNotifier(gSignalPair[1], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        if (::read(gSignalPair[1], &byte, 1) != 1)
            return;
        if (byte == SIGHUP)
            emit reloadRequested();
        else
            emit terminationRequested(byte);
    });

    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : kWatched)
        sigaction(signalNumber, &action, nullptr);
    // A reader that goes away (korvel --trace | head) must not end the hub
    // unsaved: its writes fail with EPIPE instead, and the writer copes.
    std::signal(SIGPIPE, SIG_IGN);
}

UnixSignalWatcher::~UnixSignalWatcher()
{
    for (const int signalNumber : kWatched)
        std::signal(signalNumber, SIG_DFL);
    // The next watcher makes a pair of its own.
    for (int& end : gSignalPair) {
        if (end >= 0)
            ::close(end);
        end = -1;
    }
}

} // namespace korvel
