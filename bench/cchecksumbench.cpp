#include "cchecksumbench.h"

#include <cstdio>
#include <sys/resource.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QMetaObject>
#include <QRandomGenerator>
#include <QSaveFile>

#include "cfileclient.h"
#include "csavesum.h"
#include "cserverfileconn.h"
#include "csha256.h"
#include "ctolvernserver.h"
#include "ctransferhasher.h"

namespace {

const QString SAVE = QStringLiteral("sums");
const QString UPLOADED = QStringLiteral("sums-up");
// At most 5 % of a transfer's time.
constexpr double MIN_RATIO = 0.95;

double mibPerSecond(qint64 bytes, double seconds)
{
    return double(bytes) / (1024.0 * 1024.0) / seconds;
}

// User and system time of this process so far: client, file port and hashing together.
double processorSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void note(const QString &line)
{
    std::fprintf(stderr, "%s\n", qPrintable(line));
}

} // namespace

CChecksumBench::CChecksumBench(qint64 sizeMiB, int runs, const QString &baseDir)
    : size(sizeMiB * 1024 * 1024)
    , repeats(runs)
{
    // As the server's core: one hashing thread on this machine's two cores.
    pool.setMaxThreadCount(qMax(1, QThread::idealThreadCount() / 2));
    const QString base = baseDir.isEmpty() ? QDir::tempPath() : baseDir;
    root = base + QStringLiteral("/tolvern-sums-%1/").arg(QCoreApplication::applicationPid());
}

CChecksumBench::~CChecksumBench()
{
    stopPort();
    QDir(root).removeRecursively();
}

std::shared_ptr<libsock::CTransferDigest> CChecksumBench::uploadDigest(
    quint64 upload, const QString &fileName)
{
    Q_UNUSED(upload);
    Q_UNUSED(fileName);
    return hashUploads ? std::make_shared<CTransferHasher>(&pool) : nullptr;
}

// As the server's core.
std::shared_ptr<libsock::CTransferDigest> CChecksumBench::downloadDigest(
    const QString &fileName, QString *expected)
{
    *expected = CSaveSum::read(root + fileName);
    return expected->isEmpty() ? nullptr : std::make_shared<CTransferHasher>(&pool);
}

bool CChecksumBench::startPort()
{
    portThread.start();
    portContext = new QObject;
    portContext->moveToThread(&portThread);
    QObject::connect(&portThread, &QThread::finished, portContext, &QObject::deleteLater);
    QMetaObject::invokeMethod(
        portContext,
        [this] {
            auto *listener = new CTolvernServer(portContext);
            QObject::connect(
                listener, &CTolvernServer::clientConnected, portContext, [this](int fd) {
                    auto *conn = new libsock::CServerFileConn(root, portContext);
                    conn->setSocketDescriptor(fd);
                    conn->setAdapter(this);
                    QObject::connect(
                        conn, &QAbstractSocket::disconnected, conn, &QObject::deleteLater);
                });
            if (listener->listen(QHostAddress::LocalHost, 0))
                port = listener->serverPort();
        },
        Qt::BlockingQueuedConnection);
    return port != 0;
}

void CChecksumBench::stopPort()
{
    if (!portThread.isRunning())
        return;
    // The connections and listener go on their own thread, before the adapter and the pool.
    QMetaObject::invokeMethod(
        portContext, [this] { qDeleteAll(portContext->children()); }, Qt::BlockingQueuedConnection);
    portThread.quit();
    portThread.wait();
    pool.waitForDone();
}

bool CChecksumBench::download(double &seconds)
{
    QSaveFile sink(root + QStringLiteral("received.bin"));
    libsock::CFileClient client;
    client.setTimeout(120000);
    QElapsedTimer clock;
    clock.start();
    const bool ok = sink.open(QIODevice::WriteOnly)
        && client.connectToServer(QStringLiteral("127.0.0.1"), port)
        && client.download(SAVE, SAVE, SAVE + QStringLiteral(".z"), sink) && sink.commit();
    seconds = double(clock.nsecsElapsed()) / 1e9;
    client.disconnectFromHost();
    QFile::remove(root + QStringLiteral("received.bin"));
    return ok && client.transferred() == size;
}

bool CChecksumBench::upload(double &seconds)
{
    QFile file(source);
    libsock::CFileClient client;
    client.setTimeout(120000);
    QElapsedTimer clock;
    clock.start();
    const bool ok = file.open(QIODevice::ReadOnly)
        && client.connectToServer(QStringLiteral("127.0.0.1"), port)
        && client.upload(SAVE, SAVE, UPLOADED + QStringLiteral(".z"), file);
    seconds = double(clock.nsecsElapsed()) / 1e9;
    return ok && client.transferred() == size;
}

double CChecksumBench::hashRate() const
{
    QElapsedTimer clock;
    clock.start();
    const QString hex = CSaveSum::compute(source);
    return hex.isEmpty() ? 0 : mibPerSecond(size, double(clock.nsecsElapsed()) / 1e9);
}

