#ifndef LIBSOCK_CUPLOADSINK_H
#define LIBSOCK_CUPLOADSINK_H

#include <functional>
#include <memory>

#include <QByteArray>

namespace libsock {

class CTransferDigest;

// Where an upload's bytes go until the upload is complete and committed: a temporary file
// beside the archive (CUploadFile), or the parts of an upload to an object store. The
// connection writes the bytes in order on its thread; commit() runs once, after the last
// write, on whatever thread the adapter chooses, and puts them in the archive's place whole,
// or fails and leaves the archive as it was. A sink dropped before its commit leaves nothing.
class CUploadSink
{
public:
    virtual ~CUploadSink() = default;

    // False: the upload has failed (a write error, the store gone); nothing more is taken.
    virtual bool write(const QByteArray &bytes) = 0;
    // Bytes written and not yet where the sink keeps them: while there are more than the
    // connection allows, it reads no more of the client.
    virtual qint64 backlog() const { return 0; }
    // Calls ready (on any thread) once the backlog is at or below bytes, or the sink has
    // failed; at once if that is so already.
    virtual void whenBelow(qint64 bytes, const std::function<void()> &ready)
    {
        Q_UNUSED(bytes);
        ready();
    }
    // About once a megabyte: start putting the bytes so far where they go, without waiting.
    virtual void startWriteBack() { }
    // The digest of the bytes written: the commit keeps its sum with the archive.
    void setDigest(const std::shared_ptr<CTransferDigest> &sum) { digest = sum; }
    virtual bool commit() = 0;

protected:
    std::shared_ptr<CTransferDigest> digest;
};

} // namespace libsock

#endif // LIBSOCK_CUPLOADSINK_H
