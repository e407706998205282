#include "cuserdb.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QMetaMethod>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

#include "cserversettings.h"
#include "cuserdbbatch.h"
#include "cuserdbconnection.h"
#include "cuserfolder.h"
#include "cuserpages.h"
#include "cabstractsavestore.h"
#include "storagehelpers.h"

CUserDb *CUserDb::instance()
{
    // Either thread may be first.
    static CUserDb *const userDb = [] {
        auto *db = new CUserDb(CServerSettings::instance(), CPasswordHasher::instance());
        // Signals queued to it (the log backlog) need a thread that runs for good.
        if (const QCoreApplication *app = QCoreApplication::instance())
            db->moveToThread(app->thread());
        // Creates the tables; an unusable database shows up as failing operations later.
        db->connection(nullptr);
        return db;
    }();
    return userDb;
}

CUserDb::CUserDb(CServerSettings *serverSettings, CPasswordHasher *passwordHasher)
    : QObject(nullptr)
    , settings(serverSettings)
    , hasher(passwordHasher)
    , pages(std::make_unique<CUserPages>())
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

void CUserDb::setConfig(const CUserDbConfig &newConfig)
{
    QMutexLocker lock(&mutex);
    hasConfig = true;
    config = newConfig;
    ++generation;
    pages->rowsChanged();
}

void CUserDb::clearConfig()
{
    QMutexLocker lock(&mutex);
    hasConfig = false;
    ++generation;
    pages->rowsChanged();
}

bool CUserDb::currentConfig(CUserDbConfig *result, QString *errorText) const
{
    {
        QMutexLocker lock(&mutex);
        if (hasConfig) {
            *result = config;
            return true;
        }
    }
    CUserDbConfig fromSettings;
    if (!CUserDbConfig::fromSettings(settings->snapshot(), &fromSettings, errorText))
        return false;
    if (!fromSettings.isPostgresql()) {
        // The default connection can only be looked at from its own thread, the main one;
        // other threads take the file the main thread found there last.
        const QString defaultName = QLatin1String(QSqlDatabase::defaultConnection);
        const QCoreApplication *app = QCoreApplication::instance();
        QMutexLocker lock(&mutex);
        if ((!app || app->thread() == QThread::currentThread())
            && QSqlDatabase::contains(defaultName)) {
            const QSqlDatabase db = QSqlDatabase::database(defaultName, false);
            if (db.driverName() == QLatin1String("QSQLITE") && !db.databaseName().isEmpty())
                defaultFile = db.databaseName();
        }
        if (!defaultFile.isEmpty())
            fromSettings = CUserDbConfig::sqlite(defaultFile);
    }
    *result = fromSettings;
    return true;
}

CUserDbConnection *CUserDb::connection(QString *errorText)
{
    CUserDbConnection *conn = CUserDbConnection::forThisThread();
    const int wanted = generation.load();
    if (conn->isOpenAt(wanted))
        return conn;
    CUserDbConfig target;
    QString error;
    if (!currentConfig(&target, &error)) {
        conn->close();
        if (errorText)
            *errorText = error;
        return nullptr;
    }
    QString notice;
    if (!conn->open(target, wanted, &error, &notice)) {
        if (errorText)
            *errorText = error;
        return nullptr;
    }
    if (!notice.isEmpty() && !schemaNoticeLogged.exchange(true))
        logLine(notice);
    return conn;
}

bool CUserDb::open(QString *errorText)
{
    close();
    QString error;
    if (!connection(&error)) {
        if (errorText)
            *errorText = error;
        return false;
    }
    reportBack();
    return true;
}

void CUserDb::close()
{
    if (CUserDbConnection *conn = CUserDbConnection::ofThisThread())
        conn->close();
}

QSqlDatabase CUserDb::database()
{
    CUserDbConnection *conn = connection(nullptr);
    return conn ? conn->db : QSqlDatabase();
}

bool CUserDb::run(const std::function<bool(CUserDbConnection &)> &operation)
{
    for (int attempt = 0;; ++attempt) {
        QString error;
        CUserDbConnection *conn = connection(&error);
        if (!conn) {
            reportOutage(error);
            return false;
        }
        conn->commitSent = false;
        if (operation(*conn)) {
            reportBack();
            return true;
        }
        if (conn->alive())
            return false;
        error = conn->db.lastError().text().simplified();
        conn->close();
        if (attempt > 0 || conn->commitSent) {
            reportOutage(error);
            return false;
        }
    }
}

