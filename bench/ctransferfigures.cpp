#include "ctransferfigures.h"

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
#include "csavesum.h"
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

// Sums kept and checked, as close to a plain copy as the transfer itself.
constexpr double MIN_TRANSFER_RATIO = 0.9;
constexpr double MIN_TLS_TRANSFER_RATIO = 0.8;
// The server's side of a handshake runs in its own process, so a login on top of it may cost
// up to half the rate of bare handshakes in one process.
constexpr double MIN_HANDSHAKE_RATIO = 0.5;

} // namespace

CTransferFigures::CTransferFigures(CBenchRunner &runner)
    : bench(runner)
{
}

bool CTransferFigures::serverDownload(const QString &target, double &secondsTaken)
{
    QElapsedTimer clock;
    clock.start();
    CFileClient client;
    client.setTls(transferTls);
    QSaveFile sink(target);
    if (!sink.open(QIODevice::WriteOnly)
        || !client.connectToServer(LOCALHOST, bench.server->filePort())
        || !client.download(DETAIL, DETAIL, SAVE_NAME, sink) || !sink.commit()) {
        bench.note(QStringLiteral("download failed: %1, result %2")
                       .arg(libsock::clientErrorText(client.clientError()))
                       .arg(client.result()));
        return false;
    }
    secondsTaken = double(clock.nsecsElapsed()) / 1e9;
    client.disconnectFromHost();
    return client.transferred() == bench.sizeMiB * 1024 * 1024;
}

bool CTransferFigures::serverUpload(const QString &source, double &secondsTaken)
{
    QFile file(source);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QElapsedTimer clock;
    clock.start();
    CFileClient client;
    client.setTls(transferTls);
    if (!client.connectToServer(LOCALHOST, bench.server->filePort())
        || !client.upload(DETAIL, DETAIL, SAVE_NAME + QStringLiteral("-up"), file)) {
        bench.note(QStringLiteral("upload failed: %1, result %2")
                       .arg(libsock::clientErrorText(client.clientError()))
                       .arg(client.result()));
        return false;
    }
    secondsTaken = double(clock.nsecsElapsed()) / 1e9;
    return client.transferred() == bench.sizeMiB * 1024 * 1024;
}

bool CTransferFigures::plainCopy(bool toBench, const QString &file, double &secondsTaken)
{
    const QString save
        = bench.server->storageDir() + QLatin1Char('/') + SAVE_NAME + QStringLiteral(".z");
    QProcess helper;
    helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    helper.start(QCoreApplication::applicationFilePath(),
        { toBench ? QStringLiteral("--plain-send") : QStringLiteral("--plain-receive"),
            toBench ? save : file });
    if (!helper.waitForStarted(10000) || !helper.waitForReadyRead(10000))
        return false;
    const quint16 port = quint16(helper.readLine().trimmed().toUInt());
    qint64 bytes = 0;
    QElapsedTimer clock;
    clock.start();
    const bool ok = toBench ? CPlainCopy::receiveFrom(port, file, bytes)
                            : CPlainCopy::sendTo(port, save, bytes);
    secondsTaken = double(clock.nsecsElapsed()) / 1e9;
    const bool ended = helper.waitForFinished(60000) && helper.exitCode() == 0;
    return ok && ended && bytes == bench.sizeMiB * 1024 * 1024;
}

bool CTransferFigures::measureTransfers()
{
    bench.note(QStringLiteral("figure 2: transfers of %1 MiB, best of %2")
                   .arg(bench.sizeMiB)
                   .arg(bench.repeats));
    const qint64 size = bench.sizeMiB * 1024 * 1024;
    const QString save
        = bench.server->storageDir() + QLatin1Char('/') + SAVE_NAME + QStringLiteral(".z");
    // The save with its sum, as an upload leaves it, so that its downloads are checked: of
    // both kinds, so that a server of either kind (--compare) checks it.
    if (!bench.createSave(save, size) || !keepSums(save) || !bench.startServer(NO_ADDRESS_CAP))
        return false;
    const QString received = bench.server->path(QStringLiteral("received.bin"));
    const QString plainUp = bench.server->path(QStringLiteral("plain-up.bin"));
    const QString serverUp
        = bench.server->storageDir() + QLatin1Char('/') + SAVE_NAME + QStringLiteral("-up.z");

    // Every timed upload replaces an existing save, as a game's do: the server keeps the
    // replaced archive as a version, and that must cost next to nothing.
    double best[4] = { 1e9, 1e9, 1e9, 1e9 }; // plain down, server down, plain up, server up
    bool ok = QFile::copy(save, serverUp);
    for (int i = 0; ok && i < bench.repeats; ++i) {
        double taken[4] = {};
        ok = plainCopy(true, received, taken[0]) && QFile::remove(received)
            && serverDownload(received, taken[1]) && QFile::remove(received)
            && plainCopy(false, plainUp, taken[2]) && QFile::remove(plainUp)
            && serverUpload(save, taken[3]) && QFileInfo(serverUp).size() == size;
        for (int k = 0; ok && k < 4; ++k)
            best[k] = qMin(best[k], taken[k]);
        bench.note(QStringLiteral("  run %1: plain down %2 s, server down %3 s, plain up %4 s, "
                                  "server up %5 s")
                       .arg(i + 1)
                       .arg(taken[0], 0, 'f', 3)
                       .arg(taken[1], 0, 'f', 3)
                       .arg(taken[2], 0, 'f', 3)
                       .arg(taken[3], 0, 'f', 3));
    }
    if (!bench.stopServer() || !ok)
        return false;
    transferRows(QStringLiteral("2"), QStringLiteral("plain copy"), size, best, MIN_TRANSFER_RATIO);
    return true;
}

