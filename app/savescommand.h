#ifndef SAVESCOMMAND_H
#define SAVESCOMMAND_H

#include <QStringList>

// The "saves" admin command: args are the words after "saves" on the command line
// (list ID | history ID SAVE | restore ID SAVE VERSION | verify ID | verify --all). Reads the
// storage directory and limits from the settings file, prints the outcome and returns the
// exit status: 0 done (list: also a user without saves), 1 not found or failed or (verify)
// damage found, 4 (list) no such user, 64 bad usage. Needs a QCoreApplication.
class CAdminCommand;

int runSavesCommand(CAdminCommand &command, QStringList args);

#endif // SAVESCOMMAND_H
