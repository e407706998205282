#ifndef CADMINCOMMAND_H
#define CADMINCOMMAND_H

#include <QString>
#include <QStringList>

#include "exitcodes.h"

// The operator's commands without the window: "tolvern-server VERB ...". They work on the
// server's database and settings, also while a server runs (SQLite waits out the server's
// short write locks), and never take the single-instance lock.
class CAdminCommand
{
public:
    // Exit codes shared by every verb, from the program's one table.
    enum ExitCode {
        EXIT_OK = exitcode::OK,
        EXIT_DATABASE = exitcode::FAILED, // the database cannot be opened, or a statement failed
        EXIT_REFUSED
        = exitcode::BAD_ARGUMENTS, // a value the window refuses too (empty name or password)
        EXIT_NAME_TAKEN = exitcode::NAME_TAKEN,
        EXIT_NO_USER = exitcode::NO_USER,
        EXIT_NO_STORAGE = exitcode::NO_STORAGE, // no storage folder set, or it does not exist
        EXIT_USAGE = exitcode::USAGE,
    };

    // Whether word is the verb of an admin command.
    static bool isVerb(const QString &word);
    // arguments: the command line without the program name, the verb first.
    static int run(int &argc, char **argv, const QStringList &arguments);
    static QString verbList();

    // The options every verb takes, already removed from its arguments.
    QString config;
    QString workDir;
    // The folder the command was started in, before --workdir: other paths on the command
    // line are taken against it.
    QString startDir;

    // Opens the user database the ini names (db/users.db under the working directory unless
    // its [Database] says otherwise). Unless mayCreate, a missing SQLite file is an error
    // rather than a new, empty database somewhere unexpected.
    bool openDatabase(bool mayCreate);
    // Loads the settings and checks that the storage folder exists. mayBeUnset: no storage
    // folder set is fine too (before the first start there are no game-data folders).
    bool loadStorage(bool mayBeUnset = false);

    static void printError(const QString &text);
    static void printOut(const QString &text);
    // One line of the trail a change leaves in the system journal.
    static void record(const QString &line);

private:
    bool takeCommonOptions(QStringList &arguments);
    void takeOwnerIdentity();
};

#endif // CADMINCOMMAND_H
