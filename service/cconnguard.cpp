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
// Each connection may hold its socket and one archive.
constexpr int DESCRIPTORS_PER_CONNECTION = 2;
constexpr qint64 LOG_INTERVAL_MS = 60000;
// Failed TLS handshakes of an address are counted over this long.
constexpr qint64 HANDSHAKE_FAILURE_WINDOW_MS = 60000;
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

void CConnGuard::setMaxConnections(int max)
{
    maxTotal = qMax(0, max);
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
    const int free = int(limit.rlim_cur) - RESERVED_DESCRIPTORS;
    return qMax(1, free / DESCRIPTORS_PER_CONNECTION);
}

bool CConnGuard::admit(int socketfd, QHostAddress &peer)
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
    if (handshakeLocked(peer)) {
        refuse(socketfd, peer, tr("too many failed TLS handshakes from this address"));
        return false;
    }
    if (maxTotal > 0 && conns.size() + held >= maxTotal) {
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

void CConnGuard::track(QAbstractSocket *conn, const QHostAddress &peer)
{
    conns.insert(conn, Entry { peer, now() });
    ++perAddress[peer];
    if (idleMs == 0)
        return;
    const auto touch = [this, conn] {
        const auto found = conns.find(conn);
        if (found != conns.end())
            found->lastActive = now();
    };
    connect(conn, &QIODevice::readyRead, this, touch);
    connect(conn, &QIODevice::bytesWritten, this, touch);
}

void CConnGuard::release(QAbstractSocket *conn)
{
    const auto found = conns.constFind(conn);
    if (found == conns.constEnd())
        return;
    const auto count = perAddress.find(found->peer);
    if (count != perAddress.end() && --*count <= 0)
        perAddress.erase(count);
    conns.erase(found);
    disconnect(conn, nullptr, this, nullptr);
}

void CConnGuard::hold(const QHostAddress &peer)
{
    ++held;
    ++perAddress[peer];
}

void CConnGuard::unhold(const QHostAddress &peer)
{
    held = qMax(0, held - 1);
    const auto count = perAddress.find(peer);
    if (count != perAddress.end() && --*count <= 0)
        perAddress.erase(count);
}

void CConnGuard::setHandshakeFailureLimit(int failures, int lockMs)
{
    handshakeFailureLimit = qMax(0, failures);
    handshakeLockMs = qMax(0, lockMs);
}

void CConnGuard::handshakeFailed(const QHostAddress &peer)
{
    if (handshakeFailureLimit == 0)
        return;
    const qint64 now = this->now();
    // Forget addresses whose minute and lock are over, so the table stays small.
    if (handshakeFailures.size() > 1024) {
        handshakeFailures.removeIf([now](const auto &item) {
            return now - item.value().since >= HANDSHAKE_FAILURE_WINDOW_MS
                && now >= item.value().lockedUntil;
        });
    }
    Failures &record = handshakeFailures[peer];
    if (now - record.since >= HANDSHAKE_FAILURE_WINDOW_MS) {
        record.since = now;
        record.count = 0;
    }
    if (++record.count >= handshakeFailureLimit) {
        record.lockedUntil = now + handshakeLockMs;
        record.count = 0;
    }
}

bool CConnGuard::handshakeLocked(const QHostAddress &peer)
{
    const auto found = handshakeFailures.constFind(peer);
    return found != handshakeFailures.constEnd() && now() < found->lockedUntil;
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
    for (auto it = conns.constBegin(); it != conns.constEnd(); ++it) {
        // Quiet because it waits for the database or for its peer to read: not idle.
        if (at - it->lastActive >= idleMs && !isOwed(it.key()))
            idle.append(it.key());
    }
    // Aborting reaches the owner's disconnect handling, which releases the connection.
    for (QAbstractSocket *conn : idle) {
        if (conns.contains(conn))
            conn->abort();
    }
}
