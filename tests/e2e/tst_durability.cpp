#include <memory>
#include <vector>

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

#include "cpasswordhasher.h"
#include "cprotoclient.h"
#include "cserverprocess.h"

using libsock::CProtoClient;

namespace {

const QString LOCALHOST = QStringLiteral("127.0.0.1");
// Hashes as cheap as libsodium allows: these tests are about syncs, not about passwords.
const QString NO_ADDRESS_CAP
    = QStringLiteral("[Security]\nMaxConnectionsPerAddress=0\nHashMemoryKiB=8\nHashIterations=1\n");

// Clients that each add a user, change its password and log it in with the new one, over
// and over, and remember what the server acknowledged.
class Load
{
public:
    Load(quint16 port, int clients, const QString &prefix)
    {
        for (int i = 0; i < clients; ++i) {
            auto client = std::make_unique<CProtoClient>();
            client->setTimeout(20000);
            if (!client->connectToServer(LOCALHOST, port))
                return;
            CProtoClient *raw = client.get();
            auto state = std::make_shared<Step>();
            QObject::connect(raw, &CProtoClient::replyReceived, raw,
                [this, raw, state, i, prefix](quint8 result, qint32 objectId) {
                    if (result != 0) {
                        ++refused;
                        return;
                    }
                    switch (state->phase) {
                    case 0:
                        added.insert(state->name, objectId);
                        state->objectId = objectId;
                        state->phase = 1;
                        raw->sendChangePassword(objectId, QStringLiteral("a"), QStringLiteral("b"));
                        break;
                    case 1:
                        changed.insert(state->objectId, state->name);
                        state->phase = 2;
                        raw->sendLogin(state->name, QStringLiteral("b"));
                        break;
                    default:
                        ++loggedIn;
                        if (running)
                            next(raw, *state, prefix, i);
                        break;
                    }
                });
            QObject::connect(raw, &CProtoClient::failed, raw, [this] { ++failures; });
            pool.push_back(std::move(client));
            steps.push_back(state);
        }
    }

    bool connected(int clients) const { return int(pool.size()) == clients; }

    void start(const QString &prefix)
    {
        running = true;
        for (size_t i = 0; i < pool.size(); ++i)
            next(pool[i].get(), *steps[i], prefix, int(i));
    }

    bool idle() const
    {
        for (const auto &client : pool) {
            if (client->isBusy())
                return false;
        }
        return true;
    }

    bool running = false;
    QHash<QString, int> added;
    QHash<int, QString> changed;
    int loggedIn = 0;
    int refused = 0;
    int failures = 0;

private:
    struct Step
    {
        int phase = 0;
        int round = 0;
        int objectId = 0;
        QString name;
    };

    static void next(CProtoClient *client, Step &step, const QString &prefix, int index)
    {
        step.phase = 0;
        step.name = QStringLiteral("%1%2_%3").arg(prefix).arg(index).arg(++step.round);
        client->sendAddUser(step.name, QStringLiteral("a"));
    }

    std::vector<std::unique_ptr<CProtoClient>> pool;
    std::vector<std::shared_ptr<Step>> steps;
};

} // namespace

class tst_Durability : public QObject
{
    Q_OBJECT

private slots:
    void repliesFollowTheirSync();
    void acknowledgedChangesSurviveKill();
};

