// The choice between TLS and the plain protocol by a connection's first byte, fed as a socket
// would show it: the bytes so far in growing peeks, a time-out, or the peer's end.
//   byte 0: policy; byte 1: what happens first (bits 0-1: how many bytes each peek adds,
//   bit 2: the wait runs out before the first peek, bit 3: the peer ends after the bytes)

#include <cstdint>

#include "cfirstbytegate.h"

using libsock::CFirstByteGate;
using Route = CFirstByteGate::Route;

namespace {

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const auto policy = CFirstByteGate::Policy(data[0] % 3);
    const int step = (data[1] & 3) + 1;
    const bool expireFirst = data[1] & 4;
    const bool ends = data[1] & 8;
    const char *bytes = reinterpret_cast<const char *>(data + 2);
    const qint64 count = qint64(size) - 2;

    CFirstByteGate gate(policy);
    if (policy == CFirstByteGate::Policy::PlainOnly) {
        // Nothing is waited for and nothing changes the way.
        check(gate.route() == Route::Plain);
        check(gate.feed(bytes, count, true) == Route::Plain && gate.expire() == Route::Plain);
        return 0;
    }
    check(gate.route() == Route::Wait);
    if (expireFirst)
        check(gate.expire() == Route::Close);
    Route seen = gate.route();
    for (qint64 shown = 0; shown <= count; shown += step) {
        const Route now = gate.feed(bytes, shown, false);
        // Final once decided; undecided only while no byte was shown.
        check(seen == Route::Wait || now == seen);
        check((now == Route::Wait) == (shown == 0 && !expireFirst));
        seen = now;
    }
    const Route last = gate.feed(bytes, count, ends);
    check(last == gate.route());
    // A decided route outlives the wait's end; an undecided one is closed by it.
    check(gate.expire() == (last == Route::Wait ? Route::Close : last));
    if (expireFirst) {
        check(last == Route::Close);
    } else if (count == 0) {
        check(last == (ends ? Route::Close : Route::Wait));
    } else if (uint8_t(bytes[0]) == libsock::TLS_HANDSHAKE_BYTE) {
        check(last == Route::Tls);
    } else {
        check(last == (policy == CFirstByteGate::Policy::TlsOnly ? Route::Close : Route::Plain));
    }
    return 0;
}
