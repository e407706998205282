#include <future>
#include <memory>

#include <QCryptographicHash>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include "cadmintoken.h"
#include "cblockingsocket.h"
#include "cportreservation.h"
#include "cs3bucket.h"
#include "cs3faultproxy.h"
#include "cs3testenv.h"
#include "csavesum.h"
#include "cserverprocess.h"
#include "testwire.h"

using testwire::frame;
using testwire::int64;
using testwire::packet;
using testwire::str;

namespace {

constexpr qint64 PART = CS3Bucket::PART_BYTES;

QByteArray request(quint8 command, const QString &save)
{
    QByteArray body = str("player") + str("detail") + str(save.toLatin1());
    if (command == 1)
        body += int64(0);
    return frame(0, packet(command, body));
}

int result(const QPair<int, QByteArray> &reply)
{
    return reply.first == 0 && reply.second.size() > 22 ? quint8(reply.second[22]) : -1;
}

QByteArray content(qint64 size, char seed)
{
    QByteArray out(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        out[i] = char(seed + i * 7 + i / 4099);
    return out;
}

// The sum the server keeps of bytes.
QString sumOf(const QByteArray &bytes)
{
    return CSaveSum::of(bytes.constData(), bytes.size());
}

} // namespace

// The real server with its saves in the fixture's S3 store, through a proxy that breaks the
// store when told: transfers, history and verify, the store failing in every way the server
// must survive, start-up refusals, and what admin commands and the HTTP port do with a bucket.
class tst_S3Saves : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void transfersThroughTheStore_data();
    void transfersThroughTheStore();
    void slowDownIsRetried();
    void stalledStoreHoldsOnlyItsUpload();
    void storeDyingMidUpload();
    void damagedObjectEndsInReset();
    void startRefusals_data();
    void startRefusals();
    void adminAndHttpPages();
    void userDataFollowsTheUser();
    void purgeCutShortFinishedAtStart();
    void backupAndRestoreIntoEither();
    void savesCopyBothWays();

private:
    QString upload(const QString &save, const QByteArray &bytes);
    QByteArray download(const QString &save, QString *ending = nullptr);
    // A login (of a user added first) on the control port: its result, or -1 when none came.
    int login();
    int admin(const QStringList &args, QString *out = nullptr, const QString &config = QString(),
        const QString &workDir = QString());
    QJsonObject api(const QByteArray &method, const QString &path, const QByteArray &body = {});
    QList<CS3Bucket::Object> objects(const QString &bucketName, const QString &prefix = QString());
    std::shared_ptr<CS3Bucket> direct(const QString &bucketName);

    CS3TestEnv env;
    std::unique_ptr<CS3FaultProxy> proxy;
    std::unique_ptr<CServerProcess> server;
    std::unique_ptr<CPortReservation> httpReservation;
    QByteArray token;
    QString bucket;
    QNetworkAccessManager network;
};

void tst_S3Saves::initTestCase()
{
    QString why;
    if (!env.load(&why))
        QSKIP(qPrintable(why));
    proxy = std::make_unique<CS3FaultProxy>(env.port);
    bucket = env.createBucket(QStringLiteral("s3saves"));
    QVERIFY(!bucket.isEmpty());
    token = CAdminToken::generate();
    httpReservation = std::make_unique<CPortReservation>();
    server = std::make_unique<CServerProcess>(QStringLiteral(TOLVERN_SERVER_PATH));
    QVERIFY2(server->isValid(), qPrintable(server->errorText()));
    server->setHeadless(true);
    server->setCaptureOutput(true);
    server->setExtraIni(env.iniSection(bucket, QString(), proxy->endpoint())
        + QStringLiteral("KeepVersions=2\n[Admin]\nHttpPort=%1\nTokenHash=%2\n")
              .arg(httpReservation->port())
              .arg(CAdminToken::hash(token)));
    QVERIFY2(server->start(), qPrintable(server->errorText()));
    // The user whose logins show the server serving while the store fails.
    CBlockingSocket conn(server->mainPort(), 20);
    conn.send(packet(1, str("s3login") + str("pw")));
    QCOMPARE(conn.reply().left(1), QByteArray(1, '\0'));
}

