#include <dlfcn.h>

#include <atomic>
#include <memory>
#include <vector>

#include <QDir>
#include <QElapsedTimer>
#include <QHash>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "chashgate.h"
#include "cpasswordhasher.h"
#include "cserversettings.h"
#include "cservercore.h"
#include "ctolvernserverconn.h"
#include "cuserdb.h"
#include "testwire.h"

using namespace testwire;

namespace {
std::atomic<int> hashesMade { 0 };
}

// Stands in for libsodium's hashing in this program, counting each hash made, then hands
// over to the real one.
extern "C" int crypto_pwhash_str(char *out, const char *const passwd, unsigned long long passwdlen,
    unsigned long long opslimit, size_t memlimit)
{
    using Hash = int (*)(char *, const char *, unsigned long long, unsigned long long, size_t);
    static const auto real = reinterpret_cast<Hash>(dlsym(RTLD_NEXT, "crypto_pwhash_str"));
    ++hashesMade;
    return real(out, passwd, passwdlen, opslimit, memlimit);
}

// The control port where its parts meet: clients that hang up before their outcome, another
// writer holding the database, guesses in parallel, and a seeded random run against a model.
class tst_ControlPort : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void hangUpBeforeOutcomeIsLogged();
    void heldWriteLockIsNoWrongGuess();
    void parallelGuessesStopAtTheLimit();
    void hashesAdmittedInTurns_data();
    void hashesAdmittedInTurns();
    void takenNameIsNeverHashed();
    void randomRunsAgainstModel();

private:
    using Client = std::unique_ptr<QTcpSocket>;
    struct Op
    {
        char kind = 0; // 'a' add, 'c' change password, 'l' login
        QByteArray name;
        QByteArray password;
        QByteArray newPassword;
        int objectId = 0;
        int expected = -1; // writers only: the result the model says
        QString line() const;
        QByteArray bytes() const;
    };
    struct Script
    {
        QHostAddress source;
        QVector<Op> ops;
        QVector<int> chunkEnds; // ops [previous end, end) go out in one write
        bool hangUp = false;
        bool writer = false;
        Client socket;
        int chunk = 0;
        int replied = 0;
        QVector<int> replies;
        bool done = false;
    };

    Client connectFrom(const QHostAddress &source);
    int countLines(const QString &part) const;
    int lineIndex(const QString &line, int from = 0) const;
    // Takes or gives up the write lock of the database from a connection of the test's own.
    bool holdWriteLock(bool hold);
    void startCore();
    void runRound(QRandomGenerator &random, int round);
    void drive(std::vector<Script> &scripts);

    QTemporaryDir dir;
    std::unique_ptr<CServerCore> core;
    QStringList lines;
    qint64 now = 1;
    bool writeLocked = false;
    quint32 seed = 0;
};

QString tst_ControlPort::Op::line() const
{
    if (kind == 'a')
        return QStringLiteral("[ADD_USER] name=%1, result=").arg(QLatin1String(name));
    if (kind == 'c')
        return QStringLiteral("[CHANGE_PASS] userId=%1, result=").arg(objectId);
    return QStringLiteral("[LOGIN] name=%1, result=").arg(QLatin1String(name));
}

QByteArray tst_ControlPort::Op::bytes() const
{
    if (kind == 'a')
        return packet(1, str(name) + str(password));
    if (kind == 'c')
        return packet(3, int32(objectId) + str(password) + str(newPassword));
    return packet(9, str(name) + str(password));
}

void tst_ControlPort::initTestCase()
{
    QVERIFY(dir.isValid());
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(dir.filePath(QStringLiteral("users.db")));
    QVERIFY(db.open());
    QSqlDatabase writer = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("w"));
    writer.setDatabaseName(dir.filePath(QStringLiteral("users.db")));
    // Never waits for the server's lock: tries again later.
    writer.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
    QVERIFY(writer.open());
    CServerSettings::instance()->setIniFilePath(dir.filePath(QStringLiteral("tolvern.ini")));
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("storage"))));
    QVERIFY(CUserDb::instance()->open());
}

