#pragma once

#include <QIcon>

namespace korvel {

inline constexpr int kSystemImageCount = 3;
inline constexpr int kStationImageCount = 6;

// The system list's images: 0 an exchange, 1 an exchange in trouble, 2 a
// silent endpoint (one that is never sent keep-alives).
QIcon SystemImage(int index);
// The station images, by the index StationImageIndex gives: 0 idle, 1 busy,
// 2 do-not-disturb, 3 message waiting, 4 unknown, 5 out of service. Each icon
// holds a 32 and a 16 pixel picture. Painted on each call: callers keep them.
QIcon StationImage(int index);
// The picture of the tray icon and the window.
QIcon ApplicationImage();

} // namespace korvel
