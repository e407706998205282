#include "cguardfigures.h"

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

constexpr double MAX_GUESS_RATIO = 0.001;
constexpr double MAX_FLOOD_GROWTH = 4e6;
// More lines than the server's log keeps (100000), and the size of a login reply.
constexpr int LOG_FILL_LINES = 110000;
constexpr int LOGIN_REPLY_SIZE = 27;

} // namespace

CGuardFigures::CGuardFigures(CBenchRunner &runner)
    : bench(runner)
{
}

bool CGuardFigures::fillServerLog(const QByteArray &request)
{
    const int fd = bench.openControlSocket();
    if (fd < 0)
        return false;
    timeval limit {};
    limit.tv_sec = 60;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    // Sent by a thread while this one reads every reply, so neither side waits on the other.
    QByteArray all;
    all.reserve(qsizetype(request.size()) * LOG_FILL_LINES);
    for (int i = 0; i < LOG_FILL_LINES; ++i)
        all += request;
    std::thread sender([fd, &all] { sendAll(fd, all); });
    QByteArray replies(qsizetype(LOG_FILL_LINES) * LOGIN_REPLY_SIZE, Qt::Uninitialized);
    const bool ok = receiveExactly(fd, replies.data(), replies.size());
    ::shutdown(fd, SHUT_RDWR);
    sender.join();
    ::close(fd);
    bench.note(QStringLiteral("  server log filled with %1 lines").arg(LOG_FILL_LINES));
    return ok;
}

bool CGuardFigures::measureFlood()
{
    bench.note(QStringLiteral("figure 6: %1 logins during a flood of %2 pipelined login packets")
                   .arg(bench.logins)
                   .arg(bench.floodPackets));
    if (!bench.startServer(NO_LOCKS))
        return false;
    std::vector<qint64> quiet;
    std::vector<qint64> loaded;
    // Warms up as well: the first login loads what every later one shares.
    // One login packet of 28 bytes, the whole flood built up front.
    libsock::CProtoPacket login;
    CProtoClient::loginRequest(login, QStringLiteral("a"), QStringLiteral("b"));
    const QByteArray one(login.data(), login.totalLength());
    QByteArray flood;
    flood.reserve(qsizetype(one.size()) * bench.floodPackets);
    for (int i = 0; i < bench.floodPackets; ++i)
        flood += one;

    // The server's log keeps its last lines up to a bound; fill it first, as on a server
    // that has run a while, so that what grows below is what the flood itself holds.
    bool ok = fillServerLog(one) && bench.loginRoundTrips(bench.logins, quiet);
    pause(1000);
    const qint64 before = bench.server->residentKiB();

    const int floodFd = ok ? bench.openControlSocket() : -1;
    ok = ok && floodFd >= 0;
    std::atomic<qint64> sent { 0 };
    std::thread flooder;
    qint64 peak = before;
    qint64 floodSent = 0;
    if (ok) {
        // The flooder writes everything and reads nothing; it blocks once TCP holds it back.
        flooder = std::thread([&sent, &flood, floodFd] {
            const char *data = flood.constData();
            qint64 left = flood.size();
            while (left > 0) {
                const ssize_t n
                    = ::send(floodFd, data, size_t(qMin<qint64>(left, 65536)), MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                data += n;
                left -= n;
                sent += n;
            }
        });
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout, &sampler,
            [&] { peak = qMax(peak, bench.server->residentKiB()); });
        sampler.start(50);
        waitUntil([&] { return sent.load() > 1024 * 1024; }, 10000);
        // Logins in rounds, for as long as the flood still makes headway, and at least once.
        qint64 lastSent = -1;
        QElapsedTimer still;
        still.start();
        QElapsedTimer total;
        total.start();
        while (ok && total.elapsed() < 60000) {
            std::vector<qint64> round;
            ok = bench.loginRoundTrips(bench.logins, round);
            loaded.insert(loaded.end(), round.begin(), round.end());
            if (sent.load() != lastSent) {
                lastSent = sent.load();
                still.restart();
            } else if (still.elapsed() > 2000) {
                break;
            }
        }
        pause(500);
        peak = qMax(peak, bench.server->residentKiB());
        floodSent = sent.load();
        ::shutdown(floodFd, SHUT_RDWR);
        flooder.join();
    }
    if (floodFd >= 0)
        ::close(floodFd);
    bench.note(
        QStringLiteral("  flood sent %1 of %2 MiB before TCP held it back; RSS %3 -> peak %4 KiB")
            .arg(mib(double(floodSent)), 0, 'f', 1)
            .arg(mib(double(flood.size())), 0, 'f', 1)
            .arg(before)
            .arg(peak));
    if (!bench.stopServer() || !ok || loaded.empty())
        return false;
    std::sort(loaded.begin(), loaded.end());
    const qint64 p99 = percentile(loaded, 0.99);
    CBenchRunner::Row latency;
    latency.figure
        = QStringLiteral("6 login round trip during a %1-packet flood").arg(bench.floodPackets);
    latency.measured = QStringLiteral("p50 %1 ms, p99 %2 ms (%3 logins)")
                           .arg(ms(percentile(loaded, 0.5)), ms(p99))
                           .arg(loaded.size());
    latency.yardstick = QStringLiteral("p50 %1 ms, p99 %2 ms quiet")
                            .arg(ms(percentile(quiet, 0.5)), ms(percentile(quiet, 0.99)));
    latency.ratio = QString::number(double(p99) / 1e6 / MAX_P99_MS, 'f', 2);
    latency.target = QStringLiteral("p99 < 50 ms (ratio to it < 1)");
    latency.met = double(p99) / 1e6 < MAX_P99_MS;
    bench.rows.push_back(latency);

    const double growth = double(peak - before) * 1024.0;
    CBenchRunner::Row memory;
    memory.figure = QStringLiteral("6 server growth during the flood");
    memory.measured = QStringLiteral("%1 MB").arg(growth / 1e6, 0, 'f', 2);
    memory.yardstick
        = QStringLiteral("%1 MB resident before").arg(double(before) * 1024 / 1e6, 0, 'f', 1);
    memory.ratio = QString::number(growth / MAX_FLOOD_GROWTH, 'f', 2);
    memory.target = QStringLiteral("< 4 MB (ratio to it < 1)");
    memory.met = growth < MAX_FLOOD_GROWTH;
    bench.rows.push_back(memory);
    return true;
}

