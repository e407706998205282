#include "ctlsidentity.h"

#include <sys/socket.h>
#include <unistd.h>

#include <netinet/in.h>

#include <QFile>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

namespace {

// The common "intermediate" profile: TLS 1.3 (whose suites are all forward-secret AEAD) and
// of TLS 1.2 only forward-secret key exchange with AEAD ciphers.
const char CIPHERS[] = "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:"
                       "TLS_CHACHA20_POLY1305_SHA256:ECDHE-ECDSA-AES128-GCM-SHA256:"
                       "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
                       "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:"
                       "ECDHE-RSA-CHACHA20-POLY1305";

bool readFile(const QString &path, const QString &what, QByteArray &bytes, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error
            = QStringLiteral("cannot read the TLS %1 %2: %3").arg(what, path, file.errorString());
        return false;
    }
    bytes = file.readAll();
    return true;
}

} // namespace

bool CTlsIdentity::loopbackPair(int &server, int &client)
{
    server = client = -1;
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        return false;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bool ok = ::bind(listener, reinterpret_cast<sockaddr *>(&address), length) == 0
        && ::listen(listener, 1) == 0
        && ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0;
    if (ok) {
        client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ok = client >= 0 && ::connect(client, reinterpret_cast<sockaddr *>(&address), length) == 0;
    }
    if (ok) {
        server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ok = server >= 0;
    }
    ::close(listener);
    if (!ok && client >= 0) {
        ::close(client);
        client = -1;
    }
    return ok;
}

bool CTlsIdentity::available()
{
    return QSslSocket::supportsSsl();
}

QSslConfiguration CTlsIdentity::load(
    const QString &certificateFile, const QString &keyFile, QString *error)
{
    QString ignored;
    if (!error)
        error = &ignored;
    if (!available()) {
        *error = QStringLiteral("TLS is not available: no TLS library could be loaded (%1)")
                     .arg(QSslSocket::sslLibraryBuildVersionString());
        return QSslConfiguration();
    }
    if (keyFile.isEmpty()) {
        *error = QStringLiteral("[Tls] Certificate is set but PrivateKey is not");
        return QSslConfiguration();
    }
    QByteArray certBytes;
    QByteArray keyBytes;
    if (!readFile(certificateFile, QStringLiteral("certificate"), certBytes, error)
        || !readFile(keyFile, QStringLiteral("private key"), keyBytes, error))
        return QSslConfiguration();
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certBytes, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull()) {
        *error = QStringLiteral("no PEM certificate in %1").arg(certificateFile);
        return QSslConfiguration();
    }
    // The key is of the kind the certificate names; one of another kind cannot match it.
    const QSsl::KeyAlgorithm algorithm = chain.first().publicKey().algorithm();
    const QSslKey key(keyBytes, algorithm, QSsl::Pem, QSsl::PrivateKey);
    if (key.isNull()) {
        *error = QStringLiteral("no unencrypted PEM private key for the certificate %1 in %2")
                     .arg(certificateFile, keyFile);
        return QSslConfiguration();
    }
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificateChain(chain);
    config.setPrivateKey(key);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    config.setCiphers(QString::fromLatin1(CIPHERS));
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    if (!keyMatches(config, error)) {
        *error = QStringLiteral("the private key %1 does not belong to the certificate %2 (%3)")
                     .arg(keyFile, certificateFile, *error);
        return QSslConfiguration();
    }
    return config;
}

bool CTlsIdentity::keyMatches(const QSslConfiguration &config, QString *error)
{
    // Qt checks the key against the certificate when a server socket sets up its context,
    // which happens inside startServerEncryption(); Qt offers no other way to ask.
    int server = -1;
    int client = -1;
    if (!loopbackPair(server, client)) {
        *error = QStringLiteral("no loopback socket to check it on");
        return false;
    }
    bool failed = false;
    {
        QSslSocket socket;
        QObject::connect(&socket, &QAbstractSocket::errorOccurred, &socket,
            [&](QAbstractSocket::SocketError code) {
                if (code != QAbstractSocket::RemoteHostClosedError && !failed) {
                    failed = true;
                    *error = socket.errorString();
                }
            });
        if (socket.setSocketDescriptor(server)) {
            socket.setSslConfiguration(config);
            socket.startServerEncryption();
            socket.abort();
        } else {
            ::close(server);
            failed = true;
            *error = socket.errorString();
        }
    }
    ::close(client);
    return !failed;
}
