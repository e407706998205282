#include "cepolleventdispatcher.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <QTimerEvent>

namespace {
constexpr int MAX_EVENTS = 4096;
constexpr qint64 NS_PER_MS = 1000000;
// Notifiers delivered in one pass for at most this long: the rest are still ready and come
// back, behind what became ready meanwhile, so that a burst (thousands of clients hanging up
// at once) cannot keep a newcomer waiting until all of it is done.
constexpr qint64 DELIVERY_BUDGET_NS = 2 * NS_PER_MS;
// A peer that hung up, or a socket in error: nobody waits for its handling.
constexpr quint32 ENDED = EPOLLRDHUP | EPOLLHUP | EPOLLERR;

// What wakes each kind of notifier, as Qt's own dispatcher reads poll()'s answer: a hang-up
// or an error wakes them all, so that the owner finds out by reading or writing.
constexpr quint32 WAKES[3] = {
    EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR, // QSocketNotifier::Read
    EPOLLOUT | EPOLLHUP | EPOLLERR, // QSocketNotifier::Write
    EPOLLPRI | EPOLLHUP | EPOLLERR, // QSocketNotifier::Exception
};
constexpr quint32 WANTS[3] = { EPOLLIN | EPOLLRDHUP, EPOLLOUT, EPOLLPRI };
} // namespace

CEpollEventDispatcher::CEpollEventDispatcher(QObject *parent)
    : QAbstractEventDispatcher(parent)
    , epollFd(::epoll_create1(EPOLL_CLOEXEC))
    , wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    // Without either the thread could never be woken: nothing sensible can go on.
    if (epollFd < 0 || wakeFd < 0)
        qFatal("CEpollEventDispatcher: cannot create the epoll set or its wake-up descriptor");
    epoll_event event {};
    event.events = EPOLLIN;
    event.data.fd = wakeFd;
    if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &event) != 0)
        qFatal("CEpollEventDispatcher: cannot watch the wake-up descriptor");
}

CEpollEventDispatcher::~CEpollEventDispatcher()
{
    ::close(wakeFd);
    ::close(epollFd);
}

qint64 CEpollEventDispatcher::nowNs()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int CEpollEventDispatcher::msUntil(qint64 deadlineNs)
{
    // Rounded up: a wait that ends before the deadline would only come back for it.
    const qint64 left = deadlineNs - nowNs();
    return left <= 0 ? 0 : int(qMin<qint64>((left + NS_PER_MS - 1) / NS_PER_MS, INT_MAX));
}

int CEpollEventDispatcher::drainWakeUp()
{
    quint64 value = 0;
    [[maybe_unused]] const ssize_t got = ::read(wakeFd, &value, sizeof value);
    wakePending.store(false);
    return 1;
}

quint32 CEpollEventDispatcher::wantedEvents(const Watched &watched)
{
    quint32 events = 0;
    for (int type = 0; type < 3; ++type) {
        if (watched.notifiers[type])
            events |= WANTS[type];
    }
    return events;
}

bool CEpollEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    interrupted.store(false);
    emit awake();
    QCoreApplication::sendPostedEvents();

    const bool includeTimers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool includeNotifiers = !(flags & QEventLoop::ExcludeSocketNotifiers);
    const bool canWait = (flags & QEventLoop::WaitForMoreEvents) && !interrupted.load();
    if (canWait)
        emit aboutToBlock();
    if (interrupted.load())
        return false;

    int timeout = 0;
    if (canWait && !(includeNotifiers && alwaysReadyCount > 0))
        timeout = includeTimers ? timerWaitMs() : -1;

    int handled = 0;
    if (includeNotifiers) {
        applyInterest();
        // Many at a time, so that a burst is gone through in few passes; kept off the stack
        // and with its capacity, one per nested loop.
        if (eventLists.size() <= size_t(waitDepth))
            eventLists.emplace_back(MAX_EVENTS);
        epoll_event *events = eventLists[size_t(waitDepth)].data();
        const int count = ::epoll_wait(epollFd, events, MAX_EVENTS, timeout);
        if (count < 0 && errno != EINTR)
            qErrnoWarning("CEpollEventDispatcher: epoll_wait");
        ++waitDepth;
        handled += activateSocketNotifiers(events, qMax(count, 0));
        --waitDepth;
    } else {
        // The sockets stay ready in the epoll set; only a wake-up or a timer ends this wait.
        pollfd wake { wakeFd, POLLIN, 0 };
        if (::poll(&wake, 1, timeout) > 0)
            handled += drainWakeUp();
    }
    if (includeTimers)
        handled += activateTimers();
    return handled > 0;
}

void CEpollEventDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    const int type = int(notifier->type());
    Watched &entry = watched[fd];
    const bool replaced = entry.notifiers[type] && entry.notifiers[type] != notifier;
    if (replaced)
        qWarning("CEpollEventDispatcher: several notifiers of one type on descriptor %d", fd);
    entry.notifiers[type] = notifier;
    entry.serials[type] = ++lastSerial;
    if (entry.alwaysReady || (entry.applied != 0 && !replaced)) {
        changed.push_back(fd);
        return;
    }
    // Added at once: a descriptor number that was closed and taken again must never be
    // mistaken for the one the set still held. A notifier still registered for a closed
    // descriptor (replaced) leaves the number to another socket, which the set may not hold.
    epoll_event event {};
    event.events = wantedEvents(entry);
    event.data.fd = fd;
    if ((replaced && ::epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &event) == 0)
        || ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) == 0) {
        entry.applied = event.events;
    } else if (errno == EPERM) {
        // A regular file: poll() calls it always ready, and so does this.
        entry.alwaysReady = true;
        ++alwaysReadyCount;
    } else {
        qErrnoWarning("CEpollEventDispatcher: cannot watch descriptor %d", fd);
    }
}

void CEpollEventDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    const int type = int(notifier->type());
    const auto found = watched.find(fd);
    if (found == watched.end() || found->notifiers[type] != notifier)
        return;
    found->notifiers[type] = nullptr;
    if (wantedEvents(*found) != 0) {
        changed.push_back(fd);
        return;
    }
    // Removed at once, before the owner closes the descriptor; a descriptor already closed
    // has left the set by itself.
    if (found->applied != 0)
        ::epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
    if (found->alwaysReady)
        --alwaysReadyCount;
    watched.erase(found);
}

void CEpollEventDispatcher::applyInterest()
{
    for (const int fd : changed) {
        const auto found = watched.constFind(fd);
        if (found == watched.constEnd() || found->alwaysReady)
            continue;
        const quint32 wanted = wantedEvents(*found);
        if (wanted == found->applied)
            continue;
        epoll_event event {};
        event.events = wanted;
        event.data.fd = fd;
        const int op = found->applied != 0 ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
        // Not in the set any more: closed with a notifier still registered, and the number
        // taken again.
        if (::epoll_ctl(epollFd, op, fd, &event) == 0
            || (errno == ENOENT && ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) == 0))
            watched[fd].applied = wanted;
        else
            qErrnoWarning("CEpollEventDispatcher: cannot change the events of descriptor %d", fd);
    }
    changed.clear();
}

int CEpollEventDispatcher::activateSocketNotifiers(const epoll_event *events, int count)
{
    int handled = 0;
    // One list per nested pass, kept with its capacity: a deque, so that a nested pass adding
    // its own leaves this one in place.
    if (readyLists.size() <= size_t(depth))
        readyLists.emplace_back();
    std::vector<Ready> &ready = readyLists[size_t(depth)];
    ready.clear();
    const auto add = [&](int fd, const Watched &entry, quint32 happened) {
        for (int type = 0; type < 3; ++type) {
            if (entry.notifiers[type] && (happened & WAKES[type]))
                ready.push_back(Ready { fd, type, entry.notifiers[type], entry.serials[type] });
        }
    };
    // New work first, hang-ups after it.
    for (const bool ended : { false, true }) {
        for (int i = 0; i < count; ++i) {
            const int fd = events[i].data.fd;
            if (fd == wakeFd) {
                handled += ended ? 0 : drainWakeUp();
                continue;
            }
            const auto found = watched.constFind(fd);
            if (found != watched.constEnd() && ((events[i].events & ENDED) != 0) == ended)
                add(fd, *found, events[i].events);
        }
    }
    if (alwaysReadyCount > 0) {
        for (auto it = watched.cbegin(); it != watched.cend(); ++it) {
            if (it->alwaysReady)
                add(it.key(), *it, WAKES[0] | WAKES[1] | WAKES[2]);
        }
    }

    ++depth;
    const qint64 start = nowNs();
    for (size_t i = 0; i < ready.size(); ++i) {
        const Ready entry = ready[i];
        // One unregistered by an earlier handler (its socket closed) is skipped, also when
        // another took its place meanwhile.
        const auto found = watched.constFind(entry.fd);
        if (found == watched.constEnd() || found->notifiers[entry.type] != entry.notifier
            || found->serials[entry.type] != entry.serial)
            continue;
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(entry.notifier, &event);
        ++handled;
        if (nowNs() - start > DELIVERY_BUDGET_NS)
            break;
    }
    --depth;
    return handled;
}

