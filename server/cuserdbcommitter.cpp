#include "cuserdbcommitter.h"

#include <QAbstractSocket>
#include <QSet>
#include <QTimer>

CUserDbCommitter::CUserDbCommitter(QObject *parent)
    : QObject(parent)
{
}

CUserDbCommitter::~CUserDbCommitter() = default;

void CUserDbCommitter::submit(QObject *owner, const CUserDb::Request &request, Outcome done)
{
    queue.append(Entry { owner, request, std::move(done) });
    schedule();
}

void CUserDbCommitter::schedule()
{
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
    if (queue.isEmpty())
        return;
    QVector<Entry> batch;
    if (queue.size() <= MAX_BATCH) {
        batch.swap(queue);
    } else {
        batch = queue.mid(0, MAX_BATCH);
        queue.remove(0, MAX_BATCH);
        schedule();
    }

    QVector<CUserDb::Request> requests;
    requests.reserve(batch.size());
    for (const Entry &entry : std::as_const(batch))
        requests.append(entry.request);
    QString error;
    ++batchCount;
    if (!CUserDb::instance()->commitBatch(requests, &error)) {
        ++failedCount;
        emit log(tr("User database commit failed, %1 request(s) refused: %2")
                     .arg(QString::number(requests.size()), error));
    }

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
