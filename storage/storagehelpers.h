#ifndef STORAGEHELPERS_H
#define STORAGEHELPERS_H

#include <QByteArray>
#include <QStringList>

struct stat;

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

// A path as the file system takes it.
QByteArray nativePath(const QString &path);
// Every entry of dir but "." and "..", hidden ones too, by name.
QStringList folderEntries(const QString &dir);
// lstat() of path, true when it is a regular file (never through a link).
bool statRegularFile(const QString &path, struct stat &st);
// The text of errno as it is now.
QString errnoText();

#endif // STORAGEHELPERS_H
