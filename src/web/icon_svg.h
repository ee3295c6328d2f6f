#pragma once

#include <QByteArray>

namespace korvel {

inline constexpr int kSystemImageCount = 3;
inline constexpr int kStationImageCount = 6;

// The pictures the window and the web page both show, as SVG text, so the two
// cannot drift apart.
// The station images, by the index StationImageIndex gives: 0 idle, 1 busy,
// 2 do-not-disturb, 3 message waiting, 4 unknown, 5 out of service. Idle and
// busy differ in shape too (handset down, handset lifted), not only in colour.
QByteArray StationSvg(int index);
// The system list's images: 0 an exchange, 1 an exchange in trouble, 2 a
// silent endpoint (one that is never sent keep-alives).
QByteArray SystemSvg(int index);
// A system's liveness in the Status column, by SystemStatus (0 Working,
// 1 Error, 2 No Data, anything else Unknown): each its own shape and colour.
QByteArray SystemStatusSvg(int status);
// The picture of the tray icon, the window and the page.
QByteArray ApplicationSvg();

} // namespace korvel
