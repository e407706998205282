#include "cuserdb.h"

#include <algorithm>
#include <limits>

#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHash>
#include <QMetaMethod>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QUrl>
#include <QVariant>

#include "controlcodes.h"
#include "csqlitewalvfs.h"
#include "cserversettings.h"
#include "storagehelpers.h"

namespace {

// Ids skipped in one add because a folder of that name is already in the storage directory.
constexpr int MAX_SKIPPED_IDS = 10000;
// Serialises the schema set-up of servers starting at the same moment.
constexpr int SCHEMA_LOCK = 0x7e5e;

QString oneLine(const QString &text)
{
    return text.simplified();
}

quint8 failureResult(CUserDb::Request::Kind kind)
{
    return kind == CUserDb::Request::Login ? libsock::RESULT_LOGIN_FAILED : libsock::RESULT_FAILED;
}

} // namespace

// One thread's connection with its prepared statements, prepared once: on PostgreSQL a
// fresh prepare costs a round trip of its own.
class CUserDb::Connection
{
public:
    explicit Connection(const QString &connectionName)
        : name(connectionName)
    {
    }
    ~Connection() { close(); }

    void close()
    {
        queries.clear();
        if (db.isValid())
            db.close();
        db = QSqlDatabase();
        if (QSqlDatabase::contains(name))
            QSqlDatabase::removeDatabase(name);
    }

    QSqlQuery &query(const QString &text)
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

    bool exec(const QString &text)
    {
        noteCommit(text);
        QSqlQuery query(db);
        if (query.exec(text))
            return true;
        keepError(query);
        return false;
    }

    // Keeps the reason of a failed statement for the operator's log.
    Step failed(const QSqlQuery &query)
    {
        keepError(query);
        return Step::Failed;
    }

    void keepError(const QSqlQuery &query)
    {
        const QSqlError error = query.lastError();
        lastErrorText = oneLine(error.text());
        lastErrorCode = error.nativeErrorCode();
    }

    // PostgreSQL gave the transaction up for a lock cycle or a serialization conflict with
    // another server's: the same transaction run again succeeds.
    bool lostToConflict() const
    {
        return postgresql
            && (lastErrorCode == QLatin1String("40P01") || lastErrorCode == QLatin1String("40001"));
    }

    // SQLite's BEGIN IMMEDIATE, failing at once with othersLock set when another connection
    // holds the write lock; later statements wait for locks as always.
    bool beginWithoutWaiting(const QString &begin, bool *othersLock)
    {
        if (!command(QStringLiteral("PRAGMA busy_timeout=0")))
            return false;
        const bool begun = command(begin);
        // SQLITE_BUSY, in any of its extended forms.
        *othersLock = !begun && (lastErrorCode.toInt() & 0xff) == 5;
        const bool restored = command(
            QStringLiteral("PRAGMA busy_timeout=%1").arg(CUserDbConfig::SQLITE_BUSY_TIMEOUT_MS));
        return begun && restored;
    }

    // A statement without values, run often: prepared once on SQLite. (PostgreSQL prepares
    // no transaction control.)
    bool command(const QString &text)
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

    // Runs write in a transaction whose commit waits for the disk; false, rolled back, when
    // a statement failed.
    template<typename Write> bool durable(Write write)
    {
        if (!postgresql)
            return write();
        if (!exec(QStringLiteral("BEGIN"))
            || !exec(QStringLiteral("SET LOCAL synchronous_commit TO on")) || !write()
            || !exec(QStringLiteral("COMMIT"))) {
            exec(QStringLiteral("ROLLBACK"));
            return false;
        }
        return true;
    }

    // Once a COMMIT has left, a lost connection leaves unknown whether it took effect: the
    // operation must not be run again, or it would meet its own change.
    void noteCommit(const QString &text)
    {
        if (text == QLatin1String("COMMIT"))
            commitSent = true;
    }

    // False when the connection itself is gone, not just one statement.
    bool alive()
    {
        if (!postgresql)
            return true;
        QSqlQuery probe(db);
        return probe.exec(QStringLiteral("select 1")) && probe.next();
    }

    QString name;
    QSqlDatabase db;
    bool commitSent = false;
    bool postgresql = false;
    // Whether the database refuses a name twice by itself (an older file may not).
    bool uniqueNames = false;
    int generation = -1;
    QHash<QString, QSqlQuery> queries;
    QString lastErrorText;
    QString lastErrorCode;
};

thread_local CUserDb::Connection *CUserDb::threadConnection = nullptr;

CUserDb *CUserDb::instance()
{
    // Either thread may be first.
    static CUserDb *const userDb = [] {
        auto *db = new CUserDb;
        // Signals queued to it (the log backlog) need a thread that runs for good.
        if (const QCoreApplication *app = QCoreApplication::instance())
            db->moveToThread(app->thread());
        // Creates the tables; an unusable database shows up as failing operations later.
        db->connection(nullptr);
        return db;
    }();
    return userDb;
}

CUserDb::CUserDb()
    : QObject(nullptr)
{
}

bool CUserDb::unbatchedComparison()
{
    static const bool set = qEnvironmentVariableIntValue("TOLVERN_COMPARE_UNBATCHED") == 1;
    return set;
}

