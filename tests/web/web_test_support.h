#pragma once

#include "integration/hub_harness.h"
#include "web/web_console.h"

#include <QSslCertificate>
#include <QSslSocket>
#include <QTcpSocket>

namespace korvel::testing {

struct HttpAnswer {
    int status = 0; // 0: the connection closed without an answer
    QByteArray head;
    QByteArray body;
    QSslCertificate certificate; // the server's, over TLS
};

// Sends `request` as it is and reads one answer (by its Content-Length);
// over TLS when `tls`, taking any certificate.
inline HttpAnswer HttpExchange(quint16 port, const QByteArray& request, int timeoutMs = 3000, bool tls = false)
{
    QSslSocket socket;
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    HttpAnswer answer;
    if (tls) {
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        // The server's loop does its half of the handshake: spin, not wait.
        if (!SpinUntil(
                [&] { return socket.isEncrypted() || socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs)
            || !socket.isEncrypted())
            return answer;
        answer.certificate = socket.peerCertificate();
    } else {
        socket.connectToHost(QHostAddress::LocalHost, port);
        // The kernel completes the handshake without the server's loop; an answer
        // may come and the connection close before this loop would see it open.
        if (!socket.waitForConnected(timeoutMs))
            return answer;
    }
    socket.write(request);
    QByteArray data;
    SpinUntil(
        [&] {
            data += socket.readAll();
            const qsizetype end = data.indexOf("\r\n\r\n");
            if (end < 0)
                return socket.state() != QAbstractSocket::ConnectedState;
            answer.head = data.left(end);
            const qsizetype at = answer.head.toLower().indexOf("content-length:");
            const qsizetype length = at < 0 ? 0 : answer.head.mid(at + 15).split('\r').first().trimmed().toLongLong();
            return data.size() >= end + 4 + length || socket.state() != QAbstractSocket::ConnectedState;
        },
        timeoutMs);
    if (answer.head.startsWith("HTTP/1.1 ")) {
        answer.status = answer.head.mid(9, 3).toInt();
        answer.body = data.mid(answer.head.size() + 4);
    }
    return answer;
}

inline HttpAnswer HttpGet(quint16 port, const QByteArray& path, const QByteArray& headers = {}, bool tls = false)
{
    return HttpExchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n", 3000, tls);
}

// A hub on free ports with its web console on a free port of 127.0.0.1.
class WebHarness : public HubHarness {
protected:
    void startWeb(WebOptions options = {})
    {
        startHub();
        web = std::make_unique<WebConsole>(*hub, options);
        const Result<QStringList> started = web->start();
        ASSERT_TRUE(started) << started.error();
    }
    void TearDown() override
    {
        web.reset();
        HubHarness::TearDown();
    }

    std::unique_ptr<WebConsole> web;
};

} // namespace korvel::testing
