#include "cuserdbconnection.h"

#include <atomic>
#include <ctime>

#include <sqlite3.h>

#include <QCoreApplication>
#include <QSqlDriver>
#include <QSqlError>
#include <QThread>

#include "csqlitewalvfs.h"
#include "cuserdbconfig.h"
#include "cuserdbschema.h"

namespace {

thread_local CUserDbConnection *threadConnection = nullptr;

// A statement that meets another connection's lock tries again this often. SQLite's own wait
// sleeps 1, 2, 5, 10, 15, 20, then 25 to 100 ms between tries: a batch of logins that met the
// transaction of a purge beside the server started up to 25-50 ms after it had ended.
constexpr long LOCK_RETRY_NS = 500 * 1000;

std::atomic<qint64> retries { 0 };

qint64 monotonicNs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

sqlite3 *sqliteHandle(const QSqlDatabase &db)
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.constData());
}

QString oneLine(const QString &text)
{
    return text.simplified();
}

} // namespace

CUserDbConnection *CUserDbConnection::forThisThread()
{
    if (threadConnection)
        return threadConnection;
    QThread *thread = QThread::currentThread();
    threadConnection
        = new CUserDbConnection(QStringLiteral("tolvern-users-%1").arg(quintptr(thread), 0, 16));
    // Threads other than the main one take their connection with them when they end.
    const QCoreApplication *app = QCoreApplication::instance();
    if (app && thread != app->thread()) {
        QObject::connect(
            thread, &QThread::finished, thread,
            [] {
                delete threadConnection;
                threadConnection = nullptr;
            },
            Qt::DirectConnection);
    }
    return threadConnection;
}

CUserDbConnection *CUserDbConnection::ofThisThread()
{
    return threadConnection;
}

CUserDbConnection::CUserDbConnection(const QString &connectionName)
    : name(connectionName)
{
}

CUserDbConnection::~CUserDbConnection()
{
    close();
}

bool CUserDbConnection::open(
    const CUserDbConfig &target, int wanted, QString *errorText, QString *notice)
{
    close();
    // Before the first SQLite file is opened: only files opened through it can gather.
    if (!target.isPostgresql()) {
        CSqliteWalVfs::install();
        target.createSqliteFile();
    }
    db = target.addConnection(name);
    postgresql = target.isPostgresql();
    generation = wanted;
    if (!db.open()) {
        if (errorText)
            *errorText = QStringLiteral("Cannot open the user database %1: %2")
                             .arg(target.displayText(), oneLine(db.lastError().text()));
        close();
        return false;
    }
    // Every commit waits for the disk: what a player or the operator was told is stored
    // survives a power cut. Group commits keep that affordable.
    if (!postgresql) {
        waitForLocks(true);
        exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        exec(QStringLiteral("PRAGMA synchronous=FULL"));
        // Logins touch pages all over the name index: with SQLite's 2 MiB default most of
        // them were read from the file again (about a seventh of the committer's time).
        exec(QStringLiteral("PRAGMA cache_size=-%1").arg(SQLITE_CACHE_KIB));
        // A login rewrites one page at a random place: a longer log between checkpoints
        // copies each page back once for many logins instead of about once per login.
        exec(QStringLiteral("PRAGMA wal_autocheckpoint=%1").arg(SQLITE_CHECKPOINT_PAGES));
    } else if (!exec(QStringLiteral("SET synchronous_commit TO on"))) {
        // Not left to the cluster's default, which an operator may have turned off.
        if (errorText)
            *errorText = QStringLiteral("Cannot prepare the user database %1: %2")
                             .arg(target.displayText(), lastErrorText);
        close();
        return false;
    }
    QString error;
    if (!CUserDbSchema::ensure(db, notice, &error, &uniqueNames)) {
        if (errorText)
            *errorText = QStringLiteral("Cannot prepare the user database %1: %2")
                             .arg(target.displayText(), error);
        close();
        return false;
    }
    // A commit's log frames go to the file in one write before its sync.
    if (!postgresql)
        CSqliteWalVfs::bufferLog(db);
    return true;
}

void CUserDbConnection::close()
{
    queries.clear();
    if (db.isValid())
        db.close();
    db = QSqlDatabase();
    if (QSqlDatabase::contains(name))
        QSqlDatabase::removeDatabase(name);
}

QSqlQuery &CUserDbConnection::query(const QString &text)
{
    auto it = queries.find(text);
    if (it == queries.end()) {
        QSqlQuery query(db);
        query.setForwardOnly(true);
        query.prepare(text);
        it = queries.insert(text, query);
    }
    return it.value();
}

bool CUserDbConnection::exec(const QString &text)
{
    noteCommit(text);
    QSqlQuery query(db);
    if (query.exec(text))
        return true;
    keepError(query);
    return false;
}

bool CUserDbConnection::command(const QString &text)
{
    noteCommit(text);
    if (postgresql)
        return exec(text);
    QSqlQuery &prepared = query(text);
    if (prepared.exec()) {
        prepared.finish();
        return true;
    }
    keepError(prepared);
    return false;
}

bool CUserDbConnection::beginWithoutWaiting(const QString &begin, bool *othersLock)
{
    if (!waitForLocks(false))
        return false;
    const bool begun = command(begin);
    // SQLITE_BUSY, in any of its extended forms.
    *othersLock = !begun && (lastErrorCode.toInt() & 0xff) == 5;
    return waitForLocks(true) && begun;
}

bool CUserDbConnection::waitForLocks(bool wait)
{
    sqlite3 *handle = sqliteHandle(db);
    if (!handle)
        return false;
    return sqlite3_busy_handler(handle, wait ? &CUserDbConnection::retryLocked : nullptr, this)
        == SQLITE_OK;
}

int CUserDbConnection::retryLocked(void *connection, int tries)
{
    auto *self = static_cast<CUserDbConnection *>(connection);
    const qint64 now = monotonicNs();
    if (tries == 0)
        self->lockedSinceNs = now;
    if (now - self->lockedSinceNs >= qint64(CUserDbConfig::SQLITE_BUSY_TIMEOUT_MS) * 1000000)
        return 0;
    ++retries;
    const timespec pause { 0, LOCK_RETRY_NS };
    nanosleep(&pause, nullptr);
    return 1;
}

qint64 CUserDbConnection::lockRetries()
{
    return retries.load();
}

QString CUserDbConnection::beginText() const
{
    // PostgreSQL locks rows as they are written, until the commit.
    return postgresql ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE");
}

void CUserDbConnection::keepError(const QSqlQuery &query)
{
    const QSqlError error = query.lastError();
    lastErrorText = oneLine(error.text());
    lastErrorCode = error.nativeErrorCode();
}

bool CUserDbConnection::lostToConflict() const
{
    return postgresql
        && (lastErrorCode == QLatin1String("40P01") || lastErrorCode == QLatin1String("40001"));
}

bool CUserDbConnection::alive()
{
    if (!postgresql)
        return true;
    QSqlQuery probe(db);
    return probe.exec(QStringLiteral("select 1")) && probe.next();
}

void CUserDbConnection::noteCommit(const QString &text)
{
    if (text == QLatin1String("COMMIT"))
        commitSent = true;
}
