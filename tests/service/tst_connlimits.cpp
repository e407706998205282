#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include "cadmintoken.h"
#include "chttpadmin.h"
#include "chttpapi.h"
#include "chttplimits.h"
#include "cportreservation.h"
#include "cservercore.h"
#include "cserversettings.h"
#include "ctlsacceptor.h"
#include "ctolvernserverconn.h"
#include "cuserdb.h"
#include "testtls.h"
#include "testwire.h"

using namespace testwire;

// What keeps the ports open to everyone however many connect, hang up or fail: a hang-up
// costs the same at any count, a full cap makes room, TLS failures stay in their lane, the
// first-byte gate gives its places back, and the HTTP port keeps its operator.
class tst_ConnLimits : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void fullCapMakesRoom();
    void hangUpCostsTheSameAtAnySize();
    void tlsFailuresStayInTheirLane();
    void tlsHandshakesCountAndHurryUnderPressure();
    void firstByteGateGivesPlacesBack();
    void httpPortKeepsItsOperator();

private:
    using Client = std::unique_ptr<QTcpSocket>;
    static Client connectTo(quint16 port, const QHostAddress &source = QHostAddress());
    static int requestTransfer(
        QTcpSocket &client, quint8 command, const QByteArray &user, const QByteArray &saveName);
    static bool isServed(QTcpSocket &client);
    static int countLines(const QSignalSpy &lines, const QString &part);
    // A blocking loopback connection of a bare descriptor.
    static int rawConnect(quint16 port);
    std::unique_ptr<QSslSocket> connectTls(quint16 port);
    void useTls(bool require);

    QTemporaryDir dir;
    // The guards' clock: it moves only when a case moves it.
    qint64 now = 1;
    testtls::Identity identity;
};

tst_ConnLimits::Client tst_ConnLimits::connectTo(quint16 port, const QHostAddress &source)
{
    auto client = std::make_unique<QTcpSocket>();
    if (!source.isNull())
        client->bind(source);
    client->connectToHost(QHostAddress::LocalHost, port);
    if (!client->waitForConnected(5000))
        qWarning("cannot connect: %s", qPrintable(client->errorString()));
    return client;
}

int tst_ConnLimits::requestTransfer(
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
bool tst_ConnLimits::isServed(QTcpSocket &client)
{
    client.write(packet(9, str("nobody") + str("x")));
    const Packet reply = readPacket(client);
    return reply.ok && reply.command == 10 && quint8(reply.body.at(0)) == 3;
}

int tst_ConnLimits::countLines(const QSignalSpy &lines, const QString &part)
{
    int count = 0;
    for (const QList<QVariant> &line : lines)
        count += line.at(0).toString().contains(part) ? 1 : 0;
    return count;
}

void tst_ConnLimits::useTls(bool require)
{
    if (!identity.ok)
        identity = testtls::makeIdentity(dir.path(), QStringLiteral("server"));
    QVERIFY(identity.ok);
    CServerSettings::instance()->tls = { identity.certificate, identity.key, require };
}

std::unique_ptr<QSslSocket> tst_ConnLimits::connectTls(quint16 port)
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

void tst_ConnLimits::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("storage"))));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(dir.filePath(QStringLiteral("users.db")));
    QVERIFY(db.open());
    CServerSettings::instance()->setIniFilePath(dir.filePath(QStringLiteral("tolvern.ini")));
}

void tst_ConnLimits::init()
{
    CServerSettings *s = CServerSettings::instance();
    s->saveDataDir = dir.filePath(QStringLiteral("storage"));
    s->mainPort = 0;
    s->filePort = 0;
    s->maxConnectionsPerAddress = 64;
    s->idleTimeoutSeconds = 0;
    s->loginLockFailures = 5;
    s->loginLockSeconds = 60;
    s->addressLockFailures = 20;
    s->addressLockSeconds = 600;
    // Cheap hashes: what these cases count is connections.
    s->hashMemoryKiB = 8;
    s->hashIterations = 1;
    s->httpPort = 0;
    s->tls = CServerSettings::Tls();
    now = 1;
}

