#pragma once

#include "base/thread_check.h"
#include "cluster/cluster_options.h"
#include "cluster/cluster_outbox.h"
#include "cluster/lease_book.h"
#include "relay/relay_peer.h"
#include "store/system_table.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>

struct redisReply;

namespace korvel {

class Hub;
class RedisConnection;

// This hub's place among the others: shares the table through Redis, relays
// status reports both ways through a Redis stream, and serves a system only
// while it holds the system's lease. Lives on the hub's thread, which checks
// every call from the hub and the table. Redis being
// away only stops the sharing; the hub relays locally all the same, keeps
// what the others must hear, and catches up when Redis is back.
class Cluster : public QObject, public RelayPeer, public SystemChangeObserver {
    Q_OBJECT

public:
    enum class State { Connecting, Connected, Degraded, Disconnected };
    // The cluster's two connections: one for commands, one that blocks reading the stream.
    enum class LinkRole { Commands, Reader };
    using LinkFactory
        = std::function<std::unique_ptr<RedisConnection>(LinkRole role, std::chrono::milliseconds replyTimeout)>;

    // Connects to the Redis (or the Sentinels) of `options`.
    Cluster(Hub& hub, ClusterOptions options, QObject* parent = nullptr);
    Cluster(Hub& hub, ClusterOptions options, const LinkFactory& links, QObject* parent = nullptr);
    ~Cluster() override;

    void start();
    const std::string& node() const { return options_.node; }
    State state() const { return state_; }
    // "connecting", "connected", "degraded" or "disconnected".
    const char* stateText() const;
    // Why the hub is not fully in the cluster; empty when it is.
    std::string problem() const;
    // Hubs whose heartbeat was seen last, this one included.
    const std::set<std::string>& liveNodes() const { return alive_; }
    // The node holding `ip`'s lease as far as this hub knows; empty if none.
    std::string servingNode(const std::string& ip) const { return leases_.holder(ip, options_.node); }
    // Systems whose lease this hub holds.
    std::size_t systemsOwned() const { return leases_.size(); }
    // Packets handed to the other hubs, and taken from them, since start-up.
    std::uint64_t published() const { return published_; }
    std::uint64_t received() const { return received_; }
    // Leases this hub held and found taken or gone, since start-up.
    std::uint64_t leasesLost() const { return leasesLost_; }
    // Messages for the other hubs dropped unsent (queue full or too old), and waiting now.
    std::uint64_t queueDropped() const { return outbox_.dropped(); }
    std::size_t queued() const { return outbox_.queued(); }
    // Writes to Redis that it refused, since start-up.
    std::uint64_t writeFailures() const { return writeFailures_; }
    // Reports held back while this hub settled whether it serves a system,
    // and dropped unforwarded for the count or the age bound, since start-up.
    std::uint64_t heldDropped() const { return heldDropped_; }

    // RelayPeer
    void heardFrom(const std::string& ip) override;
    void forwardReceived(Bytes packet, const std::string& fromIp, RelayStep step) override;
    bool serves(const SystemEntry& entry) const override;

    // SystemChangeObserver
    void systemChanged(const SystemEntry& entry) override;
    void stationChanged(const SystemEntry& entry, std::size_t index) override;
    void systemHeard(const SystemEntry& entry) override;
    void systemRemoved(const SystemEntry& entry) override;
    void systemReaddressed(const SystemEntry& entry, const std::string& oldIp) override;
    void tableCleared() override;

signals:
    // Every pull from Redis has been applied after a (re)connection.
    void synchronised();
    void stateChanged();
    // Another live hub has this hub's node name: it must not start.
    void refused(const QString& reason);

private:
    static constexpr int kHeartbeatMs = 1000;

    // A report taken in while this hub did not yet know whether it serves
    // some of its systems: forwarded to each of them that it turns out to serve.
    struct Held {
        std::vector<std::uint8_t> packet;
        std::string sender;
        RelayStep step;
        std::vector<std::string> systems;
        std::chrono::steady_clock::time_point at;
    };

