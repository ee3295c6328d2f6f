#include "empty_hint.h"

#include <QAbstractItemView>
#include <QPainter>

namespace korvel {

void PaintEmptyHint(QAbstractItemView* view, const QString& text)
{
    if (text.isEmpty() || !view->model() || view->model()->rowCount(view->rootIndex()) > 0)
        return;
    QPainter painter(view->viewport());
    painter.setPen(view->palette().color(QPalette::PlaceholderText));
    const QRect room = view->viewport()->rect().adjusted(12, 12, -12, -12);
    painter.drawText(room, Qt::AlignCenter | Qt::TextWordWrap, text);
}

} // namespace korvel
