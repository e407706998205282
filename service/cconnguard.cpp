#include "cconnguard.h"

#include <climits>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractSocket>
#include <QTimer>

#include "cabstractfileconn.h"
#include "cserverfileconn.h"
#include "ctolvernserverconn.h"

namespace {
// Descriptors kept back from connections: the database with its journal, the listeners,
// the event loop's own, the settings file and the log.
constexpr int RESERVED_DESCRIPTORS = 64;
constexpr qint64 LOG_INTERVAL_MS = 60000;
// How often idle connections are looked for, at most.
constexpr int IDLE_CHECK_MAX_MS = 5000;
} // namespace

CConnGuard::CConnGuard(QObject *parent)
    : QObject(parent)
    , idleTimer(new QTimer(this))
{
    monotonic.start();
    connect(idleTimer, &QTimer::timeout, this, &CConnGuard::closeIdle);
}

void CConnGuard::setClock(Clock replacement)
{
    clock = std::move(replacement);
    lastLogPrune = now();
}

qint64 CConnGuard::now() const
{
    return clock ? clock() : monotonic.elapsed();
}

void CConnGuard::setDescriptorLimit(int descriptors)
{
    maxTotal = qMax(0, descriptors);
}

void CConnGuard::setMaxPerAddress(int max)
{
    maxPerPeer = qMax(0, max);
}

void CConnGuard::setIdleTimeout(int msec)
{
    idleMs = qMax(0, msec);
    if (idleMs == 0) {
        idleTimer->stop();
        return;
    }
    // A connection is closed between idleMs and a quarter more.
    idleTimer->start(qBound(10, idleMs / 4, IDLE_CHECK_MAX_MS));
}

int CConnGuard::descriptorBudget()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY
        || limit.rlim_cur > rlim_t(INT_MAX))
        return 0;
    return qMax(FILE_DESCRIPTORS, int(limit.rlim_cur) - RESERVED_DESCRIPTORS);
}

bool CConnGuard::admit(int socketfd, QHostAddress &peer, int descriptors)
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    if (getpeername(socketfd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(socketfd); // the client is gone already
        return false;
    }
    peer = QHostAddress(reinterpret_cast<const sockaddr *>(&address));
    if (maxPerPeer > 0 && perAddress.value(peer) >= maxPerPeer) {
        refuse(socketfd, peer, tr("too many connections from this address"));
        return false;
    }
    if (maxTotal > 0 && used + descriptors > maxTotal && !makeRoom(descriptors)) {
        refuse(socketfd, peer, tr("the server is at its connection limit"));
        return false;
    }
    return true;
}

void CConnGuard::refuse(int socketfd, const QHostAddress &peer, const QString &why)
{
    ::close(socketfd);
    if (mayLog(peer.toString()))
        emit log(tr("Connection from %1 refused: %2").arg(peer.toString(), why));
}

CConnGuard::Places::iterator CConnGuard::place(const QHostAddress &peer, int descriptors)
{
    used += descriptors;
    ++perAddress[peer];
    places.push_back(Place { peer, now(), descriptors, nullptr, 0, {} });
    return std::prev(places.end());
}

void CConnGuard::forget(Places::iterator it)
{
    used -= it->descriptors;
    const auto count = perAddress.find(it->peer);
    if (count != perAddress.end() && --*count <= 0)
        perAddress.erase(count);
    places.erase(it);
}

void CConnGuard::track(QAbstractSocket *conn, const QHostAddress &peer, int descriptors)
{
    const Places::iterator it = place(peer, descriptors);
    it->conn = conn;
    byConn.insert(conn, it);
    // The iterator stays valid while the place moves; release() disconnects before it goes.
    const auto touch = [this, it] {
        it->lastActive = now();
        places.splice(places.end(), places, it);
    };
    connect(conn, &QIODevice::readyRead, this, touch);
    connect(conn, &QIODevice::bytesWritten, this, touch);
}

void CConnGuard::release(QAbstractSocket *conn)
{
    const auto found = byConn.constFind(conn);
    if (found == byConn.constEnd())
        return;
    forget(found.value());
    byConn.erase(found);
    disconnect(conn, nullptr, this, nullptr);
}

quint64 CConnGuard::hold(const QHostAddress &peer, int descriptors, Evict evict)
{
    const Places::iterator it = place(peer, descriptors);
    it->holdId = ++lastHoldId;
    it->evict = std::move(evict);
    byHold.insert(it->holdId, it);
    return it->holdId;
}

