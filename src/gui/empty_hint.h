#pragma once

#include <QString>

class QAbstractItemView;

namespace korvel {

// Writes `text` across the middle of an empty view's viewport, in the
// palette's placeholder colour; does nothing while the view shows rows.
// Called from the view's paintEvent, after the view has painted.
void PaintEmptyHint(QAbstractItemView* view, const QString& text);

} // namespace korvel
