#include "cuserpages.h"

#include <algorithm>

#include <QElapsedTimer>
#include <QMutexLocker>
#include <QSqlQuery>
#include <QVariant>

#include "cuserdbconnection.h"

namespace {

using UserPage = CUserDb::UserPage;

// Never-logged-in users count as the oldest: SQLite sorts NULL so by itself, PostgreSQL is
// told. Ties go by id, so the order is total and a page read from the other end holds the
// same users.
QString orderBy(const UserPage &page, bool descending, const QString &prefix)
{
    const QString dir = descending ? QStringLiteral(" desc") : QString();
    switch (page.sort) {
    case UserPage::ByName:
        return prefix + QStringLiteral("name") + dir + QStringLiteral(", ") + prefix
            + QStringLiteral("object_id") + dir;
    case UserPage::ByLastLogin:
        return QStringLiteral("last_login") + dir
            + (descending ? QStringLiteral(" nulls last") : QStringLiteral(" nulls first"))
            + QStringLiteral(", object_id") + dir;
    case UserPage::ById:
        break;
    }
    return prefix + QStringLiteral("object_id") + dir;
}

// The page's filter as a where clause. The pattern is bound; only fixed texts are put into
// the statements.
struct Filter
{
    QString where;
    QString pattern;
    // An id's text holds digits only: other filters need not look at ids.
    bool matchIds = false;

    Filter(const QString &filter, bool postgresql)
    {
        if (filter.isEmpty())
            return;
        QString escaped = filter.toLower();
        escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
            .replace(QLatin1Char('%'), QLatin1String("\\%"))
            .replace(QLatin1Char('_'), QLatin1String("\\_"));
        pattern = QLatin1Char('%') + escaped + QLatin1Char('%');
        matchIds = std::all_of(filter.cbegin(), filter.cend(),
            [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
        // SQLite's LIKE ignores the case of ASCII letters and compares others exactly, as
        // its lower() folds only ASCII: the same matches without a lower() of every name,
        // which took most of a page's time.
        where = postgresql ? QStringLiteral(" where lower(name) like ? escape '\\'")
                           : QStringLiteral(" where name like ? escape '\\'");
        if (matchIds)
            where += QStringLiteral(" or cast(object_id as text) like ? escape '\\'");
    }

    void bind(QSqlQuery &query) const
    {
        if (!where.isEmpty())
            query.addBindValue(pattern);
        if (matchIds)
            query.addBindValue(pattern);
    }
};

bool readRows(QSqlQuery &query, QVector<CUserDb::UserRow> &rows)
{
    if (!query.exec())
        return false;
    while (query.next()) {
        CUserDb::UserRow row;
        row.objectId = query.value(0).toInt();
        row.name = query.value(1).toString();
        if (!query.value(2).isNull())
            row.lastLogin = query.value(2).toString();
        rows.append(row);
    }
    query.finish();
    return true;
}

} // namespace

CUserPages::CUserPages()
    : now([] {
        static const QElapsedTimer timer = [] {
            QElapsedTimer t;
            t.start();
            return t;
        }();
        return timer.elapsed();
    })
{
}

bool CUserPages::keptCount(const QString &key, qint64 changesBefore, qint64 *total)
{
    QMutexLocker locker(&mutex);
    const auto it = counts.constFind(key);
    if (it == counts.cend() || it->changes != changesBefore || now() - it->at >= COUNT_KEPT_MS)
        return false;
    *total = it->total;
    return true;
}

void CUserPages::keepCount(const QString &key, qint64 changesBefore, qint64 total)
{
    QMutexLocker locker(&mutex);
    if (counts.size() >= COUNTS_KEPT && !counts.contains(key))
        counts.clear();
    counts.insert(key, Count { total, now(), changesBefore });
}

bool CUserPages::read(CUserDbConnection &conn, const CUserDb::UserPage &page,
    QVector<CUserDb::UserRow> &rows, qint64 *total)
{
    rows.clear();
    const Filter filter(page.filter, conn.postgresql);
    const qint64 changesBefore = changes.load();
    qint64 found = 0;
    if (!keptCount(filter.pattern, changesBefore, &found)) {
        QSqlQuery &count = conn.query(QStringLiteral("select count(*) from t_user") + filter.where);
        filter.bind(count);
        if (!count.exec() || !count.next())
            return false;
        found = count.value(0).toLongLong();
        count.finish();
        keepCount(filter.pattern, changesBefore, found);
    }
    *total = found;
    const qint64 offset = qMax(0, page.offset);
    const qint64 limit = qMin(qint64(qMax(0, page.limit)), found - offset);
    if (limit <= 0)
        return true;
    // A page past the middle is read from the other end: a database walks or sorts the
    // rows up to the page, so no page costs more than the middle one.
    const bool fromEnd = 2 * offset + limit > found;
    const qint64 skip = fromEnd ? found - offset - limit : offset;
    // A filter letting few users through: SQLite would walk the whole id or name index
    // in order, reading each row for the filter. Finding the matches in one pass over the
    // table and sorting them costs less. ("+" keeps SQLite from ordering by the index;
    // PostgreSQL chooses by its statistics.)
    QString prefix;
    if (!filter.where.isEmpty() && !conn.postgresql && page.sort != UserPage::ByLastLogin) {
        QSqlQuery &all = conn.query(QStringLiteral("select count(*) from t_user"));
        if (!all.exec() || !all.next())
            return false;
        if (2 * found < all.value(0).toLongLong())
            prefix = QStringLiteral("+");
        all.finish();
    }
    QSqlQuery &query = conn.query(QStringLiteral("select object_id, name, last_login from "
                                                 "t_user")
        + filter.where + QStringLiteral(" order by ")
        + orderBy(page, page.descending != fromEnd, prefix) + QStringLiteral(" limit ? offset ?"));
    filter.bind(query);
    query.addBindValue(limit);
    query.addBindValue(skip);
    if (!readRows(query, rows))
        return false;
    if (fromEnd)
        std::reverse(rows.begin(), rows.end());
    return true;
}
