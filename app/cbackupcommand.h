#ifndef CBACKUPCOMMAND_H
#define CBACKUPCOMMAND_H

#include <QString>
#include <QStringList>

class CAdminCommand;

// "tolvern-server backup ..." and "tolvern-server restore ...": a whole server into a folder
// beside it while it runs, checks of such a folder, and its way back into empty folders.
class CBackupCommand
{
public:
    static int runBackup(CAdminCommand &command, const QStringList &arguments);
    static int runRestore(CAdminCommand &command, const QStringList &arguments);
    static QString backupUsage();
    static QString restoreUsage();

private:
    static int verify(CAdminCommand &command, const QStringList &arguments);
    static int usageError(const QString &text, const QString &usage);
    // Takes "--name VALUE" or "--name=VALUE" out of arguments; false on a missing value.
    static bool takeOption(QStringList &arguments, const QString &name, QString *value);
    static void progress(const QString &line);
};

#endif // CBACKUPCOMMAND_H
