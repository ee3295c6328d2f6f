#pragma once

#include <cstdint>

namespace korvel {

// A hub listens on its base port (TCP) and the ports above it (UDP); without
// a "Base Port" line in system.dat it is this one.
inline constexpr std::int32_t kDefaultBasePort = 9000;
// A system's own port until it registers another: TCP there, UDP one above.
// The same number as the default base port, but not tied to the hub's.
inline constexpr std::int32_t kDefaultSystemPort = kDefaultBasePort;
// Velka systems receive on fixed ports whatever the hub's base port: data,
// pages and notices on the first, acknowledgements on the second.
inline constexpr int kVelkaDataPort = 9003;
inline constexpr int kVelkaAckPort = 9004;

// The endpoint type a system has until it announces its own; a system of the
// silent type is neither aged nor kept alive.
inline constexpr std::int32_t kDefaultEndpointType = 2;
inline constexpr std::int32_t kSilentEndpointType = 3;

// System types, fixed by the endpoint a system is first heard on.
inline constexpr std::int32_t kTypeQvx = 0;
inline constexpr std::int32_t kTypeVelka = 1;

} // namespace korvel