// The open-files limit in force at start() leaves three descriptors: a control connection
// takes one, a file connection two.
void tst_ConnLimits::fullCapMakesRoom()
{
    CServerCore core(CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
    core.setClock([this] { return now; });
    QSignalSpy lines(&core, &CServerCore::lineLogged);
    rlimit saved {};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 64 + 3;
    QVERIFY(QDir(QStringLiteral("/proc/self/fd")).count() + 4 < low.rlim_cur);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &low), 0);
    const bool started = core.start();
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);
    QVERIFY(started);
    Client control = connectTo(core.controlPort());
    Client file = connectTo(core.filePort());
    QVERIFY(isServed(*control));
    QCOMPARE(requestTransfer(*file, 1, "u", "missing"), 1);

    // Every client was at work a moment ago: the newcomer is refused.
    now += 999;
    Client early = connectTo(core.controlPort());
    QTRY_COMPARE(early->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(
        countLines(lines, QStringLiteral("refused: the server is at its connection limit")), 1);

    // The control connection is owed an outcome (the database is held): the file connection,
    // idle as long, gives way, and its two descriptors make room for another file client.
    QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("w"));
    const auto removeOther = qScopeGuard([&] {
        other = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("w"));
    });
    other.setDatabaseName(dir.filePath(QStringLiteral("users.db")));
    QVERIFY(other.open());
    QSqlQuery writer(other);
    QVERIFY(writer.exec(QStringLiteral("BEGIN IMMEDIATE")));
    control->write(packet(1, str("room-owed") + str("pw")));
    QTRY_VERIFY(core.controlConnections().size() == 1
        && core.controlConnections().first()->owedReplies() == 1);
    now += 1;
    Client newcomer = connectTo(core.filePort());
    QCOMPARE(requestTransfer(*newcomer, 1, "u", "missing"), 1);
    QTRY_COMPARE(file->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(control->state(), QAbstractSocket::ConnectedState);
    QCOMPARE(countLines(lines,
                 QStringLiteral("Connection from 127.0.0.1 idle for 1 s closed to make room at "
                                "the connection limit (1 in all since the last such line)")),
        1);
    QVERIFY(writer.exec(QStringLiteral("COMMIT")));
    const Packet reply = readPacket(*control);
    QVERIFY(reply.ok && reply.command == 2);
}

// N idle connections of both ports hang up at once: what each hang-up costs the core must not
// grow with N. Measured as the processor time of this thread (the core's and the clients')
// per hang-up at two sizes in the same run: a path that walks every connection on each event
// makes the larger size cost ten times as much per event, far past the margin.
void tst_ConnLimits::hangUpCostsTheSameAtAnySize()
{
    rlimit saved {};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const auto restore = qScopeGuard([&] { setrlimit(RLIMIT_NOFILE, &saved); });
    rlimit high = saved;
    high.rlim_cur = high.rlim_max;
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &high), 0);
    constexpr int SMALL = 300;
    constexpr int LARGE = 3000;
    if (high.rlim_cur < rlim_t(2 * LARGE + 200))
        QSKIP("the open-files limit is below two descriptors per connection");
    CServerSettings::instance()->maxConnectionsPerAddress = 0;
    CServerCore core(CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
    int closed = 0;
    connect(&core, &CServerCore::lineLogged, this, [&closed](const QString &line) {
        closed += line.contains(QLatin1String("client disconnected from")) ? 1 : 0;
    });
    QVERIFY(core.start());
    const auto perHangUp = [&](int count) {
        std::vector<int> fds;
        for (int i = 0; i < count; ++i) {
            fds.push_back(rawConnect(i % 2 ? core.filePort() : core.controlPort()));
            // The core accepts from this thread's loop: within the listen backlog.
            if (i % 256 == 255
                && !QTest::qWaitFor([&] { return core.connectionCount() == i + 1; }, 30000))
                return -1.0;
        }
        if (!QTest::qWaitFor([&] { return core.connectionCount() == count; }, 30000))
            return -1.0;
        closed = 0;
        timespec start {};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
        for (const int fd : fds)
            ::close(fd);
        if (!QTest::qWaitFor([&] { return closed == count; }, 60000))
            return -1.0;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        timespec end {};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
        const double seconds
            = double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9;
        return seconds / count;
    };
    // The small size twice, the first to warm up what every connection shares.
    perHangUp(SMALL);
    const double small = perHangUp(SMALL);
    const double large = perHangUp(LARGE);
    QVERIFY(small > 0 && large > 0);
    qInfo("processor time per hang-up: %.1f us at %d, %.1f us at %d", small * 1e6, SMALL,
        large * 1e6, LARGE);
    QVERIFY2(large < 3 * small,
        qPrintable(QStringLiteral("%1 us per hang-up at %2 against %3 us at %4")
                       .arg(large * 1e6)
                       .arg(LARGE)
                       .arg(small * 1e6)
                       .arg(SMALL)));
}

