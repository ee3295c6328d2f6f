#pragma once

#include "base/result.h"
#include "base/thread_check.h"
#include "net/receive_queue.h"
#include "relay/allow_list.h"
#include "relay/answer_budget.h"
#include "relay/datagram_reader.h"
#include "relay/forwarding_thread.h"
#include "relay/replies.h"
#include "relay/request_connections.h"
#include "relay/sender_engine.h"
#include "relay/settings.h"
#include "relay/traffic_counters.h"
#include "store/system_files.h"
#include "store/system_saver.h"
#include "store/system_table.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QSocketNotifier;
class QTcpServer;
class QUdpSocket;

namespace korvel {

// What the Options dialog hands the hub.
struct EndpointOptions {
    std::string serverAddress;
    bool forwardStatus = false;
    // The four port fields in the dialog's order: local TCP, local UDP, remote
    // TCP, remote UDP. A field that is not a number is empty.
    std::array<std::optional<std::int32_t>, 4> ports;
};

// The relay: settings and counters, the system table, the five endpoints and
// the save timer. Runs on the thread that owns it (the main thread); the
// sender engine's threads reach it only through queued calls.
//
// Its methods are spread over files by concern:
//   hub.cpp             construction, start, shutdown, reload, send queue figures
//   hub_endpoints.cpp   binding the ports, the Options dialog, client-only
//                       mode, the test console's sends through the endpoints
//   hub_receive.cpp     what happens to a datagram or a TCP request that
//                       arrives: refusal, the table, the trace, the answers
//                       and forwards (through Replies), the bounds' notices
//   hub_forwarding.cpp  the forwarding thread and the plan it forwards by
//   hub_saves.cpp       loading and saving the table, the save timer, the
//                       allow list file
class Hub : public QObject {
    Q_OBJECT

public:
    struct Options {
        std::filesystem::path dataDirectory = "data";
        // Given on the command line: overrides system.dat's line, and is saved.
        std::optional<std::int32_t> basePort;
        // Empty: the first IPv4 address of the host name.
        std::string ownAddress;
        // Where packets go: null means the hub's own sender engine, built
        // with `engine`; a test may hand in a recorder or an engine of its own.
        Outbox* outbox = nullptr;
        SenderEngine::Options engine;
        // The UDP endpoint's status reports are forwarded on a thread of their
        // own while the hub is no cluster member and its trace is off. Only
        // with the hub's own sender engine.
        bool forwardingThread = true;
        // Where the trace and the notices go: the owner's log, which must
        // outlive the hub (its sinks may outlive the hub too); null gives the
        // hub a log of its own.
        ConsoleLog* console = nullptr;
        // Where the test console's UDP_VELKA datagrams go: the Velka systems'
        // fixed data port, unless a test aims them at a sink of its own.
        int velkaRemotePort = kVelkaDataPort;
        int saveIntervalMs = 30000;
        // A connection that sends nothing for this long is closed: a real
        // exchange sends its one request at once. A request arriving in
        // pieces must be whole within it, and a connection whose answers are
        // not taken for this long is closed too.
        int idleConnectionMs = 60000;
        // Connections open at once; a new one beyond this closes the one that
        // has been idle longest. Never more than a share of the descriptors
        // the process may open.
        std::size_t maxConnections = 1024;
        // Systems the table takes from the network: a new sender beyond this
        // is refused. The operator and the station files may add more.
        std::size_t maxSystems = 10000;
        // Bytes of datagram answers per address.
        AnswerBudget::Options answers;
    };

    explicit Hub(QObject* parent = nullptr);
    explicit Hub(Options options, QObject* parent = nullptr);
    ~Hub() override;

    // Start-up in its fixed order: own address, load the table, set up the
    // endpoints, start the save timer. A failure when an endpoint cannot take
    // its port, with the listener's socket error or, that one open, the first
    // UDP endpoint's; the others still open and the save timer runs
    // regardless. What the load assumed or found damaged is said on standard
    // error and the console.
    Result<void> start();
    // The load found system.dat unreadable or with a header it could not
    // read; a save would write that loss to disk.
    bool tableDamaged() const { return tableDamaged_; }
    // What the last load said of the table, in the order said: what it
    // assumed or left out, and the damage.
    const std::vector<std::string>& loadProblems() const { return loadProblems_; }
    // Every endpoint took its port at start-up.
    bool endpointsOpen() const { return endpointsOpen_; }
    // Saves the table; called once on every way out. False when a file could
    // not be saved.
    bool shutdown();
    // Saves the table and reads data/allow.txt again (SIGHUP); false when
    // the save failed.
    bool reload();
    // Writes the table and the base port to the data folder and waits for
    // it; a file that cannot be written is said (once per file) and keeps its
    // old content until the next save. False when any file failed.
    bool saveSystems();
    // The save timer's way: takes a snapshot of the table (well under a
    // millisecond) and leaves writing and syncing to the save thread; the
    // outcome is said, and saveFinished emitted, when it ends. False, and
    // nothing started, while the previous save is still running.
    bool startSave();
    bool saveInProgress() const { return saver_.busy(); }

