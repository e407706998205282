#ifndef LIBSOCK_CTRANSFERDIGEST_H
#define LIBSOCK_CTRANSFERDIGEST_H

#include <functional>

#include <QByteArray>
#include <QString>

namespace libsock {

// The sum of a transfer's bytes, computed away from the thread that moves them: the
// connection only hands its buffers over (shared, not copied) and asks for the result at the
// end. The owner (the connection's adapter) decides where the hashing runs and where the sum
// is kept. An upload's digest also writes its bytes to the file (setSink()), on the same
// thread right after hashing them, so neither the hashing nor the file's writes, which the
// disk may hold up, cost the network thread.
class CTransferDigest
{
public:
    virtual ~CTransferDigest() = default;

    // The next length bytes of the stream, at offset in buffer; from one thread, in order.
    // Those bytes of buffer are never written again, so it is kept rather than copied.
    virtual void add(const QByteArray &buffer, qsizetype offset, qsizetype length) = 0;
    // Bytes handed in and not hashed yet.
    virtual qint64 backlog() const = 0;
    // Calls ready (on any thread) once the backlog is at or below bytes, at once if it is.
    virtual void whenBelow(qint64 bytes, const std::function<void()> &ready) = 0;
    // Calls done with the sum of everything added (hex), on any thread, once it is all
    // hashed. Nothing is added afterwards.
    virtual void finish(const std::function<void(const QString &hex)> &done) = 0;

    // Each piece, once hashed, is handed to sink in order, on the hashing thread, before it
    // leaves the backlog. Set before the first add().
    virtual void setSink(const std::function<void(const char *data, qint64 size)> &sink) = 0;
    // Waits (on a thread that may block) until every piece added has been hashed and handed to
    // the sink.
    virtual void settle() = 0;

    // An upload's digest, run by its commit: waits for the result and keeps it beside file,
    // durably, before file is published under its name. False when it cannot be kept.
    virtual bool saveBeside(const QString &file) = 0;
    // The publication failed after saveBeside(): the sum goes again.
    virtual void dropBeside(const QString &file) = 0;
};

} // namespace libsock

#endif // LIBSOCK_CTRANSFERDIGEST_H
