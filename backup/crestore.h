#ifndef CRESTORE_H
#define CRESTORE_H

#include <functional>
#include <memory>
#include <optional>

#include <QString>
#include <QStringList>

#include "cbackupmanifest.h"
#include "cbackupprogress.h"
#include "cserversettings.h"
#include "ctreecopy.h"

class CS3Bucket;

// Puts a backup back into an empty work folder (db/users.db), an empty storage folder (or a
// bucket that holds no saves, named s3://BUCKET[/PREFIX]) and a new ini whose SaveDataDir
// names that storage folder (or whose [Storage] names that bucket). Every file is read against the
// manifest before anything is written, and copied (never linked, so the backup stays as it
// was whatever happens to the restored files), checked once more on the way.
//
// A restore is whole only once its ini is there: the ini, storage folder and all, is written
// first under a name of its own (.tolvern.ini.restore.partial) and renamed into place last,
// after everything else is on disk. Every other file is copied into a folder of the
// restore's own (.restore.partial) and moved into place whole; into a bucket, where nothing
// can be renamed, each object is written whole by the store, and the bucket held no saves
// before. A restore cut short leaves no ini, and the one waiting beside its place says which
// storage folder (or bucket) it was for: the same restore run again clears what it left
// and starts afresh.
class CRestore
{
public:
    enum class Status { Ok, TargetNotEmpty, Damaged, Failed };

    explicit CRestore(const QString &backupDir);

    void setProgressSink(const CBackupProgress::Sink &sink) { progressSink = sink; }
    // The settings a restore into a bucket starts from before it reads the backed-up ini (the
    // environment's endpoint and keys).
    void setSettings(const CServerSettings &settings) { current.emplace(settings); }
    // Called at each named step of run(); tests end the process there.
    void setStepHook(const std::function<void(const char *step)> &hook) { stepHook = hook; }
    // The folder a restore keeps its unfinished work in, in the work and storage folders.
    static const QString &partialFolder();

    // The manifest and every file against it; problems() lists what does not match.
    Status check();
    Status run(const QString &workDir, const QString &storageDir, const QString &iniPath);

    // The storage folder the backed-up ini names (relative to the work folder when relative).
    QString storedStorageDir(const QString &workDir) const;

    QString errorText() const { return error; }
    QStringList problems() const { return mismatches; }
    const CBackupManifest &manifest() const { return found; }

private:
    std::optional<CServerSettings> current;
    Status failed(Status status, const QString &text);
    // Status::Ok when the targets are empty, or hold only what this same restore left when
    // it was cut short (then cleared).
    Status targetsFree(const QString &workDir, const QString &storageDir, const QString &iniPath);
    bool copyAll(const QString &workDir, const QString &storageDir, const QString &iniPath);
    bool copyDatabase(const QList<CTreeCopy::Item> &database, const QString &workDir);
    bool copySaves(QList<CTreeCopy::Item> &saves, const QString &storageDir);
    bool copyToBucket();
    bool writeIni(const QString &storageDir, const QString &iniPath, const QString &sum);
    bool bad(const QString &text);
    // Where the ini waits until the restore is whole.
    static QString pendingIni(const QString &iniPath);
    // Whether a pending ini is the one this restore into storageDir (or the bucket) writes.
    bool pendingFor(const QString &pendingPath, const QString &storageDir) const;
    // The storage folder as it was before (existed), or the bucket without any saves.
    void clearStorage(const QString &storageDir, bool existed);
    // Whether the storage folder or the bucket holds nothing yet: Failed when a bucket
    // could not be asked.
    Status storageFree(const QString &storageDir, bool *free);
    void step(const char *name) const;

    QString backup;
    // The bucket restored into, if any: with the endpoint and keys of the backed-up ini, or
    // else of the environment.
    std::shared_ptr<CS3Bucket> bucket;
    CBackupProgress::Sink progressSink;
    std::function<void(const char *)> stepHook;
    CBackupManifest found;
    QString error;
    QStringList mismatches;
};

#endif // CRESTORE_H
