#ifndef CSAVEHISTORY_H
#define CSAVEHISTORY_H

#include <functional>

#include <QDateTime>
#include <QList>
#include <QString>

// The versions of one archive: hard links (or, without them, copies) in the history folder
// beside it, ".versions/<archive>/<UTC time>", each with its sum file where the archive had
// one. The save store decides when to keep and prune; this is where versions are found,
// made and mended.
class CSaveHistory
{
public:
    struct Version
    {
        QString path;
        QString name;
        qint64 size = 0;
        QDateTime modified;
        bool duplicate = false; // the same file as the current archive: a commit cut short
    };
    // Syncs a folder whose entries changed (the store's, so that tests can watch it).
    using SyncFolder = std::function<void(const QString &folder)>;

    static const QString &folderName();
    static bool isFolderName(const QString &step);
    // The folder that holds the versions of archivePath.
    static QString folderOf(const QString &archivePath);

    // Whether name is one a version is kept under ("2026-12-07T10-58-31.123Z", "-2" after it
    // when two came in one millisecond): nothing else in a history folder (a sum file, of
    // whatever kind, a partial copy) is a version.
    static bool isVersionName(const QString &name);
    // By name, so oldest first; only versions (no sum files, no hidden entries).
    static QList<Version> versionsOf(const QString &archivePath);
    // Removes what a commit cut short left: partial copies, a version that is the archive
    // itself (its sum goes back to the archive), sums without their version.
    static void healDuplicates(const QString &archivePath, const SyncFolder &syncFolder);
    // Keeps the archive as a new version, with its sum; the version's name, or empty with
    // error set.
    static QString linkVersion(
        const QString &archivePath, QString *error, const SyncFolder &syncFolder);
};

#endif // CSAVEHISTORY_H
