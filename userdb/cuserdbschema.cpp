#include "cuserdbschema.h"

#include <iterator>

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace {

// Serialises the schema set-up of servers starting at the same moment.
constexpr int SCHEMA_LOCK = 0x7e5e;

struct Context
{
    explicit Context(QSqlQuery &q)
        : query(q)
    {
    }

    QSqlQuery &query;
    bool postgresql = false;
    // Set by the steps that make the indexes.
    bool uniqueNames = false;
    QStringList notices;
    QString errorText;

    bool fail()
    {
        errorText = query.lastError().text().simplified();
        return false;
    }
};

// A step's outcome: done, failed (the schema cannot be used), or done as far as it could go
// (the database works, the step is tried again at the next start).
enum class Outcome { Done, Failed, Partly };

Outcome userTable(Context &c)
{
    if (c.postgresql) {
        // last_login is the same ISO text as in SQLite; "C" keeps its text order its time order.
        return c.query.exec(QStringLiteral(
                   "CREATE TABLE IF NOT EXISTS t_user (object_id INT NOT NULL, name VARCHAR(255) "
                   "NOT NULL, password VARCHAR(255) NOT NULL, is_enabled CHAR(1) NOT NULL DEFAULT "
                   "'Y', last_login VARCHAR(32) COLLATE \"C\")"))
            ? Outcome::Done
            : (c.fail(), Outcome::Failed);
    }
    if (!c.query.exec(QStringLiteral(
            "select count(*) from sqlite_master where type='table' and name='t_user'"))
        || !c.query.next())
        return c.fail(), Outcome::Failed;
    const bool exists = c.query.value(0).toInt() > 0;
    c.query.finish();
    // The statement older files were made with, to the byte.
    if (!exists
        && !c.query.exec(QStringLiteral(
            "CREATE TABLE [t_user] (   [object_id] INT NOT NULL,    [name] VARCHAR(20) NOT "
            "NULL,    [password] VARCHAR(20) NOT NULL,    [is_enabled] CHAR(1) NOT NULL "
            "DEFAULT Y,   [last_login] DATETIME)")))
        return c.fail(), Outcome::Failed;
    return Outcome::Done;
}

Outcome idMark(Context &c)
{
    QSqlQuery &query = c.query;
    bool ok = query.exec(c.postgresql
            ? QStringLiteral("CREATE TABLE IF NOT EXISTS t_user_seq (last_id BIGINT NOT NULL)")
            : QStringLiteral("CREATE TABLE IF NOT EXISTS t_user_seq (last_id INTEGER NOT NULL)"));
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
        ok = query.exec(c.postgresql
                ? QStringLiteral("WITH gone AS (DELETE FROM t_user_seq RETURNING last_id) "
                                 "INSERT INTO t_user_seq (last_id) SELECT MAX(last_id) FROM gone")
                : QStringLiteral("DELETE FROM t_user_seq WHERE rowid NOT IN (SELECT rowid FROM "
                                 "t_user_seq ORDER BY last_id DESC LIMIT 1)"));
    }
    query.finish();
    return ok ? Outcome::Done : (c.fail(), Outcome::Failed);
}

