#ifndef CABSTRACTSAVESTORE_H
#define CABSTRACTSAVESTORE_H

#include <memory>

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

class CServerSettings;
namespace libsock {
class CUploadSink;
}

// The players' saves wherever they are kept: files in the storage folder (CSaveStore) or
// objects in an S3 bucket (CS3SaveStore). Both keep the same guarantees: an upload replaces an
// archive whole or not at all, the replaced one becomes a version, every archive and version
// keeps its sum, and the limits hold. Save names are as on the wire (7/slot1), archives the
// names with ".z" (7/slot1.z); a user's folder is the first step of a save name. The calls may
// take a while (syncs, folder walks, requests to a store): never on a connection's thread.
class CAbstractSaveStore
{
public:
    struct Limits
    {
        int keepVersions = 3; // per save; 0 keeps no history
        qint64 maxSaveBytes = 0; // 0: no limit
        qint64 maxUserBytes = 0; // 0: no limit; history included
        qint64 minFreeBytes = -1; // below 0: 1 % of the volume, at most 1 GiB (files only)
    };

    // A save (name relative to its user's folder, without ".z") or a version of one.
    struct Entry
    {
        QString name;
        qint64 size = 0;
        QDateTime modified;
    };

    enum class Status { Ok, BadName, NotFound, Refused, Failed };

    struct Outcome
    {
        Status status = Status::Ok;
        QString message; // why, when not Ok
        QString keptVersion; // what the replaced archive became, when it was kept
        int givenUp = 0; // versions removed to stay within the limits
        QStringList toGiveUp; // with a deferred prune: the versions still to remove
        bool ok() const { return status == Status::Ok; }
    };

    // An archive or a version read again, with the sum kept for it.
    struct Check
    {
        bool present = false;
        QString expected; // the sum kept; empty: none (unchecked)
        QString actual; // of the bytes read; empty with error set when they could not be read
        QString error;
    };

    explicit CAbstractSaveStore(const Limits &limits);
    virtual ~CAbstractSaveStore();

    // The store the settings name, with their [Storage] limits: the storage folder, or the
    // bucket of Backend=s3. Null with why set when there is no storage folder or the
    // bucket's keys are incomplete.
    static std::unique_ptr<CAbstractSaveStore> fromSettings(
        const CServerSettings &settings, QString *why = nullptr);
    static Limits limitsOf(const CServerSettings &settings);

    const Limits &limits() const { return lim; }

    static QString historyFolderName();
    // Whether a save name leads into a history folder; such names are never served.
    static bool isHistoryName(const QString &saveName);
    // Relative, without parent steps, and outside every history folder.
    static bool isValidSaveName(const QString &saveName);
    static QString archiveName(const QString &saveName);

    // Where the saves are, for messages: the storage folder or s3://bucket/prefix.
    virtual QString location() const = 0;

    // The upload side. Whether an upload may grow by growth bytes to size bytes, while other
    // uploads in flight may still write reserved bytes into the same store.
    virtual Outcome checkUpload(
        const QString &archive, qint64 size, qint64 growth, qint64 reserved = 0) const = 0;
    // Commits sink, which holds all size bytes of an upload, in place of the archive, keeping
    // the archive it replaces as a version and giving up old versions as the limits require.
    // Refuses without touching anything when the user's folder cannot make room. With
    // deferPrune the versions beyond the limits are only named in toGiveUp.
    virtual Outcome commitUpload(const QString &archive, qint64 size,
        const std::shared_ptr<libsock::CUploadSink> &sink, bool deferPrune)
        = 0;
    virtual void pruneVersions(const QStringList &paths) const = 0;

    // The admin side. userFolder: the object id in decimal; saveName: as on the wire.
    virtual QList<Entry> saves(const QString &userFolder, Outcome *outcome = nullptr) const = 0;
    // Newest first.
    virtual QList<Entry> history(const QString &saveName, Outcome *outcome = nullptr) const = 0;
    // The version becomes current; the archive it replaces becomes a version in turn.
    virtual Outcome restore(const QString &saveName, const QString &version) = 0;
    // The current archive (version empty) or a version, read again.
    virtual Check check(const QString &saveName, const QString &version) const = 0;
    // The user folders there are: named by object ids.
    virtual QStringList userFolders(QString *error = nullptr) const = 0;
    // Removes all of a user's saves and history; true when none is left. existed: whether
    // there was any.
    virtual bool removeUserData(int objectId, bool *existed, QString *error) = 0;
    // A new user must start empty: whatever is stored under the id moves aside, whole, to
    // ".orphaned/<id>-<UTC time>". True when nothing is in the way any more; movedTo names
    // the new place when something was moved.
    virtual bool moveAside(int objectId, const QDateTime &now, QString *movedTo, QString *error)
        = 0;
    // Bytes of every save and version (-1 when unknown), and whether the store takes writes
    // now (false with reason set).
    virtual qint64 storedBytes() const = 0;
    // Removes what uploads cut short left, never what an upload in flight still writes, here
    // or on another server sharing the store; how many went.
    virtual int removeCutUploads() = 0;
    virtual bool writable(QString *reason) const = 0;

protected:
    // Refused when size passes MaxSaveBytes.
    Outcome saveSizeOutcome(qint64 size) const;
    static QString userFolderOf(const QString &archive);

    Limits lim;
};

#endif // CABSTRACTSAVESTORE_H
