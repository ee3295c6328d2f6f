#include "write_api.h"

#include "base/thread_check.h"
#include "net/ipv4_address.h"
#include "relay/hub.h"
#include "service/operator_commands.h"
#include "web/table_mirror.h"

#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>

#include <cmath>

namespace korvel {

namespace {

using Status = HttpStatus;

constexpr int kPingEchoes = 3;
constexpr int kPingTimeoutMs = 1000;
// Pings running at once; each holds a socket for up to three seconds.
constexpr int kMaxPings = 8;
constexpr qsizetype kMaxNameLength = 64;
const QString kSystemsPath = QStringLiteral("/api/systems");
const QString kSystemsPrefix = QStringLiteral("/api/systems/");
const QString kPingSuffix = QStringLiteral("/ping");

HttpReply Refused(Status status, const QByteArray& reason)
{
    return HttpReply::Text(status, reason);
}

HttpReply FromFailure(const Failure& failure)
{
    static constexpr Status kStatus[] = { Status::BadRequest, Status::NotFound, Status::Conflict,
        Status::InternalServerError, Status::ServiceUnavailable };
    return Refused(kStatus[static_cast<int>(failure.kind)], QByteArray::fromStdString(failure.reason));
}

HttpReply Done(Status status = Status::NoContent)
{
    return HttpReply { status, {}, {}, {} };
}

Failure Invalid(const QString& reason)
{
    return Fail(reason.toStdString(), Failure::Kind::Invalid);
}

// The body's JSON object holding only `allowed` fields; no body is an empty object.
Result<QJsonObject> BodyObject(const QByteArray& body, std::initializer_list<QLatin1String> allowed)
{
    if (body.trimmed().isEmpty())
        return QJsonObject();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return Invalid(
            QStringLiteral("the body is not JSON: %1 at offset %2").arg(error.errorString()).arg(error.offset));
    if (!document.isObject())
        return Invalid(QStringLiteral("the body is not a JSON object"));
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (std::find(allowed.begin(), allowed.end(), it.key()) == allowed.end())
            return Invalid(QStringLiteral("unknown field \"%1\"").arg(it.key().left(kMaxNameLength)));
    }
    return object;
}

// Dotted-quad text only: four numbers from 0 to 255 without leading zeros,
// which some readers take for octal.
Result<std::string> ApiAddress(const QString& text)
{
    const std::string address = text.toStdString();
    if (!NumericIPv4(address, 0))
        return Invalid(QStringLiteral("\"%1\" is not an IPv4 address (four numbers from 0 to 255, no leading zeros)")
                           .arg(text.left(kMaxNameLength)));
    return address;
}

Result<NewSystem> ReadNewSystem(const QJsonObject& body)
{
    if (!body.value(QLatin1String("address")).isString())
        return Invalid(QStringLiteral("\"address\" is required, as a string"));
    auto address = ApiAddress(body.value(QLatin1String("address")).toString());
    if (!address)
        return address.failure();
    NewSystem system { *address, {}, {}, false };
    if (body.contains(QLatin1String("name"))) {
        const QJsonValue name = body.value(QLatin1String("name"));
        const QString text = name.toString();
        // The name goes into system.dat between TABs on a CR LF line.
        const bool printable = std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u' ' && c <= u'~'; });
        if (!name.isString() || !printable || text.size() > kMaxNameLength)
            return Invalid(QStringLiteral("\"name\" must be a string of at most %1 printable ASCII characters")
                               .arg(kMaxNameLength));
        system.name = text.toStdString();
    }
    if (body.contains(QLatin1String("port"))) {
        const double port = body.value(QLatin1String("port")).toDouble(-1);
        if (port < 1 || port > 65535 || std::floor(port) != port)
            return Invalid(QStringLiteral("\"port\" must be a number from 1 to 65535"));
        system.port = static_cast<std::int32_t>(port);
    }
    if (body.contains(QLatin1String("type"))) {
        const QString type = body.value(QLatin1String("type")).toString();
        if (type != QLatin1String("qvx") && type != QLatin1String("velka"))
            return Invalid(QStringLiteral("\"type\" must be \"qvx\" or \"velka\""));
        system.velka = type == QLatin1String("velka");
    }
    return system;
}

// The command's answer; the service has written its audit line.
HttpReply Answer(const Result<void>& result, HttpReply success = Done())
{
    return result ? success : FromFailure(result.failure());
}

