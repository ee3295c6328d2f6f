#pragma once

#include <cstdint>

namespace korvel {

inline constexpr std::int32_t SYSTEM_WORKING = 0;
inline constexpr std::int32_t SYSTEM_ERROR = 1;
inline constexpr std::int32_t SYSTEM_NO_DATA = 2;
inline constexpr std::int32_t SYSTEM_UNKNOWN = -1;

// Every integer has a name and an icon; values outside the tables are "Unknown".
const char* SystemStatusName(std::int32_t value);
const char* StationStatusName(std::int32_t state);
int StationImageIndex(std::int32_t state);

} // namespace korvel
