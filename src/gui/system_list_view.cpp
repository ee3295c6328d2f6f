#include "system_list_view.h"

#include "gui/empty_hint.h"

#include <QHeaderView>

namespace korvel {

SystemListView::SystemListView(QWidget* parent)
    : QTreeView(parent)
{
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setIconSize(QSize(16, 16));
    setFrameShape(QFrame::StyledPanel);
    setLineWidth(2);
    header()->setStretchLastSection(false);
}

void SystemListView::paintEvent(QPaintEvent* event)
{
    QTreeView::paintEvent(event);
    PaintEmptyHint(this,
        tr("No systems yet.\nA system appears here when it sends its first packet;\n"
           "right-click to add one by its address."));
}

} // namespace korvel