void tst_ControlPort::init()
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
    s->addressLockSeconds = 60;
    // Hashed as in production, at libsodium's lowest cost, so the runs stay quick.
    s->hashPasswords = true;
    s->hashMemoryKiB = 8;
    s->hashIterations = 1;
    QVERIFY(QSqlQuery().exec(QStringLiteral("delete from t_user")));
    lines.clear();
    now = 1;
}

void tst_ControlPort::cleanup()
{
    holdWriteLock(false);
    core.reset();
    if (QTest::currentTestFailed() && seed != 0)
        qInfo("to run it again: TOLVERN_SEED=%u", seed);
    seed = 0;
}

void tst_ControlPort::startCore()
{
    core = std::make_unique<CServerCore>(
        CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
    core->setClock([this] { return now; });
    connect(core.get(), &CServerCore::lineLogged, this,
        [this](const QString &line) { lines.append(line); });
    QVERIFY(core->start());
}

tst_ControlPort::Client tst_ControlPort::connectFrom(const QHostAddress &source)
{
    auto client = std::make_unique<QTcpSocket>();
    client->bind(source);
    client->connectToHost(QHostAddress::LocalHost, core->controlPort());
    if (!client->waitForConnected(5000))
        qWarning("cannot connect: %s", qPrintable(client->errorString()));
    return client;
}

int tst_ControlPort::countLines(const QString &part) const
{
    int count = 0;
    for (const QString &line : lines)
        count += line.contains(part) ? 1 : 0;
    return count;
}

int tst_ControlPort::lineIndex(const QString &line, int from) const
{
    for (int i = from; i < lines.size(); ++i) {
        if (lines.at(i).startsWith(line))
            return i;
    }
    return -1;
}

bool tst_ControlPort::holdWriteLock(bool hold)
{
    if (hold == writeLocked)
        return true;
    QSqlQuery query(QSqlDatabase::database(QStringLiteral("w")));
    if (!query.exec(hold ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("COMMIT")))
        return false;
    writeLocked = hold;
    return true;
}

void tst_ControlPort::hangUpBeforeOutcomeIsLogged()
{
    // Thirty logins at once from one address, more than the address lock lets through at a
    // time: the rest wait, and are all answered.
    startCore();
    constexpr int clients = 30;
    for (int i = 0; i < clients; ++i) {
        int id = 0;
        QVERIFY(CUserDb::instance()->addUser(
            QStringLiteral("pre%1").arg(i), QStringLiteral("pw"), &id));
    }
    std::vector<Client> gone;
    for (int i = 0; i < clients; ++i)
        gone.push_back(connectFrom(QHostAddress::LocalHost));
    // Each sends three commands and hangs up at once, all before any batch ran.
    for (int i = 0; i < clients; ++i) {
        const QByteArray pre = "pre" + QByteArray::number(i);
        gone[i]->write(packet(1, str("hu" + QByteArray::number(i)) + str("pw"))
            + packet(9, str(pre) + str("pw")) + packet(3, int32(i + 1) + str("pw") + str("new")));
        gone[i]->disconnectFromHost();
    }
    QTRY_COMPARE(countLines(QStringLiteral("Control client disconnected")), clients);
    QSqlQuery query;
    QVERIFY(query.exec(QStringLiteral("select count(*) from t_user where name like 'hu%'")));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toInt(), clients);
    // Every command once, each before the disconnect of its own connection: the k-th
    // disconnect has at least 3k command lines before it.
    QCOMPARE(countLines(QStringLiteral("result=0")), 3 * clients);
    int commands = 0;
    int disconnects = 0;
    for (const QString &line : std::as_const(lines)) {
        if (line.contains(QStringLiteral("result=0")))
            ++commands;
        else if (line.startsWith(QStringLiteral("Control client disconnected from 127.0.0.1")))
            QVERIFY2(commands >= 3 * ++disconnects, qPrintable(line));
    }
    QCOMPARE(disconnects, clients);
}

