#include "cplaincopy.h"

#include <cerrno>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <QFile>
#include <QSaveFile>

namespace {

constexpr qint64 CHUNK = 1024 * 1024;
// A helper nobody connects to must not linger.
constexpr int ACCEPT_TIMEOUT_S = 60;

sockaddr_in loopback(quint16 port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

void setTimeouts(int fd, int seconds)
{
    timeval limit {};
    limit.tv_sec = seconds;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

} // namespace

int CPlainCopy::listenLoopback(quint16 &port)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        return -1;
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(listener, 1) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(listener);
        return -1;
    }
    port = ntohs(address.sin_port);
    setTimeouts(listener, ACCEPT_TIMEOUT_S);
    return listener;
}

int CPlainCopy::acceptOne(int listener)
{
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    if (fd >= 0)
        setTimeouts(fd, ACCEPT_TIMEOUT_S);
    return fd;
}

int CPlainCopy::connectLoopback(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    setTimeouts(fd, ACCEPT_TIMEOUT_S);
    return fd;
}

bool CPlainCopy::sendAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        size -= sent;
    }
    return true;
}

bool CPlainCopy::sendFile(int fd, const QString &file, qint64 &bytes)
{
    QFile source(file);
    if (!source.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    std::vector<char> buffer(CHUNK);
    bytes = 0;
    for (;;) {
        const qint64 n = source.read(buffer.data(), CHUNK);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!sendAll(fd, buffer.data(), n))
            return false;
        bytes += n;
    }
}

bool CPlainCopy::receiveFile(int fd, const QString &file, qint64 &bytes)
{
    QSaveFile sink(file);
    if (!sink.open(QIODevice::WriteOnly))
        return false;
    std::vector<char> buffer(CHUNK);
    bytes = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return sink.commit();
        if (sink.write(buffer.data(), n) != n)
            return false;
        bytes += n;
    }
}

int CPlainCopy::serveSend(const QString &file)
{
    quint16 port = 0;
    const int listener = listenLoopback(port);
    if (listener < 0)
        return 1;
    std::printf("%u\n", unsigned(port));
    std::fflush(stdout);
    const int fd = acceptOne(listener);
    if (fd < 0)
        return 1;
    qint64 bytes = 0;
    const bool ok = sendFile(fd, file, bytes);
    ::shutdown(fd, SHUT_WR);
    // Wait for the reader's close, so no byte is cut off by ours.
    char drain[256];
    while (::recv(fd, drain, sizeof drain, 0) > 0) { }
    ::close(fd);
    return ok ? 0 : 1;
}

int CPlainCopy::serveReceive(const QString &file)
{
    quint16 port = 0;
    const int listener = listenLoopback(port);
    if (listener < 0)
        return 1;
    std::printf("%u\n", unsigned(port));
    std::fflush(stdout);
    const int fd = acceptOne(listener);
    if (fd < 0)
        return 1;
    qint64 bytes = 0;
    const bool ok = receiveFile(fd, file, bytes);
    ::close(fd);
    return ok ? 0 : 1;
}

bool CPlainCopy::receiveFrom(quint16 port, const QString &file, qint64 &bytes)
{
    const int fd = connectLoopback(port);
    if (fd < 0)
        return false;
    const bool ok = receiveFile(fd, file, bytes);
    ::close(fd);
    return ok;
}

bool CPlainCopy::sendTo(quint16 port, const QString &file, qint64 &bytes)
{
    const int fd = connectLoopback(port);
    if (fd < 0)
        return false;
    bool ok = sendFile(fd, file, bytes);
    ::shutdown(fd, SHUT_WR);
    // The receiver closes once its file is committed; that ends the copy.
    char drain[256];
    ssize_t n = 0;
    while ((n = ::recv(fd, drain, sizeof drain, 0)) > 0) { }
    ok = ok && n == 0;
    ::close(fd);
    return ok;
}
