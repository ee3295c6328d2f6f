#include "sip_wiring.h"

#include "cluster/cluster.h"
#include "log/notice.h"
#include "service/service.h"
#include "sip/sip_import.h"
#include "sip/sip_presence.h"
#include "sip/sip_watch.h"
#include "store/atomic_file.h"
#include "web/web_console.h"
#include "web/web_tls.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslCertificate>
#include <QSslKey>

#include <filesystem>

#include <QHostAddress>

namespace korvel {

namespace {

TlsFiles SipTlsFiles(const SipOptions& options)
{
    return TlsFiles { QString::fromStdString(options.tlsCertificate), QString::fromStdString(options.tlsKey) };
}

// The key and chain where the SIP library reads them, readable by the hub's
// user only. True when either file changed.
Result<bool> WriteSipTls(const std::filesystem::path& folder, const TlsCredentials& credentials)
{
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all, error);
    QByteArray chain;
    for (const QSslCertificate& certificate : credentials.configuration.localCertificateChain())
        chain += certificate.toPem();
    const QByteArray agent = credentials.configuration.privateKey().toPem() + chain;
    bool changed = false;
    for (const auto& [name, text] : { std::pair { "agent.pem", agent }, std::pair { "cafile.pem", chain } }) {
        const Result<bool> written = ReplaceFile(folder / name, std::string_view(text.data(), text.size()));
        if (!written)
            return written.failure();
        changed = changed || *written;
        std::filesystem::permissions(
            folder / name, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, error);
    }
    return changed;
}

} // namespace

void AddSipOptions(QCommandLineParser& parser)
{
    parser.addOption({ "sip",
        "Serve the stations' lamps to SIP phones and servers (SUBSCRIBE for dialog, presence and "
        "message-summary) on UDP and TCP at ADDR (default 0.0.0.0) and PORT.",
        "[ADDR:]PORT" });
    parser.addOption(
        { "sip-domain", "The host part of the stations' SIP addresses (default: the own address).", "NAME" });
    parser.addOption({ "sip-tls-cert",
        "Serve SIP over TLS too, on the --sip port + 1, with the certificate in FILE (PEM or DER; a chain, the "
        "server's first).",
        "FILE" });
    parser.addOption(
        { "sip-tls-key", "The private key of --sip-tls-cert (PEM or DER, without a passphrase).", "FILE" });
    parser.addOption({ "sip-system-address",
        "Report the states of SIP extensions (PUBLISH to the --sip port) to the exchanges as the stations of a "
        "system of the table at ADDR, an address no exchange has.",
        "ADDR" });
    parser.addOption({ "sip-system-name", "The name of the --sip-system-address system (default SIP).", "NAME" });
    parser.addOption({ "sip-watch",
        "SUBSCRIBE to the dialog events of the SIP extensions in FILE (one SIP URI a line, # comments; read again "
        "on SIGHUP) and report them as the --sip-system-address system's stations.",
        "FILE" });
    parser.addOption({ "sip-watch-server",
        "The SIP server that handles the --sip-watch extensions "
        "(HOST:PORT, with ;transport=tcp for TCP).",
        "HOST:PORT" });
    parser.addOption({ "sip-watch-credentials",
        "USER:PASSWORD for the --sip-watch-server's digest authentication, on the first line of FILE.", "FILE" });
    parser.addOption({ "max-sip-subscriptions", "Hold at most N SIP subscriptions (default 50000).", "N" });
    parser.addOption({ "max-sip-subscriptions-per-source",
        "Hold at most N SIP subscriptions from one address (default 10000).", "N" });
    parser.addOption({ "max-sip-connections",
        "Hold at most N SIP connections (TCP and TLS) that carry subscriptions (default 1024).", "N" });
}

