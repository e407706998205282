#include <future>
#include <memory>
#include <vector>

#include <QHash>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <QDir>
#include <QDirIterator>
#include <QProcess>

#include "cblockingsocket.h"
#include "cpgcluster.h"
#include "csavesum.h"
#include "cserverprocess.h"
#include "testwire.h"
#ifdef TOLVERN_SCALEOUT_S3
#include "cs3bucket.h"
#include "cs3testenv.h"
#endif

using namespace testwire;

namespace {

struct Reply
{
    quint8 command = 0;
    quint8 result = 0xff;
    qint32 id = 0;
};

// One control connection that sends many commands at once and reads their replies in order.
class Control
{
public:
    explicit Control(quint16 port) { socket.connectToHost(QHostAddress::LocalHost, port); }
    bool connected() { return socket.waitForConnected(5000); }
    void send(const QByteArray &bytes) { socket.write(bytes); }
    void flush() { socket.flush(); }
    bool read(Reply &reply, int msec = 20000)
    {
        const QByteArray header = readExactly(socket, 22, msec);
        if (header.size() != 22)
            return false;
        reply.command = quint8(header[19]);
        const quint16 length = qFromLittleEndian<quint16>(header.constData() + 20);
        const QByteArray body = readExactly(socket, length, msec);
        if (body.size() != length || body.isEmpty())
            return false;
        reply.result = quint8(body[0]);
        reply.id = body.size() >= 5 ? qFromBigEndian<qint32>(body.constData() + 1) : 0;
        return true;
    }

private:
    QTcpSocket socket;
};

QByteArray addUser(const QByteArray &name, const QByteArray &password)
{
    return packet(1, str(name) + str(password));
}

QByteArray changePassword(qint32 id, const QByteArray &from, const QByteArray &to)
{
    return packet(3, int32(id) + str(from) + str(to));
}

QByteArray login(const QByteArray &name, const QByteArray &password)
{
    return packet(9, str(name) + str(password));
}

} // namespace

// Two real headless servers, each with its own ini, ports and runtime folder, on one
// PostgreSQL database and one storage folder (tst_scaleout) or one S3 bucket and no shared
// folder (tst_scaleout_s3, built from this file with TOLVERN_SCALEOUT_S3).
class tst_ScaleOut : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void distinctIdsAcrossServers();
    void sameNameAtOnceHasOneWinner();
    void uploadThroughOneDownloadThroughOther();
    void databaseKilledMidRunLosesNothingAcknowledged();
    void sameSaveFromBothServers();

private:
    // The bytes of the save's current archive and of each of its versions.
    QList<QByteArray> storedContents(const QString &save);
    // Sends every packet of batches[i] to server i % 2 over its own connection, all at once,
    // and returns the replies in the order of the packets.
    bool exchange(const std::vector<QByteArray> &batches, const std::vector<int> &counts,
        std::vector<std::vector<Reply>> &replies);
    bool storedUsers(QHash<QString, int> &ids, QHash<QString, QString> &passwords);
    // The end of both servers' logs, for a failure message.
    QString serverLogs(int result);

    std::unique_ptr<CPgCluster> cluster;
    std::unique_ptr<QTemporaryDir> storage;
#ifdef TOLVERN_SCALEOUT_S3
    CS3TestEnv s3;
    QString bucket;
#endif
    std::unique_ptr<CServerProcess> servers[2];
    QString url;
};

