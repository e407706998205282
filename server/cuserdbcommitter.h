#ifndef CUSERDBCOMMITTER_H
#define CUSERDBCOMMITTER_H

#include <functional>

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVector>

#include "cuserdb.h"

// Group commit of the control port's changes on one thread: requests handed in during one
// pass of the event loop share one transaction and one sync, and nobody hears of an outcome
// before that sync. Outcomes go back in the order the requests came, and the sockets of their
// owners are flushed before the next batch starts.
class CUserDbCommitter : public QObject
{
    Q_OBJECT

public:
    using Outcome = std::function<void(const CUserDb::Request &)>;

    // Requests of one batch at most; the rest go into the next.
    static constexpr int MAX_BATCH = 4096;

    explicit CUserDbCommitter(QObject *parent = nullptr);
    ~CUserDbCommitter() override;

    // done runs after the commit, also when owner is gone by then (it checks that itself);
    // owner, a socket, is flushed after all outcomes of the batch were handed out.
    void submit(QObject *owner, const CUserDb::Request &request, Outcome done);

    // Batches run and batches whose commit failed, since construction.
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

    void schedule();
    void runBatch();

    QVector<Entry> queue;
    bool scheduled = false;
    qint64 batchCount = 0;
    qint64 failedCount = 0;
};

#endif // CUSERDBCOMMITTER_H
