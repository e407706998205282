// The real control connection, fed as a peer would feed it: its commands run through a real
// group committer on an SQLite file and a login guard. Once the peer has gone, every command
// taken must come to its outcome and the connection must say it is finished.

#include <cstdint>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include "cfuzzpeer.h"
#include "cloginguard.h"
#include "cserversettings.h"
#include "ctolvernserverconn.h"
#include "cuserdb.h"
#include "cuserdbcommitter.h"

namespace {

constexpr int SETTLE_MS = 10000;
// Users added by inputs before the table is emptied, so it stays small.
constexpr int MAX_USERS = 2000;

CUserDbCommitter *committer = nullptr;
QTemporaryDir *dir = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv);
    // Argon2id at its lowest cost: every hash still runs, but an input never waits seconds
    // for one on a busy machine (the default cost is the benchmark's business).
    CServerSettings::instance()->hashMemoryKiB = 8;
    CServerSettings::instance()->hashIterations = 1;
    dir = new QTemporaryDir;
    if (!dir->isValid())
        __builtin_trap();
    CUserDb::instance()->setConfig(
        CUserDbConfig::sqlite(dir->filePath(QStringLiteral("users.db"))));
    if (!CUserDb::instance()->open())
        __builtin_trap();
    // A user the inputs may log in as and change: name "u", password "p", id 1.
    int id = 0;
    if (!CUserDb::instance()->addUser(QStringLiteral("u"), QStringLiteral("p"), &id))
        __builtin_trap();
    committer = new CUserDbCommitter(CUserDb::instance(), CPasswordHasher::instance(),
        CPasswordHasher::Params::fromSettings(CServerSettings::instance()->snapshot()));
    QObject::connect(
        committer, &CUserDbCommitter::outcomesHandedOut, &CTolvernServerConn::flushReplies);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A guard of its own per input: a lock left by one input does not hide the next one's
    // logins from the database.
    CLoginGuard guard;
    guard.setNameLock(3, 60000);
    CTolvernServerConn conn(committer, &guard, nullptr);
    bool finished = false;
    QObject::connect(&conn, &CTolvernServerConn::finished, [&finished] { finished = true; });
    {
        CFuzzPeer peer(conn);
        if (!peer.isValid())
            __builtin_trap();
        peer.feed(data, size);
    }
    QElapsedTimer clock;
    clock.start();
    while (!finished && clock.elapsed() < SETTLE_MS)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    // Gone, and still owed an outcome (or never said so): a command that would never be logged.
    if (!finished || conn.owedReplies() != 0)
        __builtin_trap();

    QSqlQuery count(CUserDb::instance()->database());
    if (count.exec(QStringLiteral("select count(*) from t_user")) && count.next()
        && count.value(0).toInt() > MAX_USERS) {
        count.finish();
        QSqlQuery(CUserDb::instance()->database())
            .exec(QStringLiteral("delete from t_user where object_id > 1"));
    }
    return 0;
}