// Every reply to a change is written after a sync that came after its request was read.
void tst_Durability::repliesFollowTheirSync()
{
    CServerProcess server(QStringLiteral(TOLVERN_SERVER_PATH));
    QVERIFY2(server.isValid(), qPrintable(server.errorText()));
    const QString probe = server.path(QStringLiteral("probe.log"));
    server.setHeadless(true);
    server.setForwardOutput(false);
    server.setExtraIni(NO_ADDRESS_CAP);
    server.setEnvironment(QStringLiteral("LD_PRELOAD"), QStringLiteral(TOLVERN_SYNCPROBE_PATH));
    server.setEnvironment(QStringLiteral("TOLVERN_PROBE_FILE"), probe);
    server.setEnvironment(QStringLiteral("TOLVERN_PROBE_SOCKETS"), QStringLiteral("1"));
    // A sanitized server wants its runtime first; the probe only wraps system calls.
    QString asan = qEnvironmentVariable("ASAN_OPTIONS");
    if (!asan.isEmpty())
        asan += QLatin1Char(':');
    server.setEnvironment(
        QStringLiteral("ASAN_OPTIONS"), asan + QStringLiteral("verify_asan_link_order=0"));
    QVERIFY2(server.start(), qPrintable(server.errorText()));

    constexpr int clients = 64;
    Load load(server.mainPort(), clients, QStringLiteral("p"));
    QVERIFY(load.connected(clients));
    load.start(QStringLiteral("p"));
    QTest::qWait(1500);
    load.running = false;
    QTRY_VERIFY_WITH_TIMEOUT(load.idle(), 20000);
    QCOMPARE(load.failures + load.refused, 0);
    // Then one client alone, whose requests never have company.
    Load lone(server.mainPort(), 1, QStringLiteral("l"));
    QVERIFY(lone.connected(1));
    lone.start(QStringLiteral("l"));
    QTest::qWait(300);
    lone.running = false;
    QTRY_VERIFY_WITH_TIMEOUT(lone.idle(), 20000);
    QCOMPARE(lone.failures + lone.refused, 0);
    QVERIFY(lone.loggedIn > 0);
    QCOMPARE(server.stop(), 0);

    QFile file(probe);
    QVERIFY(file.open(QIODevice::ReadOnly));
    struct Event
    {
        qulonglong sequence;
        char kind;
        int fd;
        qlonglong bytes;
    };
    std::vector<Event> events;
    while (!file.atEnd()) {
        const QList<QByteArray> fields = file.readLine().trimmed().split(' ');
        if (fields.size() == 4)
            events.push_back({ fields[0].toULongLong(), fields[1].at(0), fields[2].toInt(),
                fields[3].toLongLong() });
    }
    std::sort(events.begin(), events.end(),
        [](const Event &a, const Event &b) { return a.sequence < b.sequence; });
    QHash<int, qulonglong> lastRead;
    qulonglong lastSync = 0;
    int syncs = 0;
    int replies = 0;
    for (const Event &event : events) {
        if (event.kind == 'S') {
            lastSync = event.sequence;
            ++syncs;
        } else if (event.kind == 'R') {
            lastRead[event.fd] = event.sequence;
        } else if (event.bytes == 23 || event.bytes == 27) {
            ++replies;
            QVERIFY2(lastSync > lastRead.value(event.fd),
                qPrintable(QStringLiteral("reply %1 on fd %2 left before a sync")
                               .arg(event.sequence)
                               .arg(event.fd)));
        }
    }
    const int changes = load.added.size() + load.changed.size() + load.loggedIn + lone.added.size()
        + lone.changed.size() + lone.loggedIn;
    qInfo("%d changes answered, %d replies checked, %d syncs", changes, replies, syncs);
    QVERIFY2(replies >= changes && changes > clients,
        qPrintable(QStringLiteral("%1 replies, %2 changes").arg(replies).arg(changes)));
    // Changes that arrive together share their sync.
    QVERIFY2(syncs < changes,
        qPrintable(QStringLiteral("%1 syncs for %2 changes").arg(syncs).arg(changes)));
}

void tst_Durability::acknowledgedChangesSurviveKill()
{
    CServerProcess server(QStringLiteral(TOLVERN_SERVER_PATH));
    QVERIFY2(server.isValid(), qPrintable(server.errorText()));
    server.setHeadless(true);
    server.setForwardOutput(false);
    server.setExtraIni(NO_ADDRESS_CAP);
    QVERIFY2(server.start(), qPrintable(server.errorText()));

    constexpr int clients = 64;
    Load load(server.mainPort(), clients, QStringLiteral("k"));
    QVERIFY(load.connected(clients));
    load.start(QStringLiteral("k"));
    QTRY_VERIFY_WITH_TIMEOUT(load.changed.size() > 500, 20000);
    QVERIFY(server.kill());
    // What was acknowledged before the end; replies still on their way count too.
    QTest::qWait(200);
    load.running = false;
    const QHash<QString, int> added = load.added;
    const QHash<int, QString> changed = load.changed;

    QVERIFY2(server.start(), qPrintable(server.errorText()));
    CProtoClient check;
    QVERIFY(check.connectToServer(LOCALHOST, server.mainPort()));
    const QString last = changed.value(changed.keys().constLast());
    QVERIFY(check.login(last, QStringLiteral("b")));
    QCOMPARE(check.result(), quint8(0));
    QCOMPARE(server.stop(), 0);

    int missing = 0;
    CPasswordHasher::Params cheap;
    cheap.memoryKiB = 8;
    cheap.iterations = 1;
    {
        QSqlDatabase db
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(server.databaseFile());
        QVERIFY(db.open());
        QSqlQuery query(db);
        QVERIFY(query.exec(QStringLiteral("select name, object_id, password from t_user")));
        QHash<QString, QPair<int, QString>> stored;
        while (query.next())
            stored.insert(
                query.value(0).toString(), { query.value(1).toInt(), query.value(2).toString() });
        for (auto it = added.cbegin(); it != added.cend(); ++it) {
            const auto row = stored.value(it.key(), { 0, QString() });
            CPasswordHasher *hasher = CPasswordHasher::instance();
            const bool passwordOk = hasher->verify(row.second, QStringLiteral("b"), cheap)
                || (!changed.contains(it.value())
                    && hasher->verify(row.second, QStringLiteral("a"), cheap));
            if (row.first != it.value() || !passwordOk) {
                if (++missing <= 5)
                    qWarning("acknowledged but not stored: %s", qPrintable(it.key()));
            }
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
    qInfo("%d acknowledged users, %d acknowledged password changes", int(added.size()),
        int(changed.size()));
    QCOMPARE(missing, 0);
    QVERIFY(added.size() > 500);
}

QTEST_GUILESS_MAIN(tst_Durability)
#include "tst_durability.moc"
