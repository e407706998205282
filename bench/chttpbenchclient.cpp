#include "chttpbenchclient.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QList>

#include "benchutil.h"

CHttpBenchClient::~CHttpBenchClient()
{
    close();
}

bool CHttpBenchClient::connectTo(quint16 port)
{
    close();
    socketFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socketFd < 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socketFd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        return fail(
            QStringLiteral("connect: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    // A request is one write; waiting for more of it would only add latency.
    const int on = 1;
    ::setsockopt(socketFd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}

void CHttpBenchClient::close()
{
    if (socketFd >= 0)
        ::close(socketFd);
    socketFd = -1;
    in.clear();
}

bool CHttpBenchClient::fail(const QString &why)
{
    error = why;
    close();
    return false;
}

bool CHttpBenchClient::send(const QByteArray &request)
{
    return benchutil::sendAll(socketFd, request) || fail(QStringLiteral("send failed"));
}

bool CHttpBenchClient::fill(qsizetype size)
{
    char buffer[65536];
    while (in.size() < size) {
        const ssize_t n = ::recv(socketFd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail(QStringLiteral("the server closed the connection"));
        in.append(buffer, n);
    }
    return true;
}

bool CHttpBenchClient::readLine(QByteArray *line)
{
    qsizetype end;
    while ((end = in.indexOf("\r\n")) < 0) {
        if (!fill(in.size() + 1))
            return false;
    }
    *line = in.left(end);
    in.remove(0, end + 2);
    return true;
}

bool CHttpBenchClient::readHead(int *status, qint64 *length, bool *chunked)
{
    QByteArray line;
    if (!readLine(&line))
        return false;
    const QList<QByteArray> words = line.split(' ');
    *status = words.size() > 1 ? words.at(1).toInt() : 0;
    if (*status == 0)
        return fail(QStringLiteral("not an HTTP answer: %1").arg(QString::fromLatin1(line)));
    *length = -1;
    *chunked = false;
    while (readLine(&line) && !line.isEmpty()) {
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length")
            *length = value.toLongLong();
        else if (name == "transfer-encoding")
            *chunked = value.toLower().contains("chunked");
    }
    return socketFd >= 0;
}

bool CHttpBenchClient::get(
    const QByteArray &path, const QByteArray &token, int *status, QByteArray *body)
{
    QByteArray request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!token.isEmpty())
        request += "Authorization: Bearer " + token + "\r\n";
    request += "\r\n";
    qint64 length = 0;
    bool chunked = false;
    if (!send(request) || !readHead(status, &length, &chunked))
        return false;
    body->clear();
    if (!chunked) {
        if (length < 0)
            return fail(QStringLiteral("an answer without a length"));
        if (!fill(length))
            return false;
        *body = in.left(length);
        in.remove(0, length);
        return true;
    }
    for (;;) {
        QByteArray line;
        if (!readLine(&line))
            return false;
        bool ok = false;
        const qint64 size = line.split(';').first().trimmed().toLongLong(&ok, 16);
        if (!ok)
            return fail(QStringLiteral("a bad chunk"));
        if (!fill(size + 2))
            return false;
        body->append(in.constData(), size);
        in.remove(0, size + 2);
        if (size == 0)
            return true;
    }
}

bool CHttpBenchClient::openStream(const QByteArray &path, const QByteArray &token)
{
    int status = 0;
    qint64 length = 0;
    bool chunked = false;
    if (!send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + token
            + "\r\n\r\n")
        || !readHead(&status, &length, &chunked))
        return false;
    in.clear();
    return status == 200 || fail(QStringLiteral("the stream answered %1").arg(status));
}

qint64 CHttpBenchClient::drain()
{
    char buffer[65536];
    qint64 total = 0;
    for (;;) {
        const ssize_t n = ::recv(socketFd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            total += n;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return total;
        return -1;
    }
}
