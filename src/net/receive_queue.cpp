#include "receive_queue.h"

#include <linux/sock_diag.h>
#include <sys/socket.h>

namespace korvel {

std::optional<ReceiveQueue> ReadReceiveQueue(int fd)
{
    std::uint32_t info[SK_MEMINFO_VARS] {};
    socklen_t length = sizeof info;
    if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &length) != 0
        || length < sizeof(std::uint32_t) * (SK_MEMINFO_DROPS + 1))
        return std::nullopt;
    return ReceiveQueue { info[SK_MEMINFO_RMEM_ALLOC], info[SK_MEMINFO_DROPS] };
}

} // namespace korvel
