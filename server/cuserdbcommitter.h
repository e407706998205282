#ifndef CUSERDBCOMMITTER_H
#define CUSERDBCOMMITTER_H

#include <functional>

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVector>

#include "cuserdb.h"

class QThread;
class QTimer;

// Group commit of the control port's changes for the connections of one thread: requests
// handed in while the previous batch is on its way to the disk, or during one pass of the
// event loop, share one transaction and one sync, and nobody hears of an outcome before that
// sync. The transaction runs on a database thread of the committer's own, so the connections'
// thread goes on reading the next batch's requests during a sync. Outcomes come back on the
// committer's thread in the order the requests came, and the sockets of their owners are
// flushed before the next batch's outcomes are handed out.
class CUserDbCommitter : public QObject
{
    Q_OBJECT

public:
    using Outcome = std::function<void(const CUserDb::Request &)>;

    // Requests of one batch at most; the rest go into the next.
    static constexpr int MAX_BATCH = 4096;
    // How long a batch waits, after the previous one was answered, for the clients just
    // answered to send their next requests; a lone request never waits. Only worth it when
    // a commit is slow (a slow sync): otherwise the next batch keeps the disk busy at once.
    static constexpr int COMPANY_WAIT_MS = 2;
    static constexpr qint64 SLOW_COMMIT_NS = 2000000;

    explicit CUserDbCommitter(QObject *parent = nullptr);
    // Waits for the batch in progress: what was handed in is committed.
    ~CUserDbCommitter() override;

    // done runs after the commit, also when owner is gone by then (it checks that itself);
    // owner, a socket, is flushed after all outcomes of the batch were handed out.
    void submit(QObject *owner, const CUserDb::Request &request, Outcome done);

    // Batches committed or failed, and batches whose commit failed, since construction.
    qint64 batches() const { return batchCount; }
    qint64 failedBatches() const { return failedCount; }

signals:
    void log(QString msg);

private:
    struct Entry
    {
        QPointer<QObject> owner;
        CUserDb::Request request;
        Outcome done;
    };

    // immediately: start the batch now rather than at the end of this pass of the event loop.
    void schedule(bool immediately = false);
    void runBatch();
    void finishBatch(const QVector<CUserDb::Request> &requests, bool ok, const QString &error,
        qint64 nanoseconds);

    QThread *worker = nullptr;
    QTimer *companyTimer = nullptr;
    QElapsedTimer companyClock;
    // Requests expected soon: those of the batch last answered and those waiting then.
    int awaited = 0;
    QObject *workerContext = nullptr;
    QVector<Entry> queue;
    QVector<Entry> running;
    bool scheduled = false;
    bool busy = false;
    qint64 batchCount = 0;
    qint64 failedCount = 0;
};

#endif // CUSERDBCOMMITTER_H
