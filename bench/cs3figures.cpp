#include "cs3figures.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>

#include "benchutil.h"
#include "cbenchrunner.h"
#include "cfileclient.h"
#include "cprotoclient.h"
#include "cs3bucket.h"
#include "cs3client.h"
#include "cserverprocess.h"
#include "cuploadload.h"

using namespace benchutil;
using libsock::CFileClient;
using libsock::CProtoClient;

namespace {

constexpr double MIN_TRANSFER_RATIO = 0.8;
constexpr double MAX_LOADED_P99_EXCESS_MS = 5;

// A port whose next one is free too: the gateway and its monitor.
quint16 freePortPair()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        const quint16 port = quint16(20000 + QRandomGenerator::global()->bounded(30000));
        QTcpServer first;
        QTcpServer second;
        if (first.listen(QHostAddress::LocalHost, port)
            && second.listen(QHostAddress::LocalHost, port + 1))
            return port;
    }
    return 0;
}

const QString &startScript()
{
    static const QString path = QStringLiteral(TOLVERN_SOURCE_DIR "/tests/s3/start-s3.sh");
    return path;
}

const QString &stopScript()
{
    static const QString path = QStringLiteral(TOLVERN_SOURCE_DIR "/tests/s3/stop-s3.sh");
    return path;
}

} // namespace

CS3Figures::CS3Figures(CBenchRunner &runner)
    : bench(runner)
{
}

CS3Figures::~CS3Figures()
{
    if (started) {
        QProcess::execute(stopScript(), { storeDir->filePath(QStringLiteral("cluster")) });
        return;
    }
    if (bucket.isEmpty())
        return;
    // A store of someone else's gets its room back: the run's bucket goes.
    CS3Config config;
    config.endpoint = store.endpoint;
    config.bucket = bucket;
    config.accessKey = store.accessKey;
    config.secretKey = store.secretKey;
    CS3Bucket objects(config);
    QList<CS3Bucket::Object> left;
    QStringList keys;
    objects.list(QString(), &left, nullptr);
    for (const CS3Bucket::Object &object : std::as_const(left))
        keys << object.key;
    objects.remove(keys, nullptr);
    objects.abortStale(QString(), QDateTime::currentDateTimeUtc().addDays(1));
    CS3Client::Request drop;
    drop.method = "DELETE";
    objects.client().call(drop);
}

bool CS3Figures::prepare()
{
    if (!bucket.isEmpty())
        return true;
    QString why;
    if (!bench.s3Env.isEmpty()) {
        if (!store.loadFile(bench.s3Env, &why)) {
            bench.note(why);
            return false;
        }
    } else {
        // Gigabytes go through the store in a run: a file-backed object store, not memory.
        storeDir = std::make_unique<QTemporaryDir>(
            (bench.baseDir.isEmpty() ? QDir::tempPath() : bench.baseDir)
            + QStringLiteral("/tolvern-s3-XXXXXX"));
        const quint16 port = freePortPair();
        QProcess start;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("S3_STORE"), QStringLiteral("bluestore"));
        environment.insert(QStringLiteral("S3_STORE_MB"), QStringLiteral("16384"));
        start.setProcessEnvironment(environment);
        start.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        bench.note(QStringLiteral("starting a Ceph S3 gateway (bluestore) on 127.0.0.1:%1").arg(port));
        start.start(startScript(), { storeDir->filePath(QStringLiteral("cluster")), QString::number(port) });
        started = start.waitForStarted(10000);
        if (!started || !start.waitForFinished(300000) || start.exitCode() != 0
            || !store.loadFile(storeDir->filePath(QStringLiteral("cluster/s3.env")), &why)) {
            bench.note(QStringLiteral("the S3 gateway did not start %1").arg(why));
            return false;
        }
    }
    bucket = store.createBucket(QStringLiteral("bench"));
    if (bucket.isEmpty()) {
        bench.note(QStringLiteral("cannot make a bucket at %1").arg(store.endpoint));
        return false;
    }
    bench.note(QStringLiteral("saves in s3://%1/ at %2").arg(bucket, store.endpoint));
    bench.storageIni = store.iniSection(bucket);
    return true;
}

