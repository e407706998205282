#include "cuserdbcommitter.h"

#include <chrono>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QSet>
#include <QThread>
#include <QTimer>

#include "cpasswordqueue.h"

CUserDbCommitter::CUserDbCommitter(CUserDb *userDb, CPasswordHasher *hasher,
    const CPasswordHasher::Params &params, QObject *parent)
    : QObject(parent)
    , db(userDb)
{
    // Kept plain, passwords still hashed from another time are checked on the pool too, or
    // their users could not log in; a table without hashes is served as it always was.
    int hashed = 0;
    if (params.hashing || (db->hashedPasswordCount(&hashed) && hashed > 0)) {
        // The queue hands requests on in the order they were added.
        passwords = new CPasswordQueue(
            db, hasher, params,
            [this](const CUserDb::Request &request) {
                const Outcome checked = std::move(checking.front());
                checking.pop_front();
                if (checked)
                    checked(request);
                enqueue(request);
            },
            this);
    }
    worker = QThread::create([this] { commitLoop(); });
    worker->setObjectName(QStringLiteral("tolvern-commit"));
    worker->start();
}

CUserDbCommitter::~CUserDbCommitter()
{
    if (passwords)
        passwords->finish();
    publish();
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    worker->wait();
    delete worker;
    // The database thread committed everything handed in; its outcomes still wait in this
    // thread's queue. They go out now, while their owners are there to log them; an outcome
    // may hand in one more request (a login held behind another), which runs here.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    while (!finished.empty() || !fresh.isEmpty()) {
        while (!finished.empty())
            handOut();
        if (fresh.isEmpty())
            break;
        QVector<CUserDb::Request> batch;
        batch.swap(fresh);
        QString error;
        const bool ok = commitTimed(batch, &error);
        finishBatch(batch, ok, error);
    }
}

bool CUserDbCommitter::commitTimed(QVector<CUserDb::Request> &batch, QString *error, bool *busy)
{
    QElapsedTimer clock;
    clock.start();
    const bool ok = db->commitBatch(batch, error, busy);
    if (observer && !(busy && *busy))
        observer(int(batch.size()), clock.nsecsElapsed(), ok);
    return ok;
}

void CUserDbCommitter::submit(
    QObject *owner, const CUserDb::Request &request, Outcome done, Outcome checked)
{
    owed.push_back(Entry { owner, std::move(done) });
    if (passwords) {
        checking.push_back(std::move(checked));
        passwords->add(request);
    } else {
        enqueue(request);
    }
}

void CUserDbCommitter::enqueue(const CUserDb::Request &request)
{
    fresh.append(request);
    if (publishScheduled)
        return;
    publishScheduled = true;
    // Zero time: whatever else arrives in this pass of the event loop goes with it.
    QTimer::singleShot(0, this, &CUserDbCommitter::publish);
}

void CUserDbCommitter::publish()
{
    publishScheduled = false;
    if (fresh.isEmpty())
        return;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        pending += fresh;
    }
    fresh.clear();
    wake.notify_one();
}

void CUserDbCommitter::commitLoop()
{
    qsizetype lastSize = 0;
    bool lastSlow = false;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || !pending.isEmpty(); });
        if (pending.isEmpty())
            return;
        if (lastSlow && !stopping && pending.size() < lastSize) {
            wake.wait_for(lock, std::chrono::milliseconds(COMPANY_WAIT_MS),
                [&] { return stopping || pending.size() >= lastSize; });
        }
        QVector<CUserDb::Request> batch;
        if (pending.size() <= MAX_BATCH) {
            batch.swap(pending);
        } else {
            batch = pending.mid(0, MAX_BATCH);
            pending.remove(0, MAX_BATCH);
        }
        lock.unlock();

        QString error;
        QElapsedTimer clock;
        clock.start();
        const bool ok = commitTimed(batch, &error);
        lastSlow = clock.nsecsElapsed() >= SLOW_COMMIT_NS;
        lastSize = batch.size();
        // The next batch starts at once, while this one's replies are written.
        QMetaObject::invokeMethod(
            this, [this, batch, ok, error] { finishBatch(batch, ok, error); },
            Qt::QueuedConnection);
        lock.lock();
    }
}

void CUserDbCommitter::finishBatch(
    const QVector<CUserDb::Request> &requests, bool ok, const QString &error)
{
    ++batchCount;
    if (!ok) {
        ++failedCount;
        emit log(tr("User database commit failed, %1 request(s) refused: %2")
                     .arg(QString::number(requests.size()), error));
    }
    // Only now, with the batch on disk, does anyone hear of it; behind a batch still being
    // handed out (whose next slice is scheduled), only once that one is done.
    finished.push_back(Finished { requests, 0 });
    if (finished.size() == 1)
        handOut();
}

void CUserDbCommitter::handOut()
{
    QList<QPointer<QObject>> served;
    QSet<QObject *> seen;
    int handed = 0;
    while (!finished.empty() && handed < OUTCOMES_PER_PASS) {
        Finished &batch = finished.front();
        while (batch.next < batch.requests.size() && handed < OUTCOMES_PER_PASS) {
            // Taken off first: an outcome may hand in a request of its own.
            const Entry entry = std::move(owed.front());
            owed.pop_front();
            entry.done(batch.requests.at(batch.next++));
            ++handed;
            QObject *owner = entry.owner.data();
            if (!owner || seen.contains(owner))
                continue;
            seen.insert(owner);
            served.append(entry.owner);
        }
        if (batch.next == batch.requests.size())
            finished.pop_front();
    }
    if (!served.isEmpty())
        emit outcomesHandedOut(served);
    // The only slice scheduled: a batch finished meanwhile waits for this one.
    if (!finished.empty())
        QMetaObject::invokeMethod(this, &CUserDbCommitter::handOut, Qt::QueuedConnection);
}
