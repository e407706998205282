#include "cconsolelog.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include <unistd.h>

#include "printabletext.h"

CConsoleLog::CConsoleLog(int fd, QObject *parent)
    : QObject(parent)
    , fd(fd)
{
}

QByteArray CConsoleLog::timeStamp(const timespec &now)
{
    tm local {};
    localtime_r(&now.tv_sec, &local);
    const long offset = local.tm_gmtoff;
    const long offsetMinutes = (offset < 0 ? -offset : offset) / 60;
    char text[64];
    const int n = std::snprintf(text, sizeof(text),
        "%04d-%02d-%02dT%02d:%02d:%02d.%03ld%c%02ld:%02ld", local.tm_year + 1900, local.tm_mon + 1,
        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, now.tv_nsec / 1000000,
        offset < 0 ? '-' : '+', offsetMinutes / 60, offsetMinutes % 60);
    return QByteArray(text, n);
}

void CConsoleLog::writeLine(const QString &msg)
{
    // The replies of one batch are logged within the same millisecond: one stamp for all.
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    const qint64 ms = qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    if (ms != stampMs) {
        stampMs = ms;
        stamp = timeStamp(now);
    }
    buffer = stamp;
    buffer += ' ';
    // Texts from clients arrive escaped already; this keeps every other line one line too.
    buffer += printableText(msg, -1).toUtf8();
    buffer += '\n';
    const char *data = buffer.constData();
    qsizetype left = buffer.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        // A closed log pipe must not stop the service; the line is lost.
        if (written <= 0)
            return;
        data += written;
        left -= written;
    }
}
