#include "service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace korvel {

bool NotifyServiceManager(const std::string& state)
{
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@'))
        return false;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path, length);
    // '@' names a socket in the abstract namespace, which starts with a NUL.
    if (address.sun_path[0] == '@')
        address.sun_path[0] = '\0';
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    const bool sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address), size)
        == static_cast<ssize_t>(state.size());
    close(fd);
    return sent;
}

int ServiceNotifier::watchdogIntervalMs()
{
    const char* usec = std::getenv("WATCHDOG_USEC");
    if (!usec)
        return 0;
    if (const char* pid = std::getenv("WATCHDOG_PID"); pid && std::atol(pid) != static_cast<long>(getpid()))
        return 0;
    const long long micros = std::atoll(usec);
    return micros > 0 ? static_cast<int>(std::max<long long>(micros / 2000, 1)) : 0;
}

ServiceNotifier::ServiceNotifier(QObject* parent)
    : QObject(parent)
{
    connect(&watchdog_, &QTimer::timeout, this, [] { NotifyServiceManager("WATCHDOG=1"); });
}

void ServiceNotifier::ready(const std::string& status)
{
    NotifyServiceManager("READY=1\nSTATUS=" + status);
    if (const int interval = watchdogIntervalMs(); interval > 0) {
        watchdog_.start(interval);
        NotifyServiceManager("WATCHDOG=1");
    }
}

void ServiceNotifier::stopping()
{
    watchdog_.stop();
    NotifyServiceManager("STOPPING=1");
}

} // namespace korvel
