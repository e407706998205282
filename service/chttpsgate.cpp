#include "chttpsgate.h"

#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>

namespace {

constexpr char TLS_HANDSHAKE = 0x16; // the content type of a TLS record that opens a handshake

const char PLAIN_TEXT[] = "This port speaks HTTPS: use an https:// address.\n";

} // namespace

const QByteArray CHttpsGate::PLAIN_HTTP_ANSWER
    = QByteArrayLiteral("HTTP/1.1 400 Bad Request\r\n"
                        "Content-Type: text/plain; charset=utf-8\r\n"
                        "Connection: close\r\n"
                        "Content-Length: ")
    + QByteArray::number(qsizetype(sizeof(PLAIN_TEXT) - 1)) + "\r\n\r\n" + PLAIN_TEXT;

CHttpsGate::CHttpsGate(Hand handOver, QObject *parent)
    : QObject(parent)
    , hand(std::move(handOver))
{
}

CHttpsGate::~CHttpsGate()
{
    close();
}

bool CHttpsGate::listen(const sockaddr *address, socklen_t length, QString *errorText)
{
    listener = ::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    bool ok = listener >= 0
        && ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0
        && ::bind(listener, address, length) == 0 && ::listen(listener, SOMAXCONN) == 0;
    sockaddr_storage bound {};
    socklen_t boundLength = sizeof(bound);
    ok = ok && ::getsockname(listener, reinterpret_cast<sockaddr *>(&bound), &boundLength) == 0;
    if (!ok) {
        *errorText = QString::fromLocal8Bit(strerror(errno));
        if (listener >= 0)
            ::close(listener);
        listener = -1;
        return false;
    }
    boundPort = ntohs(bound.ss_family == AF_INET6
            ? reinterpret_cast<const sockaddr_in6 *>(&bound)->sin6_port
            : reinterpret_cast<const sockaddr_in *>(&bound)->sin_port);
    acceptNotifier = new QSocketNotifier(listener, QSocketNotifier::Read, this);
    connect(acceptNotifier, &QSocketNotifier::activated, this, &CHttpsGate::acceptAll);
    return true;
}

void CHttpsGate::close()
{
    delete acceptNotifier;
    acceptNotifier = nullptr;
    if (listener >= 0)
        ::close(listener);
    listener = -1;
    boundPort = 0;
    while (!held.isEmpty())
        drop(held.cbegin().key());
}

void CHttpsGate::acceptAll()
{
    for (;;) {
        Held entry;
        entry.length = sizeof(entry.address);
        const int socketfd = ::accept4(listener, reinterpret_cast<sockaddr *>(&entry.address),
            &entry.length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (socketfd < 0)
            return;
        // Connections that say nothing do not pile up, nor keep a newcomer (the operator) out:
        // the one held longest gives way.
        if (held.size() >= HOLD_LIMIT && !order.empty())
            drop(order.begin()->second);
        entry.order = ++accepted;
        order.emplace(entry.order, socketfd);
        entry.notifier = new QSocketNotifier(socketfd, QSocketNotifier::Read, this);
        connect(entry.notifier, &QSocketNotifier::activated, this,
            [this, socketfd] { examine(socketfd); });
        entry.timer = new QTimer(this);
        entry.timer->setSingleShot(true);
        connect(entry.timer, &QTimer::timeout, this, [this, socketfd] { drop(socketfd); });
        entry.timer->start(HOLD_MS);
        held.insert(socketfd, entry);
        // The first bytes often came with the connection.
        examine(socketfd);
    }
}

void CHttpsGate::examine(int socketfd)
{
    const auto found = held.find(socketfd);
    if (found == held.end())
        return;
    if (found->answered) {
        // The rest of a plain request, read so that closing does not reset the connection
        // before the client has read the answer.
        char rest[4096];
        const ssize_t got = ::recv(socketfd, rest, sizeof(rest), MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            drop(socketfd);
        return;
    }
    char first = 0;
    const ssize_t got = ::recv(socketfd, &first, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (got <= 0) {
        drop(socketfd);
        return;
    }
    if (first != TLS_HANDSHAKE) {
        answerPlain(socketfd, *found);
        return;
    }
    const Held entry = *found;
    held.erase(found);
    order.erase(entry.order);
    release(entry);
    hand(socketfd, reinterpret_cast<const sockaddr *>(&entry.address), entry.length);
}

void CHttpsGate::answerPlain(int socketfd, Held &entry)
{
    char request[4096];
    while (::recv(socketfd, request, sizeof(request), MSG_DONTWAIT) > 0) { }
    // A few hundred bytes fit any socket's send buffer: one call sends them.
    const ssize_t sent = ::send(
        socketfd, PLAIN_HTTP_ANSWER.constData(), size_t(PLAIN_HTTP_ANSWER.size()), MSG_NOSIGNAL);
    if (sent != PLAIN_HTTP_ANSWER.size()) {
        drop(socketfd);
        return;
    }
    ::shutdown(socketfd, SHUT_WR);
    entry.answered = true;
    entry.timer->start(LINGER_MS);
}

void CHttpsGate::drop(int socketfd)
{
    const auto found = held.find(socketfd);
    if (found == held.end())
        return;
    const Held entry = *found;
    held.erase(found);
    order.erase(entry.order);
    // Notifiers first: none may watch a descriptor that is closed.
    release(entry);
    ::close(socketfd);
}

void CHttpsGate::release(const Held &entry)
{
    // Later: either may be the sender of the signal that brought us here.
    entry.notifier->setEnabled(false);
    entry.notifier->deleteLater();
    entry.timer->stop();
    entry.timer->deleteLater();
}
