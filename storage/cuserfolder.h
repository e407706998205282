#ifndef CUSERFOLDER_H
#define CUSERFOLDER_H

#include <QString>

class QDateTime;

// Where a user's saves live: the folder named by the object id in decimal, directly inside
// the storage folder. The one place that knows it; the first step of every save name of
// the user is this folder's name.
class CUserFolder
{
public:
    // Holds the folders of ids found taken when the id was handed to a new user.
    static constexpr const char *ORPHANED_DIR = ".orphaned";

    // "7" for user 7.
    static QString name(int objectId);
    // The absolute folder of objectId under storageDir (backslashes taken as separators), or
    // empty without a storage folder: the folder must not land in the file-system root.
    static QString path(const QString &storageDir, int objectId);
    static QString orphanedPath(const QString &storageDir);

    // A new user must start empty: whatever already stands at the folder of objectId goes
    // into the orphaned folder as "<id>-<UTC time>", whole and untouched. True when nothing
    // is in the way any more; movedTo names the new place when something was moved.
    static bool moveAside(const QString &storageDir, int objectId, const QDateTime &now,
        QString *movedTo, QString *errorText);

private:
    static QString inStorage(const QString &storageDir, const QString &entry);
};

#endif // CUSERFOLDER_H
