#include "cmassfigures.h"

#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>
#include <QVariant>

#include "benchutil.h"
#include "cbenchrunner.h"
#include "chashverifyrate.h"
#include "controlcodes.h"
#include "cpasswordhasher.h"
#include "cprotoclient.h"
#include "cprotopacket.h"
#include "cserverprocess.h"
#include "cswarm.h"

using namespace benchutil;
using libsock::CProtoClient;

namespace {

// Plain passwords (the bench's users), the default caps: the swarm comes from many hosts.
const QString MANY_HOSTS = QStringLiteral("[Security]\nPasswordHashing=plain\n");
// Default Argon2id and the default locks.
const QString HASHED_HOSTS = QStringLiteral("[Security]\nPasswordHashing=argon2id\n");
const QString FLOOD_PASSWORD = QStringLiteral("bench-flood");
constexpr int SWARM_PER_ADDRESS = 50;
constexpr int MASS_SIZES[] = { 1000, 10000, 50000 };
constexpr double MAX_MASS_MS = 100;
constexpr double MAX_MASS_GROWTH = 12;
constexpr double MAX_IDLE_BYTES = 10000;
constexpr double MAX_IDLE_RTT_RATIO = 2;
constexpr int FLOOD_HOSTS = 200;
constexpr int FLOOD_MS = 20000;
constexpr int FLOOD_USERS = 1000;
constexpr double MAX_FLOOD_P99_VERIFIES = 20;
constexpr double MAX_FLOOD_GROWTH_BYTES = 50e6;
constexpr qint64 MAX_BACKLOG_MS = 2000;
// Descriptors the bench and the server keep for themselves besides connections.
constexpr int DESCRIPTOR_SLACK = 200;

qint64 median(std::vector<qint64> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

int openDescriptors(qint64 pid)
{
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).count()) - 2;
}

} // namespace

CMassFigures::CMassFigures(CBenchRunner &runner)
    : bench(runner)
{
}

bool CMassFigures::startHeadless(const QString &security)
{
    // The way a server facing the internet runs; the window's figures are figure 1's.
    bench.server->setHeadless(true);
    const bool started = bench.startServer(security);
    bench.server->setHeadless(false);
    return started;
}

qint64 CMassFigures::newLogin(int index) const
{
    QElapsedTimer clock;
    clock.start();
    const int fd = bench.openControlSocket();
    if (fd < 0)
        return -1;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval limit {};
    limit.tv_sec = WAIT_TIMEOUT_MS / 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    libsock::CProtoPacket packet;
    CProtoClient::loginRequest(packet, bench.userName(index), bench.password(index));
    char reply[27];
    const bool ok = sendAll(fd, QByteArray(packet.data(), packet.totalLength()))
        && receiveExactly(fd, reply, sizeof reply) && reply[22] == libsock::RESULT_OK;
    ::close(fd);
    return ok ? clock.nsecsElapsed() : -1;
}

qint64 CMassFigures::quietLogin(int index) const
{
    std::vector<qint64> times;
    for (int i = 0; i < 5; ++i)
        times.push_back(newLogin(index));
    return std::any_of(times.begin(), times.end(), [](qint64 t) { return t < 0; }) ? -1
                                                                                   : median(times);
}

int CMassFigures::reachableConnections(int wanted, bool filePortToo, QString *why) const
{
    const int limit = CSwarm::raiseDescriptorLimit();
    // The server inherits the limit; a file connection may hold an archive too.
    const double perConnection = filePortToo ? 1.5 : 1.0;
    const int byServer = int(double(limit - 64 - DESCRIPTOR_SLACK) / perConnection);
    const int byBench = limit - DESCRIPTOR_SLACK;
    const int reachable = qMin(wanted, qMin(byServer, byBench));
    if (reachable < wanted) {
        *why = QStringLiteral("the open-files limit here is %1 (hard), for the bench and the "
                              "server alike")
                   .arg(limit);
    }
    return reachable;
}

