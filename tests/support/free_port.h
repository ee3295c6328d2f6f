#pragma once

#include <QDir>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QUdpSocket>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace korvel::testing {

// A base port for a hub whose TCP port and UDP ports +1, +3 and +4 are free
// right now. It lies below the ephemeral range, so outgoing connections never
// take it. The process keeps a lock on its choice until it exits, so test
// processes running side by side, from any checkout, never pick the same one
// between this check and their hub's bind. 0 when none is found.
inline int FreeBasePort()
{
    const QString folder = QDir::temp().filePath(QStringLiteral("korvel-test-ports"));
    QDir().mkpath(folder);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int base = 20000 + static_cast<int>(QRandomGenerator::global()->bounded(1276)) * 10;
        const QByteArray lockPath = QDir(folder).filePath(QString::number(base)).toLocal8Bit();
        const int lock = ::open(lockPath.constData(), O_CREAT | O_RDWR | O_CLOEXEC, 0666);
        if (lock < 0)
            continue;
        if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
            ::close(lock);
            continue;
        }
        QTcpServer tcp;
        QUdpSocket udp1, udp3, udp4;
        if (tcp.listen(QHostAddress::AnyIPv4, static_cast<quint16>(base))
            && udp1.bind(QHostAddress::AnyIPv4, static_cast<quint16>(base + 1))
            && udp3.bind(QHostAddress::AnyIPv4, static_cast<quint16>(base + 3))
            && udp4.bind(QHostAddress::AnyIPv4, static_cast<quint16>(base + 4)))
            return base; // the lock stays held for the life of the process
        ::close(lock);
    }
    return 0;
}

} // namespace korvel::testing