void tst_S3Saves::cleanup()
{
    // A failed case leaves the store as it found it.
    if (proxy) {
        proxy->resume();
        proxy->up();
        proxy->failNext(0);
    }
}

void tst_S3Saves::cleanupTestCase()
{
    if (server)
        QCOMPARE(server->stop(), 0);
}

QString tst_S3Saves::upload(const QString &save, const QByteArray &bytes)
{
    CBlockingSocket conn(server->filePort(), 60);
    if (!conn.send(request(3, save)))
        return QStringLiteral("no connection");
    const int code = result(conn.frame());
    if (code != 0)
        return QStringLiteral("refused %1").arg(code);
    for (qsizetype pos = 0; pos < bytes.size(); pos += 60000)
        conn.send(frame(1, bytes.mid(pos, 60000)));
    conn.send(frame(0, packet(6, {})));
    return conn.ending();
}

QByteArray tst_S3Saves::download(const QString &save, QString *ending)
{
    CBlockingSocket conn(server->filePort(), 60);
    conn.send(request(1, save));
    const auto reply = conn.frame();
    if (result(reply) != 0)
        return "<refused " + QByteArray::number(result(reply)) + ">";
    conn.send(frame(0, packet(5, {})));
    QByteArray out;
    auto f = conn.frame();
    for (; f.first == 1; f = conn.frame())
        out += f.second;
    if (ending)
        *ending = f.first == 0 && f.second.size() >= 22 && f.second[19] == 6 ? QStringLiteral("end")
                                                                             : conn.ending();
    return out;
}

int tst_S3Saves::login()
{
    CBlockingSocket conn(server->mainPort(), 20);
    conn.send(packet(9, str("s3login") + str("pw")));
    const QByteArray body = conn.reply();
    return body.isEmpty() ? -1 : quint8(body[0]);
}

