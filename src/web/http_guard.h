#pragma once

#include "web/web_options.h"

#include <QSslServer>

class QTcpSocket;

namespace korvel {

// The web console's listener. It bounds what a client can make the server
// hold: the connections open at once, the time a connection may sit idle, and
// the size of a request. It looks at each request's first bytes before the
// HTTP server parses them, so a request that is not HTTP, or too large, is
// answered with a 4xx and closed without reaching the server. With TLS
// configured, a connection reaches the server once its handshake is done,
// and the same bounds apply to the decrypted bytes.
class GuardedListener : public QSslServer {
    Q_OBJECT

public:
    GuardedListener(const WebOptions& limits, QObject* parent = nullptr);

    // From now on new connections are TLS with this configuration; those
    // open keep theirs.
    void setTls(const QSslConfiguration& configuration);
    bool tls() const { return tls_; }

    int openConnections() const { return open_; }
    std::uint64_t refusedConnections() const { return refused_; }

    // The server has handled a request on `socket`: the next bytes start a new one.
    static void requestHandled(QTcpSocket* socket);
    // The connection became a WebSocket: it stays open as long as its client
    // answers pings, no longer subject to the idle time-out or the scan.
    static void upgraded(QTcpSocket* socket);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    friend class ConnectionGuard;
    WebOptions limits_;
    int open_ = 0;
    int lingering_ = 0;
    bool tls_ = false;
    std::uint64_t refused_ = 0;
};

} // namespace korvel