void tst_ScaleOut::initTestCase()
{
    if (!CPgCluster::installed())
        QSKIP("skipped: PostgreSQL not installed");
    cluster = std::make_unique<CPgCluster>();
    QVERIFY2(cluster->start(), qPrintable(cluster->errorText()));
    QVERIFY2(cluster->createDatabase(QStringLiteral("shared")), qPrintable(cluster->errorText()));
    url = cluster->url(QStringLiteral("shared"));
    storage = std::make_unique<QTemporaryDir>();
    QVERIFY(storage->isValid());
    // Nothing given up: every upload must be found again.
    QString saves = QStringLiteral("[Storage]\nKeepVersions=100000\n");
#ifdef TOLVERN_SCALEOUT_S3
    QString why;
    if (!s3.load(&why))
        QSKIP(qPrintable(why));
    bucket = s3.createBucket(QStringLiteral("scaleout"));
    QVERIFY(!bucket.isEmpty());
    saves = s3.iniSection(bucket) + QStringLiteral("KeepVersions=100000\n");
#endif
    for (int i = 0; i < 2; ++i) {
        servers[i] = std::make_unique<CServerProcess>(QStringLiteral(TOLVERN_SERVER_PATH));
        CServerProcess &server = *servers[i];
        QVERIFY2(server.isValid(), qPrintable(server.errorText()));
        server.setHeadless(true);
        server.setCaptureOutput(true);
#ifndef TOLVERN_SCALEOUT_S3
        server.setStorageDir(storage->path());
#endif
        // One names the database in its ini, the other on its command line. The cheapest
        // password hash: a thousand adds test the shared database, not Argon2id.
        const QString cheapHash = QStringLiteral("[Security]\nHashMemoryKiB=8\nHashIterations=1\n");
        if (i == 0) {
            server.setExtraIni(cheapHash + saves
                + QStringLiteral("[Database]\nDriver=postgresql\nUrl=%1\n").arg(url));
        } else {
            server.setExtraIni(cheapHash + saves);
            server.setExtraArguments({ QStringLiteral("--database"), url });
        }
        QVERIFY2(server.start(), qPrintable(server.errorText()));
    }
    // The line comes just after the ports open.
    for (auto &server : servers) {
        QByteArray said;
        QTRY_VERIFY((said += server->readOutput()).contains("users in " + url.toUtf8()));
    }
}

void tst_ScaleOut::cleanupTestCase()
{
    for (auto &server : servers) {
        if (server)
            QCOMPARE(server->stop(), 0);
    }
}

bool tst_ScaleOut::exchange(const std::vector<QByteArray> &batches, const std::vector<int> &counts,
    std::vector<std::vector<Reply>> &replies)
{
    std::vector<std::unique_ptr<Control>> controls;
    for (size_t i = 0; i < batches.size(); ++i) {
        controls.push_back(std::make_unique<Control>(servers[i % 2]->mainPort()));
        if (!controls.back()->connected())
            return false;
    }
    for (size_t i = 0; i < batches.size(); ++i)
        controls[i]->send(batches[i]);
    for (auto &control : controls)
        control->flush();
    replies.assign(batches.size(), {});
    for (size_t i = 0; i < batches.size(); ++i) {
        for (int n = 0; n < counts[i]; ++n) {
            Reply reply;
            if (!controls[i]->read(reply))
                return false;
            replies[i].push_back(reply);
        }
    }
    return true;
}

