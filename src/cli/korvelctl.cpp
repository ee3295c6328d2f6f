// korvelctl: the operator's commands and the hub's state through the web
// console's API, for scripts and shells on a server without a desktop.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslConfiguration>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;
// A ping takes up to three seconds on the hub.
constexpr int kTimeoutMs = 15000;

struct Answer {
    int status = 0;
    QByteArray body;
};

void Say(FILE* to, const QString& text)
{
    std::fprintf(to, "%s\n", qPrintable(text));
}

int Refused(const QString& reason)
{
    Say(stderr, QStringLiteral("korvelctl: ") + reason);
    return kFailed;
}

int Usage(const QString& mistake)
{
    Say(stderr, QStringLiteral("korvelctl: %1\nTry 'korvelctl --help'.").arg(mistake));
    return kUsage;
}

class Client {
public:
    Client(QUrl base, QByteArray token, QSslConfiguration tls)
        : base_(std::move(base))
        , token_(std::move(token))
        , tls_(std::move(tls))
    {
    }

    // The answer, or none when the hub could not be reached (said on standard error).
    std::optional<Answer> call(const QByteArray& method, const QString& path, const QByteArray& body = {})
    {
        QUrl url = base_;
        QString prefix = url.path();
        while (prefix.endsWith(QLatin1Char('/')))
            prefix.chop(1);
        url.setPath(prefix + path, QUrl::StrictMode);
        QNetworkRequest request(url);
        request.setTransferTimeout(kTimeoutMs);
        request.setSslConfiguration(tls_);
        if (!token_.isEmpty())
            request.setRawHeader("Authorization", "Bearer " + token_);
        if (method != "GET" && method != "DELETE")
            request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        QNetworkReply* reply = network_.sendCustomRequest(request, method, body);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        reply->deleteLater();
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid()) {
            Refused(QStringLiteral("cannot reach %1: %2").arg(base_.toString(), reply->errorString()));
            return std::nullopt;
        }
        return Answer { status.toInt(), reply->readAll() };
    }

private:
    QNetworkAccessManager network_;
    QUrl base_;
    QByteArray token_;
    QSslConfiguration tls_;
};

// The server's reason on standard error; the exit status of a refusal.
int Failed(const Answer& answer)
{
    QByteArray reason = answer.body.trimmed();
    if (reason.isEmpty())
        reason = "the hub answered " + QByteArray::number(answer.status);
    return Refused(QString::fromUtf8(reason));
}

// The body of a request the hub answered 200; otherwise nothing, with the
// failure said and `exitStatus` set.
std::optional<QByteArray> Fetch(Client& client, const char* method, const QString& path, int& exitStatus)
{
    const auto answer = client.call(method, path);
    if (!answer) {
        exitStatus = kFailed;
        return std::nullopt;
    }
    if (answer->status != 200) {
        exitStatus = Failed(*answer);
        return std::nullopt;
    }
    return answer->body;
}

// Columns as wide as their widest cell, the last one unpadded.
void PrintTable(const QList<QStringList>& rows)
{
    QList<qsizetype> widths;
    for (const QStringList& row : rows) {
        for (qsizetype i = 0; i < row.size(); ++i) {
            if (widths.size() <= i)
                widths.append(0);
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row[i].leftJustified(widths[i] + 2) : row[i];
        Say(stdout, line);
    }
}

QJsonObject Object(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).object();
}

QString Cell(const QJsonValue& value)
{
    return value.isDouble() ? QString::number(value.toInteger()) : value.toString();
}

QString Ago(qint64 secondsSinceEpoch)
{
    if (secondsSinceEpoch <= 0)
        return QStringLiteral("never");
    return QDateTime::fromSecsSinceEpoch(secondsSinceEpoch).toString(Qt::ISODate);
}

QString Path(const QString& address, const char* after = "")
{
    return QStringLiteral("/api/systems/") + QString::fromLatin1(QUrl::toPercentEncoding(address))
        + QLatin1String(after);
}