    void learnOwnAddress();
    Result<void> setUpEndpoints();
    // Takes the server address, then the ports in order, re-applies them to
    // the endpoints and takes the new forwarding flag. A missing port stops
    // it there: the fields before it keep their new values, nothing reaches
    // the endpoints and the flag stays; an Invalid failure then (the caller
    // knows the field's text). The socket error when the listener or the UDP
    // endpoint cannot take its port.
    Result<void> applyOptions(const EndpointOptions& options);
    // The Options dialog's Forward Status Report alone, the endpoints left open.
    void setForwardStatus(bool forward)
    {
        settings_.ForwardStatus = forward;
        invalidatePlan();
    }
    // The fixed second set of ports.
    Result<void> setAnotherPort();
    // Closes the listener and the UDP endpoint's port for good.
    void enterClientOnlyMode();

    const Settings& settings() const { return settings_; }
    SystemTable& table() { return table_; }
    Replies& replies() { return replies_; }
    Outbox& outbox() { return *outbox_; }

    // Another hub's share: null (the default) serves every system as a lone
    // hub does. The peer outlives its attachment.
    void setRelayPeer(RelayPeer* peer);
    RelayPeer* relayPeer() const { return peer_; }
    void forwardRemote(Bytes packet, const std::string& fromIp, RelayStep step)
    {
        replies_.forwardRemote(packet, fromIp, step);
    }

    // Ports the endpoints are bound to now (0 when closed).
    int tcpPort() const;
    int udpPort() const;
    int velkaPort() const;
    int rackPort() const;
    bool listening() const;

    const AnswerBudget& answerBudget() const { return answerBudget_; }
    std::size_t maxSystems() const { return options_.maxSystems; }
    // Accepted connections open now.
    std::size_t openConnections() const { return connections_->size(); }

    // Byte totals are read through it (each reader keeps its own previous
    // reading); the test console adds what it sends.
    TrafficCounters& counters() { return counters_; }
    // Numbers the requests this hub sends, the test console's included.
    SequenceCounter& sequenceCounter() { return sequence_; }
    // The trace and the operator's notices: the window and the web console's
    // tail attach their sinks here.
    ConsoleLog& console() { return console_; }
    // Sends waiting in the sender engine, and those it dropped because its
    // queue was full (both 0 with an outbox of the caller's).
    std::int64_t sendQueueDepth() const;
    std::uint64_t sendQueueDropped() const;
    // What waits in the kernel for each datagram endpoint (UDP, UDP_VELKA,
    // UDP_RACK): a backlog the hub has not read yet, and for UDP also the
    // bytes the forwarding thread read and the event loop has not handled.
    // A closed one holds nothing.
    std::array<ReceiveQueue, 3> receiveQueues() const;

    struct SaveRecord {
        bool done = false;
        bool succeeded = true;
        std::chrono::steady_clock::duration duration {};
    };
    const SaveRecord& lastSave() const { return lastSave_; }

    // Senders refused by data/allow.txt since start-up.
    std::uint64_t refusedCount() const { return refused_; }
    const AllowList& allowList() const { return allowList_; }
    // (Re)reads data/allow.txt; called at start-up and when the file changes.
    void loadAllowList();

    // The test console's datagrams leave through the endpoints themselves, to
    // each endpoint's remote host and port; a host name is looked up first,
    // without holding the event loop.
    void sendFromUdpEndpoint(Bytes packet);
    void sendFromVelkaEndpoint(Bytes packet);

    // A status report the hub built itself for a system of its table that no
    // exchange stands behind (the SIP extensions'): applied to the table and
    // forwarded, counted and shared as that system's own report over UDP.
    void reportAsSystem(Bytes packet, const std::string& system);
    // Names the SIP extensions' system (empty: none): forwards skip it and the
    // network cannot speak for it.
    void setVirtualSystem(std::string address);
    // Station changes are wanted as each report arrives (the SIP presence
    // server's watchers), not batched for the forwarding's sake.
    void setPromptChanges(bool prompt);

