#ifndef CUSERDB_H
#define CUSERDB_H

#include <atomic>
#include <functional>
#include <memory>

#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include "cpasswordhasher.h"
#include "cuserdbconfig.h"

class CServerSettings;
class CUserDbConnection;
class CUserPages;
class QDateTime;
class QSqlDatabase;
class QVariant;

// The one place that knows the t_user table. Process-wide, created on first use, never
// destroyed. Every thread gets a connection of its own (CUserDbConnection), opened on demand
// from the configured database (setConfig), or else from the settings record: [Database]
// Driver=postgresql uses its Url, otherwise the SQLite file start-up opened as the default
// connection, or db/users.db. A lost connection fails the request at hand, is logged once
// per outage and is opened again by the next request.
//
// Every change a player or the operator asks for (add user, login, password) runs through
// one path, the batch (CUserDbBatch): alone, or with others in a group commit
// (CUserDbCommitter).
class CUserDb : public QObject
{
    Q_OBJECT

public:
    // Longest name or password add-user stores; PostgreSQL's columns are this wide.
    static constexpr int MAX_TEXT_LENGTH = 255;
    // Times a batch runs again after PostgreSQL gave it up for a conflict with another server.
    static constexpr int MAX_CONFLICT_RETRIES = 3;

    // The outcome of one change.
    enum Result : quint8 {
        Ok,
        NameTaken, // add user: the name is someone's already
        WrongPassword, // change password: the user exists, the old password is another
        LoginRefused, // login: no user of that name and password
        Failed, // anything else: no such user, a text too long, the database
    };
    Q_ENUM(Result)

    struct UserRow
    {
        int objectId = 0;
        QString name;
        QString lastLogin; // the stored text; empty when the user never logged in
    };

    // One change of a batch, and its outcome once the batch ran.
    struct Request
    {
        enum Kind { AddUser, ChangePassword, SetPassword, Login };
        Kind kind = Login;
        QString name; // add user, login
        QString password; // add user, login; the old one for a password change
        QString newPassword; // change or set password
        int objectId = 0; // change or set password: the user; otherwise the outcome's user
        Result result = Failed;
        // The batch failed: the result says nothing of the request itself (a login's
        // password was never judged).
        bool databaseFailed = false;
        // Where passwords are hashed, a login or a password change is checked before its
        // batch (checkPasswords): refused there, the batch writes nothing and the outcome is
        // refusal; passed, the batch writes only where the row still holds stored (a login
        // stamps user storedId and keeps newPassword, the hash of the password just proven).
        enum class Check : quint8 { None, Passed, Refused };
        Check check = Check::None;
        Result refusal = Failed;
        QString stored;
        int storedId = 0;
        // The user a refused login or password change named, when there is one: a guess
        // counts against the user by name and by id alike.
        int userId = 0;
        QString userName;
    };

    static CUserDb *instance();
    ~CUserDb() override;

    // The database every thread's connection is opened on from now on; connections already
    // open on another database are opened again on their next use.
    void setConfig(const CUserDbConfig &config);
    // Back to the settings record (the default).
    void clearConfig();
    // The database connections are opened on; false with a reason for a bad [Database].
    bool currentConfig(CUserDbConfig *config, QString *errorText) const;

    // Opens (again) the calling thread's connection and brings the schema up to date.
    // False with one line for the operator when the database cannot be reached.
    bool open(QString *errorText = nullptr);
    // Closes the calling thread's connection; the next operation opens it again.
    void close();
    // The calling thread's connection, opened on demand; not open when unreachable.
    QSqlDatabase database();
    // Runs operation on the calling thread's connection. operation returns false when one of
    // its statements failed, after rolling back what it began. A connection found dead is
    // opened again and the operation tried once more, unless its commit had already been
    // sent.
    bool run(const std::function<bool(CUserDbConnection &)> &operation);

    bool userExists(const QString &name);
    // False when the name could not be looked up (the database is unreachable); found then
    // stays as it was.
    bool lookUpName(const QString &name, bool *found);

    // One-request batches, for the operator's dialogs and commands. nameTaken, when given,
    // tells a taken name (also one taken by another server at the same moment) from any
    // other failure.
    bool addUser(
        const QString &name, const QString &password, int *objectId, bool *nameTaken = nullptr);
    bool login(const QString &name, const QString &password, int *objectId);
    // Ok, WrongPassword or Failed.
    Result changePassword(int objectId, const QString &oldPassword, const QString &newPassword);
    // False also for a user who does not exist (any more).
    bool setPassword(int objectId, const QString &password);