void tst_ControlPort::heldWriteLockIsNoWrongGuess()
{
    startCore();
    int id = 0;
    QVERIFY(CUserDb::instance()->addUser(QStringLiteral("bob"), QStringLiteral("pw"), &id));
    // Longer than the database waits for a lock: as many right passwords as lock the name
    // fail, one batch for all.
    QVERIFY(holdWriteLock(true));
    std::vector<Client> clients;
    for (int i = 0; i < 5; ++i) {
        clients.push_back(connectFrom(QHostAddress::LocalHost));
        clients.back()->write(packet(9, str("bob") + str("pw")));
    }
    for (Client &client : clients) {
        const Packet reply = readPacket(*client);
        QVERIFY(reply.ok);
        QCOMPARE(quint8(reply.body.at(0)), quint8(3));
    }
    QVERIFY(holdWriteLock(false));
    QCOMPARE(countLines(QStringLiteral("Logins for")), 0);
    Client again = connectFrom(QHostAddress::LocalHost);
    again->write(packet(9, str("bob") + str("pw")));
    const Packet reply = readPacket(*again);
    QVERIFY(reply.ok);
    QCOMPARE(quint8(reply.body.at(0)), quint8(0));
}

void tst_ControlPort::parallelGuessesStopAtTheLimit()
{
    startCore();
    int id = 0;
    QVERIFY(CUserDb::instance()->addUser(QStringLiteral("bob"), QStringLiteral("pw"), &id));
    const auto owed = [this] {
        int count = 0;
        for (const CTolvernServerConn *conn : core->controlConnections())
            count += conn->owedReplies();
        return count;
    };
    // The outcomes wait for the lock: every guess is taken before any is judged, the right
    // one last.
    QVERIFY(holdWriteLock(true));
    constexpr int guesses = 30;
    std::vector<Client> clients;
    for (int i = 0; i < guesses; ++i)
        clients.push_back(connectFrom(QHostAddress::LocalHost));
    for (int i = 0; i < guesses - 1; ++i)
        clients[i]->write(packet(9, str("bob") + str("guess")));
    QTRY_COMPARE(owed(), guesses - 1);
    clients.back()->write(packet(9, str("bob") + str("pw")));
    QTRY_COMPARE(owed(), guesses);
    QCOMPARE(countLines(QStringLiteral("[LOGIN]")), 0);
    QVERIFY(holdWriteLock(false));
    // Five tested and failed; the rest, the right one too, refused untested.
    QTRY_COMPARE(countLines(QStringLiteral("[LOGIN] name=bob, result=3")), guesses);
    QCOMPARE(countLines(QStringLiteral("Logins for bob from 127.0.0.1 locked")), 1);
    const Packet reply = readPacket(*clients.back());
    QVERIFY(reply.ok);
    QCOMPARE(quint8(reply.body.at(0)), quint8(3));
}

void tst_ControlPort::hashesAdmittedInTurns_data()
{
    // Whether the first address's earlier requests were wasted on a name already taken.
    QTest::addColumn<bool>("wasted");
    QTest::newRow("addresses in turn") << false;
    QTest::newRow("waste goes behind") << true;
}

