#ifndef CS3SAVELOCK_H
#define CS3SAVELOCK_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

class CS3Bucket;

// One server at a time moves the versions of a save: a small lock object in the save's history
// folder (.versions/slot1.z/.lock), made only where there is none (If-None-Match), taken over
// only from a holder whose lease has run out by the store's own clock (If-Match on that very
// lock), and removed when done. Its text is unique, so no two locks share an ETag.
class CS3SaveLock
{
public:
    static constexpr qint64 LEASE_MS = 60000;

    CS3SaveLock(CS3Bucket &bucket, const QString &key, qint64 leaseMs = LEASE_MS);
    ~CS3SaveLock() { release(); }
    CS3SaveLock(const CS3SaveLock &) = delete;
    CS3SaveLock &operator=(const CS3SaveLock &) = delete;

    // Waits up to waitMs for the lock; false with error set.
    bool acquire(qint64 waitMs, QString *error);
    // Whether half the lease is still to come: a step that changes the store starts only then.
    bool fresh() const;
    // Removes the lock while it is still ours for sure; a lock held too long runs out alone.
    void release();

private:
    // Takes over the lock at etag when its lease has run out; true when it is ours now.
    bool takeOver(const QByteArray &etag, QString *error, bool *gone);

    CS3Bucket &bucket;
    QString key;
    QByteArray text;
    QElapsedTimer held;
    qint64 lease = LEASE_MS;
    bool holding = false;
};

#endif // CS3SAVELOCK_H
