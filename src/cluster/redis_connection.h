#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct redisReply;

namespace korvel {

// What the cluster needs of a connection to Redis: commands with their
// replies, whether it is up, and a way to drop it. The real one is RedisLink;
// tests hand the cluster a scripted one.
class RedisConnection : public QObject {
    Q_OBJECT

public:
    // Called with the reply, or with null when the connection went before it came.
    using Reply = std::function<void(const redisReply*)>;

    using QObject::QObject;

    virtual void start() = 0;
    virtual bool connected() const = 0;
    // False, sending nothing, when not connected or when Redis is too slow to
    // keep up: the caller's change waits for a resync.
    virtual bool command(const std::vector<std::string_view>& arguments, Reply reply = {}) = 0;
    // Connected, and no reply outstanding for longer than `late`.
    virtual bool answering(std::chrono::milliseconds late) const = 0;
    // Drops the connection (every outstanding reply hears null) and makes it again.
    virtual void reset(const QString& why) = 0;
    virtual QString lastError() const = 0;
    // HOST:PORT of the server this connection talks to (behind sentinels, the
    // master they named last); empty when it cannot tell.
    virtual std::string where() const { return {}; }

signals:
    void up();
    void down();
    // A connection attempt came to nothing.
    void failed();
};

} // namespace korvel