QString TakeSipOptions(const QCommandLineParser& parser, ServiceOptions& options)
{
    const QString sip = QStringLiteral("sip");
    if (!parser.isSet(sip)) {
        for (const char* option : { "sip-domain", "sip-tls-cert", "sip-tls-key", "max-sip-subscriptions",
                 "max-sip-subscriptions-per-source", "max-sip-connections", "sip-system-address", "sip-system-name",
                 "sip-watch", "sip-watch-server", "sip-watch-credentials" }) {
            if (parser.isSet(QString::fromLatin1(option)))
                return QStringLiteral("--%1 needs --sip").arg(QString::fromLatin1(option));
        }
        return {};
    }
    SipOptions sipOptions;
    const QString text = parser.value(sip);
    QString portText = text;
    if (const qsizetype colon = text.lastIndexOf(QLatin1Char(':')); colon >= 0) {
        const QString host = text.left(colon);
        portText = text.mid(colon + 1);
        QHostAddress address;
        if (!address.setAddress(host) || address.protocol() != QAbstractSocket::IPv4Protocol)
            return QStringLiteral("--sip %1: '%2' is not an IPv4 address").arg(text, host);
        sipOptions.address = host.toStdString();
    }
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (!ok || port < 1 || port > 65535)
        return QStringLiteral("--sip %1: '%2' is not a port number").arg(text, portText);
    sipOptions.port = static_cast<std::uint16_t>(port);
    if (parser.isSet(QStringLiteral("sip-domain"))) {
        sipOptions.domain = parser.value(QStringLiteral("sip-domain")).toStdString();
        if (sipOptions.domain.empty() || sipOptions.domain.find_first_of(" \t<>@;") != std::string::npos)
            return QStringLiteral("--sip-domain wants a host name or address");
    }
    const struct {
        const char* name;
        std::size_t* value;
    } counts[] = {
        { "max-sip-subscriptions", &sipOptions.maxSubscriptions },
        { "max-sip-subscriptions-per-source", &sipOptions.maxPerSource },
        { "max-sip-connections", &sipOptions.maxConnections },
    };
    for (const auto& count : counts) {
        if (!parser.isSet(QString::fromLatin1(count.name)))
            continue;
        const qint64 value = parser.value(QString::fromLatin1(count.name)).toLongLong(&ok);
        if (!ok || value < 1 || value > 10'000'000)
            return QStringLiteral("--%1 wants a number from 1 to 10000000").arg(QString::fromLatin1(count.name));
        *count.value = static_cast<std::size_t>(value);
    }
    const QString cert = parser.value(QStringLiteral("sip-tls-cert"));
    const QString key = parser.value(QStringLiteral("sip-tls-key"));
    if (cert.isEmpty() != key.isEmpty())
        return QStringLiteral("--sip-tls-cert and --sip-tls-key go together, with a file each");
    if (!cert.isEmpty()) {
        if (port == 65535)
            return QStringLiteral("--sip-tls-cert: TLS takes the --sip port + 1, and there is none above 65535");
        sipOptions.tlsPort = static_cast<std::uint16_t>(port + 1);
        sipOptions.tlsCertificate = cert.toStdString();
        sipOptions.tlsKey = key.toStdString();
    }
    options.sip = sipOptions;
    if (parser.isSet(QStringLiteral("sip-system-address"))) {
        SipImportOptions import;
        const QString address = parser.value(QStringLiteral("sip-system-address"));
        QHostAddress parsed;
        if (!parsed.setAddress(address) || parsed.protocol() != QAbstractSocket::IPv4Protocol
            || parsed.toString() != address)
            return QStringLiteral("--sip-system-address %1: not an IPv4 address").arg(address);
        import.systemAddress = address.toStdString();
        if (parser.isSet(QStringLiteral("sip-system-name")))
            import.systemName = parser.value(QStringLiteral("sip-system-name")).toStdString();
        if (import.systemName.empty() || import.systemName.size() > 31)
            return QStringLiteral("--sip-system-name wants 1 to 31 characters");
        options.sipImport = import;
    } else {
        for (const char* option : { "sip-system-name", "sip-watch", "sip-watch-server", "sip-watch-credentials" }) {
            if (parser.isSet(QString::fromLatin1(option)))
                return QStringLiteral("--%1 needs --sip-system-address").arg(QString::fromLatin1(option));
        }
    }
    if (parser.isSet(QStringLiteral("sip-watch")) != parser.isSet(QStringLiteral("sip-watch-server")))
        return QStringLiteral("--sip-watch and --sip-watch-server go together");
    if (parser.isSet(QStringLiteral("sip-watch-credentials")) && !parser.isSet(QStringLiteral("sip-watch")))
        return QStringLiteral("--sip-watch-credentials needs --sip-watch");
    if (parser.isSet(QStringLiteral("sip-watch"))) {
        SipWatchOptions watch;
        watch.listFile = parser.value(QStringLiteral("sip-watch")).toStdString();
        watch.server = parser.value(QStringLiteral("sip-watch-server")).toStdString();
        watch.credentialsFile = parser.value(QStringLiteral("sip-watch-credentials")).toStdString();
        watch.localAddress = sipOptions.address;
        const QString server = parser.value(QStringLiteral("sip-watch-server")).section(QLatin1Char(';'), 0, 0);
        const qsizetype colon = server.lastIndexOf(QLatin1Char(':'));
        const uint serverPort = colon > 0 ? server.mid(colon + 1).toUInt(&ok) : 0;
        if (colon <= 0 || !ok || serverPort < 1 || serverPort > 65535)
            return QStringLiteral("--sip-watch-server wants HOST:PORT");
        options.sipWatch = watch;
    }
    return {};
}

