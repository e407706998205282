#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <memory>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSslSocket>
#include <QSqlDatabase>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include "cservercore.h"
#include "cuserdb.h"
#include "cserversettings.h"
#include "ctlsacceptor.h"
#include "ctolvernserver.h"
#include "testtls.h"
#include "testwire.h"

using namespace testwire;

// The network services on a plain QCoreApplication: no widget, no display.
class tst_ServerCore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void servesWithoutWidgets();
    void portOverridesWin();
    void listenFailureIsReported();

    // defences
    void caps_data();
    void caps();
    void acceptsAgainAfterDescriptorLimit();
    void idleConnectionsClose();
    void loginLockout_data();
    void loginLockout();
    void transferRights_data();
    void transferRights();

    // TLS
    void tlsBesidePlain_data();
    void tlsBesidePlain();
    void tlsHandshakeFailuresCountAgainstAddress();

private:
    using Client = std::unique_ptr<QTcpSocket>;
    // A connected client, from source when given (any 127.x address reaches us).
    static Client connectTo(quint16 port, const QHostAddress &source = QHostAddress());
    static int addUser(QTcpSocket &client, const QByteArray &name);
    static int login(QTcpSocket &client, const QByteArray &name, const QByteArray &password);
    static int requestTransfer(
        QTcpSocket &client, quint8 command, const QByteArray &user, const QByteArray &saveName);
    static bool isServed(QTcpSocket &client);
    static int countLines(const QSignalSpy &lines, const QString &part);
    // A TLS client that trusts only identity's certificate; null when no handshake.
    std::unique_ptr<QSslSocket> connectTls(quint16 port);
    void useTls(bool require);

    QTemporaryDir dir;
    QString storage;
    testtls::Identity identity;
};

tst_ServerCore::Client tst_ServerCore::connectTo(quint16 port, const QHostAddress &source)
{
    auto client = std::make_unique<QTcpSocket>();
    if (!source.isNull())
        client->bind(source);
    client->connectToHost(QHostAddress::LocalHost, port);
    if (!client->waitForConnected(5000))
        qWarning("cannot connect: %s", qPrintable(client->errorString()));
    return client;
}

int tst_ServerCore::addUser(QTcpSocket &client, const QByteArray &name)
{
    client.write(packet(1, str(name) + str("pw-" + name)));
    const Packet reply = readPacket(client);
    return reply.ok && reply.body.size() == 5 ? qFromBigEndian<qint32>(reply.body.constData() + 1)
                                              : -1;
}

int tst_ServerCore::login(QTcpSocket &client, const QByteArray &name, const QByteArray &password)
{
    client.write(packet(9, str(name) + str(password)));
    const Packet reply = readPacket(client);
    return reply.ok && reply.command == 10 ? quint8(reply.body.at(0)) : -1;
}

int tst_ServerCore::requestTransfer(
    QTcpSocket &client, quint8 command, const QByteArray &user, const QByteArray &saveName)
{
    QByteArray body = str(user) + str("detail") + str(saveName);
    if (command == 1)
        body += int64(0);
    client.write(frame(0, packet(command, body)));
    const Frame reply = readFrame(client);
    return reply.ok && reply.payload.size() > 22 ? quint8(reply.payload.at(22)) : -1;
}

// Whether the server answers on this connection rather than closing it.
bool tst_ServerCore::isServed(QTcpSocket &client)
{
    return login(client, "nobody", "x") == 3;
}

int tst_ServerCore::countLines(const QSignalSpy &lines, const QString &part)
{
    int count = 0;
    for (const QList<QVariant> &line : lines)
        count += line.at(0).toString().contains(part) ? 1 : 0;
    return count;
}

void tst_ServerCore::initTestCase()
{
    QVERIFY(dir.isValid());
    storage = dir.filePath(QStringLiteral("storage"));
    QVERIFY(QDir().mkpath(storage));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(dir.filePath(QStringLiteral("users.db")));
    QVERIFY(db.open());
    CServerSettings::instance()->setIniFilePath(dir.filePath(QStringLiteral("tolvern.ini")));
}

void tst_ServerCore::init()
{
    CServerSettings *s = CServerSettings::instance();
    s->saveDataDir = storage;
    s->mainPort = 0;
    s->filePort = 0;
    s->maxConnectionsPerAddress = 64;
    s->idleTimeoutSeconds = 0;
    s->transferRequiresLogin = false;
    s->transferLoginWindowMinutes = 30;
    s->loginLockFailures = 5;
    s->loginLockSeconds = 60;
    s->addressLockFailures = 20;
    s->addressLockSeconds = 600;
    s->tls = CServerSettings::Tls();
}

