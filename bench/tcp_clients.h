#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvel::bench {

struct TcpStats {
    std::uint64_t answered = 0;
    std::uint64_t failed = 0;
    double seconds = 0;
};

// Systems asking for their station page: each client thread, from its own
// address, connects, sends one MSG_GETDATA, reads the whole MSG_GETRESPONSE
// and closes, over and over.
TcpStats RunGetDataClients(
    const std::vector<std::string>& sources, const std::string& server, int port, std::int64_t durationNs);

} // namespace korvel::bench