void CChecksumBench::row(const RowSink &sink, const QString &what, const QString &yardstickName,
    double seconds, double yardstickSeconds) const
{
    const double measured = mibPerSecond(size, seconds);
    const double yardstick = mibPerSecond(size, yardstickSeconds);
    const double ratio = measured / yardstick;
    sink(QStringLiteral("11 %1 a %2 MiB save").arg(what).arg(size / (1024 * 1024)),
        QStringLiteral("%1 MiB/s").arg(measured, 0, 'f', 0),
        QStringLiteral("%1 MiB/s %2").arg(yardstick, 0, 'f', 0).arg(yardstickName),
        QString::number(ratio, 'f', 3), QStringLiteral("ratio >= %1").arg(MIN_RATIO, 0, 'f', 2),
        ratio >= MIN_RATIO);
}

bool CChecksumBench::run(const RowSink &sink)
{
    note(QStringLiteral("figure 11: checksums on transfers of %1 MiB, best of %2, file port in "
                        "this process")
             .arg(size / (1024 * 1024))
             .arg(repeats));
    if (!QDir().mkpath(root))
        return false;
    // The save as figure 2's: random bytes, with its sum beside it as an upload leaves it.
    source = root + SAVE + QStringLiteral(".z");
    {
        QSaveFile file(source);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        QRandomGenerator content(11);
        QByteArray chunk(1024 * 1024, Qt::Uninitialized);
        for (qint64 done = 0; done < size; done += chunk.size()) {
            content.fillRange(reinterpret_cast<quint32 *>(chunk.data()), chunk.size() / 4);
            file.write(chunk.constData(), qMin<qint64>(chunk.size(), size - done));
        }
        if (!file.commit())
            return false;
    }
    const QString sum = CSaveSum::compute(source);
    if (sum.isEmpty() || !CSaveSum::write(source, sum)
        || !QFile::copy(source, root + UPLOADED + QStringLiteral(".z")))
        return false;
    if (!startPort())
        return false;

    // Best of each, the two kinds in alternating order so that neither always goes first.
    double best[4] = { 1e9, 1e9, 1e9, 1e9 }; // down with sum, down without, up hashed, up not
    // Processor seconds of each kind, summed over the runs: what a loaded machine distorts far
    // less than the times.
    double processor[4] = {};
    bool ok = true;
    for (int i = 0; ok && i < repeats; ++i) {
        double taken[4] = {};
        for (int k = 0; ok && k < 2; ++k) {
            const bool withSum = (i + k) % 2 == 0;
            ok = withSum ? CSaveSum::write(source, sum) : (CSaveSum::remove(source), true);
            const double before = processorSeconds();
            ok = ok && download(taken[withSum ? 0 : 1]);
            processor[withSum ? 0 : 1] += processorSeconds() - before;
        }
        for (int k = 0; ok && k < 2; ++k) {
            const bool hashed = (i + k) % 2 == 0;
            hashUploads = hashed;
            const double before = processorSeconds();
            ok = upload(taken[hashed ? 2 : 3]);
            processor[hashed ? 2 : 3] += processorSeconds() - before;
        }
        ok = ok && CSaveSum::read(root + UPLOADED + QStringLiteral(".z")) == sum;
        for (int k = 0; ok && k < 4; ++k)
            best[k] = qMin(best[k], taken[k]);
        note(QStringLiteral("  run %1: down with sum %2 s, without %3 s; up hashed %4 s, not "
                            "hashed %5 s")
                 .arg(i + 1)
                 .arg(taken[0], 0, 'f', 3)
                 .arg(taken[1], 0, 'f', 3)
                 .arg(taken[2], 0, 'f', 3)
                 .arg(taken[3], 0, 'f', 3));
    }
    stopPort();
    if (!ok) {
        note(QStringLiteral("figure 11: a transfer failed"));
        return false;
    }
    note(QStringLiteral("  processor seconds per transfer (client, port and hashing): down with "
                        "sum %1, without %2; up hashed %3, not hashed %4")
             .arg(processor[0] / repeats, 0, 'f', 3)
             .arg(processor[1] / repeats, 0, 'f', 3)
             .arg(processor[2] / repeats, 0, 'f', 3)
             .arg(processor[3] / repeats, 0, 'f', 3));
    const double rate = hashRate();
    note(QStringLiteral("  %1 of the same bytes alone: %2 MiB/s; in line it would cost a "
                        "download at least %3 %")
             .arg(CSaveSum::kindName(CSaveSum::CURRENT))
             .arg(rate, 0, 'f', 0)
             .arg(100.0 * mibPerSecond(size, best[1]) / rate, 0, 'f', 0));
    row(sink, QStringLiteral("download, sum checked, of"), QStringLiteral("without a sum"), best[0],
        best[1]);
    row(sink, QStringLiteral("upload, sum kept, replacing"), QStringLiteral("not hashed"), best[2],
        best[3]);
    return true;
}