bool CMassFigures::massEvents(int n, qint64 &connect, qint64 &hangUp, qint64 &quiet)
{
    if (!startHeadless(MANY_HOSTS))
        return false;
    bool ok = newLogin(1) > 0;
    quiet = ok ? quietLogin(2) : -1;
    ok = ok && quiet > 0;
    CSwarm swarm;
    const std::vector<quint16> ports { bench.server->mainPort(), bench.server->filePort() };
    ok = ok && swarm.open(ports, n, SWARM_PER_ADDRESS, WAIT_TIMEOUT_MS);
    // The new client's connection comes behind all of them in the server's queue.
    connect = ok ? newLogin(3) : -1;
    ok = ok && connect > 0;
    // Every connection taken by the server before they all hang up at once.
    const int base = openDescriptors(bench.server->processId()) - n;
    ok = ok
        && waitUntil([&] { return openDescriptors(bench.server->processId()) >= base + n; },
            WAIT_TIMEOUT_MS);
    pause(500);
    // The clients' own closes take this process a while (each sends its FIN through the
    // loopback); the server's part is what is left when the last one has gone.
    QElapsedTimer closing;
    closing.start();
    swarm.closeAll();
    const qint64 closed = closing.nsecsElapsed();
    hangUp = ok ? newLogin(4) : -1;
    ok = ok && hangUp > 0;
    if (!swarm.errorText().isEmpty())
        bench.note(QStringLiteral("  swarm: %1").arg(swarm.errorText()));
    bench.note(QStringLiteral("  %1 connections: new login %2 ms after the mass connect, %3 ms "
                              "after the mass hang-up (the clients' closes took %4 ms), %5 ms "
                              "quiet")
                   .arg(n)
                   .arg(ms(connect), ms(hangUp), ms(closed), ms(quiet)));
    return bench.stopServer() && ok;
}

bool CMassFigures::measureMassEvents()
{
    bench.note(QStringLiteral("figure 15: mass connect and hang-up, half per port, %1 per host")
                   .arg(SWARM_PER_ADDRESS));
    qint64 hangUpAt1000 = -1;
    qint64 connectAt1000 = -1;
    bool ok = true;
    for (const int n : MASS_SIZES) {
        QString why;
        const int reachable = reachableConnections(n, true, &why);
        CBenchRunner::Row connectRow;
        connectRow.figure = QStringLiteral("15 new login after a mass connect of %1").arg(n);
        CBenchRunner::Row hangUpRow;
        hangUpRow.figure = QStringLiteral("15 new login after a mass hang-up of %1").arg(n);
        qint64 connect = -1;
        qint64 hangUp = -1;
        qint64 quiet = -1;
        if (reachable < n) {
            bench.note(QStringLiteral("  %1 connections not measured: %2").arg(n).arg(why));
            for (CBenchRunner::Row *row : { &connectRow, &hangUpRow }) {
                row->measured = QStringLiteral("not measured");
                row->yardstick = why;
                row->ratio = QStringLiteral("-");
                row->target = QStringLiteral("(figure only)");
                row->met = true;
                bench.rows.push_back(*row);
            }
            continue;
        }
        if (!massEvents(n, connect, hangUp, quiet)) {
            ok = false;
            continue;
        }
        if (n == 1000) {
            hangUpAt1000 = hangUp;
            connectAt1000 = connect;
        }
        const auto fill = [&](CBenchRunner::Row &row, qint64 measured, qint64 at1000) {
            row.measured = QStringLiteral("%1 ms").arg(ms(measured));
            row.yardstick = QStringLiteral("%1 ms quiet; %2 ms at 1000")
                                .arg(ms(quiet), at1000 > 0 ? ms(at1000) : QStringLiteral("-"));
            const double growth = at1000 > 0 ? double(measured) / double(at1000) : 1;
            row.ratio = QString::number(growth, 'f', 2);
            if (n == 10000) {
                row.target = QStringLiteral("<= 100 ms, <= 12x the time at 1000");
                row.met = double(measured) / 1e6 <= MAX_MASS_MS && growth <= MAX_MASS_GROWTH;
            } else {
                row.target = QStringLiteral("(figure only)");
                row.met = true;
            }
            bench.rows.push_back(row);
        };
        fill(connectRow, connect, n == 1000 ? -1 : connectAt1000);
        fill(hangUpRow, hangUp, n == 1000 ? -1 : hangUpAt1000);
    }
    return ok;
}

