#pragma once

#include "helper.h"

#include <atomic>
#include <cstdint>

namespace korvel::bench {

// Pages connected to the hub's live feed, from a process of their own: each
// opens a WebSocket to /ws, asks to watch one system's stations and then reads
// everything it is sent, as a browser would, until stopped.
class WebClients {
public:
    WebClients(int count, int port, std::uint64_t watchedSystem);
    ~WebClients();
    WebClients(const WebClients&) = delete;
    WebClients& operator=(const WebClients&) = delete;

    int pid() const { return helper_.pid(); }
    int connected() const { return shared_->connected.load(std::memory_order_acquire); }
    std::uint64_t bytes() const { return shared_->bytes.load(std::memory_order_acquire); }

private:
    struct Shared {
        std::atomic<int> connected;
        std::atomic<int> ready;
        std::atomic<int> stop;
        std::atomic<std::uint64_t> bytes;
    };
    int run(int count, int port, std::uint64_t watchedSystem);

    Helper helper_;
    Shared* shared_ = nullptr;
};

} // namespace korvel::bench