void tst_ServerCore::servesWithoutWidgets()
{
    QVERIFY(!QCoreApplication::instance()->inherits("QGuiApplication"));
    CServerCore core;
    QSignalSpy lines(&core, &CServerCore::lineLogged);
    QVERIFY(core.start());
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0).at(0).toString(), QStringLiteral("Main control server listen succeed"));
    QCOMPARE(lines.at(1).at(0).toString(), QStringLiteral("File transfer server listen succeed"));

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, core.controlPort());
    QVERIFY(client.waitForConnected(5000));
    client.write(packet(1, str("core-ann") + str("pw")));
    const Packet reply = readPacket(client);
    QVERIFY(reply.ok);
    QCOMPARE(reply.command, quint8(2));
    QCOMPARE(quint8(reply.body[0]), quint8(0));
    QTRY_VERIFY(lines.size() >= 4);
    QCOMPARE(
        lines.at(2).at(0).toString(), QStringLiteral("Control client connected from 127.0.0.1"));
    QCOMPARE(lines.at(3).at(0).toString(), QStringLiteral("[ADD_USER] name=core-ann, result=0"));

    QCOMPARE(core.uploadFileName(QStringLiteral("7/slot1")), QStringLiteral("7/slot1.z"));
    QCOMPARE(lines.last().at(0).toString(), QStringLiteral("Upload 7/slot1.z"));

    // The user database's own lines (an outage and its end) reach the same log, from
    // whichever thread met the outage.
    const QString outage = QStringLiteral("User database unreachable: gone");
    std::thread([outage] { emit CUserDb::instance()->log(outage); }).join();
    QTRY_COMPARE(lines.last().at(0).toString(), outage);
    QCOMPARE(countLines(lines, outage), 1);
}

void tst_ServerCore::portOverridesWin()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::AnyIPv4, 0));

    // The settings ask for any free port; the override names a taken one and wins.
    CServerCore core;
    core.setPortOverrides(0, probe.serverPort());
    QVERIFY(!core.start());
    QVERIFY(core.controlListening());
    QVERIFY(!core.fileListening());
}

void tst_ServerCore::listenFailureIsReported()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::AnyIPv4, 0));
    CServerSettings::instance()->mainPort = probe.serverPort();

    CServerCore core;
    QSignalSpy lines(&core, &CServerCore::lineLogged);
    QVERIFY(!core.start());
    QVERIFY(!core.controlListening());
    QVERIFY(core.fileListening());
    QVERIFY(!core.controlError().isEmpty());
    QCOMPARE(lines.at(0).at(0).toString(),
        QStringLiteral("Main control server listen failed => %1").arg(core.controlError()));
}

void tst_ServerCore::caps_data()
{
    QTest::addColumn<int>("perAddress");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("per address")
        << 2
        << QStringLiteral("Connection from 127.0.0.1 refused: too many connections from "
                          "this address");
    // The open-files limit in force at start() leaves room for two connections.
    QTest::newRow("open-files limit")
        << 0
        << QStringLiteral("Connection from 127.0.0.1 refused: the server is at its "
                          "connection limit");
}

void tst_ServerCore::caps()
{
    QFETCH(int, perAddress);
    QFETCH(QString, refusal);
    CServerSettings::instance()->maxConnectionsPerAddress = perAddress;
    CServerCore core;
    QSignalSpy lines(&core, &CServerCore::lineLogged);
    if (perAddress == 0) {
        rlimit saved {};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit low = saved;
        low.rlim_cur = 64 + 2 * 2;
        // The listeners need descriptors below the lowered limit.
        QVERIFY(QDir(QStringLiteral("/proc/self/fd")).count() + 4 < low.rlim_cur);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &low), 0);
        const bool started = core.start();
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);
        QVERIFY(started);
    } else {
        QVERIFY(core.start());
    }

    // Both ports count: one control and one file connection fill the cap.
    Client first = connectTo(core.controlPort());
    Client second = connectTo(core.filePort());
    QVERIFY(isServed(*first));
    QCOMPARE(requestTransfer(*second, 1, "u", "missing"), 1);
    std::vector<Client> refused;
    for (int i = 0; i < 3; ++i) {
        refused.push_back(connectTo(i == 1 ? core.filePort() : core.controlPort()));
        QTRY_COMPARE(refused.back()->state(), QAbstractSocket::UnconnectedState);
    }
    QCOMPARE(countLines(lines, refusal), 1);
    QCOMPARE(countLines(lines, QStringLiteral("refused")), 1);

    // A freed place is taken again.
    first->disconnectFromHost();
    QTRY_COMPARE(countLines(lines, QStringLiteral("Control client disconnected")), 1);
    Client again = connectTo(core.controlPort());
    QVERIFY(isServed(*again));
}

