#pragma once

#include "cluster/redis_connection.h"

#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct redisAsyncContext;
struct redisReply;

namespace korvel {

class RedisNotifiers;

// One connection to Redis, driven by the event loop and never blocking it:
// connects without waiting, reconnects with growing pauses after a loss, and
// drops a connection whose replies stop coming.
class RedisLink : public RedisConnection {
    Q_OBJECT

public:
    // A connection whose replies are `replyTimeout` late is dropped and made again.
    RedisLink(
        std::string host, int port, int database, std::chrono::milliseconds replyTimeout, QObject* parent = nullptr);
    ~RedisLink() override;

    // Finds the master through these Redis Sentinels (tried in turn) at
    // each connection, so that a failover is followed: the link comes up
    // only on a server that says it is the master.
    void useSentinels(std::vector<std::pair<std::string, int>> sentinels, std::string master);
    void start() override;
    bool connected() const override { return ready_; }
    bool command(const std::vector<std::string_view>& arguments, Reply reply = {}) override;
    std::size_t pending() const { return pending_; }
    bool answering(std::chrono::milliseconds late) const override;
    void reset(const QString& why) override;
    QString lastError() const override { return lastError_; }
    std::string where() const override { return host_ + ":" + std::to_string(port_); }

private:
    static void onConnect(const redisAsyncContext* context, int status);
    static void onDisconnect(const redisAsyncContext* context, int status);
    static void onReply(redisAsyncContext* context, void* reply, void* data);
    void connectNow(const std::string& address);
    void askSentinel();
    void ready();
    void lost(const QString& why);
    void retryLater();
    void checkSlow();

    std::string host_;
    int port_;
    int database_;
    std::chrono::milliseconds replyTimeout_;
    redisAsyncContext* context_ = nullptr;
    RedisNotifiers* notifiers_;
    // The socket is up; ready_ once it may be used (the master checked).
    bool connected_ = false;
    bool ready_ = false;
    std::vector<std::pair<std::string, int>> sentinels_;
    std::string master_;
    std::size_t nextSentinel_ = 0;
    RedisLink* sentinel_ = nullptr;
    std::size_t pending_ = 0;
    std::chrono::steady_clock::time_point lastReply_;
    int backoffMs_ = 0;
    QTimer retry_;
    QTimer watchdog_;
    QString lastError_;
};

} // namespace korvel
