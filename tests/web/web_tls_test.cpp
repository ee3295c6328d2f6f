#include "web_test_support.h"

#include "web/web_tls.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QWebSocket>

using namespace korvel;
using namespace korvel::testing;

namespace {

bool Openssl(const QString& folder, const QStringList& arguments)
{
    QProcess openssl;
    openssl.setWorkingDirectory(folder);
    openssl.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    openssl.setStandardOutputFile(QProcess::nullDevice());
    openssl.start(QStringLiteral("openssl"), arguments);
    return openssl.waitForFinished(60000) && openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0;
}

// A self-signed certificate with the serial and the dates asked for, and its
// key, in folder/NAME.crt and folder/NAME.key.
TlsFiles MakeCertificate(const QString& folder, const QString& name, const QString& serial,
    const QString& from = QStringLiteral("20200101000000Z"), const QString& until = QStringLiteral("20991231000000Z"))
{
    const QString work = folder + QLatin1Char('/') + name + QStringLiteral(".ca");
    QDir().mkpath(work);
    QFile config(work + QStringLiteral("/ca.cnf"));
    EXPECT_TRUE(config.open(QIODevice::WriteOnly));
    config.write("[ca]\ndefault_ca=d\n[d]\ndatabase=index.txt\nnew_certs_dir=.\nserial=serial\ndefault_md=sha256\n"
                 "policy=p\nx509_extensions=x\n[p]\ncommonName=supplied\n[x]\nsubjectAltName=IP:127.0.0.1\n");
    config.close();
    QFile index(work + QStringLiteral("/index.txt"));
    EXPECT_TRUE(index.open(QIODevice::WriteOnly));
    QFile serialFile(work + QStringLiteral("/serial"));
    EXPECT_TRUE(serialFile.open(QIODevice::WriteOnly));
    serialFile.write(serial.toLatin1() + '\n');
    serialFile.close();
    const TlsFiles files { folder + QLatin1Char('/') + name + QStringLiteral(".crt"),
        folder + QLatin1Char('/') + name + QStringLiteral(".key") };
    EXPECT_TRUE(Openssl(work,
        { "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", files.key, "-out",
            "request.csr", "-subj", "/CN=" + name }));
    EXPECT_TRUE(Openssl(work,
        { "ca", "-selfsign", "-batch", "-notext", "-config", "ca.cnf", "-keyfile", files.key, "-in", "request.csr",
            "-out", files.certificate, "-startdate", from, "-enddate", until }));
    return files;
}

QByteArray Serial(const QSslCertificate& certificate)
{
    return certificate.serialNumber().replace(':', "").toUpper();
}

// Copies over, as a renewal would.
void Replace(const QString& from, const QString& to)
{
    QFile::remove(to);
    ASSERT_TRUE(QFile::copy(from, to));
}

class WebTlsTest : public WebHarness {
protected:
    QTemporaryDir folder;
};

} // namespace