// Every hashing thread is held, so nothing let in finishes: the bounds show, and the order in
// which the waiting requests are let in once the threads are free.
void tst_ControlPort::hashesAdmittedInTurns()
{
    QFETCH(bool, wasted);
    startCore();
    CHashGate *gate = core->hashAdmission();
    const QHostAddress a(QStringLiteral("127.0.0.1"));
    int id = 0;
    QVERIFY(CUserDb::instance()->addUser(QStringLiteral("taken"), QStringLiteral("pw"), &id));
    const auto request = [wasted](int k, const QByteArray &who) {
        return packet(
            1, str(wasted && who == "a" ? "taken" : who + QByteArray::number(k)) + str("pw"));
    };
    if (wasted) {
        Client early = connectFrom(a);
        for (int k = 0; k < 3; ++k) {
            early->write(request(k, "a"));
            const Packet reply = readPacket(*early);
            QVERIFY(reply.ok && quint8(reply.body.at(0)) == 2);
        }
    }
    CPasswordHasher *hasher = CPasswordHasher::instance();
    QSemaphore started;
    QSemaphore release;
    const auto unblock = qScopeGuard([&] { release.release(hasher->threadCount()); });
    for (int i = 0; i < hasher->threadCount(); ++i) {
        hasher->start([&] {
            started.release();
            release.acquire();
        });
    }
    QVERIFY(started.tryAcquire(hasher->threadCount(), 10000));

    // Another address takes two places; then one address pipelines on two connections, far
    // past its bounds, and fills the rest; a third address comes last.
    Client d1 = connectFrom(QHostAddress(QStringLiteral("127.0.0.4")));
    Client d2 = connectFrom(QHostAddress(QStringLiteral("127.0.0.4")));
    d1->write(request(0, "d"));
    d2->write(request(1, "d"));
    QTRY_COMPARE(gate->inFlight(), 2);
    constexpr int pipelined = 40;
    Client a1 = connectFrom(a);
    QByteArray bytes;
    for (int k = 0; k < pipelined; ++k)
        bytes += request(k, "a");
    a1->write(bytes);
    QTRY_COMPARE(gate->inFlight(a), CTolvernServerConn::HASHES_PER_CONNECTION);
    Client a2 = connectFrom(a);
    bytes.clear();
    for (int k = pipelined; k < 2 * pipelined; ++k)
        bytes += request(k, "a");
    a2->write(bytes);
    QTRY_COMPARE(gate->waiting(), 1);
    Client b = connectFrom(QHostAddress(QStringLiteral("127.0.0.2")));
    b->write(request(0, "b"));
    QTRY_COMPARE(gate->waiting(), 2);
    QCOMPARE(gate->inFlight(), gate->totalLimit());
    // The connections past their bound read no more: the rest waits in the kernel.
    for (const CTolvernServerConn *conn : core->controlConnections()) {
        QVERIFY(conn->owedReplies() <= CTolvernServerConn::HASHES_PER_CONNECTION + 1);
        QVERIFY(conn->owedReplies() < 3 || conn->isHeldBack());
    }

    release.release(hasher->threadCount());
    const Packet reply = readPacket(*b);
    QVERIFY(reply.ok && quint8(reply.body.at(0)) == 0);
    // In turn: the first address's earlier waiter first, then the newcomer, long before the
    // first address is done. A waster goes behind the newcomer at once.
    const int bAt = lineIndex(QStringLiteral("[ADD_USER] name=b0"));
    QVERIFY(bAt >= 0);
    const QString aLine = QStringLiteral("[ADD_USER] name=")
        + (wasted ? QStringLiteral("taken") : QStringLiteral("a"));
    const int aBefore = int(std::count_if(lines.cbegin(), lines.cbegin() + bAt,
                            [&aLine](const QString &line) { return line.startsWith(aLine); }))
        - (wasted ? 3 : 0);
    QCOMPARE(aBefore, CTolvernServerConn::HASHES_PER_CONNECTION + (wasted ? 0 : 1));
    QTRY_COMPARE_WITH_TIMEOUT(countLines(QStringLiteral("[ADD_USER] name=")),
        2 * pipelined + 3 + (wasted ? 3 : 0), 30000);
    QCOMPARE(countLines(wasted ? QStringLiteral(", result=2") : QStringLiteral(", result=0")),
        2 * pipelined + 3);
    QCOMPARE(gate->inFlight(), 0);
}

// A name already taken is refused by a look-up, before any hash is made for it.
void tst_ControlPort::takenNameIsNeverHashed()
{
    startCore();
    int id = 0;
    QVERIFY(CUserDb::instance()->addUser(QStringLiteral("taken"), QStringLiteral("pw"), &id));
    Client client = connectFrom(QHostAddress::LocalHost);
    QByteArray bytes;
    for (int k = 0; k < 20; ++k)
        bytes += packet(1, str("taken") + str("pw" + QByteArray::number(k)));
    hashesMade = 0;
    client->write(bytes + packet(1, str("fresh") + str("pw")));
    for (int k = 0; k <= 20; ++k) {
        const Packet reply = readPacket(*client);
        QVERIFY(reply.ok);
        QCOMPARE(int(quint8(reply.body.at(0))), k < 20 ? 2 : 0);
    }
    QCOMPARE(hashesMade.load(), 1);
}

