#include "cfileframeheader.h"

#include <cstring>

#include "byteorder.h"

namespace libsock {

CFileFrameHeader::CFileFrameHeader()
    : bytes(FRAME_HEADER_SIZE, '\0')
{
    bytes[0] = char(FRAME_MARKER);
}

void CFileFrameHeader::setType(quint8 type)
{
    bytes[1] = char(type);
}

quint8 CFileFrameHeader::type() const
{
    return quint8(bytes.at(1));
}

void CFileFrameHeader::setLength(quint32 len)
{
    const quint32 raw = hostToNet32(len);
    std::memcpy(bytes.data() + 2, &raw, sizeof raw);
    length = len;
}

void CFileFrameHeader::parse(const QByteArray &received)
{
    parse(received.constData(), int(received.size()));
}

void CFileFrameHeader::parse(const char *received, int size)
{
    valid = false;
    if (size != FRAME_HEADER_SIZE)
        return;
    std::memcpy(bytes.data(), received, FRAME_HEADER_SIZE);
    quint32 raw;
    std::memcpy(&raw, received + 2, sizeof raw);
    length = netToHost32(raw);
    valid = quint8(bytes.at(0)) == FRAME_MARKER && qint8(bytes.at(1)) <= 1
        && length <= FRAME_MAX_LENGTH;
}

} // namespace libsock
