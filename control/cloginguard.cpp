#include "cloginguard.h"

#include "printabletext.h"

CLoginGuard::CLoginGuard(QObject *parent)
    : QObject(parent)
{
    clock.start();
}

void CLoginGuard::setNameLock(int failures, int lockMs)
{
    nameLockFailures = qMax(0, failures);
    nameLockMs = qMax(0, lockMs);
}

void CLoginGuard::setAddressLock(int failures, int lockMs)
{
    addressLockFailures = qMax(0, failures);
    addressLockMs = qMax(0, lockMs);
}

void CLoginGuard::setFailureWindow(int msec)
{
    windowMs = qMax(1, msec);
}

bool CLoginGuard::isLocked(const QHostAddress &peer, const QString &name)
{
    const qint64 now = clock.elapsed();
    prune(now);
    const auto address = addressFailures.constFind(peer);
    if (address != addressFailures.constEnd() && address->lockedUntil > now)
        return true;
    const auto named = nameFailures.constFind(NameKey(peer, name));
    return named != nameFailures.constEnd() && named->lockedUntil > now;
}

bool CLoginGuard::countFailure(Failures &record, int limit, int lockMs, qint64 now) const
{
    if (limit <= 0 || lockMs <= 0)
        return false;
    while (!record.times.isEmpty() && now - record.times.first() >= windowMs)
        record.times.removeFirst();
    record.times.append(now);
    if (record.times.size() < limit)
        return false;
    record.times.clear();
    record.lockedUntil = now + lockMs;
    return true;
}

void CLoginGuard::loginFailed(const QHostAddress &peer, const QString &name)
{
    const qint64 now = clock.elapsed();
    // The address lock is the wider one: when it starts, the name needs no line of its own.
    if (addressLockFailures > 0
        && countFailure(addressFailures[peer], addressLockFailures, addressLockMs, now)) {
        emit log(tr("Logins from %1 locked for %2 s after %3 failed attempts")
                     .arg(peer.toString(), QString::number(addressLockMs / 1000),
                         QString::number(addressLockFailures)));
    }
    if (nameLockFailures > 0
        && countFailure(nameFailures[NameKey(peer, name)], nameLockFailures, nameLockMs, now)
        && addressFailures.value(peer).lockedUntil <= now) {
        emit log(tr("Logins for %1 from %2 locked for %3 s after %4 failed attempts")
                     .arg(printableText(name), peer.toString(), QString::number(nameLockMs / 1000),
                         QString::number(nameLockFailures)));
    }
}

void CLoginGuard::loginSucceeded(const QHostAddress &peer, const QString &name, int objectId)
{
    const qint64 now = clock.elapsed();
    nameFailures.remove(NameKey(peer, name));
    logins.insert(NameKey(peer, name), Login { objectId, now });
}

void CLoginGuard::setLoginMemory(qint64 msec)
{
    loginMemoryMs = msec;
}

int CLoginGuard::recentLogin(const QHostAddress &peer, const QString &name) const
{
    const auto found = logins.constFind(NameKey(peer, name));
    if (found == logins.constEnd())
        return 0;
    if (loginMemoryMs >= 0 && clock.elapsed() - found->time > loginMemoryMs)
        return 0;
    return found->objectId;
}

void CLoginGuard::prune(qint64 now)
{
    // Once a window at most, so a flood of names costs no more than one pass a minute.
    if (now - lastPrune < windowMs)
        return;
    lastPrune = now;
    const auto stale = [this, now](const Failures &record) {
        return record.lockedUntil <= now
            && (record.times.isEmpty() || now - record.times.last() >= windowMs);
    };
    nameFailures.removeIf([&](const auto &item) { return stale(item.value()); });
    addressFailures.removeIf([&](const auto &item) { return stale(item.value()); });
    if (loginMemoryMs >= 0) {
        logins.removeIf(
            [this, now](const auto &item) { return now - item.value().time > loginMemoryMs; });
    }
}
