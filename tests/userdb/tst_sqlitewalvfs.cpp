#include <algorithm>

#include <sqlite3.h>

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include "csqlitewalvfs.h"

namespace {

// Beneath the layer: records the writes (W, or Z of zeros only) and syncs (S) that reach a
// log file.
sqlite3_vfs *platform = nullptr;
sqlite3_vfs probeVfs;
sqlite3_io_methods probeMethods;
const sqlite3_io_methods *logMethods = nullptr;
QByteArray logEvents;

int probeWrite(sqlite3_file *file, const void *data, int amount, sqlite3_int64 offset)
{
    const auto bytes = static_cast<const char *>(data);
    logEvents += std::all_of(bytes, bytes + amount, [](char c) { return c == 0; }) ? 'Z' : 'W';
    return logMethods->xWrite(file, data, amount, offset);
}

int probeSync(sqlite3_file *file, int flags)
{
    logEvents += 'S';
    return logMethods->xSync(file, flags);
}

int probeOpen(sqlite3_vfs *, const char *name, sqlite3_file *file, int flags, int *outFlags)
{
    const int rc = platform->xOpen(platform, name, file, flags, outFlags);
    if (rc == SQLITE_OK && (flags & SQLITE_OPEN_WAL) && file->pMethods) {
        logMethods = file->pMethods;
        probeMethods = *file->pMethods;
        probeMethods.xWrite = probeWrite;
        probeMethods.xSync = probeSync;
        file->pMethods = &probeMethods;
    }
    return rc;
}

} // namespace

// A connection that gathers its log's frames, beside others that read and write the same
// file as another server or an admin command would.
class tst_SqliteWalVfs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void commitsReachOtherConnections_data();
    void commitsReachOtherConnections();
    void rolledBackFramesNeverMeetAnotherWriter();
    void logWrittenAhead_data();
    void logWrittenAhead();

private:
    QSqlDatabase open(const QString &name, bool gather, int cacheKib = 2000);
    static int count(const QSqlDatabase &db);
    // Bytes of the log's valid frames, and of its file.
    static qint64 framesEnd(const QSqlDatabase &db);
    qint64 logSize() const;
    static QString integrity(const QSqlDatabase &db);

    QTemporaryDir temp;
};

void tst_SqliteWalVfs::initTestCase()
{
    QVERIFY(temp.isValid());
    platform = sqlite3_vfs_find(nullptr);
    QVERIFY(platform);
    probeVfs = *platform;
    probeVfs.zName = "probe";
    probeVfs.xOpen = probeOpen;
    QCOMPARE(sqlite3_vfs_register(&probeVfs, 1), SQLITE_OK);
    QVERIFY(CSqliteWalVfs::install());
}

void tst_SqliteWalVfs::cleanup()
{
    for (const QString &name : QSqlDatabase::connectionNames()) {
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(name);
    }
    QFile::remove(temp.filePath(QStringLiteral("t.db")));
}

QSqlDatabase tst_SqliteWalVfs::open(const QString &name, bool gather, int cacheKib)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(temp.filePath(QStringLiteral("t.db")));
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open())
        return db;
    QSqlQuery query(db);
    query.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    query.exec(QStringLiteral("PRAGMA synchronous=FULL"));
    query.exec(QStringLiteral("PRAGMA cache_size=-%1").arg(cacheKib));
    query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS t (id INTEGER PRIMARY KEY, v BLOB)"));
    if (gather && !CSqliteWalVfs::bufferLog(db))
        db.close();
    return db;
}

int tst_SqliteWalVfs::count(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    return query.exec(QStringLiteral("select count(*) from t")) && query.next()
        ? query.value(0).toInt()
        : -1;
}

QString tst_SqliteWalVfs::integrity(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA integrity_check")) || !query.next())
        return query.lastError().text();
    return query.value(0).toString();
}