void CUserDb::reportOutage(const QString &errorText)
{
    if (!outage.exchange(true)) {
        ++outageCount;
        logLine(tr("User database unreachable: %1").arg(errorText));
    }
}

void CUserDb::reportBack()
{
    if (outage.load() && outage.exchange(false))
        logLine(tr("User database reachable again"));
}

void CUserDb::logLine(const QString &line)
{
    if (isSignalConnected(QMetaMethod::fromSignal(&CUserDb::log))) {
        emit log(line);
        return;
    }
    // Lines from before the window or the console listens wait for the first receiver.
    QMutexLocker lock(&mutex);
    backlog.append(line);
}

void CUserDb::connectNotify(const QMetaMethod &signal)
{
    if (signal != QMetaMethod::fromSignal(&CUserDb::log))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            QStringList lines;
            {
                QMutexLocker lock(&mutex);
                lines.swap(backlog);
            }
            for (const QString &line : std::as_const(lines))
                emit log(line);
        },
        Qt::QueuedConnection);
}

bool CUserDb::userExists(const QString &name)
{
    bool found = true;
    // A failed lookup counts as taken, so nothing is added while the database is unusable.
    return !lookUpName(name, &found) || found;
}

bool CUserDb::lookUpName(const QString &name, bool *found)
{
    return run([&](CUserDbConnection &conn) {
        QSqlQuery &query
            = conn.query(QStringLiteral("select object_id from t_user where name = ?"));
        query.addBindValue(sqlText(name));
        if (!query.exec())
            return false;
        *found = query.next();
        query.finish();
        return true;
    });
}

CUserDb::Request CUserDb::runAlone(const Request &request)
{
    QVector<Request> batch { request };
    const CPasswordHasher::Params params
        = CPasswordHasher::Params::fromSettings(settings->snapshot());
    // Kept plain, a login or a password change may still meet a hash from a time passwords
    // were hashed.
    const bool checks = params.hashing || request.kind == Request::Login
        || request.kind == Request::ChangePassword;
    if (checks)
        hasher->runAndWait([&] { checkPasswords(batch.first(), params); });
    commitBatch(batch, nullptr);
    return batch.first();
}

bool CUserDb::addUser(const QString &name, const QString &password, int *objectId, bool *nameTaken)
{
    Request request;
    request.kind = Request::AddUser;
    request.name = name;
    request.password = password;
    const Request done = runAlone(request);
    if (nameTaken)
        *nameTaken = done.result == NameTaken;
    if (done.result != Ok)
        return false;
    if (objectId)
        *objectId = done.objectId;
    return true;
}

bool CUserDb::login(const QString &name, const QString &password, int *objectId)
{
    Request request;
    request.kind = Request::Login;
    request.name = name;
    request.password = password;
    const Request done = runAlone(request);
    if (done.result != Ok)
        return false;
    if (objectId)
        *objectId = done.objectId;
    return true;
}

CUserDb::Result CUserDb::changePassword(
    int objectId, const QString &oldPassword, const QString &newPassword)
{
    Request request;
    request.kind = Request::ChangePassword;
    request.objectId = objectId;
    request.password = oldPassword;
    request.newPassword = newPassword;
    return runAlone(request).result;
}

bool CUserDb::setPassword(int objectId, const QString &password)
{
    Request request;
    request.kind = Request::SetPassword;
    request.objectId = objectId;
    request.newPassword = password;
    return runAlone(request).result == Ok;
}