int Status(Client& client, bool json)
{
    const auto health = client.call("GET", QStringLiteral("/healthz"));
    if (!health)
        return kFailed;
    if (health->status != 200 && health->status != 503)
        return Failed(*health);
    const auto stats = client.call("GET", QStringLiteral("/api/stats"));
    if (!stats)
        return kFailed;
    if (stats->status != 200)
        return Failed(*stats);
    const QStringList problems = QString::fromUtf8(health->body.trimmed()).split(QLatin1Char('\n'));
    const bool healthy = health->status == 200;
    QJsonObject state = Object(stats->body);
    if (json) {
        state.insert(QStringLiteral("healthy"), healthy);
        state.insert(QStringLiteral("problems"), healthy ? QJsonArray() : QJsonArray::fromStringList(problems));
        state.remove(QStringLiteral("traffic"));
        Say(stdout, QString::fromUtf8(QJsonDocument(state).toJson(QJsonDocument::Compact)));
    } else {
        const QJsonObject systems = state.value(QStringLiteral("systems")).toObject();
        QStringList byStatus;
        for (auto it = systems.begin(); it != systems.end(); ++it)
            byStatus << QStringLiteral("%1 %2").arg(it.value().toInteger()).arg(it.key());
        PrintTable({
            { QStringLiteral("health"), healthy ? QStringLiteral("ok") : problems.join(QStringLiteral("; ")) },
            { QStringLiteral("systems"),
                QStringLiteral("%1 (%2)").arg(
                    Cell(state.value(QStringLiteral("systemCount"))), byStatus.join(QStringLiteral(", "))) },
            { QStringLiteral("stations"), Cell(state.value(QStringLiteral("stations"))) },
            { QStringLiteral("bytes sent"), Cell(state.value(QStringLiteral("sentBytes"))) },
            { QStringLiteral("bytes received"), Cell(state.value(QStringLiteral("receivedBytes"))) },
            { QStringLiteral("live senders"), Cell(state.value(QStringLiteral("liveSenders"))) },
            { QStringLiteral("uptime"), Cell(state.value(QStringLiteral("uptime"))) + QStringLiteral(" s") },
        });
    }
    return healthy ? 0 : Refused(QStringLiteral("unhealthy: ") + problems.join(QStringLiteral("; ")));
}

int Systems(Client& client, bool json)
{
    int status = 0;
    const std::optional<QByteArray> body = Fetch(client, "GET", QStringLiteral("/api/systems"), status);
    if (!body)
        return status;
    const QJsonArray systems = Object(*body).value(QStringLiteral("systems")).toArray();
    if (json) {
        Say(stdout, QString::fromUtf8(QJsonDocument(systems).toJson(QJsonDocument::Compact)));
        return 0;
    }
    QList<QStringList> rows { { QStringLiteral("ADDRESS"), QStringLiteral("NAME"), QStringLiteral("STATUS"),
        QStringLiteral("TYPE"), QStringLiteral("TO IP"), QStringLiteral("PORT"), QStringLiteral("STATIONS"),
        QStringLiteral("LAST HEARD") } };
    for (const QJsonValue& value : systems) {
        const QJsonObject system = value.toObject();
        rows.append({ Cell(system[QStringLiteral("address")]), Cell(system[QStringLiteral("name")]),
            Cell(system[QStringLiteral("statusText")]), Cell(system[QStringLiteral("type")]),
            Cell(system[QStringLiteral("toIp")]), Cell(system[QStringLiteral("port")]),
            Cell(system[QStringLiteral("stations")]), Ago(system[QStringLiteral("lastHeard")].toInteger()) });
    }
    PrintTable(rows);
    return 0;
}

