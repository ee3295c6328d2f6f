#include "metrics_text.h"

#include "protocol/text_render.h"
#include "web/write_api.h"

#include <string>

#include <cinttypes>
#include <cstdio>

namespace korvel {

namespace {

class Writer {
public:
    void family(const char* name, const char* type, const char* help)
    {
        name_ = name;
        text_ += "# HELP ";
        text_ += name;
        text_ += ' ';
        text_ += help;
        text_ += "\n# TYPE ";
        text_ += name;
        text_ += ' ';
        text_ += type;
        text_ += '\n';
    }
    // `labels` is the text between the braces, or null.
    void sample(const char* labels, std::uint64_t value)
    {
        char number[24];
        std::snprintf(number, sizeof number, "%" PRIu64, value);
        line(labels, number);
    }
    void sample(const char* labels, double value)
    {
        char number[32];
        std::snprintf(number, sizeof number, "%.6g", value);
        line(labels, number);
    }
    // A sample under another name of the family (a histogram's _sum and _count).
    template <typename Value> void sampleAs(const char* name, Value value)
    {
        const char* family = name_;
        name_ = name;
        sample(nullptr, value);
        name_ = family;
    }
    QByteArray take() { return std::move(text_); }

private:
    void line(const char* labels, const char* value)
    {
        text_ += name_;
        if (labels) {
            text_ += '{';
            text_ += labels;
            text_ += '}';
        }
        text_ += ' ';
        text_ += value;
        text_ += '\n';
    }
    const char* name_ = "";
    QByteArray text_;
};

const char* MessageLabel(std::size_t slot)
{
    const char* name = slot == 0 ? nullptr : MessageName(static_cast<int>(slot));
    return name ? name : "other";
}

void ByMessage(Writer& out, const char* endpoint, const std::uint64_t (&counts)[kMessageSlots])
{
    char labels[96];
    for (std::size_t slot = 1; slot <= kMessageSlots; ++slot) {
        // Slot 0 (other codes) comes last.
        const std::size_t i = slot % kMessageSlots;
        if (endpoint)
            std::snprintf(labels, sizeof labels, "endpoint=\"%s\",message=\"%s\"", endpoint, MessageLabel(i));
        else
            std::snprintf(labels, sizeof labels, "message=\"%s\"", MessageLabel(i));
        out.sample(labels, counts[i]);
    }
}

// A label value with its backslashes, quotes and line ends escaped.
std::string LabelValue(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

void Cluster(Writer& out, const ClusterStatus& cluster)
{
    out.family("korvel_cluster_info", "gauge", "This hub's node name in the cluster.");
    out.sample(("node=\"" + LabelValue(cluster.node) + "\"").c_str(), std::uint64_t { 1 });
    out.family("korvel_cluster_connected", "gauge",
        "1 while the hub writes to and reads from the cluster's Redis under its own node name; 0 when degraded.");
    out.sample(nullptr, std::uint64_t { cluster.state == "connected" ? 1u : 0u });
    out.family("korvel_cluster_nodes", "gauge", "Hubs whose heartbeat is alive, this one included.");
    out.sample(nullptr, static_cast<std::uint64_t>(cluster.liveNodes));
    out.family("korvel_cluster_systems_owned", "gauge", "Systems whose lease this hub holds: the ones it serves.");
    out.sample(nullptr, static_cast<std::uint64_t>(cluster.systemsOwned));
    out.family("korvel_cluster_published_total", "counter",
        "Status reports and registrations handed to the other hubs for their systems.");
    out.sample(nullptr, cluster.published);
    out.family("korvel_cluster_received_total", "counter",
        "Status reports and registrations taken from the other hubs for this hub's systems.");
    out.sample(nullptr, cluster.received);
    out.family(
        "korvel_cluster_leases_lost_total", "counter", "Leases this hub held and found taken by another hub or gone.");
    out.sample(nullptr, cluster.leasesLost);
    out.family(
        "korvel_cluster_queued_messages", "gauge", "Messages for the other hubs waiting for Redis to take them.");
    out.sample(nullptr, cluster.queued);
    out.family("korvel_cluster_queue_dropped_total", "counter",
        "Messages for the other hubs dropped unsent: the queue was full or they waited too long for Redis.");
    out.sample(nullptr, cluster.queueDropped);
    out.family("korvel_cluster_write_failures_total", "counter", "Writes to the cluster's Redis that it refused.");
    out.sample(nullptr, cluster.writeFailures);
    out.family("korvel_cluster_held_dropped_total", "counter",
        "Reports held while the hub settled whether it serves a system, dropped unforwarded: too many or held too "
        "long.");
    out.sample(nullptr, cluster.heldDropped);
}

void Sip(Writer& out, const SipStatus& sip)
{
    out.family("korvel_sip_subscriptions", "gauge", "SIP subscriptions held, by event package.");
    static const char* const kEvents[] = { "event=\"dialog\"", "event=\"presence\"", "event=\"message-summary\"" };
    for (std::size_t i = 0; i < sip.subscriptions.size(); ++i)
        out.sample(kEvents[i], static_cast<std::uint64_t>(sip.subscriptions[i]));
    out.family("korvel_sip_requests_total", "counter", "SIP requests received.");
    out.sample(nullptr, sip.requests);
    out.family("korvel_sip_malformed_total", "counter", "SIP messages that could not be parsed.");
    out.sample(nullptr, sip.malformed);
    out.family("korvel_sip_refused_total", "counter",
        "SIP requests refused: not allowed, over a bound or over a source's budget.");
    out.sample(nullptr, sip.refused);
    out.family("korvel_sip_notifies_total", "counter", "NOTIFYs by outcome.");
    out.sample("outcome=\"ok\"", sip.notifyOk);
    out.sample("outcome=\"retried\"", sip.notifyRetried);
    out.sample("outcome=\"gone\"", sip.notifyGone);
    out.sample("outcome=\"failed\"", sip.notifyFailed);
    out.family("korvel_sip_notify_delay_seconds", "histogram", "From a station's report to the NOTIFY telling it.");
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < sip.delayCounts.size(); ++i) {
        total += sip.delayCounts[i];
        char label[48];
        if (i < sip.delayBounds.size())
            std::snprintf(label, sizeof label, "le=\"%g\"", sip.delayBounds[i]);
        else
            std::snprintf(label, sizeof label, "le=\"+Inf\"");
        out.sample(label, total);
    }
    out.sampleAs("korvel_sip_notify_delay_seconds_sum", sip.delaySum);
    out.sampleAs("korvel_sip_notify_delay_seconds_count", total);
    if (!sip.importing)
        return;
    out.family("korvel_sip_import_reports_total", "counter",
        "Status reports built from SIP extensions' changes and forwarded as the virtual system's.");
    out.sample(nullptr, sip.importReports);
    out.family("korvel_sip_import_changes_total", "counter", "SIP extensions' changes those reports carried.");
    out.sample(nullptr, sip.importChanges);
    out.family("korvel_sip_import_publications", "gauge", "Live PUBLISHed states of SIP extensions.");
    out.sample(nullptr, static_cast<std::uint64_t>(sip.importPublications));
    out.family("korvel_sip_watched", "gauge", "SIP extensions watched at the SIP server, by subscription state.");
    out.sample("state=\"active\"", static_cast<std::uint64_t>(sip.watchedActive));
    out.sample("state=\"other\"", static_cast<std::uint64_t>(sip.watched - sip.watchedActive));
}

} // namespace

QByteArray MetricsText(const MetricsSnapshot& s)
{
    const TrafficCounters& c = *s.counters;
    Writer out;

    out.family("korvel_datagrams_received_total", "counter", "Datagrams received, by endpoint and message code.");
    static const char* const kEndpoints[kDatagramEndpoints] = { "udp", "udp_velka", "udp_rack" };
    static const char* const kEndpointLabels[kDatagramEndpoints]
        = { "endpoint=\"udp\"", "endpoint=\"udp_velka\"", "endpoint=\"udp_rack\"" };
    for (std::size_t e = 0; e < kDatagramEndpoints; ++e)
        ByMessage(out, kEndpoints[e], c.Datagrams[e]);
    out.family("korvel_receive_queue_bytes", "gauge",
        "Receive-buffer memory of datagrams waiting to be read, by endpoint (for udp also what the forwarding "
        "thread read and the hub has not handled): the backlog the hub is behind by.");
    for (std::size_t e = 0; e < kDatagramEndpoints; ++e)
        out.sample(kEndpointLabels[e], s.receiveQueues[e].bytes);
    out.family("korvel_receive_dropped_total", "counter",
        "Datagrams the kernel dropped because the endpoint's receive buffer was full.");
    for (std::size_t e = 0; e < kDatagramEndpoints; ++e)
        out.sample(kEndpointLabels[e], s.receiveQueues[e].drops);

    out.family("korvel_connections_received_total", "counter", "TCP connections accepted.");
    out.sample("endpoint=\"tcp\"", c.Connections);
    out.family("korvel_requests_received_total", "counter", "Requests read on TCP connections, by message code.");
    ByMessage(out, "tcp", c.TcpRequests);

    out.family("korvel_forwarded_total", "counter",
        "Copies of status reports and registrations forwarded to other systems, by message code.");
    ByMessage(out, nullptr, c.Forwarded);

    out.family("korvel_answers_sent_total", "counter",
        "Answers sent to systems (acks, station lists, notices), by the answer's message code.");
    ByMessage(out, nullptr, c.Answers);

    out.family("korvel_sent_bytes_total", "counter", "Bytes sent to systems.");
    out.sample(nullptr, s.sentBytes);
    out.family("korvel_received_bytes_total", "counter", "Bytes received from systems.");
    out.sample(nullptr, s.receivedBytes);

    out.family("korvel_send_failures_total", "counter", "One-shot sends that failed, by kind of failure.");
    static const char* const kFailures[kSendFailureKinds]
        = { "kind=\"lookup\"", "kind=\"socket\"", "kind=\"connect\"", "kind=\"connect_timeout\"", "kind=\"send\"" };
    for (std::size_t k = 0; k < kSendFailureKinds; ++k)
        out.sample(kFailures[k], c.SendFailures[k].load(std::memory_order_relaxed));

    out.family("korvel_send_queue_dropped_total", "counter", "Packets dropped because the send queue was full.");
    out.sample(nullptr, s.queueDropped);
    out.family("korvel_refused_senders_total", "counter", "Datagrams and connections refused by the allow-list.");
    out.sample(nullptr, s.refusedSenders);
    out.family("korvel_table_full_refusals_total", "counter",
        "New senders refused because the table held --max-systems systems.");
    out.sample(nullptr, c.RefusedTableFull);
    out.family("korvel_answers_held_back_total", "counter", "Datagram answers the per-address budget held back.");
    out.sample(nullptr, c.AnswersHeldBack);
    out.family("korvel_answers_held_back_bytes_total", "counter", "Bytes of the answers held back.");
    out.sample(nullptr, c.AnswerBytesHeldBack);
    out.family("korvel_connections_shed_total", "counter",
        "TCP connections closed to make room, or because their answers were not read.");
    out.sample(nullptr, c.ConnectionsShed);
    out.family("korvel_trace_lines_dropped_total", "counter", "Console lines dropped because a reader fell behind.");
    out.sample(nullptr, s.traceLinesDropped);

    out.family("korvel_systems", "gauge", "Known systems, by status.");
    static const char* const kStatuses[4]
        = { "status=\"working\"", "status=\"error\"", "status=\"no_data\"", "status=\"unknown\"" };
    for (std::size_t k = 0; k < 4; ++k)
        out.sample(kStatuses[k], static_cast<std::uint64_t>(s.systemsByStatus[k]));
    out.family("korvel_systems_max", "gauge", "Systems the table takes from the network (--max-systems).");
    out.sample(nullptr, static_cast<std::uint64_t>(s.maxSystems));
    out.family("korvel_stations_registered", "gauge", "Stations registered, over all systems.");
    out.sample(nullptr, static_cast<std::uint64_t>(s.stations));
    out.family("korvel_live_senders", "gauge", "One-shot sends started and not yet finished.");
    out.sample(nullptr, static_cast<double>(s.liveSenders));
    out.family("korvel_send_queue_depth", "gauge", "Sends waiting for the sender thread.");
    out.sample(nullptr, static_cast<double>(s.queueDepth));
    out.family("korvel_last_save_duration_seconds", "gauge", "How long the last save of the table took.");
    out.sample(nullptr, s.saveSeconds);
    out.family("korvel_last_save_success", "gauge", "1 when the last save wrote every file (or none was due yet).");
    out.sample(nullptr, static_cast<std::uint64_t>(s.saveSucceeded ? 1 : 0));
    out.family(
        "korvel_event_loop_lag_max_seconds", "gauge", "Longest delay of the main event loop over the last 10 seconds.");
    out.sample(nullptr, s.lagSeconds);
    out.family("korvel_healthy", "gauge", "1 when /healthz answers ok: every endpoint open, the last save done.");
    out.sample(nullptr, static_cast<std::uint64_t>(s.healthy ? 1 : 0));
    out.family("korvel_web_clients", "gauge", "Pages connected for live updates.");
    out.sample(nullptr, static_cast<std::uint64_t>(s.liveClients));
    out.family("korvel_web_writes_total", "counter", "Writes through the web API, by how they ended.");
    for (std::size_t i = 0; i < s.writes.size(); ++i)
        out.sample(("result=\"" + std::string(WriteApi::kResults[i]) + '"').c_str(), s.writes[i]);
    if (s.cluster)
        Cluster(out, *s.cluster);
    if (s.sip)
        Sip(out, *s.sip);
    return out.take();
}

} // namespace korvel
