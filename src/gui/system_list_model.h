#pragma once

#include "store/status_names.h"

#include <QAbstractTableModel>
#include <QDateTime>
#include <QHash>
#include <QIcon>
#include <QString>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace korvel {

class SystemTable;

// The rows of the system list: a copy of what the table showed at the last rebuild,
// so the view never reads the table while it changes.
class SystemListModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { NameColumn, IpAddressColumn, StatusColumn, TypeColumn, ToIpColumn, PortColumn, ColumnCount };
    // What the window's proxy sorts by (per column) and searches (the name, or
    // System ID, and the address, on every column).
    enum Role { SortRole = Qt::UserRole + 1, SearchRole };

    explicit SystemListModel(QObject* parent = nullptr);

    // Takes the table's current contents. When the same systems are listed in
    // the same order only the changed cells are announced, so a flood of
    // status reports neither resets the view nor drops its highlighted row.
    void rebuild(const SystemTable& table);
    // Remembers that a send to `host` failed at `when`, for the Status tooltip.
    void noteSendFailure(const QString& host, const QDateTime& when);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The "IP Address" text of a row; what selecting the row selects.
    QString ipAddress(int row) const;
    // The row of the system with this list order, or -1.
    int rowOf(std::uint64_t order) const;

private:
    struct Row {
        std::uint64_t order = 0;
        std::string name;
        std::string ip;
        std::string toIp;
        SystemStatus status = SystemStatus::Working;
        std::int32_t type = 0;
        std::int32_t port = 0;
        std::int64_t lastHeard = 0;
        int image = 0;
        bool operator==(const Row&) const = default;
    };
    QString statusTip(const Row& row) const;

    std::vector<Row> rows_;
    // The texts shown, decoded once per change of the row.
    std::vector<std::array<QString, ColumnCount>> cells_;
    QHash<QString, QDateTime> sendFailures_;
    std::array<QIcon, 3> images_;
    std::array<QIcon, 4> statusImages_;
};

} // namespace korvel
