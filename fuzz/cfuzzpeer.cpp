#include "cfuzzpeer.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractSocket>
#include <QCoreApplication>

namespace {

constexpr int MAX_QUIET_ROUNDS = 50;

} // namespace

CFuzzPeer::CFuzzPeer(QAbstractSocket &conn)
    : socket(conn)
{
    int fds[2] = { -1, -1 };
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    if (!socket.setSocketDescriptor(fds[0])) {
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    peer = fds[1];
    ::fcntl(peer, F_SETFL, ::fcntl(peer, F_GETFL) | O_NONBLOCK);
}

CFuzzPeer::~CFuzzPeer()
{
    if (peer >= 0)
        ::close(peer);
}

void CFuzzPeer::drain()
{
    char sink[65536];
    while (::recv(peer, sink, sizeof sink, 0) > 0) { }
}

void CFuzzPeer::settle(int rounds)
{
    for (int i = 0; i < rounds; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        drain();
    }
}

void CFuzzPeer::feed(const uint8_t *data, size_t size)
{
    if (peer < 0)
        return;
    int quiet = 0;
    while (size > 0 && quiet < MAX_QUIET_ROUNDS) {
        const ssize_t n = ::send(peer, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= size_t(n);
            quiet = 0;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            break; // the connection ended itself
        } else {
            ++quiet;
        }
        settle(1);
    }
    ::shutdown(peer, SHUT_WR);
    for (quiet = 0; quiet < MAX_QUIET_ROUNDS; ++quiet) {
        if (socket.state() == QAbstractSocket::UnconnectedState)
            break;
        settle(1);
    }
    settle(2);
}
