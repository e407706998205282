#ifndef LIBSOCK_CUPLOADSINK_H
#define LIBSOCK_CUPLOADSINK_H

#include <functional>
#include <memory>

#include <QByteArray>

namespace libsock {

class CTransferDigest;

// Where an upload's bytes go until the upload is complete and committed: a temporary file
// beside the archive (CUploadFile), or the parts of an upload to an object store. The bytes
// arrive in order, from the connection's thread or, once a digest is set, from the digest's
// (which hands each piece on as it hashes it); commit() runs once, after the last, on
// whatever thread the adapter chooses, and puts them in the archive's place whole, or fails
// and leaves the archive as it was. A sink dropped before its commit leaves nothing.
class CUploadSink
{
public:
    virtual ~CUploadSink() = default;

    // False: the upload has failed (a write error, the store gone); nothing more is taken.
    virtual bool write(const char *data, qint64 size) = 0;
    bool write(const QByteArray &bytes) { return write(bytes.constData(), bytes.size()); }
    // Whether a write has failed already, wherever it ran.
    virtual bool failed() const = 0;
    // Bytes in place so far: with a digest, fewer than handed over.
    virtual qint64 bytesWritten() const = 0;
    // Bytes taken and not yet where the sink keeps them (parts on their way to a store):
    // while there are more than the connection allows, it reads no more of the client.
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
    // The digest of the upload's bytes, which hands them to write() on its own thread as it
    // hashes them: the connection then hands them to the digest only. The commit waits for
    // it and keeps its sum with the archive. The sink must be owned by a shared pointer.
    virtual void setDigest(const std::shared_ptr<CTransferDigest> &sum) = 0;
    virtual bool commit() = 0;
};

} // namespace libsock

#endif // LIBSOCK_CUPLOADSINK_H
