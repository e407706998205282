#ifndef CUSERPAGES_H
#define CUSERPAGES_H

#include <atomic>
#include <functional>

#include <QHash>
#include <QMutex>
#include <QString>
#include <QVector>

#include "cuserdb.h"

class CUserDbConnection;

// Pages of the users for the operator's views, which never hold them all. A filter is a
// substring, which no index serves: counting its users reads every row, so the count of a
// filter is kept for a few seconds while the operator pages through it. Users added or
// deleted by this process count again at once (rowsChanged); another program's (an admin
// command, a second server on the database) show within COUNT_KEPT_MS. The rows of a page are
// always read afresh.
class CUserPages
{
public:
    static constexpr qint64 COUNT_KEPT_MS = 5000;
    // Filters whose counts are kept at a time.
    static constexpr int COUNTS_KEPT = 64;

    using Clock = std::function<qint64()>;

    CUserPages();

    bool read(CUserDbConnection &conn, const CUserDb::UserPage &page,
        QVector<CUserDb::UserRow> &rows, qint64 *total);
    // Users were added or deleted: no count kept so far holds.
    void rowsChanged() { ++changes; }
    // Milliseconds, never going back; tests advance one by hand.
    void setClock(Clock clock) { now = std::move(clock); }

private:
    struct Count
    {
        qint64 total = 0;
        qint64 at = 0;
        qint64 changes = 0;
    };

    bool keptCount(const QString &key, qint64 changesBefore, qint64 *total);
    void keepCount(const QString &key, qint64 changesBefore, qint64 total);

    Clock now;
    std::atomic<qint64> changes { 0 };
    QMutex mutex;
    QHash<QString, Count> counts; // guarded by mutex
};

#endif // CUSERPAGES_H
