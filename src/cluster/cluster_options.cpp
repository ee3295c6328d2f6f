#include "cluster_options.h"

#include <QStringList>
#include <QUrl>

namespace korvel {

namespace {

constexpr char kSentinelScheme[] = "redis-sentinel://";

Result<void> ParseSentinelUrl(const QString& rest, ClusterOptions& options)
{
    const QString usage = QStringLiteral("wants redis-sentinel://HOST:PORT[,HOST:PORT...]/MASTER[/DB]");
    const QStringList parts = rest.split(QLatin1Char('/'));
    if (parts.size() < 2 || parts.size() > 3 || parts[0].isEmpty() || parts[1].isEmpty())
        return Fail(usage.toStdString(), Failure::Kind::Invalid);
    options.sentinels.clear();
    for (const QString& sentinel : parts[0].split(QLatin1Char(','))) {
        // Each one read as the host part of a plain Redis address.
        const QUrl url(QStringLiteral("redis://") + sentinel, QUrl::StrictMode);
        if (!url.isValid() || url.host().isEmpty() || !url.path().isEmpty() || !url.userInfo().isEmpty())
            return Fail(usage.toStdString(), Failure::Kind::Invalid);
        const int port = url.port(26379);
        if (port < 1)
            return Fail("wants a port from 1 to 65535", Failure::Kind::Invalid);
        options.sentinels.emplace_back(url.host().toStdString(), port);
    }
    options.master = parts[1].toStdString();
    options.host = options.sentinels.front().first;
    options.port = options.sentinels.front().second;
    options.database = 0;
    if (parts.size() == 3) {
        bool ok = false;
        options.database = parts[2].toInt(&ok);
        if (!ok || options.database < 0)
            return Fail("wants a database number after the master's name", Failure::Kind::Invalid);
    }
    return {};
}

} // namespace

Result<void> ParseClusterUrl(const std::string& text, ClusterOptions& options)
{
    if (text.starts_with(kSentinelScheme))
        return ParseSentinelUrl(QString::fromStdString(text.substr(sizeof kSentinelScheme - 1)), options);
    options.sentinels.clear();
    options.master.clear();
    const QUrl url(QString::fromStdString(text), QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QStringLiteral("redis") || url.host().isEmpty())
        return Fail("wants redis://HOST:PORT[/DB] or redis-sentinel://HOST:PORT[,HOST:PORT...]/MASTER[/DB]",
            Failure::Kind::Invalid);
    if (!url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment())
        return Fail("takes no user, query or fragment: redis://HOST:PORT[/DB]", Failure::Kind::Invalid);
    options.host = url.host().toStdString();
    options.port = url.port(6379);
    if (options.port < 1)
        return Fail("wants a port from 1 to 65535", Failure::Kind::Invalid);
    QString path = url.path();
    if (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    options.database = 0;
    if (!path.isEmpty()) {
        bool ok = false;
        options.database = path.toInt(&ok);
        if (!ok || options.database < 0)
            return Fail("wants a database number after the slash", Failure::Kind::Invalid);
    }
    return {};
}

} // namespace korvel
