#include "web_options.h"

#include <QFile>

namespace korvel {

namespace {

Failure Invalid(const QString& reason)
{
    return Fail(reason.toStdString(), Failure::Kind::Invalid);
}

} // namespace

Result<WebOptions> ParseHttpListen(const QString& text)
{
    auto fail = [&](const QString& why) { return Invalid(QStringLiteral("--http %1: %2").arg(text, why)); };
    WebOptions options;
    QString portText = text;
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        QString host = text.left(colon);
        portText = text.mid(colon + 1);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        else if (host.contains(QLatin1Char(':')))
            return fail(QStringLiteral("an IPv6 address goes in brackets, as in [::1]:9080"));
        if (!options.address.setAddress(host))
            return fail(QStringLiteral("'%1' is not an IP address").arg(host));
    }
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (!ok || port > 65535)
        return fail(QStringLiteral("'%1' is not a port number").arg(portText));
    options.port = static_cast<quint16>(port);
    return options;
}

Result<QByteArray> ReadTokenFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Invalid(QStringLiteral("cannot read the token file %1: %2").arg(path, file.errorString()));
    const QByteArray token = file.readLine(4096).trimmed();
    if (token.isEmpty())
        return Invalid(QStringLiteral("the token file %1 holds no token on its first line").arg(path));
    return token;
}

Result<void> CheckWebOptions(const WebOptions& options)
{
    if (options.token.isEmpty() && !options.address.isLoopback()) {
        return Invalid(QStringLiteral("the web console on %1 is reachable from other machines and needs a bearer "
                                      "token: give one with --http-token-file FILE")
                           .arg(options.address.toString()));
    }
    if (!options.address.isLoopback() && !options.tls.enabled() && !options.insecure) {
        return Invalid(QStringLiteral("the web console on %1 would send its token in clear: give --http-tls-cert FILE "
                                      "and --http-tls-key FILE, or --http-insecure to take that risk")
                           .arg(options.address.toString()));
    }
    return {};
}

} // namespace korvel