CUserDb::~CUserDb() = default;

QString CUserDb::dateTimeText(const QDateTime &dateTime)
{
    return dateTime.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss"));
}

QVariant CUserDb::sqlText(const QString &text)
{
    return text.isNull() ? QVariant(QString(QLatin1String(""))) : QVariant(text);
}

void CUserDb::setConfig(const CUserDbConfig &newConfig)
{
    QMutexLocker lock(&mutex);
    hasConfig = true;
    config = newConfig;
    ++generation;
}

void CUserDb::clearConfig()
{
    QMutexLocker lock(&mutex);
    hasConfig = false;
    ++generation;
}

bool CUserDb::currentConfig(CUserDbConfig *result, QString *errorText) const
{
    {
        QMutexLocker lock(&mutex);
        if (hasConfig) {
            *result = config;
            return true;
        }
    }
    CUserDbConfig fromSettings;
    if (!CUserDbConfig::fromSettings(
            CServerSettings::instance()->snapshot(), &fromSettings, errorText))
        return false;
    if (!fromSettings.isPostgresql()) {
        // The default connection can only be looked at from its own thread, the main one;
        // other threads take the file the main thread found there last.
        const QString defaultName = QLatin1String(QSqlDatabase::defaultConnection);
        const QCoreApplication *app = QCoreApplication::instance();
        QMutexLocker lock(&mutex);
        if ((!app || app->thread() == QThread::currentThread())
            && QSqlDatabase::contains(defaultName)) {
            const QSqlDatabase db = QSqlDatabase::database(defaultName, false);
            if (db.driverName() == QLatin1String("QSQLITE") && !db.databaseName().isEmpty())
                defaultFile = db.databaseName();
        }
        if (!defaultFile.isEmpty())
            fromSettings = CUserDbConfig::sqlite(defaultFile);
    }
    *result = fromSettings;
    return true;
}

CUserDb::Connection *CUserDb::connection(QString *errorText)
{
    if (!threadConnection) {
        QThread *thread = QThread::currentThread();
        threadConnection
            = new Connection(QStringLiteral("tolvern-users-%1").arg(quintptr(thread), 0, 16));
        // Threads other than the main one take their connection with them when they end.
        const QCoreApplication *app = QCoreApplication::instance();
        if (app && thread != app->thread()) {
            connect(
                thread, &QThread::finished, thread,
                [] {
                    delete threadConnection;
                    threadConnection = nullptr;
                },
                Qt::DirectConnection);
        }
    }
    Connection *conn = threadConnection;
    const int wanted = generation.load();
    if (conn->db.isOpen() && conn->generation == wanted)
        return conn;

    conn->close();
    CUserDbConfig target;
    QString error;
    if (!currentConfig(&target, &error)) {
        if (errorText)
            *errorText = error;
        return nullptr;
    }
    // Before the first SQLite file is opened: only files opened through it can gather.
    if (!target.isPostgresql())
        CSqliteWalVfs::install();
    conn->db = target.addConnection(conn->name);
    conn->postgresql = target.isPostgresql();
    conn->generation = wanted;
    if (!conn->db.open()) {
        if (errorText)
            *errorText = QStringLiteral("Cannot open the user database %1: %2")
                             .arg(target.displayText(), oneLine(conn->db.lastError().text()));
        conn->close();
        return nullptr;
    }
    // Every commit waits for the disk: what a player or the operator was told is stored
    // survives a power cut. Group commits (commitBatch) keep that affordable.
    if (!conn->postgresql) {
        conn->exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        conn->exec(unbatchedComparison() ? QStringLiteral("PRAGMA synchronous=NORMAL")
                                         : QStringLiteral("PRAGMA synchronous=FULL"));
        // Logins touch pages all over the name index: with SQLite's 2 MiB default most of
        // them were read from the file again (about a seventh of the committer's time).
        conn->exec(QStringLiteral("PRAGMA cache_size=-%1").arg(SQLITE_CACHE_KIB));
        // A login rewrites one page at a random place: a longer log between checkpoints
        // copies each page back once for many logins instead of about once per login.
        conn->exec(QStringLiteral("PRAGMA wal_autocheckpoint=%1").arg(SQLITE_CHECKPOINT_PAGES));
    } else if (unbatchedComparison()) {
        conn->exec(QStringLiteral("SET synchronous_commit TO off"));
    }
    QString notice;
    if (!ensureSchema(conn->db, &notice, &error, &conn->uniqueNames)) {
        if (errorText)
            *errorText = QStringLiteral("Cannot prepare the user database %1: %2")
                             .arg(target.displayText(), error);
        conn->close();
        return nullptr;
    }
    if (!notice.isEmpty() && !schemaNoticeLogged.exchange(true))
        logLine(notice);
    // A commit's log frames go to the file in one write before its sync. (Only where every
    // commit syncs: other connections must not see a commit before its frames are written.)
    if (!conn->postgresql && !unbatchedComparison())
        CSqliteWalVfs::bufferLog(conn->db);
    return conn;
}

void CUserDb::dropConnection()
{
    if (threadConnection)
        threadConnection->close();
}

