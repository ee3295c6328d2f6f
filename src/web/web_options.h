#pragma once

#include "base/result.h"
#include "web/web_tls.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

namespace korvel {

// How the web console listens and what it bounds.
struct WebOptions {
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 0;
    // Empty: no token asked for (allowed on a loopback address only).
    QByteArray token;
    // Serve HTTPS with these; none: plain HTTP.
    TlsFiles tls;
    // The operator accepts a token sent in clear off a loopback address.
    bool insecure = false;
    // Empty: the console is read-only. Allows writes, and reads as well.
    QByteArray adminToken;
    int maxConnections = 64;
    int maxLiveClients = 32;
    // A live client whose unsent updates pass this is dropped.
    qint64 maxLiveBacklogBytes = 4 << 20;
    int idleTimeoutMs = 30000;
    // A request's head, and its body if it has one, may not be larger.
    qint64 maxHeadBytes = 8192;
    qint64 maxBodyBytes = 8192;
};

// "[ADDR:]PORT": an IPv4 address, or an IPv6 one in brackets; the address
// defaults to 127.0.0.1. Port 0 asks for any free port.
Result<WebOptions> ParseHttpListen(const QString& text);

// The token is the file's first line without surrounding blanks; a missing,
// unreadable or empty file is an error.
Result<QByteArray> ReadTokenFile(const QString& path);

// Off a loopback address the console must have a token, and the token may
// cross the network only under TLS unless the operator says otherwise.
Result<void> CheckWebOptions(const WebOptions& options);

} // namespace korvel
