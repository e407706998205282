// Restores of a real backup cut by SIGKILL between every two of their steps: none looks whole
// (it has no ini) before it is, no file bears its final name before it is whole, and the same
// restore run again finishes the job. Built a second time (tst_restore_s3) to restore into a
// bucket of the S3 fixture, where the saves cannot wait under another name.
#include <csignal>
#include <sys/stat.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include "cbackup.h"
#include "cinifile.h"
#include "crestore.h"
#include "cserversettings.h"
#include "cuserdbconfig.h"
#ifdef TOLVERN_RESTORE_S3
#include "cs3bucket.h"
#include "cs3savecopy.h"
#include "cs3testenv.h"
#endif

namespace {

const QString INI_TEXT = QStringLiteral("; kept as it was\n[General]\nSaveDataDir=/srv/live\n"
                                        "MainPort=4000\n[Admin]\nTokenHash=abc\n");

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Every file under dir, relative to it, but what lies in a restore's own folder.
QStringList filesUnder(const QString &dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = QDir(dir).relativeFilePath(it.next());
        if (!path.split(QLatin1Char('/')).contains(CRestore::partialFolder()))
            out << path;
    }
    out.sort();
    return out;
}

mode_t modeOf(const QString &path)
{
    struct stat st
    {
    };
    ::stat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

// The child: one restore, ended by SIGKILL at the named step.
int runChild()
{
    const QByteArray stop = qgetenv("RESTORE_STEP");
    CRestore restore(qEnvironmentVariable("RESTORE_BACKUP"));
    restore.setSettings(CServerSettings::instance()->snapshot());
    restore.setStepHook([&](const char *step) {
        if (stop == step)
            ::raise(SIGKILL);
    });
    return restore.run(qEnvironmentVariable("RESTORE_WORK"),
               qEnvironmentVariable("RESTORE_STORAGE"), qEnvironmentVariable("RESTORE_INI"))
            == CRestore::Status::Ok
        ? 0
        : 1;
}

} // namespace

class tst_Restore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void killAtEachStep_data();
    void killAtEachStep();

private:
    // Whether every file of the restore under a final name is whole, as the backup has it.
    void checkWhole(const QString &work, const QString &storage, bool complete);

    // The storage folder, or in a bucket the objects, of a restore named for step.
    QString storageFor(const QByteArray &step) const;
    // The saves restored there, by path (7/slot1.z), with their bytes.
    QHash<QString, QByteArray> restoredSaves(const QString &storage) const;

    QTemporaryDir dir;
    QString backup;
#ifdef TOLVERN_RESTORE_S3
    CS3TestEnv env;
    QString bucket;
#endif
};

void tst_Restore::initTestCase()
{
    QVERIFY(dir.isValid());
#ifdef TOLVERN_RESTORE_S3
    QString why;
    if (!env.load(&why))
        QSKIP(qPrintable(why));
    bucket = env.createBucket(QStringLiteral("restore"));
    QVERIFY(!bucket.isEmpty());
    // The backed-up ini names no store: the restore takes the environment's.
    qputenv("AWS_ENDPOINT_URL", env.endpoint.toUtf8());
    qputenv("AWS_REGION", env.region.toUtf8());
    qputenv("AWS_ACCESS_KEY_ID", env.accessKey.toUtf8());
    qputenv("AWS_SECRET_ACCESS_KEY", env.secretKey.toUtf8());
#endif
    const QString db = dir.filePath(QStringLiteral("source/db/users.db"));
    QVERIFY(QDir().mkpath(QFileInfo(db).path()));
    {
        QSqlDatabase sql
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("s"));
        sql.setDatabaseName(db);
        QVERIFY(sql.open());
        QSqlQuery query(sql);
        QVERIFY(query.exec(QStringLiteral("create table t_user (object_id int, name text, "
                                          "password text, is_enabled char(1), last_login text)")));
        QVERIFY(query.exec(QStringLiteral("insert into t_user values (7, 'ann', 'x', 'Y', null), "
                                          "(8, 'bob', 'y', 'Y', null)")));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("s"));
    const QString storage = dir.filePath(QStringLiteral("source/saves"));
    QVERIFY(writeFile(storage + QStringLiteral("/7/slot1.z"), QByteArray(70000, 'a')));
    QVERIFY(writeFile(storage + QStringLiteral("/7/.versions/slot1.z/2026-12-07T10-40-02.517Z"),
        QByteArray(5000, 'b')));
    QVERIFY(writeFile(storage + QStringLiteral("/8/deep/slot2.z"), QByteArray(300, 'c')));
    QVERIFY(writeFile(storage + QStringLiteral("/top.z"), QByteArray(10, 'd')));
    const QString ini = dir.filePath(QStringLiteral("source/tolvern.ini"));
    QVERIFY(writeFile(ini, INI_TEXT.toUtf8()));
    backup = dir.filePath(QStringLiteral("backup"));
    CBackup taken(CUserDbConfig::sqlite(db), storage, ini);
    QVERIFY2(taken.run(backup) == CBackup::Status::Ok, qPrintable(taken.errorText()));
}