bool CS3Figures::plainPut(const QByteArray &bytes, double &secondsTaken)
{
    CS3Config config;
    config.endpoint = store.endpoint;
    config.bucket = bucket;
    config.accessKey = store.accessKey;
    config.secretKey = store.secretKey;
    CS3Client client(config);
    CS3Client::Request put;
    put.method = "PUT";
    put.key = QStringLiteral("plain");
    put.body = bytes;
    QElapsedTimer clock;
    clock.start();
    const CS3Client::Response answer = client.call(put);
    secondsTaken = double(clock.nsecsElapsed()) / 1e9;
    if (!answer.ok())
        bench.note(QStringLiteral("plain PUT: %1").arg(answer.errorText()));
    return answer.ok();
}

bool CS3Figures::plainGet(const QString &target, double &secondsTaken)
{
    CS3Config config;
    config.endpoint = store.endpoint;
    config.bucket = bucket;
    config.accessKey = store.accessKey;
    config.secretKey = store.secretKey;
    CS3Client client(config);
    CS3Client::Request get;
    get.key = QStringLiteral("plain");
    QFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // Streamed into the file as the server's download is.
    qint64 written = 0;
    get.onData = [&file, &written](const char *data, qint64 size) {
        if (file.write(data, size) != size)
            return int(CS3Client::Stop);
        written += size;
        return int(CS3Client::Take);
    };
    QElapsedTimer clock;
    clock.start();
    const CS3Client::Response answer = client.call(get);
    const bool flushed = file.flush();
    secondsTaken = double(clock.nsecsElapsed()) / 1e9;
    if (!answer.ok())
        bench.note(QStringLiteral("plain GET: %1").arg(answer.errorText()));
    return answer.ok() && flushed && written == bench.sizeMiB * 1024 * 1024;
}

bool CS3Figures::serverUpload(const QString &source, double &secondsTaken)
{
    QFile file(source);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QElapsedTimer clock;
    clock.start();
    CFileClient client;
    if (!client.connectToServer(LOCALHOST, bench.server->filePort())
        || !client.upload(DETAIL, DETAIL, QStringLiteral("1/") + SAVE_NAME, file)) {
        bench.note(QStringLiteral("upload failed: %1, result %2")
                       .arg(libsock::clientErrorText(client.clientError()))
                       .arg(client.result()));
        return false;
    }
    secondsTaken = double(clock.nsecsElapsed()) / 1e9;
    return client.transferred() == bench.sizeMiB * 1024 * 1024;
}

bool CS3Figures::serverDownload(const QString &target, double &secondsTaken)
{
    QFile sink(target);
    QElapsedTimer clock;
    clock.start();
    CFileClient client;
    if (!sink.open(QIODevice::WriteOnly)
        || !client.connectToServer(LOCALHOST, bench.server->filePort())
        || !client.download(DETAIL, DETAIL, QStringLiteral("1/") + SAVE_NAME, sink)
        || !sink.flush()) {
        bench.note(QStringLiteral("download failed: %1, result %2")
                       .arg(libsock::clientErrorText(client.clientError()))
                       .arg(client.result()));
        return false;
    }
    secondsTaken = double(clock.nsecsElapsed()) / 1e9;
    client.disconnectFromHost();
    return client.transferred() == bench.sizeMiB * 1024 * 1024;
}

bool CS3Figures::measureTransfers()
{
    bench.note(QStringLiteral("figure 17: transfers of %1 MiB through the server on S3, best of %2")
                   .arg(bench.sizeMiB)
                   .arg(bench.repeats));
    const qint64 size = bench.sizeMiB * 1024 * 1024;
    const QString source = bench.server->path(QStringLiteral("s3-source.bin"));
    const QString received = bench.server->path(QStringLiteral("s3-received.bin"));
    if (!prepare() || !bench.createSave(source, size) || !bench.startServer(NO_ADDRESS_CAP))
        return false;
    QFile file(source);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    double unused = 0;
    // Every timed upload replaces the save, which keeps a version each time.
    bool ok = bytes.size() == size && serverUpload(source, unused);
    double best[4] = { 1e9, 1e9, 1e9, 1e9 }; // plain GET, server down, plain PUT, server up
    for (int i = 0; ok && i < bench.repeats; ++i) {
        double taken[4] = {};
        ok = plainPut(bytes, taken[2]) && serverUpload(source, taken[3])
            && plainGet(received, taken[0]) && QFile::remove(received)
            && serverDownload(received, taken[1]) && QFileInfo(received).size() == size
            && QFile::remove(received);
        for (int k = 0; ok && k < 4; ++k)
            best[k] = qMin(best[k], taken[k]);
        bench.note(QStringLiteral("  run %1: plain PUT %2 s, server up %3 s, plain GET %4 s, "
                                  "server down %5 s")
                       .arg(i + 1)
                       .arg(taken[2], 0, 'f', 3)
                       .arg(taken[3], 0, 'f', 3)
                       .arg(taken[0], 0, 'f', 3)
                       .arg(taken[1], 0, 'f', 3));
    }
    if (!bench.stopServer() || !ok)
        return false;
    for (int direction = 0; direction < 2; ++direction) {
        const double yardstick = mib(double(size)) / best[direction * 2];
        const double served = mib(double(size)) / best[direction * 2 + 1];
        CBenchRunner::Row row;
        row.figure = QStringLiteral("17 %1 a %2 MiB save on S3")
                         .arg(direction == 0 ? QStringLiteral("download of")
                                             : QStringLiteral("upload replacing"))
                         .arg(bench.sizeMiB);
        row.measured = QStringLiteral("%1 MiB/s").arg(served, 0, 'f', 0);
        row.yardstick = QStringLiteral("%1 MiB/s plain %2 (libcurl)")
                            .arg(yardstick, 0, 'f', 0)
                            .arg(direction == 0 ? QStringLiteral("GET") : QStringLiteral("PUT"));
        row.ratio = QString::number(served / yardstick, 'f', 2);
        row.target = QStringLiteral("ratio >= 0.80");
        row.met = served / yardstick >= MIN_TRANSFER_RATIO;
        bench.rows.push_back(row);
    }
    return true;
}

