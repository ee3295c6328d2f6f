#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace korvel {

struct SystemEntry;

// The rows of lvStn: the stations of one system with their last states. The
// rows are a copy, so they outlive a system deleted while it is on show.
class StationListModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { StationColumn, StatusColumn, ColumnCount };

    explicit StationListModel(QObject* parent = nullptr);

    // Shows the stations of `entry`. Stations are only ever appended to a
    // living system, so for the system already on show the new rows are
    // inserted and changed states announced, without a reset.
    void rebuild(const SystemEntry& entry);
    void clear();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    struct Row {
        QString station;
        std::int32_t state = -1;
    };
    std::optional<std::uint64_t> shownSystem_;
    std::vector<Row> rows_;
    std::array<QIcon, 6> images_;
};

} // namespace korvel
