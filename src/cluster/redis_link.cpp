#include "redis_link.h"

#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>

namespace korvel {

namespace {

constexpr int kFirstRetryMs = 250;
constexpr int kLongestRetryMs = 5000;
constexpr int kConnectTimeoutMs = 2000;
// This many replies outstanding mean Redis is too slow to keep up.
constexpr std::size_t kMaxPending = 100000;

} // namespace

// Hooks hiredis's reads and writes into the event loop. hiredis ships a Qt
// adapter, but it connects to a signal signature Qt 6 no longer has.
class RedisNotifiers {
public:
    ~RedisNotifiers()
    {
        delete read_;
        delete write_;
    }
    void attach(redisAsyncContext* context)
    {
        context_ = context;
        context->ev.data = this;
        context->ev.addRead = [](void* self) { static_cast<RedisNotifiers*>(self)->enable(QSocketNotifier::Read); };
        context->ev.delRead = [](void* self) { static_cast<RedisNotifiers*>(self)->disable(QSocketNotifier::Read); };
        context->ev.addWrite = [](void* self) { static_cast<RedisNotifiers*>(self)->enable(QSocketNotifier::Write); };
        context->ev.delWrite = [](void* self) { static_cast<RedisNotifiers*>(self)->disable(QSocketNotifier::Write); };
        context->ev.cleanup = [](void* self) {
            auto* notifiers = static_cast<RedisNotifiers*>(self);
            notifiers->disable(QSocketNotifier::Read);
            notifiers->disable(QSocketNotifier::Write);
            notifiers->context_ = nullptr;
        };
    }

private:
    QSocketNotifier*& slot(QSocketNotifier::Type type) { return type == QSocketNotifier::Read ? read_ : write_; }

    void enable(QSocketNotifier::Type type)
    {
        QSocketNotifier*& notifier = slot(type);
        if (notifier && notifier->socket() != context_->c.fd) {
            notifier->setEnabled(false);
            notifier->deleteLater();
            notifier = nullptr;
        }
        if (!notifier) {
            notifier = new QSocketNotifier(context_->c.fd, type);
            QObject::connect(notifier, &QSocketNotifier::activated, notifier, [this, type] {
                if (!context_)
                    return;
                if (type == QSocketNotifier::Read)
                    redisAsyncHandleRead(context_);
                else
                    redisAsyncHandleWrite(context_);
            });
        }
        notifier->setEnabled(true);
    }
    // Only switched off: hiredis may call this from inside the notifier's own signal.
    void disable(QSocketNotifier::Type type)
    {
        if (QSocketNotifier* notifier = slot(type))
            notifier->setEnabled(false);
    }

    redisAsyncContext* context_ = nullptr;
    QSocketNotifier* read_ = nullptr;
    QSocketNotifier* write_ = nullptr;
};

RedisLink::RedisLink(std::string host, int port, int database, std::chrono::milliseconds replyTimeout, QObject* parent)
    : RedisConnection(parent)
    , host_(std::move(host))
    , port_(port)
    , database_(database)
    , replyTimeout_(replyTimeout)
    , notifiers_(new RedisNotifiers)
{
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &RedisLink::start);
    watchdog_.setInterval(std::max<int>(100, static_cast<int>(replyTimeout_.count() / 4)));
    connect(&watchdog_, &QTimer::timeout, this, &RedisLink::checkSlow);
}

RedisLink::~RedisLink()
{
    if (context_) {
        redisAsyncContext* context = context_;
        context_ = nullptr;
        connected_ = false;
        context->data = nullptr;
        redisAsyncFree(context);
    }
    delete notifiers_;
}

void RedisLink::useSentinels(std::vector<std::pair<std::string, int>> sentinels, std::string master)
{
    sentinels_ = std::move(sentinels);
    master_ = std::move(master);
}

void RedisLink::askSentinel()
{
    if (sentinel_)
        return;
    const auto& [host, port] = sentinels_[nextSentinel_++ % sentinels_.size()];
    auto* sentinel = new RedisLink(host, port, 0, std::chrono::milliseconds(2000), this);
    sentinel_ = sentinel;
    const auto give = [this, sentinel](const QString& why) {
        if (sentinel_ != sentinel)
            return;
        sentinel_ = nullptr;
        sentinel->deleteLater();
        if (!why.isEmpty())
            lost(why);
    };
    connect(sentinel, &RedisLink::failed, this,
        [give, sentinel] { give(QStringLiteral("sentinel: %1").arg(sentinel->lastError())); });
    connect(sentinel, &RedisLink::down, this, [give] { give(QStringLiteral("sentinel went")); });
    connect(sentinel, &RedisLink::up, this, [this, sentinel, give] {
        sentinel->command({ "SENTINEL", "get-master-addr-by-name", master_ }, [this, give](const redisReply* reply) {
            if (!reply || reply->type != REDIS_REPLY_ARRAY || reply->elements != 2
                || reply->element[0]->type != REDIS_REPLY_STRING) {
                give(QStringLiteral("the sentinel knows no master %1").arg(QString::fromStdString(master_)));
                return;
            }
            host_.assign(reply->element[0]->str, reply->element[0]->len);
            port_ = std::atoi(reply->element[1]->str ? reply->element[1]->str : "0");
            give({});
            connectNow(host_);
        });
    });
    sentinel->start();
}

