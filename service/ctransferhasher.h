#ifndef CTRANSFERHASHER_H
#define CTRANSFERHASHER_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <QByteArray>
#include <QString>

#include "csavesum.h"
#include "ctransferdigest.h"

class QThreadPool;

// A transfer's sum (CSaveSum: XXH3-128, or SHA-256 to check a save an earlier server summed)
// on a thread pool, so the network thread only hands its buffers over. Pieces wait in a
// queue; at most one task per transfer drains it, so they are hashed in order. The upload's
// commit (on the storage worker) waits for the result and keeps it beside the archive.
class CTransferHasher : public libsock::CTransferDigest,
                        public std::enable_shared_from_this<CTransferHasher>
{
public:
    // pool must outlive every task: the hasher's owner waits for it before it goes.
    CTransferHasher(QThreadPool *pool, CSaveSum::Kind kind = CSaveSum::CURRENT);

    void add(const QByteArray &buffer, qsizetype offset, qsizetype length) override;
    qint64 backlog() const override;
    void whenBelow(qint64 bytes, const std::function<void()> &ready) override;
    void finish(const std::function<void(const QString &hex)> &done) override;
    void setSink(const std::function<void(const char *data, qint64 size)> &sink) override;
    void settle() override;
    bool saveBeside(const QString &file) override;
    void dropBeside(const QString &file) override;

private:
    struct Piece
    {
        QByteArray buffer;
        qsizetype offset = 0;
        qsizetype length = 0;
    };
    using Waiter = std::pair<qint64, std::function<void()>>;

    // Called with mutex held: starts a drain unless one runs.
    void schedule();
    void drain();
    // With mutex held: the waiters whose bound is reached, taken out of the list.
    std::vector<std::function<void()>> readyWaiters();

    QThreadPool *pool;
    CSaveSum sum; // the draining task only
    std::function<void(const char *, qint64)> sink; // set before the first piece

    mutable std::mutex mutex;
    std::deque<Piece> pieces; // guarded by mutex
    qint64 pending = 0; // guarded by mutex
    bool draining = false; // guarded by mutex
    std::vector<Waiter> waiters; // guarded by mutex
    std::function<void(const QString &)> finished; // guarded by mutex
    bool finishing = false; // guarded by mutex
};

#endif // CTRANSFERHASHER_H