void tst_ServerCore::acceptsAgainAfterDescriptorLimit()
{
    CServerCore core;
    QSignalSpy lines(&core, &CServerCore::lineLogged);
    QVERIFY(core.start());
    auto *listener = core.findChild<CTolvernServer *>(QStringLiteral("protoServer"));
    QVERIFY(listener);
    QSignalSpy failures(listener, &CTolvernServer::acceptFailed);
    Client served = connectTo(core.controlPort());
    QVERIFY(isServed(*served));

    // Use up every descriptor but one, for the client that is then kept waiting.
    rlimit saved {};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
    std::vector<int> fillers;
    const auto restore = qScopeGuard([&] {
        for (int fd : fillers)
            ::close(fd);
        setrlimit(RLIMIT_NOFILE, &saved);
    });
    rlimit low = saved;
    low.rlim_cur = 256;
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &low), 0);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        fillers.push_back(fd);
    QVERIFY(!fillers.empty());
    ::close(fillers.back());
    fillers.pop_back();
    Client waiting = connectTo(core.controlPort());
    QTRY_VERIFY(listener->isWaitingToAccept());
    QTRY_COMPARE(countLines(lines, QStringLiteral("Main control server cannot accept")), 1);

    // Retries are paced, not a spin: a handful in a second.
    QTest::qWait(1000);
    QVERIFY2(failures.size() <= 6, qPrintable(QString::number(failures.size())));
    QVERIFY(failures.size() >= 2);
    QCOMPARE(countLines(lines, QStringLiteral("Main control server cannot accept")), 1);

    // A connection of ours ends: its descriptor goes at once to the waiting client.
    served->disconnectFromHost();
    waiting->write(packet(9, str("nobody") + str("x")));
    const Packet reply = readPacket(*waiting);
    QVERIFY(reply.ok);
    QCOMPARE(reply.command, quint8(10));
    QVERIFY(!listener->isWaitingToAccept());
}

