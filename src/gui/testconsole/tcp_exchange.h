#pragma once

#include "log/console_log.h"
#include "protocol/wire_format.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

class QTcpSocket;

namespace korvel {

// One request of the test console over TCP: connect, one send, and either
// close at once or wait for the one answer. Everything is driven by the
// socket's signals, so the window and the relay go on meanwhile; asking the
// hub's own TCP port works because the hub answers on the same event loop.
// A refusal, a failed look-up or the time-out is logged as a TCPError line;
// the object deletes itself once the exchange is over.
class TcpExchange : public QObject {
    Q_OBJECT

public:
    // `timeoutMs` covers the whole exchange, look-up and connect included.
    // A failure is traced in `console`.
    TcpExchange(ConsoleLog& console, Bytes request, bool readAnswer, int timeoutMs, QObject* parent);

    // A host name is looked up by the socket without blocking.
    void start(const QString& host, quint16 port);

signals:
    // The answer as read, from the connection's remote address; empty when
    // the peer closed or the exchange failed before one came. Only for
    // exchanges that read an answer, and only once.
    void answered(const QString& peer, const QByteArray& answer);

private:
    void onConnected();
    void onReadyRead();
    void onClosed();
    void fail(QAbstractSocket::SocketError error, const QString& reason);
    void finish();

    ConsoleLog& console_;
    QTcpSocket* socket_;
    QTimer timeout_;
    QByteArray request_;
    QByteArray answer_;
    QString peer_;
    bool readAnswer_;
    bool done_ = false;
};

} // namespace korvel