void tst_ControlPort::drive(std::vector<Script> &scripts)
{
    const auto sendChunk = [](Script &script) {
        const int begin = script.chunk == 0 ? 0 : script.chunkEnds.at(script.chunk - 1);
        QByteArray bytes;
        for (int i = begin; i < script.chunkEnds.at(script.chunk); ++i)
            bytes += script.ops.at(i).bytes();
        script.socket->write(bytes);
        if (script.hangUp && script.chunk == script.chunkEnds.size() - 1) {
            script.socket->disconnectFromHost();
            script.done = true;
        }
    };
    for (Script &script : scripts) {
        script.socket = connectFrom(script.source);
        sendChunk(script);
    }
    const auto step = [&] {
        bool all = true;
        for (Script &script : scripts) {
            while (!script.done && script.socket->bytesAvailable() >= 23) {
                const QByteArray header = script.socket->peek(22);
                const int length = qFromLittleEndian<quint16>(header.constData() + 20);
                if (script.socket->bytesAvailable() < 22 + length)
                    break;
                const QByteArray reply = script.socket->read(22 + length);
                script.replies.append(quint8(reply.at(22)));
                if (script.replies.size() == script.chunkEnds.at(script.chunk)) {
                    if (++script.chunk == script.chunkEnds.size()) {
                        script.socket->disconnectFromHost();
                        script.done = true;
                    } else {
                        sendChunk(script);
                    }
                }
            }
            all = all && script.done;
        }
        return all
            && countLines(QStringLiteral("Control client disconnected")) >= int(scripts.size());
    };
    QVERIFY2(QTest::qWaitFor(step, 20000), "the clients were not all served");
}

