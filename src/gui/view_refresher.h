#pragma once

#include "gui/system_selection.h"
#include "store/system_table.h"

#include <QObject>

namespace korvel {

class StationListModel;
class SystemListModel;

// The table's view observer. The table asks for a rebuild after every change,
// up to once per station of a status report; this remembers that a rebuild is
// due and performs it once, on the next turn of the event loop, from the
// table's state at that moment.
class ViewRefresher : public QObject, public SystemViewObserver {
    Q_OBJECT

public:
    ViewRefresher(SystemTable& table, SystemListModel& systems, StationListModel& stations, QObject* parent = nullptr);

    void refreshSystemList() override;
    void fillStationView(const SystemEntry& entry) override;
    void clearStationView() override;

    // Performs whatever rebuild is due now.
    void flush();

    // The operator's pick, whose stations the station view shows.
    SystemSelection& selection() { return selection_; }

private:
    enum class StationRequest { None, Fill, Clear };
    void schedule();

    SystemTable& table_;
    SystemListModel& systems_;
    StationListModel& stations_;
    bool systemsDue_ = false;
    StationRequest stationsDue_ = StationRequest::None;
    bool scheduled_ = false;
    SystemSelection selection_ { table_, *this };
};

} // namespace korvel
