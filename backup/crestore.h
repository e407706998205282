#ifndef CRESTORE_H
#define CRESTORE_H

#include <memory>

#include <QString>
#include <QStringList>

#include "cbackupmanifest.h"
#include "cbackupprogress.h"

class CS3Bucket;

// Puts a backup back into an empty work folder (db/users.db), an empty storage folder (or a
// bucket that holds no saves, named s3://BUCKET[/PREFIX]) and a new ini whose SaveDataDir
// names that storage folder (or whose [Storage] names that bucket). Every file is read against the
// manifest before anything is written, and copied (never linked, so the backup stays as it
// was whatever happens to the restored files), checked once more on the way.
class CRestore
{
public:
    enum class Status { Ok, TargetNotEmpty, Damaged, Failed };

    explicit CRestore(const QString &backupDir);

    void setProgressSink(const CBackupProgress::Sink &sink) { progressSink = sink; }

    // The manifest and every file against it; problems() lists what does not match.
    Status check();
    Status run(const QString &workDir, const QString &storageDir, const QString &iniPath);

    // The storage folder the backed-up ini names (relative to the work folder when relative).
    QString storedStorageDir(const QString &workDir) const;

    QString errorText() const { return error; }
    QStringList problems() const { return mismatches; }
    const CBackupManifest &manifest() const { return found; }

private:
    Status failed(Status status, const QString &text);
    bool copyAll(const QString &workDir, const QString &storageDir, const QString &iniPath);
    bool copyToBucket();
    bool writeIni(const QString &iniPath, const QString &storageDir);

    QString backup;
    // The bucket restored into, if any: with the endpoint and keys of the backed-up ini, or
    // else of the environment.
    std::shared_ptr<CS3Bucket> bucket;
    CBackupProgress::Sink progressSink;
    CBackupManifest found;
    QString error;
    QStringList mismatches;
};

#endif // CRESTORE_H
