#pragma once

#include "sip/lamp.h"
#include "store/system_table.h"

#include <functional>
#include <string>
#include <unordered_map>

namespace korvel {

// The lamp of every station any exchange has reported, kept current by the
// table's change notifications: the latest report wins, whichever exchange
// made it, and a station never reported is off. Main thread only.
class StationBoard : public SystemChangeObserver {
public:
    using Changed = std::function<void(const std::string& station, StationLamp lamp)>;

    // The stations of the system at `ignored` (the SIP extensions' own) are left out.
    StationBoard(SystemTable& table, Changed changed, std::string ignored = {});
    ~StationBoard() override;
    StationBoard(const StationBoard&) = delete;
    StationBoard& operator=(const StationBoard&) = delete;

    StationLamp lamp(const std::string& station) const;
    std::size_t size() const { return lamps_.size(); }

    void systemChanged(const SystemEntry&) override { }
    void stationChanged(const SystemEntry& entry, std::size_t index) override;

private:
    SystemTable& table_;
    Changed changed_;
    std::string ignored_;
    std::unordered_map<std::string, StationLamp> lamps_;
};

} // namespace korvel
