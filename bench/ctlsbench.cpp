#include "ctlsbench.h"

#include <functional>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSaveFile>
#include <QSslCertificate>
#include <QSslSocket>
#include <QTimer>

#include "controlcodes.h"
#include "cprotoclient.h"
#include "ctlsidentity.h"
#include "testtls.h"

namespace {

constexpr qint64 CHUNK = 1024 * 1024;
// What the sending end keeps queued, plaintext and records together.
constexpr qint64 QUEUE_LIMIT = 4 * CHUNK;
constexpr int WAIT_MS = 60000;

// Runs the event loop until done(), without the sleeps between rounds of waitUntil().
bool waitUntil(const std::function<bool()> &done, int msec)
{
    QElapsedTimer clock;
    clock.start();
    QTimer wake; // so that a quiet loop still looks at the clock
    wake.start(100);
    while (!done()) {
        if (clock.elapsed() > msec)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace

bool CTlsBench::prepare(const QString &dir, QString *error)
{
    const testtls::Identity identity = testtls::makeIdentity(dir, QStringLiteral("bench"), true);
    if (!identity.ok) {
        *error = QStringLiteral("openssl could not make a certificate");
        return false;
    }
    certificate = identity.certificate;
    key = identity.key;
    serverConfig = CTlsIdentity::load(certificate, key, error);
    clientConfig = QSslConfiguration::defaultConfiguration();
    clientConfig.setProtocol(QSsl::TlsV1_2OrLater);
    clientConfig.setCaCertificates(QSslCertificate::fromPath(certificate, QSsl::Pem));
    return !serverConfig.isNull();
}

QString CTlsBench::iniSection() const
{
    return QStringLiteral("[Tls]\nCertificate=%1\nPrivateKey=%2\n").arg(certificate, key);
}

libsock::CClientTls CTlsBench::clientTls() const
{
    libsock::CClientTls tls;
    tls.enabled = true;
    tls.caFile = certificate;
    return tls;
}

bool CTlsBench::encryptedPair(QSslSocket &server, QSslSocket &client) const
{
    int serverFd = -1;
    int clientFd = -1;
    if (!CTlsIdentity::loopbackPair(serverFd, clientFd))
        return false;
    if (!server.setSocketDescriptor(serverFd) || !client.setSocketDescriptor(clientFd)) {
        ::close(serverFd);
        ::close(clientFd);
        return false;
    }
    server.setSslConfiguration(serverConfig);
    client.setSslConfiguration(clientConfig);
    client.setPeerVerifyName(QStringLiteral("127.0.0.1"));
    server.startServerEncryption();
    client.startClientEncryption();
    return waitUntil([&] { return server.isEncrypted() && client.isEncrypted(); }, WAIT_MS);
}

bool CTlsBench::loopbackCopy(const QString &source, const QString &target, double &seconds) const
{
    QFile in(source);
    QSaveFile out(target);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return false;
    const qint64 size = in.size();
    QElapsedTimer clock;
    clock.start();
    QSslSocket sender;
    QSslSocket receiver;
    if (!encryptedPair(sender, receiver))
        return false;
    QByteArray chunk(CHUNK, Qt::Uninitialized);
    QByteArray incoming(CHUNK, Qt::Uninitialized);
    qint64 received = 0;
    bool failed = false;
    const auto pump = [&] {
        while (
            !in.atEnd() && sender.bytesToWrite() + sender.encryptedBytesToWrite() < QUEUE_LIMIT) {
            const qint64 n = in.read(chunk.data(), CHUNK);
            if (n <= 0 || sender.write(chunk.constData(), n) != n) {
                failed = true;
                return;
            }
        }
    };
    QObject::connect(&sender, &QSslSocket::encryptedBytesWritten, &sender, pump);
    QObject::connect(&receiver, &QIODevice::readyRead, &receiver, [&] {
        for (qint64 n; (n = receiver.read(incoming.data(), CHUNK)) > 0;) {
            failed = failed || out.write(incoming.constData(), n) != n;
            received += n;
        }
    });
    pump();
    if (!waitUntil([&] { return failed || received >= size; }, WAIT_MS) || failed
        || received != size || !out.commit())
        return false;
    seconds = double(clock.nsecsElapsed()) / 1e9;
    return true;
}

bool CTlsBench::loopbackHandshakes(int msec, double &perSecond) const
{
    QElapsedTimer clock;
    clock.start();
    qint64 count = 0;
    const QByteArray request(libsock::PACKET_HEADER_SIZE, '\x1a');
    while (clock.elapsed() < msec) {
        QSslSocket server;
        QSslSocket client;
        if (!encryptedPair(server, client))
            return false;
        client.write(request);
        if (!waitUntil([&] { return server.bytesAvailable() >= request.size(); }, WAIT_MS))
            return false;
        server.write(server.readAll());
        if (!waitUntil([&] { return client.bytesAvailable() >= request.size(); }, WAIT_MS))
            return false;
        ++count;
    }
    perSecond = double(count) * 1000.0 / double(clock.elapsed());
    return count > 0;
}

bool CTlsBench::serverLogins(quint16 port, const libsock::CClientTls &tls, const QString &name,
    const QString &password, int msec, double &perSecond, QString *error)
{
    QElapsedTimer clock;
    clock.start();
    qint64 count = 0;
    while (clock.elapsed() < msec) {
        libsock::CProtoClient client;
        client.setTls(tls);
        if (!client.connectToServer(QStringLiteral("127.0.0.1"), port)
            || !client.login(name, password) || client.result() != libsock::RESULT_OK) {
            *error
                = QStringLiteral("login %1: %2 %3")
                      .arg(count)
                      .arg(libsock::clientErrorText(client.clientError()), client.tlsErrorText());
            return false;
        }
        client.disconnectFromHost();
        ++count;
    }
    perSecond = double(count) * 1000.0 / double(clock.elapsed());
    return true;
}
