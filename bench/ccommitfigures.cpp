#include "ccommitfigures.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>
#include <QUrl>
#include <QVariant>

#include "benchtable.h"
#include "cfileclient.h"
#include "chashverifyrate.h"
#include "cloginload.h"
#include "cpasswordhasher.h"
#include "cpgcluster.h"
#include "controlcodes.h"
#include "cfileframeheader.h"
#include "cplaincopy.h"
#include "cprotoclient.h"
#include "controlcodes.h"
#include "cprotopacket.h"
#include "cserverfileconn.h"
#include "cserverprocess.h"
#include "cpurgeload.h"
#include "cuploadload.h"
#include "ctlsbench.h"
#include "cuserdb.h"
#include "cuserdbconnection.h"

#include "benchutil.h"
#include "cbenchrunner.h"

using namespace benchutil;
using libsock::CFileClient;
using libsock::ClientError;
using libsock::CProtoClient;

namespace {

constexpr double MIN_GROUP_LOGIN_RATIO = 0.9;
constexpr double MIN_ADD_RATE = 5000;
constexpr double MAX_LONE_ADD_SYNCS = 2;
constexpr int LONE_ADDS = 200;
constexpr std::chrono::milliseconds LONE_PAUSE { 1 };

} // namespace

CCommitFigures::CCommitFigures(CBenchRunner &runner)
    : bench(runner)
{
}

qint64 CCommitFigures::syncsSoFar() const
{
    if (probeLog.isEmpty())
        return 0;
    QFile file(probeLog);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readAll().count('\n');
}

bool CCommitFigures::syncOnce(QFile &file, std::vector<qint64> &times)
{
    static const QByteArray page(4096, 'x');
    QElapsedTimer clock;
    clock.start();
    if (file.write(page) != page.size() || !file.flush() || ::fdatasync(file.handle()) != 0)
        return false;
    times.push_back(clock.nsecsElapsed());
    return true;
}

bool CCommitFigures::clientRate(bool adding, const QString &prefix, double &rate)
{
    bool running = true;
    qint64 answered = 0;
    qint64 refused = 0;
    int errors = 0;
    qint64 counter = 0;
    std::vector<std::unique_ptr<CProtoClient>> pool;
    const auto sendNext = [&](CProtoClient *client) {
        if (adding) {
            client->sendAddUser(prefix + QString::number(++counter), QStringLiteral("pw"));
        } else {
            const int index = int(bench.random.bounded(bench.users)) + 1;
            client->sendLogin(bench.userName(index), bench.password(index));
        }
    };
    for (int i = 0; i < bench.clients; ++i) {
        auto client = std::make_unique<CProtoClient>();
        if (!client->connectToServer(LOCALHOST, bench.server->mainPort()))
            return false;
        CProtoClient *raw = client.get();
        QObject::connect(raw, &CProtoClient::replyReceived, raw, [&, raw](quint8 result) {
            if (result == libsock::RESULT_OK)
                ++answered;
            else
                ++refused;
            if (running)
                sendNext(raw);
        });
        QObject::connect(raw, &CProtoClient::failed, raw, [&errors] { ++errors; });
        pool.push_back(std::move(client));
    }
    QElapsedTimer clock;
    clock.start();
    for (const auto &client : pool)
        sendNext(client.get());
    pause(bench.seconds * 1000);
    running = false;
    const bool idle = waitUntil(
        [&pool] {
            return std::none_of(
                pool.begin(), pool.end(), [](const auto &c) { return c->isBusy(); });
        },
        WAIT_TIMEOUT_MS);
    rate = double(answered) / (double(clock.nsecsElapsed()) / 1e9);
    if (errors || refused)
        bench.note(
            QStringLiteral("  %1 clients failed, %2 requests refused").arg(errors).arg(refused));
    return idle && !errors && !refused;
}

