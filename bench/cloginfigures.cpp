#include "cloginfigures.h"

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

constexpr double MIN_LOGIN_RATE = 2000;
constexpr double MIN_LOGIN_RATIO = 0.5;
constexpr double MIN_HEADLESS_LOGIN_RATIO = 0.8;
// Figure 9's server: hashes of the default cost, no login ever locked.
const QString HASHED = QStringLiteral("[Security]\nMaxConnectionsPerAddress=0\n"
                                      "LoginLockFailures=0\nAddressLockFailures=0\n"
                                      "PasswordHashing=argon2id\n");
const QString HASHED_PASSWORD = QStringLiteral("bench-hashed");
constexpr double MIN_HASHED_LOGIN_RATIO = 0.9;
// Figure 14: pairs of wrong logins, one for a known name and one for a name nobody has.
constexpr int NAME_TIMING_PAIRS = 100;
constexpr double MAX_NAME_TIMING_SKEW = 1.25;

} // namespace

CLoginFigures::CLoginFigures(CBenchRunner &runner)
    : bench(runner)
{
}

bool CLoginFigures::measureLogins()
{
    bool ok = true;
    for (const QString &mode : std::as_const(bench.loginModes))
        ok = measureLoginsIn(mode == QLatin1String("headless")) && ok;
    bench.server->setHeadless(false);
    // Several servers share one user base only on a database server.
    if (!bench.databaseUrl.isEmpty())
        ok = measureTwoServerLogins() && ok;
    return ok;
}

