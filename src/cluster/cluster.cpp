#include "cluster.h"

#include "cluster/cluster_message.h"
#include "cluster/redis_link.h"
#include "relay/hub.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

namespace korvel {

namespace {

constexpr int kHeartbeatMs = 1000;
constexpr int kFlushMs = 100;
// The owners are read back now and then to mend claims missed while a
// message was lost; the channel keeps them current in between.
constexpr int kBeatsPerOwnerRead = 10;

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

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t Number64(const std::string& text)
{
    try {
        return std::stoll(text);
    } catch (...) {
        return 0;
    }
}

// Empties the shared table in one step, so that no write of another command
// lands between reading the members and deleting them.
constexpr char kClearScript[] = R"(local members = redis.call('SMEMBERS', KEYS[1])
for _, ip in ipairs(members) do
  redis.call('DEL', ARGV[1] .. 'system:' .. ip, ARGV[1] .. 'stations:' .. ip)
end
redis.call('DEL', KEYS[1], KEYS[2])
redis.call('SET', KEYS[3], ARGV[2])
return #members)";

// The shared fields of a system, in this order.
constexpr std::array<const char*, 7> kFields { "ip", "toip", "port", "type", "endpoint", "name", "status" };

std::array<std::string, 7> Fields(const SystemEntry& entry)
{
    return { entry.IpAddress, entry.ToIp, std::to_string(entry.Port), std::to_string(entry.Type),
        std::to_string(entry.EndpointType), entry.Name, std::to_string(entry.Status) };
}

std::uint64_t Fnv(const std::string& node, const std::string& ip)
{
    std::uint64_t hash = 14695981039346656037ull;
    auto mix = [&](const std::string& text) {
        for (unsigned char c : text) {
            hash ^= c;
            hash *= 1099511628211ull;
        }
    };
    mix(node);
    mix("\n");
    mix(ip);
    return hash;
}

} // namespace

Cluster::Cluster(Hub& hub, ClusterOptions options, QObject* parent)
    : QObject(parent)
    , hub_(hub)
    , table_(hub.table())
    , options_(std::move(options))
    , prefix_(options_.name + ":")
    , channel_(prefix_ + "events")
    , commands_(new RedisLink(options_.host, options_.port, options_.database, this))
    , messages_(new RedisLink(options_.host, options_.port, options_.database, this))
{
    alive_.insert(options_.node);
    heartbeat_.setInterval(kHeartbeatMs);
    connect(&heartbeat_, &QTimer::timeout, this, &Cluster::beat);
    flush_.setInterval(kFlushMs);
    connect(&flush_, &QTimer::timeout, this, &Cluster::flush);
    connect(commands_, &RedisLink::up, this, &Cluster::linkUp);
    connect(commands_, &RedisLink::down, this, &Cluster::linkDown);
    connect(messages_, &RedisLink::up, this,
        [this] { messages_->subscribe({ channel_ }, [this](const redisReply* reply) { onMessage(reply); }); });
}

Cluster::~Cluster()
{
    if (hub_.relayPeer() == this)
        hub_.setRelayPeer(nullptr);
    table_.removeChangeObserver(this);
}

void Cluster::start()
{
    hub_.setRelayPeer(this);
    table_.addChangeObserver(this);
    heartbeat_.start();
    flush_.start();
    commands_->start();
    messages_->start();
}

const char* Cluster::stateText() const
{
    switch (state_) {
    case State::Connecting:
        return "connecting";
    case State::Connected:
        return "connected";
    case State::Disconnected:
        return "disconnected";
    }
    return "";
}

void Cluster::setState(State state)
{
    if (state_ == state)
        return;
    state_ = state;
    emit stateChanged();
}

void Cluster::linkUp()
{
    setState(State::Connected);
    std::fprintf(stderr, "korvel: cluster %s:%d: connected as node %s\n", options_.host.c_str(), options_.port,
        options_.node.c_str());
    std::fflush(stderr);
    everConnected_ = true;
    // Liveness stood still while Redis was away; the others get a whole
    // time-to-live to beat again before their systems are taken over.
    const auto now = std::chrono::steady_clock::now();
    for (const std::string& node : alive_)
        lastSeen_[node] = now;
    beat();
    resync();
}

void Cluster::linkDown()
{
    setState(State::Disconnected);
    std::fprintf(stderr, "korvel: cluster %s:%d: %s; relaying locally, reconnecting\n", options_.host.c_str(),
        options_.port, qPrintable(commands_->lastError()));
    std::fflush(stderr);
}

void Cluster::beat()
{
    if (!commands_->connected()) {
        // Said once, the first time Redis cannot be reached at start.
        if (state_ == State::Connecting && !commands_->lastError().isEmpty()) {
            setState(State::Disconnected);
            std::fprintf(stderr, "korvel: cluster %s:%d: %s; relaying locally, reconnecting\n", options_.host.c_str(),
                options_.port, qPrintable(commands_->lastError()));
            std::fflush(stderr);
        }
        return;
    }
    const std::string ttl = std::to_string(options_.heartbeatTtlMs);
    commands_->command({ "SET", key("hub:" + options_.node), "1", "PX", ttl });
    commands_->command({ "SADD", key("hubs"), options_.node });
    commands_->command({ "SMEMBERS", key("hubs") }, [this](const redisReply* reply) {
        const std::vector<std::string> members = ToList(reply);
        if (members.empty())
            return;
        std::vector<std::string> keys;
        for (const std::string& member : members)
            keys.push_back(key("hub:" + member));
        std::vector<std::string_view> arguments { "MGET" };
        arguments.insert(arguments.end(), keys.begin(), keys.end());
        commands_->command(arguments, [this, members](const redisReply* beats) {
            if (!beats || beats->type != REDIS_REPLY_ARRAY || beats->elements != members.size())
                return;
            const auto now = std::chrono::steady_clock::now();
            for (std::size_t i = 0; i < members.size(); ++i) {
                if (beats->element[i]->type != REDIS_REPLY_NIL)
                    lastSeen_[members[i]] = now;
            }
            // A hub is gone once its heartbeat has been missing for a whole
            // time-to-live, not at the first read that misses it.
            std::set<std::string> alive { options_.node };
            for (const auto& [node, seen] : lastSeen_) {
                if (now - seen < std::chrono::milliseconds(options_.heartbeatTtlMs))
                    alive.insert(node);
            }
            alive_ = std::move(alive);
        });
    });
    if (++beats_ % kBeatsPerOwnerRead == 0) {
        freshClaims_.clear();
        commands_->command({ "HGETALL", key("owners") }, [this](const redisReply* reply) { readOwners(reply); });
    }
}

void Cluster::readOwners(const redisReply* reply)
{
    if (!reply)
        return;
    for (auto& [ip, node] : ToPairs(reply)) {
        if (!freshClaims_.contains(ip))
            setOwner(ip, node);
    }
}

void Cluster::setOwner(const std::string& ip, const std::string& node)
{
    std::string& owner = owners_[ip];
    if (owner == node)
        return;
    if (owner == options_.node)
        --owned_;
    else if (node == options_.node)
        ++owned_;
    owner = node;
}

std::string Cluster::servingNode(const std::string& ip) const
{
    const auto owner = owners_.find(ip);
    if (owner != owners_.end() && (owner->second == options_.node || alive_.contains(owner->second)))
        return owner->second;
    // Its hub is gone or it never spoke: the live hub that ranks highest for
    // this address takes it, the same one on every hub.
    std::string best;
    std::uint64_t bestHash = 0;
    for (const std::string& node : alive_) {
        const std::uint64_t hash = Fnv(node, ip);
        if (best.empty() || hash > bestHash) {
            best = node;
            bestHash = hash;
        }
    }
    return best;
}

bool Cluster::serves(const SystemEntry& entry) const
{
    const auto owner = owners_.find(entry.IpAddress);
    if (owner != owners_.end()) {
        if (owner->second == options_.node)
            return true;
        if (alive_.contains(owner->second))
            return false;
    }
    return servingNode(entry.IpAddress) == options_.node;
}

void Cluster::heardFrom(const std::string& ip)
{
    const auto owner = owners_.find(ip);
    if (owner == owners_.end() || owner->second != options_.node)
        claim(ip);
}

void Cluster::claim(const std::string& ip)
{
    setOwner(ip, options_.node);
    freshClaims_.insert(ip);
    if (commands_->command({ "HSET", key("owners"), ip, options_.node })
        && commands_->command({ "PUBLISH", channel_, EncodeClusterMessage(ClusterEvent::Claim, options_.node, ip) })) {
        unsentClaims_.erase(ip);
    } else {
        unsentClaims_.insert(ip);
    }
}

void Cluster::forwardReceived(Bytes packet, const std::string& fromIp, RelayStep step)
{
    // Lost while Redis is away: the other hubs' systems miss it, as they
    // would miss it from a hub that is down.
    if (commands_->command(
            { "PUBLISH", channel_, EncodeClusterMessage(ClusterEvent::Report, options_.node, fromIp, packet, step) }))
        ++published_;
}

void Cluster::touch(const std::string& ip)
{
    changedAt_[ip] = NowMs();
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
    changedAt_.clear();
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
    changedAt_.erase(ip);
}

bool Cluster::flushRemovals()
{
    if (clearPending_) {
        const std::string now = std::to_string(NowMs());
        if (!commands_->command(
                { "EVAL", kClearScript, "3", key("systems"), key("removed"), key("cleared"), prefix_, now })
            || !commands_->command(
                { "PUBLISH", channel_, EncodeClusterMessage(ClusterEvent::Cleared, options_.node, {}) }))
            return false;
        clearPending_ = false;
    }
    for (const std::string& ip : std::vector<std::string>(removed_.begin(), removed_.end())) {
        if (table_.FindSystem(ip)) {
            // Another entry has the address now: that one is the system.
            rewrite_.insert(ip);
        } else {
            const std::string now = std::to_string(NowMs());
            if (!commands_->command({ "DEL", key("system:" + ip), key("stations:" + ip) })
                || !commands_->command({ "SREM", key("systems"), ip })
                || !commands_->command({ "HSET", key("removed"), ip, now })
                || !commands_->command(
                    { "PUBLISH", channel_, EncodeClusterMessage(ClusterEvent::Removed, options_.node, ip) }))
                return false;
            shared_.erase(ip);
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
    if (!commands_->connected() || !flushRemovals() || (dirtySystems_.empty() && dirtyStations_.empty()))
        return;
    std::set<std::string> touched(dirtySystems_.begin(), dirtySystems_.end());
    for (const auto& [ip, stations] : dirtyStations_)
        touched.insert(ip);
    for (const std::string& ip : touched) {
        const SystemEntry* entry = table_.FindSystem(ip);
        const auto stations = dirtyStations_.find(ip);
        std::string changedStations;
        if (entry && dirtySystems_.contains(ip)) {
            // Only the fields changed here: another hub's change to another
            // field stands.
            const std::array<std::string, 7> fields = Fields(*entry);
            const auto known = shared_.find(ip);
            const std::string systemKey = key("system:" + ip);
            std::vector<std::string_view> arguments { "HSET", systemKey };
            for (std::size_t i = 0; i < fields.size(); ++i) {
                if (known == shared_.end() || known->second[i] != fields[i]) {
                    arguments.push_back(kFields[i]);
                    arguments.push_back(fields[i]);
                }
            }
            if ((arguments.size() > 2 && !commands_->command(arguments))
                || !commands_->command({ "SADD", key("systems"), ip }))
                return;
            shared_[ip] = fields;
            ++writes_[ip];
        }
        if (entry && stations != dirtyStations_.end()) {
            std::vector<std::string> states;
            std::vector<std::string_view> arguments;
            const std::string stationsKey = key("stations:" + ip);
            arguments.push_back("HSET");
            arguments.push_back(stationsKey);
            states.reserve(stations->second.size());
            for (const std::string& station : stations->second) {
                const std::ptrdiff_t index = entry->findStation(station);
                if (index < 0)
                    continue;
                states.push_back(std::to_string(entry->StationStates[static_cast<std::size_t>(index)]));
                arguments.push_back(station);
                arguments.push_back(states.back());
                changedStations += station;
                changedStations += '\0';
            }
            if (arguments.size() > 2 && !commands_->command(arguments))
                return;
            ++writes_[ip];
        }
        if (entry)
            commands_->command({ "PUBLISH", channel_,
                EncodeClusterMessage(ClusterEvent::Changed, options_.node, ip,
                    Bytes(reinterpret_cast<const std::uint8_t*>(changedStations.data()), changedStations.size())) });
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
    auto removed = std::make_shared<std::unordered_map<std::string, std::int64_t>>();
    commands_->command({ "SMEMBERS", key("systems") }, [shared](const redisReply* reply) { *shared = ToList(reply); });
    commands_->command({ "HGETALL", key("removed") }, [removed](const redisReply* reply) {
        for (const auto& [ip, when] : ToPairs(reply))
            (*removed)[ip] = Number64(when);
    });
    commands_->command({ "GET", key("cleared") }, [this, shared, removed](const redisReply* reply) {
        if (reply)
            settle(*shared, *removed, Number64(Text(reply)));
    });
}

void Cluster::settle(const std::vector<std::string>& shared,
    const std::unordered_map<std::string, std::int64_t>& removed, std::int64_t clearedAt)
{
    const std::set<std::string> known(shared.begin(), shared.end());
    std::vector<std::string> gone;
    for (const SystemEntry& entry : table_.Systems()) {
        const std::string& ip = entry.IpAddress;
        if (known.contains(ip))
            continue;
        // Deleted elsewhere after this hub last changed or heard it: the
        // deletion is the last change. Otherwise it goes up in full.
        const auto deleted = removed.find(ip);
        const std::int64_t deletedAt = std::max(clearedAt, deleted == removed.end() ? 0 : deleted->second);
        const auto changed = changedAt_.find(ip);
        if (deletedAt > 0 && (changed == changedAt_.end() || changed->second <= deletedAt)) {
            gone.push_back(ip);
            continue;
        }
        shared_.erase(ip);
        dirtySystems_.insert(ip);
        auto& stations = dirtyStations_[ip];
        for (std::string_view station : entry.Stations)
            stations.insert(std::string(station));
    }
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
        // Own systems go back where nobody claimed them meanwhile (a Redis
        // that came back empty); a newer claim by another hub stands.
        for (const auto& [ip, node] : owners_) {
            if (node == options_.node && !unsentClaims_.contains(ip))
                commands_->command({ "HSETNX", key("owners"), ip, node });
        }
        freshClaims_.clear();
        commands_->command({ "HGETALL", key("owners") }, [this](const redisReply* owners) {
            readOwners(owners);
            for (const std::string& ip : std::vector<std::string>(unsentClaims_.begin(), unsentClaims_.end()))
                claim(ip);
            std::fprintf(stderr, "korvel: cluster %s:%d: in step as node %s, %zu systems\n", options_.host.c_str(),
                options_.port, options_.node.c_str(), table_.size());
            std::fflush(stderr);
            emit synchronised();
        });
    };
    for (const std::string& ip : shared)
        pullSystem(ip, finish);
    finish();
}

void Cluster::pullSystem(const std::string& ip, std::function<void()> done)
{
    auto fields = std::make_shared<Pairs>();
    const auto writes = writes_.find(ip);
    const std::uint64_t written = writes == writes_.end() ? 0 : writes->second;
    const std::uint64_t clears = clears_;
    const bool sent = commands_->command(
        { "HGETALL", key("system:" + ip) }, [fields](const redisReply* reply) { *fields = ToPairs(reply); });
    if (!sent
        || !commands_->command(
            { "HGETALL", key("stations:" + ip) }, [this, ip, fields, done, written, clears](const redisReply* reply) {
                // Read before a write or a deletion that this hub made or
                // heard of since: applied, it would undo that.
                const auto now = writes_.find(ip);
                if (reply && ((now != writes_.end() && now->second != written) || clears_ != clears)) {
                    pullSystem(ip, done);
                    return;
                }
                if (reply)
                    applySystem(ip, *fields, ToPairs(reply));
                if (done)
                    done();
            })) {
        if (done)
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

void Cluster::onMessage(const redisReply* reply)
{
    if (!reply || reply->type != REDIS_REPLY_ARRAY || reply->elements != 3 || Text(reply->element[0]) != "message")
        return;
    const redisReply* payload = reply->element[2];
    if (payload->type != REDIS_REPLY_STRING)
        return;
    const auto message = DecodeClusterMessage(std::string_view(payload->str, payload->len));
    if (!message || message->node == options_.node)
        return;
    // A hub that speaks is alive, whatever the last heartbeat read said.
    alive_.insert(message->node);
    lastSeen_[message->node] = std::chrono::steady_clock::now();
    switch (message->kind) {
    case ClusterEvent::Report:
        ++received_;
        setOwner(message->system, message->node);
        if (!table_.FindSystem(message->system))
            pullSystem(message->system);
        hub_.forwardRemote(Bytes(reinterpret_cast<const std::uint8_t*>(message->packet.data()), message->packet.size()),
            message->system, message->step);
        break;
    case ClusterEvent::Claim:
        setOwner(message->system, message->node);
        freshClaims_.erase(message->system);
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
        changedAt_.clear();
        shared_.clear();
        ++clears_;
        break;
    }
}

} // namespace korvel