QString tst_Restore::storageFor(const QByteArray &step) const
{
#ifdef TOLVERN_RESTORE_S3
    return QStringLiteral("s3://%1/storage-%2").arg(bucket, QString::fromLatin1(step));
#else
    return dir.filePath(QStringLiteral("storage-") + QString::fromLatin1(step));
#endif
}

QHash<QString, QByteArray> tst_Restore::restoredSaves(const QString &storage) const
{
    QHash<QString, QByteArray> out;
#ifdef TOLVERN_RESTORE_S3
    CS3Config config;
    QString why;
    CS3Config base;
    base.endpoint = env.endpoint;
    base.region = env.region;
    base.accessKey = env.accessKey;
    base.secretKey = env.secretKey;
    if (!CS3Config::fromUrl(storage, base, &config, &why))
        return { { QStringLiteral("<bad url>"), why.toUtf8() } };
    CS3Bucket store(config);
    QList<CS3Bucket::Object> objects;
    store.list(config.prefix, &objects, &why);
    for (const CS3Bucket::Object &object : std::as_const(objects)) {
        CS3Bucket::Head head;
        QByteArray bytes;
        if (store.head(object.key, &head, &why))
            store.readAll(object.key, head, [&bytes](const QByteArray &piece) {
                bytes += piece;
                return true;
            }, &why);
        out.insert(object.key.mid(config.prefix.size()), bytes);
    }
#else
    for (const QString &file : filesUnder(storage))
        out.insert(file, readAll(storage + QLatin1Char('/') + file));
#endif
    return out;
}

void tst_Restore::checkWhole(const QString &work, const QString &storage, bool complete)
{
    QStringList expected;
    const QHash<QString, QByteArray> restored = restoredSaves(storage);
    for (const QString &file : filesUnder(backup + QStringLiteral("/saves"))) {
#ifdef TOLVERN_RESTORE_S3
        // A bucket keeps each sum in its object's metadata.
        if (!CS3SaveCopy::isSaveFile(file))
            continue;
#endif
        expected << file;
        if (restored.contains(file))
            QCOMPARE(restored.value(file), readAll(backup + QStringLiteral("/saves/") + file));
    }
    const QString db = work + QStringLiteral("/db/users.db");
    if (QFile::exists(db)) {
        QCOMPARE(readAll(db), readAll(backup + QStringLiteral("/users.db")));
        QCOMPARE(modeOf(db), mode_t(0600));
    }
    if (!complete)
        return;
    QStringList present = restored.keys();
    present.sort();
    expected.sort();
    QCOMPARE(present, expected);
    QCOMPARE(filesUnder(work).filter(QStringLiteral("db/")),
        QStringList { QStringLiteral("db/users.db") });
    // Nothing of the restore's own is left.
    QVERIFY(!QFileInfo::exists(work + QLatin1Char('/') + CRestore::partialFolder()));
#ifndef TOLVERN_RESTORE_S3
    QVERIFY(!QFileInfo::exists(storage + QLatin1Char('/') + CRestore::partialFolder()));
#endif
    QCOMPARE(QDir(work).entryList(QDir::Files | QDir::Hidden),
        QStringList { QStringLiteral("tolvern.ini") });
}