void tst_SqliteWalVfs::commitsReachOtherConnections_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("bytes");

    QTest::newRow("one page") << 1 << 100;
    // Several writes of the platform's largest size.
    QTest::newRow("a few hundred KiB") << 100 << 3000;
    // More than the layer holds at once: part goes out before the commit.
    QTest::newRow("several MiB") << 1500 << 4000;
}

void tst_SqliteWalVfs::commitsReachOtherConnections()
{
    QFETCH(int, rows);
    QFETCH(int, bytes);

    QSqlDatabase writer = open(QStringLiteral("writer"), true);
    QVERIFY2(writer.isOpen(), "the connection does not gather its log");
    QSqlDatabase reader = open(QStringLiteral("reader"), false);
    QVERIFY(reader.isOpen());
    QSqlQuery insert(writer);
    QVERIFY(insert.prepare(QStringLiteral("insert into t (v) values (zeroblob(?))")));
    for (int commit = 1; commit <= 3; ++commit) {
        logEvents.clear();
        QVERIFY(writer.transaction());
        for (int i = 0; i < rows; ++i) {
            insert.addBindValue(bytes);
            QVERIFY2(insert.exec(), qPrintable(insert.lastError().text()));
        }
        QVERIFY(writer.commit());
        // Every frame is in the file before the sync that makes the commit durable, and
        // went there in a few large writes (besides the zeros written ahead).
        QVERIFY2(logEvents.endsWith('S') && logEvents.count('W') <= 2 + rows * bytes / 100000,
            qPrintable(QStringLiteral("%1 writes, then %2")
                           .arg(logEvents.count('W'))
                           .arg(QLatin1Char(logEvents.isEmpty() ? '-' : logEvents.back()))));
        // The reader has its own file handles: it sees only what reached the file.
        QCOMPARE(count(reader), commit * rows);
        QCOMPARE(integrity(reader), QStringLiteral("ok"));
    }
    // And after the log was copied back into the database.
    QSqlQuery(writer).exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    QCOMPARE(count(reader), 3 * rows);
    QCOMPARE(integrity(reader), QStringLiteral("ok"));
}

void tst_SqliteWalVfs::rolledBackFramesNeverMeetAnotherWriter()
{
    // A page cache of a few pages: the large transaction spills frames into the log before
    // it is rolled back, and no sync follows them.
    QSqlDatabase gatherer = open(QStringLiteral("gatherer"), true, 64);
    QVERIFY2(gatherer.isOpen(), "the connection does not gather its log");
    QSqlDatabase other = open(QStringLiteral("other"), false);
    QVERIFY(other.isOpen());
    QVERIFY(QSqlQuery(gatherer).exec(QStringLiteral("insert into t (v) values (x'01')")));
    // An empty log: the rollback reloads its pages from the database, not from the log.
    QVERIFY(QSqlQuery(gatherer).exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")));

    QVERIFY(gatherer.transaction());
    QSqlQuery spill(gatherer);
    QVERIFY(spill.exec(QStringLiteral("with recursive n(i) as (select 1 union all select i + 1 "
                                      "from n where i < 400) insert into t (v) select "
                                      "randomblob(1000) from n")));
    QVERIFY(gatherer.rollback());

    // Another writer appends where the rolled-back frames lay; then the first one writes on.
    QVERIFY(QSqlQuery(other).exec(QStringLiteral(
        "with recursive n(i) as (select 1 union all select i + 1 from n where i < 20) "
        "insert into t (v) select x'02' from n")));
    QVERIFY(QSqlQuery(gatherer).exec(QStringLiteral("insert into t (v) values (x'03')")));

    QSqlDatabase fresh = open(QStringLiteral("fresh"), false);
    QCOMPARE(integrity(fresh), QStringLiteral("ok"));
    QSqlQuery query(fresh);
    QVERIFY(query.exec(QStringLiteral("select hex(v), count(*) from t group by v order by v")));
    QStringList seen;
    while (query.next())
        seen << QStringLiteral("%1x%2").arg(query.value(0).toString(), query.value(1).toString());
    QCOMPARE(seen,
        QStringList({ QStringLiteral("01x1"), QStringLiteral("02x20"), QStringLiteral("03x1") }));
}

qint64 tst_SqliteWalVfs::framesEnd(const QSqlDatabase &db)
{
    // Without a lock to take, a passive checkpoint only reports the log's frames.
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)")) || !query.next())
        return -1;
    QSqlQuery pageSize(db);
    if (!pageSize.exec(QStringLiteral("PRAGMA page_size")) || !pageSize.next())
        return -1;
    return 32 + query.value(1).toLongLong() * (pageSize.value(0).toLongLong() + 24);
}