std::size_t ResultSlot(Status status)
{
    switch (status) {
    case Status::BadRequest:
    case Status::MethodNotAllowed:
        return 1;
    case Status::Unauthorized:
        return 2;
    case Status::Forbidden:
        return 3;
    case Status::NotFound:
        return 4;
    case Status::Conflict:
        return 5;
    case Status::PayloadTooLarge:
        return 6;
    case Status::UnsupportedMediaType:
        return 7;
    default:
        return static_cast<int>(status) < 300 ? 0 : 8;
    }
}

} // namespace

WriteApi::WriteApi(Hub& hub, const WebOptions& options, QObject* parent)
    : QObject(parent)
    , hub_(hub)
    , options_(options)
{
}

bool WriteApi::IsWrite(const QHttpServerRequest& request, const QString& path)
{
    using Method = QHttpServerRequest::Method;
    return request.method() != Method::Get && request.method() != Method::Head
        && path.startsWith(QLatin1String("/api/"));
}

bool WriteApi::mayWrite(const QHttpServerRequest& request) const
{
    owner_("mayWrite");
    return writable() && SameSecret(PresentedToken(request.url(), request.value("authorization")), options_.adminToken);
}

QByteArray WriteApi::optionsJson() const
{
    owner_("optionsJson");
    const QJsonObject options { { QStringLiteral("forward_status"), hub_.settings().ForwardStatus } };
    return QJsonDocument(options).toJson(QJsonDocument::Compact);
}

HttpReply WriteApi::counted(HttpReply reply)
{
    ++counts_[ResultSlot(reply.status)];
    return reply;
}

HttpReply WriteApi::handle(const QHttpServerRequest& request, const QString& path, Later later)
{
    owner_("handle");
    HttpReply reply = refusal(request);
    if (!reply.handled) {
        QString client = request.remoteAddress().toString();
        if (client.startsWith(QLatin1String("::ffff:")))
            client = client.mid(7);
        reply = perform(request, path, client, later);
    }
    return reply.handled ? counted(std::move(reply)) : reply;
}

HttpReply WriteApi::refusal(const QHttpServerRequest& request) const
{
    if (!writable())
        return Refused(Status::Forbidden, "read-only: start with --http-admin-token-file");
    const QByteArray presented = PresentedToken(request.url(), request.value("authorization"));
    if (!SameSecret(presented, options_.adminToken)) {
        if (!options_.token.isEmpty() && SameSecret(presented, options_.token))
            return Refused(Status::Forbidden, "The read token does not allow writes: use the admin token");
        HttpReply reply = Refused(Status::Unauthorized, "The admin bearer token is required to write");
        reply.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"korvel\"");
        return reply;
    }
    if (CrossOrigin(request))
        return Refused(Status::Forbidden, "Not from this origin");
    const QByteArray type = request.value("content-type").split(';').constFirst().trimmed().toLower();
    const QByteArray& body = request.body();
    const bool needsType = request.method() != QHttpServerRequest::Method::Delete || !body.isEmpty();
    if (needsType && type != kJsonType)
        return Refused(Status::UnsupportedMediaType, "A write needs Content-Type: application/json");
    if (body.size() > options_.maxBodyBytes) {
        return Refused(
            Status::PayloadTooLarge, "The body is over " + QByteArray::number(options_.maxBodyBytes / 1024) + " KiB");
    }
    return HttpReply::NotHandled();
}

