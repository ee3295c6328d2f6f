#include "station_filter_model.h"

#include "gui/station_list_model.h"
#include "store/status_names.h"

namespace korvel {

StationFilterModel::StationFilterModel(StationListModel* stations, QObject* parent)
    : QSortFilterProxyModel(parent)
    , stations_(stations)
{
    setSourceModel(stations);
    // A state change moves the row when sorted by state or filtered by it.
    setDynamicSortFilter(true);
}

void StationFilterModel::setNumberFilter(const QString& text)
{
    if (text == number_)
        return;
    number_ = text;
    invalidateFilter();
}

void StationFilterModel::setStateFilter(int imageIndex)
{
    if (imageIndex == state_)
        return;
    state_ = imageIndex;
    invalidateFilter();
}

bool StationFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex&) const
{
    if (state_ != kAnyState && StationImageIndex(stations_->state(sourceRow)) != state_)
        return false;
    return number_.isEmpty() || stations_->station(sourceRow).contains(number_, Qt::CaseInsensitive);
}

bool StationFilterModel::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    const int a = left.row();
    const int b = right.row();
    if (left.column() == StationListModel::StatusColumn) {
        const std::int32_t stateA = stations_->state(a);
        const std::int32_t stateB = stations_->state(b);
        if (stateA != stateB)
            return stateA < stateB;
        return a < b;
    }
    // Numbers of different lengths sort by value: 999 before 1000.
    const QString& numberA = stations_->station(a);
    const QString& numberB = stations_->station(b);
    bool numericA = false;
    bool numericB = false;
    const qulonglong valueA = numberA.toULongLong(&numericA);
    const qulonglong valueB = numberB.toULongLong(&numericB);
    if (numericA && numericB && valueA != valueB)
        return valueA < valueB;
    if (numericA != numericB)
        return numericA;
    const int order = numberA.compare(numberB, Qt::CaseInsensitive);
    return order != 0 ? order < 0 : a < b;
}

} // namespace korvel
