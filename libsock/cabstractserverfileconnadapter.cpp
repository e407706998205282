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

} // namespace libsock
