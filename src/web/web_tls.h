#pragma once

#include "base/result.h"

#include <QSslConfiguration>
#include <QString>
#include <QStringList>

namespace korvel {

// The certificate (with its chain, leaf first) and the private key the
// console serves HTTPS with, as PEM or DER files.
struct TlsFiles {
    QString certificate;
    QString key;
    bool enabled() const { return !certificate.isEmpty(); }
};

struct TlsCredentials {
    QSslConfiguration configuration;
    // What the operator should know but that does not stop the console,
    // such as an expired certificate.
    QStringList warnings;
    // One line for the log: which certificate is served, and until when.
    QString description;
};

// Reads both files and checks that the key belongs to the certificate; each
// failure names its file.
Result<TlsCredentials> LoadTlsCredentials(const TlsFiles& files);

} // namespace korvel
