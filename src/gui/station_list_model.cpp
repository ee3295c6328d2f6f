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
    auto newRow = [&](std::size_t i) {
        std::string key(entry.Stations[i]);
        const std::size_t watchers = watcherCount_ ? watcherCount_(key) : 0;
        return Row { DisplayText(entry.Stations[i]), std::move(key), stateOf(i), watchers };
    };

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
            rows_.push_back(newRow(i));
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
            rows_.push_back(newRow(i));
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

void StationListModel::setWatcherCount(WatcherCount count)
{
    watcherCount_ = std::move(count);
    for (Row& row : rows_)
        row.watchers = watcherCount_ ? watcherCount_(row.key) : 0;
    if (!rows_.empty())
        emit dataChanged(index(0, StationColumn), index(rowCount() - 1, WatchersColumn));
}

void StationListModel::refreshWatchers()
{
    if (!watcherCount_)
        return;
    int first = -1;
    int last = -1;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const std::size_t watchers = watcherCount_(rows_[i].key);
        if (watchers == rows_[i].watchers)
            continue;
        rows_[i].watchers = watchers;
        if (first < 0)
            first = static_cast<int>(i);
        last = static_cast<int>(i);
    }
    if (first >= 0)
        emit dataChanged(index(first, StationColumn), index(last, WatchersColumn));
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
        switch (index.column()) {
        case StationColumn:
            return row.station;
        case StatusColumn:
            return QString::fromLatin1(StationStatusName(row.state));
        default:
            return watcherCount_ ? QVariant(static_cast<qulonglong>(row.watchers)) : QVariant();
        }
    case Qt::ToolTipRole:
        // The icon styles show no columns: the tip tells the watchers there.
        if (!watcherCount_)
            return {};
        return row.watchers == 1 ? QStringLiteral("%1: 1 SIP watcher").arg(row.station)
                                 : QStringLiteral("%1: %2 SIP watchers").arg(row.station).arg(row.watchers);
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
    case WatchersColumn:
        return QStringLiteral("SIP Watchers");
    default:
        return {};
    }
}

} // namespace korvel
