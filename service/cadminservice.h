#ifndef CADMINSERVICE_H
#define CADMINSERVICE_H

#include <QObject>

#include "cadminbackend.h"

class CLogRing;
class CMetrics;
class CServerCore;
class CServerSettings;
class CUserDb;
class CUserPurge;
class QThread;

// The work behind the operators' HTTP API, on a thread of its own so neither port's thread
// nor the HTTP thread waits for a database query, a purge or a folder walk. The same classes
// and texts as the window and the admin commands: CUserDb's batches for users and passwords,
// CUserPurge, the save store's history and restore.
class CAdminService : public QObject, public CAdminBackend
{
    Q_OBJECT

public:
    // The service's object lives on the creating thread; its work on its own thread.
    // How long a measured size of the storage folder counts before it is walked again, and
    // how soon after the last walk saves that changed since are measured again.
    static constexpr qint64 STORAGE_WALK_MS = 60000;
    static constexpr qint64 STORAGE_REWALK_MS = 5000;

    // settings: the record read at each use.
    CAdminService(const CServerCore *core, CServerSettings *settings, CUserDb *userDb,
        CMetrics *metrics, CLogRing *ring);
    // Finishes the work handed in and ends the thread.
    ~CAdminService() override;

    bool healthy() override;
    void ready(Reply reply) override;
    void metrics(Reply reply) override;
    void status(Reply reply) override;
    void listUsers(const CHttpApi::UserQuery &query, Reply reply) override;
    void addUser(const QString &name, const QString &password, Reply reply) override;
    void setPassword(int objectId, const QString &password, Reply reply) override;
    void deleteUser(int objectId, Reply reply) override;
    void purge(int months, bool dataOnly, bool dryRun, Reply reply) override;
    void saves(int objectId, Reply reply) override;
    void history(int objectId, const QString &save, Reply reply) override;
    void restore(int objectId, const QString &save, const QString &version, Reply reply) override;
    void exportUser(int objectId, Reply reply) override;
    void log(qint64 after, Reply reply) override;
    qint64 lastLogSeq() override;

signals:
    void logLine(QString msg);

private:
    // Runs job on the service's thread.
    void post(std::function<void()> job);
    // Whether the user exists; false with *reply answered when the database cannot tell or
    // there is no such user.
    bool userKnown(int objectId, const Reply &reply);
    void walkStorageIfStale();

    const CServerCore *core = nullptr;
    CServerSettings *settingsRecord = nullptr;
    CUserDb *userDb = nullptr;
    CMetrics *counters = nullptr;
    CLogRing *ring = nullptr;
    QThread *thread = nullptr;
    QObject *worker = nullptr; // lives on thread; jobs are queued to it
    // The service's thread only.
    CUserPurge *running = nullptr;
    qint64 storageWalkedAt = -1;
    qint64 walkedChanges = 0;
};

#endif // CADMINSERVICE_H