bool CCommitFigures::commitRun(CommitRun &run)
{
    bench.note(QStringLiteral("  durable group commit:"));
    if (!probeLog.isEmpty())
        QFile::remove(probeLog);
    if (!bench.startServer(NO_LOCKS))
        return false;
    bool ok = true;
    const qint64 syncsBefore = syncsSoFar();
    const QString prefix = QStringLiteral("gc");
    qint64 syncsMark = syncsSoFar();
    double rate = 0;
    ok = clientRate(false, prefix, rate);
    run.logins = rate;
    qint64 done = qint64(rate * bench.seconds);
    run.loginSyncsPer1000 = done > 0 ? double(syncsSoFar() - syncsMark) * 1000.0 / double(done) : 0;
    syncsMark = syncsSoFar();
    ok = ok && clientRate(true, prefix + QStringLiteral("add"), rate);
    run.adds = rate;
    done = qint64(rate * bench.seconds);
    run.addSyncsPer1000 = done > 0 ? double(syncsSoFar() - syncsMark) * 1000.0 / double(done) : 0;

    // A plain blocking client: the round trip is the server's, not a client event loop's.
    CLoginLoad lone;
    std::vector<qint64> times;
    ok = ok && lone.connectClients({ bench.server->mainPort() }, 1);
    int added = 0;
    const auto nextAdd = [&](libsock::CProtoPacket &packet) {
        CProtoClient::addUserRequest(
            packet, prefix + QStringLiteral("lone%1").arg(added++), QStringLiteral("pw"));
    };
    // The yardstick's syncs in turns with the add-users: both meet the disk in the same state,
    // also while it still writes back what the runs above left. A sync right behind another
    // one takes longer: the yardstick's waits a moment after the server's, and the add-user
    // follows the yardstick's at once.
    QFile yardstick(bench.server->path(QStringLiteral("work/db/sync-yardstick")));
    std::vector<qint64> syncTimes;
    ok = ok && yardstick.open(QIODevice::WriteOnly | QIODevice::Truncate);
    for (int i = 0; ok && i < LONE_ADDS; ++i) {
        std::this_thread::sleep_for(LONE_PAUSE);
        ok = syncOnce(yardstick, syncTimes);
        QElapsedTimer clock;
        clock.start();
        quint8 result = 0xFF;
        ok = ok && lone.exchange(nextAdd, WAIT_TIMEOUT_MS, &result) && result == libsock::RESULT_OK;
        times.push_back(clock.nsecsElapsed());
    }
    if (!ok)
        bench.note(QStringLiteral("lone client: %1").arg(lone.errorText()));
    yardstick.remove();
    std::sort(times.begin(), times.end());
    std::sort(syncTimes.begin(), syncTimes.end());
    run.loneAddP50 = percentile(times, 0.5);
    run.syncP50 = ok ? percentile(syncTimes, 0.5) : 0;
    ok = bench.stopServer() && ok;
    bench.note(QStringLiteral("    logins %1 /s (%2 syncs per 1000), add-users %3 /s (%4 syncs per "
                              "1000), lone add-user p50 %5 ms, %6 syncs in all")
                   .arg(run.logins, 0, 'f', 0)
                   .arg(run.loginSyncsPer1000, 0, 'f', 1)
                   .arg(run.adds, 0, 'f', 0)
                   .arg(run.addSyncsPer1000, 0, 'f', 1)
                   .arg(ms(run.loneAddP50))
                   .arg(syncsSoFar() - syncsBefore));
    return ok;
}

