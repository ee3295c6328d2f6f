#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

struct SystemEntry;

// The rows of the station view: the stations of one system with their last states. The
// rows are a copy, so they outlive a system deleted while it is on show.
class StationListModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { StationColumn, StatusColumn, WatchersColumn, ColumnCount };
    // The station's state as a number (-1 not yet reported), for sorting and filtering.
    static constexpr int StateRole = Qt::UserRole + 1;

    // How many SIP subscriptions watch a station, by its number in the table.
    using WatcherCount = std::function<std::size_t(const std::string& station)>;

    // Stations per state, by StationImageIndex: idle, busy, DND, message,
    // unknown, out of service.
    using Counts = std::array<int, 6>;

    explicit StationListModel(QObject* parent = nullptr);

    // Shows the stations of `entry`. Stations are only ever appended to a
    // living system, so for the system already on show the new rows are
    // inserted and changed states announced, without a reset.
    void rebuild(const SystemEntry& entry);
    void clear();
    // Where the watchers come from; none (SIP off) leaves the column blank.
    void setWatcherCount(WatcherCount count);
    // Reads the watchers of the rows again and announces those that changed.
    void refreshWatchers();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    const QString& station(int row) const { return rows_[static_cast<std::size_t>(row)].station; }
    std::int32_t state(int row) const { return rows_[static_cast<std::size_t>(row)].state; }
    const Counts& counts() const { return counts_; }
    // The system on show: its name and address, empty when none is.
    const QString& systemName() const { return systemName_; }
    const QString& systemAddress() const { return systemAddress_; }

signals:
    // The per-state counts or the system on show changed.
    void summaryChanged();

private:
    struct Row {
        QString station;
        std::string key; // the number as the table and the SIP layer hold it
        std::int32_t state = -1;
        std::size_t watchers = 0;
    };
    void recount();

    std::optional<std::uint64_t> shownSystem_;
    QString systemName_;
    QString systemAddress_;
    std::vector<Row> rows_;
    Counts counts_ {};
    std::array<QIcon, 6> images_;
    WatcherCount watcherCount_;
};

} // namespace korvel
