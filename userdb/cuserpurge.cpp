#include "cuserpurge.h"

#include <QFileInfo>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

#include "cuserdb.h"
#include "cuserdbconnection.h"
#include "cpurgejournal.h"
#include "csavestore.h"
#include "printabletext.h"

namespace {
// Folders removed between two progress reports.
constexpr int FOLDERS_PER_REPORT = 100;
} // namespace

QString CUserPurge::takenLine(const CUserDb::UserRow &user, Mode mode)
{
    return (mode == ClearData
            ? QStringLiteral("Cleared the game data of user %1 (%2), last login %3")
            : QStringLiteral("Deleted user %1 (%2), last login %3"))
        .arg(user.objectId)
        .arg(printableText(user.name),
            user.lastLogin.isEmpty() ? QStringLiteral("never") : user.lastLogin);
}

QDateTime CUserPurge::cutOffFor(int months, const QDateTime &now)
{
    return now.addMonths(-months);
}

CUserPurge::CUserPurge(CUserDb *userDb, Mode purgeMode, const QDateTime &cutOffTime,
    const QString &storageDir, QObject *parent)
    : CUserPurge(userDb, purgeMode, cutOffTime,
        storageDir.isEmpty() ? nullptr : std::make_shared<CSaveStore>(storageDir), parent)
{
}

CUserPurge::CUserPurge(CUserDb *userDb, Mode purgeMode, const QDateTime &cutOffTime,
    std::shared_ptr<CAbstractSaveStore> store, QObject *parent)
    : QObject(parent)
    , db(userDb)
    , mode(purgeMode)
    , cutOff(CUserDb::dateTimeText(cutOffTime))
    , before(cutOffTime)
    , storage(std::move(store))
{
}

CUserPurge::~CUserPurge()
{
    if (worker) {
        worker->wait();
        delete worker;
    }
}

void CUserPurge::step(const char *name) const
{
    if (stepHook)
        stepHook(name);
}

void CUserPurge::start()
{
    if (worker)
        return;
    worker = QThread::create([this] { outcome = run(); });
    worker->setObjectName(QStringLiteral("tolvern-purge"));
    connect(worker, &QThread::finished, this, [this] {
        worker->wait();
        delete worker;
        worker = nullptr;
        if (!dryRun)
            db->logLine(summary());
        emit finished();
    });
    worker->start();
}

CUserPurge::Counts CUserPurge::run()
{
    // What a purge cut short left is finished first (a dry run changes nothing).
    Counts counts = dryRun ? Counts() : finishEarlier(db, storage.get());
    if (counts.databaseFailed)
        return counts;
    QVector<CUserDb::UserRow> rows;
    if (!listInactive(&rows, &counts.errorText)) {
        counts.databaseFailed = true;
        return counts;
    }
    counts.found = int(rows.size());
    emit progress(0, counts.found);
    if (dryRun) {
        counts.users = rows;
        return counts;
    }
    if (mode == DeleteUsers)
        deleteInactive(rows, counts);
    else
        clearInactive(rows, counts);
    return counts;
}

void CUserPurge::deleteInactive(const QVector<CUserDb::UserRow> &rows, Counts &counts)
{
    // Users whose folders are gone: dropped from the journal with the next batch's deletion.
    QVector<int> finished;
    int done = 0;
    for (qsizetype first = 0; first < rows.size(); first += ROWS_PER_TRANSACTION) {
        const QVector<CUserDb::UserRow> chunk = rows.mid(first, ROWS_PER_TRANSACTION);
        QVector<CUserDb::UserRow> gone;
        if (!deleteRows(chunk, finished, &gone, &counts.errorText)) {
            counts.databaseFailed = true;
            return;
        }
        finished.clear();
        counts.deleted += int(gone.size());
        counts.active += int(chunk.size() - gone.size());
        done += int(chunk.size());
        // Progress counts what is committed.
        emit progress(done, counts.found);
        step("committed");
        // Named once their deletion is committed, whatever becomes of the folders: a purge
        // is no undo. Only then do the folders go.
        for (const CUserDb::UserRow &user : std::as_const(gone)) {
            counts.users.append(user);
            db->logLine(takenLine(user, DeleteUsers));
        }
        step("named");
        for (const CUserDb::UserRow &user : std::as_const(gone)) {
            // A folder that stays keeps its note, for the next purge or start to try again.
            if (removeFolder(storage.get(), user.objectId, counts))
                finished.append(user.objectId);
            step("folder");
        }
    }
    // Left for the next purge or start when this fails: it finds the folders gone.
    CPurgeJournal::dropNow(db, finished, nullptr);
}

void CUserPurge::clearInactive(const QVector<CUserDb::UserRow> &rows, Counts &counts)
{
    int done = 0;
    for (const CUserDb::UserRow &user : rows) {
        // Clearing keeps the rows: a user who logged in since the list was made keeps the
        // saves, checked right before the folder goes.
        bool inactive = true;
        if (!stillInactive(user.objectId, &inactive, &counts.errorText)) {
            counts.databaseFailed = true;
            return;
        }
        if (!inactive)
            ++counts.active;
        else if (removeFolder(storage.get(), user.objectId, counts)) {
            counts.users.append(user);
            db->logLine(takenLine(user, ClearData));
        }
        if (++done % FOLDERS_PER_REPORT == 0 || done == rows.size())
            emit progress(done, counts.found);
    }
}

