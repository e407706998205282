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

bool CAbstractServerFileConnAdapter::allowUploadSize(
    const QString &fileName, qint64 size, qint64 growth)
{
    Q_UNUSED(fileName);
    Q_UNUSED(size);
    Q_UNUSED(growth);
    return true;
}

bool CAbstractServerFileConnAdapter::commitUpload(
    const QString &fileName, qint64 size, const std::function<bool()> &commit)
{
    Q_UNUSED(fileName);
    Q_UNUSED(size);
    return commit();
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
