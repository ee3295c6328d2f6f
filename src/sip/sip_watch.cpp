#include "sip_watch.h"

// The library's headers first: glib's use the words Qt makes keywords.
#include <sofia-sip/msg_header.h>
#include <sofia-sip/nua.h>
#include <sofia-sip/nua_tag.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/sip_tag.h>
#include <sofia-sip/su_glib.h>

#include "log/console_log.h"
#include "log/notice.h"
#include "protocol/wire_format.h"
#include "sip/sip_import.h"

#include <QAbstractEventDispatcher>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <set>

namespace korvel {

namespace {

constexpr int kFirstRetryMs = 1000;
constexpr int kLastRetryMs = 60'000;
// One refresh this often, whatever the list's length: a server that restarted
// without its subscriptions is noticed within about this time plus a round trip.
constexpr int kCheckMs = 5000;
constexpr const char* kExpires = "600";

QString Trimmed(const QByteArray& line)
{
    QByteArray text = line;
    if (const qsizetype hash = text.indexOf('#'); hash >= 0)
        text.truncate(hash);
    return QString::fromUtf8(text).trimmed();
}

// The hub's own end takes the server's transport, so that its Contact tells
// the server how to send the NOTIFYs: a server on TCP only cannot use UDP.
std::string LocalUrl(const std::string& address, const std::string& server)
{
    const QString params = QString::fromStdString(server).section(QLatin1Char(';'), 1);
    for (const QString& param : params.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        if (param.trimmed().startsWith(QLatin1String("transport="), Qt::CaseInsensitive))
            return "sip:" + address + ":*;" + param.trimmed().toLower().toStdString();
    }
    return "sip:" + address + ":*";
}

} // namespace

Result<std::vector<std::pair<std::string, std::string>>> ReadWatchList(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return Fail("cannot read the watch list " + path + ": " + file.errorString().toStdString());
    std::vector<std::pair<std::string, std::string>> list;
    std::set<std::string> seen;
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        const QString line = Trimmed(file.readLine());
        if (line.isEmpty())
            continue;
        const qsizetype at = line.indexOf(QLatin1Char('@'));
        const bool sip = line.startsWith(QLatin1String("sip:"));
        const QString user = at > 4 ? line.mid(4, at - 4) : QString();
        if (!sip || user.isEmpty() || at + 1 >= line.size() || line.contains(QLatin1Char(' '))
            || user.toUtf8().size() > static_cast<qsizetype>(wire::kStationSize))
            return Fail(path + " line " + std::to_string(number) + ": not a SIP URI sip:EXTENSION@HOST",
                Failure::Kind::Invalid);
        if (seen.insert(line.toStdString()).second)
            list.emplace_back(line.toStdString(), user.toStdString());
    }
    return list;
}

Result<SipCredentials> ReadCredentials(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return Fail("cannot read the SIP credentials " + path + ": " + file.errorString().toStdString());
    while (!file.atEnd()) {
        const QByteArray raw = file.readLine().trimmed();
        if (raw.isEmpty() || raw.startsWith('#'))
            continue;
        const qsizetype colon = raw.indexOf(':');
        if (colon <= 0 || colon + 1 >= raw.size())
            break;
        return SipCredentials { raw.left(colon).toStdString(), raw.mid(colon + 1).toStdString() };
    }
    return Fail("the SIP credentials " + path + " hold no line USER:PASSWORD", Failure::Kind::Invalid);
}

struct SipWatch::Library {
    su_root_t* root = nullptr;
    GSource* source = nullptr;
    QTimer* poll = nullptr;
    nua_t* nua = nullptr;
    bool shutDown = false;

    ~Library()
    {
        if (nua) {
            // The user agent ends its transactions before it goes.
            nua_shutdown(nua);
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (!shutDown && std::chrono::steady_clock::now() < until)
                su_root_step(root, 50);
            nua_destroy(nua);
        }
        if (source) {
            g_source_destroy(source);
            g_source_unref(source);
        }
        if (root)
            su_root_destroy(root);
        delete poll;
    }
};

