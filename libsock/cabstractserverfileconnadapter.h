#ifndef LIBSOCK_CABSTRACTSERVERFILECONNADAPTER_H
#define LIBSOCK_CABSTRACTSERVERFILECONNADAPTER_H

#include <functional>
#include <memory>

#include <QString>

class QHostAddress;
class QIODevice;

namespace libsock {

class CTransferDigest;
class CUploadSink;

// What a server file connection asks its owner about a transfer. Never deleted through
// this interface, hence no virtual destructor.
//
// The upload's questions may take the owner a while (folder walks, syncs), so they are
// answered through a callback, which the owner must call on the connection's thread, at
// once or later. A connection gone by then ignores the answer.
class CAbstractServerFileConnAdapter
{
public:
    // The room granted to an upload: the bytes it may hold in all, or below 0 when it is
    // refused.
    using RoomAnswer = std::function<void(qint64 granted)>;
    using CommitAnswer = std::function<void(bool stored)>;
    // A download opened by the owner: a result code, and with FILE_OK the device to stream
    // (the connection's from then on), the digest to feed with the bytes sent and the sum
    // they must give (none: unchecked).
    using DownloadAnswer = std::function<void(quint8 result, QIODevice *source,
        const std::shared_ptr<CTransferDigest> &digest, const QString &expected)>;

    virtual bool requestTransfer(const QString &user, const QString &detail);
    // An empty name refuses the request (result 3).
    virtual QString downloadFileName(const QString &saveName);
    virtual QString uploadFileName(const QString &saveName);
    // Asked before the first upload bytes go to disk and then ahead of each further
    // megabyte: the upload (a number of the connection's, unique in the process) of the file
    // named by uploadFileName holds written bytes on disk and needed bytes in all; it would
    // like room for wanted. The answer grants at least needed, or refuses, which ends the
    // upload as failed. The upload writes no byte beyond what was granted.
    virtual void requestUploadRoom(quint64 upload, const QString &fileName, qint64 written,
        qint64 needed, qint64 wanted, const RoomAnswer &answer);
    // Ends a complete upload of size bytes, all written to sink. Its commit() makes them
    // durable in place of the archive and returns whether that worked; it may run on any
    // thread. The owner runs it, with whatever it keeps of the archive being replaced, and
    // answers false when the upload failed or was refused (the archive then stays as it was).
    virtual void commitUpload(quint64 upload, const QString &fileName, qint64 size,
        const std::shared_ptr<CUploadSink> &sink, const CommitAnswer &answer);
    // Whether the owner keeps the saves itself (in an object store) rather than as files in
    // the connection's storage folder; it then opens every download and upload. False, the
    // default.
    virtual bool keepsSaves() const;
    // With keepsSaves(): opens fileName for a download and answers on the connection's
    // thread, at once or later. The default answers FILE_OPEN_FAILED.
    virtual void openDownload(const QString &fileName, const DownloadAnswer &answer);
    // With keepsSaves(): where the upload's bytes go; null refuses it (FILE_OPEN_FAILED).
    virtual std::shared_ptr<CUploadSink> openUpload(quint64 upload, const QString &fileName);
    // About once a megabyte: start() begins writing the upload's bytes so far to disk without
    // waiting for them, which keeps the commit's sync short. The owner runs it where a slow
    // disk holds up nobody; the default does not run it.
    virtual void startWriteBack(quint64 upload, const std::function<void()> &start);
    // The upload has ended, committed or not: the room granted to it is free again.
    virtual void uploadEnded(quint64 upload);
    // The digest of an upload's bytes, fed as they arrive; its commit keeps the sum beside the
    // archive (CTransferDigest::saveBeside). Null keeps no sum; the default.
    virtual std::shared_ptr<CTransferDigest> uploadDigest(quint64 upload, const QString &fileName);
    // For a download of fileName: a digest to feed with the bytes sent and, in expected, the
    // sum recorded for the file. Null when there is none: the file goes out unchecked, the
    // default.
    virtual std::shared_ptr<CTransferDigest> downloadDigest(
        const QString &fileName, QString *expected);
    // The bytes of a download (the opened file device/inode) did not give the expected sum.
    // True when the sum recorded for that very file matches after all (an upload replaced the
    // archive meanwhile); false ends the download with a reset instead of its end frame.
    virtual bool acceptMismatch(const QString &user, const QString &fileName, quint64 device,
        quint64 inode, const QString &actual);
    // Asked after requestTransfer(), with what it is not given: whether user, connected
    // from peer, may transfer the save of that name.
    virtual bool permitTransfer(
        const QHostAddress &peer, const QString &user, const QString &saveName);

protected:
    ~CAbstractServerFileConnAdapter() = default;
};

} // namespace libsock

#endif // LIBSOCK_CABSTRACTSERVERFILECONNADAPTER_H
