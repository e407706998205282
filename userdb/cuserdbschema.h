#ifndef CUSERDBSCHEMA_H
#define CUSERDBSCHEMA_H

#include <QString>

class QSqlDatabase;

// The tables t_user, t_user_seq and t_purge_journal and their indexes, as an ordered list of steps.
// An SQLite file records in its user_version how many steps it has taken and takes only the ones
// after; every step also finds out by itself what is already there, so a file of an older
// build (version 0, whatever it holds) and a PostgreSQL database, which runs every step at
// each connection under a lock, come out the same.
class CUserDbSchema
{
public:
    // The number of steps.
    static int latestVersion();

    // Brings db up to date. notice gets one line when an old SQLite file's names or ids
    // cannot be made unique; uniqueNames whether the database refuses a name twice by itself.
    static bool ensure(
        QSqlDatabase &db, QString *notice, QString *errorText, bool *uniqueNames = nullptr);
};

#endif // CUSERDBSCHEMA_H
