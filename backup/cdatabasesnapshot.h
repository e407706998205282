#ifndef CDATABASESNAPSHOT_H
#define CDATABASESNAPSHOT_H

#include <QString>

class CUserDbConfig;

// The user database as of one moment, in an SQLite file of the server's schema, taken while
// the server goes on writing: SQLite's online backup API copies the pages under one read
// transaction (in WAL mode no writer waits for it); PostgreSQL is read in one REPEATABLE READ
// transaction, which "db copy" can put back.
class CDatabaseSnapshot
{
public:
    // targetFile must not exist. userCount: the users in the snapshot.
    static bool take(const CUserDbConfig &source, const QString &targetFile, qint64 *userCount,
        QString *errorText);

private:
    static bool takeSqlite(const QString &sourceFile, const QString &targetFile, qint64 *userCount,
        QString *errorText);
};

#endif // CDATABASESNAPSHOT_H