bool CUserDb::open(QString *errorText)
{
    dropConnection();
    QString error;
    if (!connection(&error)) {
        if (errorText)
            *errorText = error;
        return false;
    }
    reportBack();
    return true;
}

void CUserDb::close()
{
    dropConnection();
}

QSqlDatabase CUserDb::database()
{
    Connection *conn = connection(nullptr);
    return conn ? conn->db : QSqlDatabase();
}

// operation(Connection&) returns false when one of its statements failed, after rolling back
// what it began. A connection found dead is opened again and the operation tried once more,
// unless its commit had already been sent.
template<typename Operation> bool CUserDb::run(Operation operation)
{
    for (int attempt = 0;; ++attempt) {
        QString error;
        Connection *conn = connection(&error);
        if (!conn) {
            reportOutage(error);
            return false;
        }
        conn->commitSent = false;
        if (operation(*conn)) {
            reportBack();
            return true;
        }
        if (conn->alive())
            return false;
        error = oneLine(conn->db.lastError().text());
        conn->close();
        if (attempt > 0 || conn->commitSent) {
            reportOutage(error);
            return false;
        }
    }
}

void CUserDb::reportOutage(const QString &errorText)
{
    if (!outage.exchange(true))
        logLine(tr("User database unreachable: %1").arg(errorText));
}

void CUserDb::reportBack()
{
    if (outage.load() && outage.exchange(false))
        logLine(tr("User database reachable again"));
}

void CUserDb::logLine(const QString &line)
{
    if (isSignalConnected(QMetaMethod::fromSignal(&CUserDb::log))) {
        emit log(line);
        return;
    }
    // Lines from before the window or the console listens wait for the first receiver.
    QMutexLocker lock(&mutex);
    backlog.append(line);
}

void CUserDb::connectNotify(const QMetaMethod &signal)
{
    if (signal != QMetaMethod::fromSignal(&CUserDb::log))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            QStringList lines;
            {
                QMutexLocker lock(&mutex);
                lines.swap(backlog);
            }
            for (const QString &line : std::as_const(lines))
                emit log(line);
        },
        Qt::QueuedConnection);
}

bool CUserDb::ensureSchema(QSqlDatabase &db, QString *notice, QString *errorText, bool *uniqueNames)
{
    if (uniqueNames)
        *uniqueNames = false;
    const bool postgresql = db.driverName() == QLatin1String("QPSQL");
    QSqlQuery query(db);
    const auto fail = [&query, errorText] {
        if (errorText)
            *errorText = oneLine(query.lastError().text());
        return false;
    };
    // Notices such as "already exists, skipping" are not for the operator.
    if (postgresql
        && (!query.exec(QStringLiteral("SET client_min_messages TO warning"))
            || !query.exec(QStringLiteral("SELECT pg_advisory_lock(%1)").arg(SCHEMA_LOCK))))
        return fail();

    bool ok = true;
    if (postgresql) {
        // last_login is the same ISO text as in SQLite; "C" keeps its text order its time order.
        ok = query.exec(QStringLiteral(
            "CREATE TABLE IF NOT EXISTS t_user (object_id INT NOT NULL, name VARCHAR(255) NOT "
            "NULL, "
            "password VARCHAR(255) NOT NULL, is_enabled CHAR(1) NOT NULL DEFAULT 'Y', "
            "last_login VARCHAR(32) COLLATE \"C\")"));
        ok = ok
            && query.exec(
                QStringLiteral("CREATE TABLE IF NOT EXISTS t_user_seq (last_id BIGINT NOT NULL)"));
    } else {
        ok = query.exec(QStringLiteral(
                 "select count(*) from sqlite_master where type='table' and name='t_user'"))
            && query.next();
        if (ok && query.value(0).toInt() == 0) {
            ok = query.exec(QStringLiteral(
                "CREATE TABLE [t_user] (   [object_id] INT NOT NULL,    [name] VARCHAR(20) NOT "
                "NULL,    [password] VARCHAR(20) NOT NULL,    [is_enabled] CHAR(1) NOT NULL "
                "DEFAULT Y,   [last_login] DATETIME)"));
        }
        ok = ok
            && query.exec(
                QStringLiteral("CREATE TABLE IF NOT EXISTS t_user_seq (last_id INTEGER NOT NULL)"));
    }
    // The high-water mark of ids, one row; an older database starts it at its highest id.
    // (The condition stays outside the aggregate: MAX over no rows still yields a row.)
    ok = ok
        && query.exec(QStringLiteral(
            "INSERT INTO t_user_seq (last_id) SELECT (SELECT COALESCE(MAX(object_id), 0) FROM "
            "t_user) WHERE NOT EXISTS (SELECT 1 FROM t_user_seq)"));
    // Earlier builds added a row at every connection. Several rows are updated together and
    // their order is not fixed: an id could come from a lower row, and two servers could
    // lock them in opposite orders. The highest row is the mark.
    ok = ok && query.exec(QStringLiteral("select count(*) from t_user_seq")) && query.next();
    if (ok && query.value(0).toLongLong() > 1) {
        query.finish();
        // PostgreSQL: one statement, which waits for a running update and keeps its value.
        ok = query.exec(postgresql
                ? QStringLiteral("WITH gone AS (DELETE FROM t_user_seq RETURNING last_id) "
                                 "INSERT INTO t_user_seq (last_id) SELECT MAX(last_id) FROM gone")
                : QStringLiteral("DELETE FROM t_user_seq WHERE rowid NOT IN (SELECT rowid FROM "
                                 "t_user_seq ORDER BY last_id DESC LIMIT 1)"));
    }
    query.finish();
    if (!ok) {
        fail();
        if (postgresql)
            query.exec(QStringLiteral("SELECT pg_advisory_unlock(%1)").arg(SCHEMA_LOCK));
        return false;
    }

    // Unique in the database itself. An old file holding a name twice keeps working with the
    // plain index it had, and says why.
    struct Index
    {
        QString column;
        QString unique;
        QString plain;
    };
    const Index indexes[] = {
        { QStringLiteral("name"), QStringLiteral("idx_t_user_name_unique"),
            QStringLiteral("idx_t_user_name") },
        { QStringLiteral("object_id"), QStringLiteral("idx_t_user_object_id_unique"),
            QStringLiteral("idx_t_user_object_id") },
    };
    QStringList notices;
    for (const Index &index : indexes) {
        if (query.exec(QStringLiteral("CREATE UNIQUE INDEX IF NOT EXISTS %1 ON t_user(%2)")
                           .arg(index.unique, index.column))) {
            query.exec(QStringLiteral("DROP INDEX IF EXISTS %1").arg(index.plain));
            if (uniqueNames && index.column == QLatin1String("name"))
                *uniqueNames = true;
            continue;
        }
        const QString why = oneLine(query.lastError().text());
        query.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON t_user(%2)")
                       .arg(index.plain, index.column));
        QString example;
        if (query.exec(QStringLiteral("select %1 from t_user group by %1 having count(*) > 1")
                           .arg(index.column))
            && query.next())
            example = query.value(0).toString();
        query.finish();
        notices << QStringLiteral("t_user holds %1 \"%2\" more than once, so %1s are not "
                                  "unique in the database (%3)")
                       .arg(index.column, example, why);
    }
    if (notice)
        *notice = notices.join(QStringLiteral("; "));
    if (postgresql)
        query.exec(QStringLiteral("SELECT pg_advisory_unlock(%1)").arg(SCHEMA_LOCK));
    return true;
}

