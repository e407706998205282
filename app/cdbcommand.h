#ifndef CDBCOMMAND_H
#define CDBCOMMAND_H

#include <QString>
#include <QStringList>

#include "exitcodes.h"

class CAdminCommand;

// "tolvern-server db ...": moves the users from one database to another, the way up from an
// SQLite file to a PostgreSQL server that several servers share.
class CDbCommand
{
public:
    // Exit code when the target already holds users; nothing is copied then.
    static constexpr int EXIT_TARGET_NOT_EMPTY = exitcode::TARGET_NOT_EMPTY;

    static int run(CAdminCommand &command, const QStringList &arguments);
    static QString usage();

private:
    static int copy(const QStringList &arguments);
    static int usageError(const QString &text);
};

#endif // CDBCOMMAND_H