void tst_ServerCore::idleConnectionsClose()
{
    CServerSettings::instance()->idleTimeoutSeconds = 1;
    CServerCore core;
    QVERIFY(core.start());
    Client quietControl = connectTo(core.controlPort());
    Client quietFile = connectTo(core.filePort());
    Client busy = connectTo(core.controlPort());
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 2000)
        QVERIFY(isServed(*busy));
    QTRY_COMPARE(quietControl->state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(quietFile->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(isServed(*busy));
}

void tst_ServerCore::loginLockout_data()
{
    QTest::addColumn<QByteArrayList>("wrongNames");
    QTest::addColumn<QByteArray>("victim");
    QTest::addColumn<QString>("lockLine");
    QTest::newRow("name: 5 failures") << QByteArrayList { "lk-bob" } << QByteArray("lk-bob")
                                      << QStringLiteral("Logins for lk-bob from 127.0.0.1 "
                                                        "locked for 3 s after 5 failed attempts");
    QTest::newRow("address: 20 failures over names")
        << QByteArrayList { "lk-a", "lk-b", "lk-c", "lk-d", "lk-e" } << QByteArray("lk-carl")
        << QStringLiteral("Logins from 127.0.0.1 locked for 3 s after 20 failed attempts");
}

void tst_ServerCore::loginLockout()
{
    QFETCH(QByteArrayList, wrongNames);
    QFETCH(QByteArray, victim);
    QFETCH(QString, lockLine);
    CServerSettings::instance()->loginLockSeconds = 3;
    CServerSettings::instance()->addressLockSeconds = 3;
    CServerCore core;
    QSignalSpy lines(&core, &CServerCore::lineLogged);
    QVERIFY(core.start());
    Client client = connectTo(core.controlPort());
    Client other = connectTo(core.controlPort(), QHostAddress(QStringLiteral("127.0.0.2")));
    QVERIFY(addUser(*client, victim) > 0);
    const QByteArray bystander = victim + "-other";
    QVERIFY(addUser(*client, bystander) > 0);

    // Four wrong guesses per name stay below the name lock; one name takes five.
    const int perName = wrongNames.size() == 1 ? 5 : 4;
    for (const QByteArray &name : wrongNames) {
        for (int i = 0; i < perName; ++i)
            QCOMPARE(login(*client, name, "guess"), 3);
    }
    QCOMPARE(countLines(lines, lockLine), 1);
    QCOMPARE(countLines(lines, QStringLiteral("locked")), 1);

    // Locked: the right password is refused without being tested; others are not slowed.
    QCOMPARE(login(*client, victim, "pw-" + victim), 3);
    QCOMPARE(login(*client, victim, "pw-" + victim), 3);
    QCOMPARE(login(*other, victim, "pw-" + victim), 0);
    QCOMPARE(login(*client, bystander, "pw-" + bystander), wrongNames.size() == 1 ? 0 : 3);
    QCOMPARE(countLines(lines, QStringLiteral("locked")), 1);

    QTRY_COMPARE_WITH_TIMEOUT(login(*client, victim, "pw-" + victim), 0, 10000);
}

void tst_ServerCore::transferRights_data()
{
    QTest::addColumn<bool>("required");
    QTest::addColumn<QString>("loginFrom"); // empty: no login
    QTest::addColumn<quint8>("command");
    QTest::addColumn<QString>("folder"); // "own", "other" or a literal
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("why");
    const QString local = QStringLiteral("127.0.0.1");
    const QString noLogin = QStringLiteral("refused: no login of this user from this address");
    const QString notOwn = QStringLiteral("refused: not in the user's folder");
    QTest::newRow("off: anyone, any folder")
        << false << QString() << quint8(1) << "other" << 0 << QString();
    QTest::newRow("on: own folder") << true << local << quint8(1) << "own" << 0 << QString();
    QTest::newRow("on: upload to own folder")
        << true << local << quint8(3) << "own" << 0 << QString();
    QTest::newRow("on: no login") << true << QString() << quint8(1) << "own" << 3 << noLogin;
    QTest::newRow("on: login from another address")
        << true << QStringLiteral("127.0.0.2") << quint8(1) << "own" << 3 << noLogin;
    QTest::newRow("on: other's folder") << true << local << quint8(1) << "other" << 3 << notOwn;
    QTest::newRow("on: upload to other's folder")
        << true << local << quint8(3) << "other" << 3 << notOwn;
    QTest::newRow("on: no folder") << true << local << quint8(1) << "" << 3 << notOwn;
}

void tst_ServerCore::transferRights()
{
    QFETCH(bool, required);
    QFETCH(QString, loginFrom);
    QFETCH(quint8, command);
    QFETCH(QString, folder);
    QFETCH(int, result);
    QFETCH(QString, why);
    CServerCore core;
    QSignalSpy lines(&core, &CServerCore::lineLogged);
    QVERIFY(core.start());
    Client control = connectTo(core.controlPort());
    const QByteArray user = QTest::currentDataTag();
    const int own = addUser(*control, user);
    QVERIFY(own > 0);
    const QString ownFolder = QString::number(own);
    const QString saveFolder = folder == QLatin1String("own")
        ? ownFolder
        : (folder == QLatin1String("other") ? QString::number(own + 1000) : folder);
    const QString saveName
        = saveFolder.isEmpty() ? QStringLiteral("slot") : saveFolder + QStringLiteral("/slot");
    QVERIFY(QDir(storage).mkpath(saveFolder.isEmpty() ? QStringLiteral(".") : saveFolder));
    QFile save(storage + QLatin1Char('/') + saveName + QStringLiteral(".z"));
    QVERIFY(save.open(QIODevice::WriteOnly));
    save.write("save");
    save.close();

    // Switched on after start: the box of the settings dialog counts at once.
    CServerSettings::instance()->transferRequiresLogin = required;
    if (!loginFrom.isEmpty()) {
        Client from = connectTo(core.controlPort(), QHostAddress(loginFrom));
        QCOMPARE(login(*from, user, "pw-" + user), 0);
    }
    Client files = connectTo(core.filePort());
    QCOMPARE(requestTransfer(*files, command, user, saveName.toLatin1()), result);
    // The design's lines stay; a refusal adds one that says why.
    QCOMPARE(
        countLines(lines, QString::fromLatin1(user) + QStringLiteral(" request transfer savedat")),
        1);
    QCOMPARE(countLines(lines, QStringLiteral("refused")), why.isEmpty() ? 0 : 1);
    if (!why.isEmpty()) {
        QCOMPARE(countLines(lines,
                     QStringLiteral("Transfer of %1 for %2 from 127.0.0.1 %3")
                         .arg(saveName, QString::fromLatin1(user), why)),
            1);
    }
}

void tst_ServerCore::useTls(bool require)
{
    if (!identity.ok)
        identity = testtls::makeIdentity(dir.path(), QStringLiteral("server"));
    QVERIFY(identity.ok);
    CServerSettings::instance()->tls = { identity.certificate, identity.key, require };
}

std::unique_ptr<QSslSocket> tst_ServerCore::connectTls(quint16 port)
{
    auto client = std::make_unique<QSslSocket>();
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates({ testtls::certificateOf(identity) });
    client->setSslConfiguration(config);
    client->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port, QStringLiteral("localhost"));
    // Not waitForEncrypted(): the server runs on this thread.
    if (!QTest::qWaitFor([&] { return client->isEncrypted(); }, 10000)) {
        qWarning("no TLS: %s", qPrintable(client->errorString()));
        return nullptr;
    }
    return client;
}

