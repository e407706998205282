#include "cjournal.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <systemd/sd-journal.h>

#include <QRegularExpression>
#include <QVarLengthArray>

#include "printabletext.h"

bool CJournal::isJournalStream(int fd)
{
    // sd-daemon: compare the variable's device and inode with the descriptor's.
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const int colon = stream.indexOf(':');
    if (colon <= 0)
        return false;
    bool deviceOk = false;
    bool inodeOk = false;
    const qulonglong device = stream.left(colon).toULongLong(&deviceOk);
    const qulonglong inode = stream.mid(colon + 1).toULongLong(&inodeOk);
    struct stat info
    {
    };
    return deviceOk && inodeOk && ::fstat(fd, &info) == 0 && qulonglong(info.st_dev) == device
        && qulonglong(info.st_ino) == inode;
}

int CJournal::priorityOf(const QString &line)
{
    // The control commands' lines: the result says it; the name is the client's text.
    static const QRegularExpression command(
        QStringLiteral(R"(^\[(ADD_USER|LOGIN|CHANGE_PASS)\] .*, result=(\d+)$)"),
        QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = command.match(line);
    if (match.hasMatch()) {
        const bool failed = match.captured(2) != QLatin1String("0");
        // A taken name is an answer, not a fault; a failed login or password change is news.
        return failed && match.captured(1) != QLatin1String("ADD_USER") ? Notice : Info;
    }
    // Lines that start with a client's text are judged by the design's words after it.
    if (line.endsWith(QLatin1String(" request transfer savedat")))
        return Info;
    static const QRegularExpression transfer(
        QStringLiteral(R"(^(Download|Upload) .* (refused|failed)[:;])"),
        QRegularExpression::DotMatchesEverythingOption);
    if (transfer.match(line).hasMatch())
        return Warning;
    if (line.startsWith(QLatin1String("Download ")) || line.startsWith(QLatin1String("Upload ")))
        return Info;
    static const char *const errors[] = { "server listen failed", "server listen  failed",
        "TLS cannot start", "User database unreachable", "User database commit failed" };
    for (const char *text : errors) {
        if (line.contains(QLatin1String(text)))
            return Error;
    }
    static const char *const warnings[]
        = { "refused", "failed", "locked", "cannot", "could not", "stopped" };
    for (const char *text : warnings) {
        if (line.contains(QLatin1String(text)))
            return Warning;
    }
    return Info;
}

QByteArray CJournal::streamLine(int priority, const QByteArray &text)
{
    return '<' + QByteArray::number(priority) + '>' + text + '\n';
}

QList<QByteArray> CJournal::fields(const QString &line, int priority, const QString &clientAddress)
{
    QList<QByteArray> result {
        "MESSAGE=" + printableText(line, -1).toUtf8(),
        "PRIORITY=" + QByteArray::number(priority),
        QByteArray("SYSLOG_IDENTIFIER=") + IDENTIFIER,
    };
    if (!clientAddress.isEmpty())
        result << "CLIENT_ADDRESS=" + clientAddress.toUtf8();
    return result;
}

bool CJournal::nativeAvailable()
{
    return ::access("/run/systemd/journal/socket", W_OK) == 0;
}

bool CJournal::send(const QList<QByteArray> &fields)
{
    QVarLengthArray<iovec, 8> vector;
    for (const QByteArray &field : fields)
        vector.append({ const_cast<char *>(field.constData()), size_t(field.size()) });
    return sd_journal_sendv(vector.data(), int(vector.size())) == 0;
}

void CJournal::record(const QString &line, int priority)
{
    if (nativeAvailable())
        send(fields(line, priority, QString()));
}
