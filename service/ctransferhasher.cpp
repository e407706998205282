#include "ctransferhasher.h"

#include <future>

#include <QThreadPool>

#include "csavesum.h"

namespace {

// Pieces gather up to this much before a task is started for them: one start (and one wake of
// a pool thread) per frame would cost a quarter as much as the hashing itself.
constexpr qint64 DRAIN_BATCH = 1024 * 1024;

} // namespace

CTransferHasher::CTransferHasher(QThreadPool *threadPool, CSaveSum::Kind kind)
    : pool(threadPool)
    , sum(kind)
{
}

void CTransferHasher::add(const QByteArray &buffer, qsizetype offset, qsizetype length)
{
    if (length <= 0)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    pieces.push_back(Piece { buffer, offset, length });
    pending += length;
    if (pending >= DRAIN_BATCH)
        schedule();
}

qint64 CTransferHasher::backlog() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return pending;
}

void CTransferHasher::whenBelow(qint64 bytes, const std::function<void()> &ready)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (pending > bytes) {
            waiters.emplace_back(bytes, ready);
            schedule();
            return;
        }
    }
    ready();
}

void CTransferHasher::finish(const std::function<void(const QString &)> &done)
{
    std::lock_guard<std::mutex> lock(mutex);
    finished = done;
    finishing = true;
    schedule();
}

void CTransferHasher::schedule()
{
    if (draining)
        return;
    draining = true;
    // The task holds the hasher, so a transfer gone meanwhile leaves it nothing dangling.
    pool->start([self = shared_from_this()] { self->drain(); });
}

std::vector<std::function<void()>> CTransferHasher::readyWaiters()
{
    std::vector<std::function<void()>> ready;
    for (auto it = waiters.begin(); it != waiters.end();) {
        if (pending <= it->first) {
            ready.push_back(std::move(it->second));
            it = waiters.erase(it);
        } else {
            ++it;
        }
    }
    return ready;
}

void CTransferHasher::drain()
{
    for (;;) {
        Piece piece;
        std::function<void(const QString &)> done;
        std::vector<std::function<void()>> ready;
        {
            std::lock_guard<std::mutex> lock(mutex);
            ready = readyWaiters();
            if (!pieces.empty()) {
                piece = std::move(pieces.front());
                pieces.pop_front();
            } else {
                draining = false;
                if (finishing) {
                    finishing = false;
                    done = std::move(finished);
                }
            }
        }
        for (const auto &call : ready)
            call();
        if (piece.length == 0) {
            if (done)
                done(sum.hexResult());
            return;
        }
        sum.add(piece.buffer.constData() + piece.offset, piece.length);
        if (sink)
            sink(piece.buffer.constData() + piece.offset, piece.length);
        piece.buffer = QByteArray(); // the transfer's buffer goes before the count drops
        std::lock_guard<std::mutex> lock(mutex);
        pending -= piece.length;
    }
}

void CTransferHasher::setSink(const std::function<void(const char *, qint64)> &to)
{
    sink = to;
}

void CTransferHasher::settle()
{
    std::promise<void> settled;
    whenBelow(0, [&settled] { settled.set_value(); });
    settled.get_future().wait();
}

bool CTransferHasher::saveBeside(const QString &file)
{
    std::promise<QString> result;
    finish([&result](const QString &hex) { result.set_value(hex); });
    return CSaveSum::write(file, result.get_future().get());
}

void CTransferHasher::dropBeside(const QString &file)
{
    CSaveSum::remove(file);
}
