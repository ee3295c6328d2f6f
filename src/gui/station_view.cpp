#include "station_view.h"

#include "gui/empty_hint.h"

#include <QHeaderView>
#include <QListView>
#include <QScrollBar>
#include <QTreeView>
#include <QWheelEvent>

namespace korvel {

// The icon styles. A wheel notch moves one row of icons (one column in the
// list style, which runs sideways), whatever the platform's line step.
class StationIconView : public QListView {
public:
    using QListView::QListView;

    QString hint;

    void layoutNow() { executeDelayedItemsLayout(); }

protected:
    void wheelEvent(QWheelEvent* event) override
    {
        const bool sideways = flow() == QListView::TopToBottom;
        QScrollBar* bar = sideways ? horizontalScrollBar() : verticalScrollBar();
        const int step = sideways ? gridSize().width() : gridSize().height();
        const QPoint angle = event->angleDelta();
        // Fine-grained wheels and touchpads send parts of a notch; they add up.
        pendingAngle_ += angle.y() != 0 ? angle.y() : angle.x();
        const int notches = pendingAngle_ / 120;
        pendingAngle_ -= notches * 120;
        if (notches != 0 && step > 0)
            bar->setValue(bar->value() - notches * step);
        event->accept();
    }

    void paintEvent(QPaintEvent* event) override
    {
        QListView::paintEvent(event);
        PaintEmptyHint(this, hint);
    }

private:
    int pendingAngle_ = 0;
};

class StationDetailView : public QTreeView {
public:
    using QTreeView::QTreeView;

    QString hint;

protected:
    void paintEvent(QPaintEvent* event) override
    {
        QTreeView::paintEvent(event);
        PaintEmptyHint(this, hint);
    }
};

StationView::StationView(QAbstractItemModel* model, QWidget* parent)
    : QStackedWidget(parent)
    , icons_(new StationIconView(this))
    , detail_(new StationDetailView(this))
{
    setObjectName(QStringLiteral("StationView"));
    icons_->setObjectName(QStringLiteral("StationIcons"));
    detail_->setObjectName(QStringLiteral("StationDetail"));

    for (QAbstractItemView* view :
        { static_cast<QAbstractItemView*>(icons_), static_cast<QAbstractItemView*>(detail_) }) {
        view->setEditTriggers(QAbstractItemView::NoEditTriggers);
        view->setSelectionMode(QAbstractItemView::SingleSelection);
        view->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
        view->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
        // The popup menu belongs to the whole station view.
        view->setContextMenuPolicy(Qt::NoContextMenu);
    }
    icons_->setModel(model);
    detail_->setModel(model);
    // One selection for both, so the station picked stays picked across styles.
    QItemSelectionModel* unused = detail_->selectionModel();
    detail_->setSelectionModel(icons_->selectionModel());
    delete unused;

    icons_->setModelColumn(0);
    icons_->setUniformItemSizes(true);
    // Uniform items lay out in one quick pass, so a style change can scroll
    // to a station at once.
    icons_->setLayoutMode(QListView::SinglePass);

    detail_->setRootIsDecorated(false);
    detail_->setUniformRowHeights(true);
    detail_->setItemsExpandable(false);
    detail_->setIconSize(QSize(16, 16));
    // Unsorted (the table's order) until the operator clicks a heading.
    detail_->header()->setSortIndicator(-1, Qt::AscendingOrder);
    detail_->setSortingEnabled(true);
    detail_->header()->setSectionsClickable(true);
    detail_->header()->setStretchLastSection(false);
    detail_->header()->resizeSection(0, 140);
    detail_->header()->resizeSection(1, 120);
    // Shown only while the hub serves SIP.
    detail_->header()->resizeSection(2, 90);
    detail_->setColumnHidden(2, true);

    addWidget(icons_);
    addWidget(detail_);
    setStyle(Style::LargeIcons);
}

QListView* StationView::iconView() const
{
    return icons_;
}

QTreeView* StationView::detailView() const
{
    return detail_;
}

void StationView::setEmptyHint(const QString& text)
{
    icons_->hint = text;
    detail_->hint = text;
    icons_->viewport()->update();
    detail_->viewport()->update();
}

QModelIndex StationView::firstVisible() const
{
    if (style_ == Style::Detail)
        return detail_->indexAt(QPoint(1, 1));
    const QSize cell = icons_->gridSize();
    return icons_->indexAt(QPoint(cell.width() / 2, cell.height() / 2));
}

void StationView::setStyle(Style style)
{
    const QModelIndex top = firstVisible();
    const bool changed = style != style_;
    style_ = style;
    switch (style) {
    case Style::LargeIcons:
        icons_->setViewMode(QListView::IconMode);
        icons_->setFlow(QListView::LeftToRight);
        icons_->setIconSize(QSize(32, 32));
        icons_->setGridSize(QSize(76, 58));
        icons_->setWordWrap(true);
        setCurrentWidget(icons_);
        break;
    case Style::SmallIcons:
        icons_->setViewMode(QListView::ListMode);
        icons_->setFlow(QListView::LeftToRight);
        icons_->setIconSize(QSize(16, 16));
        icons_->setGridSize(QSize(110, 20));
        setCurrentWidget(icons_);
        break;
    case Style::List:
        icons_->setViewMode(QListView::ListMode);
        icons_->setFlow(QListView::TopToBottom);
        icons_->setIconSize(QSize(16, 16));
        icons_->setGridSize(QSize(110, 20));
        setCurrentWidget(icons_);
        break;
    case Style::Detail:
        setCurrentWidget(detail_);
        break;
    }
    // Changing the mode brings back its own defaults for these; Adjust
    // re-arranges the icons whenever the view is resized.
    icons_->setWrapping(true);
    icons_->setMovement(QListView::Static);
    icons_->setResizeMode(QListView::Adjust);
    icons_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    icons_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);

    if (top.isValid()) {
        // The stack sizes only the widget on show, and only on its next layout
        // pass; scrolling needs the size now.
        currentWidget()->setGeometry(contentsRect());
        if (style == Style::Detail) {
            detail_->scrollTo(top, QAbstractItemView::PositionAtTop);
        } else {
            icons_->layoutNow();
            icons_->scrollTo(top, QAbstractItemView::PositionAtTop);
        }
    }
    if (changed)
        emit styleChanged(style);
}

} // namespace korvel