bool CGuardFigures::guessPasswords(qint64 &tested, double &perSecond)
{
    const int fd = bench.openControlSocket();
    if (fd < 0)
        return false;
    const auto login = [](const QString &name, const QString &password) {
        libsock::CProtoPacket packet;
        CProtoClient::loginRequest(packet, name, password);
        return QByteArray(packet.data(), packet.totalLength());
    };
    // Four wrong guesses, then the right password: its success proves the four were tested,
    // and a refusal that the server stopped testing. Rounds are sent 32 at a time.
    constexpr int WRONG_PER_ROUND = 4;
    constexpr int ROUNDS_PER_BATCH = 32;
    constexpr int REPLY_SIZE = libsock::PACKET_HEADER_SIZE + 5;
    const QString name = bench.userName(1);
    const QByteArray right = login(name, bench.password(1));
    tested = 0;
    qint64 answered = 0;
    qint64 guess = 0;
    bool locked = false;
    bool ok = true;
    QElapsedTimer clock;
    clock.start();
    QByteArray replies(ROUNDS_PER_BATCH * (WRONG_PER_ROUND + 1) * REPLY_SIZE, Qt::Uninitialized);
    while (ok && clock.elapsed() < qint64(bench.seconds) * 1000) {
        QByteArray batch;
        for (int round = 0; round < ROUNDS_PER_BATCH; ++round) {
            for (int i = 0; i < WRONG_PER_ROUND; ++i)
                batch += login(name, QStringLiteral("guess%1").arg(++guess));
            batch += right;
        }
        ok = sendAll(fd, batch) && receiveExactly(fd, replies.data(), replies.size());
        for (int round = 0; ok && round < ROUNDS_PER_BATCH; ++round) {
            const int rightReply = (round * (WRONG_PER_ROUND + 1) + WRONG_PER_ROUND) * REPLY_SIZE;
            locked = locked || replies.at(rightReply + libsock::PACKET_HEADER_SIZE) != 0;
            if (!locked)
                tested += WRONG_PER_ROUND;
        }
        answered += ROUNDS_PER_BATCH * (WRONG_PER_ROUND + 1);
    }
    perSecond = double(tested) * 1000.0 / double(qMax<qint64>(1, clock.elapsed()));
    ::close(fd);
    bench.note(QStringLiteral("  %1 logins answered, %2 guesses tested, %3 /s%4")
                   .arg(answered)
                   .arg(tested)
                   .arg(perSecond, 0, 'f', 1)
                   .arg(locked ? QStringLiteral(", then locked") : QString()));
    return ok;
}

bool CGuardFigures::measureGuesses()
{
    bench.note(
        QStringLiteral("figure 5: password guesses one client tests in %1 s").arg(bench.seconds));
    qint64 testedBefore = 0;
    qint64 testedAfter = 0;
    double before = 0;
    double after = 0;
    bench.note(QStringLiteral("  without lockout:"));
    bool ok = bench.startServer(NO_LOCKS) && guessPasswords(testedBefore, before);
    ok = bench.stopServer() && ok;
    bench.note(QStringLiteral("  with the default lockout:"));
    ok = ok && bench.startServer(NO_ADDRESS_CAP) && guessPasswords(testedAfter, after);
    ok = bench.stopServer() && ok;
    if (!ok || before <= 0)
        return false;
    CBenchRunner::Row row;
    row.figure = QStringLiteral("5 password guesses tested, one client, %1 s").arg(bench.seconds);
    row.measured = QStringLiteral("%1 /s (%2 in all)").arg(after, 0, 'f', 2).arg(testedAfter);
    row.yardstick = QStringLiteral("%1 /s without lockout (%2 in all)")
                        .arg(before, 0, 'f', 0)
                        .arg(testedBefore);
    row.ratio = QString::number(after / before, 'g', 2);
    row.target = QStringLiteral("ratio <= 0.001");
    row.met = after / before <= MAX_GUESS_RATIO;
    bench.rows.push_back(row);
    return true;
}
