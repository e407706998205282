#include "cpurgeload.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

#include "cuserdb.h"

bool CPurgeLoad::addInactiveUsers(QSqlDatabase &db, int count, QString *error)
{
    QSqlQuery query(db);
    bool ok = db.transaction();
    ok = ok
        && query.exec(QStringLiteral("update t_user set last_login = '%1'")
                          .arg(CUserDb::dateTimeText(QDateTime::currentDateTime())));
    // After every id handed out so far, deleted users' included.
    ok = ok
        && query.exec(QStringLiteral("select coalesce(max(object_id), 0), "
                                     "(select max(last_id) from t_user_seq) from t_user"))
        && query.next();
    const int first = ok ? qMax(query.value(0).toInt(), query.value(1).toInt()) + 1 : 0;
    query.finish();
    constexpr int rowsPerInsert = 500;
    for (int id = first; ok && id < first + count; id += rowsPerInsert) {
        const int last = qMin(first + count - 1, id + rowsPerInsert - 1);
        QStringList rows;
        for (int i = id; i <= last; ++i)
            rows << QStringLiteral("(%1, 'purge%1', 'pw', 'Y')").arg(i);
        ok = query.exec(
            QStringLiteral("insert into t_user (object_id, name, password, is_enabled) values ")
            + rows.join(QStringLiteral(", ")));
    }
    ok = ok
        && query.exec(QStringLiteral("update t_user_seq set last_id = %1").arg(first + count - 1));
    if (!ok && error)
        *error = query.lastError().text();
    return db.commit() && ok;
}

CPurgeLoad::CPurgeLoad(const QString &program, const QString &config, const QString &workDir)
{
    process.setProgram(program);
    process.setArguments({ QStringLiteral("users"), QStringLiteral("purge"),
        QStringLiteral("--inactive"), QStringLiteral("3m"), QStringLiteral("--config"), config,
        QStringLiteral("--workdir"), workDir });
    process.setProcessChannelMode(QProcess::SeparateChannels);
}

void CPurgeLoad::start()
{
    process.start();
}

bool CPurgeLoad::running()
{
    // Polled between round trips: a zero wait lets QProcess notice the end.
    return process.state() != QProcess::NotRunning && !process.waitForFinished(0);
}

bool CPurgeLoad::finish(int expected)
{
    // waitForFinished() is false for a process that ended already.
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(600000)) {
        error = QStringLiteral("the purge did not end");
        process.kill();
        return false;
    }
    const QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0
        || !out.contains(QString::number(expected))) {
        error = QStringLiteral("purge exit %1: %2 %3")
                    .arg(process.exitCode())
                    .arg(out.trimmed(), err.trimmed().right(300));
        return false;
    }
    return true;
}
