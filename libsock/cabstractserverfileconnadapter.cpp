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

bool CAbstractServerFileConnAdapter::permitTransfer(
    const QHostAddress &peer, const QString &user, const QString &saveName)
{
    Q_UNUSED(peer);
    Q_UNUSED(user);
    Q_UNUSED(saveName);
    return true;
}

} // namespace libsock
