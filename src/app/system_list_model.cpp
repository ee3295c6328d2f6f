#include "system_list_model.h"

#include "app/icons.h"
#include "app/qt_text.h"
#include "store/system_table.h"

#include <algorithm>

namespace korvel {

SystemListModel::SystemListModel(QObject* parent)
    : QAbstractTableModel(parent)
{
    for (int i = 0; i < kSystemImageCount; ++i)
        images_[static_cast<std::size_t>(i)] = SystemImage(i);
}

void SystemListModel::rebuild(const SystemTable& table)
{
    std::vector<Row> fresh;
    fresh.reserve(table.size());
    for (const SystemEntry& entry : table.Systems()) {
        Row row;
        row.order = entry.listOrder();
        row.cells[NameColumn] = ToQString(entry.Name);
        row.cells[IpAddressColumn] = ToQString(entry.IpAddress);
        row.cells[StatusColumn] = QString::fromLatin1(SystemStatusName(entry.Status));
        row.cells[TypeColumn] = entry.Type == kTypeQvx ? QStringLiteral("QVX") : QStringLiteral("Velka");
        row.cells[ToIpColumn] = ToQString(entry.ToIp);
        row.cells[PortColumn] = QString::number(entry.Port);
        row.image = entry.EndpointType == kSilentEndpointType ? 2 : 0;
        fresh.push_back(std::move(row));
    }

    const bool sameRows = fresh.size() == rows_.size()
        && std::equal(
            fresh.begin(), fresh.end(), rows_.begin(), [](const Row& a, const Row& b) { return a.order == b.order; });
    if (!sameRows) {
        beginResetModel();
        rows_ = std::move(fresh);
        endResetModel();
        return;
    }
    int first = -1;
    int last = -1;
    for (std::size_t i = 0; i < fresh.size(); ++i) {
        if (fresh[i] == rows_[i])
            continue;
        if (first < 0)
            first = static_cast<int>(i);
        last = static_cast<int>(i);
    }
    rows_ = std::move(fresh);
    if (first >= 0)
        emit dataChanged(index(first, 0), index(last, ColumnCount - 1));
}

int SystemListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int SystemListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant SystemListModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row& row = rows_[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return row.cells[static_cast<std::size_t>(index.column())];
    case Qt::DecorationRole:
        if (index.column() == NameColumn)
            return images_[static_cast<std::size_t>(row.image)];
        return {};
    default:
        return {};
    }
}

QVariant SystemListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case NameColumn:
        return QStringLiteral("Name");
    case IpAddressColumn:
        return QStringLiteral("IP Address");
    case StatusColumn:
        return QStringLiteral("Status");
    case TypeColumn:
        return QStringLiteral("Type");
    case ToIpColumn:
        return QStringLiteral("To IP");
    case PortColumn:
        return QStringLiteral("Port");
    default:
        return {};
    }
}

QString SystemListModel::ipAddress(int row) const
{
    if (row < 0 || row >= static_cast<int>(rows_.size()))
        return {};
    return rows_[static_cast<std::size_t>(row)].cells[IpAddressColumn];
}

} // namespace korvel
