#ifndef LIBSOCK_CFILEFRAMEHEADER_H
#define LIBSOCK_CFILEFRAMEHEADER_H

#include <QByteArray>

namespace libsock {

constexpr int FRAME_HEADER_SIZE = 6;
constexpr quint8 FRAME_MARKER = 0x1A;
constexpr quint32 FRAME_MAX_LENGTH = 102400;
constexpr quint8 FRAME_CONTROL = 0;
constexpr quint8 FRAME_DATA = 1;

// The 6-byte header in front of every frame on the file-transfer port.
class CFileFrameHeader
{
public:
    CFileFrameHeader();

    void setType(quint8 type);
    quint8 type() const;
    void setLength(quint32 len);
    void parse(const QByteArray &received);
    void parse(const char *received, int size);
    bool isValid() const { return valid; }

    QByteArray bytes;
    quint32 length = 0;

private:
    bool valid = false;
};

} // namespace libsock

#endif // LIBSOCK_CFILEFRAMEHEADER_H