struct SipWatch::Watch {
    std::string uri;
    std::string extension;
    nua_handle_t* handle = nullptr;
    std::string state = "subscribing";
    bool authTried = false;
    // A refresh of ours awaits its answer: the checks send no other meanwhile.
    bool refreshing = false;
    int retryMs = kFirstRetryMs;
    QTimer retry;
    std::uint64_t notifies = 0;

    ~Watch()
    {
        if (handle)
            nua_handle_destroy(handle);
    }
};

namespace {

void EventCallback(nua_event_t event, int status, const char* phrase, nua_t*, nua_magic_t* magic, nua_handle_t* handle,
    nua_hmagic_t* watch, const sip_t* sip, tagi_t*)
{
    reinterpret_cast<SipWatch*>(magic)->onEvent(
        event, status, phrase, handle, reinterpret_cast<SipWatch::Watch*>(watch), sip);
}

} // namespace

SipWatch::SipWatch(SipImport& import, ConsoleLog& console, SipWatchOptions options)
    : import_(import)
    , console_(console)
    , options_(std::move(options))
{
    check_.setInterval(kCheckMs);
    QObject::connect(&check_, &QTimer::timeout, this, &SipWatch::checkNext);
}

SipWatch::~SipWatch()
{
    // The library's shutdown below steps the event loop: nothing may start again meanwhile.
    closing_ = true;
    watches_.clear();
    library_.reset();
}

Result<void> SipWatch::start(bool active)
{
    active_ = active;
    // Everything read first: a mistake stops the start before anything runs.
    auto list = ReadWatchList(options_.listFile);
    if (!list)
        return list.failure();
    if (!options_.credentialsFile.empty()) {
        auto credentials = ReadCredentials(options_.credentialsFile);
        if (!credentials)
            return credentials.failure();
        credentials_ = *credentials;
        haveCredentials_ = true;
    }
    static const bool initialized = su_init() == 0;
    if (!initialized)
        return Fail("the SIP library did not start");
    library_ = std::make_unique<Library>();
    Library& lib = *library_;
    const QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (dispatcher && dispatcher->inherits("QEventDispatcherGlib")) {
        lib.root = su_glib_root_create(nullptr);
        if (lib.root) {
            lib.source = su_glib_root_gsource(lib.root);
            g_source_ref(lib.source);
            g_source_attach(lib.source, nullptr);
        }
    } else {
        lib.root = su_root_create(nullptr);
        if (lib.root) {
            lib.poll = new QTimer;
            QObject::connect(lib.poll, &QTimer::timeout, lib.poll, [root = lib.root] { su_root_step(root, 0); });
            lib.poll->start(2);
        }
    }
    if (!lib.root) {
        library_.reset();
        return Fail("the SIP library's event loop did not start");
    }
    const std::string local = LocalUrl(options_.localAddress, options_.server);
    const std::string proxy = "sip:" + options_.server;
    lib.nua = nua_create(lib.root, EventCallback, reinterpret_cast<nua_magic_t*>(this), NUTAG_URL(local.c_str()),
        NUTAG_PROXY(proxy.c_str()), TAG_END());
    if (!lib.nua) {
        library_.reset();
        return Fail("cannot open the SIP watcher's port on " + options_.localAddress);
    }
    for (const auto& [uri, extension] : *list)
        addWatch(uri, extension);
    check_.start();
    return {};
}

void SipWatch::setActive(bool active)
{
    if (closing_ || active == active_ || !library_)
        return;
    active_ = active;
    for (auto& [uri, watch] : watches_) {
        watch->retry.stop();
        watch->retryMs = kFirstRetryMs;
        if (active) {
            subscribe(*watch);
        } else {
            if (watch->handle) {
                nua_handle_bind(watch->handle, nullptr);
                nua_unsubscribe(watch->handle, TAG_END());
                nua_handle_unref(watch->handle);
                watch->handle = nullptr;
            }
            watch->state = "watched by another hub";
        }
    }
}

