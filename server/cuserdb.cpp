#include "cuserdb.h"

#include <limits>

#include <QDateTime>
#include <QDesktopServices>
#include <QFileInfo>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>

#include "cserversettings.h"
#include "storagehelpers.h"

namespace {

CUserDb *theUserDb = nullptr;

} // namespace

CUserDb *CUserDb::instance()
{
    if (!theUserDb) {
        theUserDb = new CUserDb;
        theUserDb->ensureTable();
    }
    return theUserDb;
}

CUserDb::CUserDb()
    : QObject(nullptr)
{
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

void CUserDb::ensureTable()
{
    // Errors are ignored: an unusable database shows up as failing operations later.
    QSqlQuery query;
    if (query.exec(QStringLiteral(
            "select count(*) from sqlite_master where type='table' and name='t_user'"))
        && query.next() && query.value(0).toInt() == 0) {
        query.exec(QStringLiteral(
            "CREATE TABLE [t_user] (   [object_id] INT NOT NULL,    [name] VARCHAR(20) NOT NULL, "
            "   [password] VARCHAR(20) NOT NULL,    [is_enabled] CHAR(1) NOT NULL DEFAULT Y,   "
            "[last_login] DATETIME)"));
    }
    // Without them every login scans the whole table.
    query.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS idx_t_user_name ON t_user(name)"));
    query.exec(
        QStringLiteral("CREATE INDEX IF NOT EXISTS idx_t_user_object_id ON t_user(object_id)"));
}

bool CUserDb::userExists(const QString &name)
{
    QSqlQuery query;
    query.prepare(QStringLiteral("select object_id from t_user where name = ?"));
    query.addBindValue(sqlText(name));
    if (!query.exec())
        return true;
    return query.next();
}

bool CUserDb::addUser(const QString &name, const QString &password, int *objectId)
{
    QSqlQuery query;
    query.prepare(QStringLiteral("select object_id from t_user where name = ?"));
    query.addBindValue(sqlText(name));
    if (!query.exec() || query.next())
        return false;
    query.finish();

    // An id read as 0 after a failed statement would hand out an id already in use.
    QSqlQuery maxQuery;
    if (!maxQuery.exec(QStringLiteral("select max(object_id) from t_user")) || !maxQuery.next())
        return false;
    const qint64 highest = maxQuery.value(0).toLongLong();
    maxQuery.finish();
    if (highest < 0 || highest >= std::numeric_limits<int>::max())
        return false;
    const int newId = int(highest) + 1;

    QSqlQuery insert;
    insert.prepare(QStringLiteral(
        "insert into t_user (object_id, name, password, is_enabled) values (?, ?, ?, ?)"));
    insert.addBindValue(newId);
    insert.addBindValue(sqlText(name));
    insert.addBindValue(sqlText(password));
    insert.addBindValue(QStringLiteral("Y"));
    if (!insert.exec())
        return false;

    if (objectId)
        *objectId = newId;
    emit userAdd(newId, name);
    return true;
}

bool CUserDb::login(const QString &name, const QString &password, int *objectId)
{
    QSqlQuery query;
    query.prepare(QStringLiteral("select object_id, password from t_user where name= ?"));
    query.addBindValue(sqlText(name));
    if (!query.exec() || !query.next())
        return false;
    if (query.value(1).toString() != password)
        return false;

    const int id = query.value(0).toInt();
    query.finish();
    if (objectId)
        *objectId = id;

    QSqlQuery update;
    update.prepare(QStringLiteral("update t_user set last_login = ? where object_id = ?"));
    update.addBindValue(dateTimeText(QDateTime::currentDateTime()));
    update.addBindValue(id);
    update.exec();

    emit userLogin(id);
    return true;
}

void CUserDb::deleteUser(int objectId)
{
    clearUserData(objectId);

    QSqlQuery query;
    query.prepare(QStringLiteral("delete from t_user where object_id = ?"));
    query.addBindValue(objectId);
    query.exec();
}

QString CUserDb::userDataPath(int objectId)
{
    QString path = CServerSettings::instance()->saveDataDir;
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
        return false;
    deleteDirectoryTree(path);
    return true;
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
    QSqlQuery query;
    query.prepare(
        QStringLiteral("select object_id from t_user where last_login is null or last_login < ?"));
    query.addBindValue(dateTimeText(before));
    query.exec();
    while (query.next())
        ids.append(query.value(0).toInt());
}

void CUserDb::clearInactiveUserData(const QDateTime &before, int *userCount, int *missingCount)
{
    QVector<int> ids;
    inactiveUserIds(before, ids);
    if (userCount)
        *userCount = ids.size();
    if (missingCount)
        *missingCount = 0;

    for (const int id : std::as_const(ids)) {
        const QString path = userDataPath(id);
        if (!path.isEmpty() && QFileInfo::exists(path))
            deleteDirectoryTree(path);
        else if (missingCount)
            ++*missingCount;
    }
}

void CUserDb::deleteInactiveUsers(const QDateTime &before, int *deletedCount)
{
    clearInactiveUserData(before, nullptr, nullptr);

    QSqlQuery query;
    query.prepare(QStringLiteral("delete from t_user where last_login is null or last_login < ?"));
    query.addBindValue(dateTimeText(before));
    query.exec();
    if (deletedCount)
        *deletedCount = query.numRowsAffected();
}
