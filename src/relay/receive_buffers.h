#pragma once

#include "protocol/wire_format.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>

namespace korvel {

// Room for up to N datagrams, their senders and the kernel's message array,
// for one recvmmsg; reused from call to call. A longer datagram is cut to
// the buffer's size. The array is set up once; a call resets only the
// entries the one before it filled, so a wake-up that finds one datagram
// does not rewrite the whole array.
template <unsigned N> struct ReceiveBuffers {
    std::array<std::array<std::uint8_t, wire::kMaxDatagram>, N> buffers {};
    std::array<sockaddr_in, N> senders {};
    std::array<iovec, N> vectors {};
    std::array<mmsghdr, N> messages {};

    ReceiveBuffers()
    {
        for (unsigned i = 0; i < N; ++i) {
            vectors[i] = iovec { buffers[i].data(), buffers[i].size() };
            messages[i].msg_hdr.msg_name = &senders[i];
            messages[i].msg_hdr.msg_namelen = sizeof senders[i];
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
    }
    // The entries point into the object itself.
    ReceiveBuffers(const ReceiveBuffers&) = delete;
    ReceiveBuffers& operator=(const ReceiveBuffers&) = delete;

    // recvmmsg of up to `count` (at most N) datagrams from `fd`.
    int receive(int fd, unsigned count, int flags)
    {
        for (unsigned i = 0; i < filled_; ++i)
            messages[i].msg_hdr.msg_namelen = sizeof senders[i];
        const int received = recvmmsg(fd, messages.data(), count, flags, nullptr);
        filled_ = received > 0 ? static_cast<unsigned>(received) : 0;
        return received;
    }
    Bytes packet(std::size_t i) const { return Bytes(buffers[i].data(), messages[i].msg_len); }
    bool sentBy(std::size_t i, const sockaddr_in& sender) const
    {
        return senders[i].sin_addr.s_addr == sender.sin_addr.s_addr && senders[i].sin_port == sender.sin_port;
    }

private:
    unsigned filled_ = 0;
};

} // namespace korvel
