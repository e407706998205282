#include "cadminservice.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QTemporaryFile>
#include <QThread>

#include "clogring.h"
#include "cmetrics.h"
#include "csavestore.h"
#include "cservercore.h"
#include "cserversettings.h"
#include "cuserdb.h"
#include "cuserdbconfig.h"
#include "cuserexport.h"
#include "cuserfolder.h"
#include "cuserpurge.h"
#include "printabletext.h"

namespace {

using Response = CHttpApi::Response;

// Milliseconds of the monotonic clock.
qint64 monotonicMs()
{
    return QDeadlineTimer::current().deadline();
}

QString utcText(const QDateTime &when)
{
    return when.toUTC().toString(Qt::ISODate);
}

// The stored local last-login text as UTC, or null.
QJsonValue lastLoginValue(const QString &stored)
{
    if (stored.isEmpty())
        return QJsonValue();
    QDateTime when = QDateTime::fromString(stored.left(19), Qt::ISODate);
    when.setTimeSpec(Qt::LocalTime);
    return when.isValid() ? QJsonValue(utcText(when)) : QJsonValue(stored);
}

QJsonArray entriesJson(const QList<CSaveStore::Entry> &entries, const char *nameKey)
{
    QJsonArray out;
    for (const CSaveStore::Entry &entry : entries) {
        out.append(QJsonObject { { QLatin1String(nameKey), entry.name },
            { QStringLiteral("size"), double(entry.size) },
            { QStringLiteral("modified"), utcText(entry.modified) } });
    }
    return out;
}

int storeStatus(const CSaveStore::Outcome &outcome)
{
    switch (outcome.status) {
    case CSaveStore::Status::Ok:
        return 200;
    case CSaveStore::Status::BadName:
        return 400;
    case CSaveStore::Status::NotFound:
        return 404;
    case CSaveStore::Status::Refused:
        return 409;
    case CSaveStore::Status::Failed:
        break;
    }
    return 500;
}

// The save store of the settings as they are now; an error answer when there is none.
std::unique_ptr<CAbstractSaveStore> currentStore(const CServerSettings *settings, Response *failure)
{
    QString why;
    std::unique_ptr<CAbstractSaveStore> store
        = CAbstractSaveStore::fromSettings(settings->snapshot(), &why);
    if (!store)
        *failure = CHttpApi::error(500, why);
    return store;
}

Response noUser(int objectId)
{
    return CHttpApi::error(404, QStringLiteral("no user with id %1").arg(objectId));
}

Response databaseDown()
{
    return CHttpApi::error(503, QStringLiteral("the user database cannot be read"));
}

QJsonArray userList(const QVector<CUserDb::UserRow> &rows, const QSet<int> &ids)
{
    QJsonArray out;
    for (const CUserDb::UserRow &row : rows) {
        if (ids.contains(row.objectId))
            out.append(QJsonObject {
                { QStringLiteral("id"), row.objectId }, { QStringLiteral("name"), row.name } });
    }
    return out;
}

} // namespace

CAdminService::CAdminService(const CServerCore *serverCore, CServerSettings *settings,
    CUserDb *users, CMetrics *metrics, CLogRing *logRing)
    : core(serverCore)
    , settingsRecord(settings)
    , userDb(users)
    , counters(metrics)
    , ring(logRing)
    , thread(new QThread)
    , worker(new QObject)
{
    thread->setObjectName(QStringLiteral("tolvern-admin"));
    worker->moveToThread(thread);
    thread->start();
    post([this] { walkStorageIfStale(); });
}

CAdminService::~CAdminService()
{
    // The jobs already queued still run: each one's reply is owed to somebody.
    post([this] {
        if (running)
            running->deleteLater();
        thread->quit();
    });
    thread->wait();
    delete running;
    delete worker;
    delete thread;
}

void CAdminService::post(std::function<void()> job)
{
    QMetaObject::invokeMethod(worker, std::move(job), Qt::QueuedConnection);
}

bool CAdminService::healthy()
{
    return core->msecsSinceLoopTurned() < 5000;
}