    std::string key(const std::string& suffix) const { return prefix_ + suffix; }
    void linkUp();
    void linkDown();
    void readerUp();
    void readNext();
    void onEntries(const redisReply* reply);
    void updateState();
    void beat();
    void registered(const redisReply* reply);
    void renewLeases();
    void sweep();
    void claim(const std::vector<std::string>& ips, bool heard);
    void claimed(
        const std::vector<std::string>& ips, std::chrono::steady_clock::time_point sentAt, const redisReply* reply);
    void tick();
    void send(std::string message);
    void schedulePump();
    void pump();
    void flush();
    void resync();
    void settle(
        const std::vector<std::string>& shared, const std::unordered_set<std::string>& removed, std::uint64_t cleared);
    bool flushRemovals();
    void touch(const std::string& ip);
    void forget(const std::string& ip);
    void pullSystem(const std::string& ip, std::function<void()> done = {}, int tries = 0);
    void applySystem(const std::string& ip, const std::vector<std::pair<std::string, std::string>>& fields,
        const std::vector<std::pair<std::string, std::string>>& stations);
    void onMessage(std::string_view bytes);
    void setState(State state);
    void say(const char* format, const std::string& text = {}) const;
    // HOST:PORT of the Redis the hub talks to, for the trace.
    std::string where() const;
    // Whether this hub is about to learn if it serves `ip`: its own lease ran
    // out and is being renewed, or a claim is under way.
    bool settling(const std::string& ip, std::chrono::steady_clock::time_point now) const;
    void hold(Bytes packet, const std::string& sender, RelayStep step);
    void releaseHeld();

    Hub& hub_;
    SystemTable& table_;
    ClusterOptions options_;
    std::string prefix_;
    std::string stream_;
    // This run's start (ms), and the data folder's token: who holds the node name.
    std::uint64_t start_;
    std::string token_;
    std::unique_ptr<RedisConnection> commands_;
    std::unique_ptr<RedisConnection> reader_;
    QTimer heartbeat_;
    QTimer tick_;
    State state_ = State::Connecting;
    // Whether the start's outcome (up, or unreachable) has been said.
    bool startSaid_ = false;
    enum class Name { Unregistered, Registered, Taken } name_ = Name::Unregistered;
    std::chrono::steady_clock::time_point nameTakenSince_;
    bool applying_ = false;
    bool pumpQueued_ = false;
    bool beatPending_ = false;
    bool reading_ = false;
    // Whether the Redis written to is the one of the last connection.
    bool instanceKnown_ = false;
    std::string runId_;
    // The last stream entry read.
    std::string lastId_;
    bool askedLastId_ = false;
    // Connected again: the table is pulled once the node name is this hub's.
    bool resyncDue_ = false;
    std::size_t pullsInFlight_ = 0;
    // Systems heard from that another hub holds or nobody does: asked for at the next turn.
    std::vector<std::string> wanted_;
    std::chrono::steady_clock::time_point lastTick_;
    // When Redis last answered this hub's heartbeat.
    std::chrono::steady_clock::time_point lastBeat_;

    LeaseBook leases_;
    ClusterOutbox outbox_;
    SeenEntries seen_;
    // Systems heard since the last renewal; their leases stay with this hub.
    std::unordered_set<std::string> heard_;
    // When this hub last asked for a system's lease; asked again a beat later at the soonest.
    std::unordered_map<std::string, std::chrono::steady_clock::time_point> asked_;
    std::set<std::string> alive_;
    std::unordered_map<std::string, std::chrono::steady_clock::time_point> lastSeen_;
    std::unordered_set<std::string> dirtySystems_;
    std::unordered_map<std::string, std::set<std::string>> dirtyStations_;
    // Deleted here (or re-keyed away) and not yet written; an address that
    // still has an entry at the flush is written afresh instead.
    std::unordered_set<std::string> removed_;
    // To be written whole, its old stations dropped.
    std::unordered_set<std::string> rewrite_;
    bool clearPending_ = false;
    // Systems changed or heard here while away from Redis: a deletion this
    // hub missed meanwhile does not remove them.
    std::unordered_set<std::string> changedAway_;
    // Per system, the shared fields as Redis has them as far as this hub
    // knows: a field that differs from it was changed here and is written
    // alone, and is kept when Redis brings another value before it is.
    std::unordered_map<std::string, std::array<std::string, 7>> shared_;
    // Writes and deletions of each system, and table clears, made or heard
    // of here; a read of Redis that one of them overtook is read again.
    std::unordered_map<std::string, std::uint64_t> writes_;
    std::uint64_t clears_ = 0;
    // The newest clear of the shared table this hub has taken part in (Redis's version).
    std::uint64_t knownClear_ = 0;
    std::uint64_t published_ = 0;
    std::uint64_t received_ = 0;
    std::uint64_t leasesLost_ = 0;
    std::uint64_t writeFailures_ = 0;
    // Systems a forward skipped as settling, gathered by serves() for the packet being forwarded.
    mutable std::vector<std::string> unsettled_;
    // While held reports go out: the systems they are for.
    const std::vector<std::string>* releasing_ = nullptr;
    std::deque<Held> held_;
    std::unordered_map<std::string, int> claiming_;
    std::uint64_t heldDropped_ = 0;
    ThreadCheck owner_ { "Cluster" };
};

} // namespace korvel
