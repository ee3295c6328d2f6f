#pragma once

#include <QByteArray>
#include <QHttpServerResponder>

#include <utility>
#include <vector>

class QHttpServerRequest;
class QUrl;

namespace korvel {

using HttpStatus = QHttpServerResponder::StatusCode;

inline const QByteArray kJsonType = QByteArrayLiteral("application/json");
inline const QByteArray kTextType = QByteArrayLiteral("text/plain; charset=utf-8");

// One answer of the web console.
struct HttpReply {
    using Headers = std::vector<std::pair<QByteArray, QByteArray>>;
    HttpStatus status = HttpStatus::Ok;
    QByteArray type;
    QByteArray body;
    Headers headers;
    // False: not answered here; the caller goes on.
    bool handled = true;

    static HttpReply Text(HttpStatus status, const QByteArray& text) { return { status, kTextType, text + '\n', {} }; }
    static HttpReply Json(const QByteArray& json, HttpStatus status = HttpStatus::Ok)
    {
        return { status, kJsonType, json, {} };
    }
    static HttpReply NotHandled() { return { HttpStatus::Ok, {}, {}, {}, false }; }

    // Every header the answer goes out with, the common ones included.
    Headers allHeaders() const;
    // The whole answer on the wire, for one written after its request's handler returned.
    QByteArray serialized() const;
};

// Compares without stopping at the first difference, so the time taken says
// nothing about how much of a guess was right.
bool SameSecret(const QByteArray& a, const QByteArray& b);

// The token a request presents: a bearer token, else the access_token query
// parameter (a browser cannot put a header on a WebSocket or on the page's
// first load); empty when it presents none.
QByteArray PresentedToken(const QUrl& url, const QByteArray& authorization);

// A request a browser sent from a page of another origin; one without an
// Origin (a script, a command-line client) is not.
bool CrossOrigin(const QHttpServerRequest& request);

} // namespace korvel
