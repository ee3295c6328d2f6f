#pragma once

#include <cstdint>
#include <optional>

namespace korvel {

// What the kernel holds for a socket that its reader has not taken yet.
struct ReceiveQueue {
    // Receive-buffer memory in use, as the kernel counts it against the
    // buffer's size: a small datagram takes about a kilobyte.
    std::uint64_t bytes = 0;
    // Datagrams dropped because that buffer was full, since the socket opened.
    std::uint64_t drops = 0;
};

// Nothing for a descriptor that is not an open socket.
std::optional<ReceiveQueue> ReadReceiveQueue(int fd);

} // namespace korvel
