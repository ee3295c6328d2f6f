#include "web_tls.h"

#include <QDateTime>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

namespace korvel {

namespace {

// Beyond any certificate or key an operator hands over; a larger file is a
// mistake, not something to read into memory.
constexpr qint64 kMaxFileBytes = 1 << 20;

Failure FileFailure(const QString& text)
{
    return Fail(text.toStdString(), Failure::Kind::Invalid);
}

Result<QByteArray> ReadSmallFile(const QString& what, const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return FileFailure(QStringLiteral("cannot read the %1 file %2: %3").arg(what, path, file.errorString()));
    const QByteArray data = file.read(kMaxFileBytes + 1);
    if (data.size() > kMaxFileBytes)
        return FileFailure(QStringLiteral("the %1 file %2 is larger than 1 MiB").arg(what, path));
    return data;
}

// Qt's key class needs the algorithm up front; the file does not say it.
QSslKey ReadPrivateKey(const QByteArray& data)
{
    for (const QSsl::EncodingFormat format : { QSsl::Pem, QSsl::Der }) {
        for (const QSsl::KeyAlgorithm algorithm : { QSsl::Rsa, QSsl::Ec, QSsl::Dsa }) {
            QSslKey key(data, algorithm, format, QSsl::PrivateKey);
            if (!key.isNull())
                return key;
        }
    }
    return {};
}

// Qt offers no way to tell whether a private key belongs to a certificate;
// the TLS library Qt runs on does.
bool KeyMatches(const QSslCertificate& certificate, const QSslKey& key)
{
    const QByteArray certificateDer = certificate.toDer();
    const auto* certificateBytes = reinterpret_cast<const unsigned char*>(certificateDer.constData());
    std::unique_ptr<X509, decltype(&X509_free)> x509(
        d2i_X509(nullptr, &certificateBytes, certificateDer.size()), X509_free);
    const QByteArray keyPem = key.toPem();
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(keyPem.constData(), int(keyPem.size())), BIO_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr, EVP_PKEY_free);
    return x509 && pkey && X509_check_private_key(x509.get(), pkey.get()) == 1;
}

} // namespace

Result<TlsCredentials> LoadTlsCredentials(const TlsFiles& files)
{
    if (!QSslSocket::supportsSsl())
        return Fail("TLS is not available: Qt found no TLS library (install libssl3)", Failure::Kind::Unavailable);
    const Result<QByteArray> certificateData = ReadSmallFile(QStringLiteral("certificate"), files.certificate);
    if (!certificateData)
        return certificateData.failure();
    QList<QSslCertificate> chain = QSslCertificate::fromData(*certificateData, QSsl::Pem);
    if (chain.isEmpty())
        chain = QSslCertificate::fromData(*certificateData, QSsl::Der);
    if (chain.isEmpty() || chain.constFirst().isNull()) {
        return FileFailure(
            QStringLiteral("the certificate file %1 holds no certificate (PEM or DER)").arg(files.certificate));
    }
    const Result<QByteArray> keyData = ReadSmallFile(QStringLiteral("key"), files.key);
    if (!keyData)
        return keyData.failure();
    const QSslKey key = ReadPrivateKey(*keyData);
    if (key.isNull()) {
        return FileFailure(QStringLiteral("the key file %1 holds no private key (an RSA, EC or DSA key, PEM or DER, "
                                          "not protected by a passphrase)")
                               .arg(files.key));
    }
    const QSslCertificate& leaf = chain.constFirst();
    if (!KeyMatches(leaf, key)) {
        return FileFailure(
            QStringLiteral("the key in %1 does not belong to the certificate in %2").arg(files.key, files.certificate));
    }

    TlsCredentials credentials;
    credentials.configuration = QSslConfiguration::defaultConfiguration();
    credentials.configuration.setProtocol(QSsl::TlsV1_2OrLater);
    credentials.configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    credentials.configuration.setLocalCertificateChain(chain);
    credentials.configuration.setPrivateKey(key);

    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QString until = leaf.expiryDate().toUTC().toString(Qt::ISODate);
    if (leaf.expiryDate() < now) {
        credentials.warnings << QStringLiteral("the certificate in %1 expired on %2: browsers and scrapers will refuse "
                                               "it; renew it and send SIGHUP")
                                    .arg(files.certificate, until);
    } else if (leaf.effectiveDate() > now) {
        credentials.warnings << QStringLiteral("the certificate in %1 is not valid before %2")
                                    .arg(files.certificate, leaf.effectiveDate().toUTC().toString(Qt::ISODate));
    }
    const QStringList names = leaf.subjectInfo(QSslCertificate::CommonName);
    credentials.description = QStringLiteral("certificate %1 (%2, serial %3, valid until %4)")
                                  .arg(files.certificate, names.isEmpty() ? QStringLiteral("no name") : names.join(','),
                                      QString::fromLatin1(leaf.serialNumber()), until);
    return credentials;
}

} // namespace korvel
