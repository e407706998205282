#ifndef CUSERDBCOPY_H
#define CUSERDBCOPY_H

#include <QString>

#include "cuserdbconfig.h"

class QSqlDatabase;
class QSqlQuery;

// Copies every user of one database into another, ids, names, passwords and last logins
// unchanged, in one transaction on the target; refuses a target that already holds users.
// Used by "tolvern-server db copy" to move an SQLite file into PostgreSQL.
class CUserDbCopy
{
public:
    CUserDbCopy(const CUserDbConfig &from, const CUserDbConfig &to);

    // False with errorText() when nothing was copied.
    bool run();
    QString errorText() const { return error; }
    int copiedCount() const { return copied; }
    // Whether run() failed because the target already holds users.
    bool targetNotEmpty() const { return notEmpty; }

private:
    bool copyRows(QSqlDatabase &source, QSqlDatabase &target);
    // The users of read's statement into target, ROWS_PER_INSERT to a statement; false with
    // the operator's text in failure.
    bool copyUsers(QSqlQuery &read, QSqlDatabase &target, qint64 *highest, QString *failure);
    bool fail(const QString &text);

    CUserDbConfig source;
    CUserDbConfig target;
    QString error;
    int copied = 0;
    bool notEmpty = false;
};

#endif // CUSERDBCOPY_H