Outcome uniqueIndexes(Context &c)
{
    // Unique in the database itself. An old file holding a name twice keeps working with the
    // plain index it had, and says why.
    struct Index
    {
        const char *column;
        const char *unique;
        const char *plain;
    };
    const Index indexes[] = {
        { "name", "idx_t_user_name_unique", "idx_t_user_name" },
        { "object_id", "idx_t_user_object_id_unique", "idx_t_user_object_id" },
    };
    QSqlQuery &query = c.query;
    Outcome outcome = Outcome::Done;
    for (const Index &index : indexes) {
        const QString column = QLatin1String(index.column);
        const QString plain = QLatin1String(index.plain);
        if (query.exec(QStringLiteral("CREATE UNIQUE INDEX IF NOT EXISTS %1 ON t_user(%2)")
                           .arg(QLatin1String(index.unique), column))) {
            query.exec(QStringLiteral("DROP INDEX IF EXISTS %1").arg(plain));
            if (column == QLatin1String("name"))
                c.uniqueNames = true;
            continue;
        }
        outcome = Outcome::Partly;
        const QString why = query.lastError().text().simplified();
        query.exec(
            QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON t_user(%2)").arg(plain, column));
        QString example;
        if (query.exec(
                QStringLiteral("select %1 from t_user group by %1 having count(*) > 1").arg(column))
            && query.next())
            example = query.value(0).toString();
        query.finish();
        c.notices << QStringLiteral("t_user holds %1 \"%2\" more than once, so %1s are not "
                                    "unique in the database (%3)")
                         .arg(column, example, why);
    }
    return outcome;
}

// The users a purge has deleted whose folders may still be there: written with the deletion,
// dropped once the folders are gone, so a purge cut short is finished by the next one.
Outcome purgeJournal(Context &c)
{
    const bool ok
        = c.query.exec(c.postgresql
                  ? QStringLiteral("CREATE TABLE IF NOT EXISTS t_purge_journal (object_id "
                                   "INT NOT NULL, name VARCHAR(255) NOT NULL, last_login "
                                   "VARCHAR(32))")
                  : QStringLiteral("CREATE TABLE IF NOT EXISTS t_purge_journal (object_id "
                                   "INTEGER NOT NULL, name TEXT NOT NULL, last_login TEXT)"))
        && c.query.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS idx_t_purge_journal_object_id "
                                       "ON t_purge_journal(object_id)"));
    return ok ? Outcome::Done : (c.fail(), Outcome::Failed);
}

// In order; a file's user_version counts the steps it has taken. Only ever appended to.
Outcome (*const STEPS[])(Context &) = { userTable, idMark, uniqueIndexes, purgeJournal };

bool sqliteUniqueNames(QSqlQuery &query)
{
    const bool found
        = query.exec(QStringLiteral("select 1 from pragma_index_list('t_user') where name = "
                                    "'idx_t_user_name_unique' and \"unique\" = 1"))
        && query.next();
    query.finish();
    return found;
}

} // namespace

int CUserDbSchema::latestVersion()
{
    return int(std::size(STEPS));
}

bool CUserDbSchema::ensure(QSqlDatabase &db, QString *notice, QString *errorText, bool *uniqueNames)
{
    if (uniqueNames)
        *uniqueNames = false;
    if (notice)
        notice->clear();
    QSqlQuery query(db);
    Context c(query);
    c.postgresql = db.driverName() == QLatin1String("QPSQL");
    const auto fail = [&] {
        if (errorText)
            *errorText = c.errorText;
        return false;
    };

    int version = 0;
    if (c.postgresql) {
        // Notices such as "already exists, skipping" are not for the operator.
        if (!query.exec(QStringLiteral("SET client_min_messages TO warning"))
            || !query.exec(QStringLiteral("SELECT pg_advisory_lock(%1)").arg(SCHEMA_LOCK)))
            return c.fail(), fail();
    } else {
        if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next())
            return c.fail(), fail();
        version = query.value(0).toInt();
        query.finish();
        if (version >= latestVersion()) {
            if (uniqueNames)
                *uniqueNames = sqliteUniqueNames(query);
            return true;
        }
        // Two servers starting on one new file: the second waits, then finds it done.
        if (!query.exec(QStringLiteral("BEGIN IMMEDIATE")))
            return c.fail(), fail();
        if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next()) {
            c.fail();
            query.exec(QStringLiteral("ROLLBACK"));
            return fail();
        }
        version = query.value(0).toInt();
        query.finish();
    }

    bool ok = true;
    int reached = version;
    for (int step = version; ok && step < latestVersion(); ++step) {
        const Outcome outcome = STEPS[step](c);
        ok = outcome != Outcome::Failed;
        // A step done only partly is taken again next time, and every one after it.
        if (outcome == Outcome::Done && reached == step)
            reached = step + 1;
    }
    if (c.postgresql) {
        query.exec(QStringLiteral("SELECT pg_advisory_unlock(%1)").arg(SCHEMA_LOCK));
    } else if (!ok
        || (reached != version
            && !query.exec(QStringLiteral("PRAGMA user_version = %1").arg(reached)))
        || !query.exec(QStringLiteral("COMMIT"))) {
        if (ok)
            c.fail();
        query.exec(QStringLiteral("ROLLBACK"));
        return fail();
    }
    if (!ok)
        return fail();
    if (uniqueNames)
        *uniqueNames = c.uniqueNames;
    if (notice)
        *notice = c.notices.join(QStringLiteral("; "));
    return true;
}
