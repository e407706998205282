#include "cserverfileconn.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "cabstractserverfileconnadapter.h"

namespace libsock {

namespace {

bool syncFolder(const QString &folder)
{
    const int fd
        = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

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
            uploadFile = new QSaveFile(path, this);
            uploadName = name;
            uploadSize = 0;
            uploadUnchecked = 0;
            // Unbuffered: the connection gathers the frames into larger writes itself.
            uploadPending.reserve(UPLOAD_GATHER_SIZE);
            if (info.isDir() || !prepareFolder(info.absolutePath())
                || !uploadFile->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
                result = FILE_OPEN_FAILED;
                releaseFiles();
            }
        }
    }
    packet.writeByte(result);
    sendPacket(packet);
    // An upload that stops sending must not hold its temporary file for ever.
    if (uploadFile)
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
    if (!uploadFile) {
        abort(); // no accepted upload
        return;
    }
    // Frames gathered into fewer, larger file writes, within a bound of their own.
    const qint64 length = header.length;
    bool ok = true;
    if (uploadPending.size() + length > UPLOAD_GATHER_SIZE)
        ok = flushUpload();
    uploadPending.append(recvBuffer.constData() + FRAME_HEADER_SIZE, length);
    if (!ok) {
        // The old archive stays as it was; the peer sees the connection reset before its 6.
        releaseFiles();
        resetConnection();
        return;
    }
}

bool CServerFileConn::flushUpload()
{
    const qint64 growth = uploadPending.size();
    // The limits cost a look at the volume, and with a per-user bound a walk through the
    // user's folder: once at the start and then once a megabyte. The commit checks the
    // sizes exactly.
    const bool due = uploadSize == 0 || uploadUnchecked + growth >= UPLOAD_CHECK_BYTES;
    if (growth > 0 && adapter && due) {
        uploadUnchecked = 0;
        if (!adapter->allowUploadSize(uploadName, uploadSize + growth, growth)) {
            uploadPending.resize(0);
            return false;
        }
    } else {
        uploadUnchecked += growth;
    }
    const bool ok = uploadFile->write(uploadPending) == growth;
    uploadSize += growth;
    uploadPending.resize(0);
    return ok;
}

void CServerFileConn::finishUpload()
{
    if (!uploadFile) {
        abort(); // no accepted upload
        return;
    }
    stopRecvTimer();
    const bool stored = commitUpload();
    releaseFiles();
    // The client learns the outcome from how the connection ends: an orderly close (queued
    // bytes first, then FIN) only once the archive is on disk, a reset otherwise.
    if (stored)
        disconnectFromHost();
    else
        resetConnection();
}

bool CServerFileConn::commitUpload()
{
    // commit() syncs the temporary file to disk and renames it over the archive; on any
    // earlier write error it discards the temporary file instead. The adapter runs the commit,
    // and may keep the archive being replaced or refuse the upload.
    if (!flushUpload() || !uploadFile->flush())
        return false;
    const auto commit = [this] {
        const QString path = uploadFile->fileName();
        if (!uploadFile->commit())
            return false;
        // The rename is on disk only once its folder is, and a new folder once its parent is.
        bool synced = syncFolder(QFileInfo(path).absolutePath());
        for (const QString &folder : std::as_const(madeFolders))
            synced = syncFolder(QFileInfo(folder).path()) && synced;
        madeFolders.clear();
        return synced;
    };
    return adapter ? adapter->commitUpload(uploadName, uploadSize, commit) : commit();
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
        stopRecvTimer();
    }
    // Deepest first; a folder that holds anything by now stays.
    for (const QString &folder : std::as_const(madeFolders))
        QDir().rmdir(folder);
    madeFolders.clear();
}

} // namespace libsock
