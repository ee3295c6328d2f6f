#include "system_table.h"

namespace korvel {

void SystemTable::LoadSystems()
{
    clearEntries();
    RefreshSystemList();
    if (observer_)
        observer_->ClearStationView();
}

void SystemTable::SaveSystems() const {}
void SystemTable::SaveStations(const SystemEntry&) const {}
void SystemTable::LoadStations(SystemEntry&) {}

} // namespace korvel
