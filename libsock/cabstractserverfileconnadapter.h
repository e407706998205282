#ifndef LIBSOCK_CABSTRACTSERVERFILECONNADAPTER_H
#define LIBSOCK_CABSTRACTSERVERFILECONNADAPTER_H

#include <functional>

#include <QString>

class QHostAddress;

namespace libsock {

// What a server file connection asks its owner about a transfer. Never deleted through
// this interface, hence no virtual destructor.
class CAbstractServerFileConnAdapter
{
public:
    virtual bool requestTransfer(const QString &user, const QString &detail);
    // An empty name refuses the request (result 3).
    virtual QString downloadFileName(const QString &saveName);
    virtual QString uploadFileName(const QString &saveName);
    // Asked before the first upload bytes go to disk and then about once a megabyte: whether
    // the file named by uploadFileName may grow by growth bytes to size bytes. False ends the
    // upload as failed. commitUpload() has the last word on the size.
    virtual bool allowUploadSize(const QString &fileName, qint64 size, qint64 growth);
    // Ends a complete upload of size bytes, all on disk. commit() puts the received file in
    // place of the archive and returns whether that worked; the owner runs it, with whatever
    // it keeps of the archive being replaced, and returns false when the upload failed or was
    // refused (the archive then stays as it was).
    virtual bool commitUpload(
        const QString &fileName, qint64 size, const std::function<bool()> &commit);
    // Asked after requestTransfer(), with what it is not given: whether user, connected
    // from peer, may transfer the save of that name.
    virtual bool permitTransfer(
        const QHostAddress &peer, const QString &user, const QString &saveName);

protected:
    ~CAbstractServerFileConnAdapter() = default;
};

} // namespace libsock

#endif // LIBSOCK_CABSTRACTSERVERFILECONNADAPTER_H