    // Receive handlers; public so that tests can feed them directly.
    void qvxDatagramReceived(Bytes packet, const std::string& fromIp, int fromPort);
    void velkaDatagramReceived(Bytes packet, const std::string& fromIp, int fromPort);
    void rackDatagramReceived(Bytes packet, const std::string& fromIp, int fromPort);
    // Handles one request read on an accepted connection: traced, applied,
    // answered on the connection and forwarded.
    void readTcpRequest(int connection, const std::string& peer, Bytes packet);
    // An answer the test console read on its own connection to `peer`: traced
    // and applied like a request, counted, and nothing is sent back.
    void applyTcpAnswer(const std::string& peer, Bytes answer);
    void saveTick();

signals:
    // A failed send has marked the system it was for (its table address).
    void senderFailed(const QString& system);
    // A save has ended; `ok` is false when a file could not be written.
    void saveFinished(bool ok);

private:
    enum class Endpoint { Qvx, Velka, Rack };
    DatagramReader& readerOf(const QUdpSocket* socket);
    // `forwarded`: how many systems the forwarding thread has sent a status
    // report to already; nothing then is forwarded again.
    void handleDatagram(Endpoint endpoint, Bytes packet, const std::string& fromIp, int fromPort,
        std::optional<std::uint64_t> forwarded = std::nullopt);
    // The UDP endpoint, as bound now, read by the forwarding thread or, when
    // that does not serve (a cluster member), by its reader on the event loop.
    void watchUdp();
    // The forwarding thread's wake-ups, plan watch and timers.
    void setUpForwarding();
    // Stops the forwarding thread and handles what it read.
    void stopForwarding();
    // Handles what the forwarding thread read: within a turn's share, or all of it.
    void applyForwarded(bool all);
    // Whatever the hub was about to handle from the forwarding thread is in the table now.
    void catchUp();
    // The table or the settings changed: the forwarding thread's plan is stale.
    void invalidatePlan();
    void refreshPlan(bool now);
    std::shared_ptr<const ForwardPlan> buildPlan(std::uint64_t version) const;
    void postSendFailure(const std::string& system);
    Result<void> reopenLocalEndpoints();
    Result<void> activateServer();
    void deactivateServer();
    // A connection was accepted; false when the allow list refuses it.
    bool clientConnected(const std::string& peer);
    void clientDisconnected(const std::string& peer);
    void clientFailed(const std::string& peer, int errorCode);
    // `name` is the endpoint's, for the failure.
    Result<void> rebind(QUdpSocket* socket, int port, const char* name);
    bool refuse(const std::string& address);
    bool tableFull(const std::string& address);
    void reportBounds();
    void loadTable();
    // Says what a save could not write and tells saveFinished; true when
    // there is nothing to say.
    bool finishSave(const std::optional<SaveReport>& report);

    Options options_;
    Settings settings_;
    TrafficCounters counters_;
    SequenceCounter sequence_;
    // Null when the options hand in a log.
    std::unique_ptr<ConsoleLog> ownConsole_;
    ConsoleLog& console_;
    SystemTable table_;
    // Null when the options hand in an outbox.
    std::unique_ptr<SenderEngine> engine_;
    Outbox* outbox_;
    Replies replies_;
    // The forwarding thread and its own engine; null when the options leave it out.
    std::unique_ptr<SenderEngine> forwardEngine_;
    std::unique_ptr<ForwardingThread> forwarder_;
    std::unique_ptr<QSocketNotifier> forwardedReady_;
    std::unique_ptr<SystemChangeObserver> planWatch_;
    // What the forwarding thread read, handled up to `applied_`.
    ReadBatch applying_;
    std::size_t applied_ = 0;
    bool applyQueued_ = false;
    bool planQueued_ = false;
    std::uint64_t planVersion_ = 0;
    std::chrono::steady_clock::time_point lastPlan_ {};
    QTimer planTimer_;
    // While the thread reads, the next take is due this long after the last.
    QTimer applyTimer_;

    QTcpServer* server_;
    QUdpSocket* udp_;
    QUdpSocket* udpVelka_;
    QUdpSocket* udpRack_;
    RequestConnections* connections_;
    QTimer saveTimer_;
    AllowList allowList_;
    std::filesystem::file_time_type allowListTime_ {};
    std::uint64_t refused_ = 0;
    RelayPeer* peer_ = nullptr;
    AnswerBudget answerBudget_;
    // One a datagram endpoint, in Endpoint's order; each reads its socket
    // from the bind on.
    std::array<DatagramReader, 3> readers_;
    // Says once a second what the bounds turned away.
    QTimer boundsTimer_;
    std::uint64_t reportedTableFull_ = 0;
    std::uint64_t reportedHeldBack_ = 0;
    std::uint64_t reportedHeldBackBytes_ = 0;
    bool tableDamaged_ = false;
    std::vector<std::string> loadProblems_;
    // The operator's entry points run on the thread that made the hub.
    ThreadCheck owner_ { "Hub" };
    bool allowListLoaded_ = false;
    bool endpointsOpen_ = false;
    SaveRecord lastSave_;
    std::chrono::steady_clock::time_point saveStarted_ {};
    // Last: its worker ends before anything it reports to goes.
    SystemSaver saver_;
};

} // namespace korvel
