#ifndef LIBSOCK_CPROTOPACKET_H
#define LIBSOCK_CPROTOPACKET_H

#include <QtGlobal>

class QIODevice;
class QString;

namespace libsock {

constexpr int PACKET_HEADER_SIZE = 22;
constexpr int PACKET_MAX_SIZE = 51200;
constexpr quint8 PACKET_MARKER = 0x1A;

// One control packet as on the wire, in a fixed record: nothing is allocated per packet.
// Header fields are little-endian, body integers big-endian.
class CProtoPacket
{
public:
    CProtoPacket();

    CProtoPacket &reset();
    CProtoPacket &loadFrom(const char *bytes, int length);
    bool isValid() const { return valid; }

    quint8 command() const;
    CProtoPacket &setCommand(quint8 cmd);
    CProtoPacket &setAuxByte(quint8 aux);
    quint16 bodyLength() const;
    quint16 totalLength() const;
    quint32 sequence() const;
    const char *data() const { return bytes; }
    char *data() { return bytes; }
    quint16 readPosition() const { return readPos; }

    CProtoPacket &readInt32(qint32 &value);
    CProtoPacket &readInt64(qint64 &value);
    CProtoPacket &readString(QString &value);

    CProtoPacket &writeByte(quint8 value);
    CProtoPacket &writeInt32(qint32 value);
    CProtoPacket &writeInt64(qint64 value);
    // Latin-1 bytes after a 16-bit big-endian count; a text the readers could not take back
    // (longer than 32767 bytes) is dropped like any field that does not fit.
    CProtoPacket &writeString(const QString &value);

private:
    void setBodyLength(quint16 length);
    int unreadBytes() const;
    bool appendBody(const void *src, int count);

    char bytes[PACKET_MAX_SIZE];
    // Bytes of the record that hold something: the header and what was written or loaded.
    int loadedSize = PACKET_HEADER_SIZE;
    quint16 readPos = 0;
    bool valid = false;
};

// Sends the whole packet; stops when the device reports an error.
QIODevice &writePacket(QIODevice &device, const CProtoPacket &packet);

} // namespace libsock

#endif // LIBSOCK_CPROTOPACKET_H
