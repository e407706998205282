#ifndef STORAGEHELPERS_H
#define STORAGEHELPERS_H

class QString;

// Autostart entry of the current user: $XDG_CONFIG_HOME/autostart/<valueName>.desktop
// whose Exec= line is data (the quoted executable path).
bool writeRunValue(const QString &valueName, const QString &data);
void deleteRunValue(const QString &valueName);

// Removes directory and everything below it. Stops at the first entry that cannot be
// removed and returns false; symbolic links are removed, never followed.
bool deleteDirectoryTree(const QString &directory);

#endif // STORAGEHELPERS_H
