#include "cdatabasesnapshot.h"

#include <sqlite3.h>

#include <QFile>
#include <QFileInfo>
#include <QThread>

#include "cuserdbconfig.h"
#include "cuserdbcopy.h"

namespace {

// Rounds of waiting out a writer that holds SQLite's locks (each after the busy timeout).
constexpr int BUSY_ROUNDS = 20;

QString sqliteError(sqlite3 *db)
{
    return QString::fromUtf8(db ? sqlite3_errmsg(db) : "out of memory");
}

struct Handle
{
    sqlite3 *db = nullptr;
    ~Handle() { sqlite3_close_v2(db); }
};

} // namespace

bool CDatabaseSnapshot::take(
    const CUserDbConfig &source, const QString &targetFile, qint64 *userCount, QString *errorText)
{
    if (QFileInfo::exists(targetFile)) {
        *errorText = QStringLiteral("%1 already exists").arg(targetFile);
        return false;
    }
    if (!source.isPostgresql())
        return takeSqlite(source.sqliteFile(), targetFile, userCount, errorText);

    CUserDbCopy copy(source, CUserDbConfig::sqlite(targetFile));
    if (!copy.run()) {
        *errorText = copy.errorText();
        QFile::remove(targetFile);
        return false;
    }
    *userCount = copy.copiedCount();
    return true;
}

bool CDatabaseSnapshot::takeSqlite(
    const QString &sourceFile, const QString &targetFile, qint64 *userCount, QString *errorText)
{
    const auto fail = [&](const QString &text) {
        *errorText = text;
        QFile::remove(targetFile);
        return false;
    };
    if (!QFileInfo(sourceFile).isFile())
        return fail(
            QStringLiteral("no user database at %1").arg(QFileInfo(sourceFile).absoluteFilePath()));
    Handle from;
    const QByteArray sourceName = QFile::encodeName(sourceFile);
    // Read-write only to share the write-ahead log's index with a running server; nothing
    // is written. Without write access the file is read as it is.
    if (sqlite3_open_v2(sourceName.constData(), &from.db, SQLITE_OPEN_READWRITE, nullptr)
        != SQLITE_OK) {
        sqlite3_close_v2(from.db);
        from.db = nullptr;
        if (sqlite3_open_v2(sourceName.constData(), &from.db, SQLITE_OPEN_READONLY, nullptr)
            != SQLITE_OK)
            return fail(QStringLiteral("cannot open %1: %2").arg(sourceFile, sqliteError(from.db)));
    }
    sqlite3_busy_timeout(from.db, 5000);

    Handle to;
    CUserDbConfig::sqlite(targetFile).createSqliteFile();
    if (sqlite3_open_v2(QFile::encodeName(targetFile).constData(), &to.db,
            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr)
        != SQLITE_OK)
        return fail(QStringLiteral("cannot create %1: %2").arg(targetFile, sqliteError(to.db)));

    sqlite3_backup *backup = sqlite3_backup_init(to.db, "main", from.db, "main");
    if (!backup)
        return fail(QStringLiteral("cannot copy %1: %2").arg(sourceFile, sqliteError(to.db)));
    // All pages in one step: one read transaction, so one moment of the database.
    int rc = SQLITE_BUSY;
    for (int round = 0; round < BUSY_ROUNDS; ++round) {
        rc = sqlite3_backup_step(backup, -1);
        if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED)
            break;
        QThread::msleep(50);
    }
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE)
        return fail(QStringLiteral("cannot copy %1: %2").arg(sourceFile, sqliteError(to.db)));

    // One self-contained file: no write-ahead log beside it.
    sqlite3_stmt *statement = nullptr;
    bool ok
        = sqlite3_exec(to.db, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr) == SQLITE_OK;
    ok = ok
        && sqlite3_prepare_v2(to.db, "select count(*) from t_user", -1, &statement, nullptr)
            == SQLITE_OK
        && sqlite3_step(statement) == SQLITE_ROW;
    if (ok)
        *userCount = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    if (!ok)
        return fail(
            QStringLiteral("cannot read the copy of %1: %2").arg(sourceFile, sqliteError(to.db)));
    if (sqlite3_close(to.db) != SQLITE_OK)
        return fail(QStringLiteral("cannot write %1: %2").arg(targetFile, sqliteError(to.db)));
    to.db = nullptr;
    return true;
}
