#include "clogevents.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include "clogring.h"

CLogEvents::CLogEvents(const CLogRing *logRing)
    : ring(logRing)
{
}

QByteArray CLogEvents::format(qint64 seq, qint64 msecsSinceEpoch, const QString &text)
{
    const QJsonObject object { { QStringLiteral("seq"), double(seq) },
        { QStringLiteral("time"),
            QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch, Qt::UTC).toString(Qt::ISODate) },
        { QStringLiteral("text"), text } };
    return "id: " + QByteArray::number(seq)
        + "\ndata: " + QJsonDocument(object).toJson(QJsonDocument::Compact) + "\n\n";
}

void CLogEvents::catchUp()
{
    const QVector<CLogRing::Line> lines = ring->after(lastKept(), BATCH);
    if (lines.isEmpty())
        return;
    // Lines that fell out of the ring unread leave a gap: start again after it.
    if (lines.first().seq != lastKept() + 1) {
        events.clear();
        starts.clear();
        first = lines.first().seq;
    }
    for (const CLogRing::Line &line : lines) {
        starts.append(events.size());
        events += format(line.seq, line.msecsSinceEpoch, line.text);
    }
    if (starts.size() > KEPT) {
        const int drop = int(starts.size()) - KEPT / 2;
        const qsizetype bytes = starts.at(drop);
        events.remove(0, bytes);
        starts.remove(0, drop);
        for (qsizetype &start : starts)
            start -= bytes;
        first += drop;
    }
}

QByteArray CLogEvents::after(qint64 after, qint64 *last)
{
    // Nothing kept yet, or a stream ahead of what is: keep from where it reads.
    if (starts.isEmpty() || after > lastKept()) {
        events.clear();
        starts.clear();
        first = after + 1;
    }
    catchUp();
    if (!starts.isEmpty() && after + 1 >= first) {
        if (after >= lastKept())
            return QByteArray();
        *last = lastKept();
        return events.mid(starts.at(after + 1 - first));
    }
    // Behind what is kept (a stream resumed from long ago): its own lines.
    const QVector<CLogRing::Line> lines = ring->after(after, BATCH);
    QByteArray out;
    for (const CLogRing::Line &line : lines)
        out += format(line.seq, line.msecsSinceEpoch, line.text);
    if (!lines.isEmpty())
        *last = lines.last().seq;
    return out;
}
