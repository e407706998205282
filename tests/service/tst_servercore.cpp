#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QSslSocket>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include "csavestore.h"
#include "cservercore.h"
#include "cstorageworker.h"
#include "testsettle.h"
#include "cuserdb.h"
#include "cserversettings.h"
#include "ctlsacceptor.h"
#include "ctolvernserver.h"
#include "printabletext.h"
#include "ctolvernserverconn.h"
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
    void idleConnectionsClose_data();
    void idleConnectionsClose();
    void loginLockout_data();
    void loginLockout();
    void transferRights_data();
    void transferRights();

    // storage
    void storageWorkLeavesLoginsAlone();
    void parallelUploadsKeepMinFree();
    void idleTimeOutSparesUploadAtTheWorker();

    // TLS
    void tlsBesidePlain_data();
    void tlsBesidePlain();

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
    // A whole upload as one write: request, data frames and end.
    static QByteArray uploadBytes(const QByteArray &saveName, const QByteArray &content);
    // Bytes of the files below dir, each file once.
    static qint64 bytesUnder(const QString &dir);
    // A TLS client that trusts only identity's certificate; null when no handshake.
    std::unique_ptr<QSslSocket> connectTls(quint16 port);
    void useTls(bool require);

    QTemporaryDir dir;
    QString storage;
    // The guards' clock: it moves only when a case moves it.
    qint64 now = 1;
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

QByteArray tst_ServerCore::uploadBytes(const QByteArray &saveName, const QByteArray &content)
{
    QByteArray out = frame(0, packet(3, str("u") + str("d") + str(saveName)));
    for (qsizetype pos = 0; pos < content.size(); pos += 60000)
        out += frame(1, content.mid(pos, 60000));
    return out + frame(0, packet(6, {}));
}

qint64 tst_ServerCore::bytesUnder(const QString &dir)
{
    qint64 total = 0;
    QSet<quint64> seen;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        struct stat st;
        // A file renamed meanwhile may be listed under both names.
        if (::lstat(QFile::encodeName(it.next()).constData(), &st) == 0
            && !seen.contains(quint64(st.st_ino))) {
            seen.insert(quint64(st.st_ino));
            total += st.st_size;
        }
    }
    return total;
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
    // Every add and login hashes: at Argon2id's default cost (19 MiB, two passes) a loaded
    // machine takes a tenth of a second or more for each, and the suite makes hundreds. The
    // flows are the same at the lowest cost.
    CServerSettings::instance()->hashMemoryKiB = 8;
    CServerSettings::instance()->hashIterations = 1;
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
    s->minFreeBytes = -1;
    s->maxUserBytes = 0;
    s->maxSaveBytes = 0;
    // Hashed as in production, at libsodium's lowest cost: the guesses are counted, not timed.
    s->hashMemoryKiB = 8;
    s->hashIterations = 1;
    now = 1;
    s->tls = CServerSettings::Tls();
}

