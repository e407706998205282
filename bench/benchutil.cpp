#include "benchutil.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QList>

#include "cfileframeheader.h"
#include "cprotopacket.h"

namespace benchutil {

void pause(int msec)
{
    QEventLoop loop;
    QTimer::singleShot(msec, &loop, &QEventLoop::quit);
    loop.exec();
}

double statSeconds(const QString &path)
{
    QFile stat(path);
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which may hold blanks, start past the last ')'.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong())
        / double(sysconf(_SC_CLK_TCK));
}

double processSeconds(qint64 pid)
{
    return statSeconds(
        pid ? QStringLiteral("/proc/%1/stat").arg(pid) : QStringLiteral("/proc/self/stat"));
}

double mib(double bytes)
{
    return bytes / (1024.0 * 1024.0);
}

QString ms(qint64 nanoseconds)
{
    return QString::number(double(nanoseconds) / 1e6, 'f', 2);
}

qint64 percentile(const std::vector<qint64> &sorted, double fraction)
{
    if (sorted.empty())
        return 0;
    const size_t rank = size_t(std::ceil(fraction * double(sorted.size())));
    return sorted.at(std::clamp<size_t>(rank, 1, sorted.size()) - 1);
}

bool sendAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t sent = ::send(fd, data, size_t(left), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        left -= sent;
    }
    return true;
}

bool receiveExactly(int fd, char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t got = ::recv(fd, data, size_t(size), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        data += got;
        size -= got;
    }
    return true;
}

QByteArray controlFrame(const libsock::CProtoPacket &packet)
{
    libsock::CFileFrameHeader header;
    header.setType(libsock::FRAME_CONTROL);
    header.setLength(packet.totalLength());
    return header.bytes + QByteArray(packet.data(), packet.totalLength());
}

} // namespace benchutil