int tst_S3Saves::admin(
    const QStringList &args, QString *out, const QString &config, const QString &workDir)
{
    QProcess process;
    process.setWorkingDirectory(workDir.isEmpty() ? server->path(QStringLiteral("work")) : workDir);
    QStringList all = args;
    if (!config.isEmpty())
        all << QStringLiteral("--config") << config;
    process.start(server->path(QStringLiteral("bin/tolvern-server")), all);
    if (!process.waitForFinished(120000))
        return -1;
    if (out)
        *out = QString::fromLocal8Bit(process.readAllStandardOutput() + process.readAllStandardError());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QJsonObject tst_S3Saves::api(const QByteArray &method, const QString &path, const QByteArray &body)
{
    QNetworkRequest request(
        QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(httpReservation->port()).arg(path)));
    request.setRawHeader("Authorization", "Bearer " + token);
    if (!body.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    QNetworkReply *reply = network.sendCustomRequest(request, method, body);
    QEventLoop loop;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const QJsonObject object = QJsonDocument::fromJson(reply->readAll()).object();
    reply->deleteLater();
    return object;
}

std::shared_ptr<CS3Bucket> tst_S3Saves::direct(const QString &bucketName)
{
    CS3Config config;
    config.endpoint = env.endpoint;
    config.bucket = bucketName;
    config.accessKey = env.accessKey;
    config.secretKey = env.secretKey;
    return std::make_shared<CS3Bucket>(config);
}

QList<CS3Bucket::Object> tst_S3Saves::objects(const QString &bucketName, const QString &prefix)
{
    QList<CS3Bucket::Object> out;
    direct(bucketName)->list(prefix, &out, nullptr);
    return out;
}

void tst_S3Saves::transfersThroughTheStore_data()
{
    QTest::addColumn<qint64>("size");
    QTest::newRow("empty") << qint64(0);
    QTest::newRow("one frame") << qint64(51200);
    QTest::newRow("one part") << PART;
    QTest::newRow("a part and a byte") << PART + 1;
    QTest::newRow("three parts and more") << 3 * PART + 7;
}

void tst_S3Saves::transfersThroughTheStore()
{
    QFETCH(qint64, size);
    const QString save = QStringLiteral("1/size%1").arg(size);
    const QByteArray first = content(size, 'a');
    const QByteArray second = content(size, 'b') + "!";
    QCOMPARE(upload(save, first), QStringLiteral("close"));
    QCOMPARE(upload(save, second), QStringLiteral("close"));
    QString ending;
    QVERIFY(download(save, &ending) == second);
    QCOMPARE(ending, QStringLiteral("end"));
    // The archive and its version as objects, each with its sum.
    CS3Bucket::Head head;
    QVERIFY(direct(bucket)->head(save + QStringLiteral(".z"), &head, nullptr));
    QCOMPARE(head.sum, sumOf(second));
    QString out;
    QCOMPARE(admin({ QStringLiteral("saves"), QStringLiteral("verify"), QStringLiteral("1") }, &out), 0);
    QVERIFY2(out.contains(save + QStringLiteral("\tcurrent\tgood")), qPrintable(out));
    QCOMPARE(admin({ QStringLiteral("saves"), QStringLiteral("history"), QStringLiteral("1"),
                 save.mid(2) },
                 &out),
        0);
    QCOMPARE(out.count(QLatin1Char('\n')), 1);
    QVERIFY(out.contains(QStringLiteral("\t%1\t").arg(size)));
}

void tst_S3Saves::slowDownIsRetried()
{
    const int before = proxy->requests("PUT /" + bucket.toLatin1() + "/1/slow.z ");
    proxy->failNext(3, "PUT /" + bucket.toLatin1() + "/1/slow.z ");
    QCOMPARE(upload(QStringLiteral("1/slow"), "patience"), QStringLiteral("close"));
    QCOMPARE(proxy->requests("PUT /" + bucket.toLatin1() + "/1/slow.z ") - before, 4);
    QCOMPARE(download(QStringLiteral("1/slow")), QByteArray("patience"));
}

void tst_S3Saves::stalledStoreHoldsOnlyItsUpload()
{
    proxy->stall();
    auto stored = std::async(std::launch::async,
        [this] { return upload(QStringLiteral("1/stalled"), content(PART + 5, 's')); });
    // The connections' thread never waits on the store: logins go on meanwhile.
    QCOMPARE(login(), 0);
    QCOMPARE(stored.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
    proxy->resume();
    QCOMPARE(stored.get(), QStringLiteral("close"));
    QVERIFY(download(QStringLiteral("1/stalled")) == content(PART + 5, 's'));
}

void tst_S3Saves::storeDyingMidUpload()
{
    QCOMPARE(upload(QStringLiteral("1/dies"), "the old save"), QStringLiteral("close"));
    server->readOutput();
    proxy->dieAfter(PART + PART / 2);
    QCOMPARE(upload(QStringLiteral("1/dies"), content(4 * PART, 'd')), QStringLiteral("reset"));
    QByteArray said;
    QTRY_VERIFY((said += server->readOutput()).contains("Upload 1/dies.z failed"));
    // While the store is down: logins are served, saves are not.
    QCOMPARE(login(), 0);
    QString ending;
    download(QStringLiteral("1/other"), &ending);
    proxy->up();
    QCOMPARE(download(QStringLiteral("1/dies")), QByteArray("the old save"));
    QString out;
    QCOMPARE(admin({ QStringLiteral("saves"), QStringLiteral("history"), QStringLiteral("1"),
                 QStringLiteral("dies") },
                 &out),
        0);
    QVERIFY2(out.isEmpty(), qPrintable(out));
    QCOMPARE(upload(QStringLiteral("1/dies"), "back again"), QStringLiteral("close"));
    QCOMPARE(download(QStringLiteral("1/dies")), QByteArray("back again"));
    const QByteArray line = said.mid(said.indexOf("Upload 1/dies.z failed")).split('\n').first();
    // Found by a part while the bytes came, or by the commit once they were all in.
    QVERIFY2(line.contains("part "), line.constData());
}

void tst_S3Saves::damagedObjectEndsInReset()
{
    const QByteArray bytes = content(200000, 'x');
    QCOMPARE(upload(QStringLiteral("1/damaged"), bytes), QStringLiteral("close"));
    QByteArray changed = bytes;
    changed[100000] = char(changed[100000] ^ 1);
    QVERIFY(direct(bucket)->put(QStringLiteral("1/damaged.z"), changed,
        { CS3Bucket::sumHeader(sumOf(bytes)) }, nullptr));
    server->readOutput();
    QString ending;
    // A reset: what the client had not read of the last frames is gone with it.
    download(QStringLiteral("1/damaged"), &ending);
    QCOMPARE(ending, QStringLiteral("reset"));
    QByteArray said;
    QTRY_VERIFY((said += server->readOutput())
                    .contains("ended with a reset: the archive is damaged (XXH3-128 "
                        + sumOf(changed).toLatin1() + ", recorded " + sumOf(bytes).toLatin1()
                        + ")"));
}

void tst_S3Saves::startRefusals_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said");
    QTest::newRow("wrong secret") << "secret" << 2 << "refused the credentials";
    QTest::newRow("missing bucket") << "bucket" << 2 << "no bucket never-made";
    QTest::newRow("no keys") << "keys" << 2 << "no S3 credentials";
    QTest::newRow("unreachable") << "endpoint" << 7 << "cannot be reached";
    QTest::newRow("misspelt backend") << "backend" << 2 << "Backend=s4: files or s3 is expected";
}

void tst_S3Saves::startRefusals()
{
    QFETCH(QString, what);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("tolvern.ini"));
    QFile file(ini);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QString section = env.iniSection(what == QLatin1String("bucket") ? QStringLiteral("never-made") : bucket,
        QString(), what == QLatin1String("endpoint") ? QStringLiteral("http://127.0.0.1:1") : env.endpoint);
    if (what == QLatin1String("secret"))
        section.replace(QStringLiteral("S3SecretKey=") + env.secretKey, QStringLiteral("S3SecretKey=wrong"));
    if (what == QLatin1String("backend"))
        section.replace(QStringLiteral("Backend=s3"), QStringLiteral("Backend=s4"));
    if (what == QLatin1String("keys"))
        section = section.section(QStringLiteral("S3AccessKey="), 0, 0);
    file.write(QStringLiteral("[General]\nSaveDataDir=%1\nMainPort=1\nFilePort=1\n").arg(dir.path()).toUtf8()
        + section.toUtf8());
    file.close();
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : { "QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "AWS_ACCESS_KEY_ID",
             "AWS_SECRET_ACCESS_KEY" })
        environment.remove(QLatin1String(name));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(dir.path());
    process.start(server->path(QStringLiteral("bin/tolvern-server")),
        { QStringLiteral("--headless"), QStringLiteral("--config"), ini });
    QVERIFY(process.waitForFinished(60000));
    const QString errors = QString::fromLocal8Bit(process.readAllStandardError());
    QCOMPARE(process.exitCode(), exitCode);
    QVERIFY2(errors.contains(said), qPrintable(errors));
    // One clear line, and no port opened before it.
    QCOMPARE(errors.trimmed().count(QLatin1Char('\n')), 0);
    QVERIFY(process.readAllStandardOutput().isEmpty());
}

