// Restores of a real backup cut by SIGKILL between every two of their steps: none looks whole
// (it has no ini) before it is, no file bears its final name before it is whole, and the same
// restore run again finishes the job.
#include <csignal>
#include <sys/stat.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include "cbackup.h"
#include "cinifile.h"
#include "crestore.h"
#include "cuserdbconfig.h"

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

    QTemporaryDir dir;
    QString backup;
};

void tst_Restore::initTestCase()
{
    QVERIFY(dir.isValid());
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

void tst_Restore::checkWhole(const QString &work, const QString &storage, bool complete)
{
    QStringList expected;
    for (const QString &file : filesUnder(backup + QStringLiteral("/saves"))) {
        expected << file;
        if (QFile::exists(storage + QLatin1Char('/') + file))
            QCOMPARE(readAll(storage + QLatin1Char('/') + file),
                readAll(backup + QStringLiteral("/saves/") + file));
    }
    const QString db = work + QStringLiteral("/db/users.db");
    if (QFile::exists(db)) {
        QCOMPARE(readAll(db), readAll(backup + QStringLiteral("/users.db")));
        QCOMPARE(modeOf(db), mode_t(0600));
    }
    if (!complete)
        return;
    QCOMPARE(filesUnder(storage), expected);
    QCOMPARE(filesUnder(work).filter(QStringLiteral("db/")),
        QStringList { QStringLiteral("db/users.db") });
    // Nothing of the restore's own is left.
    QVERIFY(!QFileInfo::exists(work + QLatin1Char('/') + CRestore::partialFolder()));
    QVERIFY(!QFileInfo::exists(storage + QLatin1Char('/') + CRestore::partialFolder()));
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
    const QString storage = dir.filePath(QStringLiteral("storage-") + QString::fromLatin1(step));
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
        QCOMPARE(elsewhere.run(work, storage + QStringLiteral("-other"), ini),
            CRestore::Status::TargetNotEmpty);
        // ...but the same restore again clears it and finishes.
        CRestore again(backup);
        QCOMPARE(again.run(work, storage, ini), CRestore::Status::Ok);
    }
    checkWhole(work, storage, true);
    CIniFile restored(ini);
    QCOMPARE(restored.load(), CIniFile::Loaded);
    QCOMPARE(restored.value(QStringLiteral("General"), QStringLiteral("SaveDataDir"), QString()),
        storage);
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
