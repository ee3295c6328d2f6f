#include "sip_presence.h"

// The library's headers first: glib's use the words Qt makes keywords.
#include <sofia-sip/msg_addr.h>
#include <sofia-sip/nta.h>
#include <sofia-sip/nta_tport.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/sip_status.h>
#include <sofia-sip/sip_tag.h>
#include <sofia-sip/su_glib.h>
#include <sofia-sip/su_log.h>
#include <sofia-sip/tport.h>
#include <sofia-sip/tport_tag.h>

#include "log/console_log.h"
#include "protocol/text_render.h"
#include "sip/sip_import.h"
#include "sip/station_board.h"
#include "sip/subscription_file.h"
#include "store/atomic_file.h"
#include "store/file_writer.h"
#include "store/system_table.h"

#include <QAbstractEventDispatcher>
#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <unordered_map>
#include <vector>

namespace korvel {

namespace {

constexpr char kAllowEvents[] = "dialog, presence, message-summary";
constexpr char kAllow[] = "SUBSCRIBE, OPTIONS";

std::int64_t SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t SteadyUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Str(const char* text)
{
    return text ? std::string(text) : std::string();
}

// UDP, TCP, TLS: 0, 1, 2.
std::size_t TransportIndex(std::string_view transport)
{
    return transport == "tls" ? 2 : transport == "tcp" ? 1 : 0;
}

tport_t* ConnectionOf(const SipSubscription& subscription)
{
    auto* connection = static_cast<tport_t*>(subscription.link.get());
    return connection && !tport_is_closed(connection) ? connection : nullptr;
}

// Where datagrams of a dialog go: back to where its requests came from.
std::string NextHop(const std::string& address, std::uint16_t port)
{
    const bool six = address.find(':') != std::string::npos;
    return "sip:" + (six ? "[" + address + "]" : address) + ":" + std::to_string(port) + ";transport=udp";
}

std::string UrlText(const url_t* url)
{
    char buffer[1024];
    const isize_t length = url ? url_e(buffer, sizeof buffer, url) : 0;
    return length > 0 && static_cast<std::size_t>(length) < sizeof buffer
        ? std::string(buffer, static_cast<std::size_t>(length))
        : std::string();
}

void AppendEscaped(std::string& out, std::string_view text)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    AppendFieldText(out, Bytes(bytes, text.size()), 0, text.size());
}

} // namespace

struct SipPresence::Library {
    su_home_t* home = nullptr;
    su_root_t* root = nullptr;
    GSource* source = nullptr;
    QTimer* poll = nullptr;
    nta_agent_t* agent = nullptr;
    nta_leg_t* defaultLeg = nullptr;
    // TLS has an agent of its own: the library cannot swap the certificate
    // of a live transport, so a reload replaces this agent alone.
    nta_agent_t* tlsAgent = nullptr;
    nta_leg_t* tlsLeg = nullptr;
    // Malformed messages counted by the TLS agents a reload replaced.
    std::uint64_t tlsBadBefore = 0;
    // NOTIFYs in flight, and whether each is a subscription's last.
    struct InFlight {
        std::uint64_t id = 0;
        bool final = false;
    };
    std::unordered_map<nta_outgoing_t*, InFlight> inFlight;
    std::unordered_map<std::uint64_t, nta_outgoing_t*> orqOf;
    struct Bucket {
        double tokens = 0;
        std::int64_t atMs = 0;
    };
    std::unordered_map<std::string, Bucket> budget;
    QTimer sweep;
    // Headers every NOTIFY carries, made once: by event, and the hub's
    // Contact by transport (UDP, TCP, TLS).
    sip_max_forwards_t* maxForwards = nullptr;
    std::array<sip_event_t*, kSipEvents> events {};
    std::array<sip_content_type_t*, kSipEvents> contentTypes {};
    std::array<sip_contact_t*, 3> contacts {};
    // The TCP and TLS connections subscriptions hold, and by how many.
    std::unordered_map<tport_t*, std::size_t> held;

    // The connection a subscriber over TCP or TLS opened, held while its
    // dialog lives. The dialog itself (tags, route, target, CSeq) is the
    // book's: a library dialog object per subscription would cost more than
    // the rest of the subscription together.
    std::shared_ptr<void> hold(tport_t* connection)
    {
        ++held[connection];
        return std::shared_ptr<void>(tport_ref(connection), [this](void* pointer) {
            auto* released = static_cast<tport_t*>(pointer);
            if (auto found = held.find(released); found != held.end() && --found->second == 0)
                held.erase(found);
            tport_unref(released);
        });
    }
    sip_contact_t* contactFor(std::string_view transport) const { return contacts[TransportIndex(transport)]; }