void tst_Restore::killAtEachStep_data()
{
    QTest::addColumn<QByteArray>("step");
    QTest::addColumn<bool>("whole"); // the restore was done when it ended
    for (const char *step : { "marked", "database", "saves", "synced" })
        QTest::newRow(step) << QByteArray(step) << false;
    QTest::newRow("ini") << QByteArray("ini") << true;
    QTest::newRow("not cut") << QByteArray() << true;
}

void tst_Restore::killAtEachStep()
{
    QFETCH(QByteArray, step);
    QFETCH(bool, whole);
    const QString work = dir.filePath(QStringLiteral("work-") + QString::fromLatin1(step));
    const QString storage = storageFor(step);
    const QString ini = work + QStringLiteral("/tolvern.ini");
    QVERIFY(QDir().mkpath(work));
    const mode_t umaskWas = ::umask(022);

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("RESTORE_CHILD"), QStringLiteral("1"));
    env.insert(QStringLiteral("RESTORE_BACKUP"), backup);
    env.insert(QStringLiteral("RESTORE_WORK"), work);
    env.insert(QStringLiteral("RESTORE_STORAGE"), storage);
    env.insert(QStringLiteral("RESTORE_INI"), ini);
    env.insert(QStringLiteral("RESTORE_STEP"), QString::fromLatin1(step));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(child.waitForFinished(30000));
    ::umask(umaskWas);
    QCOMPARE(child.exitStatus(), step.isEmpty() ? QProcess::NormalExit : QProcess::CrashExit);

    // Whole only with its ini, and the ini never names any storage folder but its own.
    QCOMPARE(QFileInfo::exists(ini), whole);
    checkWhole(work, storage, whole);
    if (!whole) {
        // What it left is not taken for another restore's...
        CRestore elsewhere(backup);
        elsewhere.setSettings(CServerSettings::instance()->snapshot());
        QCOMPARE(elsewhere.run(work, storage + QStringLiteral("-other"), ini),
            CRestore::Status::TargetNotEmpty);
        // ...but the same restore again clears it and finishes.
        CRestore again(backup);
        again.setSettings(CServerSettings::instance()->snapshot());
        QCOMPARE(again.run(work, storage, ini), CRestore::Status::Ok);
    }
    checkWhole(work, storage, true);
    CIniFile restored(ini);
    QCOMPARE(restored.load(), CIniFile::Loaded);
#ifdef TOLVERN_RESTORE_S3
    QCOMPARE(restored.value(QStringLiteral("Storage"), QStringLiteral("Backend"), QString()),
        QStringLiteral("s3"));
    QCOMPARE(restored.value(QStringLiteral("Storage"), QStringLiteral("S3Prefix"), QString()),
        storage.section(QLatin1Char('/'), 3) + QLatin1Char('/'));
#else
    QCOMPARE(restored.value(QStringLiteral("General"), QStringLiteral("SaveDataDir"), QString()),
        storage);
#endif
    QCOMPARE(restored.value(QStringLiteral("Admin"), QStringLiteral("TokenHash"), QString()),
        QStringLiteral("abc"));
    // The token's hash and the users' passwords: the owner's only, whatever the umask.
    QCOMPARE(modeOf(ini), mode_t(0600));
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("RESTORE_CHILD")) {
        QCoreApplication app(argc, argv);
        return runChild();
    }
    QCoreApplication app(argc, argv);
    tst_Restore test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_restore.moc"