bool CMassFigures::measureIdleConnections()
{
    QString why;
    const int n = reachableConnections(bench.connections, false, &why);
    bench.note(QStringLiteral("figure 3: %1 idle control connections, %2 per host%3")
                   .arg(n)
                   .arg(SWARM_PER_ADDRESS)
                   .arg(n < bench.connections
                           ? QStringLiteral(" (%1 asked for: %2)").arg(bench.connections).arg(why)
                           : QString()));
    if (!startHeadless(MANY_HOSTS))
        return false;
    // Warm up: the first login loads what every later one shares.
    bool ok = newLogin(1) > 0;
    const qint64 quiet = quietLogin(2);
    pause(1000);
    const qint64 before = bench.server->residentKiB();
    CSwarm swarm;
    ok = ok && quiet > 0
        && swarm.open({ bench.server->mainPort() }, n, SWARM_PER_ADDRESS, WAIT_TIMEOUT_MS);
    // Taken by the server before it is measured: nothing left in its accept queue.
    ok = ok && newLogin(3) > 0;
    pause(1000);
    const qint64 idle = bench.server->residentKiB();
    int answered = 0;
    // A login on each: what a connection keeps once it has served a request.
    ok = ok
        && swarm.exchangeAll(
            bench.server->mainPort(),
            [this](libsock::CProtoPacket &packet, int index) {
                const int user = index % bench.users + 1;
                CProtoClient::loginRequest(packet, bench.userName(user), bench.password(user));
            },
            WAIT_TIMEOUT_MS, &answered);
    pause(1000);
    const qint64 after = bench.server->residentKiB();
    const qint64 crowded = ok ? quietLogin(3) : -1;
    if (!swarm.errorText().isEmpty())
        bench.note(QStringLiteral("  swarm: %1").arg(swarm.errorText()));
    bench.note(QStringLiteral("  answered %1 of %2; RSS %3 -> %4 (idle) -> %5 KiB; new login "
                              "%6 ms, %7 ms without them")
                   .arg(answered)
                   .arg(n)
                   .arg(before)
                   .arg(idle)
                   .arg(after)
                   .arg(ms(crowded), ms(quiet)));
    swarm.closeAll();
    if (!bench.stopServer() || !ok || answered != n || crowded < 0)
        return false;
    const double perConnection = double(after - before) * 1024.0 / n;
    CBenchRunner::Row memory;
    memory.figure
        = QStringLiteral("3 memory per control connection (%1 open, all answered)").arg(n);
    memory.measured = QStringLiteral("%1 KB").arg(perConnection / 1000, 0, 'f', 1);
    memory.yardstick = QStringLiteral("%1 KB before the logins")
                           .arg(double(idle - before) * 1024.0 / n / 1000, 0, 'f', 1);
    memory.ratio = QString::number(perConnection / MAX_IDLE_BYTES, 'f', 2);
    memory.target = QStringLiteral("<= 10 KB (ratio to it <= 1)");
    memory.met = perConnection <= MAX_IDLE_BYTES;
    bench.rows.push_back(memory);
    CBenchRunner::Row latency;
    latency.figure = QStringLiteral("3 new login with %1 idle connections open").arg(n);
    latency.measured = QStringLiteral("%1 ms").arg(ms(crowded));
    latency.yardstick = QStringLiteral("%1 ms before they opened").arg(ms(quiet));
    latency.ratio = QString::number(double(crowded) / double(quiet), 'f', 2);
    latency.target = QStringLiteral("ratio <= 2");
    latency.met = double(crowded) / double(quiet) <= MAX_IDLE_RTT_RATIO;
    bench.rows.push_back(latency);
    return true;
}