Result<void> Service::startSip()
{
    if (!options_.sip)
        return {};
    SipOptions sipOptions = *options_.sip;
    if (sipOptions.domain.empty())
        sipOptions.domain = sipOptions.address != "0.0.0.0" ? sipOptions.address : hub_->settings().OwnAddress;
    sipOptions.stateFile = (options_.hub.dataDirectory / "sip-subscriptions.json").string();
    if (sipOptions.tlsPort != 0) {
        // The same checks as the web console's certificate; the SIP library
        // reads the key and chain from a folder of the hub's own.
        const Result<TlsCredentials> loaded = LoadTlsCredentials(SipTlsFiles(sipOptions));
        if (!loaded) {
            Notify(hub_->console(), Severity::Error, "SIP: " + loaded.error());
            return loaded.failure();
        }
        for (const QString& warning : loaded->warnings)
            Notify(hub_->console(), Severity::Warning, "SIP: " + warning.toStdString());
        const std::filesystem::path folder = options_.hub.dataDirectory / "sip-tls";
        if (const Result<bool> written = WriteSipTls(folder, *loaded); !written) {
            Notify(hub_->console(), Severity::Error, "SIP: " + written.error());
            return written.failure();
        }
        sipOptions.tlsFolder = folder.string();
        Notify(hub_->console(), Severity::Info, "SIP over TLS: " + loaded->description.toStdString());
    }
    // allow.txt keeps SIP sources out as it keeps exchanges out.
    auto allowed = [this](const std::string& address) { return hub_->allowList().allows(address); };
    sip_ = std::make_unique<SipPresence>(hub_->table(), hub_->console(), sipOptions, allowed);
    if (options_.sipImport) {
        Hub* hub = hub_.get();
        const std::string address = options_.sipImport->systemAddress;
        sipImport_ = std::make_unique<SipImport>(hub_->table(), hub_->console(), *options_.sipImport,
            [hub, address](Bytes packet) { hub->reportAsSystem(packet, address); });
        if (auto started = sipImport_->start(hub_->settings().OwnAddress); !started) {
            sip_.reset();
            sipImport_.reset();
            Notify(hub_->console(), Severity::Error, "SIP import: " + started.error());
            return started;
        }
        sip_->setImport(sipImport_.get());
        hub_->setVirtualSystem(address);
    }
    if (options_.sipWatch) {
        // The list and the credentials are read before anything runs.
        sipWatch_ = std::make_unique<SipWatch>(*sipImport_, hub_->console(), *options_.sipWatch);
        // In a cluster, the hub holding the virtual system's lease watches.
        if (auto started = sipWatch_->start(!cluster_); !started) {
            sipWatch_.reset();
            sip_.reset();
            sipImport_.reset();
            Notify(hub_->console(), Severity::Error, "SIP watch: " + started.error());
            return started;
        }
        if (cluster_) {
            SipWatch* watch = sipWatch_.get();
            auto* lease = new QTimer(watch);
            connect(lease, &QTimer::timeout, watch, [this, watch] {
                watch->setActive(cluster_->servingNode(options_.sipImport->systemAddress) == cluster_->node());
            });
            lease->start(500);
        }
    }
    if (auto started = sip_->start(); !started) {
        sip_.reset();
        Notify(hub_->console(), Severity::Error, "SIP: " + started.error());
        return started;
    }
    hub_->setPromptChanges(true);
    if (web_) {
        SipPresence* sip = sip_.get();
        web_->setSipSource({ [sip, import = sipImport_.get(), watch = sipWatch_.get()] {
                                SipStatus status;
                                const SipCounters& c = sip->counters();
                                status.subscriptions = sip->subscriptions().byEvent();
                                status.requests = c.requests;
                                status.malformed = sip->malformed();
                                status.refused = c.refused;
                                status.notifyOk = c.notifyOk;
                                status.notifyRetried = c.notifyRetried;
                                status.notifyGone = c.notifyGone;
                                status.notifyFailed = c.notifyFailed;
                                status.delayBounds.assign(
                                    SipCounters::kDelayBounds.begin(), SipCounters::kDelayBounds.end());
                                status.delayCounts.assign(c.delayCounts.begin(), c.delayCounts.end());
                                status.delaySum = c.delaySum;
                                if (import) {
                                    status.importing = true;
                                    status.importReports = import->reportsSent();
                                    status.importChanges = import->changesSent();
                                    status.importPublications = import->publications();
                                }
                                if (watch) {
                                    status.watched = watch->watched();
                                    status.watchedActive = watch->activeCount();
                                }
                                return status;
                            },
            [sip, import = sipImport_.get(), watch = sipWatch_.get()] {
                QByteArray json = sip->subscriptionsJson();
                if (import) {
                    QJsonObject object = QJsonDocument::fromJson(json).object();
                    object.insert(QStringLiteral("import"),
                        QJsonDocument::fromJson(QByteArray::fromStdString(import->json())).object());
                    if (watch)
                        object.insert(QStringLiteral("watched"),
                            QJsonDocument::fromJson(QByteArray::fromStdString(watch->json())).array());
                    json = QJsonDocument(object).toJson(QJsonDocument::Compact);
                }
                return json;
            },
            [sip](const std::string& station) { return sip->watchers(station); } });
    }
    Notify(hub_->console(), Severity::Info,
        "SIP presence on " + sipOptions.address + ":" + std::to_string(sipOptions.port) + " (UDP and TCP"
            + (sipOptions.tlsPort ? ", TLS on " + std::to_string(sipOptions.tlsPort) : std::string()) + "), domain "
            + sip_->options().domain);
    if (sipImport_)
        Notify(hub_->console(), Severity::Info,
            "SIP import: PUBLISHed extensions are the stations of " + options_.sipImport->systemAddress + " ("
                + options_.sipImport->systemName + ")");
    return {};
}