bool tst_ScaleOut::storedUsers(QHash<QString, int> &ids, QHash<QString, QString> &passwords)
{
    const QString name = QStringLiteral("scaleout-check");
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        const QUrl parsed(url);
        db.setHostName(parsed.host());
        db.setPort(parsed.port());
        db.setUserName(parsed.userName());
        db.setDatabaseName(parsed.path().mid(1));
        QSqlQuery query(db);
        ok = db.open()
            && query.exec(QStringLiteral("select name, object_id, password from t_user"));
        while (ok && query.next()) {
            ids.insert(query.value(0).toString(), query.value(1).toInt());
            passwords.insert(query.value(0).toString(), query.value(2).toString());
        }
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

QString tst_ScaleOut::serverLogs(int result)
{
    // Lets the pipes be read.
    QTest::qWait(200);
    QString text = QStringLiteral("result %1; the servers said:").arg(result);
    for (auto &server : servers)
        text += QLatin1Char('\n') + QString::fromUtf8(server->readOutput().right(3000));
    return text + QStringLiteral("\nPostgreSQL said:\n") + QString::fromUtf8(cluster->logTail());
}

void tst_ScaleOut::distinctIdsAcrossServers()
{
    // 1,000 names over eight connections, four to each server, all sent at once.
    std::vector<QByteArray> batches(8);
    std::vector<int> counts(8, 125);
    for (int i = 0; i < 1000; ++i)
        batches[i % 8] += addUser("spread" + QByteArray::number(i), "pw");
    std::vector<std::vector<Reply>> replies;
    QVERIFY(exchange(batches, counts, replies));
    QSet<qint32> ids;
    for (const auto &connection : replies) {
        for (const Reply &reply : connection) {
            QCOMPARE(reply.command, quint8(2));
            if (reply.result != 0)
                QFAIL(qPrintable(serverLogs(reply.result)));
            QVERIFY(reply.id > 0);
            ids.insert(reply.id);
        }
    }
    QCOMPARE(ids.size(), 1000);
}

void tst_ScaleOut::sameNameAtOnceHasOneWinner()
{
    // Each of 100 names goes to both servers at the same moment.
    constexpr int NAMES = 100;
    std::vector<QByteArray> batches(4);
    std::vector<int> counts(4, NAMES / 2);
    for (int i = 0; i < NAMES; ++i) {
        const QByteArray request = addUser("twice" + QByteArray::number(i), "pw");
        batches[(i % 2) * 2] += request;
        batches[(i % 2) * 2 + 1] += request;
    }
    std::vector<std::vector<Reply>> replies;
    QVERIFY(exchange(batches, counts, replies));
    for (int half = 0; half < 2; ++half) {
        for (int n = 0; n < NAMES / 2; ++n) {
            const Reply &first = replies[half * 2][n];
            const Reply &second = replies[half * 2 + 1][n];
            QVERIFY2((first.result == 0) != (second.result == 0),
                qPrintable(QStringLiteral("name %1: results %2 and %3")
                               .arg(n * 2 + half)
                               .arg(first.result)
                               .arg(second.result)));
            // The loser is told the name is taken, not that something failed.
            QCOMPARE(quint8(first.result + second.result), quint8(2));
        }
    }
}

void tst_ScaleOut::uploadThroughOneDownloadThroughOther()
{
    const QByteArray archive = QByteArray(200000, 'x') + "end";
    QTcpSocket upload;
    upload.connectToHost(QHostAddress::LocalHost, servers[0]->filePort());
    QVERIFY(upload.waitForConnected(5000));
    upload.write(frame(0, packet(3, str("shared") + str("") + str("7/slot"))));
    QCOMPARE(readFrame(upload).payload.mid(22), QByteArray(1, '\0'));
    for (qsizetype at = 0; at < archive.size(); at += 51200)
        upload.write(frame(1, archive.mid(at, 51200)));
    upload.write(frame(0, packet(6, {})));
    QTRY_COMPARE_WITH_TIMEOUT(upload.state(), QAbstractSocket::UnconnectedState, 10000);

    QTcpSocket download;
    download.connectToHost(QHostAddress::LocalHost, servers[1]->filePort());
    QVERIFY(download.waitForConnected(5000));
    download.write(frame(0, packet(1, str("shared") + str("") + str("7/slot"))));
    QCOMPARE(readFrame(download).payload.mid(22), QByteArray(1, '\0') + int64(archive.size()));
    download.write(frame(0, packet(5, {})));
    QByteArray received;
    while (received.size() < archive.size()) {
        const Frame f = readFrame(download);
        QVERIFY(f.ok);
        QCOMPARE(f.type, quint8(1));
        received += f.payload;
    }
    QCOMPARE(received, archive);
}

void tst_ScaleOut::databaseKilledMidRunLosesNothingAcknowledged()
{
    // A stream of adds and password changes on both servers; the database is killed as soon
    // as the first replies are in, while the rest are still being served. Every change has
    // a user of its own, whose password is "old" until then.
    constexpr int PER_SERVER = 400;
    constexpr int CHANGES = PER_SERVER / 4;
    std::vector<QByteArray> setup(2);
    for (int i = 0; i < 2; ++i) {
        for (int k = 0; k < CHANGES; ++k)
            setup[i] += addUser(QStringLiteral("owner%1-%2").arg(i).arg(k).toLatin1(), "old");
    }
    std::vector<std::vector<Reply>> replies;
    QVERIFY(exchange(setup, { CHANGES, CHANGES }, replies));
    std::vector<std::vector<Reply>> owners = replies;
    for (const auto &connection : owners) {
        for (const Reply &owner : connection)
            QCOMPARE(owner.result, quint8(0));
    }
    for (auto &server : servers)
        server->readOutput();

    std::vector<std::unique_ptr<Control>> controls;
    for (int i = 0; i < 2; ++i) {
        controls.push_back(std::make_unique<Control>(servers[i]->mainPort()));
        QVERIFY(controls.back()->connected());
        QByteArray batch;
        for (int n = 0; n < PER_SERVER; ++n) {
            const QByteArray tag = QByteArray::number(i) + "-" + QByteArray::number(n);
            batch += n % 4 == 3 ? changePassword(owners[i][n / 4].id, "old", "p" + tag)
                                : addUser("during" + tag, "pw");
        }
        controls[i]->send(batch);
        controls[i]->flush();
    }
    Reply reply;
    QVERIFY(controls[0]->read(reply));
    if (reply.result != 0)
        QFAIL(qPrintable(serverLogs(reply.result)));
    cluster->stopImmediately();

    // A write whose commit may have gone through before its connection was cut is not tried
    // again (it would meet itself as "name taken" or "wrong password"): it fails with 1.
    QHash<QString, int> acknowledged;
    QHash<QString, QString> changed;
    acknowledged.insert(QStringLiteral("during0-0"), reply.id);
    for (int i = 0; i < 2; ++i) {
        for (int n = i == 0 ? 1 : 0; n < PER_SERVER; ++n) {
            QVERIFY(controls[i]->read(reply));
            const QByteArray tag = QByteArray::number(i) + "-" + QByteArray::number(n);
            const bool change = n % 4 == 3;
            QCOMPARE(reply.command, quint8(change ? 4 : 2));
            QVERIFY2(reply.result <= 1,
                qPrintable(
                    QStringLiteral("%1: result %2").arg(QLatin1String(tag)).arg(reply.result)));
            if (change && reply.result != 1) {
                changed.insert(
                    QStringLiteral("owner%1-%2").arg(i).arg(n / 4), QString::fromLatin1("p" + tag));
            } else if (!change && reply.result == 0) {
                acknowledged.insert(QString::fromLatin1("during" + tag), reply.id);
            }
        }
    }

    qInfo("%d adds and %d password changes of %d acknowledged around the kill",
        int(acknowledged.size()), int(changed.size()), 2 * PER_SERVER);

    // While it is down: the design's failure results, and one log line per outage.
    std::vector<QByteArray> down(2);
    for (int i = 0; i < 2; ++i)
        down[i] = addUser("down" + QByteArray::number(i), "pw")
            + changePassword(owners[i][0].id, "old", "never") + login("owner0-1", "old")
            + addUser("down2-" + QByteArray::number(i), "pw");
    QVERIFY(exchange(down, { 4, 4 }, replies));
    for (const auto &connection : replies) {
        QCOMPARE(connection[0].result, quint8(1));
        QCOMPARE(connection[1].result, quint8(1));
        QCOMPARE(connection[2].result, quint8(3));
        QCOMPARE(connection[3].result, quint8(1));
    }

    // Back again: each server reconnects by itself with the next request.
    QVERIFY2(cluster->restart(), qPrintable(cluster->errorText()));
    std::vector<QByteArray> back(2);
    for (int i = 0; i < 2; ++i)
        back[i] = addUser("back" + QByteArray::number(i), "pw");
    QVERIFY(exchange(back, { 1, 1 }, replies));
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(replies[i][0].result, quint8(0));
        acknowledged.insert(QStringLiteral("back%1").arg(i), replies[i][0].id);
    }
    for (auto &server : servers) {
        const QByteArray output = server->readOutput();
        QCOMPARE(output.count("User database unreachable: "), 1);
        QCOMPARE(output.count("User database reachable again"), 1);
    }

    QHash<QString, int> ids;
    QHash<QString, QString> passwords;
    QVERIFY(storedUsers(ids, passwords));
    for (auto it = acknowledged.cbegin(); it != acknowledged.cend(); ++it)
        QCOMPARE(ids.value(it.key(), -1), it.value());
    for (auto it = changed.cbegin(); it != changed.cend(); ++it)
        QCOMPARE(passwords.value(it.key()), it.value());
    for (const char *never : { "down0", "down1", "down2-0", "down2-1" })
        QVERIFY(!ids.contains(QLatin1String(never)));
    QCOMPARE(passwords.value(QStringLiteral("owner0-0")).isEmpty(), false);
    QVERIFY(passwords.value(QStringLiteral("owner0-0")) != QLatin1String("never"));
}

