#include "cabstractserverfileconnadapter.h"

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
    qint64 size, const std::function<bool()> &commit, const CommitAnswer &answer)
{
    Q_UNUSED(upload);
    Q_UNUSED(fileName);
    Q_UNUSED(size);
    answer(commit());
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

bool CAbstractServerFileConnAdapter::permitTransfer(
    const QHostAddress &peer, const QString &user, const QString &saveName)
{
    Q_UNUSED(peer);
    Q_UNUSED(user);
    Q_UNUSED(saveName);
    return true;
}

} // namespace libsock
