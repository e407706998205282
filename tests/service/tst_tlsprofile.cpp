// What a TLS client meets on each port of the real server: real handshakes by the openssl
// command with one protocol or cipher at a time, so what the ports accept is seen rather than
// read back from their configuration; and plain HTTP sent to the HTTPS port.
#include <algorithm>
#include <memory>
#include <vector>

#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include "cportreservation.h"
#include "cserverprocess.h"
#include "chttpsgate.h"
#include "testtls.h"

class tst_TlsProfile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void handshakes_data();
    void handshakes();
    void plainHttpToHttpsPort();
    void silentConnectionsGiveWay();

private:
    // s_client's exit status; its brief summary in out.
    int handshake(quint16 port, const QStringList &options, QByteArray *out);

    QTemporaryDir dir;
    std::unique_ptr<CServerProcess> server;
    std::unique_ptr<CPortReservation> httpReservation;
    quint16 httpPort = 0;
};

void tst_TlsProfile::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
        QSKIP("the openssl command is not installed");
    QVERIFY(dir.isValid());
    // An RSA certificate: RSA key exchange is one of the suites that must stay refused.
    const testtls::Identity identity
        = testtls::makeIdentity(dir.path(), QStringLiteral("rsa"), true);
    QVERIFY(identity.ok);
    httpReservation = std::make_unique<CPortReservation>();
    httpPort = httpReservation->port();
    server = std::make_unique<CServerProcess>(QStringLiteral(TOLVERN_SERVER_PATH));
    server->setHeadless(true);
    server->setExtraIni(
        QStringLiteral("[Tls]\nCertificate=%1\nPrivateKey=%2\n[Admin]\nHttpPort=%3\n")
            .arg(identity.certificate, identity.key)
            .arg(httpPort));
    QVERIFY2(server->start(), qPrintable(server->errorText()));
    QVERIFY(QTest::qWaitFor([this] { return CServerProcess::portAccepts(httpPort, 200); }, 30000));
}

void tst_TlsProfile::cleanupTestCase()
{
    if (server)
        QCOMPARE(server->stop(), 0);
}

int tst_TlsProfile::handshake(quint16 port, const QStringList &options, QByteArray *out)
{
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    // The client's own floor lowered, so what it is refused is the server's doing.
    openssl.start(QStringLiteral("openssl"),
        QStringList { QStringLiteral("s_client"), QStringLiteral("-brief"),
            QStringLiteral("-connect"), QStringLiteral("127.0.0.1:%1").arg(port) }
            + options);
    openssl.closeWriteChannel();
    if (!openssl.waitForFinished(30000)) {
        openssl.kill();
        openssl.waitForFinished();
        return -1;
    }
    *out = openssl.readAll();
    return openssl.exitCode();
}

void tst_TlsProfile::handshakes_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QByteArray>("seen"); // in s_client's summary when accepted

    const QString low = QStringLiteral("DEFAULT:@SECLEVEL=0");
    QTest::newRow("default: TLS 1.3") << QStringList() << true << QByteArray("TLSv1.3");
    QTest::newRow("TLS 1.2, ECDHE AES-GCM") << QStringList { QStringLiteral("-tls1_2"),
        QStringLiteral("-cipher"), QStringLiteral("ECDHE-RSA-AES128-GCM-SHA256") }
                                            << true << QByteArray("ECDHE-RSA-AES128-GCM-SHA256");
    QTest::newRow("TLS 1.2, ECDHE ChaCha20") << QStringList { QStringLiteral("-tls1_2"),
        QStringLiteral("-cipher"), QStringLiteral("ECDHE-RSA-CHACHA20-POLY1305") }
                                             << true << QByteArray("ECDHE-RSA-CHACHA20-POLY1305");
    QTest::newRow("TLS 1.1") << QStringList { QStringLiteral("-tls1_1"), QStringLiteral("-cipher"),
        low } << false << QByteArray();
    QTest::newRow("TLS 1.0") << QStringList { QStringLiteral("-tls1"), QStringLiteral("-cipher"),
        low } << false << QByteArray();
    QTest::newRow("TLS 1.2, RSA key exchange")
        << QStringList { QStringLiteral("-tls1_2"), QStringLiteral("-cipher"),
               QStringLiteral("AES128-GCM-SHA256:AES256-GCM-SHA384:@SECLEVEL=0") }
        << false << QByteArray();
    QTest::newRow("TLS 1.2, ECDHE CBC-SHA1")
        << QStringList { QStringLiteral("-tls1_2"), QStringLiteral("-cipher"),
               QStringLiteral("ECDHE-RSA-AES128-SHA:ECDHE-RSA-AES256-SHA:@SECLEVEL=0") }
        << false << QByteArray();
    QTest::newRow("TLS 1.2, ECDHE CBC-SHA256")
        << QStringList { QStringLiteral("-tls1_2"), QStringLiteral("-cipher"),
               QStringLiteral("ECDHE-RSA-AES128-SHA256:ECDHE-RSA-AES256-SHA384") }
        << false << QByteArray();
    QTest::newRow("TLS 1.2, DHE") << QStringList { QStringLiteral("-tls1_2"),
        QStringLiteral("-cipher"),
        QStringLiteral("DHE-RSA-AES128-SHA:DHE-RSA-AES128-GCM-SHA256:@SECLEVEL=0") }
                                  << false << QByteArray();
}

