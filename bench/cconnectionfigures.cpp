#include "cconnectionfigures.h"

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

constexpr double MAX_LOADED_WORST_MS = 50;
constexpr double MAX_LOADED_P99_EXCESS_MS = 5;

} // namespace

CConnectionFigures::CConnectionFigures(CBenchRunner &runner)
    : bench(runner)
{
}

int CConnectionFigures::openStalledDownload(const QString &saveName)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(bench.server->filePort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit {};
    limit.tv_sec = 10;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    libsock::CProtoPacket request;
    request.reset().setAuxByte(0).setCommand(libsock::FILE_CMD_DOWNLOAD);
    request.writeString(DETAIL).writeString(DETAIL).writeString(saveName).writeInt64(0);
    char reply[libsock::FRAME_HEADER_SIZE + libsock::PACKET_HEADER_SIZE + 9] = {};
    libsock::CProtoPacket start;
    start.reset().setAuxByte(0).setCommand(libsock::FILE_CMD_START);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || !sendAll(fd, controlFrame(request)) || !receiveExactly(fd, reply, sizeof reply)
        || reply[libsock::FRAME_HEADER_SIZE + libsock::PACKET_HEADER_SIZE] != 0
        || !sendAll(fd, controlFrame(start))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool CConnectionFigures::measureIsolation()
{
    bench.note(QStringLiteral("figure 4: %1 logins while a %2 MiB download stalls")
                   .arg(bench.logins)
                   .arg(bench.sizeMiB));
    const QString save
        = bench.server->storageDir() + QLatin1Char('/') + SAVE_NAME + QStringLiteral(".z");
    if (!bench.createSave(save, bench.sizeMiB * 1024 * 1024) || !bench.startServer(NO_ADDRESS_CAP))
        return false;
    std::vector<qint64> quiet;
    std::vector<qint64> loaded;
    bool ok = bench.loginRoundTrips(bench.logins, quiet);
    const int stalled = ok ? openStalledDownload(SAVE_NAME) : -1;
    ok = ok && stalled >= 0;
    if (ok) {
        // Let the server fill every queue up to the stalled reader.
        int queued = -1;
        int steady = 0;
        waitUntil(
            [&] {
                int now = 0;
                ::ioctl(stalled, FIONREAD, &now);
                steady = now == queued ? steady + 1 : 0;
                queued = now;
                return steady >= 20;
            },
            10000);
        bench.note(QStringLiteral("  stalled reader holds %1 KiB unread").arg(queued / 1024));
        ok = bench.loginRoundTrips(bench.logins, loaded);
        ::close(stalled);
    }
    if (!bench.stopServer() || !ok)
        return false;
    const qint64 p99 = percentile(loaded, 0.99);
    CBenchRunner::Row row;
    row.figure = QStringLiteral("4 login round trip, %1 MiB download stalled").arg(bench.sizeMiB);
    row.measured = QStringLiteral("p50 %1 ms, p99 %2 ms").arg(ms(percentile(loaded, 0.5)), ms(p99));
    row.yardstick = QStringLiteral("p50 %1 ms, p99 %2 ms quiet")
                        .arg(ms(percentile(quiet, 0.5)), ms(percentile(quiet, 0.99)));
    row.ratio = QString::number(double(p99) / 1e6 / MAX_P99_MS, 'f', 2);
    row.target = QStringLiteral("p99 <= 50 ms (ratio to it <= 1)");
    row.met = double(p99) / 1e6 <= MAX_P99_MS;
    bench.rows.push_back(row);
    return true;
}

bool CConnectionFigures::loginsWhile(
    const std::function<bool()> &loaded, std::vector<qint64> &nanoseconds)
{
    CProtoClient client;
    if (!client.connectToServer(LOCALHOST, bench.server->mainPort()))
        return false;
    nanoseconds.clear();
    for (int i = 0; loaded(); ++i) {
        const int index = i % bench.users + 1;
        QElapsedTimer clock;
        clock.start();
        if (!client.login(bench.userName(index), bench.password(index))
            || client.result() != libsock::RESULT_OK)
            return false;
        // A round trip that ended after the load did is not counted.
        if (loaded())
            nanoseconds.push_back(clock.nsecsElapsed());
    }
    std::sort(nanoseconds.begin(), nanoseconds.end());
    return !nanoseconds.empty();
}

bool CConnectionFigures::loadedLoginRow(
    const QString &load, const std::vector<qint64> &idle, const std::vector<qint64> &loaded)
{
    const qint64 worst = loaded.back();
    const qint64 p99 = percentile(loaded, 0.99);
    const qint64 idleP99 = percentile(idle, 0.99);
    CBenchRunner::Row row;
    row.figure = QStringLiteral("8 login round trip, %1").arg(load);
    row.measured = QStringLiteral("p99 %1 ms, worst %2 ms (%3 logins)")
                       .arg(ms(p99), ms(worst))
                       .arg(loaded.size());
    row.yardstick = QStringLiteral("p99 %1 ms, worst %2 ms idle (%3 logins)")
                        .arg(ms(idleP99), ms(idle.back()))
                        .arg(idle.size());
    row.ratio = QString::number(double(worst) / 1e6 / MAX_LOADED_WORST_MS, 'f', 2);
    row.target = QStringLiteral("worst < 50 ms, p99 <= idle p99 + 5 ms");
    row.met = double(worst) / 1e6 < MAX_LOADED_WORST_MS
        && double(p99 - idleP99) / 1e6 <= MAX_LOADED_P99_EXCESS_MS;
    bench.rows.push_back(row);
    return true;
}

bool CConnectionFigures::addPurgeVictims()
{
    bool ok = bench.openDirect(QStringLiteral("bench-purge"), bench.server->databaseFile());
    QString error;
    if (ok) {
        QSqlDatabase db = QSqlDatabase::database(QStringLiteral("bench-purge"));
        ok = CPurgeLoad::addInactiveUsers(db, PURGED_USERS, &error);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-purge"));
    if (!ok)
        bench.note(QStringLiteral("cannot add the users to purge: %1").arg(error));
    return ok;
}

bool CConnectionFigures::measureLoadedLogins()
{
    bench.note(QStringLiteral("figure 8: one client's logins while two client processes each "
                              "upload %1 saves of %2 MiB in a row, and while %3 inactive users "
                              "are purged")
                   .arg(LOAD_UPLOADS)
                   .arg(LOAD_UPLOAD_MIB)
                   .arg(PURGED_USERS));
    const QString source = bench.server->path(QStringLiteral("upload-source"));
    if (!bench.createSave(source, LOAD_UPLOAD_MIB * 1024 * 1024) || !addPurgeVictims()
        || !bench.startServer(NO_ADDRESS_CAP))
        return false;
    std::vector<qint64> idle;
    std::vector<qint64> loaded;
    bool ok = bench.loginRoundTrips(bench.logins, idle);
    if (ok) {
        // Every round trip from the first byte of the uploads to the end of their commits.
        CUploadLoad uploads(
            QCoreApplication::applicationDirPath() + QStringLiteral("/tolvern-client"),
            bench.server->filePort(), source);
        uploads.start(2, LOAD_UPLOADS, SAVE_NAME + QStringLiteral("-load"));
        ok = loginsWhile([&uploads] { return uploads.running(); }, loaded);
        if (!uploads.finish()) {
            bench.note(QStringLiteral("uploads: %1").arg(uploads.errorText()));
            ok = false;
        }
    }
    ok = ok
        && loadedLoginRow(QStringLiteral("two clients uploading %1 x %2 MiB")
                              .arg(LOAD_UPLOADS)
                              .arg(LOAD_UPLOAD_MIB),
            idle, loaded);
    if (ok) {
        CPurgeLoad purge(bench.server->path(QStringLiteral("bin/tolvern-server")),
            bench.server->iniPath(), bench.server->path(QStringLiteral("work")));
        purge.start();
        ok = loginsWhile([&purge] { return purge.running(); }, loaded);
        if (!purge.finish(PURGED_USERS)) {
            bench.note(QStringLiteral("purge: %1").arg(purge.errorText()));
            ok = false;
        }
        ok = ok
            && loadedLoginRow(
                QStringLiteral("purge of %1 inactive users").arg(PURGED_USERS), idle, loaded);
    }
    QFile::remove(source);
    return bench.stopServer() && ok;
}
