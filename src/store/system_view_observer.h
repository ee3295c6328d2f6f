#pragma once

namespace korvel {

struct SystemEntry;

// What the window shows of the table. The table calls it exactly where the
// views are to be rebuilt; the window (gui/view_refresher.h) implements it
// and coalesces the rebuilds.
class SystemViewObserver {
public:
    virtual ~SystemViewObserver() = default;
    virtual void refreshSystemList() = 0;
    virtual void fillStationView(const SystemEntry& entry) = 0;
    virtual void clearStationView() = 0;
};

} // namespace korvel
