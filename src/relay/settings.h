#pragma once

#include "protocol/defaults.h"

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
    // Remote hosts of the UDP endpoints, used only by the test console.
    std::string UdpRemoteHost;
    std::string VelkaRemoteHost;
    // The SIP extensions' system, whose reports the hub builds itself: nothing
    // is sent to it, and nothing from the network is taken as its. Empty: none.
    std::string virtualSystem;
    int VelkaRemotePort = kVelkaDataPort;
};

} // namespace korvel