void tst_TlsProfile::handshakes()
{
    QFETCH(QStringList, options);
    QFETCH(bool, accepted);
    QFETCH(QByteArray, seen);
    const struct
    {
        const char *name;
        quint16 port;
    } ports[] = { { "control", server->mainPort() }, { "file", server->filePort() },
        { "https", httpPort } };
    for (const auto &port : ports) {
        QByteArray out;
        const int code = handshake(port.port, options, &out);
        const QByteArray what = QByteArray(port.name) + ": " + out;
        QVERIFY2(accepted ? code == 0 : code != 0, what.constData());
        if (accepted)
            QVERIFY2(out.contains(seen), what.constData());
    }
}

void tst_TlsProfile::plainHttpToHttpsPort()
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, httpPort);
    QVERIFY(socket.waitForConnected(10000));
    socket.write("GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray answer;
    QVERIFY(QTest::qWaitFor(
        [&] {
            socket.waitForReadyRead(100);
            answer += socket.readAll();
            return socket.state() != QAbstractSocket::ConnectedState;
        },
        10000));
    answer += socket.readAll();
    QCOMPARE(answer, CHttpsGate::PLAIN_HTTP_ANSWER);
    QVERIFY(answer.startsWith("HTTP/1.1 400 Bad Request\r\n"));
    QVERIFY(answer.contains("https://"));
    // The port still speaks HTTPS to the next client.
    QByteArray out;
    QCOMPARE(handshake(httpPort, {}, &out), 0);
}

// More silent connections than the HTTPS port holds unread: the longest held give way, so a
// newcomer (the operator) still gets its handshake.
void tst_TlsProfile::silentConnectionsGiveWay()
{
    std::vector<std::unique_ptr<QTcpSocket>> silent;
    for (int i = 0; i < CHttpsGate::HOLD_LIMIT + 4; ++i) {
        silent.push_back(std::make_unique<QTcpSocket>());
        silent.back()->connectToHost(QHostAddress::LocalHost, httpPort);
        QVERIFY(silent.back()->waitForConnected(10000));
    }
    const auto closed = [&silent](int from, int to) {
        return std::all_of(silent.begin() + from, silent.begin() + to,
            [](const auto &socket) { return socket->state() != QAbstractSocket::ConnectedState; });
    };
    QVERIFY(QTest::qWaitFor([&] { return closed(0, 4); }, 10000));
    QVERIFY(!closed(4, 5) && !closed(int(silent.size()) - 1, int(silent.size())));
    QByteArray out;
    QCOMPARE(handshake(httpPort, {}, &out), 0);
    QVERIFY(QTest::qWaitFor([&] { return closed(4, 5); }, 10000));
}

QTEST_GUILESS_MAIN(tst_TlsProfile)
#include "tst_tlsprofile.moc"
