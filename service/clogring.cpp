#include "clogring.h"

#include <QDateTime>
#include <QMutexLocker>

CLogRing::CLogRing(int ringCapacity)
    : capacity(qMax(1, ringCapacity))
{
}

void CLogRing::append(const QString &text)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QMutexLocker locker(&mutex);
    ++last;
    Line line { last, now, text };
    if (lines.size() < capacity)
        lines.append(std::move(line));
    else
        lines[int((last - 1) % capacity)] = std::move(line);
}

QVector<CLogRing::Line> CLogRing::after(qint64 after, int max) const
{
    QVector<Line> out;
    QMutexLocker locker(&mutex);
    // Lines that fell out of the ring are gone: start at the oldest kept.
    const qint64 oldest = last - lines.size() + 1;
    qint64 seq = qMax(after + 1, oldest);
    if (after < 0)
        seq = oldest;
    out.reserve(int(qBound(qint64(0), last - seq + 1, qint64(max))));
    for (; seq <= last && out.size() < max; ++seq)
        out.append(lines.at(int((seq - 1) % capacity)));
    return out;
}

qint64 CLogRing::lastSeq() const
{
    QMutexLocker locker(&mutex);
    return last;
}
