#ifndef CS3SAVESTORE_H
#define CS3SAVESTORE_H

#include <functional>
#include <memory>

#include "cabstractsavestore.h"
#include "cs3bucket.h"

// The saves as objects of an S3 bucket, laid out as the storage folder is: the archive
// <prefix>7/slot1.z, its versions <prefix>7/.versions/slot1.z/<UTC time>, each object with
// its sum in its metadata. An upload is staged under <prefix>.uploads/ and published by one
// copy inside the store (or one PUT for a small save), so an archive is whole at every
// instant; the replaced archive is copied to a version first. A save's versions move only
// under its lock object (CS3SaveLock), so servers sharing the bucket keep every history whole.
class CS3SaveStore : public CAbstractSaveStore
{
public:
    // How long a commit or restore waits for another server's lock on the same save.
    static constexpr qint64 LOCK_WAIT_MS = 30000;
    // A new user's id is checked inside the user database's transaction, which logins wait
    // for: one try, this long at most; an id that cannot be checked is skipped.
    static constexpr int NEW_ID_CHECK_MS = 1500;

    CS3SaveStore(const std::shared_ptr<CS3Bucket> &bucket, const Limits &limits);

    const std::shared_ptr<CS3Bucket> &s3() const { return bucket; }
    QString location() const override;
    // The key of a path of the folder layout (7/slot1.z).
    QString objectKey(const QString &path) const { return bucket->key(path); }
    // A key no other upload stages to.
    QString stagingKey(const QString &archive) const;
    static QString stagingFolder() { return QStringLiteral(".uploads/"); }
    // Called at each named step of a commit or restore ("linked", "committed", ...).
    void setStepHook(const std::function<void(const char *step)> &hook) { stepHook = hook; }
    // Tests shorten the lease of a save's lock and the wait for one held by another.
    void setLockTiming(qint64 leaseMs, qint64 waitMs)
    {
        lockLease = leaseMs;
        lockWait = waitMs;
    }

    Outcome checkUpload(
        const QString &archive, qint64 size, qint64 growth, qint64 reserved = 0) const override;
    // sink must be a CS3Upload of this bucket.
    Outcome commitUpload(const QString &archive, qint64 size,
        const std::shared_ptr<libsock::CUploadSink> &sink, bool deferPrune) override;
    void pruneVersions(const QStringList &keys) const override;

    QList<Entry> saves(const QString &userFolder, Outcome *outcome = nullptr) const override;
    QList<Entry> history(const QString &saveName, Outcome *outcome = nullptr) const override;
    Outcome restore(const QString &saveName, const QString &version) override;
    Check check(const QString &saveName, const QString &version) const override;
    QStringList userFolders(QString *error = nullptr) const override;
    bool removeUserData(int objectId, bool *existed, QString *error) override;
    bool moveAside(int objectId, const QDateTime &now, QString *movedTo, QString *error) override;
    qint64 storedBytes() const override;
    bool writable(QString *reason) const override;

    // Staged uploads and their parts begun before cutOff, left by a crash, go.
    int cleanStaging(const QDateTime &cutOff);
    // Those begun a day ago or more: a bucket keeps no lock an upload in flight holds, so
    // age alone tells one that a server sharing the bucket is still at.
    int removeCutUploads() override;

private:
    struct Version
    {
        QString key;
        QString name;
        qint64 size = 0;
        QDateTime modified;
    };
    struct UserUsage
    {
        qint64 archiveBytes = 0;
        QList<Version> versions;
    };
    // What a commit replaces: the archive as it was, the version kept of it, the versions
    // the limits give up.
    struct Replacement
    {
        CS3Bucket::Head current;
        QString kept;
        QList<Version> dropped;
    };

    QString versionFolder(const QString &archive) const;
    bool versionsOf(const QString &archive, QList<Version> *out, QString *error) const;
    bool userUsage(
        const QString &user, const QString &excludeKey, UserUsage *usage, QString *error) const;
    // The name of a new version: the time now, and later than every version there is.
    static QString newVersionName(const QList<Version> &existing);
    // Which of the versions go so that the user's folder fits MaxUserBytes; Refused when it
    // cannot.
    Outcome makeRoom(const QString &archive, qint64 size, const CS3Bucket::Head &current,
        QList<Version> *dropped, bool *keepCurrent) const;
    // Under the save's lock: the archive's place made ready for size bytes.
    Outcome prepareReplace(
        const QString &archive, qint64 size, class CS3SaveLock &lock, Replacement *r);
    // After a failed commit: the version just kept goes, if the archive is still that one.
    void undoVersion(const QString &key, const Replacement &r);
    // Publishes the staged upload under key; true when the archive is the upload's.
    bool publish(const QString &key, const class CS3Upload &upload, QString *error);
    void step(const char *name) const;

    std::shared_ptr<CS3Bucket> bucket;
    std::function<void(const char *)> stepHook;
    qint64 lockLease;
    qint64 lockWait = LOCK_WAIT_MS;
};

#endif // CS3SAVESTORE_H
