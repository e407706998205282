#ifndef LIBSOCK_CUPLOADFILE_H
#define LIBSOCK_CUPLOADFILE_H

#include <atomic>
#include <memory>

#include <QString>
#include <QStringList>

#include "cuploadsink.h"

namespace libsock {

// The temporary file of one upload beside the archive it is to replace. The connection writes
// the received bytes into it with plain writes; commit() makes it durable and puts it in the
// archive's place, and may run on another thread once the connection has let go of it. A file
// never committed is removed when destroyed. Not a QObject, so it can change threads.
class CUploadFile : public CUploadSink, public std::enable_shared_from_this<CUploadFile>
{
public:
    explicit CUploadFile(const QString &path);
    ~CUploadFile() override;
    CUploadFile(const CUploadFile &) = delete;
    CUploadFile &operator=(const CUploadFile &) = delete;

    // Creates the temporary file; false when the archive cannot be written there.
    bool open();
    using CUploadSink::write;
    bool write(const char *data, qint64 size) override;
    bool failed() const override { return writeFailed; }
    // Starts writing the bytes written so far to disk, without waiting for them, so the sync
    // of the commit (and any other sync of the file system meanwhile) has little left to wait
    // for. May run on another thread than write(), never at once with commit().
    void startWriteBack() override;
    // Folders made for this upload, deepest first: each is made durable in its parent by the
    // commit.
    void setMadeFolders(const QStringList &folders) { made = folders; }
    // The digest writes the bytes here as it hashes them, starting their write-back once a
    // megabyte.
    void setDigest(const std::shared_ptr<CTransferDigest> &sum) override;
    // Syncs the file, keeps the digest's sum beside the archive (so no committed archive
    // lacks it), renames the file over the archive and syncs the folders the renames and any
    // new folder live in. False, with the temporary file gone, on any failure so far.
    bool commit() override;

    const QString &fileName() const { return target; }
    qint64 bytesWritten() const override { return written; }

    // The temporary file is named by CUploadName. An upload holds a lock (flock) on it from
    // its creation to its rename, which every server sharing the storage folder sees (on NFS,
    // through the file server's locks). Removes the temporary file at path when no upload holds it
    // (a server that ended mid-upload left it); true when removed.
    static bool removeIfCutShort(const QString &path);

private:
    void discard();
    // Whether path still names the open file fd.
    static bool namesFile(const QString &path, int fd);

    QString target;
    QString temporary;
    QStringList made;
    std::shared_ptr<CTransferDigest> digest;
    int fd = -1;
    std::atomic<bool> writeFailed { false };
    std::atomic<qint64> written { 0 };
    qint64 writtenBack = 0;
};

} // namespace libsock

#endif // LIBSOCK_CUPLOADFILE_H
