#include "station_board.h"

namespace korvel {

StationBoard::StationBoard(SystemTable& table, Changed changed, std::string ignored)
    : table_(table)
    , changed_(std::move(changed))
    , ignored_(std::move(ignored))
{
    // Once at the start; afterwards only what changes.
    for (const SystemEntry& entry : table.systems()) {
        if (!ignored_.empty() && entry.IpAddress == ignored_)
            continue;
        for (std::size_t i = 0; i < entry.Stations.size(); ++i) {
            if (entry.StationStates[i] >= 0) {
                std::string station(entry.Stations[i]);
                lamps_[station] = NextLamp(lamps_[station], entry.StationStates[i]);
            }
        }
    }
    table_.addChangeObserver(this);
}

StationBoard::~StationBoard()
{
    table_.removeChangeObserver(this);
}

StationLamp StationBoard::lamp(const std::string& station) const
{
    const auto found = lamps_.find(station);
    return found == lamps_.end() ? StationLamp {} : found->second;
}

void StationBoard::stationChanged(const SystemEntry& entry, std::size_t index)
{
    if (!ignored_.empty() && entry.IpAddress == ignored_)
        return;
    const std::int32_t state = entry.StationStates[index];
    // A station appended without a state is a registration, not a report.
    if (state < 0)
        return;
    std::string station(entry.Stations[index]);
    StationLamp& kept = lamps_[station];
    const StationLamp next = NextLamp(kept, state);
    if (next == kept)
        return;
    kept = next;
    if (changed_)
        changed_(station, next);
}

} // namespace korvel
