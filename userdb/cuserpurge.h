#ifndef CUSERPURGE_H
#define CUSERPURGE_H

#include <functional>
#include <memory>

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QVector>

#include "cuserdb.h"

class CAbstractSaveStore;
class QThread;

// Removes the users who have not logged in since a cut-off (or, with ClearData, only their
// game-data folders), as one piece of work on a thread of its own: the rows go in
// transactions of up to ROWS_PER_TRANSACTION users, one sync each, and a user's folder only
// once the deletion of the row is committed. The same transaction notes the users in the
// purge journal (CPurgeJournal), and the note goes once the folders are gone, so a purge
// can be cut at any moment: the next purge, or the next start, finishes the folders and
// names whom it took. A user who logs in after the list was made keeps the account and the
// saves. A dry run only lists whom the purge would take. Users who never logged in count
// as inactive, however recently they were added.
class CUserPurge : public QObject
{
    Q_OBJECT

public:
    enum Mode { DeleteUsers, ClearData };
    // A login's stamp waits for the transaction's write lock: at 1,000 rows the wait stays
    // within a few milliseconds (5,000 held logins up for 35 ms), at one sync per 1,000 users.
    static constexpr int ROWS_PER_TRANSACTION = 1000;

    struct Counts
    {
        int found = 0; // inactive when the list was made
        int deleted = 0; // rows deleted
        int active = 0; // logged in (or gone) since the list was made: left alone
        int cleared = 0; // folders removed
        int missing = 0; // users without a folder
        int folderFailures = 0; // folders that could not be removed
        bool databaseFailed = false;
        QString errorText; // why the database failed
        // Whom it dealt with, by id: the users deleted, or whose game data was cleared (a
        // missing folder counts), or, in a dry run, all of those found.
        QVector<CUserDb::UserRow> users;
        // Users a purge cut short had deleted, whose folders this one finished.
        QVector<CUserDb::UserRow> earlier;

        bool ok() const { return !databaseFailed && folderFailures == 0; }
    };

    // storageDir: the storage folder the users' folders are in (empty: none).
    CUserPurge(CUserDb *userDb, Mode mode, const QDateTime &before, const QString &storageDir,
        QObject *parent = nullptr);
    // store: where the users' saves are (null: nowhere).
    CUserPurge(CUserDb *userDb, Mode mode, const QDateTime &before,
        std::shared_ptr<CAbstractSaveStore> store,
        QObject *parent = nullptr);
    // Waits for the work to end.
    ~CUserPurge() override;

    // The log and journal line naming one user a purge took: a purge is no undo. Every
    // purge logs it for each user it takes (CUserDb::logLine), as it goes.
    static QString takenLine(const CUserDb::UserRow &user, Mode mode);
    // The cut-off of "not logged in within the last months", from now.
    static QDateTime cutOffFor(int months, const QDateTime &now);
    // Finishes what purges cut short left in the journal: removes the folders of the users
    // they deleted and names them, in store (the storage folder or a bucket; null: none).
    // Every purge does it first; start-up too.
    static Counts finishEarlier(CUserDb *userDb, CAbstractSaveStore *store);

    // Before start() or run(): list the inactive users, change nothing.
    void setDryRun(bool on) { dryRun = on; }
    // Called at each named step of a deletion; tests end the process there.
    void setStepHook(const std::function<void(const char *step)> &hook) { stepHook = hook; }

    // Runs the purge on the calling thread; progress is emitted from it.
    Counts run();
    // Runs the purge on a thread of its own; finished() follows on this object's thread.
    void start();
    bool isRunning() const { return worker != nullptr; }
    // The outcome, once finished.
    Counts counts() const { return outcome; }
    // The outcome in one line for the operator's log.
    QString summary() const;

signals:
    // Users dealt with of those found: deletions committed, or folders cleared; done 0 once
    // the list is made.
    void progress(int done, int total);
    void finished();

private:
    // The inactive users, by id.
    bool listInactive(QVector<CUserDb::UserRow> *rows, QString *errorText);
    void deleteInactive(const QVector<CUserDb::UserRow> &rows, Counts &counts);
    void clearInactive(const QVector<CUserDb::UserRow> &rows, Counts &counts);
    // In one transaction: the notes of finished dropped, the users still inactive deleted
    // and noted; deleted gets them.
    bool deleteRows(const QVector<CUserDb::UserRow> &users, const QVector<int> &finished,
        QVector<CUserDb::UserRow> *deleted, QString *errorText);
    // Whether objectId is still inactive; false with errorText set when the database failed.
    bool stillInactive(int objectId, bool *inactive, QString *errorText);
    // True when the folder is gone (or was never there).
    static bool removeFolder(CAbstractSaveStore *storage, int objectId, Counts &counts);
    void step(const char *name) const;

    CUserDb *db = nullptr;
    Mode mode;
    bool dryRun = false;
    QString cutOff;
    QDateTime before;
    std::shared_ptr<CAbstractSaveStore> storage;
    QThread *worker = nullptr;
    Counts outcome;
    std::function<void(const char *)> stepHook;
};

#endif // CUSERPURGE_H
