#include "tcp_exchange.h"

#include "log/console_log.h"
#include "relay/socket_errors.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace korvel {

namespace {

QString DottedPeer(const QTcpSocket* socket)
{
    bool isIPv4 = false;
    const quint32 value = socket->peerAddress().toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(value).toString() : socket->peerAddress().toString();
}

// The answer is whole once its header's Length is in, or once it fills the
// one read of the server path; a peer that closes early ends it too.
bool AnswerComplete(const QByteArray& answer)
{
    const auto size = static_cast<std::size_t>(answer.size());
    if (size >= wire::kMaxTcpRead)
        return true;
    if (size < wire::kShortHeaderSize)
        return false;
    return size >= ReadU16(Bytes(reinterpret_cast<const std::uint8_t*>(answer.constData()), size), wire::kLengthOffset);
}

} // namespace

TcpExchange::TcpExchange(ConsoleLog& console, Bytes request, bool readAnswer, int timeoutMs, QObject* parent)
    : QObject(parent)
    , console_(console)
    , socket_(new QTcpSocket(this))
    , request_(reinterpret_cast<const char*>(request.data()), static_cast<qsizetype>(request.size()))
    , readAnswer_(readAnswer)
{
    timeout_.setSingleShot(true);
    timeout_.setInterval(timeoutMs);
    connect(&timeout_, &QTimer::timeout, this, [this] {
        const bool connected = socket_->state() == QAbstractSocket::ConnectedState;
        fail(QAbstractSocket::SocketTimeoutError,
            QStringLiteral("%1 within %2 ms")
                .arg(connected ? QStringLiteral("no answer") : QStringLiteral("no connection"))
                .arg(timeout_.interval()));
    });
    connect(socket_, &QTcpSocket::connected, this, &TcpExchange::onConnected);
    connect(socket_, &QTcpSocket::readyRead, this, &TcpExchange::onReadyRead);
    connect(socket_, &QTcpSocket::disconnected, this, &TcpExchange::onClosed);
    connect(socket_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        // A peer closing its end is how a one-request connection ends.
        if (error == QAbstractSocket::RemoteHostClosedError)
            onClosed();
        else
            fail(error, socket_->errorString());
    });
}

void TcpExchange::start(const QString& host, quint16 port)
{
    timeout_.start();
    socket_->connectToHost(host, port);
}

void TcpExchange::onConnected()
{
    peer_ = DottedPeer(socket_);
    socket_->write(request_);
    // Closing waits for the request to be written.
    if (!readAnswer_)
        socket_->disconnectFromHost();
}

void TcpExchange::onReadyRead()
{
    if (!readAnswer_) {
        socket_->readAll();
        return;
    }
    answer_ += socket_->read(static_cast<qint64>(wire::kMaxTcpRead) - answer_.size());
    if (AnswerComplete(answer_))
        finish();
}

void TcpExchange::onClosed()
{
    if (readAnswer_ && socket_->bytesAvailable() > 0)
        onReadyRead();
    finish();
}

void TcpExchange::fail(QAbstractSocket::SocketError error, const QString& reason)
{
    if (done_)
        return;
    console_.log("TCPError : ErrorCode %d (%s)", SocketErrorNumber(error), reason.toUtf8().constData());
    finish();
}

void TcpExchange::finish()
{
    if (done_)
        return;
    done_ = true;
    timeout_.stop();
    socket_->abort();
    // What came (nothing, after a failure) is traced, so the operator sees
    // that no answer arrived.
    if (readAnswer_)
        emit answered(peer_, answer_);
    deleteLater();
}

} // namespace korvel
