#ifndef CCONSOLELOG_H
#define CCONSOLELOG_H

#include <QByteArray>
#include <QObject>
#include <QString>

struct timespec;

// The headless log sink: one line per message on a file descriptor (stdout), stamped with
// the local time and its offset, 2026-12-07T10:58:31.123+00:00, and written at once, so a
// service manager keeps every line even when the process dies right after it.
class CConsoleLog : public QObject
{
    Q_OBJECT

public:
    explicit CConsoleLog(int fd, QObject *parent = nullptr);

    static QByteArray timeStamp(const timespec &now);

public slots:
    void writeLine(const QString &msg);

private:
    int fd = -1;
    QByteArray buffer;
    QByteArray stamp;
    qint64 stampMs = -1;
};

#endif // CCONSOLELOG_H
