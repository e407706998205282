#ifndef CUSERDBCOMMITTER_H
#define CUSERDBCOMMITTER_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVector>

#include "cuserdb.h"

class CPasswordQueue;
class QThread;

// Group commit of the control port's changes for the connections of one thread: requests
// handed in while the previous batch is on its way to the disk, or during one pass of the
// event loop, share one transaction and one sync, and nobody hears of an outcome before that
// sync. The transactions run on a database thread of the committer's own, which takes the
// next batch as soon as it has committed one, so the disk never waits for the connections'
// thread, and that thread goes on reading requests and writing replies during a sync. A
// request that comes alone goes the same way: two thread wake-ups are cheaper than a sync,
// or another writer's lock, holding up every transfer of the connections' thread.
// Outcomes come back on the committer's thread in the order the requests came, a slice per
// pass of the event loop; after each slice its owners are named (outcomesHandedOut), for
// the connections' layer to write their replies out at once.
class CUserDbCommitter : public QObject
{
    Q_OBJECT

public:
    using Outcome = std::function<void(const CUserDb::Request &)>;

    // Requests of one batch at most; the rest go into the next.
    static constexpr int MAX_BATCH = 4096;
    // How long a batch waits, after a slow commit (a slow sync), for as many requests as the
    // last batch held: its clients are about to send their next ones. After a fast commit
    // the next batch starts at once and keeps the disk busy.
    static constexpr int COMPANY_WAIT_MS = 2;
    static constexpr qint64 SLOW_COMMIT_NS = 2000000;
    // Outcomes handed out in one pass of the event loop. Between two such slices the loop
    // reads the requests the first clients have sent since, and the database thread gets
    // them while the rest of a large batch's replies are still being written.
    static constexpr int OUTCOMES_PER_PASS = 8;

    // params: the cost of new hashes, from the settings when the committer is made.
    CUserDbCommitter(CUserDb *userDb, CPasswordHasher *hasher,
        const CPasswordHasher::Params &params, QObject *parent = nullptr);
    // Commits what was handed in, then ends the database thread; the outcomes have nobody
    // left to go to.
    ~CUserDbCommitter() override;

    // done runs after the commit, also when owner is gone by then (it checks that itself);
    // owner is named by outcomesHandedOut() after the slice its outcome was in. checked,
    // when given, runs on this thread as soon as the request's passwords are hashed and
    // checked, before its batch: the password work is over then.
    void submit(
        QObject *owner, const CUserDb::Request &request, Outcome done, Outcome checked = {});

    // Whether passwords are checked before the batch (reading the stored ones): then a
    // request must not be submitted before the outcomes of those it depends on.
    bool checksPasswordsFirst() const { return passwords != nullptr; }

    // Told of every batch committed or failed: its requests, the nanoseconds the commit took
    // and whether it was stored; called on the thread that committed it. Before the first
    // submit().
    using BatchObserver = std::function<void(int size, qint64 nsecs, bool ok)>;
    void setBatchObserver(BatchObserver batchObserver) { observer = std::move(batchObserver); }

    // Batches committed or failed, and batches whose commit failed, since construction.
    qint64 batches() const { return batchCount; }
    qint64 failedBatches() const { return failedCount; }

signals:
    void log(QString msg);
    // After each slice of outcomes, on this thread: the owners that got one, each once,
    // those still there then.
    void outcomesHandedOut(const QList<QPointer<QObject>> &owners);

private:
    struct Entry
    {
        QPointer<QObject> owner;
        Outcome done;
    };
    // A committed batch whose outcomes are being handed out, from next on.
    struct Finished
    {
        QVector<CUserDb::Request> requests;
        qsizetype next = 0;
    };

    // Takes a request whose passwords are hashed and checked, in the order submitted.
    void enqueue(const CUserDb::Request &request);
    // Hands the requests of this pass of the event loop to the database thread.
    void publish();
    // commitBatch(), timed for the observer.
    bool commitTimed(QVector<CUserDb::Request> &batch, QString *error, bool *busy = nullptr);
    // The database thread's loop.
    void commitLoop();
    void finishBatch(const QVector<CUserDb::Request> &requests, bool ok, const QString &error);
    // Hands out the next slice of outcomes, oldest batch first, and names their owners.
    void handOut();

    CUserDb *db = nullptr;
    QThread *worker = nullptr;
    // Where passwords are hashed, each request's hashing and checking, before its batch.
    CPasswordQueue *passwords = nullptr;
    // This thread's side: requests of the current pass, and the outcomes still owed, oldest
    // first, in the order the database thread commits them.
    QVector<CUserDb::Request> fresh;
    std::deque<Entry> owed;
    // The checked callbacks of the requests on the password pool, in the order submitted.
    std::deque<Outcome> checking;
    std::deque<Finished> finished;
    bool publishScheduled = false;
    qint64 batchCount = 0;
    qint64 failedCount = 0;
    BatchObserver observer;

    // Shared with the database thread.
    std::mutex mutex;
    std::condition_variable wake;
    QVector<CUserDb::Request> pending;
    bool stopping = false;
};

#endif // CUSERDBCOMMITTER_H
