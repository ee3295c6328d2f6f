#include "cluster.h"

#include "cluster/cluster_message.h"
#include "cluster/cluster_scripts.h"
#include "cluster/redis_connection.h"
#include "cluster/redis_reply.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <chrono>

namespace korvel {

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
        say("cluster %s: heartbeat refused: %s", ReplyText(reply));
        return;
    }
    if (reply->element[0]->integer == 1 && reply->elements == 3) {
        // Alive: beaten within a lease by Redis's clock. A hub Redis has
        // forgotten altogether (it lost its data) gets a lease to beat again.
        const auto seen = std::chrono::steady_clock::now();
        const std::uint64_t now = ReplyInteger(reply->element[1]);
        std::set<std::string> alive { options_.node };
        const RedisPairs beats = ReplyPairs(reply->element[2]);
        const auto lease = std::chrono::milliseconds(options_.heartbeatTtlMs);
        // This hub could not beat for a lease either (Redis away, frozen or
        // failing over): nor could the others, who get a lease from now to beat again.
        if (lastBeat_ != std::chrono::steady_clock::time_point {} && seen - lastBeat_ > lease) {
            for (auto& [node, at] : lastSeen_)
                at = seen;
        }
        lastBeat_ = seen;
        for (const auto& [node, at] : beats) {
            if (Number64(at) + static_cast<std::uint64_t>(options_.heartbeatTtlMs) >= now) {
                alive.insert(node);
                // When it beat, on this hub's clock.
                lastSeen_[node] = seen - std::chrono::milliseconds(now - std::min(now, Number64(at)));
            }
        }
        // A hub whose last beat is old is gone once it has had its lease to beat again.
        for (auto node = lastSeen_.begin(); node != lastSeen_.end();) {
            if (alive.contains(node->first)) {
                ++node;
            } else if (seen - node->second > lease) {
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
                      if (!last || ReplyFailed(last))
                          return;
                      lastId_ = last->type == REDIS_REPLY_ARRAY && last->elements > 0 && last->element[0]->elements > 0
                          ? ReplyText(last->element[0]->element[0])
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
        leases_.setIsland(false);
        say("cluster %s: another live hub took the node name %s; serving no system until it is free", options_.node);
    } else if (name_ == Name::Unregistered) {
        // A hub killed a moment ago holds it for one more lease at most;
        // one that still holds it after that is alive.
        if (nameTakenSince_ == std::chrono::steady_clock::time_point {})
            nameTakenSince_ = now;
        else if (now - nameTakenSince_ > std::chrono::milliseconds(options_.heartbeatTtlMs + kHeartbeatMs)) {
            const std::string reason = "cluster " + where() + ": another live hub is named " + options_.node
                + "; give each hub its own --node";
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
    for (const SystemEntry& entry : table_.systems()) {
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
    if (!commands_->command(arguments, [this, ips, sentAt](const redisReply* reply) {
            for (const std::string& ip : ips) {
                if (const auto at = claiming_.find(ip); at != claiming_.end() && --at->second == 0)
                    claiming_.erase(at);
            }
            claimed(ips, sentAt, reply);
        }))
        return;
    for (const std::string& ip : ips)
        ++claiming_[ip];
}

void Cluster::claimed(
    const std::vector<std::string>& ips, std::chrono::steady_clock::time_point sentAt, const redisReply* reply)
{
    if (!reply || reply->type != REDIS_REPLY_ARRAY || reply->elements != ips.size()) {
        if (reply)
            ++writeFailures_;
        releaseHeld();
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
    releaseHeld();
}

void Cluster::heardFrom(const std::string& ip)
{
    owner_("heardFrom");
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
    owner_("serves");
    const auto now = std::chrono::steady_clock::now();
    if (releasing_)
        return std::find(releasing_->begin(), releasing_->end(), entry.IpAddress) != releasing_->end()
            && leases_.serves(entry.IpAddress, now);
    if (leases_.serves(entry.IpAddress, now))
        return true;
    if (settling(entry.IpAddress, now))
        unsettled_.push_back(entry.IpAddress);
    return false;
}

bool Cluster::settling(const std::string& ip, std::chrono::steady_clock::time_point now) const
{
    return !leases_.island() && !leases_.serves(ip, now) && (leases_.holds(ip) || claiming_.contains(ip));
}

} // namespace korvel
