#include "cuserdbbatch.h"

#include "cabstractsavestore.h"

#include <algorithm>
#include <limits>

#include <QDateTime>
#include <QHash>
#include <QSqlQuery>
#include <QVariant>

#include "cuserdbconnection.h"
#include "cuserfolder.h"

CUserDbBatch::CUserDbBatch(
    CUserDbConnection &connection, QVector<Request> &batch, CAbstractSaveStore *store)
    : conn(connection)
    , requests(batch)
    , storage(store)
{
}

CUserDb::Result CUserDbBatch::failureResult(Request::Kind kind)
{
    return kind == Request::Login ? CUserDb::LoginRefused : CUserDb::Failed;
}

void CUserDbBatch::failAll(QVector<Request> &requests)
{
    for (Request &request : requests) {
        request.result = failureResult(request.kind);
        if (request.kind == Request::AddUser || request.kind == Request::Login)
            request.objectId = 0;
    }
}

bool CUserDbBatch::lost()
{
    failureText = conn.lastErrorText;
    conflict = conn.lostToConflict();
    conn.command(QStringLiteral("ROLLBACK"));
    failAll(requests);
    return false;
}

bool CUserDbBatch::run(bool *busy)
{
    conn.lastErrorCode.clear();
    failureText.clear();
    conflict = false;
    failAll(requests);
    if (busy)
        *busy = false;
    const QString begin = conn.beginText();
    const bool begun
        = busy && !conn.postgresql ? conn.beginWithoutWaiting(begin, busy) : conn.command(begin);
    if (busy && *busy)
        return false;
    if (!begun)
        return lost();
    // A request alone in its batch is undone with the whole transaction, which then starts
    // again empty: two statements fewer for a lone client.
    const QString undoAlone = requests.size() == 1 ? begin : QString();
    // One stamp for the batch: its logins are stored in the same instant.
    const bool logins = std::any_of(requests.cbegin(), requests.cend(),
        [](const Request &request) { return request.kind == Request::Login; });
    now = logins ? CUserDb::dateTimeText(QDateTime::currentDateTime()) : QString();
    for (qsizetype i = 0; i < requests.size();) {
        // Logins one after another stamp no user another one needs: one statement for many
        // (on SQLite, where that saves the statements' own work).
        qsizetype run = 0;
        while (!conn.postgresql && i + run < requests.size()
            && requests.at(i + run).kind == Request::Login
            && requests.at(i + run).check == Request::Check::None)
            ++run;
        if (run > 1) {
            if (!loginsStep(requests.data() + i, run))
                return lost();
            i += run;
            continue;
        }
        if (!runRequest(requests[i], undoAlone))
            return lost();
        ++i;
    }
    if (!conn.command(QStringLiteral("COMMIT")))
        return lost();
    return true;
}

CUserDbBatch::Step CUserDbBatch::failed(const QSqlQuery &query)
{
    conn.keepError(query);
    return Step::Failed;
}

bool CUserDbBatch::runRequest(Request &request, const QString &undoAlone)
{
    if (request.check == Request::Check::Refused) {
        request.result = request.refusal;
        return true;
    }
    const bool tooLong = request.kind == Request::AddUser
        ? request.name.size() > CUserDb::MAX_TEXT_LENGTH
            || request.password.size() > CUserDb::MAX_TEXT_LENGTH
        : request.kind != Request::Login && request.newPassword.size() > CUserDb::MAX_TEXT_LENGTH;
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
        step = addUserStep(request);
        break;
    case Request::ChangePassword:
        step = changePasswordStep(request);
        break;
    case Request::SetPassword:
        step = setPasswordStep(request);
        break;
    case Request::Login:
        step = loginStep(request);
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
        again.addBindValue(CUserDb::sqlText(request.name));
        if (again.exec() && again.next())
            request.result = CUserDb::NameTaken;
        again.finish();
    }
    return true;
}

CUserDbBatch::Step CUserDbBatch::addUserStep(Request &request)
{
    // Where the unique index refuses a taken name, the insert finds it out (and runRequest
    // tells a taken name from a fault); one statement fewer for every new user.
    if (!conn.uniqueNames) {
        QSqlQuery &lookup
            = conn.query(QStringLiteral("select object_id from t_user where name = ?"));
        lookup.addBindValue(CUserDb::sqlText(request.name));
        if (!lookup.exec())
            return failed(lookup);
        const bool taken = lookup.next();
        lookup.finish();
        if (taken) {
            request.result = CUserDb::NameTaken;
            return Step::Undo;
        }
    }
    // Above the high-water mark and above every id in use: never an id of a deleted user.
    QSqlQuery &next = conn.query(conn.postgresql
            ? QStringLiteral("UPDATE t_user_seq SET last_id = GREATEST(last_id, (SELECT "
                             "COALESCE(MAX(object_id), 0) FROM t_user)) + 1 RETURNING last_id")
            : QStringLiteral("UPDATE t_user_seq SET last_id = MAX(last_id, (SELECT "
                             "COALESCE(MAX(object_id), 0) FROM t_user)) + 1 RETURNING last_id"));
    if (!next.exec() || !next.next())
        return failed(next);
    const qint64 id = next.value(0).toLongLong();
    next.finish();
    if (id <= 0 || id > std::numeric_limits<int>::max()) {
        request.result = CUserDb::Failed;
        return Step::Undo;
    }
    // A folder that cannot be moved costs the id, not the sign-ups after it.
    if (!clearWayFor(int(id))) {
        request.result = CUserDb::Failed;
        return Step::Keep;
    }
    QSqlQuery &insert = conn.query(QStringLiteral(
        "insert into t_user (object_id, name, password, is_enabled) values (?, ?, ?, ?)"));
    insert.addBindValue(int(id));
    insert.addBindValue(CUserDb::sqlText(request.name));
    insert.addBindValue(CUserDb::sqlText(request.password));
    insert.addBindValue(QStringLiteral("Y"));
    if (!insert.exec())
        return failed(insert);
    request.objectId = int(id);
    request.result = CUserDb::Ok;
    return Step::Keep;
}

