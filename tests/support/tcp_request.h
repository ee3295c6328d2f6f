#pragma once

#include "protocol/wire_format.h"
#include "support/event_loop.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace korvel::testing {

// One request on its own connection, as PBX systems send them, from a local
// address of its own. Returns once the answer is as long as its Length field
// says (it may come in several segments) or the other end has closed the
// connection (a refused stranger ends it at once), or with what came before
// the time-out.
inline std::vector<std::uint8_t> TcpRequest(
    const std::string& from, int port, const std::vector<std::uint8_t>& request, int timeoutMs = 3000)
{
    QDeadlineTimer deadline(timeoutMs);
    const auto remaining = [&] { return static_cast<int>(deadline.remainingTime()); };
    QTcpSocket socket;
    std::vector<std::uint8_t> answer;
    const auto take = [&] {
        const QByteArray bytes = socket.readAll();
        answer.insert(answer.end(), bytes.begin(), bytes.end());
    };
    QObject::connect(&socket, &QTcpSocket::readyRead, take);
    const auto whole = [&] {
        return answer.size() >= wire::kLengthOffset + 2
            && answer.size() >= std::max<std::size_t>(ReadU16(answer, wire::kLengthOffset), wire::kLengthOffset + 2);
    };

    socket.bind(QHostAddress(QString::fromStdString(from)));
    socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    SpinUntil(
        [&] {
            return socket.state() == QAbstractSocket::ConnectedState
                || socket.state() == QAbstractSocket::UnconnectedState;
        },
        remaining());
    if (socket.state() == QAbstractSocket::ConnectedState) {
        socket.write(reinterpret_cast<const char*>(request.data()), static_cast<qint64>(request.size()));
        SpinUntil([&] { return whole() || socket.state() != QAbstractSocket::ConnectedState; }, remaining());
        // Whatever else has come with it, such as a second answer.
        QCoreApplication::processEvents();
    }
    take();
    return answer;
}

} // namespace korvel::testing
