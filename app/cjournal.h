#ifndef CJOURNAL_H
#define CJOURNAL_H

#include <QByteArray>
#include <QList>
#include <QString>

// The log lines as systemd's journal wants them, with the texts unchanged. Under systemd the
// service's stdout and stderr are journal streams (JOURNAL_STREAM names them); a line written
// there can carry its priority as a "<N>" prefix but no other field. The client's address is
// a field of its own (journalctl CLIENT_ADDRESS=192.0.2.7) rather than words appended to the
// design's texts, so lines go over journald's native socket when it takes them, and over
// the stream with the prefix when it does not. The admin commands leave their trail (users
// deleted, purged, passwords changed, saves restored) on the native socket under the same
// identifier as the service.
class CJournal
{
public:
    // syslog's priorities.
    enum Priority { Error = 3, Warning = 4, Notice = 5, Info = 6 };

    static constexpr const char *IDENTIFIER = "tolvern-server";

    // Whether fd is the journal stream systemd connected (JOURNAL_STREAM=device:inode).
    static bool isJournalStream(int fd);
    // The priority of one of the server's log lines, from its text.
    static int priorityOf(const QString &line);
    // "<N>text\n" for a journal stream.
    static QByteArray streamLine(int priority, const QByteArray &text);
    // The native protocol's fields of one line; clientAddress is left out when empty.
    static QList<QByteArray> fields(
        const QString &line, int priority, const QString &clientAddress);
    // Whether journald's native socket is there (sd_journal_send says nothing when it is not).
    static bool nativeAvailable();
    // Sends fields to journald; false when it refused them.
    static bool send(const QList<QByteArray> &fields);
    // One line of an admin command's trail; nothing happens without journald.
    static void record(const QString &line, int priority = Notice);
};

#endif // CJOURNAL_H
