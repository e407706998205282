#ifndef CRESTORE_H
#define CRESTORE_H

#include <functional>

#include <QString>
#include <QStringList>

#include "cbackupmanifest.h"
#include "cbackupprogress.h"
#include "ctreecopy.h"

// Puts a backup back into an empty work folder (db/users.db), an empty storage folder and a
// new ini whose SaveDataDir names that storage folder. Every file is read against the
// manifest before anything is written, and copied (never linked, so the backup stays as it
// was whatever happens to the restored files), checked once more on the way.
//
// A restore is whole only once its ini is there: the ini, storage folder and all, is written
// first under a name of its own (.tolvern.ini.restore.partial) and renamed into place last,
// after everything else is on disk. Every other file is copied into a folder of the
// restore's own (.restore.partial) and moved into place whole. A restore cut short leaves
// no ini, and the one waiting beside its place says which storage folder it was for: the
// same restore run again clears what it left and starts afresh.
class CRestore
{
public:
    enum class Status { Ok, TargetNotEmpty, Damaged, Failed };

    explicit CRestore(const QString &backupDir);

    void setProgressSink(const CBackupProgress::Sink &sink) { progressSink = sink; }
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
    Status failed(Status status, const QString &text);
    // Status::Ok when the targets are empty, or hold only what this same restore left when
    // it was cut short (then cleared).
    Status targetsFree(const QString &workDir, const QString &storageDir, const QString &iniPath);
    bool copyAll(const QString &workDir, const QString &storageDir, const QString &iniPath);
    bool copyDatabase(const QList<CTreeCopy::Item> &database, const QString &workDir);
    bool copySaves(QList<CTreeCopy::Item> &saves, const QString &storageDir);
    bool writeIni(const QString &storageDir, const QString &iniPath, const QString &sum);
    bool bad(const QString &text);
    // Where the ini waits until the restore is whole.
    static QString pendingIni(const QString &iniPath);
    void step(const char *name) const;

    QString backup;
    CBackupProgress::Sink progressSink;
    std::function<void(const char *)> stepHook;
    CBackupManifest found;
    QString error;
    QStringList mismatches;
};

#endif // CRESTORE_H