void RedisLink::start()
{
    if (context_)
        return;
    if (!sentinels_.empty()) {
        askSentinel();
        return;
    }
    QHostAddress literal;
    if (literal.setAddress(QString::fromStdString(host_))) {
        connectNow(host_);
        return;
    }
    // hiredis would look the name up with a blocking call.
    QHostInfo::lookupHost(QString::fromStdString(host_), this, [this](const QHostInfo& info) {
        for (const QHostAddress& address : info.addresses()) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol) {
                connectNow(address.toString().toStdString());
                return;
            }
        }
        lost(QStringLiteral("cannot resolve %1").arg(QString::fromStdString(host_)));
    });
}

void RedisLink::connectNow(const std::string& address)
{
    redisAsyncContext* context = redisAsyncConnect(address.c_str(), port_);
    if (!context || context->err) {
        lost(context ? QString::fromUtf8(context->errstr) : QStringLiteral("out of memory"));
        if (context)
            redisAsyncFree(context);
        return;
    }
    context_ = context;
    context->data = this;
    notifiers_->attach(context);
    redisAsyncSetConnectCallback(context, &RedisLink::onConnect);
    redisAsyncSetDisconnectCallback(context, &RedisLink::onDisconnect);
    lastReply_ = std::chrono::steady_clock::now();
    watchdog_.start();
    QTimer::singleShot(kConnectTimeoutMs, this, [this, context] {
        if (context_ == context && !connected_) {
            context_ = nullptr;
            context->data = nullptr;
            redisAsyncFree(context);
            lost(QStringLiteral("connection timed out"));
        }
    });
}

void RedisLink::onConnect(const redisAsyncContext* context, int status)
{
    auto* self = static_cast<RedisLink*>(context->data);
    if (!self)
        return;
    if (status != REDIS_OK) {
        // hiredis frees the context after this call.
        self->context_ = nullptr;
        self->lost(QString::fromUtf8(context->errstr));
        return;
    }
    self->connected_ = true;
    if (self->database_ != 0) {
        const std::string database = std::to_string(self->database_);
        self->command({ "SELECT", database });
    }
    if (self->master_.empty()) {
        self->ready();
        return;
    }
    // A sentinel may name the old master until its failover is over.
    self->command({ "ROLE" }, [self](const redisReply* reply) {
        if (!reply)
            return;
        if (reply->type == REDIS_REPLY_ARRAY && reply->elements > 0 && reply->element[0]->type == REDIS_REPLY_STRING
            && std::string_view(reply->element[0]->str, reply->element[0]->len) == "master")
            self->ready();
        else
            self->reset(
                QStringLiteral("%1:%2 is not the master").arg(QString::fromStdString(self->host_)).arg(self->port_));
    });
}

void RedisLink::ready()
{
    ready_ = true;
    backoffMs_ = 0;
    lastError_.clear();
    emit up();
}

void RedisLink::onDisconnect(const redisAsyncContext* context, int status)
{
    auto* self = static_cast<RedisLink*>(context->data);
    if (!self)
        return;
    self->context_ = nullptr;
    self->lost(status == REDIS_OK ? QStringLiteral("connection closed") : QString::fromUtf8(context->errstr));
}

void RedisLink::lost(const QString& why)
{
    const bool wasConnected = ready_;
    connected_ = false;
    ready_ = false;
    pending_ = 0;
    lastError_ = why;
    watchdog_.stop();
    if (wasConnected)
        emit down();
    else
        emit failed();
    retryLater();
}

void RedisLink::retryLater()
{
    // Behind sentinels a new master is there within seconds: asked often.
    const int longest = sentinels_.empty() ? kLongestRetryMs : kFirstRetryMs * 4;
    backoffMs_ = backoffMs_ == 0 ? kFirstRetryMs : std::min(backoffMs_ * 2, longest);
    retry_.start(backoffMs_);
}

void RedisLink::checkSlow()
{
    if (context_ && pending_ > 0 && std::chrono::steady_clock::now() - lastReply_ >= replyTimeout_)
        reset(QStringLiteral("no reply for %1 ms").arg(replyTimeout_.count()));
}

bool RedisLink::answering(std::chrono::milliseconds late) const
{
    return ready_ && (pending_ == 0 || std::chrono::steady_clock::now() - lastReply_ < late);
}

void RedisLink::reset(const QString& why)
{
    if (!context_)
        return;
    redisAsyncContext* context = context_;
    context_ = nullptr;
    pending_ = 0;
    context->data = nullptr;
    // Every outstanding callback hears null; the link then starts again.
    redisAsyncFree(context);
    lost(why);
}

bool RedisLink::command(const std::vector<std::string_view>& arguments, Reply reply)
{
    if (!connected_ || !context_ || pending_ >= kMaxPending)
        return false;
    std::vector<const char*> texts;
    std::vector<std::size_t> lengths;
    texts.reserve(arguments.size());
    lengths.reserve(arguments.size());
    for (std::string_view argument : arguments) {
        texts.push_back(argument.data());
        lengths.push_back(argument.size());
    }
    if (pending_ == 0)
        lastReply_ = std::chrono::steady_clock::now();
    auto* data = new Reply(std::move(reply));
    if (redisAsyncCommandArgv(
            context_, &RedisLink::onReply, data, static_cast<int>(arguments.size()), texts.data(), lengths.data())
        != REDIS_OK) {
        delete data;
        return false;
    }
    ++pending_;
    return true;
}

void RedisLink::onReply(redisAsyncContext* context, void* reply, void* data)
{
    std::unique_ptr<Reply> callback(static_cast<Reply*>(data));
    if (auto* self = static_cast<RedisLink*>(context->data)) {
        if (self->pending_ > 0)
            --self->pending_;
        self->lastReply_ = std::chrono::steady_clock::now();
    }
    if (*callback)
        (*callback)(static_cast<const redisReply*>(reply));
}

} // namespace korvel