bool CCommitFigures::directCommits(DirectRates &rates)
{
    // On SQLite a copy of the server's file, with the server's journal and cache settings.
    const QString copy = bench.server->path(QStringLiteral("direct-commits.db"));
    if (bench.databaseUrl.isEmpty()) {
        QFile::remove(copy);
        if (!QFile::copy(bench.server->databaseFile(), copy))
            return false;
    }
    const QString name = QStringLiteral("bench-direct-commits");
    bool ok = bench.openDirect(name, copy);
    {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        if (ok && bench.databaseUrl.isEmpty()) {
            QSqlQuery(db).exec(QStringLiteral("PRAGMA journal_mode=WAL"));
            QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
            QSqlQuery(db).exec(
                QStringLiteral("PRAGMA cache_size=-%1").arg(CUserDbConnection::SQLITE_CACHE_KIB));
        } else if (ok) {
            QSqlQuery(db).exec(QStringLiteral("SET synchronous_commit TO off"));
        }
        qint64 count = 0;
        QElapsedTimer clock;
        clock.start();
        ok = ok && bench.directLogins(name, bench.seconds * 1000, count);
        rates.logins = double(count) / (double(clock.nsecsElapsed()) / 1e9);
        // An add-user as one transaction of its own: the next id, the name check, the row.
        const QString begin = bench.databaseUrl.isEmpty() ? QStringLiteral("BEGIN IMMEDIATE")
                                                          : QStringLiteral("BEGIN");
        QSqlQuery next(db);
        QSqlQuery lookup(db);
        QSqlQuery insert(db);
        ok = ok
            && next.prepare(QStringLiteral("UPDATE t_user_seq SET last_id = last_id + 1 "
                                           "RETURNING last_id"))
            && lookup.prepare(QStringLiteral("select object_id from t_user where name = ?"))
            && insert.prepare(QStringLiteral("insert into t_user (object_id, name, password, "
                                             "is_enabled) values (?, ?, ?, 'Y')"));
        count = 0;
        clock.restart();
        while (ok && clock.elapsed() < bench.seconds * 1000) {
            ok = QSqlQuery(db).exec(begin) && next.exec() && next.next();
            const int id = ok ? next.value(0).toInt() : 0;
            next.finish();
            const QString user = QStringLiteral("direct%1").arg(count);
            lookup.addBindValue(user);
            ok = ok && lookup.exec() && !lookup.next();
            lookup.finish();
            insert.addBindValue(id);
            insert.addBindValue(user);
            insert.addBindValue(QStringLiteral("pw"));
            ok = ok && insert.exec() && QSqlQuery(db).exec(QStringLiteral("COMMIT"));
            ++count;
        }
        rates.adds = double(count) / (double(clock.nsecsElapsed()) / 1e9);
        if (!ok)
            bench.note(QStringLiteral("  direct SQL failed: %1").arg(db.lastError().text()));
        bench.note(QStringLiteral("  direct SQL, synchronous=NORMAL: logins %1 /s, add-users %2 /s")
                       .arg(rates.logins, 0, 'f', 0)
                       .arg(rates.adds, 0, 'f', 0));
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    QFile::remove(copy);
    return ok;
}

bool CCommitFigures::measureGroupCommit()
{
    bench.note(QStringLiteral("figure 7: durable group commit, %1 clients, %2 s each")
                   .arg(bench.clients)
                   .arg(bench.seconds));
    const QString probe = QStringLiteral(TOLVERN_SYNCPROBE_PATH);
    if (!bench.databaseUrl.isEmpty()) {
        bench.note(QStringLiteral("  syncs happen inside PostgreSQL; they are not counted here"));
    } else if (QFileInfo::exists(probe)) {
        probeLog = bench.server->path(QStringLiteral("syncs.log"));
        bench.server->setEnvironment(
            QStringLiteral("LD_PRELOAD"), QFileInfo(probe).canonicalFilePath());
        bench.server->setEnvironment(QStringLiteral("TOLVERN_PROBE_FILE"), probeLog);
    } else {
        bench.note(QStringLiteral("  %1 missing: syncs are not counted").arg(probe));
    }
    bench.server->setHeadless(true);
    CommitRun durable;
    bool ok = commitRun(durable);
    const qint64 sync = durable.syncP50;
    bench.server->setEnvironment(QStringLiteral("LD_PRELOAD"), QString());
    bench.server->setEnvironment(QStringLiteral("TOLVERN_PROBE_FILE"), QString());
    bench.server->setHeadless(false);
    // The yardstick: the same logins and add-users one statement at a time, straight on the
    // database, with syncs as far apart as synchronous=NORMAL leaves them.
    DirectRates direct;
    ok = ok && directCommits(direct);
    if (!ok || direct.logins <= 0 || direct.adds <= 0 || sync <= 0)
        return false;
    const QString engine
        = bench.databaseUrl.isEmpty() ? QStringLiteral("SQLite") : QStringLiteral("PostgreSQL");
    const bool counted = !probeLog.isEmpty();
    const auto syncs = [counted](double perThousand) {
        return counted ? QStringLiteral(", %1 syncs/1000").arg(perThousand, 0, 'f', 1) : QString();
    };
    CBenchRunner::Row loginRow;
    loginRow.figure = QStringLiteral("7 durable logins/s, group commit (%1, %2 clients)")
                          .arg(engine)
                          .arg(bench.clients);
    loginRow.measured = QStringLiteral("%1 /s%2")
                            .arg(durable.logins, 0, 'f', 0)
                            .arg(syncs(durable.loginSyncsPer1000));
    loginRow.yardstick = QStringLiteral("%1 /s direct SQL NORMAL").arg(direct.logins, 0, 'f', 0);
    loginRow.ratio = QString::number(durable.logins / direct.logins, 'f', 2);
    loginRow.target = QStringLiteral("ratio >= %1").arg(MIN_GROUP_LOGIN_RATIO, 0, 'f', 1);
    loginRow.met = durable.logins / direct.logins >= MIN_GROUP_LOGIN_RATIO;
    bench.rows.push_back(loginRow);

    CBenchRunner::Row adds;
    adds.figure = QStringLiteral("7 durable add-users/s, group commit (%1, %2 clients)")
                      .arg(engine)
                      .arg(bench.clients);
    adds.measured = QStringLiteral("%1 /s%2")
                        .arg(durable.adds, 0, 'f', 0)
                        .arg(syncs(durable.addSyncsPer1000));
    adds.yardstick = QStringLiteral("%1 /s direct SQL NORMAL").arg(direct.adds, 0, 'f', 0);
    adds.ratio = QString::number(durable.adds / MIN_ADD_RATE, 'f', 2);
    adds.target = QStringLiteral(">= %1 /s (ratio to it >= 1)").arg(MIN_ADD_RATE, 0, 'f', 0);
    adds.met = durable.adds >= MIN_ADD_RATE;
    bench.rows.push_back(adds);

    CBenchRunner::Row lone;
    lone.figure = QStringLiteral("7 lone client's durable add-user round trip (%1)").arg(engine);
    lone.measured = QStringLiteral("p50 %1 ms").arg(ms(durable.loneAddP50));
    lone.yardstick = QStringLiteral("p50 %1 ms one 4 KiB write + fdatasync").arg(ms(sync));
    lone.ratio = QString::number(double(durable.loneAddP50) / double(sync), 'f', 2);
    lone.target = QStringLiteral("ratio <= %1").arg(MAX_LONE_ADD_SYNCS, 0, 'f', 0);
    lone.met = double(durable.loneAddP50) / double(sync) <= MAX_LONE_ADD_SYNCS;
    bench.rows.push_back(lone);
    return true;
}