bool CLoginFigures::measureLoginsIn(bool headless)
{
    const QString mode = headless ? QStringLiteral("headless") : QStringLiteral("window");
    bench.note(QStringLiteral("figure 1: logins with %1 users, %2 clients, %3 s, %4")
                   .arg(bench.users)
                   .arg(bench.clients)
                   .arg(bench.seconds)
                   .arg(mode));
    bench.server->setHeadless(headless);
    // On SQLite the yardstick works on a copy of the file, so the two never wait for each
    // other's lock; on PostgreSQL on the same database, in alternating turns.
    const QString copy = bench.server->path(QStringLiteral("direct.db"));
    if (bench.databaseUrl.isEmpty()) {
        QFile::remove(copy);
        if (!QFile::copy(bench.server->databaseFile(), copy))
            return false;
    }
    double rate = 0;
    double direct = 0;
    bool ok = bench.openDirect(QStringLiteral("bench-direct"), copy);
    {
        QSqlDatabase db = QSqlDatabase::database(QStringLiteral("bench-direct"), false);
        // The same journal, sync, page cache and checkpoint settings as the server's own
        // connection.
        if (ok && bench.databaseUrl.isEmpty()) {
            QSqlQuery(db).exec(QStringLiteral("PRAGMA journal_mode=WAL"));
            QSqlQuery(db).exec(
                QStringLiteral("PRAGMA synchronous=%1").arg(bench.directSynchronous));
            QSqlQuery(db).exec(
                QStringLiteral("PRAGMA cache_size=-%1").arg(CUserDbConnection::SQLITE_CACHE_KIB));
            QSqlQuery(db).exec(QStringLiteral("PRAGMA wal_autocheckpoint=%1")
                                   .arg(CUserDbConnection::SQLITE_CHECKPOINT_PAGES));
        } else if (ok) {
            QSqlQuery(db).exec(QStringLiteral("SET synchronous_commit TO off"));
        }
        ok = ok && bench.startServer(NO_ADDRESS_CAP)
            && bench.serverLogins({ bench.server.get() }, rate, direct);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-direct"));
    QFile::remove(copy);
    ok = bench.stopServer() && ok;
    return loginRow(mode, ok, rate, direct, headless ? MIN_HEADLESS_LOGIN_RATIO : MIN_LOGIN_RATIO);
}

bool CLoginFigures::loginRow(
    const QString &mode, bool ok, double rate, double direct, double minRatio)
{
    bench.note(QStringLiteral("  server %1 logins/s, direct %2 logins/s")
                   .arg(rate, 0, 'f', 0)
                   .arg(direct, 0, 'f', 0));
    if (!ok || direct <= 0)
        return false;
    CBenchRunner::Row row;
    row.figure = QStringLiteral("1 logins/s %5 (%1 users, %2 clients, %3 s, %4)")
                     .arg(bench.users)
                     .arg(bench.clients)
                     .arg(bench.seconds)
                     .arg(bench.databaseUrl.isEmpty() ? QStringLiteral("SQLite")
                                                      : QStringLiteral("PostgreSQL"))
                     .arg(mode);
    row.measured = QStringLiteral("%1 /s").arg(rate, 0, 'f', 0);
    row.yardstick = QStringLiteral("%1 /s direct SQL").arg(direct, 0, 'f', 0);
    row.ratio = QString::number(rate / direct, 'f', 2);
    row.target = QStringLiteral(">= 2000 /s, ratio >= %1").arg(minRatio, 0, 'f', 2);
    row.met = rate >= MIN_LOGIN_RATE && rate / direct >= minRatio;
    bench.rows.push_back(row);
    return true;
}

bool CLoginFigures::measureTwoServerLogins()
{
    bench.note(
        QStringLiteral("figure 1: logins with %1 users, %2 clients, %3 s, two headless servers "
                       "on one database")
            .arg(bench.users)
            .arg(bench.clients)
            .arg(bench.seconds));
    // The second one shares the database and the storage folder, with ports, ini and
    // runtime folder of its own.
    bench.secondServer = std::make_unique<CServerProcess>(bench.serverPath, bench.baseDir);
    bench.secondServer->setForwardOutput(false);
    bench.secondServer->setHeadless(true);
    bench.secondServer->setStorageDir(bench.server->storageDir());
    bench.secondServer->setExtraIni(bench.databaseIni + NO_ADDRESS_CAP);
    bench.server->setHeadless(true);
    double rate = 0;
    double direct = 0;
    bool ok = bench.secondServer->isValid()
        && bench.openDirect(QStringLiteral("bench-direct"), QString());
    {
        QSqlDatabase db = QSqlDatabase::database(QStringLiteral("bench-direct"), false);
        if (ok)
            QSqlQuery(db).exec(QStringLiteral("SET synchronous_commit TO off"));
        ok = ok && bench.startServer(NO_ADDRESS_CAP);
        if (ok && !bench.secondServer->start(START_TIMEOUT_MS)) {
            bench.note(bench.secondServer->errorText());
            ok = false;
        }
        ok = ok
            && bench.serverLogins({ bench.server.get(), bench.secondServer.get() }, rate, direct);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-direct"));
    if (bench.secondServer->isRunning() && bench.secondServer->stop(60000) != 0)
        ok = false;
    bench.secondServer.reset();
    ok = bench.stopServer() && ok;
    bench.server->setHeadless(false);
    return loginRow(
        QStringLiteral("two headless servers"), ok, rate, direct, MIN_HEADLESS_LOGIN_RATIO);
}

bool CLoginFigures::setPasswords(const QString &expression, const QString &value)
{
    bool ok = bench.openDirect(QStringLiteral("bench-passwords"), bench.server->databaseFile());
    {
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("bench-passwords"), false));
        ok = ok && query.prepare(QStringLiteral("update t_user set password = ") + expression);
        if (ok && expression.contains(QLatin1Char('?')))
            query.addBindValue(value);
        ok = ok && query.exec();
        if (!ok)
            bench.note(
                QStringLiteral("cannot set the passwords: %1").arg(query.lastError().text()));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-passwords"));
    return ok;
}

bool CLoginFigures::measureHashedLogins()
{
    // The cost a server runs with by default, and as many threads as it hashes on.
    const CPasswordHasher::Params params;
    const int threads = CPasswordHasher::instance()->threadCount();
    bench.note(QStringLiteral("figure 9: hashed logins with %1 users, %2 clients, %3 s, Argon2id "
                              "m=%4 KiB t=%5, %6 threads")
                   .arg(bench.users)
                   .arg(bench.clients)
                   .arg(bench.seconds)
                   .arg(params.memoryKiB)
                   .arg(params.iterations)
                   .arg(threads));
    // One hash for every user: a hash each would take the machine most of an hour, and a
    // check costs the same whoever's it is.
    const QString hash = CPasswordHasher::instance()->hash(HASHED_PASSWORD, params);
    bool ok = !hash.isEmpty() && setPasswords(QStringLiteral("?"), hash);
    ok = ok && bench.startServer(HASHED);
    CLoginLoad load;
    if (ok && !load.connectClients({ bench.server->mainPort() }, bench.clients)) {
        bench.note(QStringLiteral("login clients: %1").arg(load.errorText()));
        ok = false;
    }
    const auto nextLogin = [this](libsock::CProtoPacket &packet) {
        CProtoClient::loginRequest(
            packet, bench.userName(int(bench.random.bounded(bench.users)) + 1), HASHED_PASSWORD);
    };
    // One-second turns, server and yardstick in alternation, as figure 1's.
    qint64 checks = 0;
    double serverTime = 0;
    double checkTime = 0;
    for (int turn = 0; ok && turn < bench.seconds; ++turn) {
        const qint64 before = load.answered();
        ok = load.run(1000, WAIT_TIMEOUT_MS, nextLogin);
        // Over the second the clients sent in, whose answers alone count: with a hash's
        // latency, the answers still owed at its end take most of a second more to come.
        const double serverTurn = 1.0;
        serverTime += serverTurn;
        QElapsedTimer clock;
        clock.start();
        const qint64 turnChecks = CHashVerifyRate::verifications(
            hash.toLatin1(), HASHED_PASSWORD.toUtf8(), threads, 1000);
        const double checkTurn = double(clock.nsecsElapsed()) / 1e9;
        checkTime += checkTurn;
        ok = ok && turnChecks >= 0;
        checks += qMax<qint64>(0, turnChecks);
        bench.note(QStringLiteral("  turn %1: server %2 /s, crypto_pwhash_str_verify %3 /s")
                       .arg(turn + 1)
                       .arg(double(load.answered() - before) / serverTurn, 0, 'f', 1)
                       .arg(double(turnChecks) / checkTurn, 0, 'f', 1));
    }
    if (load.refused()) {
        bench.note(QStringLiteral("%1 logins refused").arg(load.refused()));
        ok = false;
    }
    ok = bench.stopServer() && ok;
    // The plain-text passwords of the other figures again.
    ok = setPasswords(QStringLiteral("'pw' || substr(name, 5)"), QString()) && ok;
    if (!ok || serverTime <= 0 || checks <= 0)
        return false;
    const double rate = double(load.answered()) / serverTime;
    const double yardstick = double(checks) / checkTime;
    CBenchRunner::Row row;
    row.figure = QStringLiteral("9 hashed logins/s (%1 users, %2 clients, %3 s, %4)")
                     .arg(bench.users)
                     .arg(bench.clients)
                     .arg(bench.seconds)
                     .arg(bench.databaseUrl.isEmpty() ? QStringLiteral("SQLite")
                                                      : QStringLiteral("PostgreSQL"));
    row.measured = QStringLiteral("%1 /s").arg(rate, 0, 'f', 1);
    row.yardstick = QStringLiteral("%1 /s crypto_pwhash_str_verify, %2 threads")
                        .arg(yardstick, 0, 'f', 1)
                        .arg(threads);
    row.ratio = QString::number(rate / yardstick, 'f', 2);
    row.target = QStringLiteral("ratio >= %1").arg(MIN_HASHED_LOGIN_RATIO, 0, 'f', 2);
    row.met = rate / yardstick >= MIN_HASHED_LOGIN_RATIO;
    bench.rows.push_back(row);
    return true;
}

bool CLoginFigures::measureNameTiming()
{
    const CPasswordHasher::Params params;
    bench.note(QStringLiteral("figure 14: %1 pairs of wrong logins, a known name and an unknown "
                              "one, Argon2id m=%2 KiB t=%3")
                   .arg(NAME_TIMING_PAIRS)
                   .arg(params.memoryKiB)
                   .arg(params.iterations));
    const QString hash = CPasswordHasher::instance()->hash(HASHED_PASSWORD, params);
    bool ok = !hash.isEmpty()
        && setPasswords(QStringLiteral("case when object_id = 1 then ? else password end"), hash);
    ok = ok && bench.startServer(HASHED);
    CProtoClient client;
    ok = ok && client.connectToServer(LOCALHOST, bench.server->mainPort());
    const QString known = bench.userName(1);
    const QString unknown = QStringLiteral("nobody-at-all");
    std::vector<qint64> knownTimes;
    std::vector<qint64> unknownTimes;
    std::vector<double> ratios;
    for (int pair = 0; ok && pair < NAME_TIMING_PAIRS; ++pair) {
        // Which name goes first alternates, so that a drift of the machine's pace weighs on
        // both alike.
        qint64 times[2] = { 0, 0 };
        for (int step = 0; ok && step < 2; ++step) {
            const bool isKnown = (step == 0) == (pair % 2 == 0);
            QElapsedTimer clock;
            clock.start();
            ok = client.login(isKnown ? known : unknown, QStringLiteral("wrong"))
                && client.result() != libsock::RESULT_OK;
            times[isKnown ? 0 : 1] = clock.nsecsElapsed();
        }
        knownTimes.push_back(times[0]);
        unknownTimes.push_back(times[1]);
        ratios.push_back(double(times[1]) / double(qMax<qint64>(1, times[0])));
    }
    if (!ok)
        bench.note(QStringLiteral("a login of figure 14 failed"));
    ok = bench.stopServer() && ok;
    ok = setPasswords(QStringLiteral("'pw' || substr(name, 5)"), QString()) && ok;
    if (!ok)
        return false;
    std::sort(knownTimes.begin(), knownTimes.end());
    std::sort(unknownTimes.begin(), unknownTimes.end());
    std::sort(ratios.begin(), ratios.end());
    const double ratio
        = double(percentile(unknownTimes, 0.5)) / double(percentile(knownTimes, 0.5));
    const auto ratioAt = [&ratios](double fraction) {
        return ratios.at(size_t(fraction * double(ratios.size() - 1)));
    };
    CBenchRunner::Row row;
    row.figure = QStringLiteral("14 wrong login of an unknown name (%1 pairs, interleaved)")
                     .arg(NAME_TIMING_PAIRS);
    row.measured = QStringLiteral("p50 %1 ms").arg(ms(percentile(unknownTimes, 0.5)));
    row.yardstick = QStringLiteral("p50 %1 ms, a known name").arg(ms(percentile(knownTimes, 0.5)));
    row.ratio = QStringLiteral("%1 (pairs p10 %2, p90 %3)")
                    .arg(ratio, 0, 'f', 2)
                    .arg(ratioAt(0.1), 0, 'f', 2)
                    .arg(ratioAt(0.9), 0, 'f', 2);
    row.target = QStringLiteral("%1 <= ratio <= %2")
                     .arg(1 / MAX_NAME_TIMING_SKEW, 0, 'f', 2)
                     .arg(MAX_NAME_TIMING_SKEW, 0, 'f', 2);
    row.met = ratio >= 1 / MAX_NAME_TIMING_SKEW && ratio <= MAX_NAME_TIMING_SKEW;
    bench.rows.push_back(row);
    return true;
}