void CAdminService::walkStorageIfStale()
{
    // The service's thread only. The size is measured again when it is a minute old, or when
    // saves changed since (not more often than every few seconds while uploads go on), and
    // before it is shown: a scrape never reads a size from before the changes it follows.
    const qint64 now = monotonicMs();
    const qint64 changes = counters->storageChanges();
    const bool changed = changes != walkedChanges && now - storageWalkedAt >= STORAGE_REWALK_MS;
    if (storageWalkedAt >= 0 && !changed && now - storageWalkedAt < STORAGE_WALK_MS)
        return;
    const CServerSettings settings = settingsRecord->snapshot();
    const std::unique_ptr<CAbstractSaveStore> store = CAbstractSaveStore::fromSettings(settings);
    // An object store has no free space to tell.
    const qint64 free
        = settings.savesInS3() ? -1 : CSaveStore::volumeSpace(settings.saveDataDir).free;
    counters->setStorage(store ? store->storedBytes() : -1, free);
    walkedChanges = changes;
    storageWalkedAt = monotonicMs();
}

void CAdminService::ready(Reply reply)
{
    post([this, reply] {
        QString reason;
        const std::unique_ptr<CAbstractSaveStore> store
            = CAbstractSaveStore::fromSettings(settingsRecord->snapshot(), &reason);
        QString unwritable;
        bool found = false;
        if (!core->controlListening())
            reason = QStringLiteral("the main control port is not listening");
        else if (!core->fileListening())
            reason = QStringLiteral("the file transfer port is not listening");
        else if (!userDb->lookUpName(QStringLiteral("\x01ready"), &found))
            reason = QStringLiteral("the user database does not answer");
        else if (store && !store->writable(&unwritable))
            reason = unwritable;
        if (!store && reason.isEmpty())
            reason = QStringLiteral("the storage folder is not writable");
        if (reason.isEmpty())
            reply(CHttpApi::json(200, QJsonObject { { QStringLiteral("ready"), true } }));
        else
            reply(CHttpApi::json(503,
                QJsonObject {
                    { QStringLiteral("ready"), false }, { QStringLiteral("reason"), reason } }));
    });
}

void CAdminService::metrics(Reply reply)
{
    post([this, reply] {
        walkStorageIfStale();
        Response response;
        response.contentType = "text/plain; version=0.0.4; charset=utf-8";
        response.body = counters->render();
        reply(response);
    });
}

void CAdminService::status(Reply reply)
{
    post([this, reply] {
        walkStorageIfStale();
        CUserDbConfig config;
        userDb->currentConfig(&config, nullptr);
        const CServerSettings settings = settingsRecord->snapshot();
        const qint64 free
            = settings.savesInS3() ? -1 : CSaveStore::volumeSpace(settings.saveDataDir).free;
        QJsonObject object {
            { QStringLiteral("version"), QCoreApplication::applicationVersion() },
            { QStringLiteral("uptimeSeconds"), double(core->uptimeMsecs() / 1000) },
            { QStringLiteral("ports"),
                QJsonObject { { QStringLiteral("control"), core->controlPort() },
                    { QStringLiteral("file"), core->filePort() },
                    { QStringLiteral("http"), core->httpPort() } } },
            { QStringLiteral("connections"),
                QJsonObject { { QStringLiteral("control"),
                                  double(counters->connectionsOpen(CMetrics::ControlPort)) },
                    { QStringLiteral("file"),
                        double(counters->connectionsOpen(CMetrics::FilePort)) } } },
            { QStringLiteral("database"),
                config.isPostgresql() ? QStringLiteral("postgresql") : QStringLiteral("sqlite") },
            { QStringLiteral("storage"),
                QJsonObject { { QStringLiteral("bytes"), double(counters->storageBytes()) },
                    { QStringLiteral("freeBytes"), double(free) } } },
        };
        reply(CHttpApi::json(200, object));
    });
}

