#pragma once

#include "base/result.h"
#include "sip/lamp.h"
#include "sip/sip_options.h"
#include "sip/subscription_book.h"

#include <QObject>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace korvel {

class ConsoleLog;
class FileWriter;
class SipImport;
class StationBoard;
class SystemTable;

// Outcomes counted for /metrics.
struct SipCounters {
    std::uint64_t requests = 0;
    std::uint64_t malformed = 0;
    std::uint64_t refused = 0; // not allowed, over a bound or over the budget
    // NOTIFYs answered 2xx, retried after a timeout or 5xx, ended by 481 or
    // by repeated failures, and ended for another answer.
    std::uint64_t notifyOk = 0;
    std::uint64_t notifyRetried = 0;
    std::uint64_t notifyGone = 0;
    std::uint64_t notifyFailed = 0;
    std::uint64_t notifySent = 0;
    // Report to NOTIFY, in seconds.
    static constexpr std::array<double, 9> kDelayBounds { 0.0005, 0.001, 0.002, 0.005, 0.01, 0.05, 0.25, 1, 5 };
    std::array<std::uint64_t, kDelayBounds.size() + 1> delayCounts {};
    double delaySum = 0;
};

// The hub as a presence server for its stations: SUBSCRIBE for "dialog",
// "presence" and "message-summary" on sip:STATION@domain, NOTIFY on every
// change of the station's lamp. Parsing, transactions, retransmissions and
// transports are the SIP library's; this holds the subscriptions and the
// rules. Lives on the main thread, whose event loop also runs the library.
class SipPresence : public QObject {
    Q_OBJECT

public:
    using Clock = std::function<std::int64_t()>; // milliseconds
    using Allowed = std::function<bool(const std::string& address)>;

    SipPresence(SystemTable& table, ConsoleLog& console, SipOptions options, Allowed allowed = {}, Clock clock = {});
    ~SipPresence() override;
    SipPresence(const SipPresence&) = delete;
    SipPresence& operator=(const SipPresence&) = delete;

    Result<void> start();
    // Serves the TLS port anew with the key and chain now in the options'
    // TLS folder. The library cannot swap the certificate of a live
    // transport: the TLS listener and its connections are made again, and
    // NOTIFYs in flight on them are sent again after their back-off. The
    // subscriptions stay.
    Result<void> reloadTls();
    bool tlsListening() const;
    const SipOptions& options() const { return options_; }
    const SipCounters& counters() const { return counters_; }
    // Messages the library could not parse.
    std::uint64_t malformed() const;
    // The body of /api/sip: every subscription, and the watchers per station.
    QByteArray subscriptionsJson() const;
    const SubscriptionBook& subscriptions() const { return book_; }
    std::size_t watchers(const std::string& station) const { return book_.watcherCount(station); }
    // PUBLISH for the SIP extensions goes there, and its system's stations
    // are not served back to SIP; set before start(). Without it PUBLISH gets 405.
    void setImport(SipImport* import) { import_ = import; }

    // Glue for the library's callbacks; not for other callers.
    struct Library;
    int onRequest(void* irq, const void* sip);
    int onNotifyAnswer(void* orq, const void* sip);

private:
    int subscribe(void* irq, const void* sip, const std::string& source, std::uint16_t sourcePort,
        const std::string& transport, void* tport);
    void stationChanged(const std::string& station, StationLamp lamp);
    void sendNotify(SipSubscription& subscription, const char* terminatedReason = nullptr);
    void act(SipSubscription& subscription, NotifyPipeline::Next next);
    // A NOTIFY in flight ended with `status` (503 for one that never went):
    // the subscription's next step, or its end after its last NOTIFY.
    void settle(std::uint64_t id, bool final, int status);
    void end(std::uint64_t id);
    void sweep();
    void restore();
    void save(bool orderly);
    // The NOTIFY of this subscription with the next CSeq, sent; null when
    // the library could not make or send it (the CSeq then stays).
    void* createNotify(SipSubscription& subscription, const std::string& state, const std::string& body);
    bool withinBudget(const std::string& source);
    void trace(std::string_view line);
    int publish(void* irq, const void* sip); // sip_publish.cpp
    // The hub's Contact for a dialog over this transport.
    std::string contact(const std::string& transport) const;
    // An agent of the library listening at this URL, with the hub's limits;
    // over TLS with the key and chain in the folder `certificates`.
    void* createAgent(const std::string& url, const char* certificates);
    bool listenTls();
    void closeTls();

    SystemTable& table_;
    ConsoleLog& console_;
    SipOptions options_;
    Allowed allowed_;
    Clock clock_;
    SubscriptionBook book_;
    SipCounters counters_;
    std::unique_ptr<StationBoard> board_;
    std::unique_ptr<Library> library_;
    // The subscriptions changed, or only their CSeq and version moved on.
    bool setChanged_ = false;
    bool dirty_ = false;
    std::int64_t savedAtMs_ = 0;
    SipImport* import_ = nullptr;
    std::unique_ptr<FileWriter> writer_;
    struct CachedBody {
        bool valid = false;
        std::string station;
        std::string entity;
        StationLamp lamp;
        NotifyBodyParts parts;
    };
    std::array<CachedBody, kSipEvents> bodies_;
};

} // namespace korvel
