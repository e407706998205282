#include "cserverfileconn.h"

#include <sys/socket.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "cabstractserverfileconnadapter.h"

namespace libsock {

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

// The files are QObject children: a QFile closes and an uncommitted QSaveFile removes its
// temporary file when destroyed with the connection.
CServerFileConn::~CServerFileConn() = default;

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
        } else if (!QFile::exists(path)) {
            result = FILE_NOT_FOUND;
        } else {
            file = new QFile(path, this);
            if (!file->open(QIODevice::ReadOnly)) {
                result = FILE_OPEN_FAILED;
                releaseFiles();
            }
        }
    }
    packet.writeByte(result);
    if (result == FILE_OK)
        packet.writeInt64(file->size());
    sendPacket(packet);
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
            const QFileInfo info(path);
            const QString folder = info.absolutePath();
            if (!QFileInfo::exists(folder))
                QDir().mkpath(folder);
            uploadFile = new QSaveFile(path, this);
            uploadName = name;
            uploadSize = 0;
            // Unbuffered: the connection gathers the frames into large writes itself.
            if (info.isDir() || !uploadFile->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
                result = FILE_OPEN_FAILED;
                releaseFiles();
            }
        }
    }
    packet.writeByte(result);
    sendPacket(packet);
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
    if (!uploadFile) {
        abort(); // no accepted upload
        return;
    }
    const qint64 length = header.length;
    uploadPending.append(recvBuffer.constData() + FRAME_HEADER_SIZE, length);
    if (uploadPending.size() >= 1024 * 1024 && !flushUpload()) {
        // The old archive stays as it was; the peer sees the connection reset before its 6.
        releaseFiles();
        resetConnection();
    }
}

void CServerFileConn::finishUpload()
{
    if (!uploadFile) {
        abort(); // no accepted upload
        return;
    }
    // commit() syncs the temporary file to disk and renames it over the archive; on any
    // earlier write error it discards the temporary file instead. The adapter runs it, and
    // may keep the archive being replaced or refuse the upload.
    bool ok = flushUpload() && uploadFile->flush();
    if (ok) {
        const auto commit = [this] { return uploadFile->commit(); };
        ok = adapter ? adapter->commitUpload(uploadName, uploadSize, commit) : commit();
    }
    releaseFiles();
    if (ok)
        abort();
    else
        resetConnection();
}

bool CServerFileConn::flushUpload()
{
    const qint64 growth = uploadPending.size();
    if (growth > 0 && adapter
        && !adapter->allowUploadSize(uploadName, uploadSize + growth, growth)) {
        uploadPending.resize(0);
        return false;
    }
    const bool ok = uploadFile->write(uploadPending) == growth;
    uploadSize += growth;
    uploadPending.resize(0);
    return ok;
}

// A failed upload ends with a reset rather than an orderly close, so the peer cannot take
// it for a stored file.
void CServerFileConn::resetConnection()
{
    const linger hard { 1, 0 };
    if (socketDescriptor() >= 0)
        ::setsockopt(int(socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    abort();
}

void CServerFileConn::releaseFiles()
{
    uploadPending.clear();
    if (file) {
        cancelSend();
        file->close();
        delete file;
        file = nullptr;
    }
    if (uploadFile) {
        // Destroying an uncommitted QSaveFile removes its temporary file.
        delete uploadFile;
        uploadFile = nullptr;
    }
}

} // namespace libsock
