#include "cswarm.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QtEndian>

#include "cprotopacket.h"

namespace {

constexpr int MAX_EVENTS = 256;
// Connects in progress at once: within the server's listen backlog.
constexpr int PENDING_CONNECTS = 512;
constexpr int OFFSET_BODY_LENGTH = 20;

QString errnoText(const char *what)
{
    return QStringLiteral("%1: %2").arg(
        QLatin1String(what), QString::fromLocal8Bit(strerror(errno)));
}

// The k-th source address: 127.1.0.1, 127.1.0.2, ... never .0 or .255 in the last place.
quint32 sourceAddress(int k)
{
    const int hosts = 254;
    const int third = k / hosts;
    return (127u << 24) | ((1u + quint32(third / 256)) << 16) | (quint32(third % 256) << 8)
        | quint32(1 + k % hosts);
}

} // namespace

CSwarm::CSwarm()
    : epollFd(::epoll_create1(EPOLL_CLOEXEC))
{
}

CSwarm::~CSwarm()
{
    closeAll();
    if (epollFd >= 0)
        ::close(epollFd);
}

int CSwarm::raiseDescriptorLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur == RLIM_INFINITY ? 1 << 30 : int(limit.rlim_cur);
}

bool CSwarm::fail(const QString &why)
{
    error = why;
    return false;
}

bool CSwarm::open(const std::vector<quint16> &ports, int count, int perAddress, int msec)
{
    QElapsedTimer clock;
    clock.start();
    int pending = 0;
    epoll_event events[MAX_EVENTS];
    const auto settle = [&](int timeoutMs) {
        const int ready = ::epoll_wait(epollFd, events, MAX_EVENTS, timeoutMs);
        if (ready < 0 && errno != EINTR)
            return fail(errnoText("epoll_wait"));
        for (int i = 0; i < ready; ++i) {
            Conn &conn = conns[events[i].data.u32];
            int problem = 0;
            socklen_t size = sizeof problem;
            ::getsockopt(conn.fd, SOL_SOCKET, SO_ERROR, &problem, &size);
            if (problem != 0) {
                errno = problem;
                return fail(errnoText("connect"));
            }
            epoll_event event {};
            event.events = EPOLLIN;
            event.data.u32 = events[i].data.u32;
            ::epoll_ctl(epollFd, EPOLL_CTL_MOD, conn.fd, &event);
            --pending;
        }
        return true;
    };
    for (int i = 0; i < count; ++i) {
        while (pending >= PENDING_CONNECTS) {
            if (clock.elapsed() > msec)
                return fail(QStringLiteral("connections not established within %1 ms").arg(msec));
            if (!settle(100))
                return false;
        }
        Conn conn;
        conn.port = ports[size_t(i) % ports.size()];
        conn.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (conn.fd < 0)
            return fail(errnoText("socket"));
        sockaddr_in source {};
        source.sin_family = AF_INET;
        source.sin_addr.s_addr = htonl(sourceAddress(i / qMax(1, perAddress)));
        sockaddr_in target {};
        target.sin_family = AF_INET;
        target.sin_port = htons(conn.port);
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int one = 1;
        ::setsockopt(conn.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::bind(conn.fd, reinterpret_cast<const sockaddr *>(&source), sizeof source) != 0) {
            ::close(conn.fd);
            return fail(errnoText("bind"));
        }
        if (::connect(conn.fd, reinterpret_cast<const sockaddr *>(&target), sizeof target) != 0
            && errno != EINPROGRESS) {
            ::close(conn.fd);
            return fail(errnoText("connect"));
        }
        epoll_event event {};
        event.events = EPOLLOUT;
        event.data.u32 = quint32(conns.size());
        ::epoll_ctl(epollFd, EPOLL_CTL_ADD, conn.fd, &event);
        conns.push_back(std::move(conn));
        ++pending;
    }
    while (pending > 0) {
        if (clock.elapsed() > msec)
            return fail(QStringLiteral("connections not established within %1 ms").arg(msec));
        if (!settle(100))
            return false;
    }
    return true;
}

