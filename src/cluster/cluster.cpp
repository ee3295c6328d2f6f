#include "cluster.h"

#include "cluster/cluster_message.h"
#include "cluster/redis_link.h"
#include "relay/hub.h"

#include <hiredis/hiredis.h>

#include <QMetaObject>
#include <QRandomGenerator>
#include <algorithm>
#include <chrono>

#include <cstdio>
#include <memory>
#include <vector>

namespace korvel {

namespace {

constexpr int kHeartbeatMs = 1000;
constexpr int kTickMs = 100;
// A blocked read returns empty after this; its reply later than the second
// figure means the reading connection is gone, however quiet the cluster.
constexpr int kReadBlockMs = 1000;
constexpr auto kReaderTimeout = std::chrono::milliseconds(2500);
constexpr auto kCommandTimeout = std::chrono::milliseconds(5000);
// Replies this late make a hub an island: it serves what it held.
constexpr auto kIslandAfter = std::chrono::milliseconds(1000);
// The stream keeps about this many entries; a hub unable to read for longer misses the oldest.
constexpr char kStreamLength[] = "10000";
constexpr char kReadCount[] = "32";
// Messages kept for the other hubs while Redis is away, and for how long.
constexpr std::size_t kOutboxMessages = 100000;
constexpr auto kOutboxAge = std::chrono::milliseconds(10000);
constexpr std::size_t kEntriesInFlight = 16;
// Deletions remembered, so that a hub away meanwhile does not bring them back.
constexpr char kRemovedKept[] = "10000";
// A read of a system overtaken by a write is tried again at most this often.
constexpr int kPullTries = 5;

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string Text(const redisReply* reply)
{
    if (!reply || (reply->type != REDIS_REPLY_STRING && reply->type != REDIS_REPLY_STATUS))
        return {};
    return std::string(reply->str, reply->len);
}

Pairs ToPairs(const redisReply* reply)
{
    Pairs pairs;
    if (!reply || reply->type != REDIS_REPLY_ARRAY)
        return pairs;
    for (std::size_t i = 0; i + 1 < reply->elements; i += 2)
        pairs.emplace_back(Text(reply->element[i]), Text(reply->element[i + 1]));
    return pairs;
}

std::vector<std::string> ToList(const redisReply* reply)
{
    std::vector<std::string> list;
    if (reply && reply->type == REDIS_REPLY_ARRAY) {
        for (std::size_t i = 0; i < reply->elements; ++i)
            list.push_back(Text(reply->element[i]));
    }
    return list;
}

std::int32_t Number(const std::string& text, std::int32_t fallback)
{
    try {
        return static_cast<std::int32_t>(std::stol(text));
    } catch (...) {
        return fallback;
    }
}

std::uint64_t Number64(const std::string& text)
{
    try {
        return std::stoull(text);
    } catch (...) {
        return 0;
    }
}

std::uint64_t Integer(const redisReply* reply)
{
    if (reply && reply->type == REDIS_REPLY_INTEGER && reply->integer > 0)
        return static_cast<std::uint64_t>(reply->integer);
    return Number64(Text(reply));
}

bool Failed(const redisReply* reply)
{
    return reply && reply->type == REDIS_REPLY_ERROR;
}

// Empties the shared table in one step, so that no write of another command
// lands between reading the members and deleting them; the clear gets a
// version from Redis, against which a hub that was away tells what it missed.
constexpr char kClearScript[] = R"(local members = redis.call('SMEMBERS', KEYS[1])
for _, ip in ipairs(members) do
  redis.call('DEL', ARGV[1] .. 'system:' .. ip, ARGV[1] .. 'stations:' .. ip, ARGV[1] .. 'lease:' .. ip)
end
redis.call('DEL', KEYS[1], KEYS[2])
local version = redis.call('INCR', KEYS[4])
redis.call('SET', KEYS[3], version)
return version)";

// A system deleted: its keys and lease go, the deletion is remembered (the
// newest ones only) under a version from Redis.
constexpr char kRemoveScript[] = R"(redis.call('DEL', KEYS[1], KEYS[2], KEYS[3])
redis.call('SREM', KEYS[4], ARGV[1])
local version = redis.call('INCR', KEYS[6])
redis.call('ZADD', KEYS[5], version, ARGV[1])
redis.call('ZREMRANGEBYRANK', KEYS[5], 0, -1 - tonumber(ARGV[2]))
return version)";

// A system's changed fields and stations, written together or not at all.
constexpr char kWriteScript[] = R"(local fields = tonumber(ARGV[2])
for i = 3, 2 + 2 * fields, 2 do
  redis.call('HSET', KEYS[1], ARGV[i], ARGV[i + 1])