bool CMassFigures::setFloodPasswords(const QString &hash)
{
    if (!bench.openDirect(QStringLiteral("bench-flood"), bench.server->databaseFile()))
        return false;
    bool ok = false;
    {
        // A hash for the users the flood names, or their plain passwords of the other figures.
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("bench-flood")));
        ok = query.prepare(hash.isEmpty()
                ? QStringLiteral("update t_user set password = 'pw' || substr(name, 5) where "
                                 "object_id <= ?")
                : QStringLiteral("update t_user set password = ? where object_id <= ?"));
        if (!hash.isEmpty())
            query.addBindValue(hash);
        query.addBindValue(FLOOD_USERS);
        ok = ok && query.exec();
        if (!ok)
            bench.note(
                QStringLiteral("cannot set the passwords: %1").arg(query.lastError().text()));
    }
    QSqlDatabase::database(QStringLiteral("bench-flood")).close();
    QSqlDatabase::removeDatabase(QStringLiteral("bench-flood"));
    return ok;
}

bool CMassFigures::measureHashFlood()
{
    const CPasswordHasher::Params params;
    bench.note(QStringLiteral("figure 16: %1 hosts pipelining wrong-password logins and taken-name "
                              "add-users for %2 s, Argon2id m=%3 KiB t=%4")
                   .arg(FLOOD_HOSTS)
                   .arg(FLOOD_MS / 1000)
                   .arg(params.memoryKiB)
                   .arg(params.iterations));
    const QString hash = CPasswordHasher::instance()->hash(FLOOD_PASSWORD, params);
    bool ok = !hash.isEmpty() && setFloodPasswords(hash);
    ok = ok && startHeadless(HASHED_HOSTS);
    // One check of the same hash in the benchmark, one thread: the yardstick.
    const qint64 checks = ok
        ? CHashVerifyRate::verifications(hash.toLatin1(), FLOOD_PASSWORD.toUtf8(), 1, 2000)
        : 0;
    const double verifyMs = checks > 0 ? 2000.0 / double(checks) : 0;
    CProtoClient honest;
    ok = ok && checks > 0 && honest.connectToServer(LOCALHOST, bench.server->mainPort())
        && honest.login(bench.userName(1), FLOOD_PASSWORD) && honest.result() == 0;
    pause(1000);
    const qint64 before = bench.server->residentKiB();
    qint64 peak = before;

    CSwarm flooders;
    ok = ok && flooders.open({ bench.server->mainPort() }, FLOOD_HOSTS, 1, WAIT_TIMEOUT_MS);
    std::atomic<bool> flooded { false };
    std::thread flood;
    if (ok) {
        flood = std::thread([&] {
            QRandomGenerator random(16);
            flooded = flooders.flood(
                bench.server->mainPort(),
                [&](libsock::CProtoPacket &packet, int) {
                    // Someone's name, a wrong password; or someone's name taken again.
                    const int user = 2 + int(random.bounded(FLOOD_USERS - 1));
                    if (random.bounded(2) == 0)
                        CProtoClient::loginRequest(
                            packet, bench.userName(user), QStringLiteral("x"));
                    else
                        CProtoClient::addUserRequest(
                            packet, bench.userName(user), QStringLiteral("x"));
                },
                FLOOD_MS);
        });
    }
    std::vector<qint64> times;
    QElapsedTimer clock;
    clock.start();
    while (ok && clock.elapsed() < FLOOD_MS) {
        QElapsedTimer one;
        one.start();
        ok = honest.login(bench.userName(1), FLOOD_PASSWORD) && honest.result() == 0;
        times.push_back(one.nsecsElapsed());
        peak = qMax(peak, bench.server->residentKiB());
        pause(20);
    }
    flooders.stop();
    if (flood.joinable())
        flood.join();
    // The flood ends: the hosts hang up. What they left is done once the server goes quiet.
    flooders.closeAll();
    QElapsedTimer after;
    after.start();
    qint64 backlogMs = -1;
    double cpu = processSeconds(bench.server->processId());
    while (ok && after.elapsed() < 60000) {
        pause(100);
        peak = qMax(peak, bench.server->residentKiB());
        const double now = processSeconds(bench.server->processId());
        // Under a tenth of a core over the last tenth of a second: nothing left to do.
        if (now - cpu < 0.01) {
            backlogMs = after.elapsed() - 100;
            break;
        }
        cpu = now;
    }
    bench.note(QStringLiteral("  %1 requests sent, %2 answered; %3 honest logins; RSS %4 -> peak "
                              "%5 KiB; one verify %6 ms")
                   .arg(flooders.requestsSent())
                   .arg(flooders.repliesRead())
                   .arg(times.size())
                   .arg(before)
                   .arg(peak)
                   .arg(verifyMs, 0, 'f', 2));
    if (!flooders.errorText().isEmpty())
        bench.note(QStringLiteral("  flooders: %1").arg(flooders.errorText()));
    bench.note(QStringLiteral("  quiet %1 ms after the hosts hung up%2")
                   .arg(backlogMs)
                   .arg(flooded ? QString() : QStringLiteral(" (the flood failed)")));
    ok = bench.stopServer() && ok && flooded && !times.empty() && backlogMs >= 0;
    // The plain passwords of the other figures again.
    ok = setFloodPasswords(QString()) && ok;
    if (!ok)
        return false;
    std::sort(times.begin(), times.end());
    const double p99 = double(percentile(times, 0.99)) / 1e6;
    CBenchRunner::Row latency;
    latency.figure
        = QStringLiteral("16 honest login during a hash flood from %1 hosts").arg(FLOOD_HOSTS);
    latency.measured = QStringLiteral("p50 %1 ms, p99 %2 ms (%3 logins)")
                           .arg(ms(percentile(times, 0.5)), ms(percentile(times, 0.99)))
                           .arg(times.size());
    latency.yardstick = QStringLiteral("%1 ms one verify, one thread").arg(verifyMs, 0, 'f', 2);
    latency.ratio = QString::number(p99 / verifyMs, 'f', 1);
    latency.target = QStringLiteral("p99 <= 20 verifies");
    latency.met = p99 <= MAX_FLOOD_P99_VERIFIES * verifyMs;
    bench.rows.push_back(latency);
    CBenchRunner::Row growth;
    growth.figure = QStringLiteral("16 server growth during the hash flood");
    growth.measured = QStringLiteral("%1 MB").arg(double(peak - before) * 1.024 / 1000, 0, 'f', 1);
    growth.yardstick
        = QStringLiteral("%1 MB resident before").arg(double(before) * 1.024 / 1000, 0, 'f', 1);
    growth.ratio = QString::number(double(peak - before) * 1024 / MAX_FLOOD_GROWTH_BYTES, 'f', 2);
    growth.target = QStringLiteral("<= 50 MB (ratio to it <= 1)");
    growth.met = double(peak - before) * 1024 <= MAX_FLOOD_GROWTH_BYTES;
    bench.rows.push_back(growth);
    CBenchRunner::Row backlog;
    backlog.figure = QStringLiteral("16 backlog after the hash flood's end");
    backlog.measured = QStringLiteral("%1 ms").arg(backlogMs);
    backlog.yardstick = QStringLiteral("quiet: the server's processor time stands still");
    backlog.ratio = QString::number(double(backlogMs) / MAX_BACKLOG_MS, 'f', 2);
    backlog.target = QStringLiteral("<= 2000 ms (ratio to it <= 1)");
    backlog.met = backlogMs <= MAX_BACKLOG_MS;
    bench.rows.push_back(backlog);
    return true;
}