QList<QByteArray> tst_ScaleOut::storedContents(const QString &save)
{
    QList<QByteArray> out;
#ifdef TOLVERN_SCALEOUT_S3
    CS3Config config;
    config.endpoint = s3.endpoint;
    config.bucket = bucket;
    config.accessKey = s3.accessKey;
    config.secretKey = s3.secretKey;
    CS3Bucket objects(config);
    QList<CS3Bucket::Object> found;
    objects.list(QString(), &found, nullptr);
    const QString archive = save + QStringLiteral(".z");
    const QString history = save.section(QLatin1Char('/'), 0, 0) + QStringLiteral("/.versions/")
        + save.section(QLatin1Char('/'), 1) + QStringLiteral(".z/");
    for (const CS3Bucket::Object &object : std::as_const(found)) {
        const QString name = object.key.mid(history.size());
        if (object.key != archive
            && (!object.key.startsWith(history) || name.startsWith(QLatin1Char('.'))))
            continue;
        CS3Bucket::Head head;
        QByteArray bytes;
        if (objects.head(object.key, &head, nullptr) && head.found)
            objects.readAll(
                object.key, head,
                [&bytes](const QByteArray &part) {
                    bytes += part;
                    return true;
                },
                nullptr);
        out << bytes;
    }
#else
    const QFileInfo archive(storage->path() + QLatin1Char('/') + save + QStringLiteral(".z"));
    QStringList files { archive.filePath() };
    for (const QString &name :
        QDir(archive.path() + QStringLiteral("/.versions/") + archive.fileName())
            .entryList(QDir::Files))
        if (!CSaveSum::isSumFile(name))
            files << archive.path() + QStringLiteral("/.versions/") + archive.fileName()
                    + QLatin1Char('/') + name;
    for (const QString &path : files) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            out << file.readAll();
    }
