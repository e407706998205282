#include "cuserdbcommitter.h"

#include <QAbstractSocket>
#include <QMetaObject>
#include <QSet>
#include <QThread>
#include <QTimer>

CUserDbCommitter::CUserDbCommitter(QObject *parent)
    : QObject(parent)
    , worker(new QThread)
    , workerContext(new QObject)
{
    companyTimer = new QTimer(this);
    companyTimer->setSingleShot(true);
    companyTimer->setTimerType(Qt::PreciseTimer);
    connect(companyTimer, &QTimer::timeout, this, &CUserDbCommitter::runBatch);
    // The database thread opens what this thread finds now: only the main thread can see
    // the default connection start-up opened.
    CUserDbConfig config;
    CUserDb::instance()->currentConfig(&config, nullptr);
    worker->setObjectName(QStringLiteral("tolvern-commit"));
    workerContext->moveToThread(worker);
    worker->start();
}

CUserDbCommitter::~CUserDbCommitter()
{
    // The batch in progress ends first; its outcomes have nobody left to go to.
    worker->quit();
    worker->wait();
    delete workerContext;
    delete worker;
}

void CUserDbCommitter::submit(QObject *owner, const CUserDb::Request &request, Outcome done)
{
    queue.append(Entry { owner, request, std::move(done) });
    schedule();
}

void CUserDbCommitter::schedule(bool immediately)
{
    if (busy)
        return;
    if (companyClock.isValid() && queue.size() < awaited
        && companyClock.elapsed() < COMPANY_WAIT_MS) {
        if (!companyTimer->isActive())
            companyTimer->start(int(COMPANY_WAIT_MS - companyClock.elapsed()));
        return;
    }
    companyTimer->stop();
    if (immediately) {
        runBatch();
        return;
    }
    if (scheduled)
        return;
    scheduled = true;
    // Zero time: whatever else arrives in this pass of the event loop joins, and a lone
    // request is committed as soon as the pass ends.
    QTimer::singleShot(0, this, &CUserDbCommitter::runBatch);
}

void CUserDbCommitter::runBatch()
{
    scheduled = false;
    companyTimer->stop();
    companyClock.invalidate();
    if (busy || queue.isEmpty())
        return;
    if (queue.size() <= MAX_BATCH) {
        running.swap(queue);
    } else {
        running = queue.mid(0, MAX_BATCH);
        queue.remove(0, MAX_BATCH);
    }
    busy = true;
    QVector<CUserDb::Request> requests;
    requests.reserve(running.size());
    for (const Entry &entry : std::as_const(running))
        requests.append(entry.request);
    QMetaObject::invokeMethod(
        workerContext,
        [this, requests]() mutable {
            QString error;
            QElapsedTimer clock;
            clock.start();
            const bool ok = CUserDb::instance()->commitBatch(requests, &error);
            const qint64 nanoseconds = clock.nsecsElapsed();
            QMetaObject::invokeMethod(
                this,
                [this, requests, ok, error, nanoseconds] {
                    finishBatch(requests, ok, error, nanoseconds);
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void CUserDbCommitter::finishBatch(
    const QVector<CUserDb::Request> &requests, bool ok, const QString &error, qint64 nanoseconds)
{
    ++batchCount;
    if (!ok) {
        ++failedCount;
        emit log(tr("User database commit failed, %1 request(s) refused: %2")
                     .arg(QString::number(requests.size()), error));
    }
    QVector<Entry> batch;
    batch.swap(running);
    busy = false;
    awaited = qMin(MAX_BATCH, int(batch.size() + queue.size()));
    if (nanoseconds >= SLOW_COMMIT_NS)
        companyClock.start();
    else
        companyClock.invalidate();
    // What arrived during this commit goes to the disk while this batch's replies are
    // written: the database thread would otherwise idle through them.
    if (!queue.isEmpty())
        schedule(true);

    // Only now, with the batch on disk, does anyone hear of it.
    QVector<QPointer<QAbstractSocket>> sockets;
    QSet<QObject *> seen;
    for (int i = 0; i < batch.size(); ++i) {
        batch[i].done(requests.at(i));
        QObject *owner = batch.at(i).owner.data();
        if (!owner)
            continue;
        auto *socket = qobject_cast<QAbstractSocket *>(owner);
        if (socket && !seen.contains(owner)) {
            seen.insert(owner);
            sockets.append(socket);
        }
    }
    for (const QPointer<QAbstractSocket> &socket : std::as_const(sockets)) {
        if (socket && socket->state() == QAbstractSocket::ConnectedState)
            socket->flush();
    }
}