bool CUserDb::commitBatch(QVector<Request> &requests, QString *errorText, bool *busy)
{
    // Ids come from the database alone: whatever a client stored for an id not yet handed
    // out goes aside (a folder, or a bucket's objects).
    const std::unique_ptr<CAbstractSaveStore> storage
        = CAbstractSaveStore::fromSettings(settings->snapshot());
    QString failure;
    bool conflict = false;
    const auto attempt = [&](CUserDbConnection &conn) {
        CUserDbBatch batch(conn, requests, storage.get());
        const bool ok = batch.run(busy);
        for (const QString &note : batch.notes())
            logLine(note);
        failure = batch.failure();
        conflict = batch.lostToConflict();
        return ok;
    };
    // Two servers whose batches lock the same users in opposite orders: PostgreSQL ends one
    // of the two transactions, which then runs again once the other has committed.
    bool ok = run(attempt);
    for (int retry = 0; !ok && conflict && retry < MAX_CONFLICT_RETRIES; ++retry) {
        conflict = false;
        ok = run(attempt);
    }
    if (busy && *busy)
        return false;
    if (!ok) {
        CUserDbBatch::failAll(requests);
        for (Request &request : requests)
            request.databaseFailed = true;
        if (errorText)
            *errorText = failure.isEmpty() ? tr("the database cannot be reached") : failure;
        return false;
    }
    for (const Request &request : std::as_const(requests)) {
        if (request.result != Ok)
            continue;
        if (request.kind == Request::AddUser) {
            pages->rowsChanged();
            emit userAdd(request.objectId, request.name);
        } else if (request.kind == Request::Login)
            emit userLogin(request.objectId);
    }
    return true;
}

void CUserDb::checkPasswords(Request &request, const CPasswordHasher::Params &params)
{
    const auto refuse = [&](Result result) {
        request.check = Request::Check::Refused;
        request.refusal = result;
    };
    // A text too long for the column is left as it is, for the batch to refuse.
    const auto hashNew = [&](QString *password) {
        if (password->size() > MAX_TEXT_LENGTH)
            return true;
        *password = hasher->hash(*password, params);
        return !password->isEmpty();
    };
    switch (request.kind) {
    case Request::AddUser:
        if (!params.hashing || request.name.size() > MAX_TEXT_LENGTH)
            return;
        // A taken name costs a look-up, not a hash; the batch still refuses one taken meanwhile.
        if (bool taken = false; lookUpName(request.name, &taken) && taken) {
            refuse(NameTaken);
            return;
        }
        if (!hashNew(&request.password))
            refuse(Failed);
        return;
    case Request::SetPassword:
        if (params.hashing && !hashNew(&request.newPassword))
            refuse(Failed);
        return;
    case Request::ChangePassword:
        if (request.newPassword.size() > MAX_TEXT_LENGTH)
            return;
        break;
    case Request::Login:
        break;
    }
    const bool login = request.kind == Request::Login;
    bool found = false;
    int objectId = 0;
    QString stored;
    QString name;
    const bool read = run([&](CUserDbConnection &conn) {
        QSqlQuery &query = conn.query(login
                ? QStringLiteral("select object_id, password, name from t_user where name = ?")
                : QStringLiteral(
                    "select object_id, password, name from t_user where object_id = ?"));
        query.addBindValue(login ? sqlText(request.name) : QVariant(request.objectId));
        if (!query.exec())
            return false;
        found = query.next();
        if (found) {
            objectId = query.value(0).toInt();
            stored = query.value(1).toString();
            name = query.value(2).toString();
        }
        query.finish();
        return true;
    });
    const Result refused = login ? LoginRefused : Failed;
    if (!read) {
        // The database could not tell: no judgement of the password, so no wrong guess.
        refuse(refused);
        request.databaseFailed = true;
        return;
    }
    if (!found) {
        // Nobody can tell by the time taken which names or ids exist.
        if (params.hashing)
            hasher->verifyNobody(request.password, params);
        refuse(refused);
        return;
    }
    request.userId = objectId;
    request.userName = name;
    if (!hasher->verify(stored, request.password, params)) {
        refuse(login ? LoginRefused : WrongPassword);
        return;
    }
    request.check = Request::Check::Passed;
    request.stored = stored;
    if (login) {
        request.storedId = objectId;
        // Plain text from an older database, or a hash of another cost, is hashed anew with
        // the password just proven; the stamp stores it.
        request.newPassword = stored;
        if (params.hashing && hasher->needsRehash(stored, params)) {
            const QString again = hasher->hash(request.password, params);
            if (!again.isEmpty())
                request.newPassword = again;
        }
    } else if (params.hashing && !hashNew(&request.newPassword)) {
        refuse(Failed);
    }
    // Nobody needs the password the client sent any more.
    request.password.clear();
}

