#include "cconsolelog.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include <unistd.h>

#include "cjournal.h"
#include "printabletext.h"

CConsoleLog::CConsoleLog(int fd, QObject *parent)
    : QObject(parent)
    , fd(fd)
    , journal(CJournal::isJournalStream(fd))
{
    if (journal && CJournal::nativeAvailable())
        journalSender = &CJournal::send;
}

void CConsoleLog::setJournalSender(const JournalSender &sender)
{
    journalSender = sender;
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
    writeEntry(msg, QString());
}

void CConsoleLog::writeEntry(const QString &msg, const QString &clientAddress)
{
    if (journal) {
        const int priority = CJournal::priorityOf(msg);
        if (journalSender && journalSender(CJournal::fields(msg, priority, clientAddress)))
            return;
        // No native socket (or it refused): the stream keeps the priority at least, and the
        // next lines do not try the socket again.
        journalSender = nullptr;
        writeAll(CJournal::streamLine(priority, printableText(msg, -1).toUtf8()));
        return;
    }
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
    writeAll(buffer);
}

void CConsoleLog::writeAll(const QByteArray &data)
{
    const char *next = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, next, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        // A closed log pipe must not stop the service; the line is lost.
        if (written <= 0)
            return;
        next += written;
        left -= written;
    }
}