end
for i = 3 + 2 * fields, #ARGV, 2 do
  redis.call('HSET', KEYS[2], ARGV[i], ARGV[i + 1])
end
redis.call('SADD', KEYS[3], ARGV[1])
redis.call('ZREM', KEYS[4], ARGV[1])
return 1)";

// The heartbeat: the node name is this run's (taken if free, refused if
// another run holds it); gives Redis's time and each hub's last beat.
constexpr char kBeatScript[] = R"(local holder = redis.call('GET', KEYS[1])
if holder and holder ~= ARGV[2] then
  return {0, holder}
end
redis.call('SET', KEYS[1], ARGV[2], 'PX', ARGV[3])
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
redis.call('ZADD', KEYS[2], now, ARGV[1])
redis.call('ZREMRANGEBYSCORE', KEYS[2], '-inf', now - 86400000)
return {1, now, redis.call('ZRANGE', KEYS[2], 0, -1, 'WITHSCORES')})";

// Leases: "NODE FENCE HEARD" with a time-to-live. A free lease is taken under
// a new fencing number; the holder's is renewed; in mode "heard" a lease
// whose holder has not heard from the system for ARGV[4] ms is taken over
// (the system moved). ARGV[4 + i] is 1 when this hub heard from system i.
// Gives each system's fence for this hub, 0 where another hub holds it.
constexpr char kLeaseScript[] = R"(local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local node, ttl, mode, moveAfter = ARGV[1], ARGV[2], ARGV[3], tonumber(ARGV[4])
local out = {}
for i = 1, #KEYS - 1 do
  local holder, fence, heard
  local value = redis.call('GET', KEYS[i])
  if value then
    holder, fence, heard = string.match(value, '^(.*) (%d+) (%d+)$')
  end
  if holder == node then
    if ARGV[4 + i] == '1' then
      heard = now
    end
    redis.call('SET', KEYS[i], node .. ' ' .. fence .. ' ' .. heard, 'PX', ttl)
    out[i] = tonumber(fence)
  elseif not holder or (mode == 'heard' and now - tonumber(heard) > moveAfter) then
    local taken = redis.call('INCR', KEYS[#KEYS])
    redis.call('SET', KEYS[i], node .. ' ' .. taken .. ' ' .. now, 'PX', ttl)
    out[i] = taken
  else
    out[i] = 0
  end
end
return out)";

// The shared fields of a system, in this order.
constexpr std::array<const char*, 7> kFields { "ip", "toip", "port", "type", "endpoint", "name", "status" };

std::array<std::string, 7> Fields(const SystemEntry& entry)
{
    return { entry.IpAddress, entry.ToIp, std::to_string(entry.Port), std::to_string(entry.Type),
        std::to_string(entry.EndpointType), entry.Name, std::to_string(entry.Status) };
}

} // namespace

Cluster::Cluster(Hub& hub, ClusterOptions options, QObject* parent)
    : QObject(parent)
    , hub_(hub)
    , table_(hub.table())
    , options_(std::move(options))
    , prefix_(options_.name + ":")
    , stream_(prefix_ + "stream")
    , start_(static_cast<std::uint64_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
              .count()))
    , token_(std::to_string(start_) + "-" + std::to_string(QRandomGenerator::global()->generate64()))
    , commands_(new RedisLink(options_.host, options_.port, options_.database, kCommandTimeout, this))
    , reader_(new RedisLink(options_.host, options_.port, options_.database, kReaderTimeout, this))
    , leases_(std::chrono::milliseconds(options_.heartbeatTtlMs))
    , outbox_(kOutboxMessages, kOutboxAge)
{
    if (!options_.sentinels.empty()) {
        commands_->useSentinels(options_.sentinels, options_.master);
        reader_->useSentinels(options_.sentinels, options_.master);
    }
    alive_.insert(options_.node);
    heartbeat_.setInterval(kHeartbeatMs);
    connect(&heartbeat_, &QTimer::timeout, this, &Cluster::beat);
    tick_.setInterval(kTickMs);
    connect(&tick_, &QTimer::timeout, this, &Cluster::tick);
    connect(commands_, &RedisLink::up, this, &Cluster::linkUp);
    connect(commands_, &RedisLink::down, this, &Cluster::linkDown);
    connect(reader_, &RedisLink::up, this, &Cluster::readerUp);
    connect(reader_, &RedisLink::down, this, [this] {
        reading_ = false;
        say("cluster %s: the reading connection went: %s; reconnecting", reader_->lastError().toStdString());
        updateState();
    });
}

