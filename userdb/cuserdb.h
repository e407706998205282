#ifndef CUSERDB_H
#define CUSERDB_H

#include <atomic>

#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include "cuserdbconfig.h"

class QDateTime;
class QSqlDatabase;
class QVariant;

// The one place that knows the t_user table. Process-wide, created on first use, never
// destroyed. Every thread gets a connection of its own, opened on demand from the configured
// database (setConfig), or else from the settings record: [Database] Driver=postgresql uses
// its Url, otherwise the SQLite file start-up opened as the default connection, or
// db/users.db. A lost connection fails the request at hand, is logged once per outage and is
// opened again by the next request.
class CUserDb : public QObject
{
    Q_OBJECT

public:
    // Longest name or password add-user stores; PostgreSQL's columns are this wide.
    static constexpr int MAX_TEXT_LENGTH = 255;
    // Page cache of each SQLite connection, grown only as pages are read: about 100 bytes
    // of table and index per user, so half a million users stay in memory.
    static constexpr int SQLITE_CACHE_KIB = 65536;
    // Pages in the write-ahead log before it is copied back into the database (40 MiB).
    static constexpr int SQLITE_CHECKPOINT_PAGES = 10000;
    // Times a batch runs again after PostgreSQL gave it up for a conflict with another server.
    static constexpr int MAX_CONFLICT_RETRIES = 3;
    // Logins that one statement checks and stamps at most.
    static constexpr int MAX_LOGINS_PER_STATEMENT = 64;

    struct UserRow
    {
        int objectId = 0;
        QString name;
        QString lastLogin; // the stored text; empty when the user never logged in
    };

    // One change of a group commit, and its outcome once the batch ran.
    struct Request
    {
        enum Kind { AddUser, ChangePassword, Login };
        Kind kind = Login;
        QString name; // add user, login
        QString password; // add user, login; the old one for a password change
        QString newPassword;
        int objectId = 0; // change password: the user; otherwise the outcome's user
        quint8 result = 0; // the control port's result code
        // The batch failed: the result says nothing of the request itself (a login's
        // password was never judged).
        bool databaseFailed = false;
    };

    static CUserDb *instance();
    ~CUserDb() override;

    // Set (TOLVERN_COMPARE_UNBATCHED=1) only by the benchmark, for its yardstick: the old
    // one-statement-at-a-time path with synchronous=NORMAL, whose last commits a power cut
    // may lose.
    static bool unbatchedComparison();

    // The database every thread's connection is opened on from now on; connections already
    // open on another database are opened again on their next use.
    void setConfig(const CUserDbConfig &config);
    // Back to the settings record (the default).
    void clearConfig();
    // The database connections are opened on; false with a reason for a bad [Database].
    bool currentConfig(CUserDbConfig *config, QString *errorText) const;

    // Opens (again) the calling thread's connection and creates missing tables and indexes.
    // False with one line for the operator when the database cannot be reached.
    bool open(QString *errorText = nullptr);
    // Closes the calling thread's connection; the next operation opens it again.
    void close();
    // The calling thread's connection, opened on demand; not open when unreachable.
    QSqlDatabase database();

    bool userExists(const QString &name);
    // False when the name could not be looked up (the database is unreachable); found then
    // stays as it was.
    bool lookUpName(const QString &name, bool *found);
    // nameTaken, when given, tells a taken name (also one taken by another server at the same
    // moment) from any other failure.
    bool addUser(
        const QString &name, const QString &password, int *objectId, bool *nameTaken = nullptr);
    bool login(const QString &name, const QString &password, int *objectId);
    // A control-port result: RESULT_OK, RESULT_WRONG_PASSWORD or RESULT_FAILED.
    quint8 changePassword(int objectId, const QString &oldPassword, const QString &newPassword);
    // Runs requests in one transaction, each in a savepoint of its own so that it fails
    // alone, and commits them with one sync; userAdd and userLogin follow the commit. False
    // when the batch could not be committed: then every request carries its failure result
    // and nothing of it was stored. With busy given, an SQLite file whose write lock another
    // connection holds is not waited for: false with *busy set, and nothing was run.
    bool commitBatch(QVector<Request> &requests, QString *errorText, bool *busy = nullptr);
    bool setPassword(int objectId, const QString &password);
    bool password(int objectId, QString *password);
    // False, keeping the row, when the user's game-data folder cannot be removed.
    bool deleteUser(int objectId);
    // deleteUser for many users, their rows in one transaction. Users whose folder cannot be
    // removed keep their row and are listed in kept. False when the rows could not be deleted.
    bool deleteUsers(const QVector<int> &objectIds, QVector<int> *kept);
    // Ordered by last login, newest first, never-logged-in users last.
    bool users(QVector<UserRow> &rows);

    QString userDataPath(int objectId);
    // False when the folder exists and could not be removed; a missing folder is cleared.
    bool clearUserData(int objectId);
    bool openUserData(int objectId);

    void inactiveUserIds(const QDateTime &before, QVector<int> &ids);
    // failedCount: users whose folder could not be removed.
    void clearInactiveUserData(
        const QDateTime &before, int *userCount, int *missingCount, int *failedCount = nullptr);
    // Users whose folder could not be removed keep their row and are counted in failedCount.
    void deleteInactiveUsers(
        const QDateTime &before, int *deletedCount, int *failedCount = nullptr);

    // Creates what is missing of t_user, t_user_seq and their indexes on db. notice gets one
    // line when an old SQLite file's names or ids cannot be made unique; uniqueNames whether
    // the database refuses a name twice by itself.
    static bool ensureSchema(
        QSqlDatabase &db, QString *notice, QString *errorText, bool *uniqueNames = nullptr);

    // The text form last_login is stored and compared in.
    static QString dateTimeText(const QDateTime &dateTime);
    // A text for binding: a null QString would bind as SQL NULL, which the NOT NULL columns
    // refuse and "=" never matches, where an empty text is meant.
    static QVariant sqlText(const QString &text);

signals:
    void userAdd(int objectId, QString name);
    void userLogin(int objectId);
    // One line for the operator's log: a database outage and its end, schema notices.
    void log(QString msg);

protected:
    void connectNotify(const QMetaMethod &signal) override;

private:
    class Connection;
    static thread_local Connection *threadConnection;

    CUserDb();
    Connection *connection(QString *errorText);
    void dropConnection();
    template<typename Operation> bool run(Operation operation);
    void reportOutage(const QString &errorText);
    void reportBack();
    void logLine(const QString &line);
    bool folderExists(int objectId);
    // False when the batch's transaction is lost.
    // undoAlone: for a request alone in its batch, the statement that begins the transaction
    // again after the request was undone by rolling the whole transaction back.
    bool runRequest(
        Connection &conn, Request &request, const QString &now, const QString &undoAlone);
    enum class Step { Keep, Undo, Failed };
    Step addUserStep(Connection &conn, Request &request);
    Step changePasswordStep(Connection &conn, Request &request);
    Step loginStep(Connection &conn, Request &request, const QString &now);
    // Checks and stamps count logins in a row; false when the database failed.
    bool loginsStep(Connection &conn, Request *first, qsizetype count, const QString &now);

    mutable QMutex mutex;
    bool hasConfig = false;
    CUserDbConfig config;
    mutable QString defaultFile;
    std::atomic<int> generation { 0 };
    std::atomic<bool> outage { false };
    std::atomic<bool> schemaNoticeLogged { false };
    QStringList backlog;
};

#endif // CUSERDB_H
