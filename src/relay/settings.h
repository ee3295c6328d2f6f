#pragma once

#include "protocol/defaults.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace korvel {

// "Set Another Port" uses this fixed second set, counted from the default
// base port whatever the base port in use.
inline constexpr int kAnotherLocalTcpPort = kDefaultBasePort + 2;
inline constexpr int kAnotherLocalUdpPort = kDefaultBasePort + 3;
inline constexpr int kAnotherRemoteTcpPort = kDefaultBasePort;
inline constexpr int kAnotherRemoteUdpPort = kDefaultBasePort + 1;

// Run-time settings; read and changed on the main thread only. Only BasePort
// survives a restart (it is kept in system.dat).
struct Settings {
    std::int32_t BasePort = kDefaultBasePort;
    std::string ServerAddress;
    std::string OwnAddress;
    bool ForwardStatus = false;
    bool ClientOnlyMode = false;
    std::int32_t LocalTcpPort = kDefaultBasePort;
    std::int32_t LocalUdpPort = kDefaultBasePort + 1;
    std::int32_t RemoteTcpPort = kDefaultBasePort;
    std::int32_t RemoteUdpPort = kDefaultBasePort + 1;
    // Where the test console's TCP client connects: ServerAddress as the
    // endpoints were last set up; nothing else moves it.
    std::string TcpAddress;
    // Remote hosts of the UDP endpoints, used only by the test console.
    std::string UdpRemoteHost;
    std::string VelkaRemoteHost;
    int VelkaRemotePort = kVelkaDataPort;
};

// Traffic counters, one set per hub, shared with its sender threads: every
// change is atomic.
struct TrafficCounters {
    std::atomic<std::int32_t> SentByteCount { 0 };
    std::atomic<std::int32_t> ReceivedByteCount { 0 };
    std::atomic<std::int32_t> LiveSenderCount { 0 };

    // What the hub turned away to stay within its bounds; main thread only.
    // New senders refused because the table was full (datagrams and connections).
    std::uint64_t RefusedTableFull = 0;
    // Datagram answers the per-address budget held back, and their bytes.
    std::uint64_t AnswersHeldBack = 0;
    std::uint64_t AnswerBytesHeldBack = 0;
    // Connections closed for room, or because their answers were not taken.
    std::uint64_t ConnectionsShed = 0;
};

} // namespace korvel