bool CUserDbBatch::clearWayFor(int objectId)
{
    // Ids come from the database alone; whatever a client uploaded for an id not yet handed
    // out is kept, out of the new user's way.
    QString movedTo;
    QString error;
    if (!storage
        || storage->moveAside(objectId, QDateTime::currentDateTimeUtc(), &movedTo, &error)) {
        if (!movedTo.isEmpty())
            noteLines << QStringLiteral("Folder of new user %1 was already there, moved to %2")
                             .arg(QString::number(objectId), movedTo);
        return true;
    }
    noteLines << QStringLiteral("Id %1 skipped, its folder is in the way: %2")
                     .arg(QString::number(objectId), error);
    return false;
}

CUserDbBatch::Step CUserDbBatch::changePasswordStep(Request &request)
{
    QSqlQuery &update = conn.query(
        QStringLiteral("update t_user set password = ? where object_id = ? and password = ?"));
    update.addBindValue(CUserDb::sqlText(request.newPassword));
    update.addBindValue(request.objectId);
    // Checked against the stored value: changed since, it stays (and this one is refused).
    update.addBindValue(CUserDb::sqlText(
        request.check == Request::Check::Passed ? request.stored : request.password));
    if (!update.exec())
        return failed(update);
    if (update.numRowsAffected() > 0) {
        request.result = CUserDb::Ok;
        return Step::Keep;
    }
    QSqlQuery &query = conn.query(QStringLiteral("select name from t_user where object_id=?"));
    query.addBindValue(request.objectId);
    if (!query.exec())
        return failed(query);
    const bool found = query.next();
    request.result = found ? CUserDb::WrongPassword : CUserDb::Failed;
    if (found) {
        request.userId = request.objectId;
        request.userName = query.value(0).toString();
    }
    query.finish();
    return Step::Keep;
}

CUserDbBatch::Step CUserDbBatch::setPasswordStep(Request &request)
{
    QSqlQuery &update
        = conn.query(QStringLiteral("update t_user set password = ? where object_id = ?"));
    update.addBindValue(CUserDb::sqlText(request.newPassword));
    update.addBindValue(request.objectId);
    if (!update.exec())
        return failed(update);
    request.result = update.numRowsAffected() > 0 ? CUserDb::Ok : CUserDb::Failed;
    return Step::Keep;
}

bool CUserDbBatch::loginsStep(Request *first, qsizetype count)
{
    while (count > 0) {
        // A few statement sizes, each prepared once: 64, 32, ... 2 logins, then one alone.
        qsizetype chunk = 1;
        while (chunk * 2 <= count && chunk < MAX_LOGINS_PER_STATEMENT)
            chunk *= 2;
        if (chunk == 1)
            return loginStep(*first) == Step::Keep;
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
            query.addBindValue(CUserDb::sqlText(first[i].name));
            query.addBindValue(CUserDb::sqlText(first[i].password));
        }
        query.addBindValue(now);
        if (!query.exec()) {
            failed(query);
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
                first[i].result = CUserDb::Ok;
            }
        }
        first += chunk;
        count -= chunk;
    }
    return true;
}

CUserDbBatch::Step CUserDbBatch::loginStep(Request &request)
{
    if (request.check == Request::Check::Passed)
        return checkedLoginStep(request);
    // Check and stamp in one statement: a user deleted meanwhile is not logged in.
    QSqlQuery &query = conn.query(QStringLiteral("update t_user set last_login = ? where "
                                                 "name = ? and password = ? returning object_id"));
    query.addBindValue(now);
    query.addBindValue(CUserDb::sqlText(request.name));
    query.addBindValue(CUserDb::sqlText(request.password));
    if (!query.exec())
        return failed(query);
    if (query.next()) {
        request.objectId = query.value(0).toInt();
        request.result = CUserDb::Ok;
    }
    query.finish();
    return Step::Keep;
}

CUserDbBatch::Step CUserDbBatch::checkedLoginStep(Request &request)
{
    // The password was checked against the stored value already. A user deleted meanwhile is
    // not logged in; the hash made anew replaces only the value checked, so a password
    // changed meanwhile stays.
    QSqlQuery &query = conn.query(QStringLiteral(
        "update t_user set last_login = ?, password = case when password = ? then ? else "
        "password end where object_id = ? returning object_id"));
    query.addBindValue(now);
    query.addBindValue(CUserDb::sqlText(request.stored));
    query.addBindValue(CUserDb::sqlText(request.newPassword));
    query.addBindValue(request.storedId);
    if (!query.exec())
        return failed(query);
    if (query.next()) {
        request.objectId = request.storedId;
        request.result = CUserDb::Ok;
    }
    query.finish();
    return Step::Keep;
}