TEST(WebTls, CredentialsAndWhatIsWrongWithThem)
{
    QTemporaryDir folder;
    const QString dir = folder.path();
    const TlsFiles good = MakeCertificate(dir, QStringLiteral("good"), QStringLiteral("2A"));
    const TlsFiles other = MakeCertificate(dir, QStringLiteral("other"), QStringLiteral("2B"));
    const TlsFiles expired = MakeCertificate(
        dir, QStringLiteral("expired"), QStringLiteral("2C"), QStringLiteral("20200101000000Z"), "20200102000000Z");
    QFile garbage(dir + QStringLiteral("/garbage"));
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write("-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n");
    garbage.close();
    const QString missing = dir + QStringLiteral("/missing.pem");

    const struct {
        const char* what;
        TlsFiles files;
        QString error; // what the error names; empty: loads
        QString warning; // what a warning names; empty: none
    } cases[] = {
        { "good", good, {}, {} },
        { "certificate missing", { missing, good.key }, missing, {} },
        { "key missing", { good.certificate, missing }, missing, {} },
        { "certificate not one", { garbage.fileName(), good.key }, garbage.fileName(), {} },
        { "key not one", { good.certificate, good.certificate }, good.certificate, {} },
        { "key of another certificate", { good.certificate, other.key }, other.key, {} },
        { "expired", expired, {}, expired.certificate },
    };
    for (const auto& c : cases) {
        const Result<TlsCredentials> loaded = LoadTlsCredentials(c.files);
        if (!c.error.isEmpty()) {
            ASSERT_FALSE(loaded) << c.what;
            EXPECT_TRUE(QString::fromStdString(loaded.error()).contains(c.error)) << c.what << ": " << loaded.error();
            continue;
        }
        ASSERT_TRUE(loaded) << c.what << ": " << loaded.error();
        EXPECT_EQ(loaded->warnings.size(), c.warning.isEmpty() ? 0 : 1) << c.what;
        if (!c.warning.isEmpty()) {
            EXPECT_TRUE(loaded->warnings.join(' ').contains(c.warning)) << c.what;
        }
        EXPECT_EQ(loaded->configuration.protocol(), QSsl::TlsV1_2OrLater);
    }
    const Result<TlsCredentials> mismatched = LoadTlsCredentials({ good.certificate, other.key });
    EXPECT_TRUE(QString::fromStdString(mismatched.error()).contains(good.certificate)) << mismatched.error();
}

TEST_F(WebTlsTest, PagesAndTheLiveFeedOverTlsAndARenewedCertificateWithoutARestart)
{
    const QString dir = folder.path();
    const TlsFiles first = MakeCertificate(dir, QStringLiteral("first"), QStringLiteral("0A"));
    const TlsFiles second = MakeCertificate(dir, QStringLiteral("second"), QStringLiteral("0B"));
    const TlsFiles served { dir + QStringLiteral("/served.crt"), dir + QStringLiteral("/served.key") };
    Replace(first.certificate, served.certificate);
    Replace(first.key, served.key);
    WebOptions options;
    options.token = "tls-token";
    options.tls = served;
    startWeb(options);
    EXPECT_TRUE(web->url().startsWith(QLatin1String("https://127.0.0.1:"))) << web->url().toStdString();

    const QByteArray bearer = "Authorization: Bearer tls-token\r\n";
    HttpAnswer answer = HttpGet(web->port(), "/healthz", bearer, true);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(Serial(answer.certificate), "0A");
    EXPECT_EQ(HttpGet(web->port(), "/metrics", {}, true).status, 401);
    // Plain HTTP to the TLS port is never answered in clear.
    EXPECT_EQ(HttpGet(web->port(), "/healthz", bearer).status, 0);

    QWebSocket live;
    QObject::connect(&live, &QWebSocket::sslErrors, &live, [&live] { live.ignoreSslErrors(); });
    int messages = 0;
    QObject::connect(&live, &QWebSocket::textMessageReceived, [&messages] { ++messages; });
    live.open(QUrl(QStringLiteral("wss://127.0.0.1:%1/ws?access_token=tls-token").arg(web->port())));
    EXPECT_TRUE(SpinUntil([&] { return messages > 0; })) << "the live feed over TLS";

    // A renewal replaces the files; the next connections get the new certificate.
    Replace(second.certificate, served.certificate);
    Replace(second.key, served.key);
    const Result<QStringList> reloaded = web->reloadTls();
    ASSERT_TRUE(reloaded) << reloaded.error();
    EXPECT_TRUE(reloaded->join(' ').contains(QLatin1String("serial"))) << reloaded->join(' ').toStdString();
    answer = HttpGet(web->port(), "/healthz", bearer, true);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(Serial(answer.certificate), "0B");
    EXPECT_EQ(live.state(), QAbstractSocket::ConnectedState) << "an open feed stays";

    // A half-done renewal (the new certificate, the old key) keeps what is served.
    Replace(first.certificate, served.certificate);
    const Result<QStringList> refused = web->reloadTls();
    ASSERT_FALSE(refused);
    EXPECT_TRUE(QString::fromStdString(refused.error()).contains(served.key)) << refused.error();
    answer = HttpGet(web->port(), "/healthz", bearer, true);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(Serial(answer.certificate), "0B");
}
