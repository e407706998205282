#include "cuserpurge.h"

#include <QFileInfo>
#include <QHash>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

#include "cuserdb.h"
#include "cuserdbconnection.h"
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

CUserPurge::CUserPurge(
    Mode purgeMode, const QDateTime &cutOffTime, const QString &storageDir, QObject *parent)
    : CUserPurge(purgeMode, cutOffTime,
        storageDir.isEmpty() ? nullptr : std::make_shared<CSaveStore>(storageDir), parent)
{
}

CUserPurge::CUserPurge(Mode purgeMode, const QDateTime &cutOffTime,
    std::shared_ptr<CAbstractSaveStore> store, QObject *parent)
    : QObject(parent)
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
            CUserDb::instance()->logLine(summary());
        emit finished();
    });
    worker->start();
}

CUserPurge::Counts CUserPurge::run()
{
    Counts counts;
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
    QVector<int> ids;
    QHash<int, qsizetype> rowOf;
    ids.reserve(rows.size());
    for (qsizetype i = 0; i < rows.size(); ++i) {
        ids.append(rows.at(i).objectId);
        rowOf.insert(rows.at(i).objectId, i);
    }
    int done = 0;
    for (qsizetype first = 0; first < ids.size(); first += ROWS_PER_TRANSACTION) {
        const QVector<int> chunk = ids.mid(first, ROWS_PER_TRANSACTION);
        QVector<int> gone;
        if (mode == DeleteUsers) {
            if (!deleteRows(chunk, &gone, &counts.errorText)) {
                counts.databaseFailed = true;
                return counts;
            }
            counts.deleted += int(gone.size());
            counts.active += int(chunk.size() - gone.size());
        } else {
            gone = chunk;
        }
        // Only now, the rows committed, do their folders go.
        for (const int id : std::as_const(gone)) {
            bool inactive = true;
            // Clearing keeps the rows: a user who logged in since the list was made keeps
            // the saves, checked right before the folder goes.
            if (mode == ClearData && !stillInactive(id, &inactive, &counts.errorText)) {
                counts.databaseFailed = true;
                return counts;
            }
            if (!inactive)
                ++counts.active;
            else if (removeFolder(id, counts) || mode == DeleteUsers)
                counts.users.append(rows.at(rowOf.value(id)));
            if (++done % FOLDERS_PER_REPORT == 0)
                emit progress(done, counts.found);
        }
        done += int(chunk.size() - gone.size());
        emit progress(done, counts.found);
    }
    return counts;
}

bool CUserPurge::deleteRows(const QVector<int> &ids, QVector<int> *deleted, QString *errorText)
{
    QString error;
    const bool ok = CUserDb::instance()->run([&](CUserDbConnection &conn) {
        deleted->clear();
        const bool committed = conn.transaction([&] {
            // Still inactive: a login since the list was made keeps the user.
            QSqlQuery &query = conn.query(QStringLiteral("delete from t_user where object_id = ? "
                                                         "and (last_login is null or "
                                                         "last_login < ?)"));
            for (const int id : ids) {
                query.bindValue(0, id);
                query.bindValue(1, cutOff);
                if (!query.exec()) {
                    conn.keepError(query);
                    return false;
                }
                if (query.numRowsAffected() > 0)
                    deleted->append(id);
            }
            return true;
        });
        if (!committed)
            error = conn.lastErrorText;
        CUserDb::instance()->noteRowsChanged();
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
    const bool ok = CUserDb::instance()->run([&](CUserDbConnection &conn) {
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

bool CUserPurge::removeFolder(int objectId, Counts &counts)
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
    const bool ok = CUserDb::instance()->run([&](CUserDbConnection &conn) {
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
    if (c.folderFailures > 0)
        line += tr(", %1 folders could not be removed").arg(c.folderFailures);
    if (c.databaseFailed)
        line += tr(", stopped: %1").arg(c.errorText);
    return line;
}
