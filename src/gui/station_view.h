#pragma once

#include <QStackedWidget>

class QAbstractItemModel;
class QListView;
class QTreeView;

namespace korvel {

class StationDetailView;
class StationIconView;

// The station view: one model shown in one of four styles. The three icon styles share a
// list view; the detail style is a table with the two columns. Changing the
// style keeps the station at the top of the view in sight.
class StationView : public QStackedWidget {
    Q_OBJECT

public:
    enum class Style { LargeIcons, SmallIcons, List, Detail };

    explicit StationView(QAbstractItemModel* model, QWidget* parent = nullptr);

    void setStyle(Style style);
    Style style() const { return style_; }

    QListView* iconView() const;
    QTreeView* detailView() const;
    // The text shown while there are no rows.
    void setEmptyHint(const QString& text);
    // The first row in sight in the current style, or an invalid index.
    QModelIndex firstVisible() const;

signals:
    void styleChanged(korvel::StationView::Style style);

private:
    Style style_ = Style::LargeIcons;
    StationIconView* icons_;
    StationDetailView* detail_;
};

} // namespace korvel
