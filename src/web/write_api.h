#pragma once

#include "base/thread_check.h"
#include "web/http_reply.h"
#include "web/web_options.h"

#include <QObject>

#include <array>
#include <cstdint>
#include <functional>

class QHttpServerRequest;

namespace korvel {

class Hub;
class OperatorCommands;

// The web console's writes: who may give a command, what its body may hold,
// the command itself through the operator's commands, the audit line and the
// count of every outcome. Main thread only: its entry points check that.
class WriteApi : public QObject {
public:
    // How many of the writes ended each way, by the `result` label of /metrics.
    static constexpr std::array<const char*, 9> kResults = { "ok", "bad_request", "unauthorized", "forbidden",
        "not_found", "conflict", "too_large", "unsupported_media_type", "failed" };
    using Counts = std::array<std::uint64_t, kResults.size()>;
    using Later = std::function<void(const HttpReply&)>;

    WriteApi(Hub& hub, const WebOptions& options, QObject* parent = nullptr);

    // Null: read-only, as without an admin token.
    void setCommands(OperatorCommands* commands) { commands_ = commands; }
    bool writable() const { return commands_ && !options_.adminToken.isEmpty(); }
    // Whether this request's token may write.
    bool mayWrite(const QHttpServerRequest& request) const;

    // A request that changes something: any method but GET and HEAD on /api/.
    static bool IsWrite(const QHttpServerRequest& request, const QString& path);
    // Answers a write; not handled when the answer comes later through `later` (a ping).
    HttpReply handle(const QHttpServerRequest& request, const QString& path, Later later);

    const Counts& counts() const { return counts_; }
    // What /api/options shows.
    QByteArray optionsJson() const;

private:
    HttpReply refusal(const QHttpServerRequest& request) const;
    HttpReply perform(const QHttpServerRequest& request, const QString& path, const QString& client, Later& later);
    HttpReply ping(const QString& address, const QString& client, Later& later);
    HttpReply counted(HttpReply reply);

    Hub& hub_;
    const WebOptions& options_;
    OperatorCommands* commands_ = nullptr;
    Counts counts_ {};
    int pings_ = 0;
    ThreadCheck owner_ { "WriteApi" };
};

} // namespace korvel
