#include "keep_alive.h"

#include "log/console_log.h"
#include "outbox.h"
#include "protocol/fixed_texts.h"
#include "protocol/packet_builders.h"
#include "store/system_table.h"

namespace korvel {

namespace {

// Silence longer than this (strictly) turns a working system to "No Data".
constexpr std::int64_t kSilenceSeconds = 90;

} // namespace

void SendKeepAlives(SystemTable& table, Outbox& outbox, ConsoleLog& console, std::int64_t now)
{
    for (SystemEntry& entry : table.entries())
        SendKeepAlive(table, entry, outbox, console, now);
}

void SendKeepAlive(SystemTable& table, SystemEntry& entry, Outbox& outbox, ConsoleLog& console, std::int64_t now)
{
    if (entry.EndpointType == kSilentEndpointType)
        return;
    if (entry.Status == SystemStatus::Working && now - entry.LastHeard > kSilenceSeconds)
        table.setStatus(entry, SystemStatus::NoData);
    if (entry.Status == SystemStatus::Working || entry.Status == SystemStatus::Error)
        return;
    if (entry.Type != kTypeQvx)
        return;

    console.log(fixed::kKeepAliveTo, entry.IpAddress.c_str());
    // Port comes from a file or a packet and can be anything; a destination
    // no socket can reach counts as a failed send, which ends the keep-alives.
    const std::int64_t port = std::int64_t(entry.Port) + 1;
    if (port < 1 || port > 65535) {
        table.setStatus(entry, SystemStatus::Error);
        return;
    }
    const KeepAlivePacket packet = BuildKeepAlive();
    outbox.sendUdp(entry.IpAddress, static_cast<int>(port), packet);
}

} // namespace korvel