    ~Library()
    {
        for (auto& [orq, unused] : inFlight)
            nta_outgoing_destroy(orq);
        if (tlsLeg)
            nta_leg_destroy(tlsLeg);
        if (tlsAgent)
            nta_agent_destroy(tlsAgent);
        if (defaultLeg)
            nta_leg_destroy(defaultLeg);
        if (agent)
            nta_agent_destroy(agent);
        if (source) {
            g_source_destroy(source);
            g_source_unref(source);
        }
        if (root)
            su_root_destroy(root);
        if (home)
            su_home_unref(home);
        delete poll;
    }
};

namespace {

// The library's own log lines become trace lines; untraced, they go nowhere.
void LibraryLog(void* stream, const char* format, va_list args)
{
    auto* console = static_cast<ConsoleLog*>(stream);
    if (!console || !console->enabled())
        return;
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    std::string_view line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    std::string out = "SIP library: ";
    AppendEscaped(out, line);
    console->logLine(out);
}

int RequestCallback(nta_leg_magic_t* magic, nta_leg_t*, nta_incoming_t* irq, const sip_t* sip)
{
    return reinterpret_cast<SipPresence*>(magic)->onRequest(irq, sip);
}

int NotifyCallback(nta_outgoing_magic_t* magic, nta_outgoing_t* orq, const sip_t* sip)
{
    return reinterpret_cast<SipPresence*>(magic)->onNotifyAnswer(orq, sip);
}

} // namespace

SipPresence::SipPresence(SystemTable& table, ConsoleLog& console, SipOptions options, Allowed allowed, Clock clock)
    : table_(table)
    , console_(console)
    , options_(std::move(options))
    , allowed_(std::move(allowed))
    , clock_(clock ? std::move(clock) : Clock(SteadyMs))
    , book_(options_.maxSubscriptions, options_.maxPerSource)
{
    if (options_.domain.empty())
        options_.domain = options_.address == "0.0.0.0" ? "localhost" : options_.address;
}

SipPresence::~SipPresence()
{
    if (library_)
        save(true);
    // The subscriptions' legs belong to the agent: they go before it.
    while (!book_.all().empty())
        book_.remove(book_.all().begin()->first);
    library_.reset();
    su_log_redirect(su_log_default, LibraryLog, nullptr);
}

Result<void> SipPresence::start()
{
    static const bool initialized = su_init() == 0;
    if (!initialized)
        return Fail("the SIP library did not start");
    su_log_redirect(su_log_default, LibraryLog, &console_);
    library_ = std::make_unique<Library>();
    Library& lib = *library_;
    lib.home = static_cast<su_home_t*>(su_home_new(sizeof(su_home_t)));
    // The library's timers and sockets run on Qt's loop when that is glib's
    // (as on Linux); otherwise the loop steps the library every few ms.
    const QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (dispatcher && dispatcher->inherits("QEventDispatcherGlib")) {
        lib.root = su_glib_root_create(reinterpret_cast<su_root_magic_t*>(this));
        if (lib.root) {
            lib.source = su_glib_root_gsource(lib.root);
            g_source_ref(lib.source);
            g_source_attach(lib.source, nullptr);
        }
    } else {
        lib.root = su_root_create(reinterpret_cast<su_root_magic_t*>(this));
        if (lib.root) {
            lib.poll = new QTimer;
            QObject::connect(lib.poll, &QTimer::timeout, lib.poll, [root = lib.root] { su_root_step(root, 0); });
            lib.poll->start(2);
        }
    }
    if (!lib.root)
        return Fail("the SIP library's event loop did not start");
    const std::string bound = "sip:" + options_.address + ":" + std::to_string(options_.port);
    lib.agent = static_cast<nta_agent_t*>(createAgent(bound, nullptr));
    if (!lib.agent) {
        library_.reset();
        return Fail(
            "cannot listen for SIP on " + options_.address + ":" + std::to_string(options_.port) + " (UDP and TCP)");
    }
    if (options_.tlsPort != 0 && !listenTls()) {
        library_.reset();
        return Fail("cannot listen for SIP over TLS on " + options_.address + ":" + std::to_string(options_.tlsPort));
    }
    lib.maxForwards = sip_max_forwards_make(lib.home, "70");
    for (const SipEvent event : { SipEvent::Dialog, SipEvent::Presence, SipEvent::MessageSummary }) {
        lib.events[static_cast<std::size_t>(event)] = sip_event_make(lib.home, SipEventName(event));
        lib.contentTypes[static_cast<std::size_t>(event)] = sip_content_type_make(lib.home, SipEventContentType(event));
    }
    for (const char* transport : { "udp", "tcp", "tls" })
        lib.contacts[TransportIndex(transport)] = sip_contact_make(lib.home, contact(transport).c_str());
    lib.defaultLeg = nta_leg_tcreate(
        lib.agent, RequestCallback, reinterpret_cast<nta_leg_magic_t*>(this), NTATAG_NO_DIALOG(1), TAG_END());
    board_ = std::make_unique<StationBoard>(
        table_, [this](const std::string& station, StationLamp lamp) { stationChanged(station, lamp); },
        import_ ? import_->options().systemAddress : std::string());
    restore();
    QObject::connect(&lib.sweep, &QTimer::timeout, this, [this] { sweep(); });
    lib.sweep.start(1000);
    return {};
}