// The status of an HTTP answer on a kept-alive connection, read whole; -1 when none came.
static int httpStatus(QTcpSocket &client, const QByteArray &request)
{
    client.write(request);
    QByteArray head;
    if (!QTest::qWaitFor(
            [&] {
                head += client.readAll();
                return head.contains("\r\n\r\n")
                    || client.state() != QAbstractSocket::ConnectedState;
            },
            10000))
        return -1;
    const qsizetype end = head.indexOf("\r\n\r\n");
    if (end < 0)
        return -1;
    const qsizetype at = head.toLower().indexOf("content-length:");
    const qsizetype length
        = at < 0 ? 0 : head.mid(at + 15, head.indexOf('\r', at) - at - 15).trimmed().toLongLong();
    QByteArray body = head.mid(end + 4);
    (void)QTest::qWaitFor(
        [&] {
            body += client.readAll();
            return body.size() >= length || client.state() != QAbstractSocket::ConnectedState;
        },
        10000);
    return head.mid(9, 3).toInt();
}

void tst_ConnLimits::httpPortKeepsItsOperator()
{
    const CPortReservation reserved;
    CServerSettings *s = CServerSettings::instance();
    const QByteArray token = CAdminToken::generate();
    s->httpPort = reserved.port();
    s->tokenHash = CAdminToken::hash(token);
    const auto off = qScopeGuard([s] { s->httpPort = 0; });
    CServerCore core(CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
    QVERIFY(core.start());
    QVERIFY(core.httpAdmin());
    std::atomic<qint64> clock { 1 };
    core.httpAdmin()->limits()->setClock([&clock] { return clock.load(); });
    const auto request = [](const QByteArray &bearer) {
        return "GET /api/v1/users?limit=1 HTTP/1.1\r\nHost: t\r\nAuthorization: Bearer " + bearer
            + "\r\n\r\n";
    };
    const auto connectHttp = [&] {
        auto client = std::make_unique<QTcpSocket>();
        client->connectToHost(QHostAddress::LocalHost, core.httpPort());
        if (!QTest::qWaitFor(
                [&] { return client->state() == QAbstractSocket::ConnectedState; }, 5000))
            qWarning("cannot connect: %s", qPrintable(client->errorString()));
        return client;
    };

    // More half-requests from the operator's own address than it may have open: the oldest
    // give way, and the operator is still answered.
    std::vector<Client> slow;
    for (int i = 0; i < CHttpAdmin::PER_ADDRESS_LIMIT + 6; ++i) {
        slow.push_back(connectHttp());
        slow.back()->write("GET /healthz HTTP/1.1\r\nHost: t\r\n");
    }
    const auto closedCount = [&slow] {
        return int(std::count_if(slow.cbegin(), slow.cend(), [](const Client &client) {
            return client->state() != QAbstractSocket::ConnectedState;
        }));
    };
    QTRY_COMPARE(closedCount(), 6);
    QVERIFY(slow.back()->state() == QAbstractSocket::ConnectedState);
    Client operatorClient = connectHttp();
    QCOMPARE(httpStatus(*operatorClient, request(token)), 200);
    QCOMPARE(closedCount(), 7);

    // Wrong tokens lock the address for wrong tokens only.
    for (int i = 0; i < CHttpApi::LOCK_FAILURES; ++i)
        QCOMPARE(httpStatus(*operatorClient, request("wrong")), 401);
    QCOMPARE(httpStatus(*operatorClient, request("wrong")), 429);
    QCOMPARE(httpStatus(*operatorClient, request(token)), 200);

    // Two lengths for one body: refused, and the connection closed.
    Client smuggler = connectHttp();
    QCOMPARE(httpStatus(*smuggler,
                 "POST /api/v1/users HTTP/1.1\r\nHost: t\r\nContent-Length: 5\r\n"
                 "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n"),
        400);
    QTRY_COMPARE(smuggler->state(), QAbstractSocket::UnconnectedState);

    // A request not whole by its deadline is closed; the operator, idle between requests,
    // keeps the connection longer.
    clock += CHttpLimits::REQUEST_DEADLINE_MS;
    QTRY_COMPARE(closedCount(), int(slow.size()));
    QCOMPARE(operatorClient->state(), QAbstractSocket::ConnectedState);
    clock += CHttpLimits::KEEPALIVE_IDLE_MS - CHttpLimits::REQUEST_DEADLINE_MS;
    QTRY_COMPARE(operatorClient->state(), QAbstractSocket::UnconnectedState);
}

void tst_ConnLimits::tlsFailuresStayInTheirLane()
{
    useTls(false);
    CServerSettings::instance()->addressLockFailures = 2;
    CServerCore core(CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
    core.setClock([this] { return now; });
    core.setTlsHandshakeTimeout(100);
    QSignalSpy lines(&core, &CServerCore::lineLogged);
    QVERIFY(core.start());
    // Silent: held unread until the end, when the core closes it.
    Client silent = connectTo(core.controlPort());
    QTRY_COMPARE(core.tlsAcceptor()->heldCount(), 1);

    // One stops inside its ClientHello, one sends a record that is no handshake: the first
    // failure is told at once, the second waits for the minute's sum.
    Client stalled = connectTo(core.controlPort());
    stalled->write(QByteArray::fromHex("160301"));
    QTRY_COMPARE(stalled->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(countLines(lines,
                 QStringLiteral("TLS handshake with 127.0.0.1 failed: no handshake within 100 ms")),
        1);
    Client garbled = connectTo(core.filePort());
    garbled->write(QByteArray::fromHex("16030100050102030405"));
    QTRY_COMPARE(garbled->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(countLines(lines, QStringLiteral("TLS handshake with 127.0.0.1 failed")), 1);

    // Plain play from that address goes on as ever.
    Client plain = connectTo(core.controlPort());
    QVERIFY(isServed(*plain));
    Client plainFile = connectTo(core.filePort());
    QCOMPARE(requestTransfer(*plainFile, 1, "u", "missing"), 1);
    QCOMPARE(countLines(lines, QStringLiteral("refused")), 0);

    // Its handshakes start a second apart: the first at once, the next held meanwhile.
    core.setTlsHandshakeTimeout(10000);
    std::unique_ptr<QSslSocket> first = connectTls(core.controlPort());
    QVERIFY(first);
    auto second = std::make_unique<QSslSocket>();
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates({ testtls::certificateOf(identity) });
    second->setSslConfiguration(config);
    second->connectToHostEncrypted(
        QStringLiteral("127.0.0.1"), core.controlPort(), QStringLiteral("localhost"));
    QTRY_COMPARE(core.tlsAcceptor()->heldCount(), 2);
    QVERIFY(!second->isEncrypted());
    QTRY_VERIFY_WITH_TIMEOUT(second->isEncrypted(), 10000);
    QVERIFY(isServed(*second));
    QCOMPARE(core.tlsAcceptor()->heldCount(), 1);

    // A minute on, the next failure first sums up the last minute's.
    now += CTlsAcceptor::FAILURE_WINDOW_MS;
    core.setTlsHandshakeTimeout(100);
    Client again = connectTo(core.controlPort());
    again->write(QByteArray::fromHex("160301"));
    QTRY_COMPARE(countLines(lines, QStringLiteral("TLS handshake with 127.0.0.1 failed")), 3);
    QCOMPARE(countLines(lines,
                 QStringLiteral("TLS handshake with 127.0.0.1 failed 1 more time(s) in the last "
                                "minute; the last: ")),
        1);
    QCOMPARE(silent->state(), QAbstractSocket::ConnectedState);
}

// Handshakes in progress take their places; when most places are taken they get less time.
void tst_ConnLimits::tlsHandshakesCountAndHurryUnderPressure()
{
    useTls(false);
    CServerSettings::instance()->maxConnectionsPerAddress = 4;
    CServerCore core(CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
    core.setTlsHandshakeTimeout(30000);
    QSignalSpy lines(&core, &CServerCore::lineLogged);
    QVERIFY(core.start());
    Client first = connectTo(core.controlPort());
    Client second = connectTo(core.controlPort());
    QVERIFY(isServed(*first) && isServed(*second));
    // The third place, three quarters of the address's: its handshake has the shorter time.
    Client stalled = connectTo(core.controlPort());
    stalled->write(QByteArray::fromHex("160301"));
    QTRY_COMPARE(core.connectionCount(), 3);
    Client fourth = connectTo(core.filePort());
    QCOMPARE(requestTransfer(*fourth, 1, "u", "missing"), 1);
    Client fifth = connectTo(core.controlPort());
    QTRY_COMPARE(fifth->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(
        countLines(lines, QStringLiteral("refused: too many connections from this address")), 1);
    QTRY_COMPARE_WITH_TIMEOUT(stalled->state(), QAbstractSocket::UnconnectedState, 20000);
    QCOMPARE(countLines(lines,
                 QStringLiteral("TLS handshake with 127.0.0.1 failed: no handshake within %1 ms")
                     .arg(CTlsAcceptor::PRESSED_HANDSHAKE_TIMEOUT_MS)),
        1);
}

// Every descriptor the first-byte gate holds gives its place back once a connection adopts it:
// more connections than one address may hold at once, one after the other, all served.
void tst_ConnLimits::firstByteGateGivesPlacesBack()
{
    useTls(false);
    CServerSettings::instance()->maxConnectionsPerAddress = 3;
    CServerCore core(CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
    QSignalSpy lines(&core, &CServerCore::lineLogged);
    QVERIFY(core.start());
    for (int i = 0; i < 8; ++i) {
        Client client = connectTo(i % 2 ? core.filePort() : core.controlPort());
        QVERIFY2(i % 2 ? requestTransfer(*client, 1, "u", "missing") == 1 : isServed(*client),
            qPrintable(QString::number(i)));
        client->disconnectFromHost();
        QTRY_COMPARE(
            countLines(lines, QStringLiteral("client disconnected from 127.0.0.1")), i + 1);
    }
    std::vector<Client> together;
    for (int i = 0; i < 3; ++i) {
        together.push_back(connectTo(core.controlPort()));
        QVERIFY(isServed(*together.back()));
    }
    QCOMPARE(countLines(lines, QStringLiteral("refused")), 0);
}

int tst_ConnLimits::rawConnect(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        qWarning("cannot connect: %s", strerror(errno));
    return fd;
}

QTEST_GUILESS_MAIN(tst_ConnLimits)
#include "tst_connlimits.moc"
