#pragma once

#include "store/system_table.h"

#include <string>

namespace korvel {

// The system the operator picked in the window's list. Its stations fill the
// station view, again whenever one of them changes, and it is forgotten when
// its entry leaves the table. The table knows nothing of it.
class SystemSelection : public SystemChangeObserver {
public:
    SystemSelection(SystemTable& table, SystemViewObserver& view);
    ~SystemSelection() override;
    SystemSelection(const SystemSelection&) = delete;
    SystemSelection& operator=(const SystemSelection&) = delete;

    // Picks the first entry with this address; an address not in the table changes nothing.
    void select(const std::string& ip);
    const SystemEntry* selected() const { return selected_; }

    void systemChanged(const SystemEntry&) override { }
    void stationChanged(const SystemEntry& entry, std::size_t index) override;
    void systemRemoved(const SystemEntry& entry) override;
    void tableCleared() override { selected_ = nullptr; }

private:
    SystemTable& table_;
    SystemViewObserver& view_;
    const SystemEntry* selected_ = nullptr;
};

} // namespace korvel
