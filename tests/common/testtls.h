#ifndef TESTTLS_H
#define TESTTLS_H

#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QString>
#include <QStringList>

// Certificates for the TLS tests, made at test time with the openssl command.
namespace testtls {

struct Identity
{
    QString certificate;
    QString key;
    bool ok = false;
};

// A self-signed certificate for localhost and 127.0.0.1, and its key, as dir/name.pem and
// dir/name-key.pem. An EC key unless rsa: quicker to make.
inline Identity makeIdentity(const QString &dir, const QString &name, bool rsa = false)
{
    Identity identity;
    identity.certificate = dir + QLatin1Char('/') + name + QStringLiteral(".pem");
    identity.key = dir + QLatin1Char('/') + name + QStringLiteral("-key.pem");
    QStringList arguments { QStringLiteral("req"), QStringLiteral("-x509"),
        QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("2"),
        QStringLiteral("-subj"), QStringLiteral("/CN=localhost"), QStringLiteral("-addext"),
        QStringLiteral("subjectAltName=DNS:localhost,IP:127.0.0.1"), QStringLiteral("-keyout"),
        identity.key, QStringLiteral("-out"), identity.certificate };
    arguments << (rsa
            ? QStringList { QStringLiteral("-newkey"), QStringLiteral("rsa:2048") }
            : QStringList { QStringLiteral("-newkey"), QStringLiteral("ec"),
                QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1") });
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), arguments);
    identity.ok = openssl.waitForFinished(30000) && openssl.exitStatus() == QProcess::NormalExit
        && openssl.exitCode() == 0 && QFile::exists(identity.certificate);
    if (!identity.ok)
        qWarning("openssl: %s", openssl.readAll().constData());
    return identity;
}

inline QSslCertificate certificateOf(const Identity &identity)
{
    const QList<QSslCertificate> certificates
        = QSslCertificate::fromPath(identity.certificate, QSsl::Pem);
    return certificates.isEmpty() ? QSslCertificate() : certificates.first();
}

} // namespace testtls

#endif // TESTTLS_H
