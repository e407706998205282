#include "cblockingsocket.h"

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <QtEndian>

CBlockingSocket::CBlockingSocket(quint16 port, int timeoutSeconds)
    : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    const timeval wait { timeoutSeconds, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof(wait));
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        ::close(fd);
        fd = -1;
    }
}

CBlockingSocket::~CBlockingSocket()
{
    if (fd >= 0)
        ::close(fd);
}

bool CBlockingSocket::send(const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n
            = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n <= 0) {
            sendErrno = errno;
            return false;
        }
        done += n;
    }
    return true;
}

QByteArray CBlockingSocket::receive(qsizetype count)
{
    QByteArray out(count, '\0');
    for (qsizetype done = 0; done < count;) {
        const ssize_t n = ::recv(fd, out.data() + done, size_t(count - done), 0);
        if (n < 0)
            recvErrno = errno;
        if (n <= 0)
            return out.left(done);
        done += n;
    }
    return out;
}

QPair<int, QByteArray> CBlockingSocket::frame()
{
    const QByteArray header = receive(6);
    if (header.size() != 6)
        return { -1, {} };
    return { quint8(header[1]), receive(qFromBigEndian<quint32>(header.constData() + 2)) };
}

QByteArray CBlockingSocket::reply()
{
    const QByteArray header = receive(22);
    if (header.size() != 22)
        return {};
    return receive(qFromLittleEndian<quint16>(header.constData() + 20));
}

QString CBlockingSocket::ending()
{
    if (sendErrno == ECONNRESET || sendErrno == EPIPE || recvErrno == ECONNRESET)
        return QStringLiteral("reset");
    char byte;
    for (;;) {
        const ssize_t n = ::recv(fd, &byte, 1, 0);
        if (n == 0)
            return QStringLiteral("close");
        if (n < 0)
            return errno == ECONNRESET ? QStringLiteral("reset") : QStringLiteral("timeout");
    }
}
