#ifndef LIBSOCK_CFIRSTBYTEGATE_H
#define LIBSOCK_CFIRSTBYTEGATE_H

#include <QtGlobal>

namespace libsock {

// First byte of a TLS handshake record (ContentType handshake): a client that starts TLS
// always sends it first. Packets and frames of our own start with 0x1A.
constexpr quint8 TLS_HANDSHAKE_BYTE = 0x16;

// Decides from a connection's first byte whether it speaks TLS or the plain protocol, before
// anything reads it: the caller peeks at the socket and feeds what it saw, so the byte stays
// for whichever reader takes the connection. No I/O here, so a fuzzer drives it directly.
class CFirstByteGate
{
public:
    enum class Policy {
        // No TLS configured: every connection is plain, whatever its first byte.
        PlainOnly,
        // TLS for a handshake byte, the plain protocol for anything else.
        Either,
        // TLS only: anything but a handshake byte is closed without a reply.
        TlsOnly,
    };
    enum class Route { Wait, Plain, Tls, Close };

    explicit CFirstByteGate(Policy policy = Policy::PlainOnly);

    // peeked: the bytes the socket holds so far, none taken from it (result of a peek);
    // 0 bytes with ended means the peer closed or failed before sending any. Returns the
    // route, which is final once it is no longer Wait.
    Route feed(const char *peeked, qint64 size, bool ended = false);
    // The wait for the first byte ran out.
    Route expire();
    Route route() const { return current; }
    Policy policy() const { return rule; }

private:
    Policy rule;
    Route current = Route::Wait;
};

} // namespace libsock

#endif // LIBSOCK_CFIRSTBYTEGATE_H