void Service::reloadSipTls()
{
    if (!sip_ || sip_->options().tlsPort == 0)
        return;
    // Checked as at start; a pair that cannot be used changes nothing.
    const Result<TlsCredentials> loaded = LoadTlsCredentials(SipTlsFiles(sip_->options()));
    if (!loaded) {
        Notify(hub_->console(), Severity::Warning, "SIP: " + loaded.error() + "; the certificate in use stays");
        return;
    }
    const Result<bool> written = WriteSipTls(sip_->options().tlsFolder, *loaded);
    if (!written) {
        Notify(hub_->console(), Severity::Warning, "SIP: " + written.error() + "; the certificate in use stays");
        return;
    }
    for (const QString& warning : loaded->warnings)
        Notify(hub_->console(), Severity::Warning, "SIP: " + warning.toStdString());
    const std::string serving = "SIP over TLS: serving " + loaded->description.toStdString();
    // The same certificate again keeps the subscribers' connections.
    if (!*written && sip_->tlsListening()) {
        Notify(hub_->console(), Severity::Info, serving + ", unchanged");
        return;
    }
    if (const Result<void> reloaded = sip_->reloadTls(); !reloaded) {
        Notify(hub_->console(), Severity::Error, "SIP: " + reloaded.error());
        return;
    }
    Notify(hub_->console(), Severity::Info, serving);
}

} // namespace korvel
