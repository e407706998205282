#include "cloginload.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QtEndian>

#include "controlcodes.h"
#include "cprotopacket.h"

namespace {
constexpr int MAX_EVENTS = 256;

QString errnoText(const char *call)
{
    return QStringLiteral("%1: %2").arg(
        QLatin1String(call), QString::fromLocal8Bit(std::strerror(errno)));
}
constexpr int OFFSET_BODY_LENGTH = 20;
} // namespace

CLoginLoad::CLoginLoad()
    : epollFd(::epoll_create1(EPOLL_CLOEXEC))
{
}

CLoginLoad::~CLoginLoad()
{
    for (const Client &client : clients)
        ::close(client.fd);
    if (epollFd >= 0)
        ::close(epollFd);
}

bool CLoginLoad::connectClients(const std::vector<quint16> &ports, int count)
{
    if (epollFd < 0)
        return fail(errnoText("epoll"));
    clients.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return fail(errnoText("socket"));
        clients.push_back(Client { fd, QByteArray(), false });
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(ports[size_t(i) % ports.size()]);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            return fail(QStringLiteral("client %1: %2").arg(i).arg(errnoText("connect")));
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.u32 = quint32(i);
        if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) != 0)
            return fail(errnoText("epoll_ctl"));
    }
    return true;
}

bool CLoginLoad::run(int msec, int drainMsec, const NextRequest &next)
{
    for (Client &client : clients) {
        if (!send(client, next))
            return false;
    }
    QElapsedTimer clock;
    clock.start();
    bool counting = true;
    epoll_event events[MAX_EVENTS];
    for (;;) {
        const qint64 elapsed = clock.elapsed();
        if (counting && elapsed >= msec)
            counting = false;
        if (!counting) {
            if (std::none_of(
                    clients.begin(), clients.end(), [](const Client &c) { return c.waiting; }))
                return true;
            if (elapsed >= msec + drainMsec)
                return fail(
                    QStringLiteral("replies still missing %1 ms after the run").arg(drainMsec));
        }
        const qint64 left = (counting ? msec : msec + drainMsec) - elapsed;
        const int ready = ::epoll_wait(epollFd, events, MAX_EVENTS, int(qMax<qint64>(left, 0)));
        if (ready < 0 && errno != EINTR)
            return fail(errnoText("epoll_wait"));
        for (int i = 0; i < ready; ++i) {
            if (!receive(clients[events[i].data.u32], counting, counting ? &next : nullptr))
                return false;
        }
    }
}

bool CLoginLoad::exchange(const NextRequest &next, int msec, quint8 *result)
{
    if (clients.empty())
        return fail(QStringLiteral("no client connected"));
    Client &client = clients.front();
    if (!send(client, next))
        return false;
    QElapsedTimer clock;
    clock.start();
    while (client.waiting) {
        const qint64 left = msec - clock.elapsed();
        if (left <= 0)
            return fail(QStringLiteral("no reply within %1 ms").arg(msec));
        epoll_event event;
        const int ready = ::epoll_wait(epollFd, &event, 1, int(left));
        if (ready < 0 && errno != EINTR)
            return fail(errnoText("epoll_wait"));
        if (ready > 0 && !receive(clients[event.data.u32], false, nullptr))
            return false;
    }
    *result = client.lastResult;
    return true;
}

bool CLoginLoad::send(Client &client, const NextRequest &next)
{
    libsock::CProtoPacket packet;
    next(packet);
    const ssize_t size = packet.totalLength();
    // A request is a few dozen bytes and the socket's queue is empty: all of it goes at once.
    if (::send(client.fd, packet.data(), size_t(size), MSG_NOSIGNAL) != size)
        return fail(errnoText("send"));
    client.waiting = true;
    return true;
}

bool CLoginLoad::receive(Client &client, bool counting, const NextRequest *next)
{
    char buffer[4096];
    const ssize_t got = ::recv(client.fd, buffer, sizeof buffer, 0);
    if (got == 0)
        return fail(QStringLiteral("the server closed a client's connection"));
    if (got < 0)
        return errno == EAGAIN || errno == EINTR || fail(errnoText("recv"));
    client.in.append(buffer, int(got));
    while (client.in.size() >= libsock::PACKET_HEADER_SIZE) {
        const int body = qFromLittleEndian<quint16>(client.in.constData() + OFFSET_BODY_LENGTH);
        const int total = libsock::PACKET_HEADER_SIZE + body;
        if (client.in.size() < total)
            break;
        if (!client.waiting)
            return fail(QStringLiteral("a reply nobody asked for"));
        client.waiting = false;
        client.lastResult = body > 0 ? quint8(client.in.at(libsock::PACKET_HEADER_SIZE)) : 0xFF;
        if (counting) {
            if (body > 0 && quint8(client.in.at(libsock::PACKET_HEADER_SIZE)) == libsock::RESULT_OK)
                ++okCount;
            else
                ++refusedCount;
        }
        client.in.remove(0, total);
        if (next && !send(client, *next))
            return false;
    }
    return true;
}

bool CLoginLoad::fail(const QString &why)
{
    error = why;
    return false;
}
