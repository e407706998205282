#ifndef CUSERDBCONNECTION_H
#define CUSERDBCONNECTION_H

#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

class CUserDbConfig;

// One thread's connection to the user database, with its prepared statements, prepared once:
// on PostgreSQL a fresh prepare costs a round trip of its own. Every thread has one of its
// own (forThisThread); a thread other than the main one takes it along when it ends.
class CUserDbConnection
{
public:
    // Page cache of each SQLite connection, grown only as pages are read: about 100 bytes
    // of table and index per user, so half a million users stay in memory.
    static constexpr int SQLITE_CACHE_KIB = 65536;
    // Pages in the write-ahead log before it is copied back into the database (40 MiB).
    static constexpr int SQLITE_CHECKPOINT_PAGES = 10000;

    // The calling thread's connection, made (not opened) on first use.
    static CUserDbConnection *forThisThread();
    // The calling thread's, when it has one.
    static CUserDbConnection *ofThisThread();

    explicit CUserDbConnection(const QString &connectionName);
    ~CUserDbConnection();

    // Opens target, every commit waiting for the disk, and brings its schema up to date.
    // False with one line for the operator; notice gets a line about the schema, if any.
    bool open(const CUserDbConfig &target, int generation, QString *errorText, QString *notice);
    void close();
    bool isOpenAt(int wanted) const { return db.isOpen() && generation == wanted; }

    QSqlQuery &query(const QString &text);
    bool exec(const QString &text);
    // A statement without values, run often: prepared once on SQLite. (PostgreSQL prepares
    // no transaction control.)
    bool command(const QString &text);
    // SQLite's BEGIN IMMEDIATE, failing at once with othersLock set when another connection
    // holds the write lock; later statements wait for locks as always.
    bool beginWithoutWaiting(const QString &begin, bool *othersLock);
    // BEGIN, taking SQLite's write lock at once: no statement of the transaction waits for it
    // later, and none finds the data changed under it.
    QString beginText() const;
    // Runs write in a transaction; false, rolled back, when a statement failed.
    template<typename Write> bool transaction(Write write)
    {
        if (!command(beginText()))
            return false;
        if (!write() || !command(QStringLiteral("COMMIT"))) {
            command(QStringLiteral("ROLLBACK"));
            return false;
        }
        return true;
    }

    // Keeps the reason of a failed statement for the operator's log.
    void keepError(const QSqlQuery &query);
    // PostgreSQL gave the transaction up for a lock cycle or a serialization conflict with
    // another server's: the same transaction run again succeeds.
    bool lostToConflict() const;
    // False when the connection itself is gone, not just one statement.
    bool alive();

    QSqlDatabase db;
    // Once a COMMIT has left, a lost connection leaves unknown whether it took effect: the
    // operation must not be run again, or it would meet its own change.
    bool commitSent = false;
    bool postgresql = false;
    // Whether the database refuses a name twice by itself (an older file may not).
    bool uniqueNames = false;
    QString lastErrorText;
    QString lastErrorCode;

    // How often SQLite connections of this process tried again after meeting another
    // connection's lock, since start.
    static qint64 lockRetries();

private:
    void noteCommit(const QString &text);
    // Whether a statement that meets another connection's lock waits for it (up to
    // CUserDbConfig::SQLITE_BUSY_TIMEOUT_MS) or fails at once. SQLite only.
    bool waitForLocks(bool wait);
    static int retryLocked(void *connection, int tries);

    QString name;
    int generation = -1;
    qint64 lockedSinceNs = 0; // the first try of the current wait for a lock
    QHash<QString, QSqlQuery> queries;
};

#endif // CUSERDBCONNECTION_H