void tst_S3Saves::adminAndHttpPages()
{
    QString out;
    QCOMPARE(admin({ QStringLiteral("users"), QStringLiteral("add"), QStringLiteral("pageuser"),
                 QStringLiteral("pw") }),
        0);
    // The user just added has id 2 only if no other test added users first: look it up.
    QCOMPARE(admin({ QStringLiteral("users"), QStringLiteral("list"), QStringLiteral("--json") }, &out), 0);
    int id = 0;
    for (const QJsonValue &user : QJsonDocument::fromJson(out.section(QLatin1Char('\n'), 0, 0).toUtf8()).array())
        if (user.toObject().value(QStringLiteral("name")).toString() == QLatin1String("pageuser"))
            id = user.toObject().value(QStringLiteral("id")).toInt();
    QVERIFY(id > 0);
    const QString user = QString::number(id);
    QCOMPARE(upload(user + QStringLiteral("/page"), "one"), QStringLiteral("close"));
    QCOMPARE(upload(user + QStringLiteral("/page"), "two"), QStringLiteral("close"));

    const QJsonArray saves = api("GET", QStringLiteral("/api/v1/users/%1/saves").arg(id))
                                 .value(QStringLiteral("saves")).toArray();
    QCOMPARE(saves.size(), 1);
    QCOMPARE(saves.first().toObject().value(QStringLiteral("name")).toString(), QStringLiteral("page"));
    const QJsonArray versions = api("GET", QStringLiteral("/api/v1/users/%1/saves/page/history").arg(id))
                                    .value(QStringLiteral("versions")).toArray();
    QCOMPARE(versions.size(), 1);
    const QString version = versions.first().toObject().value(QStringLiteral("version")).toString();
    QCOMPARE(api("POST", QStringLiteral("/api/v1/users/%1/saves/page/restore").arg(id),
                 QJsonDocument(QJsonObject { { QStringLiteral("version"), version } }).toJson())
                 .value(QStringLiteral("restored"))
                 .toString(),
        version);
    QCOMPARE(download(user + QStringLiteral("/page")), QByteArray("one"));
    // Back again by the command line, with the version the restore kept.
    QCOMPARE(admin({ QStringLiteral("saves"), QStringLiteral("history"), user, QStringLiteral("page") }, &out), 0);
    const QString kept = out.section(QLatin1Char('\t'), 0, 0);
    QCOMPARE(admin({ QStringLiteral("saves"), QStringLiteral("restore"), user, QStringLiteral("page"), kept }), 0);
    QCOMPARE(download(user + QStringLiteral("/page")), QByteArray("two"));
    QCOMPARE(admin({ QStringLiteral("saves"), QStringLiteral("list"), user }, &out), 0);
    QVERIFY(out.startsWith(QStringLiteral("page\t3\t")));
}

