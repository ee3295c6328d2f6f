#include "http_guard.h"

#include <QPointer>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace korvel {

namespace {

// Longer request lines are refused with 414 before the rest arrives.
constexpr qsizetype kMaxRequestLine = 4096;

// How long a refused connection may stay to read its answer.
constexpr int kLingerMs = 2000;

// Answers and closes. The server reads nothing more from this connection;
// what the client still sends is read and dropped until it closes its end,
// since closing with unread bytes would reset the connection and could
// destroy the answer before the client reads it.
void Refuse(QTcpSocket* socket, int status, const char* reason)
{
    QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
    if (socket->isTransactionStarted())
        socket->commitTransaction();
    socket->readAll();
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
        if (socket->bytesToWrite() != 0)
            return;
        // Under TLS the end of the answer is a close alert, sent by the socket.
        if (qobject_cast<QSslSocket*>(socket))
            socket->disconnectFromHost();
        else
            ::shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
    });
    QTimer::singleShot(kLingerMs, socket, [socket] { socket->abort(); });
    const QByteArray body = QByteArray(reason) + '\n';
    socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
        + "\r\nContent-Type: text/plain\r\nConnection: close\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\n\r\n" + body);
}

bool ValidRequestLine(const QByteArray& line)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Z]{1,16} [\\x21-\\x7e]+ HTTP/1\\.[01]\\r?$"));
    return pattern.match(QLatin1String(line)).hasMatch();
}

} // namespace

// Lives as a child of its socket, so it goes with the socket however the
// socket goes (the HTTP server and the WebSocket layer both delete theirs).
class ConnectionGuard : public QObject {
public:
    ConnectionGuard(QTcpSocket* socket, GuardedListener* listener)
        : QObject(socket)
        , socket_(socket)
        , listener_(listener)
        , idle_(new QTimer(this))
    {
        ++listener_->open_;
        idle_->setSingleShot(true);
        idle_->setInterval(listener->limits_.idleTimeoutMs);
        connect(idle_, &QTimer::timeout, this, [this] {
            socket_->abort();
            socket_->deleteLater();
        });
        idle_->start();
        // Connected before the server's own handler, so it sees the bytes first.
        connect(socket, &QTcpSocket::readyRead, this, &ConnectionGuard::scan);
        connect(socket, &QTcpSocket::bytesWritten, idle_, qOverload<>(&QTimer::start));
    }
    ~ConnectionGuard() override
    {
        if (listener_)
            --listener_->open_;
    }

    void requestHandled()
    {
        seen_ = 0;
        firstLine_.clear();
        lineChecked_ = false;
        headBytes_ = -1;
        tail_.clear();
    }

    void upgraded()
    {
        idle_->stop();
        disconnect(socket_, &QTcpSocket::readyRead, this, nullptr);
        disconnect(socket_, &QTcpSocket::bytesWritten, idle_, nullptr);
    }

private:
    void scan()
    {
        idle_->start();
        const QByteArray fresh = socket_->peek(socket_->bytesAvailable());
        seen_ += fresh.size();
        if (!lineChecked_) {
            firstLine_ += fresh.left(kMaxRequestLine + 2 - firstLine_.size());
            // Blank lines before a request are allowed and skipped.
            while (firstLine_.startsWith("\r\n") || firstLine_.startsWith('\n'))
                firstLine_.remove(0, firstLine_.startsWith('\n') ? 1 : 2);
            const qsizetype end = firstLine_.indexOf('\n');
            if (end < 0) {
                if (firstLine_.size() > kMaxRequestLine)
                    return Refuse(socket_, 414, "URI Too Long");
            } else if (!ValidRequestLine(firstLine_.left(end))) {
                return Refuse(socket_, 400, "Bad Request");
            } else {
                lineChecked_ = true;
                firstLine_.clear();
            }
        }
        if (headBytes_ < 0) {
            const QByteArray joined = tail_ + fresh;
            const qsizetype start = seen_ - joined.size();
            qsizetype end = joined.indexOf("\r\n\r\n");
            end = end >= 0 ? end + 4 : joined.indexOf("\n\n");
            if (end >= 0)
                headBytes_ = start + end;
            tail_ = joined.right(3);
        }
        const WebOptions& limits = listener_->limits_;
        if ((headBytes_ < 0 ? seen_ : headBytes_) > limits.maxHeadBytes)
            return Refuse(socket_, 431, "Request Header Fields Too Large");
        if (seen_ > limits.maxHeadBytes + limits.maxBodyBytes)
            return Refuse(socket_, 413, "Content Too Large");
    }

    QTcpSocket* socket_;
    QPointer<GuardedListener> listener_;
    QTimer* idle_;
    qint64 seen_ = 0;
    QByteArray firstLine_;
    bool lineChecked_ = false;
    qint64 headBytes_ = -1; // the head's length once its end has been seen
    QByteArray tail_;
};

GuardedListener::GuardedListener(const WebOptions& limits, QObject* parent)
    : QSslServer(parent)
    , limits_(limits)
{
    // A handshake is held to the idle time-out like a request.
    setHandshakeTimeout(limits_.idleTimeoutMs);
    connect(this, &QSslServer::startedEncryptionHandshake, this, [this](QSslSocket* socket) {
        socket->setReadBufferSize(limits_.maxHeadBytes + limits_.maxBodyBytes + 4096);
        new ConnectionGuard(socket, this);
    });
}

void GuardedListener::setTls(const QSslConfiguration& configuration)
{
    setSslConfiguration(configuration);
    tls_ = true;
}

void GuardedListener::incomingConnection(qintptr descriptor)
{
    if (tls_) {
        if (open_ >= limits_.maxConnections) {
            // No answer can be read before a handshake; a flood gets none.
            ++refused_;
            QTcpSocket socket;
            if (socket.setSocketDescriptor(descriptor))
                socket.abort();
            return;
        }
        QSslServer::incomingConnection(descriptor);
        return;
    }
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (open_ >= limits_.maxConnections) {
        ++refused_;
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        // A flood of connections gets no lingering answers.
        if (lingering_ >= limits_.maxConnections) {
            socket->abort();
            return;
        }
        ++lingering_;
        connect(socket, &QObject::destroyed, this, [this] { --lingering_; });
        Refuse(socket, 503, "Service Unavailable");
        return;
    }
    // Enough for the largest request allowed; the guard refuses before it fills.
    socket->setReadBufferSize(limits_.maxHeadBytes + limits_.maxBodyBytes + 4096);
    new ConnectionGuard(socket, this);
    addPendingConnection(socket);
}

namespace {

ConnectionGuard* GuardOf(QTcpSocket* socket)
{
    for (QObject* child : socket->children()) {
        if (auto* guard = dynamic_cast<ConnectionGuard*>(child))
            return guard;
    }
    return nullptr;
}

} // namespace

void GuardedListener::requestHandled(QTcpSocket* socket)
{
    if (ConnectionGuard* guard = GuardOf(socket))
        guard->requestHandled();
}

void GuardedListener::upgraded(QTcpSocket* socket)
{
    if (ConnectionGuard* guard = GuardOf(socket))
        guard->upgraded();
}

} // namespace korvel
