#include "cfirstbytegate.h"

namespace libsock {

CFirstByteGate::CFirstByteGate(Policy policy)
    : rule(policy)
{
    // Without TLS nothing needs to be seen: the connection goes the way it always went.
    if (rule == Policy::PlainOnly)
        current = Route::Plain;
}

CFirstByteGate::Route CFirstByteGate::feed(const char *peeked, qint64 size, bool ended)
{
    if (current != Route::Wait)
        return current;
    if (size <= 0 || peeked == nullptr) {
        if (ended)
            current = Route::Close;
        return current;
    }
    if (quint8(peeked[0]) == TLS_HANDSHAKE_BYTE)
        current = Route::Tls;
    else
        current = rule == Policy::TlsOnly ? Route::Close : Route::Plain;
    return current;
}

CFirstByteGate::Route CFirstByteGate::expire()
{
    if (current == Route::Wait)
        current = Route::Close;
    return current;
}

} // namespace libsock
