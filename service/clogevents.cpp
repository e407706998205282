#include "clogevents.h"

#include <QDateTime>

#include "clogring.h"

CLogEvents::CLogEvents(const CLogRing *logRing)
    : ring(logRing)
{
}

QByteArray CLogEvents::format(qint64 seq, qint64 msecsSinceEpoch, const QString &text)
{
    // By hand, as QJsonDocument would write it (keys in its order): with a stream per
    // operator and a line per login, this runs as often as logins do. A second's text is
    // made once.
    const qint64 second = msecsSinceEpoch / 1000;
    if (second != timeSecond || timeText.isEmpty()) {
        timeSecond = second;
        timeText = QDateTime::fromSecsSinceEpoch(second, Qt::UTC).toString(Qt::ISODate).toLatin1();
    }
    const QByteArray number = QByteArray::number(seq);
    QByteArray out;
    out.reserve(48 + 2 * number.size() + timeText.size() + 3 * text.size());
    out += "id: " + number + "\ndata: {\"seq\":" + number + ",\"text\":\"";
    for (const char c : text.toUtf8()) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u >= 0x20) {
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\b') {
            out += "\\b";
        } else if (c == '\f') {
            out += "\\f";
        } else {
            static const char hex[] = "0123456789abcdef";
            out += "\\u00";
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    out += "\",\"time\":\"" + timeText + "\"}\n\n";
    return out;
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