void tst_S3Saves::userDataFollowsTheUser()
{
    QString out;
    // What a client stored under an id not given out yet goes aside when the id is.
    QCOMPARE(admin({ QStringLiteral("users"), QStringLiteral("list"), QStringLiteral("--json") }, &out), 0);
    const int next = int(QJsonDocument::fromJson(out.section(QLatin1Char('\n'), 0, 0).toUtf8()).array().size()) + 1;
    const QString early = QString::number(next);
    QCOMPARE(upload(early + QStringLiteral("/early"), "before the user"), QStringLiteral("close"));
    QCOMPARE(admin({ QStringLiteral("users"), QStringLiteral("add"), QStringLiteral("late"), QStringLiteral("pw") }, &out), 0);
    QVERIFY2(out.contains(QStringLiteral("object id %1").arg(next)) || out.trimmed().endsWith(early), qPrintable(out));
    QVERIFY(objects(bucket, early + QLatin1Char('/')).isEmpty());
    const QList<CS3Bucket::Object> aside = objects(bucket, QStringLiteral(".orphaned/") + early + QLatin1Char('-'));
    QCOMPARE(aside.size(), 1);
    QVERIFY(aside.first().key.endsWith(QStringLiteral("/early.z")));

    QCOMPARE(upload(early + QStringLiteral("/mine"), "the player's"), QStringLiteral("close"));
    QCOMPARE(upload(early + QStringLiteral("/mine"), "the player's again"), QStringLiteral("close"));
    QTemporaryDir dir;
    const QString tar = dir.filePath(QStringLiteral("export.tar"));
    QCOMPARE(admin({ QStringLiteral("users"), QStringLiteral("export"), early, QStringLiteral("--to"), tar }, &out), 0);
    QFile exported(tar);
    QVERIFY(exported.open(QIODevice::ReadOnly));
    const QByteArray bytes = exported.readAll();
    QVERIFY(bytes.contains(QStringLiteral("user-%1/saves/mine.z").arg(early).toLatin1()));
    QVERIFY(bytes.contains(QStringLiteral("user-%1/saves/.versions/mine.z/").arg(early).toLatin1()));
    QVERIFY(bytes.contains("the player's again"));
    QVERIFY(!bytes.contains(".lock"));

    QCOMPARE(admin({ QStringLiteral("users"), QStringLiteral("delete"), early }, &out), 0);
    QVERIFY(objects(bucket, early + QLatin1Char('/')).isEmpty());
}

