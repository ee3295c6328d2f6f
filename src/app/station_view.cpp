#include "station_view.h"

#include <QHeaderView>
#include <QListView>
#include <QTreeView>

namespace korvel {

StationView::StationView(QAbstractItemModel* model, QWidget* parent)
    : QStackedWidget(parent)
    , icons_(new QListView(this))
    , detail_(new QTreeView(this))
{
    setObjectName(QStringLiteral("lvStn"));
    icons_->setObjectName(QStringLiteral("lvStnIcons"));
    detail_->setObjectName(QStringLiteral("lvStnDetail"));

    for (QAbstractItemView* view :
        { static_cast<QAbstractItemView*>(icons_), static_cast<QAbstractItemView*>(detail_) }) {
        view->setModel(model);
        view->setEditTriggers(QAbstractItemView::NoEditTriggers);
        view->setSelectionMode(QAbstractItemView::SingleSelection);
        // The popup menu belongs to the whole station view.
        view->setContextMenuPolicy(Qt::NoContextMenu);
    }
    icons_->setModelColumn(0);
    icons_->setUniformItemSizes(true);
    icons_->setLayoutMode(QListView::Batched);
    icons_->setBatchSize(500);

    detail_->setRootIsDecorated(false);
    detail_->setUniformRowHeights(true);
    detail_->setItemsExpandable(false);
    detail_->setIconSize(QSize(16, 16));
    detail_->header()->setStretchLastSection(false);
    detail_->header()->resizeSection(0, 140);
    detail_->header()->resizeSection(1, 120);

    addWidget(icons_);
    addWidget(detail_);
    setStyle(Style::LargeIcons);
}

void StationView::setStyle(Style style)
{
    style_ = style;
    switch (style) {
    case Style::LargeIcons:
        icons_->setViewMode(QListView::IconMode);
        icons_->setFlow(QListView::LeftToRight);
        icons_->setWrapping(true);
        icons_->setIconSize(QSize(32, 32));
        icons_->setGridSize(QSize(76, 58));
        icons_->setWordWrap(true);
        setCurrentWidget(icons_);
        break;
    case Style::SmallIcons:
        icons_->setViewMode(QListView::ListMode);
        icons_->setFlow(QListView::LeftToRight);
        icons_->setWrapping(true);
        icons_->setIconSize(QSize(16, 16));
        icons_->setGridSize(QSize(110, 20));
        setCurrentWidget(icons_);
        break;
    case Style::List:
        icons_->setViewMode(QListView::ListMode);
        icons_->setFlow(QListView::TopToBottom);
        icons_->setWrapping(true);
        icons_->setIconSize(QSize(16, 16));
        icons_->setGridSize(QSize(110, 20));
        setCurrentWidget(icons_);
        break;
    case Style::Detail:
        setCurrentWidget(detail_);
        break;
    }
    // Changing the mode may bring back its own defaults for these; Adjust
    // re-arranges the icons whenever the view is resized.
    icons_->setMovement(QListView::Static);
    icons_->setResizeMode(QListView::Adjust);
}

} // namespace korvel
