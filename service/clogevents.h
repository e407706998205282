#ifndef CLOGEVENTS_H
#define CLOGEVENTS_H

#include <QByteArray>
#include <QVector>

class CLogRing;

// The live log as server-sent events, each line formatted once however many streams watch
// it: the streams read about the same lines at about the same time, so the newest events are
// kept in a row of bytes and each stream copies its part from there straight into the
// connection's buffer. One thread only (the HTTP port's).
class CLogEvents
{
public:
    // Events kept (about 100 bytes each); a stream further behind has its lines formatted for
    // it alone.
    static constexpr int KEPT = 16384;
    // Lines taken from the ring at a time.
    static constexpr int BATCH = 1000;

    // keep: how many events to keep at most.
    explicit CLogEvents(const CLogRing *ring, int keep = KEPT);

    // Copies the events of the lines after `after` into buffer, whole ones up to max bytes;
    // *last is then the number of the last line copied. 0 when there is nothing new, -1 when
    // those lines are no longer kept or the first event is longer than max: after() then.
    qsizetype copy(qint64 after, char *buffer, qsizetype max, qint64 *last);
    // The events of the lines after `after`, at least one line's when there is one; *last
    // is then the number of the last line in them. Empty when there is nothing new.
    QByteArray after(qint64 after, qint64 *last);

    // Appends one line's event to out: "id: <seq>", then "data: " and the line as JSON
    // {"seq","text","time"}.
    void format(QByteArray &out, qint64 seq, qint64 msecsSinceEpoch, const QString &text);

private:
    // Keeps the lines up to the newest, from after `after` on when nothing is kept yet or
    // the stream is ahead of what is.
    void catchUp(qint64 after);
    qsizetype endOf(qsizetype index) const
    {
        return index + 1 < starts.size() ? starts.at(index + 1) : events.size();
    }
    qint64 lastKept() const { return first + starts.size() - 1; }

    const CLogRing *ring = nullptr;
    int kept = KEPT;
    qint64 first = 1; // the number of the first line kept (or to be kept)
    QByteArray events; // the kept lines' events in a row
    QVector<qsizetype> starts; // where each kept line's event begins in events
    qint64 timeSecond = 0;
    QByteArray timeText; // timeSecond as ISO 8601 UTC
};

#endif // CLOGEVENTS_H