void CConnGuard::unhold(quint64 id)
{
    const auto found = byHold.constFind(id);
    if (found == byHold.constEnd())
        return;
    forget(found.value());
    byHold.erase(found);
}

bool CConnGuard::underPressure(const QHostAddress &peer) const
{
    return (maxTotal > 0 && used * 4 >= maxTotal * 3)
        || (maxPerPeer > 0 && perAddress.value(peer) * 4 >= maxPerPeer * 3);
}

bool CConnGuard::makeRoom(int descriptors)
{
    const qint64 at = now();
    QList<Places::iterator> victims;
    int freed = 0;
    int looked = 0;
    // Longest idle first; a place idle only a moment means every client is at work.
    for (auto it = places.begin();
         it != places.end() && looked < GIVE_WAY_LOOKS && used - freed + descriptors > maxTotal;
         ++it, ++looked) {
        if (at - it->lastActive < MIN_IDLE_TO_GIVE_WAY_MS)
            break;
        if (it->conn && isOwed(it->conn))
            continue;
        victims.append(it);
        freed += it->descriptors;
    }
    if (used - freed + descriptors > maxTotal)
        return false;
    for (const Places::iterator &victim : std::as_const(victims)) {
        const QString peer = victim->peer.toString();
        const qint64 idleSeconds = (at - victim->lastActive) / 1000;
        ++givenWayUnlogged;
        if (mayLog(QStringLiteral(" room"))) {
            emit log(tr("Connection from %1 idle for %2 s closed to make room at the connection "
                        "limit (%3 in all since the last such line)")
                         .arg(peer)
                         .arg(idleSeconds)
                         .arg(givenWayUnlogged));
            givenWayUnlogged = 0;
        }
        // Either way the place is forgotten by the time this returns: an aborted connection
        // reaches its owner's disconnect handling, an evicted descriptor its holder's unhold().
        if (QAbstractSocket *conn = victim->conn)
            conn->abort();
        else
            victim->evict();
    }
    return true;
}

void CConnGuard::reportAcceptError(const QString &port, const QString &error)
{
    if (mayLog(QLatin1Char(' ') + port)) {
        emit log(tr("%1 cannot accept: %2; accepting paused until a descriptor is free")
                     .arg(port, error));
    }
}

bool CConnGuard::mayLog(const QString &key)
{
    const qint64 at = now();
    if (at - lastLogPrune >= LOG_INTERVAL_MS) {
        lastLogPrune = at;
        lastLogged.removeIf(
            [at](const auto &item) { return at - item.value() >= LOG_INTERVAL_MS; });
    }
    const auto found = lastLogged.constFind(key);
    if (found != lastLogged.constEnd() && at - found.value() < LOG_INTERVAL_MS)
        return false;
    lastLogged.insert(key, at);
    return true;
}

bool CConnGuard::isOwed(const QAbstractSocket *conn)
{
    if (conn->bytesToWrite() > 0)
        return true;
    // Replies the kernel still holds for a peer that has not taken them yet.
    int unsent = 0;
    if (conn->socketDescriptor() >= 0
        && ::ioctl(int(conn->socketDescriptor()), SIOCOUTQ, &unsent) == 0 && unsent > 0)
        return true;
    if (const auto *control = qobject_cast<const CTolvernServerConn *>(conn))
        return control->owedReplies() > 0;
    if (const auto *upload = qobject_cast<const libsock::CServerFileConn *>(conn);
        upload && upload->awaitsStorage())
        return true;
    const auto *fileConn = qobject_cast<const libsock::CAbstractFileConn *>(conn);
    return fileConn && fileConn->isSending();
}

void CConnGuard::closeIdle()
{
    const qint64 at = now();
    QList<QAbstractSocket *> idle;
    // Longest idle first: the walk stops at the first place still within its time.
    for (auto it = places.begin(); it != places.end() && at - it->lastActive >= idleMs; ++it) {
        // Quiet because it waits for the database or for its peer to read: not idle. Held
        // descriptors have a first-byte time of their own.
        if (it->conn && !isOwed(it->conn))
            idle.append(it->conn);
    }
    // Aborting reaches the owner's disconnect handling, which releases the connection.
    for (QAbstractSocket *conn : idle) {
        if (byConn.contains(conn))
            conn->abort();
    }
}