Cluster::~Cluster()
{
    // The links answer what is still pending with no reply as they go: while
    // this object is whole, not from QObject's destructor after it.
    delete reader_;
    reader_ = nullptr;
    delete commands_;
    commands_ = nullptr;
    if (hub_.relayPeer() == this)
        hub_.setRelayPeer(nullptr);
    table_.removeChangeObserver(this);
}

void Cluster::start()
{
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
    const std::string where = options_.host + ":" + std::to_string(options_.port);
    std::fprintf(stderr, "korvel: ");
    std::fprintf(stderr, format, where.c_str(), text.c_str());
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
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
        const std::string info = Text(reply);
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

void Cluster::readerUp()
{
    const std::string name = "korvel-reader-" + options_.node;
    reader_->command({ "CLIENT", "SETNAME", name });
    if (name_ == Name::Registered) {
        readNext();
        resync();
    }
}

void Cluster::readNext()
{
    if (reading_ || !reader_->connected())
        return;
    if (lastId_.empty())
        return;
    reading_ = reader_->command(
        { "XREAD", "COUNT", kReadCount, "BLOCK", std::to_string(kReadBlockMs), "STREAMS", stream_, lastId_ },
        [this](const redisReply* reply) {
            reading_ = false;
            if (!reply)
                return;
            if (Failed(reply)) {
                say("cluster %s: reading the stream: %s", Text(reply));
                reader_->reset(QString::fromStdString(Text(reply)));
                return;
            }
            onEntries(reply);
            readNext();
        });
    updateState();
}

void Cluster::onEntries(const redisReply* reply)
{
    // [[stream, [[id, [field, value, ...]], ...]]], or nil when the block ran out.
    if (reply->type != REDIS_REPLY_ARRAY || reply->elements == 0 || reply->element[0]->elements < 2)
        return;
    const redisReply* entries = reply->element[0]->element[1];
    for (std::size_t i = 0; i < entries->elements; ++i) {
        const redisReply* entry = entries->element[i];
        if (entry->type != REDIS_REPLY_ARRAY || entry->elements < 2)
            continue;
        lastId_ = Text(entry->element[0]);
        std::string node;
        std::uint64_t start = 0, sequence = 0;
        std::string_view messages;
        const redisReply* fields = entry->element[1];
        for (std::size_t f = 0; f + 1 < fields->elements; f += 2) {
            const std::string name = Text(fields->element[f]);
            const redisReply* value = fields->element[f + 1];
            if (name == "n")
                node = Text(value);
            else if (name == "i")
                start = Number64(Text(value));
            else if (name == "s")
                sequence = Number64(Text(value));
            else if (name == "m" && value->type == REDIS_REPLY_STRING)
                messages = std::string_view(value->str, value->len);
        }
        if (node.empty() || node == options_.node || !seen_.fresh(node, start, sequence))
            continue;
        ClusterOutbox::ForEachMessage(messages, [this](std::string_view message) { onMessage(message); });
    }
}

void Cluster::beat()
{
    if (!commands_->connected()) {
        // Said once, the first time Redis cannot be reached at start (the
        // reading link may have moved the state on already).
        if (!startSaid_ && !commands_->lastError().isEmpty()) {
            startSaid_ = true;
            say("cluster %s: %s; relaying locally, reconnecting", commands_->lastError().toStdString());
            updateState();
        }
        return;
    }
    if (beatPending_)
        return;
    const std::string ttl = std::to_string(options_.heartbeatTtlMs);
    beatPending_ = commands_->command(
        { "EVAL", kBeatScript, "2", key("node:" + options_.node), key("hubs"), options_.node, token_, ttl },
        [this](const redisReply* reply) { registered(reply); });
    if (name_ == Name::Registered)
        renewLeases();
}

void Cluster::registered(const redisReply* reply)
{
    beatPending_ = false;
    if (!reply)
        return;
    if (reply->type != REDIS_REPLY_ARRAY || reply->elements < 2) {
        ++writeFailures_;
        say("cluster %s: heartbeat refused: %s", Text(reply));
        return;
    }
    if (reply->element[0]->integer == 1 && reply->elements == 3) {
        // Alive: beaten within a lease by Redis's clock. A hub Redis has
        // forgotten altogether (it lost its data) gets a lease to beat again.
        const auto seen = std::chrono::steady_clock::now();
        const std::uint64_t now = Integer(reply->element[1]);
        std::set<std::string> alive { options_.node };
        const Pairs beats = ToPairs(reply->element[2]);
        std::set<std::string> listed;
        for (const auto& [node, at] : beats) {
            listed.insert(node);
            if (Number64(at) + static_cast<std::uint64_t>(options_.heartbeatTtlMs) >= now) {
                alive.insert(node);
                lastSeen_[node] = seen;
            }
        }
        for (auto node = lastSeen_.begin(); node != lastSeen_.end();) {
            if (listed.contains(node->first) && !alive.contains(node->first)) {
                node = lastSeen_.erase(node);
            } else if (seen - node->second > std::chrono::milliseconds(options_.heartbeatTtlMs)) {
                node = lastSeen_.erase(node);
            } else {
                alive.insert(node->first);
                ++node;
            }
        }
        alive_ = std::move(alive);
        if (lastId_.empty() && !askedLastId_) {
            // A hub new to the cluster reads what comes after this point;
            // the table pulled next has everything before it.
            askedLastId_
                = commands_->command({ "XREVRANGE", stream_, "+", "-", "COUNT", "1" }, [this](const redisReply* last) {
                      askedLastId_ = false;
                      if (!last || Failed(last))
                          return;
                      lastId_ = last->type == REDIS_REPLY_ARRAY && last->elements > 0 && last->element[0]->elements > 0
                          ? Text(last->element[0]->element[0])
                          : "0-0";
                      readNext();
                  });
        }
        if (name_ != Name::Registered) {
            name_ = Name::Registered;
            nameTakenSince_ = {};
            say("cluster %s: connected as node %s", options_.node);
        }
        if (resyncDue_) {
            resyncDue_ = false;
            readNext();
            resync();
        }
        sweep();
        updateState();
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (name_ == Name::Registered) {
        // Taken while this hub stood still: it serves nothing it cannot tell apart.
        name_ = Name::Taken;
        leasesLost_ += leases_.size();
        leases_.clear();
        say("cluster %s: another live hub took the node name %s; serving no system until it is free", options_.node);
    } else if (name_ == Name::Unregistered) {
        // A hub killed a moment ago holds it for one more lease at most;
        // one that still holds it after that is alive.
        if (nameTakenSince_ == std::chrono::steady_clock::time_point {})
            nameTakenSince_ = now;
        else if (now - nameTakenSince_ > std::chrono::milliseconds(options_.heartbeatTtlMs + kHeartbeatMs)) {
            const std::string reason = "cluster " + options_.host + ":" + std::to_string(options_.port)
                + ": another live hub is named " + options_.node + "; give each hub its own --node";
            name_ = Name::Taken;
            heartbeat_.stop();
            emit refused(QString::fromStdString(reason));
        }
    }
    updateState();
}

void Cluster::renewLeases()
{
    const auto mine = leases_.mine();
    if (mine.empty())
        return;
    std::vector<std::string> ips;
    ips.reserve(mine.size());
    for (const auto& [ip, fence] : mine)
        ips.push_back(ip);
    claim(ips, false);
}

void Cluster::sweep()
{
    // Free leases of systems whose holder is gone, or that nobody held yet.
    std::vector<std::string> free;
    for (const SystemEntry& entry : table_.Systems()) {
        if (leases_.holds(entry.IpAddress))
            continue;
        const std::string holder = leases_.holder(entry.IpAddress, options_.node);
        if (holder.empty() || !alive_.contains(holder))
            free.push_back(entry.IpAddress);
    }
    if (!free.empty())
        claim(free, false);
}

void Cluster::claim(const std::vector<std::string>& ips, bool heard)
{
    if (ips.empty() || !commands_->connected() || name_ != Name::Registered)
        return;
    std::vector<std::string> keys;
    keys.reserve(ips.size() + 1);
    for (const std::string& ip : ips)
        keys.push_back(key("lease:" + ip));
    keys.push_back(key("fence"));
    const std::string count = std::to_string(keys.size());
    const std::string ttl = std::to_string(options_.heartbeatTtlMs);
    const std::string moveAfter = std::to_string(options_.heartbeatTtlMs);
    std::vector<std::string_view> arguments { "EVAL", kLeaseScript, count };
    arguments.insert(arguments.end(), keys.begin(), keys.end());
    arguments.insert(arguments.end(), { options_.node, ttl, heard ? "heard" : "renew", moveAfter });
    for (const std::string& ip : ips)
        arguments.push_back(heard || heard_.contains(ip) ? "1" : "0");
    if (!heard) {
        for (const std::string& ip : ips)
            heard_.erase(ip);
    }
    const auto sentAt = std::chrono::steady_clock::now();
    commands_->command(arguments, [this, ips, sentAt](const redisReply* reply) {
        if (!reply)
            return;
        if (reply->type != REDIS_REPLY_ARRAY || reply->elements != ips.size()) {
            ++writeFailures_;
            return;
        }
        for (std::size_t i = 0; i < ips.size(); ++i) {
            const std::string& ip = ips[i];
            const auto fence = static_cast<std::uint64_t>(std::max<long long>(reply->element[i]->integer, 0));
            if (fence == 0) {
                if (leases_.lost(ip)) {
                    ++leasesLost_;
                    say("cluster %s: lease on %s lost to another hub", ip);
                }
                continue;
            }
            const bool fresh = !leases_.holds(ip) || leases_.fence(ip) != fence;
            leases_.held(ip, fence, sentAt);
            asked_.erase(ip);
            if (fresh)
                send(EncodeClusterMessage(ClusterEvent::Claim, options_.node, ip,
                    Bytes(reinterpret_cast<const std::uint8_t*>(std::to_string(fence).data()),
                        std::to_string(fence).size())));
        }
    });
}

void Cluster::tick()
{
    const auto now = std::chrono::steady_clock::now();
    if (now - lastTick_ > std::chrono::milliseconds(options_.heartbeatTtlMs)) {
        // Stopped longer than a lease: another hub may hold them all now.
        leases_.expireAll();
        leases_.setIsland(false);
        say("cluster %s: this hub stood still for %s ms; serving no system until its leases are renewed",
            std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now - lastTick_).count()));
        beat();
    } else {
        leases_.setIsland(!commands_->answering(kIslandAfter) || name_ != Name::Registered);
    }
    lastTick_ = now;
    flush();
    if (pullsInFlight_ == 0)
        writes_.clear();
    updateState();
}

