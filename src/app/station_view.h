#pragma once

#include <QStackedWidget>

class QAbstractItemModel;
class QListView;
class QTreeView;

namespace korvel {

// lvStn: one model shown in one of four styles. The three icon styles share a
// list view; the detail style is a table with the two columns.
class StationView : public QStackedWidget {
    Q_OBJECT

public:
    enum class Style { LargeIcons, SmallIcons, List, Detail };

    explicit StationView(QAbstractItemModel* model, QWidget* parent = nullptr);

    void setStyle(Style style);
    Style style() const { return style_; }

    QListView* iconView() const { return icons_; }
    QTreeView* detailView() const { return detail_; }

private:
    Style style_ = Style::LargeIcons;
    QListView* icons_;
    QTreeView* detail_;
};

} // namespace korvel