HttpReply WriteApi::perform(const QHttpServerRequest& request, const QString& path, const QString& client, Later& later)
{
    using Method = QHttpServerRequest::Method;
    const Method method = request.method();
    const auto wrongMethod = [](const char* allowed) {
        HttpReply reply = Refused(Status::MethodNotAllowed, QByteArray("Only ") + allowed + " is served here");
        reply.headers.emplace_back("Allow", allowed);
        return reply;
    };
    const auto body = [&](std::initializer_list<QLatin1String> allowed) { return BodyObject(request.body(), allowed); };

    if (path == kSystemsPath) {
        if (method != Method::Post)
            return wrongMethod("GET, POST");
        const auto object
            = body({ QLatin1String("address"), QLatin1String("name"), QLatin1String("port"), QLatin1String("type") });
        auto system = object ? ReadNewSystem(*object) : Result<NewSystem>(object.failure());
        if (!system)
            return FromFailure(system.failure());
        const std::string& address = system->address;
        const HttpReply reply
            = Answer(commands_->addSystem(CommandSource::Web(client.toStdString()), *system), Done(Status::Created));
        const SystemEntry* entry = hub_.table().findSystem(address);
        if (reply.status != Status::Created || !entry)
            return reply;
        QJsonObject row = QJsonDocument::fromJson(TableMirror::RowJson(*entry)).object();
        if (hub_.allowList().active() && !hub_.allowList().allows(address)) {
            row.insert(QStringLiteral("warning"),
                QStringLiteral("allow.txt does not allow %1: the hub ignores what it sends")
                    .arg(QString::fromStdString(address)));
        }
        return HttpReply::Json(QJsonDocument(row).toJson(QJsonDocument::Compact), Status::Created);
    }
    if (path.startsWith(kSystemsPrefix)) {
        QString rest = path.mid(kSystemsPrefix.size());
        const bool isPing = rest.endsWith(kPingSuffix);
        if (isPing)
            rest.chop(kPingSuffix.size());
        if (rest.contains(QLatin1Char('/')) || rest.isEmpty())
            return Refused(Status::NotFound, "Not found");
        if (isPing ? method != Method::Post : method != Method::Delete)
            return wrongMethod(isPing ? "POST" : "GET, DELETE");
        const auto address = ApiAddress(rest);
        if (!address)
            return FromFailure(address.failure());
        if (const auto object = body({}); !object)
            return FromFailure(object.failure());
        if (isPing)
            return ping(rest, client, later);
        return Answer(commands_->deleteSystem(CommandSource::Web(client.toStdString()), *address));
    }
    if (path == QLatin1String("/api/initialize")) {
        if (method != Method::Post)
            return wrongMethod("POST");
        const auto object = body({ QLatin1String("confirm") });
        if (!object)
            return FromFailure(object.failure());
        if (object->value(QLatin1String("confirm")).toString() != QLatin1String("initialize"))
            return Refused(Status::BadRequest,
                "Initialize deletes every system: confirm with "
                "{\"confirm\": \"initialize\"}");
        return Answer(commands_->initialize(CommandSource::Web(client.toStdString())));
    }
    if (path == QLatin1String("/api/options")) {
        if (method != Method::Put)
            return wrongMethod("GET, PUT");
        const auto object = body({ QLatin1String("forward_status") });
        if (!object)
            return FromFailure(object.failure());
        const QJsonValue forward = object->value(QLatin1String("forward_status"));
        if (!forward.isBool())
            return Refused(Status::BadRequest, "\"forward_status\" is required, as true or false");
        HttpReply reply
            = Answer(commands_->setForwardStatus(CommandSource::Web(client.toStdString()), forward.toBool()),
                HttpReply::Json({}));
        if (reply.status == Status::Ok)
            reply.body = optionsJson();
        return reply;
    }
    const bool save = path == QLatin1String("/api/save");
    if (save || path == QLatin1String("/api/reload")) {
        if (method != Method::Post)
            return wrongMethod("POST");
        if (const auto object = body({}); !object)
            return FromFailure(object.failure());
        if (save)
            return Answer(commands_->saveNow(CommandSource::Web(client.toStdString())));
        return Answer(commands_->reload(CommandSource::Web(client.toStdString())));
    }
    if (path == QLatin1String("/api/stats") || path == QLatin1String("/api/trace")
        || path == QLatin1String("/api/whoami"))
        return wrongMethod("GET");
    return Refused(Status::NotFound, "Not found");
}

HttpReply WriteApi::ping(const QString& address, const QString& client, Later& later)
{
    if (!hub_.table().findSystem(address.toStdString()))
        return Refused(Status::NotFound, "No system has that address");
    if (pings_ >= kMaxPings)
        return Refused(Status::ServiceUnavailable, QByteArray::number(kMaxPings) + " pings are running: try again");
    PingRequest request;
    request.echoes = kPingEchoes;
    request.timeoutMs = kPingTimeoutMs;
    request.owner = this;
    request.done = [this, later](const PingOutcome& outcome) {
        --pings_;
        QJsonArray rtts;
        for (double rtt : outcome.rttMs)
            rtts.append(std::round(rtt * 1000) / 1000);
        const QJsonObject answer { { QStringLiteral("sent"), outcome.sent },
            { QStringLiteral("received"), outcome.received }, { QStringLiteral("rtt_ms"), rtts } };
        later(counted(HttpReply::Json(QJsonDocument(answer).toJson(QJsonDocument::Compact))));
    };
    const Result<void> started
        = commands_->pingSystem(CommandSource::Web(client.toStdString()), address.toStdString(), std::move(request));
    if (!started)
        return FromFailure(started.failure());
    ++pings_;
    return HttpReply::NotHandled();
}

} // namespace korvel
