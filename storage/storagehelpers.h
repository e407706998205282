#ifndef STORAGEHELPERS_H
#define STORAGEHELPERS_H

class QString;

// Autostart entry of the current user: $XDG_CONFIG_HOME/autostart/<valueName>.desktop
// whose Exec= line is data (the quoted executable path) and whose Path= is the current
// working directory, so that an autostarted server opens the same db/users.db. On failure
// errorString, when given, names the file and the reason.
bool writeRunValue(const QString &valueName, const QString &data, QString *errorString = nullptr);
QString runEntryPath(const QString &valueName);
void deleteRunValue(const QString &valueName);

// Removes directory and everything below it. Stops at the first entry that cannot be
// removed and returns false; symbolic links are removed, never followed.
bool deleteDirectoryTree(const QString &directory);

#endif // STORAGEHELPERS_H
