#pragma once

#include "web/icon_svg.h"

#include <QIcon>

namespace korvel {

// The system list's images: 0 an exchange, 1 an exchange in trouble, 2 a
// silent endpoint (one that is never sent keep-alives).
QIcon SystemImage(int index);
// The station images, by the index StationImageIndex gives: 0 idle, 1 busy,
// 2 do-not-disturb, 3 message waiting, 4 unknown, 5 out of service. Idle and
// busy differ in shape too (handset down, handset lifted), not only in colour.
QIcon StationImage(int index);
// A system's liveness in the Status column, by SystemStatus (0 Working,
// 1 Error, 2 No Data, anything else Unknown): each its own shape and colour.
QIcon SystemStatusImage(int status);
// The picture of the tray icon and the window.
QIcon ApplicationImage();

// An icon drawn from SVG text at whatever size and pixel ratio it is asked
// for, so it stays sharp on a high-resolution screen.
QIcon SvgIcon(const QByteArray& svg);

} // namespace korvel