void CAdminService::listUsers(const CHttpApi::UserQuery &query, Reply reply)
{
    post([this, query, reply] {
        CUserDb::UserPage page;
        page.filter = query.filter;
        page.sort = query.sort == QLatin1String("name") ? CUserDb::UserPage::ByName
            : query.sort == QLatin1String("lastLogin")  ? CUserDb::UserPage::ByLastLogin
                                                        : CUserDb::UserPage::ById;
        page.descending = query.descending;
        page.offset = query.offset;
        page.limit = query.limit;
        QVector<CUserDb::UserRow> rows;
        qint64 total = 0;
        if (!userDb->usersPage(page, rows, &total)) {
            reply(databaseDown());
            return;
        }
        QJsonArray users;
        for (const CUserDb::UserRow &row : std::as_const(rows)) {
            users.append(QJsonObject { { QStringLiteral("id"), row.objectId },
                { QStringLiteral("name"), row.name },
                { QStringLiteral("lastLogin"), lastLoginValue(row.lastLogin) } });
        }
        reply(CHttpApi::json(200,
            QJsonObject {
                { QStringLiteral("total"), double(total) }, { QStringLiteral("users"), users } }));
    });
}

void CAdminService::addUser(const QString &name, const QString &password, Reply reply)
{
    post([this, name, password, reply] {
        // The add-user dialog's checks and texts.
        CUserDb *db = userDb;
        bool found = false;
        if (!db->lookUpName(name, &found)) {
            reply(CHttpApi::error(500, QStringLiteral("User create failed")));
            return;
        }
        if (found) {
            reply(CHttpApi::error(409, QStringLiteral("User name [%1] already exists").arg(name)));
            return;
        }
        int objectId = 0;
        bool taken = false;
        if (!db->addUser(name, password, &objectId, &taken)) {
            reply(taken ? CHttpApi::error(
                      409, QStringLiteral("User name [%1] already exists").arg(name))
                        : CHttpApi::error(500, QStringLiteral("User create failed")));
            return;
        }
        // The same trail as the admin commands leave for the operator's changes.
        emit logLine(QStringLiteral("Added user %1 (%2)").arg(objectId).arg(printableText(name)));
        reply(CHttpApi::json(201, QJsonObject { { QStringLiteral("id"), objectId } }));
    });
}

bool CAdminService::userKnown(int objectId, const Reply &reply)
{
    CUserDb *db = userDb;
    QString stored;
    if (db->password(objectId, &stored))
        return true;
    // False both for no such user and for a database that did not answer.
    bool found = false;
    reply(db->lookUpName(QString(), &found) ? noUser(objectId) : databaseDown());
    return false;
}

void CAdminService::setPassword(int objectId, const QString &password, Reply reply)
{
    post([this, objectId, password, reply] {
        if (!userKnown(objectId, reply))
            return;
        // False also when the user went away meanwhile.
        if (!userDb->setPassword(objectId, password)) {
            reply(CHttpApi::error(500, QStringLiteral("Change password failed")));
            return;
        }
        emit logLine(QStringLiteral("Changed the password of user %1").arg(objectId));
        Response response;
        response.status = 204;
        reply(response);
    });
}

void CAdminService::deleteUser(int objectId, Reply reply)
{
    post([this, objectId, reply] {
        if (!userKnown(objectId, reply))
            return;
        QVector<int> kept;
        counters->storageChanged();
        if (!userDb->deleteUsers({ objectId }, &kept)) {
            reply(CHttpApi::error(500,
                QStringLiteral("Cannot delete the selected users: the user database refused")));
            return;
        }
        if (!kept.isEmpty()) {
            reply(CHttpApi::error(500,
                QStringLiteral("Cannot delete users %1: their game data could not be removed")
                    .arg(objectId)));
            return;
        }
        emit logLine(QStringLiteral("Deleted user %1 and the game data").arg(objectId));
        Response response;
        response.status = 204;
        reply(response);
    });
}