void tst_ServerCore::servesWithoutWidgets()
{
    QVERIFY(!QCoreApplication::instance()->inherits("QGuiApplication"));
    CServerCore core(CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
    QSignalSpy lines(&core, &CServerCore::lineLogged);
    QSignalSpy entries(&core, &CServerCore::lineLoggedFrom);
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
    SETTLE_VERIFY(lines.size() >= 4);
    QCOMPARE(
        lines.at(2).at(0).toString(), QStringLiteral("Control client connected from 127.0.0.1"));
    QCOMPARE(lines.at(3).at(0).toString(), QStringLiteral("[ADD_USER] name=core-ann, result=0"));
    // The same lines for the journal, with the client each is about kept apart.
    QCOMPARE(entries.size(), lines.size());
    QCOMPARE(entries.at(1).at(1).toString(), QString());
    QCOMPARE(entries.at(2).at(1).toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(entries.at(3).at(0).toString(), lines.at(3).at(0).toString());
    QCOMPARE(entries.at(3).at(1).toString(), QStringLiteral("127.0.0.1"));

    QCOMPARE(core.uploadFileName(QStringLiteral("7/slot1")), QStringLiteral("7/slot1.z"));
    QCOMPARE(lines.last().at(0).toString(), QStringLiteral("Upload 7/slot1.z"));

    // The user database's own lines (an outage and its end) reach the same log, from
    // whichever thread met the outage.
    const QString outage = QStringLiteral("User database unreachable: gone");
    std::thread([outage] { emit CUserDb::instance()->log(outage); }).join();
    SETTLE_COMPARE(lines.last().at(0).toString(), outage);
    QCOMPARE(countLines(lines, outage), 1);
}

void tst_ServerCore::portOverridesWin()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::AnyIPv4, 0));

    // The settings ask for any free port; the override names a taken one and wins.
    CServerCore core(CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
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

    CServerCore core(CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
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
    // The open-files limit in force at start() leaves three descriptors: a control connection
    // and a file connection (two).
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
    CServerCore core(CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
    QSignalSpy lines(&core, &CServerCore::lineLogged);
    if (perAddress == 0) {
        rlimit saved {};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit low = saved;
        low.rlim_cur = 64 + 3;
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
        SETTLE_COMPARE(refused.back()->state(), QAbstractSocket::UnconnectedState);
    }
    QCOMPARE(countLines(lines, refusal), 1);
    QCOMPARE(countLines(lines, QStringLiteral("refused")), 1);

    // A freed place is taken again.
    first->disconnectFromHost();
    SETTLE_COMPARE(countLines(lines, QStringLiteral("Control client disconnected")), 1);
    Client again = connectTo(core.controlPort());
    QVERIFY(isServed(*again));
}

void tst_ServerCore::acceptsAgainAfterDescriptorLimit()
{
    CServerCore core(CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
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
    SETTLE_VERIFY(listener->isWaitingToAccept());
    SETTLE_COMPARE(countLines(lines, QStringLiteral("Main control server cannot accept")), 1);

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

void tst_ServerCore::idleConnectionsClose_data()
{
    QTest::addColumn<QString>("owed");
    QTest::newRow("nothing") << QString();
    // Waiting for the database is not idleness.
    QTest::newRow("an outcome") << QStringLiteral("outcome");
    // Nor is waiting for the peer to take its replies.
    QTest::newRow("replies queued") << QStringLiteral("replies");
}

void tst_ServerCore::idleConnectionsClose()
{
    QFETCH(QString, owed);
    CServerSettings::instance()->idleTimeoutSeconds = 1;
    // Replies that need no database: after one wrong guess every login is refused at once.
    CServerSettings::instance()->addressLockFailures = owed == QLatin1String("replies") ? 1 : 20;
    CServerCore core(CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
    core.setClock([this] { return now; });
    QVERIFY(core.start());
    Client quietControl = connectTo(core.controlPort());
    Client quietFile = connectTo(core.filePort());
    Client busy = connectTo(core.controlPort());
    QVERIFY(isServed(*busy));

    QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("w"));
    const auto removeOther = qScopeGuard([&] {
        other = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("w"));
    });
    other.setDatabaseName(dir.filePath(QStringLiteral("users.db")));
    QVERIFY(other.open());
    QSqlQuery writer(other);
    const int requests = owed == QLatin1String("replies") ? 40000 : 1;
    // The client takes nothing into its own buffer either: the replies stay with the server.
    if (requests > 1)
        quietControl->setReadBufferSize(512);
    if (!owed.isEmpty()) {
        if (owed == QLatin1String("outcome"))
            QVERIFY(writer.exec(QStringLiteral("BEGIN IMMEDIATE")));
        QByteArray bytes;
        for (int i = 0; i < requests; ++i) {
            bytes += owed == QLatin1String("replies")
                ? packet(9, str("nobody") + str("x"))
                : packet(3, int32(0) + str("old") + str("new"));
        }
        quietControl->write(bytes);
        // Taken, and then nothing moves: the database is locked, or the client reads nothing.
        const bool outcome = owed == QLatin1String("outcome");
        const auto waiting = [&core, outcome] {
            const QList<CTolvernServerConn *> conns = core.controlConnections();
            return std::any_of(conns.cbegin(), conns.cend(), [outcome](CTolvernServerConn *conn) {
                return outcome ? conn->owedReplies() > 0
                               : conn->owedReplies() == 0 && conn->bytesToWrite() > 0;
            });
        };
        SETTLE_VERIFY(waiting());
    }
    // Past the time-out for the quiet ones, not for the one served half-way.
    now += 600;
    // (Not while the database is locked: it would wait for it.)
    if (owed.isEmpty())
        QVERIFY(isServed(*busy));
    now += 600;
    SETTLE_COMPARE(quietFile->state(), QAbstractSocket::UnconnectedState);
    if (owed.isEmpty()) {
        SETTLE_COMPARE(quietControl->state(), QAbstractSocket::UnconnectedState);
        QVERIFY(isServed(*busy));
        return;
    }
    // Several rounds of the idle check (a quarter of the time-out) pass over it.
    QSignalSpy closed(quietControl.get(), &QAbstractSocket::disconnected);
    QVERIFY(!closed.wait(1000));
    if (owed == QLatin1String("outcome"))
        QVERIFY(writer.exec(QStringLiteral("COMMIT")));
    for (int i = 0; i < requests; ++i) {
        const Packet reply = readPacket(*quietControl);
        QVERIFY2(
            reply.ok && reply.command == (requests > 1 ? 10 : 4), qPrintable(QString::number(i)));
    }
    // Answered, and quiet from now on.
    now += 2000;
    SETTLE_COMPARE(quietControl->state(), QAbstractSocket::UnconnectedState);
}

void tst_ServerCore::loginLockout_data()
{
    // Steps, separated by ";", each run N times with "*N": "w NAME" a wrong guess (answer 3);
    // "r NAME RESULT" the right password; "o NAME RESULT" the same from 127.0.0.2; "h NAME" a
    // wrong guess from a client that hangs up at once; "c NAME RESULT" a password change of
    // NAME's id with a wrong old password, "C NAME RESULT" with the right one (kept the same);
    // "t MS" the clock moves on; "d 1|0" logins fail in the database, or no longer; "l N TEXT"
    // N lines hold TEXT.
    QTest::addColumn<int>("lockSeconds");
    QTest::addColumn<QString>("steps");
    QTest::newRow("name: 5 failures")
        << 60
        << "w bob*5;l 1 Logins for bob from 127.0.0.1 locked for 60 s after 5 failed attempts;"
           "l 1 locked;r bob 3*2;o bob 0;r ann 0;t 59999;r bob 3;t 1;r bob 0;l 1 locked";
    // The name comes from the client: it cannot start a log line of its own.
    QTest::newRow("name: line injected")
        << 60
        << "w lk\r\n[LOGIN]*5;"
           "l 1 Logins for lk\\r\\n[LOGIN] from 127.0.0.1 locked for 60 s after 5 failed attempts";
    QTest::newRow("address: 20 failures over names")
        << 60
        << "w a*4;w b*4;w c*4;w d*4;w e*4;"
           "l 1 Logins from 127.0.0.1 locked for 60 s after 20 failed attempts;l 1 locked;"
           "r bob 3;o bob 0;t 60000;r bob 0";
    QTest::newRow("old failures leave the window")
        << 60 << "w bob*4;t 60000;w bob*4;r bob 0;l 0 locked";
    QTest::newRow("success clears the name's failures")
        << 60 << "w bob*4;r bob 0;w bob*4;r bob 0;l 0 locked";
    // Longer than the window: the records pruned meanwhile keep the lock.
    QTest::newRow("lock outlives the prune")
        << 300 << "w bob*5;l 1 locked;t 61000;r bob 3;t 61000;r ann 0;r bob 3;t 178000;r bob 0";
    QTest::newRow("guesses of clients that hung up count") << 60 << "h bob*5;l 1 locked;r bob 3";
    QTest::newRow("database failures are no wrong guesses")
        << 60 << "d 1;r bob 3*6;d 0;r bob 0;l 0 locked;w bob*4;r bob 0";
    // A password change is a guess like a login, against the same user.
    QTest::newRow("password change: locked by wrong logins, answered untested")
        << 60 << "w bob*5;l 1 locked;C bob 4;c bob 4;C ann 0;o bob 0;t 60000;C bob 0";
    QTest::newRow("password change: wrong old passwords lock the user's logins")
        << 60
        << "c bob 4*5;l 1 Password changes for user;l 1 from 127.0.0.1 locked for 60 s after 5;"
           "r bob 3;C bob 4;o bob 0;t 60000;r bob 0";
    QTest::newRow("password change: one failure short of the lock")
        << 60 << "c bob 4*2;w bob*2;C bob 0;r bob 0;l 0 locked";
    QTest::newRow("password change: counted against the address")
        << 60
        << "w a*4;w b*4;w c*4;w d*4;c bob 4*4;l 1 Logins from 127.0.0.1 locked;C ann 4;o ann 0";
}

void tst_ServerCore::loginLockout()
{
    QFETCH(int, lockSeconds);
    QFETCH(QString, steps);
    CServerSettings::instance()->loginLockSeconds = lockSeconds;
    CServerSettings::instance()->addressLockSeconds = lockSeconds;
    CServerCore core(CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
    core.setClock([this] { return now; });
    QSignalSpy lines(&core, &CServerCore::lineLogged);
    QVERIFY(core.start());
    Client client = connectTo(core.controlPort());
    Client other = connectTo(core.controlPort(), QHostAddress(QStringLiteral("127.0.0.2")));
    const QHash<QByteArray, int> ids { { "bob", addUser(*client, "bob") },
        { "ann", addUser(*client, "ann") } };
    QVERIFY(ids.value("bob") > 0 && ids.value("ann") > 0);
    const auto dropPoison = qScopeGuard([] {
        QSqlQuery().exec(QStringLiteral("drop trigger if exists poison"));
        QSqlQuery().exec(QStringLiteral("delete from t_user"));
    });

    QStringList expanded;
    for (const QString &step : steps.split(QLatin1Char(';'))) {
        const QStringList times = step.split(QLatin1Char('*'));
        for (int i = 0; i < times.value(1, QStringLiteral("1")).toInt(); ++i)
            expanded << times.at(0);
    }
    for (const QString &step : std::as_const(expanded)) {
        const QStringList part = step.split(QLatin1Char(' '));
        const QByteArray name = part.value(1).toLatin1();
        const char op = step.at(0).toLatin1();
        if (op == 'w') {
            QVERIFY2(login(*client, name, "guess") == 3, qPrintable(step));
        } else if (op == 'r' || op == 'o') {
            QVERIFY2(login(op == 'r' ? *client : *other, name, "pw-" + name) == part.at(2).toInt(),
                qPrintable(step));
        } else if (op == 'h') {
            const int before = countLines(lines, QStringLiteral("[LOGIN] name=") + part.at(1));
            Client quitter = connectTo(core.controlPort());
            quitter->write(packet(9, str(name) + str("guess")));
            quitter->disconnectFromHost();
            SETTLE_COMPARE(
                countLines(lines, QStringLiteral("[LOGIN] name=") + part.at(1)), before + 1);
        } else if (op == 'c' || op == 'C') {
            const QByteArray old = op == 'C' ? "pw-" + name : QByteArray("guess");
            client->write(packet(3, int32(ids.value(name)) + str(old) + str("pw-" + name)));
            const Packet reply = readPacket(*client);
            QVERIFY2(
                reply.ok && reply.command == 4 && quint8(reply.body.at(0)) == part.at(2).toInt(),
                qPrintable(step));
        } else if (op == 't') {
            now += part.at(1).toLongLong();
        } else if (op == 'd') {
            QVERIFY(QSqlQuery().exec(part.at(1) == QLatin1String("1")
                    ? QStringLiteral("create trigger poison before update on t_user begin "
                                     "select raise(abort, 'disk on fire'); end")
                    : QStringLiteral("drop trigger poison")));
        } else if (op == 'l') {
            const QString text = part.mid(2).join(QLatin1Char(' '));
            QVERIFY2(countLines(lines, text) == part.at(1).toInt(), qPrintable(step));
        }
    }
}

void tst_ServerCore::transferRights_data()
{
    QTest::addColumn<bool>("required");
    QTest::addColumn<QString>("loginFrom"); // empty: no login
    QTest::addColumn<quint8>("command");
    QTest::addColumn<QString>("folder"); // "own", "other" or a literal
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("why");
    QTest::addColumn<QString>("injected"); // "user" or "save": a line of its own in that text
    const QString local = QStringLiteral("127.0.0.1");
    const QString noLogin = QStringLiteral("refused: no login of this user from this address");
    const QString notOwn = QStringLiteral("refused: not in the user's folder");
    QTest::newRow("off: anyone, any folder")
        << false << QString() << quint8(1) << "other" << 0 << QString() << QString();
    QTest::newRow("on: own folder")
        << true << local << quint8(1) << "own" << 0 << QString() << QString();
    QTest::newRow("on: upload to own folder")
        << true << local << quint8(3) << "own" << 0 << QString() << QString();
    QTest::newRow("on: no login") << true << QString() << quint8(1) << "own" << 3 << noLogin
                                  << QString();
    QTest::newRow("on: login from another address")
        << true << QStringLiteral("127.0.0.2") << quint8(1) << "own" << 3 << noLogin << QString();
    QTest::newRow("on: other's folder")
        << true << local << quint8(1) << "other" << 3 << notOwn << QString();
    QTest::newRow("on: upload to other's folder")
        << true << local << quint8(3) << "other" << 3 << notOwn << QString();
    QTest::newRow("on: no folder") << true << local << quint8(1) << "" << 3 << notOwn << QString();
    QTest::newRow("on: line injected in the user name")
        << true << local << quint8(3) << "own" << 3 << noLogin << "user";
    QTest::newRow("on: line injected in the save name")
        << true << local << quint8(1) << "other" << 3 << notOwn << "save";
}

void tst_ServerCore::transferRights()
{
    QFETCH(bool, required);
    QFETCH(QString, loginFrom);
    QFETCH(quint8, command);
    QFETCH(QString, folder);
    QFETCH(int, result);
    QFETCH(QString, why);
    QFETCH(QString, injected);
    CServerCore core(CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
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
    // A client's text never starts a log line of its own.
    const QByteArray injection = "\r\n[LOGIN] name=admin, result=0";
    const QByteArray askingUser = injected == QLatin1String("user") ? user + injection : user;
    const QByteArray askedSave
        = saveName.toLatin1() + (injected == QLatin1String("save") ? injection : QByteArray());
    Client files = connectTo(core.filePort());
    QCOMPARE(requestTransfer(*files, command, askingUser, askedSave), result);
    const QString shownUser = printableText(QString::fromLatin1(askingUser));
    // The design's lines stay; a refusal adds one that says why.
    QCOMPARE(countLines(lines, shownUser + QStringLiteral(" request transfer savedat")), 1);
    QCOMPARE(countLines(lines, QStringLiteral("refused")), why.isEmpty() ? 0 : 1);
    if (!why.isEmpty()) {
        QCOMPARE(countLines(lines,
                     QStringLiteral("Transfer of %1 for %2 from 127.0.0.1 %3")
                         .arg(printableText(QString::fromLatin1(askedSave)), shownUser, why)),
            1);
    }
    for (const QList<QVariant> &line : lines) {
        const QString text = line.at(0).toString();
        QVERIFY2(!text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')),
            qPrintable(text));
    }
}

// The looks at the limits and the commits run on the storage worker: a look that hangs holds
// up its upload only, never the logins.
void tst_ServerCore::storageWorkLeavesLoginsAlone()
{
    std::mutex mutex;
    std::condition_variable wake;
    bool released = false;
    std::atomic<bool> entered { false };
    std::atomic<bool> onNetworkThread { false };
    QThread *network = QThread::currentThread();
    CServerCore core(CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
    QVERIFY(core.start());
    core.storageWorker()->setSpaceSource([&](const QString &) {
        onNetworkThread = onNetworkThread || QThread::currentThread() == network;
        entered = true;
        std::unique_lock<std::mutex> lock(mutex);
        // Bounded, so a look made on the network thread fails the test instead of hanging it.
        wake.wait_for(lock, std::chrono::seconds(5), [&] { return released; });
        return CSaveStore::DiskSpace { qint64(1) << 40, qint64(1) << 41 };
    });
    Client control = connectTo(core.controlPort());
    Client files = connectTo(core.filePort());
    const QByteArray content(300000, 'w');
    files->write(uploadBytes("hang/slot", content));
    SETTLE_VERIFY(entered);
    QVERIFY(!onNetworkThread);
    QVERIFY(isServed(*control));
    QVERIFY(isServed(*control));
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
    }
    wake.notify_all();
    SETTLE_COMPARE(files->state(), QAbstractSocket::UnconnectedState);
    QFile stored(storage + QStringLiteral("/hang/slot.z"));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), content);
    QVERIFY(!onNetworkThread);
}

// Each upload alone would see room enough; together they must not take the volume below
// MinFreeBytes. The fake volume's free space is what the files in the storage folder leave.
void tst_ServerCore::idleTimeOutSparesUploadAtTheWorker()
{
    CServerSettings::instance()->idleTimeoutSeconds = 1;
    CServerSettings::instance()->minFreeBytes = 1;
    CServerCore core(CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
    core.setClock([this] { return now; });
    QVERIFY(core.start());
    // The storage worker is stuck on a slow disk until the test lets it go.
    QSemaphore entered;
    QSemaphore release;
    core.storageWorker()->setSpaceSource([&](const QString &) {
        entered.release();
        release.acquire();
        return CSaveStore::DiskSpace { qint64(1) << 40, qint64(1) << 40 };
    });
    const auto unblock = qScopeGuard([&] { release.release(100); });
    Client client = connectTo(core.filePort());
    QSignalSpy closed(client.get(), &QAbstractSocket::disconnected);
    const QByteArray content(4096, 's');
    client->write(uploadBytes("idle/slot", content));
    QVERIFY(settle([&] { return entered.available() > 0; }, 10000));
    // Long past the time-out, several idle checks go by: the upload is owed its answer.
    now += 5000;
    QVERIFY(!closed.wait(1000));
    release.release(100);
    QVERIFY(closed.wait(10000));
    QFile stored(storage + QStringLiteral("/idle/slot.z"));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), content);
}

void tst_ServerCore::parallelUploadsKeepMinFree()
{
    // Small, so that the syncs of the uploads stored do not wait long on a busy disk.
    constexpr int uploads = 40;
    constexpr qint64 floor = 2 << 20;
    const QByteArray content(384 * 1024, 'p');
    const qint64 capacity = bytesUnder(storage) + floor + (4 << 20);
    std::atomic<qint64> lowest { capacity };
    CServerSettings::instance()->minFreeBytes = floor;
    CServerCore core(CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
    QVERIFY(core.start());
    core.storageWorker()->setSpaceSource([&](const QString &) {
        const qint64 free = capacity - bytesUnder(storage);
        qint64 seen = lowest.load();
        while (free < seen && !lowest.compare_exchange_weak(seen, free)) { }
        return CSaveStore::DiskSpace { free, capacity };
    });
    std::vector<Client> clients;
    for (int i = 0; i < uploads; ++i) {
        clients.push_back(connectTo(core.filePort()));
        clients.back()->write(uploadBytes("mf/slot" + QByteArray::number(i), content));
    }
    SETTLE_VERIFY_WITH_TIMEOUT(std::all_of(clients.cbegin(), clients.cend(),
                                   [](const Client &client) {
                                       return client->state() == QAbstractSocket::UnconnectedState;
                                   }),
        60000);

    int stored = 0;
    for (int i = 0; i < uploads; ++i) {
        QFile file(storage + QStringLiteral("/mf/slot%1.z").arg(i));
        if (file.exists()) {
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), content);
            ++stored;
        }
    }
    // The volume takes about ten of them.
    QVERIFY2(stored > 0 && stored < uploads, qPrintable(QString::number(stored)));
    QVERIFY2(lowest >= floor,
        qPrintable(QStringLiteral("%1 bytes free, below MinFreeBytes %2").arg(lowest).arg(floor)));
    // Refused uploads leave nothing behind; a stored one, its archive and its sum.
    QCOMPARE(QDir(storage + QStringLiteral("/mf")).entryList(QDir::Files | QDir::Hidden).size(),
        2 * stored);
    QVERIFY(QDir(storage + QStringLiteral("/mf")).removeRecursively());
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
    if (!settle([&] { return client->isEncrypted(); }, 10000)) {
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
    CServerCore core(CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
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
        SETTLE_COMPARE(plain->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(plain->bytesAvailable(), qint64(0));
        QCOMPARE(countLines(lines,
                     QStringLiteral("Plain connection from 127.0.0.1 closed: TLS is required")),
            1);
    }
    QVERIFY(served(*tls));
    QCOMPARE(countLines(lines, QStringLiteral("TLS handshake")), 0);
}

QTEST_GUILESS_MAIN(tst_ServerCore)
#include "tst_servercore.moc"
