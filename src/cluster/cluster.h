#pragma once

#include "cluster/cluster_options.h"
#include "relay/relay_peer.h"
#include "store/system_table.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>

#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>

struct redisReply;

namespace korvel {

class Hub;
class RedisLink;

// This hub's place among the others: shares the table through Redis, relays
// status reports both ways, and decides which hub serves each system. Lives
// on the hub's thread. Redis being away only stops the sharing; the hub
// relays locally all the same and catches up when Redis is back.
class Cluster : public QObject, public RelayPeer, public SystemChangeObserver {
    Q_OBJECT

public:
    enum class State { Connecting, Connected, Disconnected };

    Cluster(Hub& hub, ClusterOptions options, QObject* parent = nullptr);
    ~Cluster() override;

    void start();
    const std::string& node() const { return options_.node; }
    State state() const { return state_; }
    // "connecting", "connected" or "disconnected".
    const char* stateText() const;
    // Hubs whose heartbeat was seen last, this one included.
    const std::set<std::string>& liveNodes() const { return alive_; }
    // The node that serves `ip` now, by the rule every hub computes alike.
    std::string servingNode(const std::string& ip) const;
    // Systems the shared table says this hub serves.
    std::size_t systemsOwned() const { return owned_; }
    // Packets handed to the other hubs, and taken from them, since start-up.
    std::uint64_t published() const { return published_; }
    std::uint64_t received() const { return received_; }

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

private:
    std::string key(const std::string& suffix) const { return prefix_ + suffix; }
    void linkUp();
    void linkDown();
    void beat();
    void flush();
    void claim(const std::string& ip);
    void resync();
    void settle(const std::vector<std::string>& shared, const std::unordered_map<std::string, std::int64_t>& removed,
        std::int64_t clearedAt);
    bool flushRemovals();
    void touch(const std::string& ip);
    void setOwner(const std::string& ip, const std::string& node);
    void forget(const std::string& ip);
    void pullSystem(const std::string& ip, std::function<void()> done = {});
    void applySystem(const std::string& ip, const std::vector<std::pair<std::string, std::string>>& fields,
        const std::vector<std::pair<std::string, std::string>>& stations);
    void onMessage(const redisReply* reply);
    void readOwners(const redisReply* reply);
    void setState(State state);

    Hub& hub_;
    SystemTable& table_;
    ClusterOptions options_;
    std::string prefix_;
    std::string channel_;
    RedisLink* commands_;
    RedisLink* messages_;
    QTimer heartbeat_;
    QTimer flush_;
    State state_ = State::Connecting;
    bool applying_ = false;
    bool everConnected_ = false;
    int beats_ = 0;

    std::unordered_map<std::string, std::string> owners_;
    // Claimed since the owners were last read back; the read must not undo them.
    std::unordered_set<std::string> freshClaims_;
    std::unordered_set<std::string> unsentClaims_;
    std::set<std::string> alive_;
    std::map<std::string, std::chrono::steady_clock::time_point> lastSeen_;
    std::unordered_set<std::string> dirtySystems_;
    std::unordered_map<std::string, std::set<std::string>> dirtyStations_;
    // Deleted here (or re-keyed away) and not yet written; an address that
    // still has an entry at the flush is written afresh instead.
    std::unordered_set<std::string> removed_;
    // To be written whole, its old stations dropped.
    std::unordered_set<std::string> rewrite_;
    bool clearPending_ = false;
    // When this hub last changed or heard each system (wall clock, ms): set
    // against the deletions it missed while away from Redis.
    std::unordered_map<std::string, std::int64_t> changedAt_;
    // Per system, the shared fields as Redis has them as far as this hub
    // knows: a field that differs from it was changed here and is written
    // alone, and is kept when Redis brings another value before it is.
    std::unordered_map<std::string, std::array<std::string, 7>> shared_;
    // Writes and deletions of each system, and table clears, made or heard
    // of here; a read of Redis that one of them overtook is read again.
    std::unordered_map<std::string, std::uint64_t> writes_;
    std::uint64_t clears_ = 0;
    std::size_t owned_ = 0;
    std::uint64_t published_ = 0;
    std::uint64_t received_ = 0;
};

} // namespace korvel