void CAdminService::purge(int months, bool dataOnly, bool dryRun, Reply reply)
{
    post([this, months, dataOnly, dryRun, reply] {
        if (running) {
            reply(CHttpApi::error(409, QStringLiteral("a purge is already running")));
            return;
        }
        const QDateTime before = CUserPurge::cutOffFor(months, QDateTime::currentDateTime());
        CUserDb *db = userDb;
        QVector<int> ids;
        QVector<CUserDb::UserRow> rows;
        if (!db->inactiveUserIds(before, ids) || !db->users(rows)) {
            reply(databaseDown());
            return;
        }
        const QSet<int> inactive(ids.cbegin(), ids.cend());
        if (dryRun) {
            reply(CHttpApi::json(200,
                QJsonObject { { QStringLiteral("deleted"), 0 },
                    { QStringLiteral("users"), userList(rows, inactive) } }));
            return;
        }
        counters->storageChanged();
        Response failure;
        std::shared_ptr<CAbstractSaveStore> store = currentStore(settingsRecord, &failure);
        if (!store) {
            reply(failure);
            return;
        }
        running = new CUserPurge(userDb, dataOnly ? CUserPurge::ClearData : CUserPurge::DeleteUsers, before,
            std::move(store), worker);
        connect(running, &CUserPurge::finished, worker, [this, dataOnly, reply, rows, before] {
            const CUserPurge::Counts counts = running->counts();
            running->deleteLater();
            running = nullptr;
            // Whom it took, the purge has logged one by one as it went.
            // The settings dialog's texts.
            if (counts.databaseFailed) {
                reply(CHttpApi::error(500,
                    dataOnly ? QStringLiteral(
                        "Clearing stopped after the game data of %1 of %2 users: %3")
                                   .arg(counts.cleared + counts.missing)
                                   .arg(counts.found)
                                   .arg(counts.errorText)
                             : QStringLiteral("Deleting stopped after %1 of %2 users: %3")
                                   .arg(counts.deleted)
                                   .arg(counts.found)
                                   .arg(counts.errorText)));
                return;
            }
            if (counts.folderFailures > 0) {
                reply(CHttpApi::error(500,
                    dataOnly
                        ? QStringLiteral("The game data of %1 users could not be removed")
                              .arg(counts.folderFailures)
                        : QStringLiteral("The game data of %1 deleted users could not be removed")
                              .arg(counts.folderFailures)));
                return;
            }
            // Who went: for a deletion the users no longer there, for a clearing those still
            // inactive.
            CUserDb *users = userDb;
            QSet<int> gone;
            if (dataOnly) {
                QVector<int> still;
                users->inactiveUserIds(before, still);
                gone = QSet<int>(still.cbegin(), still.cend());
            } else {
                QVector<CUserDb::UserRow> now;
                users->users(now);
                for (const CUserDb::UserRow &row : std::as_const(rows))
                    gone.insert(row.objectId);
                for (const CUserDb::UserRow &row : std::as_const(now))
                    gone.remove(row.objectId);
            }
            reply(CHttpApi::json(200,
                QJsonObject { { QStringLiteral("deleted"),
                                  dataOnly ? counts.cleared + counts.missing : counts.deleted },
                    { QStringLiteral("users"), userList(rows, gone) } }));
        });
        running->start();
    });
}

void CAdminService::saves(int objectId, Reply reply)
{
    post([this, objectId, reply] {
        if (!userKnown(objectId, reply))
            return;
        CSaveStore::Outcome outcome;
        Response failure;
        const std::unique_ptr<CAbstractSaveStore> store = currentStore(settingsRecord, &failure);
        if (!store) {
            reply(failure);
            return;
        }
        const QList<CSaveStore::Entry> entries
            = store->saves(CUserFolder::name(objectId), &outcome);
        // A user who never uploaded has no folder yet: no saves.
        if (!outcome.ok() && outcome.status != CSaveStore::Status::NotFound) {
            reply(CHttpApi::error(storeStatus(outcome), outcome.message));
            return;
        }
        reply(CHttpApi::json(
            200, QJsonObject { { QStringLiteral("saves"), entriesJson(entries, "name") } }));
    });
}

