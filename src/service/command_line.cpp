#include "command_line.h"

#include "net/ipv4_address.h"
#include "service/sip_wiring.h"

#include <QCommandLineParser>
#include <QDir>
#include <QHostInfo>
#include <QStandardPaths>

#include <cstdio>
#include <functional>
#include <optional>

namespace korvel {

namespace {

// The hub listens on the base port and the four above it.
constexpr int kMaxBasePort = 65535 - 4;

QString Description()
{
    return QStringLiteral("Relay hub for the busy-lamp-field feature of PBX systems.\n"
                          "\n"
                          "With a display, korvel opens the operator's window (when it is installed);\n"
                          "without one, or with --headless, it runs as a service would. The table lives\n"
                          "in DIR/system.dat and DIR/<address>.dat; the line \"Base Port : N\" of\n"
                          "system.dat sets the ports (default 9000): TCP N, UDP N+1 (QVX systems),\n"
                          "N+3 (receive only), N+4 (Velka systems). DIR/allow.txt, when present, lists\n"
                          "the only addresses and ranges served.");
}

void Print(std::FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

Failure Mistake(const QString& text)
{
    return Fail(text.toStdString(), Failure::Kind::Invalid);
}

// A whole number from `least` to `most`, or nothing.
std::optional<qint64> Count(const QString& text, qint64 least, qint64 most)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok || value < least || value > most)
        return std::nullopt;
    return value;
}

} // namespace