    // Runs requests in one transaction, each in a savepoint of its own so that it fails
    // alone, and commits them with one sync; userAdd and userLogin follow the commit. False
    // when the batch could not be committed: then every request carries its failure result
    // and nothing of it was stored. With busy given, an SQLite file whose write lock another
    // connection holds is not waited for: false with *busy set, and nothing was run.
    bool commitBatch(QVector<Request> &requests, QString *errorText, bool *busy = nullptr);

    // The password work of a request before its batch, on the calling thread (one of the
    // hasher's): new passwords hashed; a login's or a password change's password checked
    // against the stored one (a hash or plain text), which a login keeps hashed anew when it
    // is plain text or a hash of another cost. With hashing off, new passwords stay plain and
    // nothing is hashed anew. Reads, but writes nothing.
    void checkPasswords(Request &request, const CPasswordHasher::Params &params);

    bool password(int objectId, QString *password);
    // Users whose password is still stored as plain text, and those whose is a hash.
    bool plainPasswordCount(int *count);
    bool hashedPasswordCount(int *count);
    // False, keeping the row, when the user's game-data folder cannot be removed.
    bool deleteUser(int objectId);
    // deleteUser for many users, their rows in one transaction. Users whose folder cannot be
    // removed keep their row and are listed in kept. False when the rows could not be deleted.
    bool deleteUsers(const QVector<int> &objectIds, QVector<int> *kept);
    // Ordered by last login, newest first, never-logged-in users last.
    bool users(QVector<UserRow> &rows);
    // One page of the users, for a view that never holds them all.
    struct UserPage
    {
        enum Sort { ById, ByName, ByLastLogin };
        // The user page's filter: a part of the id, or of the name in any letter case.
        QString filter;
        Sort sort = ById;
        bool descending = false;
        int offset = 0;
        int limit = 100;
    };
    // rows: the page's users; total: all users the filter lets through, counted again after
    // a few seconds or when this process adds or deletes users (CUserPages).
    bool usersPage(const UserPage &page, QVector<UserRow> &rows, qint64 *total);
    // Users were added or deleted outside the batches and deleteUsers (a purge).
    void noteRowsChanged();
    // How often the database became unreachable since the process started.
    qint64 outages() const { return outageCount.load(); }
    // Users who never logged in or not since before, appended to ids in id order. False
    // when the database could not be read.
    bool inactiveUserIds(const QDateTime &before, QVector<int> &ids);

    // The user's game-data folder in the storage folder of the settings record; empty
    // without a storage folder.
    QString userDataPath(int objectId);
    // False when the folder exists and could not be removed; a missing folder is cleared.
    bool clearUserData(int objectId);

    // One line for the operator's log (from any thread).
    void logLine(const QString &line);

    // The text form last_login is stored and compared in.
    static QString dateTimeText(const QDateTime &dateTime);
    // A text for binding: a null QString would bind as SQL NULL, which the NOT NULL columns
    // refuse and "=" never matches, where an empty text is meant.
    static QVariant sqlText(const QString &text);

signals:
    void userAdd(int objectId, QString name);
    void userLogin(int objectId);
    // One line for the operator's log: a database outage and its end, schema notices,
    // folders found in a new user's way.
    void log(QString msg);

protected:
    void connectNotify(const QMetaMethod &signal) override;

private:
    // The settings record is read at each use: a change (SIGHUP, the dialog) applies at once.
    CUserDb(CServerSettings *settings, CPasswordHasher *hasher);
    CUserDbConnection *connection(QString *errorText);
    void reportOutage(const QString &errorText);
    void reportBack();
    // A one-request batch.
    Request runAlone(const Request &request);
    bool countPasswords(const QString &comparison, int *count);

    CServerSettings *const settings;
    CPasswordHasher *const hasher;
    mutable QMutex mutex;
    bool hasConfig = false;
    CUserDbConfig config;
    mutable QString defaultFile;
    std::atomic<int> generation { 0 };
    std::atomic<bool> outage { false };
    std::atomic<qint64> outageCount { 0 };
    std::atomic<bool> schemaNoticeLogged { false };
    QStringList backlog;
    std::unique_ptr<CUserPages> pages;
};

#endif // CUSERDB_H
