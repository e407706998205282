#ifndef LIBSOCK_CSERVERFILECONN_H
#define LIBSOCK_CSERVERFILECONN_H

#include <memory>

#include <QString>
#include <QStringList>

#include "cabstractfileconn.h"

class QIODevice;

namespace libsock {

class CAbstractServerFileConnAdapter;
class CTransferDigest;
class CUploadSink;

constexpr quint8 FILE_CMD_DOWNLOAD = 1;
constexpr quint8 FILE_CMD_DOWNLOAD_REPLY = 2;
constexpr quint8 FILE_CMD_UPLOAD = 3;
constexpr quint8 FILE_CMD_UPLOAD_REPLY = 4;
constexpr quint8 FILE_CMD_START = 5;

constexpr quint8 FILE_OK = 0;
constexpr quint8 FILE_NOT_FOUND = 1;
constexpr quint8 FILE_OPEN_FAILED = 2;
constexpr quint8 FILE_REFUSED = 3;

constexpr qint64 UPLOAD_GATHER_SIZE = 128 * 1024;
// Upload frames of this size or more (a client's usual 51,200 bytes) go to the digest as they
// arrived, without being gathered.
constexpr qint64 UPLOAD_WHOLE_FRAME = 32 * 1024;
// The room an upload asks the adapter for ahead of the bytes it has: one look at the limits
// per megabyte.
constexpr qint64 UPLOAD_CHECK_BYTES = 1024 * 1024;
// Bytes of a transfer handed to its digest and not hashed yet: beyond this the transfer waits
// for the hashing to catch up (to half of it).
constexpr qint64 DIGEST_BACKLOG_LIMIT = 8 * 1024 * 1024;
// The same for bytes an upload's sink has taken and not yet stored (parts on their way to an
// object store), except that it goes on as soon as the backlog is down to the limit again:
// one more part in flight keeps the store busy.
constexpr qint64 SINK_BACKLOG_LIMIT = 32 * 1024 * 1024;
// Upload buffers kept for reuse: as many as the digest's backlog holds, and a few more.
constexpr int LENT_BUFFERS = int(DIGEST_BACKLOG_LIMIT / UPLOAD_GATHER_SIZE) + 8;

// Server end of one file-transfer connection: downloads a file from the storage directory
// or uploads one into it, asking the adapter for permission and the file name.
class CServerFileConn : public CAbstractFileConn
{
    Q_OBJECT

public:
    CServerFileConn(const QString &dir, QObject *parent);
    ~CServerFileConn() override;

    void setAdapter(CAbstractServerFileConnAdapter *adapter);
    // The upload waits for the adapter's answer on its room or its commit: the connection is
    // owed an outcome, however long the storage takes.
    bool awaitsStorage() const
    {
        return roomAsked || upload == Upload::Committing || downloadOpening;
    }
    const QString &storageDirectory() const { return storageDir; }

    // True when name may be joined to the storage directory: relative, and with no way
    // out of it.
    static bool isSafeName(const QString &name);

protected:
    void processFrame() override;
    void fileBytesSent(const QByteArray &chunk, qsizetype offset, qsizetype length) override;
    bool sendPaused() override;
    bool sendEndNow() override;
    void sendFailed() override;

private slots:
    void connected();

private:
    enum class Upload { None, Receiving, Committing };
    enum class Flush { Written, Waiting, Failed };

    void handleDownloadRequest();
    void openThroughAdapter(const QString &user, const QString &name);
    void downloadOpened(quint8 result, QIODevice *source,
        const std::shared_ptr<CTransferDigest> &sum, const QString &expected);
    void handleUploadRequest();
    void startDownload();
    void finishUpload();
    void writeUploadData();
    void releaseFiles();
    Flush flushUpload();
    QByteArray spareBuffer();
    void askForRoom();
    void roomAnswered(qint64 granted);
    void commitAnswered(bool stored);
    void failUpload();
    bool prepareFolder(const QString &folder);
    // Holds the transfer while its digest is more than DIGEST_BACKLOG_LIMIT behind, or the
    // upload's sink more than SINK_BACKLOG_LIMIT; then resume() on this thread. True when it
    // waits.
    bool awaitDigest(const std::function<void()> &resume);
    void downloadChecked(const QString &actual);

    // The download's source: a file of the storage folder, or a device the adapter opened.
    QIODevice *file = nullptr;
    // A download the adapter is opening; its answer is awaited with the frames held.
    bool downloadOpening = false;
    // An upload goes to a temporary file that replaces the archive only when complete. Its
    // commit is handed to the adapter, and the connection waits for the answer with the
    // frames that follow held back.
    Upload upload = Upload::None;
    std::shared_ptr<CUploadSink> uploadFile;
    // Numbers the uploads of the process for the adapter; 0 when none runs.
    quint64 uploadId = 0;
    // Upload bytes on their way to the file: with the frame being received, an upload holds
    // less than a quarter of a megabyte.
    QByteArray uploadPending;
    // The upload buffers handed to the digest, reused once it has let go of them.
    QList<QByteArray> lentBuffers;
    // The accepted upload's file name as the adapter gave it, and the bytes written so far.
    QString uploadName;
    qint64 uploadSize = 0;
    // The bytes the adapter has granted the upload; none is written beyond them.
    qint64 uploadGranted = 0;
    // Where the last write-back the adapter was asked to start ended.
    qint64 uploadWrittenBack = 0;
    // A request for room is on its way; the end of the upload waits for its answer.
    bool roomAsked = false;
    bool finishWaiting = false;
    // Folders made for the running upload, deepest first; removed again unless it commits.
    QStringList madeFolders;
    // The running transfer's digest (none without a sum): an upload's is kept beside its
    // archive by the commit; a download ends with the end frame only when its bytes gave the
    // recorded sum.
    std::shared_ptr<CTransferDigest> digest;
    // Numbers the digests, so an answer for one gone is ignored.
    quint64 digestNumber = 0;
    bool digestWaiting = false;
    QString expectedSum;
    QString downloadUser;
    QString downloadName;
    QString storageDir;
    CAbstractServerFileConnAdapter *adapter = nullptr;
};

} // namespace libsock

#endif // LIBSOCK_CSERVERFILECONN_H
