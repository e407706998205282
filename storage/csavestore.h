#ifndef CSAVESTORE_H
#define CSAVESTORE_H

#include <functional>
#include <memory>

#include <QDateTime>
#include <QList>
#include <QString>

#include "cabstractsavestore.h"
#include "csavehistory.h"

class CServerSettings;

// The save archives of the storage directory, their history and the room they may take.
// An upload that replaces an archive keeps the old one as a version in a hidden folder beside
// it (7/.versions/slot1.z/2026-12-07T10-58-31.123Z): the old archive is hard-linked there
// before the new one is renamed over its name, so a whole archive is current at every instant
// and a version costs no copy. A user's folder is the first path step of a save name.
class CSaveStore : public CAbstractSaveStore
{
public:
    struct DiskSpace
    {
        qint64 free = -1; // bytes an unprivileged writer may still use; -1 when unknown
        qint64 total = -1;
    };
    using SpaceSource = std::function<DiskSpace(const QString &path)>;

    static constexpr qint64 DEFAULT_MIN_FREE_CAP = qint64(1) << 30;

    explicit CSaveStore(const QString &storageDir);
    CSaveStore(const QString &storageDir, const Limits &limits);
    // The storage directory and the [Storage] limits of the settings record.
    static CSaveStore fromSettings(const CServerSettings &settings);

    const QString &storageDirectory() const { return root; }
    QString location() const override { return root; }

    // Tests put a small volume in place of statvfs().
    void setSpaceSource(const SpaceSource &source);
    static DiskSpace volumeSpace(const QString &path);
    qint64 minFreeBytes() const;
    // Called at each named step of a commit or restore; tests end the process there.
    void setStepHook(const std::function<void(const char *step)> &hook);
    // Called after each folder the store syncs, with its path; tests check the order.
    void setSyncHook(const std::function<void(const QString &folder)> &hook);

    // The upload side. archive: the file name relative to the storage directory (7/slot1.z).
    // Whether an upload may grow by growth bytes to size bytes, while other uploads in flight
    // may still write reserved bytes onto the same volume.
    Outcome checkUpload(
        const QString &archive, qint64 size, qint64 growth, qint64 reserved = 0) const override;
    // Runs commit(), which renames the complete upload over the archive, keeping the archive
    // it replaces as a version and giving up old versions as the limits require. Refuses
    // without touching anything when the user's folder cannot make room.
    // With deferPrune the versions beyond the limits are only named in toGiveUp, for
    // pruneVersions() once the client has its answer: removing a large file takes the file
    // system a while.
    Outcome commitUpload(const QString &archive, qint64 size, const std::function<bool()> &commit,
        bool deferPrune = false);
    // The sink's commit() renames the upload's file over the archive.
    Outcome commitUpload(const QString &archive, qint64 size,
        const std::shared_ptr<libsock::CUploadSink> &sink, bool deferPrune) override;
    void pruneVersions(const QStringList &paths) const override;

    QList<Entry> saves(const QString &userFolder, Outcome *outcome = nullptr) const override;
    QList<Entry> history(const QString &saveName, Outcome *outcome = nullptr) const override;
    Outcome restore(const QString &saveName, const QString &version) override;
    // The current archive is checked against the sum of that very file, as a download is.
    Check check(const QString &saveName, const QString &version) const override;
    QStringList userFolders(QString *error = nullptr) const override;
    bool removeUserData(int objectId, bool *existed, QString *error) override;
    bool moveAside(int objectId, const QDateTime &now, QString *movedTo, QString *error) override;
    qint64 storedBytes() const override;
    bool writable(QString *reason) const override;

    // The sum recorded for the file (device, inode) that was opened as archive (7/slot1.z):
    // a version of the archive that is that very file has its own; otherwise the archive's.
    // So an archive replaced while it was read, or left beside a newer sum by a commit cut
    // short, is still checked against its own. Empty when it has none (unchecked).
    QString recordedSum(const QString &archive, quint64 device, quint64 inode) const;
    // The path of a version of saveName, as history() names it.
    QString versionPath(const QString &saveName, const QString &version) const;

    // Removes the temporary files that uploads cut short left (a server that ended
    // mid-upload), never one an upload still writes, on this server or another sharing the
    // storage folder; how many went.
    int removeCutUploads() override;

private:
    using Version = CSaveHistory::Version;
    struct UserUsage;

    QString archivePath(const QString &archive) const;
    UserUsage userUsage(const QString &userDir, const QString &excludeArchive) const;
    void step(const char *name) const;
    void syncFolder(const QString &folder) const;
    // syncFolder() for the history's own steps.
    CSaveHistory::SyncFolder folderSync() const;

    QString root; // ends in "/"
    SpaceSource spaceSource;
    std::function<void(const char *)> stepHook;
    std::function<void(const QString &)> syncHook;
};

#endif // CSAVESTORE_H
