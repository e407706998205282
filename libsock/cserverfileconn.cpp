#include "cserverfileconn.h"

#include <atomic>
#include <limits>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QPointer>

#include "cabstractserverfileconnadapter.h"
#include "ctransferdigest.h"
#include "cuploadfile.h"
#include "cuploadsink.h"

namespace libsock {

namespace {

// Numbers every upload of the process, for the adapter's bookkeeping.
std::atomic<quint64> lastUploadId { 0 };

} // namespace

CServerFileConn::CServerFileConn(const QString &dir, QObject *parent)
    : CAbstractFileConn(parent)
    , storageDir(dir)
{
    storageDir.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (!storageDir.endsWith(QLatin1Char('/')))
        storageDir += QLatin1Char('/');
    connect(this, &QAbstractSocket::connected, this, &CServerFileConn::connected);
    // An unfinished upload must not outlive its client, nor leave its temporary file.
    connect(this, &QAbstractSocket::disconnected, this, &CServerFileConn::releaseFiles);
}

// An upload still running removes its temporary file and gives its room back to the adapter,
// which must outlive the connection.
CServerFileConn::~CServerFileConn()
{
    releaseFiles();
}

void CServerFileConn::setAdapter(CAbstractServerFileConnAdapter *newAdapter)
{
    adapter = newAdapter;
}

void CServerFileConn::connected()
{
    startRecvTimer();
}

bool CServerFileConn::isSafeName(const QString &name)
{
    if (name.isEmpty() || name.contains(QLatin1Char('\\')) || name.contains(QChar(0)))
        return false;
    if (name.startsWith(QLatin1Char('/')) || QDir::isAbsolutePath(name))
        return false;
    // Drive-letter forms stay refused as well, so no name means one thing here and another
    // on a Windows storage directory.
    if (name.size() >= 2 && name.at(1) == QLatin1Char(':'))
        return false;
    const QStringList steps = name.split(QLatin1Char('/'));
    for (const QString &step : steps) {
        if (step == QLatin1String(".."))
            return false;
    }
    return true;
}

void CServerFileConn::processFrame()
{
    if (header.type() != FRAME_CONTROL) {
        writeUploadData();
        return;
    }
    switch (packet.command()) {
    case FILE_CMD_DOWNLOAD:
        handleDownloadRequest();
        break;
    case FILE_CMD_UPLOAD:
        handleUploadRequest();
        break;
    case FILE_CMD_START:
        startDownload();
        break;
    case FILE_CMD_END:
        finishUpload();
        break;
    default:
        abort();
        break;
    }
}

void CServerFileConn::handleDownloadRequest()
{
    QString user, detail, saveName;
    qint64 unused = 0;
    packet.readString(user).readString(detail).readString(saveName).readInt64(unused);
    releaseFiles();
    packet.reset();
    packet.setCommand(FILE_CMD_DOWNLOAD_REPLY);

    quint8 result = FILE_OK;
    if (adapter
        && (!adapter->requestTransfer(user, detail)
            || !adapter->permitTransfer(peerAddress(), user, saveName))) {
        result = FILE_REFUSED;
    } else {
        const QString name = adapter ? adapter->downloadFileName(saveName) : saveName;
        const QString path = storageDir + name;
        if (!isSafeName(saveName) || !isSafeName(name)) {
            result = FILE_REFUSED;
        } else if (adapter && adapter->keepsSaves()) {
            openThroughAdapter(user, name);
            return; // answered once the adapter has opened it
        } else if (!QFile::exists(path)) {
            result = FILE_NOT_FOUND;
        } else {
            file = new QFile(path, this);
            if (!file->open(QIODevice::ReadOnly)) {
                result = FILE_OPEN_FAILED;
                releaseFiles();
            } else if (adapter) {
                digest = adapter->downloadDigest(name, &expectedSum);
                ++digestNumber;
                downloadUser = user;
                downloadName = name;
            }
        }
    }
    packet.writeByte(result);
    if (result == FILE_OK)
        packet.writeInt64(file->size());
    sendPacket(packet);
}

void CServerFileConn::openThroughAdapter(const QString &user, const QString &name)
{
    // Nothing more is read until the answer is sent: the client's 5 waits behind it.
    downloadOpening = true;
    downloadUser = user;
    downloadName = name;
    holdFrames();
    const QPointer<CServerFileConn> self(this);
    const quint64 number = ++digestNumber;
    adapter->openDownload(name,
        [self, number](quint8 result, QIODevice *source,
            const std::shared_ptr<CTransferDigest> &sum, const QString &expected) {
            // A source nobody takes (the connection gone meanwhile) goes with its hand-over.
            struct Handover
            {
                QPointer<QIODevice> device;
                ~Handover()
                {
                    if (device)
                        device->deleteLater();
                }
            };
            auto handover = std::make_shared<Handover>();
            handover->device = source;
            if (!self)
                return;
            // Taken from the event loop, even an answer given at once.
            QMetaObject::invokeMethod(
                self.data(),
                [self, number, result, handover, sum, expected] {
                    if (self->digestNumber != number || !self->downloadOpening)
                        return;
                    QIODevice *device = handover->device;
                    handover->device = nullptr;
                    self->downloadOpened(result, device, sum, expected);
                },
                Qt::QueuedConnection);
        });
}

void CServerFileConn::downloadOpened(quint8 result, QIODevice *source,
    const std::shared_ptr<CTransferDigest> &sum, const QString &expected)
{
    downloadOpening = false;
    packet.reset();
    packet.setCommand(FILE_CMD_DOWNLOAD_REPLY);
    if (result == FILE_OK && source) {
        file = source;
        file->setParent(this);
        digest = sum;
        expectedSum = expected;
        packet.writeByte(FILE_OK);
        packet.writeInt64(file->size());
    } else {
        delete source;
        packet.writeByte(result == FILE_OK ? FILE_OPEN_FAILED : result);
    }
    sendPacket(packet);
    releaseFrames();
}

void CServerFileConn::handleUploadRequest()
{
    QString user, detail, saveName;
    packet.readString(user).readString(detail).readString(saveName);
    releaseFiles();
    packet.reset();
    packet.setCommand(FILE_CMD_UPLOAD_REPLY);

    quint8 result = FILE_OK;
    if (adapter
        && (!adapter->requestTransfer(user, detail)
            || !adapter->permitTransfer(peerAddress(), user, saveName))) {
        result = FILE_REFUSED;
    } else {
        const QString name = adapter ? adapter->uploadFileName(saveName) : saveName;
        const QString path = storageDir + name;
        if (!isSafeName(saveName) || !isSafeName(name)) {
            result = FILE_REFUSED;
        } else {
            const quint64 id = ++lastUploadId;
            uploadName = name;
            uploadSize = 0;
            uploadWrittenBack = 0;
            // Without an adapter there are no limits to ask about.
            uploadGranted = adapter ? 0 : std::numeric_limits<qint64>::max();
            uploadPending.reserve(UPLOAD_GATHER_SIZE);
            bool opened = false;
            if (adapter && adapter->keepsSaves()) {
                uploadFile = adapter->openUpload(id, name);
                opened = uploadFile != nullptr;
            } else {
                const QFileInfo info(path);
                auto temporary = std::make_shared<CUploadFile>(path);
                uploadFile = temporary;
                opened = !info.isDir() && prepareFolder(info.absolutePath()) && temporary->open();
            }
            if (!opened) {
                result = FILE_OPEN_FAILED;
                releaseFiles();
            } else {
                upload = Upload::Receiving;
                uploadId = id;
                if (adapter) {
                    digest = adapter->uploadDigest(uploadId, name);
                    ++digestNumber;
                    uploadFile->setDigest(digest);
                }
            }
        }
    }
    packet.writeByte(result);
    sendPacket(packet);
    // An upload that stops sending must not hold its temporary file for ever.
    if (upload == Upload::Receiving)
        startRecvTimer();
}

bool CServerFileConn::prepareFolder(const QString &folder)
{
    // Remember which folders are new, so a failed upload leaves none behind.
    QString missing = folder;
    QStringList made;
    while (!QFileInfo::exists(missing)) {
        made.append(missing);
        const QString parent = QFileInfo(missing).path();
        if (parent == missing)
            break;
        missing = parent;
    }
    if (made.isEmpty())
        return true;
    const bool ok = QDir().mkpath(folder);
    for (const QString &path : std::as_const(made)) {
        if (QFileInfo::exists(path))
            madeFolders.append(path);
    }
    return ok;
}

void CServerFileConn::startDownload()
{
    if (!file) {
        abort(); // no accepted download
        return;
    }
    if (isSending())
        return;
    sendFile(*file, SEND_BUF_SIZE, SEND_MAX_CACHE_SIZE);
}

void CServerFileConn::writeUploadData()
{
    if (upload != Upload::Receiving) {
        abort(); // no accepted upload
        return;
    }
    // Its bytes have nowhere to go any more (the store gone, the disk full): the client hears
    // it now rather than after its last byte.
    if (uploadFile->failed()) {
        failUpload();
        return;
    }
    const qint64 length = header.length;
    if (digest && length >= UPLOAD_WHOLE_FRAME && flushUpload() == Flush::Written
        && uploadSize + length <= uploadGranted) {
        // A large frame goes to the digest in the buffer it arrived in, without a copy; the
        // next frame is read into one the digest has given back.
        uploadSize += length;
        digest->add(recvBuffer, FRAME_HEADER_SIZE, length);
        if (lentBuffers.size() < LENT_BUFFERS)
            lentBuffers.append(recvBuffer);
        recvBuffer = spareBuffer();
    } else {
        // Frames gathered into fewer, larger file writes, within a bound of their own.
        if (uploadPending.size() + length > UPLOAD_GATHER_SIZE && flushUpload() == Flush::Failed) {
            // The old archive stays as it was; the peer sees the connection reset before its 6.
            failUpload();
            return;
        }
        uploadPending.append(recvBuffer.constData() + FRAME_HEADER_SIZE, length);
    }
    // Room is asked for ahead, so the bytes seldom wait for the answer.
    if (uploadGranted - uploadSize - uploadPending.size() < UPLOAD_CHECK_BYTES / 2)
        askForRoom();
    // Frames that arrive faster than they are hashed wait in the socket (and the peer).
    const quint64 id = uploadId;
    if (awaitDigest([this, id] {
            if (upload == Upload::Receiving && uploadId == id && !roomAsked)
                releaseFrames();
        }))
        holdFrames();
}

bool CServerFileConn::awaitDigest(const std::function<void()> &resume)
{
    const bool hashing = digest && digest->backlog() > DIGEST_BACKLOG_LIMIT;
    const bool storing
        = upload == Upload::Receiving && uploadFile && uploadFile->backlog() > SINK_BACKLOG_LIMIT;
    if (!hashing && !storing)
        return false;
    if (digestWaiting)
        return true;
    digestWaiting = true;
    const QPointer<CServerFileConn> self(this);
    const quint64 number = digestNumber;
    const auto wake = [self, number, resume] {
        if (self) {
            QMetaObject::invokeMethod(
                self.data(),
                [self, number, resume] {
                    if (self->digestNumber != number || !self->digestWaiting)
                        return;
                    self->digestWaiting = false;
                    resume();
                },
                Qt::QueuedConnection);
        }
    };
    if (hashing)
        digest->whenBelow(DIGEST_BACKLOG_LIMIT / 2, wake);
    else
        uploadFile->whenBelow(SINK_BACKLOG_LIMIT, wake);
    return true;
}

void CServerFileConn::fileBytesSent(const QByteArray &chunk, qsizetype offset, qsizetype length)
{
    if (digest && upload == Upload::None)
        digest->add(chunk, offset, length);
}

bool CServerFileConn::sendPaused()
{
    return upload == Upload::None && awaitDigest([this] { resumeSend(); });
}

bool CServerFileConn::sendEndNow()
{
    if (!digest || upload != Upload::None)
        return true;
    // The end frame waits for the sum of the bytes sent; a second start of the same download
    // sends none and is not checked again.
    const std::shared_ptr<CTransferDigest> finished = std::move(digest);
    const QPointer<CServerFileConn> self(this);
    const quint64 number = ++digestNumber;
    finished->finish([self, number](const QString &hex) {
        if (self) {
            QMetaObject::invokeMethod(
                self.data(),
                [self, number, hex] {
                    if (self->digestNumber == number)
                        self->downloadChecked(hex);
                },
                Qt::QueuedConnection);
        }
    });
    return false;
}

void CServerFileConn::downloadChecked(const QString &actual)
{
    bool intact = actual == expectedSum;
    if (!intact && adapter && file) {
        // A file is known by its device and inode; another source by nothing more.
        struct stat st
        {
        };
        const auto *opened = qobject_cast<QFile *>(file);
        const bool known = !opened || ::fstat(opened->handle(), &st) == 0;
        intact = known
            && adapter->acceptMismatch(
                downloadUser, downloadName, quint64(st.st_dev), quint64(st.st_ino), actual);
    }
    endSend(intact);
    // Damaged bytes never end like a complete download.
    if (!intact)
        resetConnection();
}

CServerFileConn::Flush CServerFileConn::flushUpload()
{
    if (uploadPending.isEmpty())
        return Flush::Written;
    if (uploadSize + uploadPending.size() > uploadGranted) {
        // Nothing more is read until the adapter has answered.
        holdFrames();
        askForRoom();
        return Flush::Waiting;
    }
    uploadSize += uploadPending.size();
    if (digest) {
        // The digest hashes these bytes and writes them to the file on its own thread, and
        // keeps the buffer until then; the next bytes go to one it has given back.
        digest->add(uploadPending, 0, uploadPending.size());
        if (lentBuffers.size() < LENT_BUFFERS)
            lentBuffers.append(uploadPending);
        uploadPending = spareBuffer();
        return Flush::Written;
    }
    // A plain write: the sync comes with the commit, away from this thread.
    const bool ok = uploadFile->write(uploadPending);
    uploadPending.resize(0);
    if (adapter && uploadSize - uploadWrittenBack >= UPLOAD_CHECK_BYTES) {
        uploadWrittenBack = uploadSize;
        adapter->startWriteBack(uploadId, [file = uploadFile] { file->startWriteBack(); });
    }
    return ok ? Flush::Written : Flush::Failed;
}

QByteArray CServerFileConn::spareBuffer()
{
    // Buffers lent to the digest come back once it has dropped them: reused, they cost no new
    // pages of memory for each one.
    for (qsizetype i = 0; i < lentBuffers.size(); ++i) {
        if (lentBuffers.at(i).isDetached()) {
            QByteArray buffer = lentBuffers.takeAt(i);
            buffer.resize(0);
            return buffer;
        }
    }
    QByteArray buffer;
    buffer.reserve(UPLOAD_GATHER_SIZE);
    return buffer;
}

void CServerFileConn::askForRoom()
{
    if (roomAsked || !adapter)
        return;
    roomAsked = true;
    const QPointer<CServerFileConn> self(this);
    const quint64 id = uploadId;
    // Bytes still with the digest are not on disk, and the room granted for them counts as
    // taken until they are; asked with bytes outstanding, every upload would hold room it is
    // not using yet while the others are refused. So the question waits until they are
    // written, as they would be had this thread written them; the frames meanwhile go on
    // within the room granted.
    if (digest && digest->backlog() > 0) {
        digest->whenBelow(0, [self, id] {
            if (self) {
                QMetaObject::invokeMethod(
                    self.data(),
                    [self, id] {
                        if (self->uploadId == id && self->roomAsked) {
                            self->roomAsked = false;
                            self->askForRoom();
                        }
                    },
                    Qt::QueuedConnection);
            }
        });
        return;
    }
    const qint64 needed = uploadSize + uploadPending.size();
    // Answers are taken from the event loop, even one given at once: never from inside the
    // frame being handled.
    const qint64 onDisk = uploadFile ? uploadFile->bytesWritten() : uploadSize;
    adapter->requestUploadRoom(
        id, uploadName, onDisk, needed, needed + UPLOAD_CHECK_BYTES, [self, id](qint64 granted) {
            if (self) {
                QMetaObject::invokeMethod(
                    self.data(),
                    [self, id, granted] {
                        if (self->uploadId == id)
                            self->roomAnswered(granted);
                    },
                    Qt::QueuedConnection);
            }
        });
}

void CServerFileConn::roomAnswered(qint64 granted)
{
    roomAsked = false;
    if (upload != Upload::Receiving)
        return;
    if (granted < 0) {
        failUpload();
        return;
    }
    uploadGranted = qMax(uploadGranted, granted);
    if (!holdingFrames())
        return; // asked ahead; nothing waits
    switch (flushUpload()) {
    case Flush::Failed:
        failUpload();
        return;
    case Flush::Waiting:
        return;
    case Flush::Written:
        break;
    }
    if (finishWaiting) {
        finishWaiting = false;
        finishUpload();
        return;
    }
    releaseFrames();
}

void CServerFileConn::finishUpload()
{
    if (upload != Upload::Receiving) {
        abort(); // no accepted upload
        return;
    }
    stopRecvTimer();
    switch (flushUpload()) {
    case Flush::Failed:
        failUpload();
        return;
    case Flush::Waiting:
        finishWaiting = true;
        return;
    case Flush::Written:
        break;
    }
    // The adapter runs the commit, which syncs the temporary file to disk and renames it over
    // the archive (or completes the upload in the store), wherever it likes; the sink is its
    // own from here on. Until the answer comes, nothing more is read.
    upload = Upload::Committing;
    holdFrames();
    if (auto *temporary = dynamic_cast<CUploadFile *>(uploadFile.get()))
        temporary->setMadeFolders(madeFolders);
    std::shared_ptr<CUploadSink> handed = std::move(uploadFile);
    const QPointer<CServerFileConn> self(this);
    const quint64 id = uploadId;
    const CAbstractServerFileConnAdapter::CommitAnswer answer = [self, id](bool stored) {
        if (self) {
            QMetaObject::invokeMethod(
                self.data(),
                [self, id, stored] {
                    if (self->uploadId == id)
                        self->commitAnswered(stored);
                },
                Qt::QueuedConnection);
        }
    };
    if (adapter)
        adapter->commitUpload(id, uploadName, uploadSize, handed, answer);
    else
        answer(handed->commit());
}

void CServerFileConn::commitAnswered(bool stored)
{
    if (upload != Upload::Committing)
        return;
    // Folders made for the upload now hold its archive.
    if (stored)
        madeFolders.clear();
    releaseFiles();
    // The client learns the outcome from how the connection ends: an orderly close (queued
    // bytes first, then FIN) only once the archive is on disk, a reset otherwise.
    if (stored)
        disconnectFromHost();
    else
        resetConnection();
}

void CServerFileConn::sendFailed()
{
    // A source that cannot be read (a store gone) must not leave the client waiting for the
    // rest.
    resetConnection();
}

void CServerFileConn::failUpload()
{
    releaseFiles();
    resetConnection();
}

void CServerFileConn::releaseFiles()
{
    downloadOpening = false;
    uploadPending.clear();
    lentBuffers.clear();
    digest.reset();
    ++digestNumber;
    digestWaiting = false;
    if (file) {
        cancelSend();
        file->close();
        delete file;
        file = nullptr;
    }
    if (upload != Upload::None) {
        if (adapter)
            adapter->uploadEnded(uploadId);
        // An upload not yet handed over takes its temporary file with it.
        uploadFile.reset();
        upload = Upload::None;
        uploadId = 0;
        uploadGranted = 0;
        roomAsked = false;
        finishWaiting = false;
        stopRecvTimer();
    }
    uploadFile.reset();
    // Deepest first; a folder that holds anything by now stays.
    for (const QString &folder : std::as_const(madeFolders))
        QDir().rmdir(folder);
    madeFolders.clear();
}

} // namespace libsock
