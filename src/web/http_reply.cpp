#include "http_reply.h"

#include <QHttpServerRequest>
#include <QUrlQuery>

namespace korvel {

HttpReply::Headers HttpReply::allHeaders() const
{
    Headers all;
    // A 204 has neither a body nor its length.
    if (status != HttpStatus::NoContent) {
        if (!type.isEmpty())
            all.emplace_back("Content-Type", type);
        all.emplace_back("Content-Length", QByteArray::number(body.size()));
    }
    all.emplace_back("Server", "korvel/" KORVEL_VERSION);
    all.emplace_back("X-Content-Type-Options", "nosniff");
    all.emplace_back("Referrer-Policy", "no-referrer");
    bool cacheSet = false;
    for (const auto& header : headers) {
        all.push_back(header);
        cacheSet = cacheSet || header.first == "Cache-Control";
    }
    if (!cacheSet)
        all.emplace_back("Cache-Control", "no-store");
    return all;
}

QByteArray HttpReply::serialized() const
{
    const int code = static_cast<int>(status);
    QByteArray text = "HTTP/1.1 " + QByteArray::number(code) + ' '
        + (code < 300 ? QByteArrayLiteral("OK") : QByteArrayLiteral("Error")) + "\r\n";
    for (const auto& [name, value] : allHeaders())
        text += name + ": " + value + "\r\n";
    return text + "\r\n" + body;
}

bool SameSecret(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

QByteArray PresentedToken(const QUrl& url, const QByteArray& authorization)
{
    static const QByteArray kBearer = QByteArrayLiteral("bearer ");
    if (authorization.size() > kBearer.size() && authorization.left(kBearer.size()).toLower() == kBearer)
        return authorization.mid(kBearer.size()).trimmed();
    const QUrlQuery query(url);
    return query.queryItemValue(QStringLiteral("access_token"), QUrl::FullyDecoded).toUtf8();
}

bool CrossOrigin(const QHttpServerRequest& request)
{
    const QByteArray host = request.value("host");
    const QByteArray origin = request.value("origin");
    return !origin.isEmpty() && origin.compare("http://" + host, Qt::CaseInsensitive) != 0
        && origin.compare("https://" + host, Qt::CaseInsensitive) != 0;
}

} // namespace korvel
