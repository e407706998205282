#include "cprotopacket.h"

#include <atomic>
#include <cstring>

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QtEndian>

#include "byteorder.h"

namespace libsock {

namespace {

// Every reset anywhere in the process takes the next number; nobody checks them on receipt.
std::atomic<quint32> nextSequence { 1 };

constexpr int OFFSET_SEQUENCE = 1;
constexpr int OFFSET_BYTE5 = 5;
constexpr int OFFSET_WORD10 = 10;
constexpr int OFFSET_AUX = 18;
constexpr int OFFSET_COMMAND = 19;
constexpr int OFFSET_BODY_LENGTH = 20;

} // namespace

CProtoPacket::CProtoPacket()
{
    // Only the header: the body is read no further than it was written or loaded, and
    // clearing the whole record cost more than the rest of a login's handling.
    std::memset(bytes, 0, PACKET_HEADER_SIZE);
}

CProtoPacket &CProtoPacket::reset()
{
    valid = false;
    readPos = 0;
    loadedSize = PACKET_HEADER_SIZE;
    std::memset(bytes, 0, PACKET_HEADER_SIZE);
    qToLittleEndian<quint32>(1, bytes + OFFSET_WORD10);
    bytes[0] = char(PACKET_MARKER);
    bytes[OFFSET_BYTE5] = 3;
    qToLittleEndian<quint32>(nextSequence++, bytes + OFFSET_SEQUENCE);
    return *this;
}

CProtoPacket &CProtoPacket::loadFrom(const char *src, int length)
{
    length = qBound(0, length, PACKET_MAX_SIZE);
    if (length > 0)
        std::memcpy(bytes, src, size_t(length));
    loadedSize = length;
    readPos = 0;
    valid = length > 0 && quint8(bytes[0]) == PACKET_MARKER;
    return *this;
}

quint8 CProtoPacket::command() const
{
    return quint8(bytes[OFFSET_COMMAND]);
}

CProtoPacket &CProtoPacket::setCommand(quint8 cmd)
{
    bytes[OFFSET_COMMAND] = char(cmd);
    return *this;
}

CProtoPacket &CProtoPacket::setAuxByte(quint8 aux)
{
    bytes[OFFSET_AUX] = char(aux);
    return *this;
}

quint16 CProtoPacket::bodyLength() const
{
    return qFromLittleEndian<quint16>(bytes + OFFSET_BODY_LENGTH);
}

quint16 CProtoPacket::totalLength() const
{
    return quint16(PACKET_HEADER_SIZE + bodyLength());
}

quint32 CProtoPacket::sequence() const
{
    return qFromLittleEndian<quint32>(bytes + OFFSET_SEQUENCE);
}

void CProtoPacket::setBodyLength(quint16 length)
{
    qToLittleEndian<quint16>(length, bytes + OFFSET_BODY_LENGTH);
}

int CProtoPacket::unreadBytes() const
{
    // A loaded header may claim more body than was loaded (never more than the record holds);
    // never read past it.
    const int loadedBody = qMax(0, loadedSize - PACKET_HEADER_SIZE);
    return qMin(int(bodyLength()), loadedBody) - int(readPos);
}

CProtoPacket &CProtoPacket::readInt32(qint32 &value)
{
    value = 0;
    if (unreadBytes() < 4)
        return *this;
    quint32 raw;
    std::memcpy(&raw, bytes + PACKET_HEADER_SIZE + readPos, sizeof raw);
    value = qint32(netToHost32(raw));
    readPos += 4;
    return *this;
}

CProtoPacket &CProtoPacket::readInt64(qint64 &value)
{
    value = 0;
    if (unreadBytes() < 8)
        return *this;
    qint64 raw;
    std::memcpy(&raw, bytes + PACKET_HEADER_SIZE + readPos, sizeof raw);
    value = swapBytes64(raw);
    readPos += 8;
    return *this;
}

CProtoPacket &CProtoPacket::readString(QString &value)
{
    quint16 count = 0;
    if (unreadBytes() >= 2) {
        quint16 raw;
        std::memcpy(&raw, bytes + PACKET_HEADER_SIZE + readPos, sizeof raw);
        count = netToHost16(raw);
        readPos += 2;
    }
    value.clear();
    if (qint16(count) <= 0 || int(count) > unreadBytes())
        return *this;
    const char *text = bytes + PACKET_HEADER_SIZE + readPos;
    const void *zero = std::memchr(text, 0, count);
    const int length = zero ? int(static_cast<const char *>(zero) - text) : int(count);
    value = QString::fromLatin1(text, length);
    readPos += count;
    return *this;
}

bool CProtoPacket::appendBody(const void *src, int count)
{
    const int body = bodyLength();
    if (PACKET_HEADER_SIZE + body + count > PACKET_MAX_SIZE)
        return false;
    std::memcpy(bytes + PACKET_HEADER_SIZE + body, src, size_t(count));
    setBodyLength(quint16(body + count));
    loadedSize = qMax(loadedSize, PACKET_HEADER_SIZE + body + count);
    return true;
}

CProtoPacket &CProtoPacket::writeByte(quint8 value)
{
    appendBody(&value, 1);
    return *this;
}

CProtoPacket &CProtoPacket::writeInt32(qint32 value)
{
    const quint32 raw = hostToNet32(quint32(value));
    appendBody(&raw, sizeof raw);
    return *this;
}

CProtoPacket &CProtoPacket::writeInt64(qint64 value)
{
    const qint64 raw = swapBytes64(value);
    appendBody(&raw, sizeof raw);
    return *this;
}

CProtoPacket &CProtoPacket::writeString(const QString &value)
{
    const QByteArray text = value.toLatin1();
    if (text.size() > 0x7FFF)
        return *this;
    const int body = bodyLength();
    if (PACKET_HEADER_SIZE + body + 2 + int(text.size()) > PACKET_MAX_SIZE)
        return *this;
    const quint16 count = qToBigEndian<quint16>(quint16(text.size()));
    appendBody(&count, sizeof count);
    appendBody(text.constData(), int(text.size()));
    return *this;
}

QIODevice &writePacket(QIODevice &device, const CProtoPacket &packet)
{
    const char *next = packet.data();
    qint64 left = packet.totalLength();
    while (left > 0) {
        const qint64 written = device.write(next, left);
        // An error (or a device that takes nothing) ends the loop; nothing is resent.
        if (written <= 0)
            break;
        next += written;
        left -= written;
    }
    return device;
}

} // namespace libsock