// A purge cut after it deleted a user but before the user's objects went: the next start
// removes them from the bucket and names the user, as it does with a folder.
void tst_S3Saves::purgeCutShortFinishedAtStart()
{
    QString out;
    QCOMPARE(admin({ QStringLiteral("users"), QStringLiteral("add"), QStringLiteral("cutshort"), QStringLiteral("pw") }, &out), 0);
    const QString id = out.trimmed().section(QLatin1Char(' '), -1);
    QVERIFY2(id.toInt() > 0, qPrintable(out));
    QCOMPARE(upload(id + QStringLiteral("/left"), "a purge left this"), QStringLiteral("close"));
    QCOMPARE(upload(id + QStringLiteral("/left"), "and this"), QStringLiteral("close"));
    QCOMPARE(objects(bucket, id + QLatin1Char('/')).size(), 2);
    QCOMPARE(server->stop(), 0);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("cut"));
        db.setDatabaseName(server->databaseFile());
        QVERIFY(db.open());
        QSqlQuery query(db);
        QVERIFY(query.exec(QStringLiteral("insert into t_purge_journal (object_id, name) values (%1, 'cutshort')").arg(id)));
        QVERIFY(query.exec(QStringLiteral("delete from t_user where object_id = %1").arg(id)));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("cut"));
    server->readOutput();
    QVERIFY2(server->start(), qPrintable(server->errorText()));
    QByteArray said;
    QTRY_VERIFY2_WITH_TIMEOUT((said += server->readOutput()).contains("Finished a purge cut short: removed the game data of 1 deleted users"), said.constData(), 30000);
    QVERIFY(said.contains("Deleted user " + id.toLatin1() + " (cutshort), last login never"));
    QVERIFY(objects(bucket, id + QLatin1Char('/')).isEmpty());
}

