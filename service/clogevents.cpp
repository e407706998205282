#include "clogevents.h"

#include <algorithm>
#include <cstdio>

#include <QDateTime>

#include "clogring.h"

namespace {

// A literal without its terminating zero.
template<size_t N> void put(QByteArray &out, const char (&text)[N])
{
    out.append(text, qsizetype(N - 1));
}

} // namespace

CLogEvents::CLogEvents(const CLogRing *logRing)
    : ring(logRing)
{
}

void CLogEvents::format(QByteArray &out, qint64 seq, qint64 msecsSinceEpoch, const QString &text)
{
    // By hand, as QJsonDocument would write it (keys in its order), straight onto the end of
    // out: with a stream per operator and a line per login, this runs as often as logins do.
    // A second's text is made once.
    const qint64 second = msecsSinceEpoch / 1000;
    if (second != timeSecond || timeText.isEmpty()) {
        timeSecond = second;
        timeText = QDateTime::fromSecsSinceEpoch(second, Qt::UTC).toString(Qt::ISODate).toLatin1();
    }
    char number[24];
    const int digits = std::snprintf(number, sizeof number, "%lld", static_cast<long long>(seq));
    put(out, "id: ");
    out.append(number, digits);
    put(out, "\ndata: {\"seq\":");
    out.append(number, digits);
    put(out, ",\"text\":\"");
    // Log lines are mostly ASCII: those are written char by char, others through UTF-8.
    const bool ascii
        = std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; });
    const QByteArray utf8 = ascii ? QByteArray() : text.toUtf8();
    const qsizetype size = ascii ? text.size() : utf8.size();
    const QChar *chars = text.constData();
    for (qsizetype i = 0; i < size; ++i) {
        const char c = ascii ? char(chars[i].unicode()) : utf8.at(i);
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u >= 0x20) {
            out += c;
        } else if (c == '\n') {
            put(out, "\\n");
        } else if (c == '\r') {
            put(out, "\\r");
        } else if (c == '\t') {
            put(out, "\\t");
        } else if (c == '\b') {
            put(out, "\\b");
        } else if (c == '\f') {
            put(out, "\\f");
        } else {
            static const char hex[] = "0123456789abcdef";
            const char escaped[] = { '\\', 'u', '0', '0', hex[u >> 4], hex[u & 15] };
            out.append(escaped, 6);
        }
    }
    put(out, "\",\"time\":\"");
    out.append(timeText);
    put(out, "\"}\n\n");
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
        format(events, line.seq, line.msecsSinceEpoch, line.text);
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
        format(out, line.seq, line.msecsSinceEpoch, line.text);
    if (!lines.isEmpty())
        *last = lines.last().seq;
    return out;
}
