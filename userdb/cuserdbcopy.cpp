#include "cuserdbcopy.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>
#include <QVariantList>

#include "cuserdb.h"
#include "cuserdbschema.h"

namespace {

const QString FROM_CONNECTION = QStringLiteral("tolvern-copy-from");
const QString TO_CONNECTION = QStringLiteral("tolvern-copy-to");
// Rows per insert statement: one round trip each on PostgreSQL.
constexpr int ROWS_PER_INSERT = 500;

QString sqlError(const QSqlQuery &query)
{
    return query.lastError().text().simplified();
}

// Inserts rows of five values each in one statement; false with the database's text.
bool insertRows(QSqlDatabase &to, const QVariantList &values, int count, QString *errorText)
{
    if (count == 0)
        return true;
    QStringList rows;
    for (int i = 0; i < count; ++i)
        rows << QStringLiteral("(?, ?, ?, ?, ?)");
    QSqlQuery insert(to);
    insert.prepare(QStringLiteral("insert into t_user (object_id, name, password, is_enabled, "
                                  "last_login) values ")
        + rows.join(QStringLiteral(", ")));
    for (const QVariant &value : values)
        insert.addBindValue(value);
    const bool done = insert.exec();
    if (!done)
        *errorText = sqlError(insert);
    return done;
}

} // namespace

CUserDbCopy::CUserDbCopy(const CUserDbConfig &from, const CUserDbConfig &to)
    : source(from)
    , target(to)
{
}

bool CUserDbCopy::fail(const QString &text)
{
    error = text;
    return false;
}

bool CUserDbCopy::run()
{
    copied = 0;
    notEmpty = false;
    error.clear();
    if (source.key() == target.key())
        return fail(QStringLiteral("Source and target are the same database"));
    // Opening a missing SQLite file would create an empty one.
    if (!source.isPostgresql() && !QFileInfo::exists(source.sqliteFile()))
        return fail(QStringLiteral("No user database %1").arg(source.sqliteFile()));

    bool ok = false;
    {
        QSqlDatabase from = source.addConnection(FROM_CONNECTION);
        QSqlDatabase to = target.addConnection(TO_CONNECTION);
        if (!from.open())
            fail(QStringLiteral("Cannot open %1: %2")
                     .arg(source.displayText(), from.lastError().text().simplified()));
        else if (!to.open())
            fail(QStringLiteral("Cannot open %1: %2")
                     .arg(target.displayText(), to.lastError().text().simplified()));
        else
            ok = copyRows(from, to);
        from.close();
        to.close();
    }
    QSqlDatabase::removeDatabase(FROM_CONNECTION);
    QSqlDatabase::removeDatabase(TO_CONNECTION);
    if (!ok)
        copied = 0;
    return ok;
}

bool CUserDbCopy::copyRows(QSqlDatabase &from, QSqlDatabase &to)
{
    QString schemaError;
    if (!CUserDbSchema::ensure(to, nullptr, &schemaError))
        return fail(QStringLiteral("Cannot prepare %1: %2").arg(target.displayText(), schemaError));

    QSqlQuery read(from);
    read.setForwardOnly(true);
    // Every read of the source in one transaction: the users, and the id mark that must not
    // fall behind them, as of one moment while a server goes on adding users. (Closing the
    // connection ends it.)
    const bool fromPostgresql = from.driverName() == QLatin1String("QPSQL");
    if (!read.exec(fromPostgresql
                ? QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")
                : QStringLiteral("BEGIN")))
        return fail(QStringLiteral("Cannot read %1: %2").arg(source.displayText(), sqlError(read)));
    if (!read.exec(QStringLiteral("select count(*) from t_user")) || !read.next())
        return fail(QStringLiteral("Cannot read %1: %2").arg(source.displayText(), sqlError(read)));
    read.finish();

    QSqlQuery write(to);
    if (!write.exec(QStringLiteral("BEGIN")))
        return fail(
            QStringLiteral("Cannot write %1: %2").arg(target.displayText(), sqlError(write)));
    const auto abandon = [&](const QString &text) {
        QSqlQuery(to).exec(QStringLiteral("ROLLBACK"));
        return fail(text);
    };
    // Checked inside the transaction, so a server adding users meanwhile is not overwritten.
    if (!write.exec(QStringLiteral("select count(*) from t_user")) || !write.next())
        return abandon(
            QStringLiteral("Cannot read %1: %2").arg(target.displayText(), sqlError(write)));
    const qint64 present = write.value(0).toLongLong();
    write.finish();
    notEmpty = present > 0;
    if (notEmpty)
        return abandon(QStringLiteral("%1 already holds %2 users; nothing copied")
                           .arg(target.displayText())
                           .arg(present));

    if (!read.exec(QStringLiteral("select object_id, name, password, is_enabled, last_login from "
                                  "t_user order by object_id")))
        return abandon(
            QStringLiteral("Cannot read %1: %2").arg(source.displayText(), sqlError(read)));

    qint64 highest = 0;
    QString failure;
    if (!copyUsers(read, to, &highest, &failure))
        return abandon(failure);
    read.finish();

    // Ids of users deleted in the source stay used up in the target.
    if (read.exec(QStringLiteral("select last_id from t_user_seq")) && read.next())
        highest = qMax(highest, read.value(0).toLongLong());
    read.finish();
    QSqlQuery mark(to);
    mark.prepare(QStringLiteral("update t_user_seq set last_id = ?"));
    mark.addBindValue(highest);
    if (!mark.exec())
        return abandon(
            QStringLiteral("Cannot write %1: %2").arg(target.displayText(), sqlError(mark)));
    if (!write.exec(QStringLiteral("COMMIT")))
        return abandon(
            QStringLiteral("Cannot write %1: %2").arg(target.displayText(), sqlError(write)));
    return true;
}

bool CUserDbCopy::copyUsers(QSqlQuery &read, QSqlDatabase &to, qint64 *highest, QString *failure)
{
    QVariantList values;
    int pending = 0;
    const auto flush = [&] {
        const bool done = insertRows(to, values, pending, &error);
        values.clear();
        pending = 0;
        if (!done)
            *failure = QStringLiteral("Cannot write %1: %2").arg(target.displayText(), error);
        return done;
    };
    while (read.next()) {
        const qint64 id = read.value(0).toLongLong();
        *highest = qMax(*highest, id);
        values << int(id) << CUserDb::sqlText(read.value(1).toString())
               << CUserDb::sqlText(read.value(2).toString());
        const QString enabled = read.value(3).toString();
        values << (enabled.isEmpty() ? QStringLiteral("Y") : enabled);
        // Last logins keep the stored text; NULL stays NULL.
        values << (read.value(4).isNull() ? QVariant(QMetaType::fromType<QString>())
                                          : QVariant(read.value(4).toString()));
        ++copied;
        if (++pending == ROWS_PER_INSERT && !flush())
            return false;
    }
    if (read.lastError().isValid()) {
        *failure = QStringLiteral("Cannot read %1: %2").arg(source.displayText(), sqlError(read));
        return false;
    }
    return flush();
}
