#include "cluster_options.h"

#include <QUrl>

namespace korvel {

std::optional<std::string> ParseClusterUrl(const std::string& text, ClusterOptions& options)
{
    const QUrl url(QString::fromStdString(text), QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QStringLiteral("redis") || url.host().isEmpty())
        return "wants redis://HOST:PORT[/DB]";
    if (!url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment())
        return "takes no user, query or fragment: redis://HOST:PORT[/DB]";
    options.host = url.host().toStdString();
    options.port = url.port(6379);
    if (options.port < 1)
        return "wants a port from 1 to 65535";
    QString path = url.path();
    if (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    options.database = 0;
    if (!path.isEmpty()) {
        bool ok = false;
        options.database = path.toInt(&ok);
        if (!ok || options.database < 0)
            return "wants a database number after the slash";
    }
    return std::nullopt;
}

} // namespace korvel
