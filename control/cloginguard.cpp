#include "cloginguard.h"

#include "printabletext.h"

CLoginGuard::CLoginGuard(QObject *parent)
    : QObject(parent)
{
    monotonic.start();
}

void CLoginGuard::setClock(Clock replacement)
{
    clock = std::move(replacement);
    lastPrune = now();
}

qint64 CLoginGuard::now() const
{
    return clock ? clock() : monotonic.elapsed();
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

void CLoginGuard::dropExpired(Failures &record, qint64 at) const
{
    while (!record.times.isEmpty() && at - record.times.first() >= windowMs)
        record.times.removeFirst();
}

CLoginGuard::Admission CLoginGuard::admits(Failures &record, int limit, int lockMs, qint64 at) const
{
    if (limit <= 0 || lockMs <= 0)
        return Admission::Admitted;
    if (record.lockedUntil > at)
        return Admission::Refused;
    dropExpired(record, at);
    if (record.times.size() + record.inFlight < limit)
        return Admission::Admitted;
    // Full with nothing in flight: a limit lowered meanwhile. Nothing would end the wait.
    return record.inFlight > 0 ? Admission::Wait : Admission::Refused;
}

CLoginGuard::Admission CLoginGuard::beginAttempt(const QHostAddress &peer, const QString &name)
{
    return begin(peer, byName(name));
}

CLoginGuard::Admission CLoginGuard::beginChange(const QHostAddress &peer, int objectId)
{
    return begin(peer, byId(objectId));
}

CLoginGuard::Admission CLoginGuard::begin(const QHostAddress &peer, const QString &user)
{
    const qint64 at = now();
    prune(at);
    Failures &address = addressFailures[peer];
    Failures &named = nameFailures[NameKey(peer, user)];
    const Admission byAddress = admits(address, addressLockFailures, addressLockMs, at);
    const Admission byUser = admits(named, nameLockFailures, nameLockMs, at);
    if (byAddress == Admission::Refused || byUser == Admission::Refused)
        return Admission::Refused;
    if (byAddress == Admission::Wait || byUser == Admission::Wait)
        return Admission::Wait;
    ++address.inFlight;
    ++named.inFlight;
    ++admissions;
    return Admission::Admitted;
}

bool CLoginGuard::countFailure(Failures &record, int limit, int lockMs, qint64 at) const
{
    if (limit <= 0 || lockMs <= 0)
        return false;
    dropExpired(record, at);
    record.times.append(at);
    if (record.times.size() < limit)
        return false;
    record.times.clear();
    record.lockedUntil = at + lockMs;
    return true;
}

void CLoginGuard::endAttempt(
    const QHostAddress &peer, const QString &name, Outcome outcome, int objectId)
{
    if (outcome == Outcome::Succeeded)
        logins.insert(NameKey(peer, name), Login { objectId, now() });
    if (end(peer, byName(name), objectId > 0 ? byId(objectId) : QString(), outcome)) {
        emit log(tr("Logins for %1 from %2 locked for %3 s after %4 failed attempts")
                     .arg(printableText(name), peer.toString(), QString::number(nameLockMs / 1000),
                         QString::number(nameLockFailures)));
        emit lockStarted(false);
    }
    wakeWaiters(peer);
}

void CLoginGuard::endChange(
    const QHostAddress &peer, int objectId, Outcome outcome, const QString &name)
{
    if (end(peer, byId(objectId), name.isNull() ? QString() : byName(name), outcome)) {
        emit log(tr("Password changes for user %1 from %2 locked for %3 s after %4 failed "
                    "attempts")
                     .arg(QString::number(objectId), peer.toString(),
                         QString::number(nameLockMs / 1000), QString::number(nameLockFailures)));
        emit lockStarted(false);
    }
    wakeWaiters(peer);
}

bool CLoginGuard::end(
    const QHostAddress &peer, const QString &user, const QString &alias, Outcome outcome)
{
    const qint64 at = now();
    // Records with attempts in flight are never pruned: both are still here.
    Failures &address = addressFailures[peer];
    Failures &named = nameFailures[NameKey(peer, user)];
    address.inFlight = qMax(0, address.inFlight - 1);
    named.inFlight = qMax(0, named.inFlight - 1);
    switch (outcome) {
    case Outcome::Untested:
        return false;
    case Outcome::Succeeded:
        // The password is proven: neither key of the user keeps its failures.
        named.times.clear();
        if (!alias.isEmpty()) {
            const auto other = nameFailures.find(NameKey(peer, alias));
            if (other != nameFailures.end())
                other->times.clear();
        }
        return false;
    case Outcome::Failed:
        break;
    }
    // The address lock is the wider one: when it starts, the user needs no line of its own.
    if (countFailure(address, addressLockFailures, addressLockMs, at)) {
        emit log(tr("Logins from %1 locked for %2 s after %3 failed attempts")
                     .arg(peer.toString(), QString::number(addressLockMs / 1000),
                         QString::number(addressLockFailures)));
        emit lockStarted(true);
    }
    const bool userLocked = countFailure(named, nameLockFailures, nameLockMs, at);
    // The same user by its other key locks with it, without a line of its own. (Last: adding
    // a record may move the others.)
    if (!alias.isEmpty())
        countFailure(nameFailures[NameKey(peer, alias)], nameLockFailures, nameLockMs, at);
    return userLocked && addressFailures.value(peer).lockedUntil <= at;
}

void CLoginGuard::waitForRoom(const QHostAddress &peer, std::function<void()> wake)
{
    waiters[peer].append(std::move(wake));
}

void CLoginGuard::wakeWaiters(const QHostAddress &peer)
{
    // Only that address's waiters: its attempt ended, nobody else's room changed. One ended
    // attempt makes room for one, so waking them all would cost every waiter a retry per
    // ended attempt: in turn until one is let in. One that has gone, is locked out or still
    // finds no room (its user's) passes the turn on; each is tried at most once.
    auto found = waiters.find(peer);
    for (qsizetype turns = found == waiters.end() ? 0 : found->size(); turns > 0; --turns) {
        found = waiters.find(peer);
        if (found == waiters.end())
            return;
        const std::function<void()> wake = found->takeFirst();
        if (found->isEmpty())
            waiters.erase(found);
        const quint64 before = admissions;
        wake();
        if (admissions != before)
            return;
    }
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
    if (loginMemoryMs >= 0 && now() - found->time > loginMemoryMs)
        return 0;
    return found->objectId;
}

void CLoginGuard::prune(qint64 at)
{
    // Once a window at most, so a flood of names costs no more than one pass a minute.
    if (at - lastPrune < windowMs)
        return;
    lastPrune = at;
    // A record goes only once nothing of it counts any more: no lock running, no attempt in
    // flight, no failure left in the window.
    const auto stale = [this, at](const Failures &record) {
        return record.lockedUntil <= at && record.inFlight == 0
            && (record.times.isEmpty() || at - record.times.last() >= windowMs);
    };
    nameFailures.removeIf([&](const auto &item) { return stale(item.value()); });
    addressFailures.removeIf([&](const auto &item) { return stale(item.value()); });
    if (loginMemoryMs >= 0) {
        logins.removeIf(
            [this, at](const auto &item) { return at - item.value().time > loginMemoryMs; });
    }
}
