#ifndef CBACKUP_H
#define CBACKUP_H

#include <memory>

#include <QString>
#include <QStringList>

#include "cbackupmanifest.h"
#include "cbackupprogress.h"
#include "cuserdbconfig.h"

// A backup of a server, taken beside it while it runs: the user database as one snapshot
// (users.db), then every file of the storage folder (saves/, archives with their history)
// as of a moment after that, the ini (tolvern.ini) and last MANIFEST.json. Archives are hard
// links where the backup shares the storage's file system, copies elsewhere. A user added
// after the snapshot may leave a folder without its user; the server moves such a folder
// aside when the id is handed out again.
class CS3Bucket;

class CBackup
{
public:
    enum class Status { Ok, TargetNotEmpty, Failed };

    static const QString &databaseFile(); // "users.db"
    static const QString &iniFile(); // "tolvern.ini"
    static const QString &savesFolder(); // "saves"

    CBackup(const CUserDbConfig &database, const QString &storageDir, const QString &iniPath);

    void setProgressSink(const CBackupProgress::Sink &sink) { progressSink = sink; }
    // The saves are objects of bucket rather than files of the storage folder: each is read
    // into saves/ with its sum file, as the folder would hold it.
    void setBucket(const std::shared_ptr<CS3Bucket> &saves) { bucket = saves; }

    // Into targetDir, which must be absent or empty. On failure what was written is removed.
    Status run(const QString &targetDir);
    // A new folder tolvern-backup-<UTC time> in parent, made under another name
    // (.tolvern-backup-<UTC time>.partial, locked while it is written) and renamed once whole;
    // then only the newest keep whole backups in parent stay. Such folders that no run holds
    // any more, left by runs cut short, go first.
    Status runInto(const QString &parent, int keep);

    QString errorText() const { return error; }
    // The folder written to.
    QString targetDir() const { return target; }
    const CBackupManifest &manifest() const { return made; }
    // Files left out, one line each (gone meanwhile, or being written).
    QStringList notes() const { return skipped; }
    int linkedCount() const { return links; }
    int copiedCount() const { return copies; }
    // Sums taken from the previous dated backup instead of read again.
    int reusedSumCount() const { return reusedSums; }
    // Dated backups removed by runInto.
    QStringList removedBackups() const { return removed; }
    // Folders of runs cut short removed by runInto.
    QStringList removedCutShort() const { return removedPartial; }

    // The whole backups (with a manifest) in parent, oldest first.
    static QStringList datedBackups(const QString &parent);
    static bool isDatedName(const QString &name);

private:
    Status write();
    // The saves into saves/, their entries for the manifest into files.
    bool carrySaves(QList<CBackupManifest::File> &files, QString *why);
    bool carryObjects(QList<CBackupManifest::File> &files, QString *why);
    void removeCutShort(const QString &parent);
    Status runLocked(const QString &folder, const QString &name, const QString &partial, int keep);
    Status failed(const QString &text);

    CUserDbConfig db;
    QString storage;
    std::shared_ptr<CS3Bucket> bucket;
    QString ini;
    CBackupProgress::Sink progressSink;
    QString target;
    QString error;
    CBackupManifest made;
    QStringList skipped;
    QStringList removed;
    QStringList removedPartial;
    int links = 0;
    int copies = 0;
    int reusedSums = 0;
    // The backup whose sums may be reused (runInto: the newest whole one in the parent).
    QString previous;
};

#endif // CBACKUP_H
