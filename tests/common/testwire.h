#ifndef TESTWIRE_H
#define TESTWIRE_H

#include <QByteArray>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>

#include "testsettle.h"

// Byte-level builders and readers for both ports, written independently of the server's own
// packet code so the tests check the wire rather than restate it.
namespace testwire {

inline QByteArray str(const QByteArray &text)
{
    QByteArray out(2, '\0');
    qToBigEndian<quint16>(quint16(text.size()), out.data());
    return out + text;
}

inline QByteArray int32(qint32 v)
{
    QByteArray out(4, '\0');
    qToBigEndian<qint32>(v, out.data());
    return out;
}

inline QByteArray int64(qint64 v)
{
    QByteArray out(8, '\0');
    qToBigEndian<qint64>(v, out.data());
    return out;
}

// aux: the header's four bytes after the tag, which the server ignores.
inline QByteArray packet(quint8 command, const QByteArray &body, quint32 aux = 0)
{
    QByteArray out(22, '\0');
    out[0] = 0x1A;
    qToLittleEndian<quint32>(aux, out.data() + 1);
    out[5] = 3;
    out[10] = 1;
    out[19] = char(command);
    qToLittleEndian<quint16>(quint16(body.size()), out.data() + 20);
    return out + body;
}

inline QByteArray frame(quint8 type, const QByteArray &payload)
{
    QByteArray out(6, '\0');
    out[0] = 0x1A;
    out[1] = char(type);
    qToBigEndian<quint32>(quint32(payload.size()), out.data() + 2);
    return out + payload;
}

// Reads exactly n bytes, or what came before the deadline. The server runs in this thread,
// so the wait spins the event loop instead of blocking on the socket.
inline QByteArray readExactly(QTcpSocket &socket, qint64 n, int msec = 10000)
{
    QByteArray out;
    (void)settle(
        [&] {
            out += socket.read(n - out.size());
            return out.size() >= n;
        },
        msec);
    return out;
}

struct Packet
{
    quint8 command = 0;
    QByteArray body;
    bool ok = false;
};

inline Packet readPacket(QTcpSocket &socket)
{
    Packet p;
    const QByteArray header = readExactly(socket, 22);
    if (header.size() != 22)
        return p;
    p.command = quint8(header[19]);
    const quint16 length = qFromLittleEndian<quint16>(header.constData() + 20);
    p.body = readExactly(socket, length);
    p.ok = p.body.size() == length;
    return p;
}

struct Frame
{
    quint8 type = 0;
    QByteArray payload;
    bool ok = false;
};

inline Frame readFrame(QTcpSocket &socket)
{
    Frame f;
    const QByteArray header = readExactly(socket, 6);
    if (header.size() != 6)
        return f;
    f.type = quint8(header[1]);
    const quint32 length = qFromBigEndian<quint32>(header.constData() + 2);
    f.payload = readExactly(socket, length);
    f.ok = quint32(f.payload.size()) == length;
    return f;
}

} // namespace testwire

#endif // TESTWIRE_H
