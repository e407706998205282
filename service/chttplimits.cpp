#include "chttplimits.h"

#include <sys/socket.h>

#include <vector>

struct CHttpLimits::Conn
{
    int fd = -1;
    QHostAddress peer;
    State state = State::Fresh;
    qint64 deadline = 0;
    bool shut = false;
    bool queued = false;
    std::list<Conn *>::iterator inAll;
    std::list<Conn *>::iterator inAddress;
};

CHttpLimits::CHttpLimits(int total, int perAddressLimit)
    : maxTotal(total)
    , maxPerAddress(perAddressLimit)
{
    monotonic.start();
}

CHttpLimits::~CHttpLimits() = default;

void CHttpLimits::setClock(Clock replacement)
{
    std::lock_guard<std::mutex> lock(mutex);
    clock = std::move(replacement);
}

qint64 CHttpLimits::now() const
{
    return clock ? clock() : monotonic.elapsed();
}

int CHttpLimits::count() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return live;
}

CHttpLimits::Conn *CHttpLimits::opened(int fd, const QHostAddress &peer)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto *conn = new Conn;
    conn->fd = fd;
    conn->peer = peer;
    // A whole first request within the deadline from the connection's start.
    conn->deadline = now() + REQUEST_DEADLINE_MS;
    ++live;
    ++perAddress[peer];
    enqueue(conn);
    // The newcomer itself waits longest of none: it is never the one that gives way.
    const auto makeRoom = [&](bool full, const QHostAddress *from) {
        if (!full || conn->shut)
            return;
        Conn *victim = oldestWaiting(from);
        shut(victim && victim != conn ? victim : conn);
    };
    makeRoom(maxPerAddress > 0 && perAddress.value(peer) > maxPerAddress, &peer);
    makeRoom(maxTotal > 0 && live > maxTotal, nullptr);
    return conn;
}

void CHttpLimits::requestBegun(Conn *conn)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (conn->state == State::Idle)
        conn->deadline = now() + REQUEST_DEADLINE_MS;
    if (conn->state != State::Busy)
        conn->state = State::Receiving;
}

void CHttpLimits::requestWhole(Conn *conn)
{
    std::lock_guard<std::mutex> lock(mutex);
    conn->state = State::Busy;
    dequeue(conn);
}

void CHttpLimits::answered(Conn *conn)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (conn->shut)
        return;
    conn->state = State::Idle;
    conn->deadline = now() + KEEPALIVE_IDLE_MS;
    dequeue(conn);
    enqueue(conn);
}

void CHttpLimits::closed(Conn *conn)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!conn->shut) {
        dequeue(conn);
        --live;
        if (--perAddress[conn->peer] <= 0)
            perAddress.remove(conn->peer);
    }
    delete conn;
}

int CHttpLimits::sweep()
{
    std::lock_guard<std::mutex> lock(mutex);
    const qint64 at = now();
    // Bounded by the limit on connections; those at work have no deadline here.
    std::vector<Conn *> late;
    for (Conn *conn : waiting) {
        if (conn->deadline <= at)
            late.push_back(conn);
    }
    for (Conn *conn : late)
        shut(conn);
    return int(late.size());
}

void CHttpLimits::enqueue(Conn *conn)
{
    if (conn->queued)
        return;
    conn->inAll = waiting.insert(waiting.end(), conn);
    std::list<Conn *> &own = waitingFrom[conn->peer];
    conn->inAddress = own.insert(own.end(), conn);
    conn->queued = true;
}

void CHttpLimits::dequeue(Conn *conn)
{
    if (!conn->queued)
        return;
    waiting.erase(conn->inAll);
    const auto own = waitingFrom.find(conn->peer);
    own->erase(conn->inAddress);
    if (own->empty())
        waitingFrom.erase(own);
    conn->queued = false;
}

void CHttpLimits::shut(Conn *conn)
{
    dequeue(conn);
    conn->shut = true;
    --live;
    if (--perAddress[conn->peer] <= 0)
        perAddress.remove(conn->peer);
    // The library sees the peer's close at its next look and lets the connection go.
    ::shutdown(conn->fd, SHUT_RDWR);
}

CHttpLimits::Conn *CHttpLimits::oldestWaiting(const QHostAddress *peer) const
{
    if (!peer)
        return waiting.empty() ? nullptr : waiting.front();
    const auto own = waitingFrom.constFind(*peer);
    return own == waitingFrom.constEnd() ? nullptr : own->front();
}
