#include "cluster.h"

#include "cluster/cluster_message.h"
#include "cluster/cluster_scripts.h"
#include "cluster/redis_connection.h"
#include "cluster/redis_reply.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace korvel {

namespace {

// Deletions remembered, so that a hub away meanwhile does not bring them back.
constexpr char kRemovedKept[] = "10000";
// A read of a system overtaken by a write is tried again at most this often.
constexpr int kPullTries = 5;

// The shared fields of a system, in this order.
constexpr std::array<const char*, 7> kFields { "ip", "toip", "port", "type", "endpoint", "name", "status" };

std::array<std::string, 7> Fields(const SystemEntry& entry)
{
    return { entry.IpAddress, entry.ToIp, std::to_string(entry.Port), std::to_string(entry.Type),
        std::to_string(entry.EndpointType), entry.Name, std::to_string(StatusNumber(entry.Status)) };
}

} // namespace

void Cluster::touch(const std::string& ip)
{
    if (!commands_->connected())
        changedAway_.insert(ip);
}

void Cluster::systemChanged(const SystemEntry& entry)
{
    owner_("systemChanged");
    if (applying_)
        return;
    dirtySystems_.insert(entry.IpAddress);
    touch(entry.IpAddress);
}

void Cluster::stationChanged(const SystemEntry& entry, std::size_t index)
{
    owner_("stationChanged");
    if (applying_)
        return;
    dirtyStations_[entry.IpAddress].insert(std::string(entry.Stations[index]));
    touch(entry.IpAddress);
}

void Cluster::systemHeard(const SystemEntry& entry)
{
    owner_("systemHeard");
    if (!applying_)
        touch(entry.IpAddress);
}

void Cluster::systemRemoved(const SystemEntry& entry)
{
    owner_("systemRemoved");
    if (applying_)
        return;
    removed_.insert(entry.IpAddress);
    ++writes_[entry.IpAddress];
}

void Cluster::systemReaddressed(const SystemEntry& entry, const std::string& oldIp)
{
    owner_("systemReaddressed");
    if (applying_)
        return;
    removed_.insert(oldIp);
    ++writes_[oldIp];
    rewrite_.insert(entry.IpAddress);
}

void Cluster::tableCleared()
{
    owner_("tableCleared");
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
                    if (ReplyFailed(reply))
                        ++writeFailures_;
                    knownClear_ = std::max(knownClear_, ReplyInteger(reply));
                }))
            return false;
        clearPending_ = false;
        leases_.clear();
        send(EncodeClusterMessage(ClusterEvent::Cleared, options_.node, {}));
    }
    for (const std::string& ip : std::vector<std::string>(removed_.begin(), removed_.end())) {
        if (table_.findSystem(ip)) {
            // Another entry has the address now: that one is the system.
            rewrite_.insert(ip);
        } else {
            if (!commands_->command(
                    { "EVAL", kRemoveScript, "6", key("system:" + ip), key("stations:" + ip), key("lease:" + ip),
                        key("systems"), key("removed"), key("version"), ip, kRemovedKept },
                    [this](const redisReply* reply) {
                        if (ReplyFailed(reply))
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
        const SystemEntry* entry = table_.findSystem(ip);
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
        const SystemEntry* entry = table_.findSystem(ip);
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
                    if (ReplyFailed(reply))
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
    commands_->command(
        { "SMEMBERS", key("systems") }, [shared](const redisReply* reply) { *shared = ReplyList(reply); });
    commands_->command({ "ZRANGE", key("removed"), "0", "-1" }, [removed](const redisReply* reply) {
        for (std::string& ip : ReplyList(reply))
            removed->insert(std::move(ip));
    });
    commands_->command({ "GET", key("cleared") }, [this, shared, removed](const redisReply* reply) {
        if (reply)
            settle(*shared, *removed, Number64(ReplyText(reply)));
    });
}

void Cluster::settle(
    const std::vector<std::string>& shared, const std::unordered_set<std::string>& removed, std::uint64_t cleared)
{
    const std::set<std::string> known(shared.begin(), shared.end());
    std::vector<std::string> gone;
    for (const SystemEntry& entry : table_.systems()) {
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
            table_.removeSystem(ip);
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
    const auto writes = writes_.find(ip);
    const std::uint64_t written = writes == writes_.end() ? 0 : writes->second;
    const std::uint64_t clears = clears_;
    const std::string systemKey = key("system:" + ip), stationsKey = key("stations:" + ip);
    if (commands_->command({ "EVAL", kReadSystemScript, "2", systemKey, stationsKey },
            [this, ip, done, written, clears, tries](const redisReply* reply) {
                --pullsInFlight_;
                // Read before a write or a deletion that this hub made or
                // heard of since: applied, it would undo that.
                const auto now = writes_.find(ip);
                if (reply && ((now != writes_.end() && now->second != written) || clears_ != clears)
                    && tries < kPullTries) {
                    pullSystem(ip, done, tries + 1);
                    return;
                }
                if (reply && reply->type == REDIS_REPLY_ARRAY && reply->elements == 2)
                    applySystem(ip, ReplyPairs(reply->element[0]), ReplyPairs(reply->element[1]));
                else if (ReplyFailed(reply))
                    say("cluster %s: reading a system: %s", ReplyText(reply));
                if (done)
                    done();
            })) {
        ++pullsInFlight_;
    } else if (done) {
        done();
    }
}

void Cluster::applySystem(const std::string& ip, const RedisPairs& fields, const RedisPairs& stations)
{
    if (fields.empty())
        return;
    std::unordered_map<std::string, std::string> values(fields.begin(), fields.end());
    applying_ = true;
    SystemEntry* entry = table_.findSystem(ip);
    const std::int32_t type = Number(values["type"], kTypeQvx);
    const std::int32_t endpoint = Number(values["endpoint"], kDefaultEndpointType);
    const std::int32_t port = Number(values["port"], kDefaultSystemPort);
    if (!entry)
        entry = &table_.appendEntry(ip, values["name"], type, endpoint, port, values["toip"]);
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
            entry->Status = SystemStatus { Number(value->second, StatusNumber(entry->Status)) };
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
            table_.setStationStatus(ip, station, Number(state, -1));
    }
    applying_ = false;
    table_.refreshSystemList();
}

} // namespace korvel
