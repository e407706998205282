#include "clogevents.h"

#include <algorithm>
#include <cstring>

#include <QDateTime>
#include <QVarLengthArray>

#include "clogring.h"

namespace {

// A literal without its terminating zero.
template<size_t N> void put(QByteArray &out, const char (&text)[N])
{
    out.append(text, qsizetype(N - 1));
}

} // namespace

CLogEvents::CLogEvents(const CLogRing *logRing, int keep)
    : ring(logRing)
    , kept(qMax(2, keep))
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
    char digits[24];
    char *end = digits + sizeof digits;
    char *number = end;
    for (quint64 n = quint64(qMax<qint64>(seq, 0)); number == end || n > 0; n /= 10)
        *--number = char('0' + n % 10);
    const qsizetype numberSize = end - number;
    put(out, "id: ");
    out.append(number, numberSize);
    put(out, "\ndata: {\"seq\":");
    out.append(number, numberSize);
    put(out, ",\"text\":\"");
    // Log lines are mostly ASCII: written through a buffer on the stack in one piece, others
    // through UTF-8.
    const bool ascii
        = std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; });
    const QByteArray utf8 = ascii ? QByteArray() : text.toUtf8();
    const qsizetype size = ascii ? text.size() : utf8.size();
    const QChar *chars = text.constData();
    QVarLengthArray<char, 512> escaped;
    for (qsizetype i = 0; i < size; ++i) {
        const char c = ascii ? char(chars[i].unicode()) : utf8.at(i);
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            escaped.append('\\');
            escaped.append(c);
        } else if (u >= 0x20) {
            escaped.append(c);
        } else {
            static const char hex[] = "0123456789abcdef";
            const char *named = c == '\n' ? "\\n"
                : c == '\r'               ? "\\r"
                : c == '\t'               ? "\\t"
                : c == '\b'               ? "\\b"
                : c == '\f'               ? "\\f"
                                          : nullptr;
            if (named) {
                escaped.append(named, 2);
            } else {
                const char code[] = { '\\', 'u', '0', '0', hex[u >> 4], hex[u & 15] };
                escaped.append(code, 6);
            }
        }
    }
    out.append(escaped.constData(), escaped.size());
    put(out, "\",\"time\":\"");
    out.append(timeText);
    put(out, "\"}\n\n");
}

void CLogEvents::catchUp(qint64 after)
{
    if (starts.isEmpty() || after > lastKept()) {
        events.clear();
        starts.clear();
        first = after + 1;
    }
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
    if (starts.size() > kept) {
        const int drop = int(starts.size()) - kept / 2;
        const qsizetype bytes = starts.at(drop);
        events.remove(0, bytes);
        starts.remove(0, drop);
        for (qsizetype &start : starts)
            start -= bytes;
        first += drop;
    }
}

qsizetype CLogEvents::copy(qint64 after, char *buffer, qsizetype max, qint64 *last)
{
    catchUp(after);
    if (after >= lastKept())
        return 0;
    if (after + 1 < first)
        return -1;
    const qsizetype from = after + 1 - first;
    const qsizetype begin = starts.at(from);
    if (endOf(from) - begin > max)
        return -1;
    // The last event that ends within max.
    const auto fits = std::upper_bound(starts.cbegin() + from + 1, starts.cend(), begin + max);
    qsizetype to = qsizetype(fits - starts.cbegin()) - 1;
    if (endOf(to) - begin > max)
        --to;
    const qsizetype size = endOf(to) - begin;
    std::memcpy(buffer, events.constData() + begin, size_t(size));
    *last = first + to;
    return size;
}

QByteArray CLogEvents::after(qint64 after, qint64 *last)
{
    catchUp(after);
    if (after + 1 >= first) {
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