void tst_ControlPort::runRound(QRandomGenerator &random, int round)
{
    const int nameLimit = CServerSettings::instance()->loginLockFailures;
    const int addressLimit = CServerSettings::instance()->addressLockFailures;
    const QHostAddress guessers(QStringLiteral("127.0.0.2"));
    const QByteArray tag = "r" + QByteArray::number(round) + "_";
    std::vector<Script> scripts;
    QHash<QString, int> ownIds;

    // Writers: each from an address of its own, so the model knows every outcome exactly.
    const int writers = random.bounded(2, 5);
    for (int w = 0; w < writers; ++w) {
        Script script;
        script.writer = true;
        script.source = QHostAddress(QStringLiteral("127.0.0.%1").arg(10 + w));
        const QByteArray own = tag + "w" + QByteArray::number(w);
        int ownId = 0;
        QVERIFY(
            CUserDb::instance()->addUser(QString::fromLatin1(own), QStringLiteral("p0"), &ownId));
        ownIds.insert(script.source.toString(), ownId);
        QByteArray password = "p0";
        int nameFailures = 0;
        int addressFailures = 0;
        bool nameLocked = false;
        bool addressLocked = false;
        QHash<QByteArray, int> otherFailures;
        const int count = random.bounded(3, 13);
        for (int k = 0; k < count; ++k) {
            Op op;
            const int pick = random.bounded(10);
            if (pick < 2) {
                op = Op { 'a', tag + "n" + QByteArray::number(w) + "_" + QByteArray::number(k), "x",
                    {}, 0, 0 };
            } else if (pick < 3) {
                op = Op { 'a', own, "x", {}, 0, 2 };
            } else if (pick < 5) {
                // A guess like a login's, against the same user: locked, it is answered as
                // wrong and changes nothing.
                const bool right = random.bounded(5) > 0;
                const bool locked = addressLocked || nameLocked;
                const QByteArray next = "p" + QByteArray::number(k + 1);
                op = Op { 'c', {}, right ? password : "bad", next, ownId,
                    right && !locked ? 0 : 4 };
                if (right && !locked) {
                    password = next;
                    nameFailures = 0;
                } else if (!locked) {
                    addressLocked = ++addressFailures >= addressLimit;
                    nameLocked = ++nameFailures >= nameLimit;
                }
            } else {
                const int kind = random.bounded(3); // right, wrong, unknown name
                const QByteArray name = kind == 2 ? tag + "x" + QByteArray::number(w) : own;
                op = Op { 'l', name, kind == 0 ? password : "guess", {}, 0, 3 };
                int &failures = kind == 2 ? otherFailures[name] : nameFailures;
                const bool locked
                    = addressLocked || (kind == 2 ? failures >= nameLimit : nameLocked);
                if (!locked && kind == 0) {
                    op.expected = 0;
                    nameFailures = 0;
                } else if (!locked) {
                    addressLocked = ++addressFailures >= addressLimit;
                    if (++failures >= nameLimit && kind != 2)
                        nameLocked = true;
                }
            }
            script.ops.append(op);
        }
        int end = 0;
        while (end < count) {
            end = qMin(count, end + random.bounded(1, 6));
            script.chunkEnds.append(end);
        }
        script.hangUp = random.bounded(3) == 0;
        scripts.push_back(std::move(script));
    }

    // Guessers: one shared address, in parallel, on names of their own.
    const int targets = random.bounded(1, 3);
    for (int t = 0; t < targets; ++t) {
        int id = 0;
        QVERIFY(CUserDb::instance()->addUser(
            QString::fromLatin1(tag + "g" + QByteArray::number(t)), QStringLiteral("gp"), &id));
    }
    QHash<QByteArray, int> wrongSent;
    QHash<QByteArray, int> rightSent;
    QHash<QByteArray, int> takenAtLeast;
    int allWrong = 0;
    const int guessing = random.bounded(3, 9);
    for (int g = 0; g < guessing; ++g) {
        Script script;
        script.source = guessers;
        const QByteArray target = tag + "g" + QByteArray::number(random.bounded(targets));
        const int count = random.bounded(1, 4);
        for (int k = 0; k < count; ++k) {
            const bool right = random.bounded(10) < 3;
            script.ops.append(Op { 'l', target, right ? "gp" : "guess", {}, 0, -1 });
            ++(right ? rightSent : wrongSent)[target];
            allWrong += right ? 0 : 1;
        }
        script.chunkEnds.append(count);
        script.hangUp = random.bounded(5) < 2;
        // The first is taken at once, the second is taken to wait behind it; a third may be
        // left unread by a client that hangs up.
        takenAtLeast[target] += script.hangUp ? qMin(count, 2) : count;
        scripts.push_back(std::move(script));
    }

    // Another writer takes the database now and then, for less than the server waits.
    QTimer other;
    // Its own generator: the timing of its draws must not change the model's.
    QRandomGenerator lockRandom(random.generate());
    qint64 heldSince = 0;
    QElapsedTimer elapsed;
    elapsed.start();
    connect(&other, &QTimer::timeout, this, [&] {
        if (!writeLocked && lockRandom.bounded(2) == 0 && holdWriteLock(true))
            heldSince = elapsed.elapsed();
        else if (writeLocked && elapsed.elapsed() - heldSince >= lockRandom.bounded(30, 250))
            holdWriteLock(false);
    });
    other.start(20);
    const int firstLine = lines.size();
    drive(scripts);
    other.stop();
    QVERIFY(holdWriteLock(false));
    if (QTest::currentTestFailed())
        return;
    lines = lines.mid(firstLine);

    // Writers: each command logged once, in order, with the model's result, before the
    // connection's end; every reply read says the same; the database holds what they did.
    int added = 0;
    for (const Script &script : scripts) {
        if (!script.writer)
            continue;
        const QString bye
            = QStringLiteral("Control client disconnected from %1").arg(script.source.toString());
        const int end = lineIndex(bye);
        QVERIFY2(end >= 0, qPrintable(bye));
        // A client that hung up may have left requests unread behind a login that waited
        // for the one before it: those were never taken, so never run nor logged.
        const int lastChunk
            = script.chunkEnds.size() < 2 ? 0 : script.chunkEnds.at(script.chunkEnds.size() - 2);
        int from = 0;
        int taken = 0;
        for (int k = 0; k < script.ops.size(); ++k) {
            const Op &op = script.ops.at(k);
            const QString expected = op.line() + QString::number(op.expected);
            const int at = lineIndex(op.line(), from);
            if (at < 0 && script.hangUp && k >= lastChunk + 2)
                break;
            QVERIFY2(at >= 0 && at < end && lines.at(at) == expected,
                qPrintable(QStringLiteral("%1: %2 (op %3)")
                               .arg(script.source.toString(), at >= 0 ? lines.at(at) : QString(),
                                   expected)));
            from = at + 1;
            taken = k + 1;
            if (k < script.replies.size())
                QCOMPARE(script.replies.at(k), op.expected);
        }
        QString password = QStringLiteral("p0");
        for (int k = 0; k < script.ops.size(); ++k) {
            const Op &op = script.ops.at(k);
            if (op.kind == 'a' && op.expected == 0)
                QCOMPARE(CUserDb::instance()->userExists(QString::fromLatin1(op.name)), k < taken);
            if (op.kind == 'c' && op.expected == 0 && k < taken)
                password = QString::fromLatin1(op.newPassword);
            if (op.kind == 'a' && op.expected == 0 && k < taken)
                ++added;
        }
        QString stored;
        QVERIFY(CUserDb::instance()->password(ownIds.value(script.source.toString()), &stored));
        QVERIFY2(CPasswordHasher::isHash(stored) ? CPasswordHasher::instance()->verify(stored,
                     password, CPasswordHasher::Params::fromSettings(*CServerSettings::instance()))
                                                 : stored == password,
            qPrintable(QStringLiteral("%1 does not hold %2").arg(stored, password)));
    }
    // Nothing stored that was not logged.
    QSqlQuery query;
    QVERIFY(query.exec(QStringLiteral("select count(*) from t_user where name like '%1n%'")
                           .arg(QLatin1String(tag))));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toInt(), added);

    // Guessers: every guess logged; a lock only after enough wrong guesses, and no guess
    // succeeds once it is on.
    const QString addressLock = QStringLiteral("Logins from 127.0.0.2 locked");
    const int addressLockAt = lineIndex(addressLock);
    QVERIFY2(addressLockAt < 0 || allWrong >= addressLimit, "address locked too soon");
    const int lastBye = [&] {
        int last = -1;
        for (int i = 0; i < lines.size(); ++i) {
            if (lines.at(i) == QStringLiteral("Control client disconnected from 127.0.0.2"))
                last = i;
        }
        return last;
    }();
    for (int t = 0; t < targets; ++t) {
        const QByteArray target = tag + "g" + QByteArray::number(t);
        const QString name = QString::fromLatin1(target);
        const QString login = QStringLiteral("[LOGIN] name=%1, result=").arg(name);
        const int logged = countLines(login);
        QVERIFY(logged <= wrongSent.value(target) + rightSent.value(target));
        QVERIFY(logged >= takenAtLeast.value(target));
        const int lockAt
            = lineIndex(QStringLiteral("Logins for %1 from 127.0.0.2 locked").arg(name));
        QVERIFY2(lockAt < 0 || wrongSent.value(target) >= nameLimit, qPrintable(name));
        int stop = lockAt;
        if (addressLockAt >= 0 && (stop < 0 || addressLockAt < stop))
            stop = addressLockAt;
        for (int i = qMax(stop, 0); stop >= 0 && i < lines.size(); ++i)
            QVERIFY2(lines.at(i) != login + QLatin1Char('0'), "a guess tested past the lock");
        for (int i = lastBye + 1; i < lines.size(); ++i)
            QVERIFY2(!lines.at(i).startsWith(login), "logged after its connection ended");
        // Wrong guesses alone, as many as the lock takes: all of them counted.
        if (rightSent.value(target) == 0 && logged >= nameLimit)
            QVERIFY2(stop >= 0, qPrintable(name + QStringLiteral(" not locked")));
        // The lock holds exactly when a lock started; nothing is left in flight.
        Client probe = connectFrom(guessers);
        probe->write(packet(9, str(target) + str("gp")));
        const Packet reply = readPacket(*probe);
        QVERIFY(reply.ok);
        QCOMPARE(int(quint8(reply.body.at(0))), stop >= 0 ? 3 : 0);
    }
}

void tst_ControlPort::randomRunsAgainstModel()
{
    seed = qEnvironmentVariableIsSet("TOLVERN_SEED")
        ? quint32(qEnvironmentVariableIntValue("TOLVERN_SEED"))
        : QRandomGenerator::global()->generate();
    const int rounds = qEnvironmentVariableIsSet("TOLVERN_ROUNDS")
        ? qEnvironmentVariableIntValue("TOLVERN_ROUNDS")
        : 6;
    QRandomGenerator random(seed);
    for (int round = 0; round < rounds; ++round) {
        CServerSettings *s = CServerSettings::instance();
        s->loginLockFailures = random.bounded(2, 5);
        s->addressLockFailures = s->loginLockFailures * random.bounded(2, 6);
        startCore();
        runRound(random, round);
        if (QTest::currentTestFailed()) {
            qInfo("failed in round %d", round);
            return;
        }
        core.reset();
        lines.clear();
    }
}

QTEST_GUILESS_MAIN(tst_ControlPort)
#include "tst_controlport.moc"