qint64 tst_SqliteWalVfs::logSize() const
{
    return QFileInfo(temp.filePath(QStringLiteral("t.db-wal"))).size();
}

void tst_SqliteWalVfs::logWrittenAhead_data()
{
    QTest::addColumn<int>("rounds");
    QTest::addColumn<int>("otherRows");

    QTest::newRow("a fresh log") << 1 << 0;
    // The frames cross the first steps written ahead.
    QTest::newRow("commits across steps") << 12 << 0;
    // Another connection (an older server, an admin command) appends past the zeros: the
    // next step starts past its frames, not past the gatherer's own.
    QTest::newRow("another writer past the end") << 3 << 600;
}

void tst_SqliteWalVfs::logWrittenAhead()
{
    QFETCH(int, rounds);
    QFETCH(int, otherRows);

    QSqlDatabase writer = open(QStringLiteral("writer"), true);
    QVERIFY2(writer.isOpen(), "the connection does not gather its log");
    QSqlDatabase other = open(QStringLiteral("other"), false);
    QVERIFY(other.isOpen());
    // Keeps the log from being copied back and started again meanwhile.
    QSqlQuery(writer).exec(QStringLiteral("PRAGMA wal_autocheckpoint=0"));
    QSqlQuery(other).exec(QStringLiteral("PRAGMA wal_autocheckpoint=0"));
    int rows = 0;
    for (int round = 0; round < rounds; ++round) {
        if (otherRows > 0) {
            QVERIFY(QSqlQuery(other).exec(
                QStringLiteral("with recursive n(i) as (select 1 union all select i + 1 from n "
                               "where i < %1) insert into t (v) select randomblob(3000) from n")
                    .arg(otherRows)));
            rows += otherRows;
        }
        logEvents.clear();
        QVERIFY(QSqlQuery(writer).exec(
            QStringLiteral("with recursive n(i) as (select 1 union all select i + 1 from n "
                           "where i < 50) insert into t (v) select randomblob(3000) from n")));
        rows += 50;
        const qint64 end = framesEnd(writer);
        // Zeros only ever before the commit's sync, which makes them durable with it.
        QVERIFY2(!logEvents.contains('Z') || logEvents.lastIndexOf('Z') < logEvents.indexOf('S'),
            logEvents.constData());
        QVERIFY2(logSize() - end >= CSqliteWalVfs::LOG_AHEAD_BYTES / 2,
            qPrintable(QStringLiteral("frames end at %1 of %2").arg(end).arg(logSize())));
    }
    // The files as a crash would leave them: the log's frames are read up to the zeros.
    const QString crash = temp.filePath(QStringLiteral("crash"));
    QVERIFY(QDir().mkpath(crash));
    for (const QString &suffix : { QStringLiteral(""), QStringLiteral("-wal") }) {
        QFile::remove(crash + QStringLiteral("/t.db") + suffix);
        QVERIFY(QFile::copy(temp.filePath(QStringLiteral("t.db")) + suffix,
            crash + QStringLiteral("/t.db") + suffix));
    }
    QSqlDatabase copy = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("c"));
    copy.setDatabaseName(crash + QStringLiteral("/t.db"));
    QVERIFY(copy.open());
    QCOMPARE(count(copy), rows);
    QCOMPARE(integrity(copy), QStringLiteral("ok"));
    QCOMPARE(count(other), rows);
}

QTEST_GUILESS_MAIN(tst_SqliteWalVfs)
#include "tst_sqlitewalvfs.moc"
