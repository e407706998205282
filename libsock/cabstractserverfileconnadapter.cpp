#include "cabstractserverfileconnadapter.h"

#include "cserverfileconn.h"
#include "ctransferdigest.h"
#include "cuploadsink.h"

namespace libsock {

bool CAbstractServerFileConnAdapter::requestTransfer(const QString &user, const QString &detail)
{
    Q_UNUSED(user);
    Q_UNUSED(detail);
    return true;
}

QString CAbstractServerFileConnAdapter::downloadFileName(const QString &saveName)
{
    return saveName;
}

QString CAbstractServerFileConnAdapter::uploadFileName(const QString &saveName)
{
    return saveName;
}

void CAbstractServerFileConnAdapter::requestUploadRoom(quint64 upload, const QString &fileName,
    qint64 written, qint64 needed, qint64 wanted, const RoomAnswer &answer)
{
    Q_UNUSED(upload);
    Q_UNUSED(fileName);
    Q_UNUSED(written);
    Q_UNUSED(needed);
    answer(wanted);
}

void CAbstractServerFileConnAdapter::commitUpload(quint64 upload, const QString &fileName,
    qint64 size, const std::shared_ptr<CUploadSink> &sink, const CommitAnswer &answer)
{
    Q_UNUSED(upload);
    Q_UNUSED(fileName);
    Q_UNUSED(size);
    answer(sink->commit());
}

bool CAbstractServerFileConnAdapter::keepsSaves() const
{
    return false;
}

void CAbstractServerFileConnAdapter::openDownload(
    const QString &fileName, const DownloadAnswer &answer)
{
    Q_UNUSED(fileName);
    answer(FILE_OPEN_FAILED, nullptr, nullptr, QString());
}

std::shared_ptr<CUploadSink> CAbstractServerFileConnAdapter::openUpload(
    quint64 upload, const QString &fileName)
{
    Q_UNUSED(upload);
    Q_UNUSED(fileName);
    return nullptr;
}

void CAbstractServerFileConnAdapter::startWriteBack(
    quint64 upload, const std::function<void()> &start)
{
    Q_UNUSED(upload);
    Q_UNUSED(start);
}

void CAbstractServerFileConnAdapter::uploadEnded(quint64 upload)
{
    Q_UNUSED(upload);
}

std::shared_ptr<CTransferDigest> CAbstractServerFileConnAdapter::uploadDigest(
    quint64 upload, const QString &fileName)
{
    Q_UNUSED(upload);
    Q_UNUSED(fileName);
    return nullptr;
}

std::shared_ptr<CTransferDigest> CAbstractServerFileConnAdapter::downloadDigest(
    const QString &fileName, QString *expected)
{
    Q_UNUSED(fileName);
    expected->clear();
    return nullptr;
}

bool CAbstractServerFileConnAdapter::acceptMismatch(const QString &user, const QString &fileName,
    quint64 device, quint64 inode, const QString &actual)
{
    Q_UNUSED(user);
    Q_UNUSED(fileName);
    Q_UNUSED(device);
    Q_UNUSED(inode);
    Q_UNUSED(actual);
    return false;
}

bool CAbstractServerFileConnAdapter::permitTransfer(
    const QHostAddress &peer, const QString &user, const QString &saveName)
{
    Q_UNUSED(peer);
    Q_UNUSED(user);
    Q_UNUSED(saveName);
    return true;
}

} // namespace libsock
