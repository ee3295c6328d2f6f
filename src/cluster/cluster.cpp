#include "cluster.h"

#include "cluster/redis_link.h"
#include "cluster/redis_reply.h"
#include "relay/hub.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSaveFile>
#include <chrono>
#include <cstdio>

namespace korvel {

namespace {

constexpr int kTickMs = 100;
// A blocked read returns empty after this; its reply later than this means
// the reading connection is gone, however quiet the cluster.
constexpr auto kReaderTimeout = std::chrono::milliseconds(2500);
constexpr auto kCommandTimeout = std::chrono::milliseconds(5000);
// Replies this late make a hub an island: it serves what it held.
constexpr auto kIslandAfter = std::chrono::milliseconds(1000);
// Messages kept for the other hubs while Redis is away, and for how long.
constexpr std::size_t kOutboxMessages = 100000;
constexpr auto kOutboxAge = std::chrono::milliseconds(10000);

// Who holds the node name in Redis: the data folder's identity, made at its
// first start, so that a hub started again after a crash is the same node and
// takes its name back at once; a folder that cannot keep one gives each run its own.
std::string NodeToken(const std::filesystem::path& folder)
{
    const QString name = QString::fromStdString((folder / "cluster-identity").string());
    QFile kept(name);
    if (!folder.empty() && kept.open(QIODevice::ReadOnly)) {
        const QByteArray token = kept.readLine(64).trimmed();
        if (token.size() == 32)
            return token.toStdString();
    }
    const std::string token
        = QByteArray::number(QRandomGenerator::system()->generate64(), 16)
              .rightJustified(16, '0')
              .append(QByteArray::number(QRandomGenerator::system()->generate64(), 16).rightJustified(16, '0'))
              .toStdString();
    if (!folder.empty()) {
        QSaveFile file(name);
        if (file.open(QIODevice::WriteOnly)) {
            file.write(QByteArray::fromStdString(token + "\n"));
            file.commit();
        }
    }
    return token;
}

} // namespace

Cluster::Cluster(Hub& hub, ClusterOptions options, QObject* parent)
    : Cluster(
        hub, options,
        [&options](LinkRole, std::chrono::milliseconds replyTimeout) {
            auto link = std::make_unique<RedisLink>(options.host, options.port, options.database, replyTimeout);
            if (!options.sentinels.empty())
                link->useSentinels(options.sentinels, options.master);
            return link;
        },
        parent)
{
}

Cluster::Cluster(Hub& hub, ClusterOptions options, const LinkFactory& links, QObject* parent)
    : QObject(parent)
    , hub_(hub)
    , table_(hub.table())
    , options_(std::move(options))
    , prefix_(options_.name + ":")
    , stream_(prefix_ + "stream")
    , start_(static_cast<std::uint64_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
              .count()))
    , token_(NodeToken(options_.dataDirectory))
    , commands_(links(LinkRole::Commands, kCommandTimeout))
    , reader_(links(LinkRole::Reader, kReaderTimeout))
    , leases_(std::chrono::milliseconds(options_.heartbeatTtlMs))
    , outbox_(kOutboxMessages, kOutboxAge)
{
    alive_.insert(options_.node);
    heartbeat_.setInterval(kHeartbeatMs);
    connect(&heartbeat_, &QTimer::timeout, this, &Cluster::beat);
    tick_.setInterval(kTickMs);
    connect(&tick_, &QTimer::timeout, this, &Cluster::tick);
    connect(commands_.get(), &RedisConnection::up, this, &Cluster::linkUp);
    connect(commands_.get(), &RedisConnection::down, this, &Cluster::linkDown);
    connect(reader_.get(), &RedisConnection::up, this, &Cluster::readerUp);
    connect(reader_.get(), &RedisConnection::down, this, [this] {
        reading_ = false;
        say("cluster %s: the reading connection went: %s; reconnecting", reader_->lastError().toStdString());
        updateState();
    });
}

Cluster::~Cluster()
{
    // The links answer what is still pending with no reply as they go: while
    // this object is whole, not from QObject's destructor after it.
    reader_.reset();
    commands_.reset();
    if (hub_.relayPeer() == this)
        hub_.setRelayPeer(nullptr);
    table_.removeChangeObserver(this);
}

