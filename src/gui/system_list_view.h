#pragma once

#include <QTreeView>

namespace korvel {

// The system list in report style, one row per system, with a
// hint in place of the rows while the table is empty.
class SystemListView : public QTreeView {
    Q_OBJECT

public:
    explicit SystemListView(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace korvel
