#ifndef LIBSOCK_BYTEORDER_H
#define LIBSOCK_BYTEORDER_H

#include <QtEndian>

namespace libsock {

// Body integers and frame lengths travel big-endian; these are the only conversions used.
inline quint32 hostToNet32(quint32 v)
{
    return qToBigEndian(v);
}
inline quint32 netToHost32(quint32 v)
{
    return qFromBigEndian(v);
}
inline quint16 netToHost16(quint16 v)
{
    return qFromBigEndian(v);
}
// Reverses the 8 bytes; serves both directions.
inline qint64 swapBytes64(qint64 v)
{
    return qbswap(v);
}

} // namespace libsock

#endif // LIBSOCK_BYTEORDER_H
