#include "view_refresher.h"

#include "gui/station_list_model.h"
#include "gui/system_list_model.h"

namespace korvel {

ViewRefresher::ViewRefresher(SystemTable& table, SystemListModel& systems, StationListModel& stations, QObject* parent)
    : QObject(parent)
    , table_(table)
    , systems_(systems)
    , stations_(stations)
{
}

void ViewRefresher::refreshSystemList()
{
    systemsDue_ = true;
    schedule();
}

// The entry is not kept: a fill is only ever asked for the selected system (or
// the one being selected), so the flush reads it from the selection.
void ViewRefresher::fillStationView(const SystemEntry&)
{
    stationsDue_ = StationRequest::Fill;
    schedule();
}

void ViewRefresher::clearStationView()
{
    stationsDue_ = StationRequest::Clear;
    schedule();
}

void ViewRefresher::schedule()
{
    if (scheduled_)
        return;
    scheduled_ = true;
    QMetaObject::invokeMethod(this, &ViewRefresher::flush, Qt::QueuedConnection);
}

void ViewRefresher::flush()
{
    scheduled_ = false;
    if (systemsDue_) {
        systemsDue_ = false;
        systems_.rebuild(table_);
    }
    const StationRequest stations = stationsDue_;
    stationsDue_ = StationRequest::None;
    switch (stations) {
    case StationRequest::Fill:
        // With no selection left the system was deleted in the same turn; the
        // view keeps the rows it has, as it does after any delete.
        if (const SystemEntry* selected = selection_.selected())
            stations_.rebuild(*selected);
        break;
    case StationRequest::Clear:
        stations_.clear();
        break;
    case StationRequest::None:
        break;
    }
}

} // namespace korvel
