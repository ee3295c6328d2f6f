#include "status_names.h"

namespace korvel {

const char* SystemStatusName(std::int32_t value)
{
    switch (value) {
    case SYSTEM_WORKING:
        return "Working";
    case SYSTEM_ERROR:
        return "Error";
    case SYSTEM_NO_DATA:
        return "No Data";
    default:
        return "Unknown";
    }
}

const char* StationStatusName(std::int32_t state)
{
    switch (state) {
    case 0:
        return "Idle";
    case 1:
        return "Busy";
    case 2:
        return "DND";
    case 3:
        return "Message";
    case 4:
        return "Out of Service";
    case 5:
        return "FWD";
    default:
        return "Unknown";
    }
}

int StationImageIndex(std::int32_t state)
{
    switch (state) {
    case 0:
        return 0;
    case 1:
        return 1;
    case 2:
        return 2;
    case 3:
        return 3;
    case 4:
        return 5;
    case 5:
        return 0;
    default:
        return 4;
    }
}

} // namespace korvel
