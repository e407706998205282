#ifndef CLOGRING_H
#define CLOGRING_H

#include <QList>
#include <QMutex>
#include <QString>
#include <QVector>

// The latest lines of the server's log, numbered from 1 in the order logged, for the HTTP
// port's /api/v1/log and its live stream. Fed on the core's thread, read on any: appending is
// a copy of a shared string and a time under a short lock.
class CLogRing
{
public:
    struct Line
    {
        qint64 seq = 0;
        qint64 msecsSinceEpoch = 0; // UTC
        QString text;
    };

    explicit CLogRing(int capacity = DEFAULT_CAPACITY);

    static constexpr int DEFAULT_CAPACITY = 10000;

    void append(const QString &text);
    // Up to max lines numbered above after, oldest first.
    QVector<Line> after(qint64 after, int max) const;
    // The number of the newest line; 0 before the first.
    qint64 lastSeq() const;

private:
    mutable QMutex mutex;
    QVector<Line> lines; // a ring: the line numbered seq sits at (seq - 1) % capacity
    int capacity;
    qint64 last = 0;
};

#endif // CLOGRING_H