bool CSwarm::drain(Conn &conn, int *ok)
{
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::recv(conn.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0)
            return fail(QStringLiteral("the server closed a connection"));
        if (got < 0)
            return errno == EAGAIN || errno == EINTR || fail(errnoText("recv"));
        conn.in.append(buffer, qsizetype(got));
        while (conn.in.size() >= libsock::PACKET_HEADER_SIZE) {
            const int body = qFromLittleEndian<quint16>(conn.in.constData() + OFFSET_BODY_LENGTH);
            const int total = libsock::PACKET_HEADER_SIZE + body;
            if (conn.in.size() < total)
                break;
            if (ok && body > 0 && conn.in.at(libsock::PACKET_HEADER_SIZE) == 0)
                ++*ok;
            conn.waiting = qMax(0, conn.waiting - 1);
            ++replies;
            conn.in.remove(0, total);
        }
    }
}

bool CSwarm::exchangeAll(quint16 port, const NextRequest &next, int msec, int *ok)
{
    int owed = 0;
    for (size_t i = 0; i < conns.size(); ++i) {
        Conn &conn = conns[i];
        if (conn.port != port)
            continue;
        libsock::CProtoPacket packet;
        next(packet, int(i));
        if (::send(conn.fd, packet.data(), packet.totalLength(), MSG_NOSIGNAL)
            != packet.totalLength())
            return fail(errnoText("send"));
        ++conn.waiting;
        ++owed;
    }
    QElapsedTimer clock;
    clock.start();
    epoll_event events[MAX_EVENTS];
    while (owed > 0) {
        if (clock.elapsed() > msec)
            return fail(QStringLiteral("%1 replies missing after %2 ms").arg(owed).arg(msec));
        const int ready = ::epoll_wait(epollFd, events, MAX_EVENTS, 100);
        for (int i = 0; i < ready; ++i) {
            Conn &conn = conns[events[i].data.u32];
            const int before = conn.waiting;
            if (!drain(conn, ok))
                return false;
            owed -= before - conn.waiting;
        }
    }
    return true;
}

bool CSwarm::flood(quint16 port, const NextRequest &next, int msec)
{
    // Writes whenever a connection takes more, reads whatever comes back. A small send
    // buffer: what the server does not take waits here rather than in the kernel.
    for (size_t i = 0; i < conns.size(); ++i) {
        if (conns[i].port != port)
            continue;
        const int sendBuffer = 4096;
        ::setsockopt(conns[i].fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        epoll_event event {};
        event.events = EPOLLIN | EPOLLOUT;
        event.data.u32 = quint32(i);
        ::epoll_ctl(epollFd, EPOLL_CTL_MOD, conns[i].fd, &event);
    }
    QElapsedTimer clock;
    clock.start();
    epoll_event events[MAX_EVENTS];
    bool ok = true;
    while (ok && !stopping && clock.elapsed() < msec) {
        const int ready = ::epoll_wait(epollFd, events, MAX_EVENTS, 50);
        for (int i = 0; ok && i < ready; ++i) {
            const int index = int(events[i].data.u32);
            Conn &conn = conns[size_t(index)];
            if (events[i].events & EPOLLIN)
                ok = drain(conn, nullptr);
            if (!ok || !(events[i].events & EPOLLOUT))
                continue;
            // A few dozen requests per connection and pass, so that every one gets its turn.
            if (conn.out.isEmpty()) {
                for (int k = 0; k < 64; ++k) {
                    libsock::CProtoPacket packet;
                    next(packet, index);
                    conn.out.append(packet.data(), packet.totalLength());
                }
                conn.waiting += 64;
            }
            const ssize_t n = ::send(conn.fd, conn.out.constData(), size_t(conn.out.size()),
                MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                ok = errno == EAGAIN || errno == EINTR || fail(errnoText("send"));
                continue;
            }
            conn.out.remove(0, qsizetype(n));
            if (conn.out.isEmpty())
                sent += 64;
        }
    }
    return ok;
}

void CSwarm::closeAll()
{
    for (Conn &conn : conns) {
        if (conn.fd >= 0)
            ::close(conn.fd);
    }
    conns.clear();
}
