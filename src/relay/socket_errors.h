#pragma once

#include <QAbstractSocket>

namespace korvel {

// The operating system's error number behind a socket error (ECONNREFUSED,
// 111, for a refused connection), which is what an operator can look up;
// Qt's own enumeration means nothing outside Qt.
int SocketErrorNumber(QAbstractSocket::SocketError error);

} // namespace korvel