int Stations(Client& client, const QString& address, bool json)
{
    int status = 0;
    const std::optional<QByteArray> body = Fetch(client, "GET", Path(address, "/stations"), status);
    if (!body)
        return status;
    if (json) {
        Say(stdout, QString::fromUtf8(body->trimmed()));
        return 0;
    }
    static const char* const kStates[] = { "Idle", "Busy", "DND", "Message", "Unknown", "Out of Service" };
    QList<QStringList> rows { { QStringLiteral("STATION"), QStringLiteral("STATE") } };
    for (const QJsonValue& value : Object(*body).value(QStringLiteral("stations")).toArray()) {
        const QJsonObject station = value.toObject();
        const int state = station.value(QStringLiteral("state")).toInt(-1);
        rows.append({ station.value(QStringLiteral("number")).toString(),
            state >= 0 && state <= 5 ? QLatin1String(kStates[state]) : QStringLiteral("(none)") });
    }
    PrintTable(rows);
    return 0;
}

// The SIP subscriptions, one line each, then the watchers of each station watched.
int Sip(Client& client, bool json)
{
    int status = 0;
    const std::optional<QByteArray> body = Fetch(client, "GET", QStringLiteral("/api/sip"), status);
    if (!body)
        return status;
    if (json) {
        Say(stdout, QString::fromUtf8(body->trimmed()));
        return 0;
    }
    const QJsonObject sip = Object(*body);
    QList<QStringList> rows { { QStringLiteral("EVENT"), QStringLiteral("STATION"), QStringLiteral("SOURCE"),
        QStringLiteral("EXPIRES"), QStringLiteral("VERSION"), QStringLiteral("CSEQ"), QStringLiteral("FAILURES") } };
    for (const QJsonValue& value : sip.value(QStringLiteral("subscriptions")).toArray()) {
        const QJsonObject subscription = value.toObject();
        rows.append({ Cell(subscription[QStringLiteral("event")]), Cell(subscription[QStringLiteral("station")]),
            Cell(subscription[QStringLiteral("source")]),
            Cell(subscription[QStringLiteral("expires")]) + QLatin1Char('s'),
            Cell(subscription[QStringLiteral("version")]), Cell(subscription[QStringLiteral("cseq")]),
            Cell(subscription[QStringLiteral("failures")]) });
    }
    PrintTable(rows);
    Say(stdout, QString());
    rows = { { QStringLiteral("STATION"), QStringLiteral("WATCHERS") } };
    const QJsonObject watchers = sip.value(QStringLiteral("watchers")).toObject();
    for (auto station = watchers.begin(); station != watchers.end(); ++station)
        rows.append({ station.key(), Cell(station.value()) });
    PrintTable(rows);
    return 0;
}

// A write: the reason on standard error when refused, else `done` (or the
// answer's JSON with --json) on standard output.
int Write(Client& client, const QByteArray& method, const QString& path, const QJsonObject& body, bool json,
    const QString& done)
{
    const QByteArray text = body.isEmpty() ? QByteArray() : QJsonDocument(body).toJson(QJsonDocument::Compact);
    const auto answer = client.call(method, path, text);
    if (!answer)
        return kFailed;
    if (answer->status >= 300)
        return Failed(*answer);
    const QJsonObject result = Object(answer->body);
    if (result.contains(QStringLiteral("warning")))
        Say(stderr, QStringLiteral("korvelctl: warning: ") + result.value(QStringLiteral("warning")).toString());
    if (json)
        Say(stdout, answer->body.isEmpty() ? QStringLiteral("{}") : QString::fromUtf8(answer->body.trimmed()));
    else if (!done.isEmpty())
        Say(stdout, done);
    return 0;
}