void Cluster::heardFrom(const std::string& ip)
{
    if (leases_.holds(ip)) {
        heard_.insert(ip);
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    auto [asked, first] = asked_.try_emplace(ip, now);
    if (!first) {
        if (now - asked->second < std::chrono::milliseconds(kHeartbeatMs))
            return;
        asked->second = now;
    }
    wanted_.push_back(ip);
    schedulePump();
}

bool Cluster::serves(const SystemEntry& entry) const
{
    return leases_.serves(entry.IpAddress, std::chrono::steady_clock::now());
}

void Cluster::forwardReceived(Bytes packet, const std::string& fromIp, RelayStep step)
{
    send(EncodeClusterMessage(ClusterEvent::Report, options_.node, fromIp, packet, step));
}

void Cluster::send(std::string message)
{
    outbox_.add(message, !message.empty() && message[0] == static_cast<char>(ClusterEvent::Report),
        std::chrono::steady_clock::now());
    schedulePump();
}

void Cluster::schedulePump()
{
    if (pumpQueued_)
        return;
    pumpQueued_ = true;
    // Once per turn of the event loop: the reports of one readiness event go as one entry.
    QMetaObject::invokeMethod(this, &Cluster::pump, Qt::QueuedConnection);
}

void Cluster::pump()
{
    pumpQueued_ = false;
    if (!commands_->connected() || name_ != Name::Registered || !instanceKnown_)
        return;
    if (!wanted_.empty()) {
        std::vector<std::string> wanted;
        wanted.swap(wanted_);
        claim(wanted, true);
    }
    const auto now = std::chrono::steady_clock::now();
    const std::string start = std::to_string(start_);
    while (outbox_.inFlight() < kEntriesInFlight) {
        const ClusterOutbox::Entry* entry = outbox_.next(now);
        if (!entry)
            break;
        const std::string sequence = std::to_string(entry->sequence);
        const std::uint32_t reports = entry->reports;
        const bool sent = commands_->command({ "XADD", stream_, "MAXLEN", "~", kStreamLength, "*", "n", options_.node,
                                                 "i", start, "s", sequence, "m", entry->messages },
            [this, reports](const redisReply* reply) {
                if (!reply)
                    return;
                if (Failed(reply)) {
                    // A replica after a failover, or a Redis out of memory: sent again on a new connection.
                    ++writeFailures_;
                    commands_->reset(QString::fromStdString(Text(reply)));
                    return;
                }
                outbox_.acknowledged(std::chrono::steady_clock::now());
                published_ += reports;
                schedulePump();
            });
        if (!sent) {
            outbox_.unsend();
            break;
        }
    }
}

void Cluster::touch(const std::string& ip)
{
    if (!commands_->connected())
        changedAway_.insert(ip);
}

void Cluster::systemChanged(const SystemEntry& entry)
{
    if (applying_)
        return;
    dirtySystems_.insert(entry.IpAddress);
    touch(entry.IpAddress);
}

void Cluster::stationChanged(const SystemEntry& entry, std::size_t index)
{
    if (applying_)
        return;
    dirtyStations_[entry.IpAddress].insert(std::string(entry.Stations[index]));
    touch(entry.IpAddress);
}

void Cluster::systemHeard(const SystemEntry& entry)
{
    if (!applying_)
        touch(entry.IpAddress);
}

void Cluster::systemRemoved(const SystemEntry& entry)
{
    if (applying_)
        return;
    removed_.insert(entry.IpAddress);
    ++writes_[entry.IpAddress];
}

void Cluster::systemReaddressed(const SystemEntry& entry, const std::string& oldIp)
{
    if (applying_)
        return;
    removed_.insert(oldIp);
    ++writes_[oldIp];
    rewrite_.insert(entry.IpAddress);
}

void Cluster::tableCleared()
{
    if (applying_)
        return;
    clearPending_ = true;
    removed_.clear();
    rewrite_.clear();
    dirtySystems_.clear();
    dirtyStations_.clear();
    changedAway_.clear();
    shared_.clear();
    ++clears_;
}

void Cluster::forget(const std::string& ip)
{
    shared_.erase(ip);
    ++writes_[ip];
    dirtySystems_.erase(ip);
    dirtyStations_.erase(ip);
    removed_.erase(ip);
    rewrite_.erase(ip);
    changedAway_.erase(ip);
    asked_.erase(ip);
    heard_.erase(ip);
    leases_.forget(ip);
}

bool Cluster::flushRemovals()
{
    if (clearPending_) {
        if (!commands_->command(
                { "EVAL", kClearScript, "4", key("systems"), key("removed"), key("cleared"), key("version"), prefix_ },
                [this](const redisReply* reply) {
                    if (Failed(reply))
                        ++writeFailures_;
                    knownClear_ = std::max(knownClear_, Integer(reply));
                }))
            return false;
        clearPending_ = false;
        leases_.clear();
        send(EncodeClusterMessage(ClusterEvent::Cleared, options_.node, {}));
    }
    for (const std::string& ip : std::vector<std::string>(removed_.begin(), removed_.end())) {
        if (table_.FindSystem(ip)) {
            // Another entry has the address now: that one is the system.
            rewrite_.insert(ip);
        } else {
            if (!commands_->command(
                    { "EVAL", kRemoveScript, "6", key("system:" + ip), key("stations:" + ip), key("lease:" + ip),
                        key("systems"), key("removed"), key("version"), ip, kRemovedKept },
                    [this](const redisReply* reply) {
                        if (Failed(reply))
                            ++writeFailures_;
                    }))
                return false;
            send(EncodeClusterMessage(ClusterEvent::Removed, options_.node, ip));
            shared_.erase(ip);
            leases_.forget(ip);
            ++writes_[ip];
        }
        removed_.erase(ip);
    }
    for (const std::string& ip : std::vector<std::string>(rewrite_.begin(), rewrite_.end())) {
        const SystemEntry* entry = table_.FindSystem(ip);
        if (entry) {
            if (!commands_->command({ "DEL", key("stations:" + ip) }))
                return false;
            shared_.erase(ip);
            dirtySystems_.insert(ip);
            auto& stations = dirtyStations_[ip];
            for (std::string_view station : entry->Stations)
                stations.insert(std::string(station));
        }
        rewrite_.erase(ip);
    }
    return true;
}

void Cluster::flush()
{
    if (!commands_->connected() || name_ != Name::Registered || !flushRemovals()
        || (dirtySystems_.empty() && dirtyStations_.empty()))
        return;
    std::set<std::string> touched(dirtySystems_.begin(), dirtySystems_.end());
    for (const auto& [ip, stations] : dirtyStations_)
        touched.insert(ip);
    for (const std::string& ip : touched) {
        const SystemEntry* entry = table_.FindSystem(ip);
        const auto stations = dirtyStations_.find(ip);
        if (entry) {
            // Only the fields changed here: another hub's change to another
            // field stands. Fields and stations go in one step.
            const std::array<std::string, 7> fields = Fields(*entry);
            const auto known = shared_.find(ip);
            const bool system = dirtySystems_.contains(ip);
            std::vector<std::string> values;
            std::vector<std::string_view> arguments { "EVAL", kWriteScript, "4" };
            const std::string systemKey = key("system:" + ip), stationsKey = key("stations:" + ip);
            const std::string systemsKey = key("systems"), removedKey = key("removed");
            arguments.insert(arguments.end(), { systemKey, stationsKey, systemsKey, removedKey, ip });
            values.reserve(1 + (stations == dirtyStations_.end() ? 0 : stations->second.size()));
            values.emplace_back();
            arguments.push_back({});
            std::size_t changedFields = 0;
            for (std::size_t i = 0; system && i < fields.size(); ++i) {
                if (known == shared_.end() || known->second[i] != fields[i]) {
                    arguments.push_back(kFields[i]);
                    arguments.push_back(fields[i]);
                    ++changedFields;
                }
            }
            values[0] = std::to_string(changedFields);
            arguments[8] = values[0];
            std::string changedStations;
            if (stations != dirtyStations_.end()) {
                for (const std::string& station : stations->second) {
                    const std::ptrdiff_t index = entry->findStation(station);
                    if (index < 0)
                        continue;
                    values.push_back(std::to_string(entry->StationStates[static_cast<std::size_t>(index)]));
                    arguments.push_back(station);
                    arguments.push_back(values.back());
                    changedStations += station;
                    changedStations += '\0';
                }
            }
            if (!commands_->command(arguments, [this](const redisReply* reply) {
                    if (Failed(reply))
                        ++writeFailures_;
                }))
                return;
            if (system)
                shared_[ip] = fields;
            ++writes_[ip];
            send(EncodeClusterMessage(ClusterEvent::Changed, options_.node, ip,
                Bytes(reinterpret_cast<const std::uint8_t*>(changedStations.data()), changedStations.size())));
        }
        dirtySystems_.erase(ip);
        if (stations != dirtyStations_.end())
            dirtyStations_.erase(stations);
    }
}

void Cluster::resync()
{
    // Deletions made while away go first, so the pull below cannot bring them back.
    flushRemovals();
    auto shared = std::make_shared<std::vector<std::string>>();
    auto removed = std::make_shared<std::unordered_set<std::string>>();
    commands_->command({ "SMEMBERS", key("systems") }, [shared](const redisReply* reply) { *shared = ToList(reply); });
    commands_->command({ "ZRANGE", key("removed"), "0", "-1" }, [removed](const redisReply* reply) {
        for (std::string& ip : ToList(reply))
            removed->insert(std::move(ip));
    });
    commands_->command({ "GET", key("cleared") }, [this, shared, removed](const redisReply* reply) {
        if (reply)
            settle(*shared, *removed, Number64(Text(reply)));
    });
}

void Cluster::settle(
    const std::vector<std::string>& shared, const std::unordered_set<std::string>& removed, std::uint64_t cleared)
{
    const std::set<std::string> known(shared.begin(), shared.end());
    std::vector<std::string> gone;
    for (const SystemEntry& entry : table_.Systems()) {
        const std::string& ip = entry.IpAddress;
        if (known.contains(ip))
            continue;
        // Deleted or cleared away elsewhere, and not changed or heard here
        // since: the deletion stands. Otherwise (a Redis that lost its data,
        // a system new here) it goes up in full.
        const bool deleted = removed.contains(ip) || cleared > knownClear_;
        const bool changedHere = changedAway_.contains(ip) || dirtySystems_.contains(ip) || dirtyStations_.contains(ip);
        if (deleted && !changedHere) {
            gone.push_back(ip);
            continue;
        }
        shared_.erase(ip);
        dirtySystems_.insert(ip);
        auto& stations = dirtyStations_[ip];
        for (std::string_view station : entry.Stations)
            stations.insert(std::string(station));
    }
    knownClear_ = std::max(knownClear_, cleared);
    changedAway_.clear();
    if (!gone.empty()) {
        applying_ = true;
        for (const std::string& ip : gone) {
            table_.RemoveSystem(ip);
            forget(ip);
        }
        applying_ = false;
    }
    auto remaining = std::make_shared<std::size_t>(shared.size() + 1);
    auto finish = [this, remaining] {
        if (--*remaining > 0)
            return;
        flush();
        sweep();
        say("cluster %s: in step as node %s", options_.node + ", " + std::to_string(table_.size()) + " systems");
        emit synchronised();
    };
    for (const std::string& ip : shared)
        pullSystem(ip, finish);
    finish();
}

void Cluster::pullSystem(const std::string& ip, std::function<void()> done, int tries)
{
    auto fields = std::make_shared<Pairs>();
    const auto writes = writes_.find(ip);
    const std::uint64_t written = writes == writes_.end() ? 0 : writes->second;
    const std::uint64_t clears = clears_;
    const bool sent = commands_->command(
        { "HGETALL", key("system:" + ip) }, [fields](const redisReply* reply) { *fields = ToPairs(reply); });
    if (sent
        && commands_->command({ "HGETALL", key("stations:" + ip) },
            [this, ip, fields, done, written, clears, tries](const redisReply* reply) {
                --pullsInFlight_;
                // Read before a write or a deletion that this hub made or
                // heard of since: applied, it would undo that.
                const auto now = writes_.find(ip);
                if (reply && ((now != writes_.end() && now->second != written) || clears_ != clears)
                    && tries < kPullTries) {
                    pullSystem(ip, done, tries + 1);
                    return;
                }
                if (reply)
                    applySystem(ip, *fields, ToPairs(reply));
                if (done)
                    done();
            })) {
        ++pullsInFlight_;
    } else if (done) {
        done();
    }
}

void Cluster::applySystem(const std::string& ip, const Pairs& fields, const Pairs& stations)
{
    if (fields.empty())
        return;
    std::unordered_map<std::string, std::string> values(fields.begin(), fields.end());
    applying_ = true;
    SystemEntry* entry = table_.FindSystem(ip);
    const std::int32_t type = Number(values["type"], kTypeQvx);
    const std::int32_t endpoint = Number(values["endpoint"], kDefaultEndpointType);
    const std::int32_t port = Number(values["port"], kDefaultSystemPort);
    if (!entry)
        entry = &table_.AppendEntry(ip, values["name"], type, endpoint, port, values["toip"]);
    // Field by field, the last change wins: a field changed here and not yet
    // written is newer than what Redis has; every other one takes Redis's value.
    const std::array<std::string, 7> before = Fields(*entry);
    const auto found = shared_.find(ip);
    const bool known = found != shared_.end();
    std::array<std::string, 7>& base = known ? found->second : shared_[ip];
    const bool dirty = dirtySystems_.contains(ip);
    for (std::size_t field = 0; field < kFields.size(); ++field) {
        const auto value = values.find(kFields[field]);
        if (value == values.end())
            continue;
        const bool changedHere = dirty && (!known || base[field] != before[field]);
        base[field] = value->second;
        if (changedHere)
            continue;
        // Address and To IP are the table's keys, set when the entry is made.
        switch (field) {
        case 2:
            entry->Port = port;
            break;
        case 3:
            entry->Type = type;
            break;
        case 4:
            entry->EndpointType = endpoint;
            break;
        case 5:
            entry->Name = value->second;
            break;
        case 6:
            entry->Status = Number(value->second, entry->Status);
            break;
        default:
            break;
        }
    }
    if (Fields(*entry) != before)
        table_.notifyChanged(*entry);
    const auto mine = dirtyStations_.find(ip);
    for (const auto& [station, state] : stations) {
        if (mine == dirtyStations_.end() || !mine->second.contains(station))
            table_.SetStationStatus(ip, station, Number(state, -1));
    }
    applying_ = false;
    table_.RefreshSystemList();
}

void Cluster::onMessage(std::string_view bytes)
{
    const auto message = DecodeClusterMessage(bytes);
    if (!message || message->node == options_.node)
        return;
    switch (message->kind) {
    case ClusterEvent::Report:
        ++received_;
        if (!table_.FindSystem(message->system))
            pullSystem(message->system);
        hub_.forwardRemote(Bytes(reinterpret_cast<const std::uint8_t*>(message->packet.data()), message->packet.size()),
            message->system, message->step);
        break;
    case ClusterEvent::Claim:
        if (leases_.heldElsewhere(message->system, message->node, Number64(std::string(message->packet)))) {
            ++leasesLost_;
            say("cluster %s: lease on %s lost to another hub", message->system);
        }
        if (!table_.FindSystem(message->system))
            pullSystem(message->system);
        break;
    case ClusterEvent::Changed:
        pullSystem(message->system);
        break;
    case ClusterEvent::Removed:
        applying_ = true;
        table_.RemoveSystem(message->system);
        applying_ = false;
        forget(message->system);
        break;
    case ClusterEvent::Cleared:
        applying_ = true;
        table_.ClearAllSystems();
        applying_ = false;
        dirtySystems_.clear();
        dirtyStations_.clear();
        removed_.clear();
        rewrite_.clear();
        changedAway_.clear();
        shared_.clear();
        leases_.clear();
        ++clears_;
        commands_->command({ "GET", key("cleared") },
            [this](const redisReply* reply) { knownClear_ = std::max(knownClear_, Number64(Text(reply))); });
        break;
    }
}

} // namespace korvel
