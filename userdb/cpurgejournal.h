#ifndef CPURGEJOURNAL_H
#define CPURGEJOURNAL_H

#include <QString>
#include <QVector>

#include "cuserdb.h"

class CUserDbConnection;

// The users a purge has deleted whose game-data folders may not be gone yet
// (t_purge_journal): noted in the transaction that deletes them, dropped once their folders
// are gone. What a purge cut short leaves there, the next purge or start finishes.
class CPurgeJournal
{
public:
    // Both inside a transaction of conn; false when a statement failed (kept in conn).
    static bool note(CUserDbConnection &conn, const QVector<CUserDb::UserRow> &users);
    static bool drop(CUserDbConnection &conn, const QVector<int> &ids);

    // drop() in a transaction of its own.
    static bool dropNow(CUserDb *userDb, const QVector<int> &ids, QString *errorText);
    // Everyone noted, by id.
    static bool pending(CUserDb *userDb, QVector<CUserDb::UserRow> *users, QString *errorText);
    // Whether a user holds objectId (again): then the folder is that user's.
    static bool userExists(CUserDb *userDb, int objectId, bool *exists, QString *errorText);
};

#endif // CPURGEJOURNAL_H