bool CTransferFigures::keepSums(const QString &save)
{
    const QString sha = CSaveSum::compute(save, CSaveSum::Kind::Sha256);
    QFile older(CSaveSum::fileName(save, CSaveSum::Kind::Sha256));
    const QByteArray line = sha.toLatin1() + '\n';
    return !sha.isEmpty() && CSaveSum::write(save, CSaveSum::compute(save))
        && older.open(QIODevice::WriteOnly) && older.write(line) == line.size();
}

void CTransferFigures::transferRows(const QString &figure, const QString &yardstickName,
    qint64 size, const double best[4], double minRatio)
{
    // best: yardstick down, server down, yardstick up, server up, in seconds.
    for (int direction = 0; direction < 2; ++direction) {
        const double yardstick = mib(double(size)) / best[direction * 2];
        const double served = mib(double(size)) / best[direction * 2 + 1];
        CBenchRunner::Row row;
        row.figure = QStringLiteral("%1 %2 a %3 MiB save")
                         .arg(figure,
                             direction == 0 ? QStringLiteral("download of")
                                            : QStringLiteral("upload replacing"))
                         .arg(bench.sizeMiB);
        row.measured = QStringLiteral("%1 MiB/s").arg(served, 0, 'f', 0);
        row.yardstick = QStringLiteral("%1 MiB/s %2").arg(yardstick, 0, 'f', 0).arg(yardstickName);
        row.ratio = QString::number(served / yardstick, 'f', 2);
        row.target = QStringLiteral("ratio >= %1").arg(minRatio, 0, 'f', 2);
        row.met = served / yardstick >= minRatio;
        bench.rows.push_back(row);
    }
}

bool CTransferFigures::measureTls()
{
    bench.note(QStringLiteral("figure 10: TLS transfers of %1 MiB (best of %2) and handshakes")
                   .arg(bench.sizeMiB)
                   .arg(bench.repeats));
    const qint64 size = bench.sizeMiB * 1024 * 1024;
    const QString save
        = bench.server->storageDir() + QLatin1Char('/') + SAVE_NAME + QStringLiteral(".z");
    CTlsBench tls;
    QString error;
    if (!tls.prepare(bench.server->path(QStringLiteral("work")), &error)) {
        bench.note(error);
        return false;
    }
    if (!bench.createSave(save, size) || !bench.startServer(NO_ADDRESS_CAP + tls.iniSection()))
        return false;
    const QString received = bench.server->path(QStringLiteral("received.bin"));
    const QString serverUp
        = bench.server->storageDir() + QLatin1Char('/') + SAVE_NAME + QStringLiteral("-up.z");
    transferTls = tls.clientTls();
    // Loopback copy down, server down, loopback copy up, server up.
    double best[4] = { 1e9, 1e9, 1e9, 1e9 };
    bool ok = QFile::copy(save, serverUp) || QFileInfo::exists(serverUp);
    for (int i = 0; ok && i < bench.repeats; ++i) {
        double taken[4] = {};
        ok = tls.loopbackCopy(save, received, taken[0]) && QFile::remove(received)
            && serverDownload(received, taken[1]) && QFile::remove(received)
            && tls.loopbackCopy(save, received, taken[2]) && QFile::remove(received)
            && serverUpload(save, taken[3]) && QFileInfo(serverUp).size() == size;
        for (int k = 0; ok && k < 4; ++k)
            best[k] = qMin(best[k], taken[k]);
        bench.note(QStringLiteral("  run %1: loopback %2 s, server down %3 s, loopback %4 s, "
                                  "server up %5 s")
                       .arg(i + 1)
                       .arg(taken[0], 0, 'f', 3)
                       .arg(taken[1], 0, 'f', 3)
                       .arg(taken[2], 0, 'f', 3)
                       .arg(taken[3], 0, 'f', 3));
    }
    transferTls = libsock::CClientTls();
    // Handshakes and logins: one client after the other, beside the same without TLS.
    const int msec = qMin(bench.seconds, 5) * 1000;
    double tlsLogins = 0;
    double plainLogins = 0;
    double handshakes = 0;
    ok = ok
        && CTlsBench::serverLogins(bench.server->mainPort(), tls.clientTls(), bench.userName(1),
            bench.password(1), msec, tlsLogins, &error)
        && CTlsBench::serverLogins(bench.server->mainPort(), libsock::CClientTls(),
            bench.userName(1), bench.password(1), msec, plainLogins, &error)
        && tls.loopbackHandshakes(msec, handshakes);
    if (!ok && !error.isEmpty())
        bench.note(error);
    if (!bench.stopServer() || !ok)
        return false;
    transferRows(QStringLiteral("10 TLS"), QStringLiteral("QSslSocket loopback copy"), size, best,
        MIN_TLS_TRANSFER_RATIO);
    CBenchRunner::Row row;
    row.figure = QStringLiteral("10 TLS handshakes with a login each, one client");
    row.measured = QStringLiteral("%1 /s (plain: %2 /s)")
                       .arg(tlsLogins, 0, 'f', 0)
                       .arg(plainLogins, 0, 'f', 0);
    row.yardstick
        = QStringLiteral("%1 /s handshake + round trip in one process").arg(handshakes, 0, 'f', 0);
    row.ratio = QString::number(tlsLogins / handshakes, 'f', 2);
    row.target = QStringLiteral("ratio >= %1").arg(MIN_HANDSHAKE_RATIO, 0, 'f', 2);
    row.met = tlsLogins / handshakes >= MIN_HANDSHAKE_RATIO;
    bench.rows.push_back(row);
    return true;
}