void* SipPresence::createAgent(const std::string& url, const char* certificates)
{
    return nta_agent_create(library_->root, URL_STRING_MAKE(url.c_str()), nullptr, nullptr,
        NTATAG_MAXSIZE(options_.maxMessageBytes), NTATAG_SERVER_RPORT(1), NTATAG_UA(0),
        // A NOTIFY nobody answers ends after 8 s (five sends over UDP), not 32: the retry with the newest
        // state then puts the lamp right sooner. Answered requests' retransmissions are absorbed as long.
        NTATAG_SIP_T1X64(8'000),
        // A message must be whole within 30 s; a connection no subscription
        // holds closes after a minute without a message.
        TPTAG_TIMEOUT(30'000), TPTAG_IDLE(60'000), TAG_IF(certificates, TPTAG_CERTIFICATE(certificates)), TAG_END());
}

bool SipPresence::listenTls()
{
    Library& lib = *library_;
    const std::string secure = "sips:" + options_.address + ":" + std::to_string(options_.tlsPort);
    lib.tlsAgent = static_cast<nta_agent_t*>(createAgent(secure, options_.tlsFolder.c_str()));
    if (lib.tlsAgent) {
        // Requests over TLS reach the same handler as the others.
        lib.tlsLeg = nta_leg_tcreate(
            lib.tlsAgent, RequestCallback, reinterpret_cast<nta_leg_magic_t*>(this), NTATAG_NO_DIALOG(1), TAG_END());
    }
    if (!lib.tlsLeg)
        closeTls();
    return lib.tlsLeg != nullptr;
}

void SipPresence::closeTls()
{
    Library& lib = *library_;
    if (lib.tlsLeg)
        nta_leg_destroy(lib.tlsLeg);
    lib.tlsLeg = nullptr;
    if (lib.tlsAgent) {
        usize_t bad = 0;
        nta_agent_get_stats(lib.tlsAgent, NTATAG_S_BAD_MESSAGE_REF(bad), TAG_END());
        lib.tlsBadBefore += bad;
        nta_agent_destroy(lib.tlsAgent);
    }
    lib.tlsAgent = nullptr;
}

bool SipPresence::tlsListening() const
{
    return library_ && library_->tlsAgent;
}

Result<void> SipPresence::reloadTls()
{
    if (!library_ || options_.tlsPort == 0)
        return {};
    Library& lib = *library_;
    // The NOTIFYs out over TLS end as if refused for now: the pipeline sends
    // the newest state again, on the new listener, after its back-off.
    std::vector<Library::InFlight> stopped;
    for (auto it = lib.inFlight.begin(); it != lib.inFlight.end();) {
        const SipSubscription* s = book_.byId(it->second.id);
        if (s && s->transport != "tls") {
            ++it;
            continue;
        }
        stopped.push_back(it->second);
        lib.orqOf.erase(it->second.id);
        nta_outgoing_destroy(it->first);
        it = lib.inFlight.erase(it);
    }
    // The held connections are the old agent's: they go before it.
    std::size_t closed = 0;
    for (const auto& [id, s] : book_.all()) {
        if (s->transport == "tls" && s->link) {
            s->link.reset();
            ++closed;
        }
    }
    closeTls();
    const bool listening = listenTls();
    for (const Library::InFlight& done : stopped)
        settle(done.id, done.final, 503);
    const std::string where = options_.address + ":" + std::to_string(options_.tlsPort);
    if (!listening)
        return Fail("cannot listen for SIP over TLS on " + where + " with the new certificate");
    trace("SIP over TLS: listening again on " + where + "; its connections closed (" + std::to_string(closed)
        + " subscriptions held one), " + std::to_string(stopped.size()) + " NOTIFYs to send again");
    return {};
}

std::string SipPresence::contact(const std::string& transport) const
{
    const sip_contact_t* own = nta_agent_contact(library_->agent);
    const std::string host = own && own->m_url->url_host ? own->m_url->url_host : options_.address;
    if (transport == "tls")
        return "<sips:" + host + ":" + std::to_string(options_.tlsPort) + ">";
    return "<sip:" + host + ":" + std::to_string(options_.port) + (transport == "tcp" ? ";transport=tcp>" : ">");
}

void SipPresence::trace(std::string_view line)
{
    if (console_.enabled())
        console_.logLine(line);
}

bool SipPresence::withinBudget(const std::string& source)
{
    Library::Bucket& bucket = library_->budget[source];
    const std::int64_t now = clock_();
    if (bucket.atMs == 0)
        bucket.tokens = options_.newBurst;
    else
        bucket.tokens = std::min<double>(
            options_.newBurst, bucket.tokens + static_cast<double>(now - bucket.atMs) * options_.newPerSecond / 1000.0);
    bucket.atMs = now;
    if (bucket.tokens < 1)
        return false;
    bucket.tokens -= 1;
    return true;
}

int SipPresence::onRequest(void* irqPointer, const void* sipPointer)
{
    auto* irq = static_cast<nta_incoming_t*>(irqPointer);
    const auto* sip = static_cast<const sip_t*>(sipPointer);
    ++counters_.requests;
    std::string source;
    std::uint16_t sourcePort = 0;
    if (msg_t* msg = nta_incoming_getrequest(irq)) {
        if (const su_addrinfo_t* ai = msg_addrinfo(msg); ai && ai->ai_addr) {
            const QHostAddress address(ai->ai_addr);
            source = address.toString().toStdString();
            if (ai->ai_addr->sa_family == AF_INET)
                sourcePort = ntohs(reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_port);
            else if (ai->ai_addr->sa_family == AF_INET6)
                sourcePort = ntohs(reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_port);
        }
        msg_destroy(msg);
    }
    tport_t* tport = nta_incoming_transport(library_->agent, irq, nullptr);
    const std::string transport = tport ? Str(tport_name(tport)->tpn_proto) : "udp";
    if (console_.enabled()) {
        std::string line = "SIP < ";
        AppendEscaped(line, Str(nta_incoming_method_name(irq)));
        line += ' ';
        if (sip->sip_request)
            AppendEscaped(line, UrlText(sip->sip_request->rq_url));
        if (sip->sip_event) {
            line += " Event: ";
            AppendEscaped(line, Str(sip->sip_event->o_type));
        }
        line += " from " + source + ":" + std::to_string(sourcePort) + "/" + transport;
        trace(line);
    }
    int status = 0;
    if (allowed_ && !allowed_(source)) {
        ++counters_.refused;
        status = nta_incoming_treply(irq, SIP_403_FORBIDDEN, TAG_END()) == 0 ? 403 : 500;
    } else {
        switch (sip->sip_request ? sip->sip_request->rq_method : sip_method_unknown) {
        case sip_method_subscribe:
            status = subscribe(irq, sip, source, sourcePort, transport, tport);
            break;
        case sip_method_options:
            nta_incoming_treply(
                irq, SIP_200_OK, SIPTAG_ALLOW_STR(kAllow), SIPTAG_ALLOW_EVENTS_STR(kAllowEvents), TAG_END());
            status = 200;
            break;
        case sip_method_publish:
            status = publish(irq, sip);
            break;
        case sip_method_ack:
            status = 0;
            break;
        default:
            if (sip->sip_to && sip->sip_to->a_tag) {
                status = 481;
                nta_incoming_treply(irq, SIP_481_NO_TRANSACTION, TAG_END());
            } else {
                status = 405;
                nta_incoming_treply(irq, SIP_405_METHOD_NOT_ALLOWED, SIPTAG_ALLOW_STR(kAllow), TAG_END());
            }
            break;
        }
    }
    if (tport)
        tport_unref(tport);
    if (console_.enabled() && status >= 100)
        trace("SIP > " + std::to_string(status) + " to " + source + ":" + std::to_string(sourcePort) + "/" + transport);
    if (status == 0 && sip->sip_request && sip->sip_request->rq_method == sip_method_ack)
        nta_incoming_destroy(irq);
    return status;
}

int SipPresence::subscribe(void* irqPointer, const void* sipPointer, const std::string& source,
    std::uint16_t sourcePort, const std::string& transport, void* tportPointer)
{
    auto* irq = static_cast<nta_incoming_t*>(irqPointer);
    const auto* sip = static_cast<const sip_t*>(sipPointer);
    auto* tport = static_cast<tport_t*>(tportPointer);
    SipEvent event = SipEvent::Dialog;
    if (!sip->sip_event || !ParseSipEvent(Str(sip->sip_event->o_type), &event)) {
        nta_incoming_treply(irq, SIP_489_BAD_EVENT, SIPTAG_ALLOW_EVENTS_STR(kAllowEvents), TAG_END());
        return 489;
    }
    std::optional<std::uint32_t> requested;
    if (sip->sip_expires)
        requested = static_cast<std::uint32_t>(sip->sip_expires->ex_delta);
    const ExpiresDecision expires = DecideExpires(requested);
    const bool refresh = sip->sip_to && sip->sip_to->a_tag;
    SipSubscription* subscription = nullptr;
    if (refresh) {
        subscription = book_.find(
            Str(sip->sip_call_id->i_id), Str(sip->sip_to->a_tag), Str(sip->sip_from ? sip->sip_from->a_tag : nullptr));
        if (!subscription) {
            nta_incoming_treply(irq, SIP_481_NO_TRANSACTION, TAG_END());
            return 481;
        }
        if (subscription->event != event) {
            nta_incoming_treply(irq, SIP_489_BAD_EVENT, SIPTAG_ALLOW_EVENTS_STR(kAllowEvents), TAG_END());
            return 489;
        }
    }
    if (expires.status == 423) {
        nta_incoming_treply(
            irq, SIP_423_INTERVAL_TOO_BRIEF, SIPTAG_MIN_EXPIRES_STR(std::to_string(kSipMinExpires).c_str()), TAG_END());
        return 423;
    }
    if (!refresh) {
        const url_t* uri = sip->sip_request->rq_url;
        if (!uri->url_user || !*uri->url_user) {
            nta_incoming_treply(irq, SIP_404_NOT_FOUND, TAG_END());
            return 404;
        }
        if (!sip->sip_contact) {
            ++counters_.malformed;
            nta_incoming_treply(irq, 400, "Missing Contact", TAG_END());
            return 400;
        }
        // Only datagrams can carry a forged source.
        if (transport == "udp" && !withinBudget(source)) {
            ++counters_.refused;
            nta_incoming_treply(irq, SIP_503_SERVICE_UNAVAILABLE, SIPTAG_RETRY_AFTER_STR("5"), TAG_END());
            return 503;
        }
        // Connections are bounded as the exchanges' are: a new one beyond
        // the bound carries no subscription and idles out.
        const bool connection = tport && tport_is_secondary(tport);
        if (connection && !library_->held.contains(tport) && library_->held.size() >= options_.maxConnections) {
            ++counters_.refused;
            nta_incoming_treply(irq, SIP_503_SERVICE_UNAVAILABLE, SIPTAG_RETRY_AFTER_STR("60"), TAG_END());
            return 503;
        }
        const char* tag = nta_agent_newtag(library_->home, "%s", library_->agent);
        if (!tag) {
            nta_incoming_treply(irq, SIP_500_INTERNAL_SERVER_ERROR, TAG_END());
            return 500;
        }
        SipSubscription added;
        added.localTag = tag;
        su_free(library_->home, const_cast<char*>(tag));
        if (connection)
            added.link = library_->hold(tport);
        added.event = event;
        added.station = uri->url_user;
        added.entity = "sip:" + added.station + "@" + options_.domain;
        added.callId = Str(sip->sip_call_id->i_id);
        added.localUri = UrlText(sip->sip_to->a_url);
        added.remoteUri = UrlText(sip->sip_from->a_url);
        added.remoteTag = Str(sip->sip_from ? sip->sip_from->a_tag : nullptr);
        added.remoteTarget = UrlText(sip->sip_contact->m_url);
        for (const sip_record_route_t* route = sip->sip_record_route; route; route = route->r_next)
            added.routeSet.push_back(UrlText(route->r_url));
        added.sourceAddress = source;
        added.sourcePort = sourcePort;
        added.transport = transport;
        Result<SipSubscription*> made = book_.add(std::move(added));
        if (!made) {
            ++counters_.refused;
            nta_incoming_treply(irq, SIP_503_SERVICE_UNAVAILABLE, SIPTAG_RETRY_AFTER_STR("60"), TAG_END());
            return 503;
        }
        subscription = *made;
        setChanged_ = true;
    }
    if (refresh) {
        dirty_ = true;
        // A phone behind NAT may come back from another address or port:
        // its NOTIFYs follow it.
        if (transport == "udp" && subscription->transport == "udp"
            && (source != subscription->sourceAddress || sourcePort != subscription->sourcePort)) {
            book_.moveSource(subscription->id, source);
            subscription->sourcePort = sourcePort;
        }
    }
    subscription->expiresAtMs = clock_() + static_cast<std::int64_t>(expires.granted) * 1000;
    nta_incoming_tag(irq, subscription->localTag.c_str());
    nta_incoming_treply(irq, SIP_200_OK, SIPTAG_EXPIRES_STR(std::to_string(expires.granted).c_str()),
        SIPTAG_CONTACT_STR(contact(subscription->transport).c_str()), TAG_END());
    if (expires.granted == 0) {
        sendNotify(*subscription, "timeout");
    } else {
        // Every SUBSCRIBE gets the state at once, even with a NOTIFY out.
        act(*subscription, subscription->pipeline.changed());
    }
    return 200;
}

void SipPresence::stationChanged(const std::string& station, StationLamp)
{
    const std::int64_t now = SteadyUs();
    for (SipSubscription* subscription : book_.watchers(station)) {
        if (subscription->changedAtUs == 0)
            subscription->changedAtUs = now;
        act(*subscription, subscription->pipeline.changed());
    }
}

void SipPresence::act(SipSubscription& subscription, NotifyPipeline::Next next)
{
    switch (next) {
    case NotifyPipeline::Next::Wait:
        break;
    case NotifyPipeline::Next::SendNow:
        sendNotify(subscription);
        break;
    case NotifyPipeline::Next::RetryLater: {
        ++counters_.notifyRetried;
        QTimer::singleShot(subscription.pipeline.retryDelayMs(), this, [this, id = subscription.id] {
            if (SipSubscription* due = book_.byId(id))
                act(*due, due->pipeline.retryDue());
        });
        break;
    }
    case NotifyPipeline::Next::End:
        end(subscription.id);
        break;
    }
}

void SipPresence::sendNotify(SipSubscription& subscription, const char* terminatedReason)
{
    const StationLamp lamp = board_->lamp(subscription.station);
    if (subscription.event == SipEvent::Dialog)
        ++subscription.version;
    // A station's watchers all get the same body, but for the version.
    CachedBody& cached = bodies_[static_cast<std::size_t>(subscription.event)];
    if (!cached.valid || cached.lamp != lamp || cached.station != subscription.station
        || cached.entity != subscription.entity) {
        cached.parts = NotifyBodyFor(subscription.event, subscription.entity, subscription.station, lamp);
        cached.station = subscription.station;
        cached.entity = subscription.entity;
        cached.lamp = lamp;
        cached.valid = true;
    }
    const std::string body = NotifyBodyText(subscription.event, cached.parts, subscription.version);
    std::string state;
    if (terminatedReason) {
        state = std::string("terminated;reason=") + terminatedReason;
    } else {
        const std::int64_t left = std::max<std::int64_t>(0, (subscription.expiresAtMs - clock_() + 999) / 1000);
        state = "active;expires=" + std::to_string(left);
    }
    auto* orq = static_cast<nta_outgoing_t*>(createNotify(subscription, state, body));
    subscription.pipeline.sent();
    ++counters_.notifySent;
    if (subscription.changedAtUs != 0) {
        const double seconds = static_cast<double>(SteadyUs() - subscription.changedAtUs) / 1e6;
        subscription.changedAtUs = 0;
        std::size_t bucket = 0;
        while (bucket < SipCounters::kDelayBounds.size() && seconds > SipCounters::kDelayBounds[bucket])
            ++bucket;
        ++counters_.delayCounts[bucket];
        counters_.delaySum += seconds;
    }
    dirty_ = true;
    if (console_.enabled()) {
        trace("SIP > NOTIFY " + subscription.entity + " Event: " + SipEventName(subscription.event) + " CSeq "
            + std::to_string(subscription.cseq) + " " + state + " to " + subscription.sourceAddress + ":"
            + std::to_string(subscription.sourcePort) + "/" + subscription.transport);
    }
    if (!orq) {
        // Nothing went: tried again after the back-off, as one that failed.
        settle(subscription.id, terminatedReason != nullptr, 503);
        return;
    }
    if (auto old = library_->orqOf.find(subscription.id); old != library_->orqOf.end()) {
        library_->inFlight.erase(old->second);
        nta_outgoing_destroy(old->second);
    }
    library_->inFlight[orq] = { subscription.id, terminatedReason != nullptr };
    library_->orqOf[subscription.id] = orq;
}

int SipPresence::onNotifyAnswer(void* orqPointer, const void*)
{
    auto* orq = static_cast<nta_outgoing_t*>(orqPointer);
    const int status = nta_outgoing_status(orq);
    if (status < 200)
        return 0;
    const auto found = library_->inFlight.find(orq);
    if (found == library_->inFlight.end()) {
        nta_outgoing_destroy(orq);
        return 0;
    }
    const Library::InFlight done = found->second;
    library_->inFlight.erase(found);
    library_->orqOf.erase(done.id);
    nta_outgoing_destroy(orq);
    SipSubscription* subscription = book_.byId(done.id);
    if (console_.enabled() && subscription) {
        trace("SIP < " + std::to_string(status) + " NOTIFY CSeq " + std::to_string(subscription->cseq) + " from "
            + subscription->sourceAddress + ":" + std::to_string(subscription->sourcePort) + "/"
            + subscription->transport);
    }
    if (status < 300)
        ++counters_.notifyOk;
    else if (status == 481)
        ++counters_.notifyGone;
    settle(done.id, done.final, status);
    return 0;
}

void SipPresence::settle(std::uint64_t id, bool final, int status)
{
    SipSubscription* subscription = book_.byId(id);
    if (!subscription)
        return;
    if (final) {
        end(id);
        return;
    }
    const NotifyPipeline::Next next = subscription->pipeline.answered(status);
    if (next == NotifyPipeline::Next::End && status != 481)
        ++counters_.notifyFailed;
    act(*subscription, next);
}

void SipPresence::end(std::uint64_t id)
{
    if (auto orq = library_->orqOf.find(id); orq != library_->orqOf.end()) {
        library_->inFlight.erase(orq->second);
        nta_outgoing_destroy(orq->second);
        library_->orqOf.erase(orq);
    }
    if (book_.byId(id))
        setChanged_ = true;
    book_.remove(id);
}

void SipPresence::sweep()
{
    for (std::uint64_t id : book_.expired(clock_())) {
        if (SipSubscription* gone = book_.byId(id); gone && !library_->orqOf.contains(id))
            sendNotify(*gone, "timeout");
        else
            end(id);
    }
    // A new or ended subscription is saved within a second, a refresh within
    // ten; CSeq and version are not saved with every NOTIFY: a restart after
    // a crash moves them on by a margin instead.
    if (const std::optional<std::string> error = writer_ ? writer_->takeError() : std::nullopt) {
        trace("SIP: cannot save the subscriptions: " + *error);
        dirty_ = true;
    }
    if (setChanged_ || (dirty_ && clock_() - savedAtMs_ >= 10'000))
        save(false);
    // Budgets that have filled up again are forgotten.
    const std::int64_t now = clock_();
    std::erase_if(library_->budget,
        [&](const auto& item) { return (now - item.second.atMs) * options_.newPerSecond / 1000 >= options_.newBurst; });
}

std::uint64_t SipPresence::malformed() const
{
    if (!library_ || !library_->agent)
        return 0;
    usize_t bad = 0;
    nta_agent_get_stats(library_->agent, NTATAG_S_BAD_MESSAGE_REF(bad), TAG_END());
    usize_t badTls = 0;
    if (library_->tlsAgent)
        nta_agent_get_stats(library_->tlsAgent, NTATAG_S_BAD_MESSAGE_REF(badTls), TAG_END());
    return counters_.malformed + bad + badTls + library_->tlsBadBefore;
}

QByteArray SipPresence::subscriptionsJson() const
{
    QJsonArray list;
    QJsonObject watchers;
    const std::int64_t now = clock_();
    for (const auto& [id, s] : book_.all()) {
        list.append(QJsonObject {
            { QStringLiteral("id"), static_cast<qint64>(id) },
            { QStringLiteral("event"), QLatin1String(SipEventName(s->event)) },
            { QStringLiteral("station"), QString::fromStdString(s->station) },
            { QStringLiteral("source"),
                QString::fromStdString(s->sourceAddress + ":" + std::to_string(s->sourcePort) + "/" + s->transport) },
            { QStringLiteral("expires"),
                static_cast<qint64>(std::max<std::int64_t>(0, (s->expiresAtMs - now) / 1000)) },
            { QStringLiteral("version"), static_cast<qint64>(s->version) },
            { QStringLiteral("cseq"), static_cast<qint64>(s->cseq) },
            { QStringLiteral("failures"), s->pipeline.failures() },
        });
        const QString station = QString::fromStdString(s->station);
        watchers.insert(station, watchers.value(station).toInt() + 1);
    }
    const QJsonObject body { { QStringLiteral("domain"), QString::fromStdString(options_.domain) },
        { QStringLiteral("port"), options_.port }, { QStringLiteral("subscriptions"), list },
        { QStringLiteral("watchers"), watchers } };
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

void SipPresence::save(bool orderly)
{
    if (options_.stateFile.empty() || (!setChanged_ && !dirty_ && !orderly))
        return;
    // The text is taken here; the writing and syncing are the writer's.
    if (!writer_)
        writer_ = std::make_unique<FileWriter>(options_.stateFile);
    const std::int64_t wall = QDateTime::currentMSecsSinceEpoch();
    writer_->write(SubscriptionsText(book_, wall - clock_(), wall, orderly));
    setChanged_ = false;
    dirty_ = false;
    savedAtMs_ = clock_();
    if (orderly)
        writer_->flush();
}

void* SipPresence::createNotify(SipSubscription& s, const std::string& state, const std::string& body)
{
    Library& lib = *library_;
    // Over TLS on the TLS agent, which a reload may have left without a listener.
    nta_agent_t* agent = s.transport == "tls" ? lib.tlsAgent : lib.agent;
    msg_t* msg = agent ? nta_msg_create(agent, 0) : nullptr;
    if (!msg)
        return nullptr;
    su_home_t* home = msg_home(msg);
    sip_t* sip = sip_object(msg);
    const std::string local = "<" + s.localUri + ">;tag=" + s.localTag;
    const std::string remote = "<" + s.remoteUri + ">" + (s.remoteTag.empty() ? "" : ";tag=" + s.remoteTag);
    std::string routes;
    for (const std::string& route : s.routeSet)
        routes += (routes.empty() ? "<" : ", <") + route + ">";
    // Within the dialog: the request goes to the subscriber's Contact, by
    // its route set; datagrams go back to where its requests came from, a
    // stream on the connection it opened while that lives.
    const std::uint32_t cseq = s.cseq + 1;
    const std::string next = s.transport == "udp" ? NextHop(s.sourceAddress, s.sourcePort) : std::string();
    tport_t* connection = ConnectionOf(s);
    if (sip_add_tl(msg, sip,
            SIPTAG_REQUEST(
                sip_request_create(home, SIP_METHOD_NOTIFY, URL_STRING_MAKE(s.remoteTarget.c_str()), nullptr)),
            SIPTAG_FROM_STR(local.c_str()), SIPTAG_TO_STR(remote.c_str()), SIPTAG_CALL_ID_STR(s.callId.c_str()),
            SIPTAG_CSEQ(sip_cseq_create(home, cseq, SIP_METHOD_NOTIFY)),
            TAG_IF(!routes.empty(), SIPTAG_ROUTE_STR(routes.c_str())), SIPTAG_MAX_FORWARDS(lib.maxForwards),
            SIPTAG_EVENT(lib.events[static_cast<std::size_t>(s.event)]), SIPTAG_SUBSCRIPTION_STATE_STR(state.c_str()),
            SIPTAG_CONTENT_TYPE(lib.contentTypes[static_cast<std::size_t>(s.event)]), SIPTAG_PAYLOAD_STR(body.c_str()),
            SIPTAG_CONTACT(lib.contactFor(s.transport)), TAG_END())
            != 0
        || !sip->sip_request || !sip->sip_cseq || !sip->sip_from || !sip->sip_to) {
        msg_destroy(msg);
        return nullptr;
    }
    nta_outgoing_t* orq = nta_outgoing_mcreate(agent, NotifyCallback, reinterpret_cast<nta_outgoing_magic_t*>(this),
        next.empty() ? nullptr : URL_STRING_MAKE(next.c_str()), msg, TAG_IF(connection, NTATAG_TPORT(connection)),
        TAG_END());
    if (!orq) {
        msg_destroy(msg);
        return nullptr;
    }
    s.cseq = cseq;
    return orq;
}

void SipPresence::restore()
{
    if (options_.stateFile.empty())
        return;
    const Result<std::optional<std::string>> read = ReadFileNoFollow(options_.stateFile);
    if (!read || !*read)
        return;
    const std::int64_t offset = QDateTime::currentMSecsSinceEpoch() - clock_();
    Result<std::vector<SipSubscription>> loaded
        = ParseSubscriptions(**read, QDateTime::currentMSecsSinceEpoch(), offset);
    if (!loaded) {
        trace("SIP: the saved subscriptions are not read: " + loaded.error());
        return;
    }
    std::vector<std::uint64_t> restored;
    for (SipSubscription& s : *loaded) {
        if (Result<SipSubscription*> added = book_.add(std::move(s)))
            restored.push_back((*added)->id);
    }
    // Every watcher gets the current state at once, without waiting for its refresh.
    for (std::uint64_t id : restored) {
        if (SipSubscription* s = book_.byId(id))
            act(*s, s->pipeline.changed());
    }
    setChanged_ = true;
}

} // namespace korvel
