#include "status_names.h"

namespace korvel {

const char* SystemStatusName(SystemStatus status)
{
    switch (status) {
    case SystemStatus::Working:
        return "Working";
    case SystemStatus::Error:
        return "Error";
    case SystemStatus::NoData:
        return "No Data";
    case SystemStatus::Unknown:
        break;
    }
    return "Unknown";
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