void SipWatch::addWatch(const std::string& uri, const std::string& extension)
{
    auto watch = std::make_unique<Watch>();
    watch->uri = uri;
    watch->extension = extension;
    Watch* held = watch.get();
    watch->retry.setSingleShot(true);
    QObject::connect(&watch->retry, &QTimer::timeout, this, [this, held] { subscribe(*held); });
    watches_.emplace(uri, std::move(watch));
    if (active_)
        subscribe(*held);
    else
        held->state = "watched by another hub";
}

Result<void> SipWatch::reload()
{
    auto list = ReadWatchList(options_.listFile);
    if (!list) {
        Notify(console_, Severity::Error, "SIP watch: " + list.error() + "; the list in use stays");
        return list.failure();
    }
    std::set<std::string> wanted;
    for (const auto& [uri, extension] : *list) {
        wanted.insert(uri);
        if (watches_.contains(uri))
            continue;
        addWatch(uri, extension);
    }
    for (auto it = watches_.begin(); it != watches_.end();) {
        if (wanted.contains(it->first)) {
            ++it;
            continue;
        }
        Watch& watch = *it->second;
        if (watch.handle) {
            // The handle goes with the watch: its later events find no watch.
            nua_handle_bind(watch.handle, nullptr);
            nua_unsubscribe(watch.handle, TAG_END());
            nua_handle_unref(watch.handle);
            watch.handle = nullptr;
        }
        // No longer watched: its lamp goes out once, not busy for ever.
        import_.setState(watch.extension, STATUS_IDLE);
        it = watches_.erase(it);
    }
    return {};
}

void SipWatch::subscribe(Watch& watch)
{
    if (!active_ || closing_)
        return;
    if (watch.handle)
        nua_handle_destroy(watch.handle);
    watch.authTried = false;
    watch.refreshing = false;
    watch.state = "subscribing";
    watch.handle = nua_handle(
        library_->nua, reinterpret_cast<nua_hmagic_t*>(&watch), SIPTAG_TO_STR(watch.uri.c_str()), TAG_END());
    nua_subscribe(watch.handle, SIPTAG_EVENT_STR("dialog"), SIPTAG_ACCEPT_STR("application/dialog-info+xml"),
        SIPTAG_EXPIRES_STR(kExpires), TAG_END());
}

void SipWatch::refresh(Watch& watch)
{
    // The same request on the subscribed handle refreshes it within its dialog.
    watch.refreshing = true;
    nua_subscribe(watch.handle, SIPTAG_EVENT_STR("dialog"), SIPTAG_ACCEPT_STR("application/dialog-info+xml"),
        SIPTAG_EXPIRES_STR(kExpires), TAG_END());
}

void SipWatch::checkNext()
{
    if (!active_ || closing_ || watches_.empty())
        return;
    auto it = watches_.upper_bound(lastChecked_);
    for (std::size_t looked = 0; looked < watches_.size(); ++looked, ++it) {
        if (it == watches_.end())
            it = watches_.begin();
        if (it->second->state == "active" && it->second->handle && !it->second->refreshing) {
            lastChecked_ = it->first;
            refresh(*it->second);
            return;
        }
    }
}

void SipWatch::refreshAll()
{
    // Once per check interval: the refreshes it sends fail alike and must not start it again.
    if (lastRefreshAll_.isValid() && lastRefreshAll_.elapsed() < kCheckMs)
        return;
    lastRefreshAll_.start();
    for (auto& [uri, watch] : watches_) {
        if (watch->state == "active" && watch->handle && !watch->refreshing)
            refresh(*watch);
    }
}

void SipWatch::resubscribe(Watch& watch, const char* why)
{
    watch.state = why;
    watch.retry.start(watch.retryMs == kFirstRetryMs ? 0 : watch.retryMs);
    watch.retryMs = std::min(watch.retryMs * 2, kLastRetryMs);
}