bool CS3Figures::measureLoadedLogins()
{
    bench.note(QStringLiteral("figure 18: one client's logins while two clients upload %1 MiB "
                              "saves to the server on S3")
                   .arg(bench.sizeMiB));
    const QString source = bench.server->path(QStringLiteral("s3-source.bin"));
    if (!prepare() || !bench.createSave(source, bench.sizeMiB * 1024 * 1024)
        || !bench.startServer(NO_ADDRESS_CAP))
        return false;
    // Quiet and loaded in turns, so a drift of the machine weighs on both.
    std::vector<qint64> idle;
    std::vector<qint64> loaded;
    bool ok = true;
    for (int turn = 0; ok && turn < 2; ++turn) {
        std::vector<qint64> quiet;
        ok = bench.loginRoundTrips(bench.logins / 2, quiet);
        idle.insert(idle.end(), quiet.begin(), quiet.end());
        CUploadLoad uploads(
            QCoreApplication::applicationDirPath() + QStringLiteral("/tolvern-client"),
            bench.server->filePort(), source);
        uploads.start(2, 1, QStringLiteral("1/load%1-").arg(turn));
        CProtoClient client;
        ok = ok && client.connectToServer(LOCALHOST, bench.server->mainPort());
        for (int i = 0; ok && uploads.running(); ++i) {
            const int index = i % bench.users + 1;
            QElapsedTimer clock;
            clock.start();
            ok = client.login(bench.userName(index), bench.password(index))
                && client.result() == libsock::RESULT_OK;
            if (uploads.running())
                loaded.push_back(clock.nsecsElapsed());
        }
        if (!uploads.finish()) {
            bench.note(QStringLiteral("uploads: %1").arg(uploads.errorText()));
            ok = false;
        }
    }
    if (!bench.stopServer() || !ok || loaded.empty())
        return false;
    std::sort(idle.begin(), idle.end());
    std::sort(loaded.begin(), loaded.end());
    const qint64 p99 = percentile(loaded, 0.99);
    const qint64 idleP99 = percentile(idle, 0.99);
    CBenchRunner::Row row;
    row.figure = QStringLiteral("18 login round trip, two %1 MiB uploads to S3").arg(bench.sizeMiB);
    row.measured = QStringLiteral("p50 %1 ms, p99 %2 ms, worst %3 ms (%4 logins)")
                       .arg(ms(percentile(loaded, 0.5)), ms(p99), ms(loaded.back()))
                       .arg(loaded.size());
    row.yardstick = QStringLiteral("p50 %1 ms, p99 %2 ms idle (%3 logins)")
                        .arg(ms(percentile(idle, 0.5)), ms(idleP99))
                        .arg(idle.size());
    row.ratio = QString::number(double(p99 - idleP99) / 1e6 / MAX_LOADED_P99_EXCESS_MS, 'f', 2);
    row.target = QStringLiteral("p99 <= idle p99 + 5 ms (ratio to it <= 1)");
    row.met = double(p99 - idleP99) / 1e6 <= MAX_LOADED_P99_EXCESS_MS;
    bench.rows.push_back(row);
    return true;
}
