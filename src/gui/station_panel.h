#pragma once

#include <QWidget>

class QComboBox;
class QFontMetrics;
class QLabel;
class QLineEdit;
class QSettings;

namespace korvel {

class StationFilterModel;
class StationListModel;
class StationView;

// What the "Station List" box holds: a line naming the system on show with
// its stations counted per state, a filter by number and by state, and the
// station view itself.
// `first`, then `rest`, in `width` pixels: too little room takes from `rest`
// first, and only then from `first` (the system name before its counts).
QString ElideAfter(const QFontMetrics& metrics, const QString& first, const QString& rest, int width);

class StationPanel : public QWidget {
    Q_OBJECT

public:
    explicit StationPanel(StationListModel* stations, QWidget* parent = nullptr);

    StationView* view() const { return view_; }
    StationFilterModel* filterModel() const { return filter_; }
    QLabel* header() const { return header_; }
    QLabel* counts() const { return counts_; }
    QLineEdit* numberFilter() const { return number_; }
    QComboBox* stateFilter() const { return state_; }

    void saveState(QSettings& settings, const QString& prefix) const;
    void restoreState(QSettings& settings, const QString& prefix);

private:
    void showSummary();

    StationListModel* stations_;
    StationFilterModel* filter_;
    QLabel* header_;
    QLabel* counts_;
    QLineEdit* number_;
    QComboBox* state_;
    StationView* view_;
};

} // namespace korvel
