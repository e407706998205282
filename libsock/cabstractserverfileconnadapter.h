#ifndef LIBSOCK_CABSTRACTSERVERFILECONNADAPTER_H
#define LIBSOCK_CABSTRACTSERVERFILECONNADAPTER_H

#include <QString>

namespace libsock {

// What a server file connection asks its owner about a transfer. Never deleted through
// this interface, hence no virtual destructor.
class CAbstractServerFileConnAdapter
{
public:
    virtual bool requestTransfer(const QString &user, const QString &detail);
    virtual QString downloadFileName(const QString &saveName);
    virtual QString uploadFileName(const QString &saveName);

protected:
    ~CAbstractServerFileConnAdapter() = default;
};

} // namespace libsock

#endif // LIBSOCK_CABSTRACTSERVERFILECONNADAPTER_H
