#pragma once

#include "helper.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace korvel::bench {

// Systems asking for their station page, from a process of their own: one
// connection per source address at a time, all at once, each connecting,
// sending one MSG_GETDATA, reading the whole MSG_GETRESPONSE and closing, over
// and over until stopped.
class TcpClients {
public:
    TcpClients(const std::vector<std::string>& sources, const std::string& server, int port);
    ~TcpClients();
    TcpClients(const TcpClients&) = delete;
    TcpClients& operator=(const TcpClients&) = delete;

    int pid() const { return helper_.pid(); }
    std::uint64_t answered() const { return shared_->answered.load(std::memory_order_acquire); }

    struct Result {
        std::uint64_t answered = 0;
        // Refused, reset, timed out (5 s) or answered wrongly.
        std::uint64_t failed = 0;
        // The failures by kind, for the log: "refused 3, reset 1".
        std::string failures;
        // Of a whole request, connect to close.
        double p50Ms = 0, p99Ms = 0, maxMs = 0;
    };
    // Stops starting requests, lets those under way finish, and reports.
    Result finish();

private:
    struct Shared {
        std::atomic<std::uint64_t> answered;
        std::atomic<std::uint64_t> failed;
        std::atomic<int> ready;
        std::atomic<int> stop;
        double p50Ms, p99Ms, maxMs;
        char failures[256];
    };
    int run(const std::vector<std::string>& sources, const std::string& server, int port);

    Helper helper_;
    Shared* shared_ = nullptr;
};

} // namespace korvel::bench
