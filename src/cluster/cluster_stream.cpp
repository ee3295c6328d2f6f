#include "cluster.h"

#include "cluster/cluster_message.h"
#include "cluster/redis_connection.h"
#include "cluster/redis_reply.h"
#include "relay/hub.h"

#include <hiredis/hiredis.h>

#include <QMetaObject>
#include <chrono>

namespace korvel {

namespace {

// A blocked read returns empty after this (the reading link's time-out is longer).
constexpr int kReadBlockMs = 1000;
// The stream keeps about this many entries; a hub unable to read for longer misses the oldest.
constexpr char kStreamLength[] = "10000";
constexpr char kReadCount[] = "32";
constexpr std::size_t kEntriesInFlight = 16;
// Reports held while this hub settles whether it serves their systems, and for how long at most.
constexpr std::size_t kHeldReports = 10000;
constexpr auto kHeldFor = std::chrono::milliseconds(5000);

} // namespace

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
            if (ReplyFailed(reply)) {
                say("cluster %s: reading the stream: %s", ReplyText(reply));
                reader_->reset(QString::fromStdString(ReplyText(reply)));
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
        lastId_ = ReplyText(entry->element[0]);
        std::string node;
        std::uint64_t start = 0, sequence = 0;
        std::string_view messages;
        const redisReply* fields = entry->element[1];
        for (std::size_t f = 0; f + 1 < fields->elements; f += 2) {
            const std::string name = ReplyText(fields->element[f]);
            const redisReply* value = fields->element[f + 1];
            if (name == "n")
                node = ReplyText(value);
            else if (name == "i")
                start = Number64(ReplyText(value));
            else if (name == "s")
                sequence = Number64(ReplyText(value));
            else if (name == "m" && value->type == REDIS_REPLY_STRING)
                messages = std::string_view(value->str, value->len);
        }
        if (node.empty() || node == options_.node || !seen_.fresh(node, start, sequence))
            continue;
        ClusterOutbox::ForEachMessage(messages, [this](std::string_view message) { onMessage(message); });
    }
}

void Cluster::forwardReceived(Bytes packet, const std::string& fromIp, RelayStep step)
{
    owner_("forwardReceived");
    hold(packet, fromIp, step);
    send(EncodeClusterMessage(ClusterEvent::Report, options_.node, fromIp, packet, step));
}

void Cluster::hold(Bytes packet, const std::string& sender, RelayStep step)
{
    if (unsettled_.empty())
        return;
    held_.push_back(Held { std::vector<std::uint8_t>(packet.begin(), packet.end()), sender, step, std::move(unsettled_),
        std::chrono::steady_clock::now() });
    unsettled_.clear();
    if (held_.size() > kHeldReports) {
        held_.pop_front();
        ++heldDropped_;
    }
}

void Cluster::releaseHeld()
{
    // Each system gets what was held for it in order: it becomes served only
    // here, in a claim's answer or at a tick, and every held report is looked at.
    const auto now = std::chrono::steady_clock::now();
    for (auto held = held_.begin(); held != held_.end();) {
        std::vector<std::string> ready, waiting;
        for (std::string& ip : held->systems) {
            if (leases_.serves(ip, now))
                ready.push_back(std::move(ip));
            else if (settling(ip, now))
                waiting.push_back(std::move(ip));
        }
        if (!ready.empty()) {
            releasing_ = &ready;
            hub_.forwardRemote(held->packet, held->sender, held->step);
            releasing_ = nullptr;
        }
        held->systems = std::move(waiting);
        if (!held->systems.empty() && now - held->at > kHeldFor)
            ++heldDropped_;
        else if (!held->systems.empty()) {
            ++held;
            continue;
        }
        held = held_.erase(held);
    }
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
                if (ReplyFailed(reply)) {
                    // A replica after a failover, or a Redis out of memory: sent again on a new connection.
                    ++writeFailures_;
                    commands_->reset(QString::fromStdString(ReplyText(reply)));
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

void Cluster::onMessage(std::string_view bytes)
{
    const auto message = DecodeClusterMessage(bytes);
    if (!message || message->node == options_.node)
        return;
    switch (message->kind) {
    case ClusterEvent::Report: {
        ++received_;
        if (!table_.findSystem(message->system))
            pullSystem(message->system);
        const Bytes packet(reinterpret_cast<const std::uint8_t*>(message->packet.data()), message->packet.size());
        unsettled_.clear();
        hub_.forwardRemote(packet, message->system, message->step);
        hold(packet, message->system, message->step);
        break;
    }
    case ClusterEvent::Claim:
        if (leases_.heldElsewhere(message->system, message->node, Number64(std::string(message->packet)))) {
            ++leasesLost_;
            say("cluster %s: lease on %s lost to another hub", message->system);
        }
        if (!table_.findSystem(message->system))
            pullSystem(message->system);
        break;
    case ClusterEvent::Changed:
        pullSystem(message->system);
        break;
    case ClusterEvent::Removed:
        applying_ = true;
        table_.removeSystem(message->system);
        applying_ = false;
        forget(message->system);
        break;
    case ClusterEvent::Cleared:
        applying_ = true;
        table_.clearAllSystems();
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
            [this](const redisReply* reply) { knownClear_ = std::max(knownClear_, Number64(ReplyText(reply))); });
        break;
    }
}

} // namespace korvel