Result<CommandLine> ParseCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(Description());
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({ "h", "help" }, "Show this text.");
    const QCommandLineOption version({ "v", "version" }, "Show the version.");
    const QCommandLineOption headless("headless", "Run without a window, even when a display is available.");
    const QCommandLineOption trace("trace",
        "Turn console logging on: headless, every trace line goes to standard output; with the window, the "
        "Console shows them.");
    const QCommandLineOption stalls("report-stalls",
        "Write a line to standard error whenever the event loop is held up for more than 100 ms, and the "
        "longest hold-up at exit.");
    const QCommandLineOption dataDir(
        "data-dir", "Keep the table in DIR (default: data, under the current folder).", "DIR", QStringLiteral("data"));
    const QCommandLineOption userData("user-data",
        "Keep the table in the user's data folder, $XDG_DATA_HOME/korvel (~/.local/share/korvel); the "
        "desktop entry starts the window so.");
    const QCommandLineOption basePort("base-port",
        "Use base port N (1 to 65531) instead of the \"Base Port\" line of system.dat; the table is saved "
        "with it.",
        "N");
    const QCommandLineOption ownAddress("own-address",
        "The hub's own IPv4 address, whose datagrams it ignores (default: the first address of the host "
        "name).",
        "A.B.C.D");
    const QCommandLineOption http("http",
        "Serve the web console, /metrics and /healthz on ADDR (default 127.0.0.1; an IPv6 address "
        "goes in brackets) and PORT.",
        "[ADDR:]PORT");
    const QCommandLineOption tokenFile("http-token-file",
        "Require the bearer token on the first line of FILE from web clients; needed when ADDR is not a "
        "loopback address.",
        "FILE");
    const QCommandLineOption tlsCert("http-tls-cert",
        "Serve the web console over HTTPS with the certificate in FILE (PEM or DER; a chain, the server's "
        "first); read again on SIGHUP.",
        "FILE");
    const QCommandLineOption tlsKey(
        "http-tls-key", "The private key of --http-tls-cert (PEM or DER, without a passphrase).", "FILE");
    const QCommandLineOption insecure("http-insecure",
        "Allow a token on an address that is not loopback without HTTPS: it crosses the network in clear.");
    const QCommandLineOption adminTokenFile("http-admin-token-file",
        "Accept the operator's commands through the web console (add, delete, ping, initialize, forward, save, "
        "reload) from clients with the bearer token on the first line of FILE; without it the console is "
        "read-only.",
        "FILE");
    const QCommandLineOption cluster("cluster",
        "Share the table with other hubs through the Redis server at URL (redis://HOST:PORT[/DB], or "
        "redis-sentinel://HOST:PORT[,HOST:PORT...]/MASTER[/DB] to find the master through Redis Sentinel) and relay "
        "their status reports.",
        "URL");
    const QCommandLineOption node(
        "node", "This hub's name among the others, unique in the cluster (default: the host name).", "NAME");
    const QCommandLineOption clusterName(
        "cluster-name", "Prefix of the cluster's keys and channel in Redis (default: korvel).", "NAME");
    const QCommandLineOption maxSystems("max-systems",
        "Take at most N systems from the network (default 10000); new senders beyond that are refused, "
        "with one line a second saying how many.",
        "N");
    const QCommandLineOption maxConnections("max-connections",
        "Keep at most N TCP connections open (default 1024); a new one beyond that closes the one idle "
        "longest.",
        "N");
    const QCommandLineOption answerBurst("answer-burst",
        "Send at most BYTES of datagram answers to one address at once (default 131072; 0: no limit).", "BYTES");
    const QCommandLineOption answerRate(
        "answer-rate", "Then at most BYTES a second to one address (default 65536).", "BYTES");
    const QCommandLineOption checkConfig("check-config",
        "Read system.dat, the station files and allow.txt, print every problem with its file and line, and "
        "exit with 0 (none) or 1, without opening a port.");
    parser.addOptions({ help, version, headless, trace, stalls, dataDir, userData, basePort, ownAddress, cluster, node,
        clusterName, maxSystems, maxConnections, answerBurst, answerRate, http, tokenFile, tlsCert, tlsKey, insecure,
        adminTokenFile, checkConfig });
    AddSipOptions(parser);

    if (!parser.parse(arguments))
        return Mistake(parser.errorText());
    if (parser.isSet(help)) {
        CommandLine answered;
        answered.answer = parser.helpText();
        answered.answer.replace(QStringLiteral("<executable_name>"), QStringLiteral("korvel"));
        return answered;
    }
    if (parser.isSet(version)) {
        CommandLine answered;
        answered.answer = QStringLiteral("korvel %1\n").arg(QStringLiteral(KORVEL_VERSION));
        return answered;
    }
    if (!parser.positionalArguments().isEmpty())
        return Mistake(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().constFirst()));

    CommandLine line;
    line.headless = parser.isSet(headless);
    line.service.trace = parser.isSet(trace);
    line.service.reportStalls = parser.isSet(stalls);
    line.checkConfig = parser.isSet(checkConfig);
    if (parser.isSet(userData) && parser.isSet(dataDir))
        return Mistake(QStringLiteral("give --data-dir or --user-data, not both"));
    QString folder = parser.value(dataDir);
    if (parser.isSet(userData))
        folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/korvel");
    if (folder.isEmpty())
        return Mistake(QStringLiteral("--data-dir wants a folder"));
    line.service.hub.dataDirectory = QFile::encodeName(folder).toStdString();
    if (parser.isSet(basePort)) {
        bool ok = false;
        const int port = parser.value(basePort).toInt(&ok);
        if (!ok || port < 1 || port > kMaxBasePort)
            return Mistake(QStringLiteral("--base-port wants a number from 1 to %1").arg(kMaxBasePort));
        line.service.hub.basePort = port;
    }
    if (parser.isSet(ownAddress)) {
        const QString text = parser.value(ownAddress);
        if (const auto address = ParseIPv4(text.toStdString()); !address)
            return Mistake(QStringLiteral("--own-address %1: %2").arg(text, QString::fromStdString(address.error())));
        line.service.hub.ownAddress = text.toStdString();
    }
    if (parser.isSet(cluster)) {
        ClusterOptions options;
        if (const auto parsed = ParseClusterUrl(parser.value(cluster).toStdString(), options); !parsed)
            return Mistake(QStringLiteral("--cluster %1").arg(QString::fromStdString(parsed.error())));
        const QString name = parser.isSet(node) ? parser.value(node) : QHostInfo::localHostName();
        if (name.isEmpty() || name.size() > 64 || name.contains(QLatin1Char(':')))
            return Mistake(QStringLiteral("--node wants a name of 1 to 64 characters without a colon"));
        options.node = name.toStdString();
        if (parser.isSet(clusterName)) {
            options.name = parser.value(clusterName).toStdString();
            if (options.name.empty())
                return Mistake(QStringLiteral("--cluster-name wants a name"));
        }
        line.service.cluster = options;
    } else if (parser.isSet(node) || parser.isSet(clusterName)) {
        return Mistake(QStringLiteral("--node and --cluster-name go with --cluster"));
    }
    const struct {
        const QCommandLineOption& option;
        qint64 least;
        qint64 most;
        std::function<void(qint64)> take;
    } counts[] = {
        { maxSystems, 1, 10'000'000, [&](qint64 n) { line.service.hub.maxSystems = static_cast<std::size_t>(n); } },
        { maxConnections, 1, 1'000'000,
            [&](qint64 n) { line.service.hub.maxConnections = static_cast<std::size_t>(n); } },
        { answerBurst, 0, 1 << 30,
            [&](qint64 n) { line.service.hub.answers.burstBytes = static_cast<std::uint32_t>(n); } },
        { answerRate, 1, 1 << 30,
            [&](qint64 n) { line.service.hub.answers.bytesPerSecond = static_cast<std::uint32_t>(n); } },
    };
    for (const auto& count : counts) {
        if (!parser.isSet(count.option))
            continue;
        const auto value = Count(parser.value(count.option), count.least, count.most);
        if (!value) {
            return Mistake(QStringLiteral("--%1 wants a number from %2 to %3")
                               .arg(count.option.names().constFirst())
                               .arg(count.least)
                               .arg(count.most));
        }
        count.take(*value);
    }
    for (const QCommandLineOption* option : { &tokenFile, &adminTokenFile, &tlsCert, &tlsKey, &insecure }) {
        if (parser.isSet(*option) && !parser.isSet(http))
            return Mistake(QStringLiteral("--%1 needs --http").arg(option->names().constFirst()));
    }
    if (parser.isSet(tlsCert) != parser.isSet(tlsKey)
        || (parser.isSet(tlsCert) && (parser.value(tlsCert).isEmpty() || parser.value(tlsKey).isEmpty())))
        return Mistake(QStringLiteral("--http-tls-cert and --http-tls-key go together, with a file each"));
    if (parser.isSet(http)) {
        Result<WebOptions> web = ParseHttpListen(parser.value(http));
        if (!web)
            return web.failure();
        web->tls = TlsFiles { parser.value(tlsCert), parser.value(tlsKey) };
        web->insecure = parser.isSet(insecure);
        if (parser.isSet(tokenFile)) {
            const Result<QByteArray> token = ReadTokenFile(parser.value(tokenFile));
            if (!token)
                return token.failure();
            web->token = *token;
        }
        if (parser.isSet(adminTokenFile)) {
            const Result<QByteArray> token = ReadTokenFile(parser.value(adminTokenFile));
            if (!token)
                return token.failure();
            web->adminToken = *token;
        }
        if (!web->adminToken.isEmpty() && web->adminToken == web->token)
            return Mistake(QStringLiteral("the admin token must differ from the read token"));
        if (const Result<void> checked = CheckWebOptions(*web); !checked)
            return checked.failure();
        line.service.web = std::move(*web);
    }
    if (const QString error = TakeSipOptions(parser, line.service); !error.isEmpty())
        return Mistake(error);
    return line;
}

Result<CommandLine> ParseCommandLine(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return ParseCommandLine(arguments);
}

std::optional<int> EndsAfterParsing(const Result<CommandLine>& parsed)
{
    if (!parsed) {
        Print(stderr, QStringLiteral("korvel: %1 (try korvel --help)\n").arg(QString::fromStdString(parsed.error())));
        return 2;
    }
    if (parsed->answer.isEmpty())
        return std::nullopt;
    Print(stdout, parsed->answer);
    return 0;
}

} // namespace korvel
