#include "system_selection.h"

namespace korvel {

SystemSelection::SystemSelection(SystemTable& table, SystemViewObserver& view)
    : table_(table)
    , view_(view)
{
    table_.addChangeObserver(this);
}

SystemSelection::~SystemSelection()
{
    table_.removeChangeObserver(this);
}

void SystemSelection::select(const std::string& ip)
{
    if (const SystemEntry* entry = table_.findSystem(ip)) {
        view_.fillStationView(*entry);
        selected_ = entry;
    }
}

void SystemSelection::stationChanged(const SystemEntry& entry, std::size_t)
{
    if (&entry == selected_)
        view_.fillStationView(entry);
}

void SystemSelection::systemRemoved(const SystemEntry& entry)
{
    if (&entry == selected_)
        selected_ = nullptr;
}

} // namespace korvel