void CEpollEventDispatcher::registerTimer(
    int timerId, qint64 interval, Qt::TimerType timerType, QObject *object)
{
    unregisterTimer(timerId);
    Timer &timer = timers[timerId];
    timer.object = object;
    timer.intervalMs = qMax<qint64>(interval, 0);
    timer.type = timerType;
    timer.deadlineNs = nowNs() + timer.intervalMs * NS_PER_MS;
    deadlines.emplace(timer.deadlineNs, timerId);
    timersOf.insert(object, timerId);
}

bool CEpollEventDispatcher::unregisterTimer(int timerId)
{
    const auto found = timers.find(timerId);
    if (found == timers.end())
        return false;
    deadlines.erase({ found->deadlineNs, timerId });
    timersOf.remove(found->object, timerId);
    timers.erase(found);
    return true;
}

bool CEpollEventDispatcher::unregisterTimers(QObject *object)
{
    // An object's own timers only: a connection deleted with one running must not cost a
    // pass over every other connection's.
    const QList<int> ids = timersOf.values(object);
    for (const int id : ids)
        unregisterTimer(id);
    return !ids.isEmpty();
}

QList<QAbstractEventDispatcher::TimerInfo> CEpollEventDispatcher::registeredTimers(
    QObject *object) const
{
    QList<TimerInfo> list;
    for (auto it = timersOf.constFind(object); it != timersOf.constEnd() && it.key() == object;
         ++it) {
        const Timer &timer = timers[it.value()];
        list.append(TimerInfo(it.value(), int(timer.intervalMs), timer.type));
    }
    return list;
}

int CEpollEventDispatcher::remainingTime(int timerId)
{
    const auto found = timers.constFind(timerId);
    if (found == timers.constEnd())
        return -1;
    return msUntil(found->deadlineNs);
}

int CEpollEventDispatcher::timerWaitMs() const
{
    for (const auto &[deadline, id] : deadlines) {
        // A timer whose event is still being handled (a nested event loop) does not count.
        if (timers.value(id).delivering)
            continue;
        return msUntil(deadline);
    }
    return -1;
}

void CEpollEventDispatcher::setDeadline(int timerId, Timer &timer, qint64 deadlineNs)
{
    deadlines.erase({ timer.deadlineNs, timerId });
    timer.deadlineNs = deadlineNs;
    deadlines.emplace(deadlineNs, timerId);
}

int CEpollEventDispatcher::activateTimers()
{
    if (deadlines.empty())
        return 0;
    const qint64 now = nowNs();
    // Only the timers due now: one started or restarted by a handler waits for a later pass,
    // so a zero-interval timer cannot hold the loop.
    std::vector<int> due;
    for (auto it = deadlines.cbegin(); it != deadlines.cend() && it->first <= now; ++it)
        due.push_back(it->second);
    int fired = 0;
    for (const int id : due) {
        const auto found = timers.find(id);
        if (found == timers.end() || found->delivering || found->deadlineNs > now)
            continue;
        // An interval timer keeps its rhythm, but one that fell behind fires once, not once
        // for every interval it missed.
        const qint64 interval = found->intervalMs * NS_PER_MS;
        qint64 next = found->deadlineNs + interval;
        if (next <= now)
            next = now + interval;
        setDeadline(id, *found, next);
        found->delivering = true;
        QObject *object = found->object;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(object, &event);
        ++fired;
        const auto after = timers.find(id);
        if (after != timers.end())
            after->delivering = false;
    }
    return fired;
}

void CEpollEventDispatcher::wakeUp()
{
    if (wakePending.exchange(true))
        return;
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof one);
}

void CEpollEventDispatcher::interrupt()
{
    interrupted.store(true);
    wakeUp();
}