void CAdminService::history(int objectId, const QString &save, Reply reply)
{
    post([this, objectId, save, reply] {
        CSaveStore::Outcome outcome;
        Response failure;
        const std::unique_ptr<CAbstractSaveStore> store = currentStore(settingsRecord, &failure);
        if (!store) {
            reply(failure);
            return;
        }
        const QList<CSaveStore::Entry> versions
            = store->history(CUserFolder::name(objectId) + QLatin1Char('/') + save, &outcome);
        if (!outcome.ok()) {
            reply(CHttpApi::error(storeStatus(outcome), outcome.message));
            return;
        }
        reply(CHttpApi::json(
            200, QJsonObject { { QStringLiteral("versions"), entriesJson(versions, "version") } }));
    });
}

void CAdminService::restore(int objectId, const QString &save, const QString &version, Reply reply)
{
    post([this, objectId, save, version, reply] {
        const QString saveName = CUserFolder::name(objectId) + QLatin1Char('/') + save;
        Response failure;
        const std::unique_ptr<CAbstractSaveStore> store = currentStore(settingsRecord, &failure);
        if (!store) {
            reply(failure);
            return;
        }
        const CSaveStore::Outcome outcome = store->restore(saveName, version);
        counters->storageChanged();
        // The save history dialog's lines.
        if (!outcome.ok()) {
            emit logLine(QStringLiteral("Restore of save %1 to version %2 failed: %3")
                             .arg(saveName, version, outcome.message));
            reply(CHttpApi::error(storeStatus(outcome), outcome.message));
            return;
        }
        emit logLine(outcome.keptVersion.isEmpty()
                ? QStringLiteral("Restored save %1 to version %2").arg(saveName, version)
                : QStringLiteral(
                    "Restored save %1 to version %2; the replaced archive is version %3")
                      .arg(saveName, version, outcome.keptVersion));
        reply(CHttpApi::json(200, QJsonObject { { QStringLiteral("restored"), version } }));
    });
}

void CAdminService::exportUser(int objectId, Reply reply)
{
    post([this, objectId, reply] {
        CUserDbConfig config;
        userDb->currentConfig(&config, nullptr);
        // Written to a file first, never held in memory: a player's saves may be large. The
        // listener unlinks it once opened, so nothing is left behind.
        QTemporaryFile file(QDir::temp().filePath(QStringLiteral("tolvern-export-XXXXXX.tar")));
        if (!file.open()) {
            reply(CHttpApi::error(500, file.errorString()));
            return;
        }
        file.setAutoRemove(false);
        const QString path = file.fileName();
        file.close();
        Response failure;
        std::shared_ptr<CAbstractSaveStore> store = currentStore(settingsRecord, &failure);
        if (!store) {
            QFile::remove(path);
            reply(failure);
            return;
        }
        CUserExport exporter(config, std::move(store), objectId);
        if (!exporter.write(path)) {
            QFile::remove(path);
            reply(exporter.userMissing() ? noUser(objectId)
                                         : CHttpApi::error(500, exporter.errorText()));
            return;
        }
        emit logLine(
            QStringLiteral("Exported the data of user %1 through the HTTP port").arg(objectId));
        Response response;
        response.contentType = "application/x-tar";
        response.headers.append({ "Content-Disposition",
            QByteArray("attachment; filename=\"tolvern-user-") + QByteArray::number(objectId)
                + ".tar\"" });
        response.file = path;
        reply(response);
    });
}

void CAdminService::log(qint64 after, Reply reply)
{
    // The ring is a short copy under its lock: no need to queue.
    const QVector<CLogRing::Line> lines = ring->after(after, 1000);
    QJsonArray out;
    for (const CLogRing::Line &line : lines) {
        out.append(QJsonObject { { QStringLiteral("seq"), double(line.seq) },
            { QStringLiteral("time"),
                utcText(QDateTime::fromMSecsSinceEpoch(line.msecsSinceEpoch, Qt::UTC)) },
            { QStringLiteral("text"), line.text } });
    }
    const qint64 next = lines.isEmpty() ? qMax(after, qint64(0)) : lines.last().seq;
    reply(CHttpApi::json(200,
        QJsonObject {
            { QStringLiteral("lines"), out }, { QStringLiteral("next"), double(next) } }));
}

qint64 CAdminService::lastLogSeq()
{
    return ring->lastSeq();
}