#endif
    return out;
}

void tst_ScaleOut::sameSaveFromBothServers()
{
    // Writers on both servers replace one save at once; each upload's bytes are its own.
    constexpr int WRITERS = 4;
    constexpr int EACH = 8;
    std::vector<std::future<QList<QByteArray>>> writers;
    for (int w = 0; w < WRITERS; ++w) {
        writers.push_back(std::async(std::launch::async, [this, w] {
            QList<QByteArray> acknowledged;
            for (int n = 0; n < EACH; ++n) {
                const QByteArray bytes = QByteArray(1000 + 37 * n, char('a' + w)) + "writer "
                    + QByteArray::number(w) + " upload " + QByteArray::number(n);
                CBlockingSocket conn(servers[w % 2]->filePort(), 60);
                conn.send(frame(0, packet(3, str("shared") + str("") + str("9/together"))));
                const auto reply = conn.frame();
                if (reply.first != 0 || reply.second.size() < 23 || reply.second[22] != 0)
                    continue;
                conn.send(frame(1, bytes));
                conn.send(frame(0, packet(6, {})));
                if (conn.ending() == QLatin1String("close"))
                    acknowledged << bytes;
            }
            return acknowledged;
        }));
    }
    QSet<QByteArray> acknowledged;
    for (auto &writer : writers) {
        for (const QByteArray &bytes : writer.get())
            acknowledged << bytes;
    }
    QCOMPARE(acknowledged.size(), WRITERS * EACH);
    // Every acknowledged upload is the archive or one version of it, once; nothing else is.
    const QList<QByteArray> stored = storedContents(QStringLiteral("9/together"));
    QCOMPARE(stored.size(), acknowledged.size());
    QCOMPARE(QSet<QByteArray>(stored.cbegin(), stored.cend()), acknowledged);
    // And each carries its own sum.
    QProcess verify;
    verify.start(servers[0]->path(QStringLiteral("bin/tolvern-server")),
        { QStringLiteral("saves"), QStringLiteral("verify"), QStringLiteral("9") });
    QVERIFY(verify.waitForFinished(120000));
    const QByteArray lines = verify.readAllStandardOutput();
    QCOMPARE(verify.exitCode(), 0);
    QCOMPARE(lines.count("\tgood"), WRITERS * EACH);
    QVERIFY(!lines.contains("unchecked"));
}

QTEST_GUILESS_MAIN(tst_ScaleOut)
#include "tst_scaleout.moc"
