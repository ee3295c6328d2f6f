#pragma once

#include <cstdint>

namespace korvel {

// A system's status. The numbers are what system lists, the web console's
// JSON and the cluster's records carry; a number outside the four is kept as
// it came and named "Unknown".
enum class SystemStatus : std::int32_t {
    Unknown = -1,
    Working = 0,
    Error = 1,
    NoData = 2,
};

constexpr std::int32_t StatusNumber(SystemStatus status)
{
    return static_cast<std::int32_t>(status);
}

// Every status and station state has a name and an icon; values outside the
// tables are "Unknown".
const char* SystemStatusName(SystemStatus status);
const char* StationStatusName(std::int32_t state);
int StationImageIndex(std::int32_t state);

} // namespace korvel