int Ping(Client& client, const QString& address, bool json)
{
    int status = 0;
    const std::optional<QByteArray> body = Fetch(client, "POST", Path(address, "/ping"), status);
    if (!body)
        return status;
    const QJsonObject result = Object(*body);
    const int received = result.value(QStringLiteral("received")).toInt();
    if (json) {
        Say(stdout, QString::fromUtf8(body->trimmed()));
    } else {
        QStringList times;
        for (const QJsonValue& rtt : result.value(QStringLiteral("rtt_ms")).toArray())
            times << QString::number(rtt.toDouble(), 'f', 3);
        Say(stdout,
            QStringLiteral("%1: %2 sent, %3 received%4")
                .arg(address)
                .arg(result.value(QStringLiteral("sent")).toInt())
                .arg(received)
                .arg(times.isEmpty()
                        ? QString()
                        : QStringLiteral(", round trip ") + times.join(QStringLiteral(" ")) + QStringLiteral(" ms")));
    }
    // As ping(8): no answer at all is a failure.
    return received > 0 ? 0 : Refused(address + QStringLiteral(" did not answer"));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvelctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVEL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Operates a running Korvel hub through its web console.\n\nCommands:\n"
        "  status                 health and counters (exit 1 when unhealthy)\n"
        "  systems                the system table\n"
        "  stations ADDR          a system's stations and their states\n"
        "  add ADDR [--name N] [--port P] [--velka]\n"
        "                         add a system\n"
        "  delete ADDR            delete a system\n"
        "  ping ADDR              3 ICMP echoes from the hub to the system\n"
        "  sip                    the SIP subscriptions and each station's watchers\n"
        "  initialize --yes       delete every system and save the empty table\n"
        "  forward on|off         the Forward Status Report option\n"
        "  save                   save the table now\n"
        "  reload                 save and read allow.txt again (as SIGHUP)\n\n"
        "Exit status: 0 done, 1 refused or failed (the hub's reason on standard error), 2 usage error."));
    const QCommandLineOption help({ QStringLiteral("h"), QStringLiteral("help") }, QStringLiteral("Show this help."));
    const QCommandLineOption version(
        { QStringLiteral("V"), QStringLiteral("version") }, QStringLiteral("Show the version."));
    const QCommandLineOption url(QStringLiteral("url"),
        QStringLiteral("The hub's web console (default http://127.0.0.1:9080, the service's)."), QStringLiteral("URL"));
    const QCommandLineOption tokenFile(QStringLiteral("token-file"),
        QStringLiteral("Send the bearer token on the first line of FILE: the admin token for commands that change "
                       "something."),
        QStringLiteral("FILE"));
    const QCommandLineOption cacert(QStringLiteral("cacert"),
        QStringLiteral("Trust the certificate authorities in the PEM FILE for an https URL."), QStringLiteral("FILE"));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print the hub's JSON instead of tables."));
    const QCommandLineOption name(
        QStringLiteral("name"), QStringLiteral("add: the system's name."), QStringLiteral("N"));
    const QCommandLineOption port(
        QStringLiteral("port"), QStringLiteral("add: the system's port (1 to 65535)."), QStringLiteral("P"));
    const QCommandLineOption velka(QStringLiteral("velka"), QStringLiteral("add: a Velka system (default QVX)."));
    const QCommandLineOption yes(QStringLiteral("yes"), QStringLiteral("initialize: yes, delete every system."));
    parser.addOptions({ help, version, url, tokenFile, cacert, json, name, port, velka, yes });
    parser.addPositionalArgument(QStringLiteral("COMMAND"), QStringLiteral("What to do (see above)."));

    if (!parser.parse(application.arguments()))
        return Usage(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        Say(stdout, QStringLiteral("korvelctl " KORVEL_VERSION));
        return 0;
    }

    const QStringList words = parser.positionalArguments();
    if (words.isEmpty())
        return Usage(QStringLiteral("no command given"));
    const QString command = words.constFirst();
    struct Shape {
        const char* command;
        int operands;
    };
    static constexpr Shape kShapes[]
        = { { "status", 0 }, { "systems", 0 }, { "stations", 1 }, { "add", 1 }, { "delete", 1 }, { "ping", 1 },
              { "initialize", 0 }, { "forward", 1 }, { "save", 0 }, { "reload", 0 }, { "sip", 0 } };
    const auto shape = std::find_if(
        std::begin(kShapes), std::end(kShapes), [&](const Shape& s) { return command == QLatin1String(s.command); });
    if (shape == std::end(kShapes))
        return Usage(QStringLiteral("unknown command '%1'").arg(command));
    if (words.size() - 1 != shape->operands) {
        return Usage(shape->operands == 0 ? QStringLiteral("%1 takes no operand").arg(command)
                                          : QStringLiteral("%1 takes one operand").arg(command));
    }
    if (command != QLatin1String("add") && (parser.isSet(name) || parser.isSet(port) || parser.isSet(velka)))
        return Usage(QStringLiteral("--name, --port and --velka belong to add"));
    if (command != QLatin1String("initialize") && parser.isSet(yes))
        return Usage(QStringLiteral("--yes belongs to initialize"));

    const QUrl base(parser.isSet(url) ? parser.value(url) : QStringLiteral("http://127.0.0.1:9080"), QUrl::StrictMode);
    if (!base.isValid() || (base.scheme() != QLatin1String("http") && base.scheme() != QLatin1String("https"))
        || base.host().isEmpty())
        return Usage(QStringLiteral("--url wants http://HOST:PORT or https://HOST:PORT"));
    QByteArray token;
    if (parser.isSet(tokenFile)) {
        QFile file(parser.value(tokenFile));
        if (!file.open(QIODevice::ReadOnly))
            return Usage(QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString()));
        token = file.readLine(4096).trimmed();
        if (token.isEmpty())
            return Usage(QStringLiteral("%1 holds no token on its first line").arg(file.fileName()));
    }
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    if (parser.isSet(cacert)) {
        const QList<QSslCertificate> authorities = QSslCertificate::fromPath(parser.value(cacert));
        if (authorities.isEmpty())
            return Usage(QStringLiteral("%1 holds no PEM certificate").arg(parser.value(cacert)));
        tls.setCaCertificates(authorities);
    }

    Client client(base, token, tls);
    const bool asJson = parser.isSet(json);
    const QString operand = words.value(1);
    if (command == QLatin1String("status"))
        return Status(client, asJson);
    if (command == QLatin1String("systems"))
        return Systems(client, asJson);
    if (command == QLatin1String("stations"))
        return Stations(client, operand, asJson);
    if (command == QLatin1String("sip"))
        return Sip(client, asJson);
    if (command == QLatin1String("ping"))
        return Ping(client, operand, asJson);
    if (command == QLatin1String("add")) {
        QJsonObject body { { QStringLiteral("address"), operand } };
        if (parser.isSet(name))
            body.insert(QStringLiteral("name"), parser.value(name));
        if (parser.isSet(port)) {
            bool ok = false;
            const int number = parser.value(port).toInt(&ok);
            if (!ok)
                return Usage(QStringLiteral("--port wants a number from 1 to 65535"));
            body.insert(QStringLiteral("port"), number);
        }
        if (parser.isSet(velka))
            body.insert(QStringLiteral("type"), QStringLiteral("velka"));
        return Write(client, "POST", QStringLiteral("/api/systems"), body, asJson, QStringLiteral("added ") + operand);
    }
    if (command == QLatin1String("delete"))
        return Write(client, "DELETE", Path(operand), {}, asJson, QStringLiteral("deleted ") + operand);
    if (command == QLatin1String("initialize")) {
        if (!parser.isSet(yes))
            return Usage(QStringLiteral("initialize deletes every system: say so with --yes"));
        return Write(client, "POST", QStringLiteral("/api/initialize"),
            { { QStringLiteral("confirm"), QStringLiteral("initialize") } }, asJson,
            QStringLiteral("every system deleted"));
    }
    if (command == QLatin1String("forward")) {
        if (operand != QLatin1String("on") && operand != QLatin1String("off"))
            return Usage(QStringLiteral("forward takes on or off"));
        return Write(client, "PUT", QStringLiteral("/api/options"),
            { { QStringLiteral("forward_status"), operand == QLatin1String("on") } }, asJson,
            QStringLiteral("status forwarding ") + operand);
    }
    if (command == QLatin1String("save"))
        return Write(client, "POST", QStringLiteral("/api/save"), {}, asJson, QStringLiteral("saved"));
    return Write(
        client, "POST", QStringLiteral("/api/reload"), {}, asJson, QStringLiteral("saved, allow.txt read again"));
}
