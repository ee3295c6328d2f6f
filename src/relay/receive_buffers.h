#pragma once

#include "protocol/wire_format.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>

namespace korvel {

// Room for up to N datagrams, their senders and the kernel's message array,
// for one recvmmsg; reused from call to call. A longer datagram is cut to
// the buffer's size.
template <unsigned N> struct ReceiveBuffers {
    std::array<std::array<std::uint8_t, wire::kMaxDatagram>, N> buffers {};
    std::array<sockaddr_in, N> senders {};
    std::array<iovec, N> vectors {};
    std::array<mmsghdr, N> messages {};

    // The message array, ready for a recvmmsg of up to `count` datagrams.
    mmsghdr* prepare(unsigned count = N)
    {
        for (unsigned i = 0; i < count; ++i) {
            vectors[i] = iovec { buffers[i].data(), buffers[i].size() };
            messages[i] = mmsghdr {};
            messages[i].msg_hdr.msg_name = &senders[i];
            messages[i].msg_hdr.msg_namelen = sizeof senders[i];
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        return messages.data();
    }
    Bytes packet(std::size_t i) const { return Bytes(buffers[i].data(), messages[i].msg_len); }
};

} // namespace korvel
