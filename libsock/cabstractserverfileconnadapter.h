#ifndef LIBSOCK_CABSTRACTSERVERFILECONNADAPTER_H
#define LIBSOCK_CABSTRACTSERVERFILECONNADAPTER_H

#include <QString>

class QHostAddress;

namespace libsock {

// What a server file connection asks its owner about a transfer. Never deleted through
// this interface, hence no virtual destructor.
class CAbstractServerFileConnAdapter
{
public:
    virtual bool requestTransfer(const QString &user, const QString &detail);
    virtual QString downloadFileName(const QString &saveName);
    virtual QString uploadFileName(const QString &saveName);
    // Asked after requestTransfer(), with what it is not given: whether user, connected
    // from peer, may transfer the save of that name.
    virtual bool permitTransfer(
        const QHostAddress &peer, const QString &user, const QString &saveName);

protected:
    ~CAbstractServerFileConnAdapter() = default;
};

} // namespace libsock

#endif // LIBSOCK_CABSTRACTSERVERFILECONNADAPTER_H