bool CUserDb::plainPasswordCount(int *count)
{
    return countPasswords(QStringLiteral("<>"), count);
}

bool CUserDb::hashedPasswordCount(int *count)
{
    return countPasswords(QStringLiteral("="), count);
}

bool CUserDb::countPasswords(const QString &comparison, int *count)
{
    return run([&](CUserDbConnection &conn) {
        QSqlQuery &query = conn.query(
            QStringLiteral("select count(*) from t_user where substr(password, 1, 10) %1 ?")
                .arg(comparison));
        query.addBindValue(QStringLiteral("$argon2id$"));
        if (!query.exec() || !query.next())
            return false;
        *count = query.value(0).toInt();
        query.finish();
        return true;
    });
}

bool CUserDb::password(int objectId, QString *password)
{
    bool found = false;
    const bool ok = run([&](CUserDbConnection &conn) {
        QSqlQuery &query
            = conn.query(QStringLiteral("select password from t_user where object_id = ?"));
        query.addBindValue(objectId);
        if (!query.exec())
            return false;
        found = query.next();
        if (found && password)
            *password = query.value(0).toString();
        query.finish();
        return true;
    });
    return ok && found;
}

bool CUserDb::deleteUser(int objectId)
{
    QVector<int> kept;
    return deleteUsers({ objectId }, &kept) && kept.isEmpty();
}

bool CUserDb::deleteUsers(const QVector<int> &objectIds, QVector<int> *kept)
{
    // The row goes only with the folder: the operator asked for the user and the saves.
    QVector<int> removable;
    removable.reserve(objectIds.size());
    for (const int id : objectIds) {
        if (clearUserData(id))
            removable.append(id);
        else if (kept)
            kept->append(id);
    }
    if (removable.isEmpty())
        return true;
    // One commit for all rows: one per row would wait for the disk each time.
    const auto counted = qScopeGuard([this] { pages->rowsChanged(); });
    return run([&](CUserDbConnection &conn) {
        return conn.transaction([&] {
            QSqlQuery &query = conn.query(QStringLiteral("delete from t_user where object_id = ?"));
            for (const int id : std::as_const(removable)) {
                query.bindValue(0, id);
                if (!query.exec()) {
                    conn.keepError(query);
                    return false;
                }
            }
            return true;
        });
    });
}

bool CUserDb::users(QVector<UserRow> &rows)
{
    return run([&](CUserDbConnection &conn) {
        rows.clear();
        QSqlQuery &query = conn.query(QStringLiteral("select object_id, name, last_login from "
                                                     "t_user order by last_login is null, "
                                                     "last_login desc"));
        if (!query.exec())
            return false;
        while (query.next()) {
            UserRow row;
            row.objectId = query.value(0).toInt();
            row.name = query.value(1).toString();
            if (!query.value(2).isNull())
                row.lastLogin = query.value(2).toString();
            rows.append(row);
        }
        query.finish();
        return true;
    });
}

void CUserDb::noteRowsChanged()
{
    pages->rowsChanged();
}

bool CUserDb::usersPage(const UserPage &page, QVector<UserRow> &rows, qint64 *total)
{
    return run([&](CUserDbConnection &conn) { return pages->read(conn, page, rows, total); });
}

bool CUserDb::inactiveUserIds(const QDateTime &before, QVector<int> &ids)
{
    QVector<int> found;
    const bool ok = run([&](CUserDbConnection &conn) {
        found.clear();
        QSqlQuery &query = conn.query(QStringLiteral("select object_id from t_user where "
                                                     "last_login is null or last_login < ? "
                                                     "order by object_id"));
        query.addBindValue(dateTimeText(before));
        if (!query.exec())
            return false;
        while (query.next())
            found.append(query.value(0).toInt());
        query.finish();
        return true;
    });
    ids += found;
    return ok;
}

QString CUserDb::userDataPath(int objectId)
{
    return CUserFolder::path(settings->snapshot().saveDataDir, objectId);
}

bool CUserDb::clearUserData(int objectId)
{
    const std::unique_ptr<CAbstractSaveStore> store
        = CAbstractSaveStore::fromSettings(settings->snapshot());
    bool existed = false;
    return !store || store->removeUserData(objectId, &existed, nullptr);
}