CUserPurge::Counts CUserPurge::finishEarlier(CUserDb *userDb, CAbstractSaveStore *store)
{
    Counts counts;
    QVector<CUserDb::UserRow> noted;
    if (!CPurgeJournal::pending(userDb, &noted, &counts.errorText)) {
        counts.databaseFailed = true;
        return counts;
    }
    QVector<int> finished;
    for (const CUserDb::UserRow &user : std::as_const(noted)) {
        bool taken = false;
        if (!CPurgeJournal::userExists(userDb, user.objectId, &taken, &counts.errorText)) {
            counts.databaseFailed = true;
            break;
        }
        // An id held by a user again names that user's folder, which stays.
        if (!taken && !removeFolder(store, user.objectId, counts))
            continue;
        finished.append(user.objectId);
        counts.earlier.append(user);
        userDb->logLine(takenLine(user, DeleteUsers));
    }
    if (!CPurgeJournal::dropNow(userDb, finished, &counts.errorText))
        counts.databaseFailed = true;
    // Only the outcome of the purge that follows counts these.
    counts.cleared = counts.missing = 0;
    return counts;
}

bool CUserPurge::deleteRows(const QVector<CUserDb::UserRow> &users, const QVector<int> &finished,
    QVector<CUserDb::UserRow> *deleted, QString *errorText)
{
    QString error;
    const bool ok = db->run([&](CUserDbConnection &conn) {
        deleted->clear();
        const bool committed = conn.transaction([&] {
            if (!CPurgeJournal::drop(conn, finished))
                return false;
            // Still inactive: a login since the list was made keeps the user.
            QSqlQuery &query = conn.query(QStringLiteral("delete from t_user where object_id = ? "
                                                         "and (last_login is null or "
                                                         "last_login < ?)"));
            for (const CUserDb::UserRow &user : users) {
                query.bindValue(0, user.objectId);
                query.bindValue(1, cutOff);
                if (!query.exec()) {
                    conn.keepError(query);
                    return false;
                }
                if (query.numRowsAffected() > 0)
                    deleted->append(user);
            }
            // Noted with their deletion: whoever finds the note finishes the folders.
            return CPurgeJournal::note(conn, *deleted);
        });
        if (!committed)
            error = conn.lastErrorText;
        db->noteRowsChanged();
        return committed;
    });
    if (!ok) {
        deleted->clear();
        *errorText = error.isEmpty() ? QStringLiteral("the database cannot be reached") : error;
    }
    return ok;
}

bool CUserPurge::stillInactive(int objectId, bool *inactive, QString *errorText)
{
    QString error;
    const bool ok = db->run([&](CUserDbConnection &conn) {
        QSqlQuery &query = conn.query(QStringLiteral("select 1 from t_user where object_id = ? "
                                                     "and (last_login is null or "
                                                     "last_login < ?)"));
        query.bindValue(0, objectId);
        query.bindValue(1, cutOff);
        if (!query.exec()) {
            conn.keepError(query);
            error = conn.lastErrorText;
            return false;
        }
        *inactive = query.next();
        query.finish();
        return true;
    });
    if (!ok)
        *errorText = error.isEmpty() ? QStringLiteral("the database cannot be reached") : error;
    return ok;
}

bool CUserPurge::removeFolder(CAbstractSaveStore *storage, int objectId, Counts &counts)
{
    bool existed = false;
    if (!storage) {
        ++counts.missing;
        return true;
    }
    if (storage->removeUserData(objectId, &existed, nullptr)) {
        ++(existed ? counts.cleared : counts.missing);
        return true;
    }
    ++counts.folderFailures;
    return false;
}

bool CUserPurge::listInactive(QVector<CUserDb::UserRow> *rows, QString *errorText)
{
    QVector<CUserDb::UserRow> found;
    const bool ok = db->run([&](CUserDbConnection &conn) {
        found.clear();
        QSqlQuery &query = conn.query(QStringLiteral("select object_id, name, last_login from "
                                                     "t_user where last_login is null or "
                                                     "last_login < ? order by object_id"));
        query.addBindValue(cutOff);
        if (!query.exec()) {
            conn.keepError(query);
            return false;
        }
        while (query.next()) {
            found.append(
                { query.value(0).toInt(), query.value(1).toString(), query.value(2).toString() });
        }
        query.finish();
        return true;
    });
    if (!ok)
        *errorText = QStringLiteral("the inactive users could not be listed");
    *rows = found;
    return ok;
}

QString CUserPurge::summary() const
{
    const Counts &c = outcome;
    const QString what = mode == DeleteUsers
        ? tr("Purge of users not logged in since %1: %2 of %3 deleted")
              .arg(cutOff, QString::number(c.deleted), QString::number(c.found))
        : tr("Clearing the game data of users not logged in since %1: %2 of %3 cleared")
              .arg(cutOff, QString::number(c.cleared + c.missing), QString::number(c.found));
    QString line = what;
    if (!c.earlier.isEmpty())
        line += tr(", and the game data of %1 users a purge cut short had deleted")
                    .arg(c.earlier.size());
    if (c.folderFailures > 0)
        line += tr(", %1 folders could not be removed").arg(c.folderFailures);
    if (c.databaseFailed)
        line += tr(", stopped: %1").arg(c.errorText);
    return line;
}
