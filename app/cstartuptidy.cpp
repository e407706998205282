#include "cstartuptidy.h"

#include <QThread>

#include "cabstractsavestore.h"
#include "cuserpurge.h"

CStartupTidy::CStartupTidy(std::shared_ptr<CAbstractSaveStore> store, const Log &log)
    : storage(std::move(store))
    , logLine(log)
{
}

CStartupTidy::~CStartupTidy()
{
    if (thread) {
        thread->wait();
        delete thread;
    }
}

void CStartupTidy::start()
{
    if (thread || !storage)
        return;
    thread = QThread::create([this] { run(); });
    thread->setObjectName(QStringLiteral("tolvern-tidy"));
    thread->start(QThread::LowPriority);
}

QString CStartupTidy::cutUploadsLine(int removed)
{
    return removed > 0
        ? QStringLiteral("Removed %1 temporary files of uploads cut short").arg(removed)
        : QString();
}

void CStartupTidy::run()
{
    const CUserPurge::Counts purge = CUserPurge::finishEarlier(CUserDb::instance(), storage.get());
    if (!purge.earlier.isEmpty())
        logLine(QStringLiteral("Finished a purge cut short: removed the game data of %1 "
                               "deleted users")
                    .arg(purge.earlier.size()));
    if (purge.databaseFailed)
        logLine(QStringLiteral("A purge cut short could not be finished: %1").arg(purge.errorText));
    if (purge.folderFailures > 0)
        logLine(QStringLiteral("The game data of %1 users a purge cut short had deleted could "
                               "not be removed")
                    .arg(purge.folderFailures));
    const QString uploads = cutUploadsLine(storage->removeCutUploads());
    if (!uploads.isEmpty())
        logLine(uploads);
}
