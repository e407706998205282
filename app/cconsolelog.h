#ifndef CCONSOLELOG_H
#define CCONSOLELOG_H

#include <functional>

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

struct timespec;

// The headless log sink: one line per message on a file descriptor (stdout), stamped with
// the local time and its offset, 2026-12-07T10:58:31.123+00:00, and written at once, so a
// service manager keeps every line even when the process dies right after it. When the
// descriptor is systemd's journal stream, journald stamps the lines itself: each goes to the
// journal with its priority and the client's address (CJournal), the text unchanged.
class CConsoleLog : public QObject
{
    Q_OBJECT

public:
    using JournalSender = std::function<bool(const QList<QByteArray> &fields)>;

    explicit CConsoleLog(int fd, QObject *parent = nullptr);

    static QByteArray timeStamp(const timespec &now);

    bool writesToJournal() const { return journal; }
    // How lines reach journald's native socket (CJournal::send); an empty sender, or one that
    // fails, leaves the "<N>" prefixed stream line. Tests stand in for journald here.
    void setJournalSender(const JournalSender &sender);

public slots:
    void writeLine(const QString &msg);
    // clientAddress: the client the line is about, empty for none.
    void writeEntry(const QString &msg, const QString &clientAddress);

private:
    void writeAll(const QByteArray &data);

    int fd = -1;
    bool journal = false;
    JournalSender journalSender;
    QByteArray buffer;
    QByteArray stamp;
    qint64 stampMs = -1;
};

#endif // CCONSOLELOG_H