void tst_ServerCore::tlsBesidePlain_data()
{
    QTest::addColumn<bool>("require");
    QTest::addColumn<bool>("filePort");
    QTest::addColumn<bool>("plainServed");
    QTest::newRow("control port, TLS or plain") << false << false << true;
    QTest::newRow("file port, TLS or plain") << false << true << true;
    QTest::newRow("control port, TLS required") << true << false << false;
    QTest::newRow("file port, TLS required") << true << true << false;
}

void tst_ServerCore::tlsBesidePlain()
{
    QFETCH(bool, require);
    QFETCH(bool, filePort);
    QFETCH(bool, plainServed);
    useTls(require);
    CServerCore core;
    QSignalSpy lines(&core, &CServerCore::lineLogged);
    QVERIFY(core.start());
    const quint16 port = filePort ? core.filePort() : core.controlPort();
    const auto served = [filePort](QTcpSocket &client) {
        return filePort ? requestTransfer(client, 1, "u", "missing") == 1 : isServed(client);
    };

    // Open side by side; each is answered in its own way, twice on one connection.
    Client plain = connectTo(port);
    std::unique_ptr<QSslSocket> tls = connectTls(port);
    QVERIFY(tls);
    QCOMPARE(tls->sessionProtocol() >= QSsl::TlsV1_2, true);
    QVERIFY(served(*tls));
    if (plainServed) {
        QVERIFY(served(*plain));
        QVERIFY(served(*plain));
    } else {
        plain->write(packet(9, str("nobody") + str("x")));
        QTRY_COMPARE(plain->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(plain->bytesAvailable(), qint64(0));
        QCOMPARE(countLines(lines,
                     QStringLiteral("Plain connection from 127.0.0.1 closed: TLS is required")),
            1);
    }
    QVERIFY(served(*tls));
    QCOMPARE(countLines(lines, QStringLiteral("TLS handshake")), 0);
}

void tst_ServerCore::tlsHandshakeFailuresCountAgainstAddress()
{
    useTls(false);
    CServerSettings::instance()->addressLockFailures = 2;
    CServerCore core;
    core.setTlsHandshakeTimeout(100);
    QSignalSpy lines(&core, &CServerCore::lineLogged);
    QVERIFY(core.start());
    // Silent: held unread until the end, when the core closes it.
    Client silent = connectTo(core.controlPort());
    QTRY_COMPARE(core.tlsAcceptor()->heldCount(), 1);

    // One stops inside its ClientHello, one sends a record that is no handshake.
    Client stalled = connectTo(core.controlPort());
    stalled->write(QByteArray::fromHex("160301"));
    QTRY_COMPARE(stalled->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(
        countLines(lines, QStringLiteral("TLS handshake with 127.0.0.1 failed: no handshake")), 1);
    Client garbled = connectTo(core.filePort());
    garbled->write(QByteArray::fromHex("16030100050102030405"));
    QTRY_COMPARE(garbled->state(), QAbstractSocket::UnconnectedState);
    // One line per connection, however many records it sent.
    QTRY_COMPARE(countLines(lines, QStringLiteral("TLS handshake with 127.0.0.1 failed")), 2);

    // The address has used up its failures; another one is still served.
    Client locked = connectTo(core.controlPort());
    QTRY_COMPARE(locked->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(countLines(lines,
                 QStringLiteral("Connection from 127.0.0.1 refused: too many failed TLS "
                                "handshakes from this address")),
        1);
    Client other = connectTo(core.controlPort(), QHostAddress(QStringLiteral("127.0.0.2")));
    QVERIFY(isServed(*other));
    QCOMPARE(countLines(lines, QStringLiteral("TLS handshake with")), 2);
    QCOMPARE(silent->state(), QAbstractSocket::ConnectedState);
    QCOMPARE(core.tlsAcceptor()->heldCount(), 1);
}

QTEST_GUILESS_MAIN(tst_ServerCore)
#include "tst_servercore.moc"
