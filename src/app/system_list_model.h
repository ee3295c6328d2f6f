#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

namespace korvel {

class SystemTable;

// The rows of lvClient: a copy of what the table showed at the last rebuild,
// so the view never reads the table while it changes.
class SystemListModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { NameColumn, IpAddressColumn, StatusColumn, TypeColumn, ToIpColumn, PortColumn, ColumnCount };

    explicit SystemListModel(QObject* parent = nullptr);

    // Takes the table's current contents. When the same systems are listed in
    // the same order only the changed cells are announced, so a flood of
    // status reports neither resets the view nor drops its highlighted row.
    void rebuild(const SystemTable& table);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The "IP Address" text of a row; what selecting the row selects.
    QString ipAddress(int row) const;

private:
    struct Row {
        std::uint64_t order = 0;
        std::array<QString, ColumnCount> cells;
        int image = 0;
        bool operator==(const Row&) const = default;
    };
    std::vector<Row> rows_;
    std::array<QIcon, 3> images_;
};

} // namespace korvel
