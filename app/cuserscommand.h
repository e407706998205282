#ifndef CUSERSCOMMAND_H
#define CUSERSCOMMAND_H

#include <QStringList>
#include <QVector>

#include "cuserdb.h"
#include "cuserpurge.h"

class CAdminCommand;
class QDateTime;

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
    // purge's options; -1, or the exit status of a usage error.
    static int parsePurge(const QStringList &arguments, int *months, bool *dataOnly, bool *dryRun);
    // What the purge did, on stdout and stderr, and its exit status.
    static int reportPurge(
        const CUserPurge::Counts &counts, const QDateTime &before, bool dataOnly, bool dryRun);
    static int exportUser(CAdminCommand &command, const QStringList &arguments);

    // One indented line per user: id, name, last login.
    static QString userLines(const QVector<CUserDb::UserRow> &users);
    static bool wantsHelp(const QStringList &arguments);
    static int usageError(const QString &text, const QString &usage);
    static bool parseId(const QString &text, int &id);
    static bool userFound(int id, bool &found);
};

#endif // CUSERSCOMMAND_H
