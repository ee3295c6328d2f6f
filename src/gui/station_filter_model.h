#pragma once

#include <QSortFilterProxyModel>

namespace korvel {

class StationListModel;

// The station view's rows as the operator narrows and orders them: stations whose
// number contains a text, in one state, sorted by number (numerically) or
// by state. With no filter and no sort the rows keep the table's order.
class StationFilterModel : public QSortFilterProxyModel {
    Q_OBJECT

public:
    // A state to show alone, by StationImageIndex; kAnyState shows them all.
    static constexpr int kAnyState = -1;

    explicit StationFilterModel(StationListModel* stations, QObject* parent = nullptr);

    void setNumberFilter(const QString& text);
    void setStateFilter(int imageIndex);
    bool filtering() const { return !number_.isEmpty() || state_ != kAnyState; }

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    StationListModel* stations_;
    QString number_;
    int state_ = kAnyState;
};

} // namespace korvel