bool CUserDb::userExists(const QString &name)
{
    bool found = true;
    // A failed lookup counts as taken, so nothing is added while the database is unusable.
    return !lookUpName(name, &found) || found;
}

bool CUserDb::lookUpName(const QString &name, bool *found)
{
    return run([&](Connection &conn) {
        QSqlQuery &query
            = conn.query(QStringLiteral("select object_id from t_user where name = ?"));
        query.addBindValue(sqlText(name));
        if (!query.exec())
            return false;
        *found = query.next();
        query.finish();
        return true;
    });
}

bool CUserDb::folderExists(int objectId)
{
    const QString path = userDataPath(objectId);
    return !path.isEmpty() && QFileInfo::exists(path);
}

bool CUserDb::addUser(const QString &name, const QString &password, int *objectId, bool *nameTaken)
{
    if (nameTaken)
        *nameTaken = false;
    if (name.size() > MAX_TEXT_LENGTH || password.size() > MAX_TEXT_LENGTH)
        return false;

    int newId = 0;
    bool taken = false;
    bool added = false;
    const bool ok = run([&](Connection &conn) {
        taken = false;
        added = false;
        const auto rollBack = [&conn] {
            conn.exec(QStringLiteral("ROLLBACK"));
            return false;
        };
        // One writer at a time: SQLite takes its write lock now, PostgreSQL locks the
        // t_user_seq row with the update below until the commit.
        if (!conn.exec(
                conn.postgresql ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE")))
            return false;
        if (conn.postgresql && !conn.exec(QStringLiteral("SET LOCAL synchronous_commit TO on")))
            return rollBack();
        // Above the high-water mark and above every id in use; never an id of a deleted user,
        // never one whose game-data folder is already there.
        QSqlQuery &next = conn.query(conn.postgresql
                ? QStringLiteral("UPDATE t_user_seq SET last_id = GREATEST(last_id, (SELECT "
                                 "COALESCE(MAX(object_id), 0) FROM t_user)) + 1 RETURNING last_id")
                : QStringLiteral(
                    "UPDATE t_user_seq SET last_id = MAX(last_id, (SELECT "
                    "COALESCE(MAX(object_id), 0) FROM t_user)) + 1 RETURNING last_id"));
        qint64 id = 0;
        for (int skipped = 0;; ++skipped) {
            if (!next.exec() || !next.next())
                return rollBack();
            id = next.value(0).toLongLong();
            next.finish();
            if (id <= 0 || id > std::numeric_limits<int>::max() || skipped > MAX_SKIPPED_IDS) {
                rollBack();
                return true;
            }
            if (!folderExists(int(id)))
                break;
        }

        QSqlQuery &lookup
            = conn.query(QStringLiteral("select object_id from t_user where name = ?"));
        lookup.addBindValue(sqlText(name));
        if (!lookup.exec())
            return rollBack();
        taken = lookup.next();
        lookup.finish();
        if (taken) {
            rollBack();
            return true;
        }

        QSqlQuery &insert = conn.query(QStringLiteral(
            "insert into t_user (object_id, name, password, is_enabled) values (?, ?, ?, ?)"));
        insert.addBindValue(int(id));
        insert.addBindValue(sqlText(name));
        insert.addBindValue(sqlText(password));
        insert.addBindValue(QStringLiteral("Y"));
        if (!insert.exec()) {
            rollBack();
            if (!conn.alive())
                return false;
            // Another server added the same name first: the unique index refused this one.
            QSqlQuery &again
                = conn.query(QStringLiteral("select object_id from t_user where name = ?"));
            again.addBindValue(sqlText(name));
            if (!again.exec())
                return false;
            taken = again.next();
            again.finish();
            return true;
        }
        if (!conn.exec(QStringLiteral("COMMIT")))
            return rollBack();
        newId = int(id);
        added = true;
        return true;
    });
    if (!ok || !added) {
        if (nameTaken)
            *nameTaken = ok && taken;
        return false;
    }
    if (objectId)
        *objectId = newId;
    emit userAdd(newId, name);
    return true;
}

bool CUserDb::login(const QString &name, const QString &password, int *objectId)
{
    int id = 0;
    bool found = false;
    // Check and stamp in one statement: a user deleted meanwhile is not logged in.
    const bool ok = run([&](Connection &conn) {
        QSqlQuery &query
            = conn.query(QStringLiteral("update t_user set last_login = ? where "
                                        "name = ? and password = ? returning object_id"));
        query.addBindValue(dateTimeText(QDateTime::currentDateTime()));
        query.addBindValue(sqlText(name));
        query.addBindValue(sqlText(password));
        if (!query.exec())
            return false;
        found = query.next();
        if (found)
            id = query.value(0).toInt();
        query.finish();
        return true;
    });
    if (!ok || !found)
        return false;
    if (objectId)
        *objectId = id;
    emit userLogin(id);
    return true;
}

quint8 CUserDb::changePassword(int objectId, const QString &oldPassword, const QString &newPassword)
{
    if (newPassword.size() > MAX_TEXT_LENGTH)
        return libsock::RESULT_FAILED;
    quint8 result = libsock::RESULT_FAILED;
    // The check and the change are one statement; only a miss needs the second look.
    const bool ok = run([&](Connection &conn) {
        return conn.durable([&] {
            QSqlQuery &update = conn.query(QStringLiteral(
                "update t_user set password = ? where object_id = ? and password = ?"));
            update.addBindValue(sqlText(newPassword));
            update.addBindValue(objectId);
            update.addBindValue(sqlText(oldPassword));
            if (!update.exec())
                return false;
            if (update.numRowsAffected() > 0) {
                result = libsock::RESULT_OK;
                return true;
            }
            QSqlQuery &query
                = conn.query(QStringLiteral("select password from t_user where object_id=?"));
            query.addBindValue(objectId);
            if (!query.exec())
                return false;
            result = query.next() ? libsock::RESULT_WRONG_PASSWORD : libsock::RESULT_FAILED;
            query.finish();
            return true;
        });
    });
    return ok ? result : quint8(libsock::RESULT_FAILED);
}

bool CUserDb::commitBatch(QVector<Request> &requests, QString *errorText, bool *busy)
{
    QString failure;
    bool conflict = false;
    if (busy)
        *busy = false;
    const auto attempt = [&](Connection &conn) {
        conn.lastErrorCode.clear();
        for (Request &request : requests) {
            request.result = failureResult(request.kind);
            if (request.kind != Request::ChangePassword)
                request.objectId = 0;
        }
        const auto lost = [&] {
            failure = conn.lastErrorText;
            conflict = conn.lostToConflict();
            conn.command(QStringLiteral("ROLLBACK"));
            for (Request &request : requests)
                request.result = failureResult(request.kind);
            return false;
        };
        // SQLite takes its write lock now, so no statement of the batch waits for it later.
        const QString begin
            = conn.postgresql ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE");
        const bool begun = busy && !conn.postgresql ? conn.beginWithoutWaiting(begin, busy)
                                                    : conn.command(begin);
        if (busy && *busy)
            return false;
        if (!begun)
            return lost();
        // A request alone in its batch is undone with the whole transaction, which then
        // starts again empty: two statements fewer for a lone client.
        const QString undoAlone = requests.size() == 1 ? begin : QString();
        // One stamp for the batch: its logins are stored in the same instant.
        const bool logins = std::any_of(requests.cbegin(), requests.cend(),
            [](const Request &request) { return request.kind == Request::Login; });
        const QString now = logins ? dateTimeText(QDateTime::currentDateTime()) : QString();
        for (qsizetype i = 0; i < requests.size();) {
            // Logins one after another stamp no user another one needs: one statement for
            // many (on SQLite, where that saves the statements' own work).
            qsizetype run = 0;
            while (!conn.postgresql && i + run < requests.size()
                && requests.at(i + run).kind == Request::Login)
                ++run;
            if (run > 1) {
                if (!loginsStep(conn, requests.data() + i, run, now))
                    return lost();
                i += run;
                continue;
            }
            if (!runRequest(conn, requests[i], now, undoAlone))
                return lost();
            ++i;
        }
        if (!conn.command(QStringLiteral("COMMIT")))
            return lost();
        return true;
    };
    // Two servers whose batches lock the same users in opposite orders: PostgreSQL ends one
    // of the two transactions, which then runs again once the other has committed.
    bool ok = run(attempt);
    for (int retry = 0; !ok && conflict && retry < MAX_CONFLICT_RETRIES; ++retry) {
        conflict = false;
        ok = run(attempt);
    }
    if (busy && *busy)
        return false;
    if (!ok) {
        for (Request &request : requests) {
            request.result = failureResult(request.kind);
            request.databaseFailed = true;
            if (request.kind != Request::ChangePassword)
                request.objectId = 0;
        }
        if (errorText)
            *errorText = failure.isEmpty() ? tr("the database cannot be reached") : failure;
        return false;
    }
    for (const Request &request : std::as_const(requests)) {
        if (request.result != libsock::RESULT_OK)
            continue;
        if (request.kind == Request::AddUser)
            emit userAdd(request.objectId, request.name);
        else if (request.kind == Request::Login)
            emit userLogin(request.objectId);
    }
    return true;
}

bool CUserDb::runRequest(
    Connection &conn, Request &request, const QString &now, const QString &undoAlone)
{
    const bool tooLong = request.kind == Request::AddUser
        ? request.name.size() > MAX_TEXT_LENGTH || request.password.size() > MAX_TEXT_LENGTH
        : request.kind == Request::ChangePassword && request.newPassword.size() > MAX_TEXT_LENGTH;
    if (tooLong)
        return true;
    // Only an add-user has steps to undo on its own; a login or a password change is one
    // write, and one that fails is a fault of the database, which fails the batch.
    const bool undoable = request.kind == Request::AddUser;
    const bool savepoint = undoable && undoAlone.isEmpty();
    if (savepoint && !conn.command(QStringLiteral("SAVEPOINT tolvern_request")))
        return false;
    Step step = Step::Failed;
    switch (request.kind) {
    case Request::AddUser:
        step = addUserStep(conn, request);
        break;
    case Request::ChangePassword:
        step = changePasswordStep(conn, request);
        break;
    case Request::Login:
        step = loginStep(conn, request, now);
        break;
    }
    if (!undoable)
        return step == Step::Keep;
    if (step == Step::Keep)
        return !savepoint || conn.command(QStringLiteral("RELEASE tolvern_request"));
    // Undone alone, it would meet the same lock cycle again: the batch runs anew instead.
    if (step == Step::Failed && conn.lostToConflict())
        return false;
    // This request fails alone; a transaction the database gave up fails the batch.
    const QString why = conn.lastErrorText;
    const bool undone = savepoint
        ? conn.command(QStringLiteral("ROLLBACK TO tolvern_request"))
            && conn.command(QStringLiteral("RELEASE tolvern_request"))
        : conn.command(QStringLiteral("ROLLBACK")) && conn.command(undoAlone);
    if (!undone)
        return false;
    conn.lastErrorText = why;
    if (step == Step::Failed) {
        request.result = failureResult(request.kind);
        request.objectId = 0;
        // A name taken meanwhile by another server is refused by the unique index.
        QSqlQuery &again
            = conn.query(QStringLiteral("select object_id from t_user where name = ?"));
        again.addBindValue(sqlText(request.name));
        if (again.exec() && again.next())
            request.result = libsock::RESULT_USER_EXISTS;
        again.finish();
    }
    return true;
}

CUserDb::Step CUserDb::addUserStep(Connection &conn, Request &request)
{
    // Where the unique index refuses a taken name, the insert finds it out (and runRequest
    // tells a taken name from a fault); one statement fewer for every new user.
    if (!conn.uniqueNames) {
        QSqlQuery &lookup
            = conn.query(QStringLiteral("select object_id from t_user where name = ?"));
        lookup.addBindValue(sqlText(request.name));
        if (!lookup.exec())
            return conn.failed(lookup);
        const bool taken = lookup.next();
        lookup.finish();
        if (taken) {
            request.result = libsock::RESULT_USER_EXISTS;
            return Step::Undo;
        }
    }
    QSqlQuery &next = conn.query(conn.postgresql
            ? QStringLiteral("UPDATE t_user_seq SET last_id = GREATEST(last_id, (SELECT "
                             "COALESCE(MAX(object_id), 0) FROM t_user)) + 1 RETURNING last_id")
            : QStringLiteral("UPDATE t_user_seq SET last_id = MAX(last_id, (SELECT "
                             "COALESCE(MAX(object_id), 0) FROM t_user)) + 1 RETURNING last_id"));
    qint64 id = 0;
    for (int skipped = 0;; ++skipped) {
        if (!next.exec() || !next.next())
            return conn.failed(next);
        id = next.value(0).toLongLong();
        next.finish();
        if (id <= 0 || id > std::numeric_limits<int>::max() || skipped > MAX_SKIPPED_IDS) {
            request.result = libsock::RESULT_FAILED;
            return Step::Undo;
        }
        if (!folderExists(int(id)))
            break;
    }
    QSqlQuery &insert = conn.query(QStringLiteral(
        "insert into t_user (object_id, name, password, is_enabled) values (?, ?, ?, ?)"));
    insert.addBindValue(int(id));
    insert.addBindValue(sqlText(request.name));
    insert.addBindValue(sqlText(request.password));
    insert.addBindValue(QStringLiteral("Y"));
    if (!insert.exec())
        return conn.failed(insert);
    request.objectId = int(id);
    request.result = libsock::RESULT_OK;
    return Step::Keep;
}

CUserDb::Step CUserDb::changePasswordStep(Connection &conn, Request &request)
{
    QSqlQuery &update = conn.query(
        QStringLiteral("update t_user set password = ? where object_id = ? and password = ?"));
    update.addBindValue(sqlText(request.newPassword));
    update.addBindValue(request.objectId);
    update.addBindValue(sqlText(request.password));
    if (!update.exec())
        return conn.failed(update);
    if (update.numRowsAffected() > 0) {
        request.result = libsock::RESULT_OK;
        return Step::Keep;
    }
    QSqlQuery &query = conn.query(QStringLiteral("select password from t_user where object_id=?"));
    query.addBindValue(request.objectId);
    if (!query.exec())
        return conn.failed(query);
    request.result = query.next() ? libsock::RESULT_WRONG_PASSWORD : libsock::RESULT_FAILED;
    query.finish();
    return Step::Keep;
}

bool CUserDb::loginsStep(Connection &conn, Request *first, qsizetype count, const QString &now)
{
    while (count > 0) {
        // A few statement sizes, each prepared once: 64, 32, ... 2 logins, then one alone.
        qsizetype chunk = 1;
        while (chunk * 2 <= count && chunk < MAX_LOGINS_PER_STATEMENT)
            chunk *= 2;
        if (chunk == 1)
            return loginStep(conn, *first, now) == Step::Keep;
        // The same check and stamp as loginStep's, for every (name, password) pair at once.
        // SQLite returns only the table's columns, so each login finds its row by both.
        static const QHash<qsizetype, QString> statements = [] {
            QHash<qsizetype, QString> texts;
            for (qsizetype size = 2; size <= MAX_LOGINS_PER_STATEMENT; size *= 2) {
                QString text = QStringLiteral("with v(n, p) as (values (?, ?)");
                for (qsizetype i = 1; i < size; ++i)
                    text += QStringLiteral(", (?, ?)");
                texts.insert(size,
                    text
                        + QStringLiteral(") update t_user set last_login = ? from v where "
                                         "t_user.name = v.n and t_user.password = v.p returning "
                                         "object_id, name, password"));
            }
            return texts;
        }();
        QSqlQuery &query = conn.query(statements.value(chunk));
        for (qsizetype i = 0; i < chunk; ++i) {
            query.addBindValue(sqlText(first[i].name));
            query.addBindValue(sqlText(first[i].password));
        }
        query.addBindValue(now);
        if (!query.exec()) {
            conn.failed(query);
            return false;
        }
        QHash<QPair<QString, QString>, int> stamped;
        while (query.next()) {
            const QPair<QString, QString> key(query.value(1).toString(), query.value(2).toString());
            if (!stamped.contains(key))
                stamped.insert(key, query.value(0).toInt());
        }
        query.finish();
        for (qsizetype i = 0; i < chunk; ++i) {
            const auto found = stamped.constFind(qMakePair(first[i].name, first[i].password));
            if (found != stamped.constEnd()) {
                first[i].objectId = found.value();
                first[i].result = libsock::RESULT_OK;
            }
        }
        first += chunk;
        count -= chunk;
    }
    return true;
}

CUserDb::Step CUserDb::loginStep(Connection &conn, Request &request, const QString &now)
{
    // Check and stamp in one statement: a user deleted meanwhile is not logged in.
    QSqlQuery &query = conn.query(QStringLiteral("update t_user set last_login = ? where "
                                                 "name = ? and password = ? returning object_id"));
    query.addBindValue(now);
    query.addBindValue(sqlText(request.name));
    query.addBindValue(sqlText(request.password));
    if (!query.exec())
        return conn.failed(query);
    if (query.next()) {
        request.objectId = query.value(0).toInt();
        request.result = libsock::RESULT_OK;
    }
    query.finish();
    return Step::Keep;
}

bool CUserDb::setPassword(int objectId, const QString &password)
{
    if (password.size() > MAX_TEXT_LENGTH)
        return false;
    bool changed = false;
    const bool ok = run([&](Connection &conn) {
        return conn.durable([&] {
            QSqlQuery &update
                = conn.query(QStringLiteral("update t_user set password = ? where object_id = ?"));
            update.addBindValue(sqlText(password));
            update.addBindValue(objectId);
            if (!update.exec())
                return false;
            changed = update.numRowsAffected() > 0;
            return true;
        });
    });
    return ok && changed;
}

bool CUserDb::password(int objectId, QString *password)
{
    bool found = false;
    const bool ok = run([&](Connection &conn) {
        QSqlQuery &query
            = conn.query(QStringLiteral("select password from t_user where object_id = ?"));
        query.addBindValue(objectId);
        if (!query.exec())
            return false;
        found = query.next();
        if (found && password)
            *password = query.value(0).toString();
        query.finish();
        return true;
    });
    return ok && found;
}

bool CUserDb::deleteUser(int objectId)
{
    // The row goes only with the folder: a later user must never meet these saves.
    if (!clearUserData(objectId))
        return false;
    return run([&](Connection &conn) {
        return conn.durable([&] {
            QSqlQuery &query = conn.query(QStringLiteral("delete from t_user where object_id = ?"));
            query.addBindValue(objectId);
            return query.exec();
        });
    });
}

bool CUserDb::deleteUsers(const QVector<int> &objectIds, QVector<int> *kept)
{
    QVector<int> removable;
    removable.reserve(objectIds.size());
    for (const int id : objectIds) {
        if (clearUserData(id))
            removable.append(id);
        else if (kept)
            kept->append(id);
    }
    if (removable.isEmpty())
        return true;
    // One commit for all rows: one per row would wait for the disk each time.
    return run([&](Connection &conn) {
        const auto write = [&] {
            QSqlQuery &query = conn.query(QStringLiteral("delete from t_user where object_id = ?"));
            for (const int id : std::as_const(removable)) {
                query.bindValue(0, id);
                if (!query.exec())
                    return false;
            }
            return true;
        };
        if (conn.postgresql)
            return conn.durable(write);
        if (!conn.exec(QStringLiteral("BEGIN")))
            return false;
        if (!write() || !conn.exec(QStringLiteral("COMMIT"))) {
            conn.exec(QStringLiteral("ROLLBACK"));
            return false;
        }
        return true;
    });
}

bool CUserDb::users(QVector<UserRow> &rows)
{
    return run([&](Connection &conn) {
        rows.clear();
        QSqlQuery &query = conn.query(QStringLiteral("select object_id, name, last_login from "
                                                     "t_user order by last_login is null, "
                                                     "last_login desc"));
        if (!query.exec())
            return false;
        while (query.next()) {
            UserRow row;
            row.objectId = query.value(0).toInt();
            row.name = query.value(1).toString();
            if (!query.value(2).isNull())
                row.lastLogin = query.value(2).toString();
            rows.append(row);
        }
        query.finish();
        return true;
    });
}

QString CUserDb::userDataPath(int objectId)
{
    QString path = CServerSettings::instance()->snapshot().saveDataDir;
    // Without a storage directory the folder would land in the file-system root.
    if (path.isEmpty())
        return QString();
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    path += QString::number(objectId);
    return QFileInfo(path).absoluteFilePath();
}

bool CUserDb::clearUserData(int objectId)
{
    const QString path = userDataPath(objectId);
    if (path.isEmpty() || !QFileInfo::exists(path))
        return true;
    return deleteDirectoryTree(path);
}

bool CUserDb::openUserData(int objectId)
{
    const QString path = userDataPath(objectId);
    if (path.isEmpty() || !QFileInfo::exists(path))
        return false;
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    return true;
}

void CUserDb::inactiveUserIds(const QDateTime &before, QVector<int> &ids)
{
    QVector<int> found;
    run([&](Connection &conn) {
        found.clear();
        QSqlQuery &query = conn.query(QStringLiteral(
            "select object_id from t_user where last_login is null or last_login < ?"));
        query.addBindValue(dateTimeText(before));
        if (!query.exec())
            return false;
        while (query.next())
            found.append(query.value(0).toInt());
        query.finish();
        return true;
    });
    ids += found;
}

void CUserDb::clearInactiveUserData(
    const QDateTime &before, int *userCount, int *missingCount, int *failedCount)
{
    QVector<int> ids;
    inactiveUserIds(before, ids);
    if (userCount)
        *userCount = ids.size();
    if (missingCount)
        *missingCount = 0;
    if (failedCount)
        *failedCount = 0;

    for (const int id : std::as_const(ids)) {
        if (!folderExists(id)) {
            if (missingCount)
                ++*missingCount;
        } else if (!deleteDirectoryTree(userDataPath(id)) && failedCount) {
            ++*failedCount;
        }
    }
}

void CUserDb::deleteInactiveUsers(const QDateTime &before, int *deletedCount, int *failedCount)
{
    QVector<int> ids;
    inactiveUserIds(before, ids);
    int deleted = 0;
    int failed = 0;
    const QString cutOff = dateTimeText(before);
    for (const int id : std::as_const(ids)) {
        if (!clearUserData(id)) {
            ++failed;
            continue;
        }
        // Still inactive: a login since the list was made keeps the user.
        int rows = 0;
        run([&](Connection &conn) {
            return conn.durable([&] {
                QSqlQuery &query
                    = conn.query(QStringLiteral("delete from t_user where object_id = ? and "
                                                "(last_login is null or last_login < ?)"));
                query.addBindValue(id);
                query.addBindValue(cutOff);
                if (!query.exec())
                    return false;
                rows = qMax(0, query.numRowsAffected());
                return true;
            });
        });
        deleted += rows;
    }
    if (deletedCount)
        *deletedCount = deleted;
    if (failedCount)
        *failedCount = failed;
}
