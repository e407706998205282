#include "cpurgejournal.h"

#include <QSqlQuery>
#include <QVariant>

#include "cuserdbconnection.h"

namespace {

QString reason(const QString &error)
{
    return error.isEmpty() ? QStringLiteral("the database cannot be reached") : error;
}

} // namespace

bool CPurgeJournal::note(CUserDbConnection &conn, const QVector<CUserDb::UserRow> &users)
{
    QSqlQuery &query = conn.query(QStringLiteral(
        "insert into t_purge_journal (object_id, name, last_login) values (?, ?, ?)"));
    for (const CUserDb::UserRow &user : users) {
        query.bindValue(0, user.objectId);
        query.bindValue(1, CUserDb::sqlText(user.name));
        query.bindValue(2,
            user.lastLogin.isEmpty() ? QVariant(QMetaType::fromType<QString>())
                                     : QVariant(user.lastLogin));
        if (!query.exec()) {
            conn.keepError(query);
            return false;
        }
    }
    return true;
}

bool CPurgeJournal::drop(CUserDbConnection &conn, const QVector<int> &ids)
{
    QSqlQuery &query
        = conn.query(QStringLiteral("delete from t_purge_journal where object_id = ?"));
    for (const int id : ids) {
        query.bindValue(0, id);
        if (!query.exec()) {
            conn.keepError(query);
            return false;
        }
    }
    return true;
}

bool CPurgeJournal::dropNow(CUserDb *userDb, const QVector<int> &ids, QString *errorText)
{
    if (ids.isEmpty())
        return true;
    QString error;
    const bool ok = userDb->run([&](CUserDbConnection &conn) {
        const bool committed = conn.transaction([&] { return drop(conn, ids); });
        if (!committed)
            error = conn.lastErrorText;
        return committed;
    });
    if (!ok && errorText)
        *errorText = reason(error);
    return ok;
}

bool CPurgeJournal::pending(CUserDb *userDb, QVector<CUserDb::UserRow> *users, QString *errorText)
{
    QString error;
    const bool ok = userDb->run([&](CUserDbConnection &conn) {
        users->clear();
        QSqlQuery &query = conn.query(QStringLiteral(
            "select object_id, name, last_login from t_purge_journal order by object_id"));
        if (!query.exec()) {
            conn.keepError(query);
            error = conn.lastErrorText;
            return false;
        }
        while (query.next()) {
            users->append(
                { query.value(0).toInt(), query.value(1).toString(), query.value(2).toString() });
        }
        query.finish();
        return true;
    });
    if (!ok && errorText)
        *errorText = reason(error);
    return ok;
}

bool CPurgeJournal::userExists(CUserDb *userDb, int objectId, bool *exists, QString *errorText)
{
    QString error;
    const bool ok = userDb->run([&](CUserDbConnection &conn) {
        QSqlQuery &query = conn.query(QStringLiteral("select 1 from t_user where object_id = ?"));
        query.bindValue(0, objectId);
        if (!query.exec()) {
            conn.keepError(query);
            error = conn.lastErrorText;
            return false;
        }
        *exists = query.next();
        query.finish();
        return true;
    });
    if (!ok && errorText)
        *errorText = reason(error);
    return ok;
}
