#pragma once

#include "base/thread_check.h"
#include "store/system_table.h"

#include <QByteArray>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace korvel {

// What the web console knows of the table, kept current by the table's change
// notifications: one row per system with its JSON, the counts the metrics
// show, and what changed since the last push. Nothing here walks the table
// after the first fill; a request or a push costs what changed, not what is.
// Main thread only, like the table: its entry points check that.
class TableMirror : public SystemChangeObserver {
public:
    // Working, Error, No Data, Unknown: the four statuses a system shows.
    static constexpr std::size_t kStatusKinds = 4;
    // Removals held for the next takeChanges(); more become a reset.
    static constexpr std::size_t kMaxRemovalsHeld = 4096;
    static std::size_t StatusKind(SystemStatus status);

    // What changed since the last takeChanges().
    struct Changes {
        // Everything: the receiver should start again from systemsJson().
        bool reset = false;
        std::vector<QByteArray> systems; // JSON of each added or changed row
        std::vector<std::uint64_t> removed; // ids
        // Rows whose only change is LastHeard, as (id, LastHeard): a busy hub
        // hears every system each second, and a whole row each is too much.
        std::vector<std::pair<std::uint64_t, std::int64_t>> heard;
        // Station indices whose state changed, per watched system id.
        std::map<std::uint64_t, std::vector<std::uint32_t>> stations;
        bool empty() const { return !reset && systems.empty() && removed.empty() && heard.empty() && stations.empty(); }
    };

    explicit TableMirror(SystemTable& table);
    ~TableMirror() override;
    TableMirror(const TableMirror&) = delete;
    TableMirror& operator=(const TableMirror&) = delete;

    // Called after each change that a push should carry.
    void setChangeHandler(std::function<void()> handler) { changed_ = std::move(handler); }

    // "[row,row,...]" in list order; rebuilt only where rows changed.
    QByteArray systemsJson();
    std::size_t systemCount() const { return rows_.size(); }
    const std::array<std::size_t, kStatusKinds>& systemsByStatus() const { return byStatus_; }
    std::size_t stationCount() const { return stations_; }

    // The entry behind a system id (its list order), or null.
    const SystemEntry* entry(std::uint64_t id) const;
    // Station changes are collected only for systems somebody watches.
    void watch(std::uint64_t id);
    void unwatch(std::uint64_t id);

    Changes takeChanges();

    // SystemChangeObserver
    void systemAdded(const SystemEntry& entry) override;
    void systemChanged(const SystemEntry& entry) override;
    void systemHeard(const SystemEntry& entry) override;
    void systemRemoved(const SystemEntry& entry) override;
    void tableCleared() override;
    void stationChanged(const SystemEntry& entry, std::size_t index) override;
    void stationsReplaced(const SystemEntry& entry) override;

    static QByteArray RowJson(const SystemEntry& entry);

private:
    struct Row {
        const SystemEntry* entry = nullptr;
        std::size_t statusKind = 0;
        std::size_t stations = 0;
        QByteArray json;
        bool jsonDue = true;
        bool pushDue = false;
        bool heardDue = false;
        int watchers = 0;
        std::vector<std::uint32_t> changedStations;
        std::vector<bool> stationDue;
    };
    Row* row(const SystemEntry& entry);
    void touch(Row& row);
    void announce()
    {
        if (changed_)
            changed_();
    }

    SystemTable& table_;
    std::map<std::uint64_t, Row> rows_; // by list order, so iteration is list order
    std::array<std::size_t, kStatusKinds> byStatus_ {};
    std::size_t stations_ = 0;
    QByteArray listJson_;
    bool listDue_ = true;
    bool reset_ = false;
    std::vector<std::uint64_t> pushDue_;
    std::vector<std::uint64_t> removed_;
    std::vector<std::uint64_t> heardDue_;
    std::vector<std::uint64_t> stationsDue_;
    std::function<void()> changed_;
    ThreadCheck owner_ { "TableMirror" };
};

} // namespace korvel
