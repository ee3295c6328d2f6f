#include "station_list_model.h"

#include "gui/icons.h"
#include "gui/qt_text.h"
#include "store/system_table.h"

namespace korvel {

StationListModel::StationListModel(QObject* parent)
    : QAbstractTableModel(parent)
{
    for (int i = 0; i < kStationImageCount; ++i)
        images_[static_cast<std::size_t>(i)] = StationImage(i);
}

void StationListModel::rebuild(const SystemEntry& entry)
{
    const std::size_t count = entry.Stations.size();
    auto stateOf = [&entry](std::size_t i) { return i < entry.StationStates.size() ? entry.StationStates[i] : -1; };

    const QString name = DisplayText(entry.Name);
    const QString address = DisplayText(entry.IpAddress);
    const bool renamed = name != systemName_ || address != systemAddress_;
    systemName_ = name;
    systemAddress_ = address;
    if (shownSystem_ != entry.listOrder() || count < rows_.size()) {
        beginResetModel();
        shownSystem_ = entry.listOrder();
        rows_.clear();
        rows_.reserve(count);
        for (std::size_t i = 0; i < count; ++i)
            rows_.push_back({ DisplayText(entry.Stations[i]), stateOf(i) });
        endResetModel();
        recount();
        emit summaryChanged();
        return;
    }

    int first = -1;
    int last = -1;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].state == stateOf(i))
            continue;
        rows_[i].state = stateOf(i);
        if (first < 0)
            first = static_cast<int>(i);
        last = static_cast<int>(i);
    }
    if (first >= 0)
        emit dataChanged(index(first, 0), index(last, ColumnCount - 1));

    if (count > rows_.size()) {
        beginInsertRows(QModelIndex(), static_cast<int>(rows_.size()), static_cast<int>(count) - 1);
        for (std::size_t i = rows_.size(); i < count; ++i)
            rows_.push_back({ DisplayText(entry.Stations[i]), stateOf(i) });
        endInsertRows();
    }
    const Counts before = counts_;
    recount();
    if (renamed || counts_ != before)
        emit summaryChanged();
}

void StationListModel::recount()
{
    counts_.fill(0);
    for (const Row& row : rows_)
        ++counts_[static_cast<std::size_t>(StationImageIndex(row.state))];
}

void StationListModel::clear()
{
    beginResetModel();
    shownSystem_.reset();
    systemName_.clear();
    systemAddress_.clear();
    rows_.clear();
    endResetModel();
    counts_.fill(0);
    emit summaryChanged();
}

int StationListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int StationListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant StationListModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row& row = rows_[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return index.column() == StationColumn ? row.station : QString::fromLatin1(StationStatusName(row.state));
    case Qt::DecorationRole:
        if (index.column() == StationColumn)
            return images_[static_cast<std::size_t>(StationImageIndex(row.state))];
        return {};
    case StateRole:
        return row.state;
    default:
        return {};
    }
}

QVariant StationListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case StationColumn:
        return QStringLiteral("Station Number");
    case StatusColumn:
        return QStringLiteral("Status");
    default:
        return {};
    }
}

} // namespace korvel