void SipWatch::retryLater(Watch& watch, const char* why)
{
    watch.state = why;
    // Until it is watched again nobody can say what it does.
    import_.setState(watch.extension, STATUS_OOS);
    watch.retry.start(watch.retryMs);
    watch.retryMs = std::min(watch.retryMs * 2, kLastRetryMs);
}

void SipWatch::onEvent(int event, int status, const char* phrase, void* handle, Watch* watch, const void* sipPointer)
{
    const auto* sip = static_cast<const sip_t*>(sipPointer);
    if (event == nua_r_shutdown && status >= 200) {
        if (library_)
            library_->shutDown = true;
        return;
    }
    if (!watch || watch->handle != handle)
        return;
    if (console_.enabled() && (event == nua_r_subscribe || event == nua_i_notify || event == nua_r_unsubscribe))
        console_.log("SIP watch %s: %s %d %s", watch->uri.c_str(), nua_event_name(static_cast<nua_event_t>(event)),
            status, phrase ? phrase : "");
    switch (event) {
    case nua_r_subscribe:
        if (status >= 200)
            watch->refreshing = false;
        if (status == 401 || status == 407) {
            const msg_auth_t* challenge
                = sip ? (status == 401 ? sip->sip_www_authenticate : sip->sip_proxy_authenticate) : nullptr;
            const char* realm = challenge ? msg_params_find(challenge->au_params, "realm=") : nullptr;
            if (!haveCredentials_ || watch->authTried || !realm) {
                Notify(console_, Severity::Error,
                    "SIP watch " + watch->uri + ": the server wants credentials "
                        + (haveCredentials_ ? "and refused them" : "and none were given (--sip-watch-credentials)"));
                retryLater(*watch, "authentication failed");
                return;
            }
            watch->authTried = true;
            const std::string auth = std::string(challenge->au_scheme) + ":" + realm + ":" + credentials_.user + ":"
                + credentials_.password;
            nua_authenticate(watch->handle, NUTAG_AUTH(auth.c_str()), TAG_END());
        } else if (status >= 200 && status < 300) {
            watch->state = "active";
            watch->retryMs = kFirstRetryMs;
        } else if (status >= 300) {
            const bool refreshed = watch->state == "active";
            // The server forgot the subscription (it restarted, say): asked again
            // at once, the lamp unchanged unless that fails too.
            if (status == 481)
                resubscribe(*watch, "gone (481), re-subscribing");
            else
                retryLater(*watch, "refused, re-subscribing");
            if (refreshed)
                refreshAll();
        }
        break;
    case nua_i_notify:
        if (!sip)
            break;
        ++watch->notifies;
        if (sip->sip_payload && sip->sip_payload->pl_len > 0) {
            if (const auto state = StateFromDialogInfo(
                    std::string_view(sip->sip_payload->pl_data, static_cast<std::size_t>(sip->sip_payload->pl_len))))
                import_.setState(watch->extension, *state);
        }
        if (sip->sip_subscription_state && sip->sip_subscription_state->ss_substate) {
            const std::string substate = sip->sip_subscription_state->ss_substate;
            if (substate == "terminated") {
                // The server ended it: watched again at once, then with the back-off.
                resubscribe(*watch, "terminated, re-subscribing");
            } else {
                watch->state = substate;
            }
        }
        break;
    default:
        break;
    }
}

std::size_t SipWatch::activeCount() const
{
    return static_cast<std::size_t>(std::count_if(
        watches_.begin(), watches_.end(), [](const auto& entry) { return entry.second->state == "active"; }));
}

std::string SipWatch::json() const
{
    QJsonArray list;
    for (const auto& [uri, watch] : watches_) {
        list.append(QJsonObject {
            { QStringLiteral("uri"), QString::fromStdString(uri) },
            { QStringLiteral("extension"), QString::fromStdString(watch->extension) },
            { QStringLiteral("state"), QString::fromStdString(watch->state) },
            { QStringLiteral("notifies"), static_cast<qint64>(watch->notifies) },
        });
    }
    return QJsonDocument(list).toJson(QJsonDocument::Compact).toStdString();
}

} // namespace korvel
