#ifndef CUSERSCOMMAND_H
#define CUSERSCOMMAND_H

#include <QStringList>
#include <QVector>

#include "cuserdb.h"

class CAdminCommand;

// "tolvern-server users ...": the user page and the settings dialog's purge actions on the
// command line, with the same rules and the same database operations.
class CUsersCommand
{
public:
    static int run(CAdminCommand &command, const QStringList &arguments);
    static QString usage();

private:
    static int list(CAdminCommand &command, const QStringList &arguments);
    static int add(CAdminCommand &command, const QStringList &arguments);
    static int passwd(CAdminCommand &command, const QStringList &arguments);
    static int remove(CAdminCommand &command, const QStringList &arguments);
    static int purge(CAdminCommand &command, const QStringList &arguments);
    static int exportUser(CAdminCommand &command, const QStringList &arguments);

    // One indented line per user: id, name, last login.
    static QString userLines(const QVector<CUserDb::UserRow> &users);
    static bool wantsHelp(const QStringList &arguments);
    static int usageError(const QString &text, const QString &usage);
    static bool parseId(const QString &text, int &id);
    static bool userFound(int id, bool &found);
};

#endif // CUSERSCOMMAND_H