void tst_S3Saves::backupAndRestoreIntoEither()
{
    QCOMPARE(upload(QStringLiteral("3/kept"), "first"), QStringLiteral("close"));
    QCOMPARE(upload(QStringLiteral("3/kept"), content(PART + 3, 'k')), QStringLiteral("close"));
    QTemporaryDir dir;
    const QString backup = dir.filePath(QStringLiteral("backup"));
    QString out;
    QCOMPARE(admin({ QStringLiteral("backup"), QStringLiteral("--to"), backup }, &out), 0);
    QVERIFY(QFileInfo(backup + QStringLiteral("/saves/3/kept.z")).size() == PART + 3);
    QVERIFY(QFileInfo::exists(backup + QStringLiteral("/saves/3/kept.z.xxh128")));
    QCOMPARE(QDir(backup + QStringLiteral("/saves/3/.versions/kept.z")).entryList(QDir::Files).size(), 2);
    QCOMPARE(admin({ QStringLiteral("backup"), QStringLiteral("verify"), backup }, &out), 0);

    // Into a bucket of its own: every object with its sum, and an ini that names it.
    const QString target = env.createBucket(QStringLiteral("restored"));
    const QString work = dir.filePath(QStringLiteral("work"));
    QDir().mkpath(work);
    QCOMPARE(admin({ QStringLiteral("restore"), QStringLiteral("--from"), backup, QStringLiteral("--storage"),
                 QStringLiteral("s3://%1/again").arg(target) },
                 &out, QString(), work),
        0);
    CS3Bucket::Head head;
    QVERIFY(direct(target)->head(QStringLiteral("again/3/kept.z"), &head, nullptr));
    QCOMPARE(head.sum, sumOf(content(PART + 3, 'k')));
    QFile ini(work + QStringLiteral("/tolvern.ini"));
    QVERIFY(ini.open(QIODevice::ReadOnly));
    const QByteArray iniText = ini.readAll();
    QVERIFY(iniText.contains("S3Bucket=" + target.toLatin1()));
    QVERIFY(iniText.contains("S3Prefix=again/"));
    // Into it again: refused, it holds saves.
    QDir(work).removeRecursively();
    QDir().mkpath(work);
    QCOMPARE(admin({ QStringLiteral("restore"), QStringLiteral("--from"), backup, QStringLiteral("--storage"),
                 QStringLiteral("s3://%1/again").arg(target) },
                 &out, QString(), work),
        6);

    // Into a folder: files with their sum files, and an ini that serves from there.
    const QString folderWork = dir.filePath(QStringLiteral("files"));
    QDir().mkpath(folderWork);
    QCOMPARE(admin({ QStringLiteral("restore"), QStringLiteral("--from"), backup, QStringLiteral("--storage"),
                 folderWork + QStringLiteral("/saves") },
                 &out, QString(), folderWork),
        0);
    QCOMPARE(QFileInfo(folderWork + QStringLiteral("/saves/3/kept.z")).size(), PART + 3);
    QFile restoredIni(folderWork + QStringLiteral("/tolvern.ini"));
    QVERIFY(restoredIni.open(QIODevice::ReadOnly));
    QVERIFY(restoredIni.readAll().contains("Backend=files"));
    QCOMPARE(admin({ QStringLiteral("saves"), QStringLiteral("verify"), QStringLiteral("3") }, &out,
                 folderWork + QStringLiteral("/tolvern.ini"), folderWork),
        0);
    QVERIFY2(out.contains(QStringLiteral("3/kept\tcurrent\tgood")), qPrintable(out));
}

void tst_S3Saves::savesCopyBothWays()
{
    QCOMPARE(upload(QStringLiteral("4/moved"), "first"), QStringLiteral("close"));
    QCOMPARE(upload(QStringLiteral("4/moved"), "second"), QStringLiteral("close"));
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("tolvern.ini"));
    QFile file(ini);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("[General]\nSaveDataDir=%1/saves\n[Storage]\nS3Endpoint=%2\nS3AccessKey=%3\nS3SecretKey=%4\n")
                   .arg(dir.path(), env.endpoint, env.accessKey, env.secretKey)
                   .toUtf8());
    file.close();
    QString out;
    QCOMPARE(admin({ QStringLiteral("saves"), QStringLiteral("copy"), QStringLiteral("--from"),
                 QStringLiteral("s3://%1").arg(bucket) },
                 &out, ini, dir.path()),
        0);
    QVERIFY2(out.contains(QLatin1String("every one checked")), qPrintable(out));
    QCOMPARE(QFile(dir.filePath(QStringLiteral("saves/4/moved.z"))).size(), qint64(6));
    const int copied = out.section(QStringLiteral("Copied "), 1).section(QLatin1Char(' '), 0, 0).toInt();
    QVERIFY(copied >= 3);

    const QString target = env.createBucket(QStringLiteral("copied"));
    QCOMPARE(admin({ QStringLiteral("saves"), QStringLiteral("copy"), QStringLiteral("--to"),
                 QStringLiteral("s3://%1/p").arg(target) },
                 &out, ini, dir.path()),
        0);
    QVERIFY2(out.contains(QStringLiteral("Copied %1 saves").arg(copied)), qPrintable(out));
    CS3Bucket::Head head;
    QVERIFY(direct(target)->head(QStringLiteral("p/4/moved.z"), &head, nullptr));
    QCOMPARE(head.sum, sumOf("second"));
    QCOMPARE(admin({ QStringLiteral("saves"), QStringLiteral("copy"), QStringLiteral("--to"),
                 QStringLiteral("s3://%1/p").arg(target) },
                 &out, ini, dir.path()),
        6);
}

QTEST_GUILESS_MAIN(tst_S3Saves)
#include "tst_s3saves.moc"
