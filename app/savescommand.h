#ifndef SAVESCOMMAND_H
#define SAVESCOMMAND_H

#include <QStringList>

// The "saves" admin command: args are the words after "saves" on the command line
// (list ID | history ID SAVE | restore ID SAVE VERSION | verify ID | verify --all). Reads the
// storage directory and limits from the settings file, prints the outcome and returns the
// exit status: 0 done, 1 not found or failed or (verify) damage found, 64 bad usage. Needs a
// QCoreApplication.
int runSavesCommand(QStringList args);

#endif // SAVESCOMMAND_H