void Cluster::start()
{
    owner_("start");
    hub_.setRelayPeer(this);
    table_.addChangeObserver(this);
    lastTick_ = std::chrono::steady_clock::now();
    heartbeat_.start();
    tick_.start();
    commands_->start();
    reader_->start();
}

void Cluster::say(const char* format, const std::string& text) const
{
    std::fprintf(stderr, "korvel: ");
    std::fprintf(stderr, format, where().c_str(), text.c_str());
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
}

std::string Cluster::where() const
{
    std::string server = commands_->where();
    return server.empty() ? options_.host + ":" + std::to_string(options_.port) : server;
}

const char* Cluster::stateText() const
{
    switch (state_) {
    case State::Connecting:
        return "connecting";
    case State::Connected:
        return "connected";
    case State::Degraded:
        return "degraded";
    case State::Disconnected:
        return "disconnected";
    }
    return "";
}

std::string Cluster::problem() const
{
    if (name_ == Name::Taken)
        return "another live hub is named " + options_.node;
    if (!commands_->connected())
        return "Redis cannot be reached: " + commands_->lastError().toStdString();
    if (name_ != Name::Registered)
        return "the node name " + options_.node + " is held by another hub";
    if (!reader_->connected() || !reading_)
        return "the other hubs cannot be heard: " + reader_->lastError().toStdString();
    return {};
}

void Cluster::setState(State state)
{
    if (state_ == state)
        return;
    state_ = state;
    emit stateChanged();
}

void Cluster::updateState()
{
    if (state_ == State::Connecting && !commands_->connected() && commands_->lastError().isEmpty())
        return;
    if (problem().empty())
        setState(State::Connected);
    else if (!commands_->connected() && !reader_->connected())
        setState(State::Disconnected);
    else
        setState(State::Degraded);
}

void Cluster::linkUp()
{
    startSaid_ = true;
    resyncDue_ = true;
    // Heartbeats stood still while Redis was away; the others get a whole
    // lease to beat again before their systems are taken over.
    const auto now = std::chrono::steady_clock::now();
    for (auto& [node, seen] : lastSeen_)
        seen = now;
    // A Redis that is not the one written to before (restarted, or a replica
    // promoted) may lack the last entries: they go again.
    commands_->command({ "INFO", "server" }, [this](const redisReply* reply) {
        if (!reply)
            return;
        const std::string info = ReplyText(reply);
        const auto at = info.find("run_id:");
        const std::string runId = at == std::string::npos ? std::string() : info.substr(at + 7, 40);
        if (!runId_.empty() && runId != runId_)
            outbox_.replay(std::chrono::steady_clock::now());
        runId_ = runId;
        instanceKnown_ = true;
        schedulePump();
    });
    beat();
}

void Cluster::linkDown()
{
    outbox_.connectionLost();
    instanceKnown_ = false;
    beatPending_ = false;
    say("cluster %s: %s; relaying locally, reconnecting", commands_->lastError().toStdString());
    updateState();
}

void Cluster::tick()
{
    owner_("tick");
    const auto now = std::chrono::steady_clock::now();
    if (now - lastTick_ > std::chrono::milliseconds(options_.heartbeatTtlMs)) {
        // Stopped longer than a lease: another hub may hold them all now.
        leases_.expireAll();
        leases_.setIsland(false);
        say("cluster %s: this hub stood still for %s ms; serving no system until its leases are renewed",
            std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now - lastTick_).count()));
        beat();
    } else {
        // A hub whose name another live hub holds is no island: that one may
        // serve the same systems, so this one serves none.
        leases_.setIsland(name_ != Name::Taken && (!commands_->answering(kIslandAfter) || name_ != Name::Registered));
    }
    lastTick_ = now;
    // Leases that ran out while Redis was away or slow are asked for again at
    // once: what arrives for those systems is held until the answer.
    if (!leases_.island()) {
        std::vector<std::string> renew;
        for (std::string& ip : leases_.expired(now)) {
            if (!claiming_.contains(ip))
                renew.push_back(std::move(ip));
        }
        claim(renew, false);
    }
    releaseHeld();
    flush();
    if (pullsInFlight_ == 0)
        writes_.clear();
    updateState();
}

} // namespace korvel
